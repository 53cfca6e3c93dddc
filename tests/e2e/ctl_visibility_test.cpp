// morvane-ctl end to end: what a client can see (frame headers, every field of the
// formats, raw properties, the compliance checks) and the exit status it reports.
#include <cmath>

#include "e2e/ctl_tools.h"

namespace {

using e2e::Count;
using e2e::Json;
using e2e::Workdir;

std::vector<Json> JsonLines(const std::string &text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(e2e::ParseJson(line));
  return lines;
}

TEST(CtlVisible, FrameLogHoldsEveryHeaderAsReceived) {
  Workdir w;
  e2e::Outcome o = w.Ctl("-d video1 --stream-count 10 --stream-to c.avi --frame-log f.jsonl");
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<Json> lines = JsonLines(e2e::Slurp(w / "f.jsonl"));
  int64_t lastPicture = 0, lastTime = INT64_MIN;
  int video = 0, audio = 0;
  for (const Json &j : lines) {
    ASSERT_TRUE(j.is_object());
    if (j["status"] != "0x00000000") continue;  // cancelled at the end
    if (j["kind"] == "video") {
      ++video;
      EXPECT_EQ(j["device"], "card0/video1");
      EXPECT_EQ(j["pictureNumber"].get<int64_t>(), lastPicture + 1);
      lastPicture = j["pictureNumber"].get<int64_t>();
      EXPECT_EQ(j["dropCount"], 0);
      EXPECT_EQ(j["duration"], 333667);
      EXPECT_EQ(j["dataUsed"], 720 * 480 * 2);
      EXPECT_EQ(j["options"], "TIMEVALID|DURATIONVALID");
      EXPECT_GT(j["presentationTime"].get<int64_t>(), lastTime);
      lastTime = j["presentationTime"].get<int64_t>();
    } else {
      ++audio;
      EXPECT_EQ(j["device"], "card0/audio1");
      EXPECT_EQ(j["size"], 4096);
      EXPECT_TRUE(j["timeValid"].get<bool>());
    }
  }
  EXPECT_GE(video, 10);
  EXPECT_GT(audio, 5);
  EXPECT_EQ(w.Probe("c.avi", "v:0")["nb_read_frames"], "10");
}

TEST(CtlVisible, FormatsListEveryFieldTheFramingAndThePinGuids) {
  Workdir w;
  e2e::Outcome o = w.Ctl("-i 5=625 -d video5 --list-formats-ext --json");
  ASSERT_EQ(o.status, 0) << o.err;
  Json j = e2e::ParseJson(o.out);
  const Json &f = j["formats"][0];
  EXPECT_EQ(f["pinCategory"], "{FB6C4281-0353-11D1-905F-0000C0CC16BA}");
  EXPECT_EQ(f["pinNameGuid"], "{FB6C4281-0353-11D1-905F-0000C0CC16BA}");
  EXPECT_GE(f["allocatorFraming"]["FramingItem"][0]["Frames"].get<int>(), 1);
  ASSERT_EQ(f["ranges"].size(), 4u);
  const Json &range = f["ranges"][0]["fields"];
  EXPECT_EQ(range["DataRange"]["FormatSize"], f["ranges"][0]["fields"]["DataRange"]["FormatSize"]);
  EXPECT_EQ(range["ConfigCaps"]["InputSize"]["cy"], 576);
  EXPECT_EQ(range["ConfigCaps"]["MinFrameInterval"], 400000);
  EXPECT_EQ(range["VideoInfoHeader"]["bmiHeader"]["biSizeImage"], 720 * 576 * 2);
  for (const char *field : {"StretchTapsX", "CropAlignY", "MaxBitsPerSecond", "MaxCroppingSize"})
    EXPECT_TRUE(range["ConfigCaps"].contains(field)) << field;

  o = w.Ctl("-d audio2 --list-formats-ext --json");
  j = e2e::ParseJson(o.out);
  const Json &a = j["formats"][0]["ranges"][0]["fields"];
  EXPECT_EQ(a["MaximumChannels"], 1);
  EXPECT_EQ(a["MaximumBitsPerSample"], 16);
  EXPECT_EQ(j["formats"][0]["allocatorFraming"]["FramingItem"][0]["PhysicalRange"]["MinFrameSize"],
            4096);
}

TEST(CtlVisible, RawPropertiesShowTheStatusAndTheBytes) {
  Workdir w;
  e2e::Outcome o = w.Ctl(
      "-d video3 --json --get-prop VIDEOPROCAMP:0:40 --basic-support VIDEOPROCAMP:0 "
      "--get-prop VIDEOPROCAMP:0 --get-prop VIDEOPROCAMP:77:40 "
      "--get-prop {01234567-89AB-CDEF-0123-456789ABCDEF}:0:8 "
      "--set-prop VIDEOPROCAMP:0=" +
      std::string(48, '0') + "1400000002000000" + std::string(16, '0') +
      " --get-prop VIDEOPROCAMP:0:40");
  ASSERT_EQ(o.status, 0) << o.err;
  const Json p = e2e::ParseJson(o.out)["properties"];
  ASSERT_EQ(p.size(), 7u) << o.out;
  EXPECT_EQ(p[0]["status"], "0x00000000");
  EXPECT_EQ(p[0]["returned"], 40);
  EXPECT_EQ(p[1]["description"]["members"].size(), 2u);
  EXPECT_EQ(p[1]["description"]["members"][0]["values"][2], -128) << "the range's minimum";
  EXPECT_EQ(p[2]["statusName"], "STATUS_BUFFER_TOO_SMALL") << "MinProperty is the _S structure";
  EXPECT_EQ(p[3]["statusName"], "STATUS_NOT_FOUND");
  EXPECT_EQ(p[4]["statusName"], "STATUS_NOT_FOUND");
  EXPECT_EQ(p[5]["status"], "0x00000000");
  // Brightness 20 went in and reads back (the value follows the 24-byte KSPROPERTY).
  EXPECT_EQ(p[6]["data"].get<std::string>().substr(72, 11), "14 00 00 00");

  o = w.Ctl("-d video3 --set-prop VIDEOPROCAMP:0=1g");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("--set-prop 'VIDEOPROCAMP:0=1g'"), std::string::npos) << o.err;
  o = w.Ctl("-d video3 --get-prop NOSUCHSET:0");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown property set 'NOSUCHSET'"), std::string::npos) << o.err;
}

TEST(CtlCompliance, EveryFilterOfBothVariantsPasses) {
  Workdir w;
  for (const char *variant : {"6864", "standard"}) {
    e2e::Outcome o = w.Ctl(std::string("--variant ") + variant +
                           " --setting Preview6=1 -i 4-7=625 --compliance");
    EXPECT_EQ(o.status, 0) << variant << "\n" << o.err;
    EXPECT_EQ(Count(o.out, "FAIL"), 0u) << o.out;
    EXPECT_EQ(Count(o.out, "card0/video"), Count(o.out, "card0/video0") * 8) << "every filter";
    EXPECT_NE(o.out.find(" 0 failed"), std::string::npos);
  }
  e2e::Outcome o = w.Ctl("--compliance -d audio1 --json");
  Json j = e2e::ParseJson(o.out)["compliance"];
  EXPECT_GT(j["passed"].get<int>(), 20);
  EXPECT_EQ(j["failed"], 0);
  EXPECT_EQ(w.Ctl("--compliance -l").status, 2);
}

TEST(CtlExitStatus, LossesInsideInjectedFaultsAndUntimedPinsAreNotFailures) {
  Workdir w;
  // A channel error: frames lost while the watchdog restarts the channel, as asked.
  e2e::Outcome o = w.Ctl("-d video0 --fault error:0@0.2 --duration 0.6 --stream-to e.mkv");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("fault: card0/video0:"), std::string::npos) << o.out;
  // Signal lost for a while, or for good: what is missing lies within the fault.
  o = w.Ctl("-d video1 --fault loss:1@0.3+0.2 --duration 1.5 --stream-to g.mkv");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  o = w.Ctl("-d video0 --fault loss:0@0.2 --duration 0.6 --no-audio --stream-to f.mkv");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  // A preview pin stamps no times, and 1 fps on 625 lines keeps a frame in 15: neither
  // loses sound.
  o = w.Ctl("--setting Preview1=1 -d video1 --duration 1 --stream-to p.avi");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NEAR(w.SoundSeconds("p.avi", 48000), 1.0, 0.05);
  o = w.Ctl("-i 2=625 -d video2 -p 1 --duration 3 --stream-to q.avi");
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  // The summary shows what came beside what was asked.
  EXPECT_NE(o.out.find("YUY2 720x576 1.00 fps        1.67 fps"), std::string::npos) << o.out;
}

TEST(CtlFileInput, A30000Over1001ClipMapsFrameForFrame) {
  Workdir w;
  // Each clip frame differs: testsrc2 draws its frame number.
  ASSERT_EQ(w.Run("ffmpeg -v error -f lavfi -i testsrc2=size=720x480:rate=30000/1001 "
                  "-frames:v 50 -pix_fmt yuv422p -c:v ffv1 clip.mkv")
                .status,
            0);
  e2e::Outcome o = w.Ctl("-i 0=clip.mkv -d video0 --no-audio --stream-count 80 --stream-to c.avi");
  ASSERT_EQ(o.status, 0) << o.err;
  const size_t frameBytes = 720 * 480 * 2;
  std::string clip = w.Raw("clip.mkv", "yuyv422");
  std::string captured = w.Raw("c.avi", "yuyv422", "-fps_mode passthrough");
  ASSERT_EQ(clip.size(), 50 * frameBytes);
  ASSERT_EQ(captured.size() % frameBytes, 0u);
  // Where each captured frame sits in the file (frame intervals, gaps where the card kept
  // no frame) and which clip frame it shows.
  e2e::Outcome pts = w.Run(
      "ffprobe -v error -select_streams v:0 -show_entries packet=pts "
      "-of csv=p=0 c.avi");
  std::vector<long> at;
  std::istringstream in(pts.out);
  for (std::string line; std::getline(in, line);) at.push_back(std::stol(line));
  ASSERT_EQ(at.size(), captured.size() / frameBytes);
  std::vector<long> shown;
  for (size_t i = 0; i < at.size(); ++i) {
    long match = -1;
    for (long k = 0; k < 50 && match < 0; ++k)
      if (captured.compare(i * frameBytes, frameBytes, clip, k * frameBytes, frameBytes) == 0)
        match = k;
    ASSERT_GE(match, 0) << "captured frame " << i << " is no clip frame";
    shown.push_back(match);
  }
  // Input frame n shows clip frame n mod 50, exactly: no frame twice, none skipped.
  for (size_t i = 1; i < at.size(); ++i)
    EXPECT_EQ((shown[i] - shown[0] + 50) % 50, (at[i] - at[0]) % 50)
        << "frame " << i << " at " << at[i] << " shows clip frame " << shown[i];
}

}  // namespace
