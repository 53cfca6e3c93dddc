// morvane-ctl end to end: captures checked with ffprobe and ffmpeg. Kept few and short.
#include <cmath>

#include "e2e/ctl_tools.h"

namespace {

using e2e::Count;
using e2e::Workdir;

double Num(const std::map<std::string, std::string> &m, const std::string &key) {
  auto it = m.find(key);
  return it == m.end() ? NAN : std::atof(it->second.c_str());
}

// Peak signal-to-noise ratio of two equally long 8-bit pictures.
double Psnr(const std::string &a, const std::string &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    double d = static_cast<double>(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]);
    sum += d * d;
  }
  double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(CtlCapture, OneChannelToAviWithAudioStartingTogether) {
  Workdir w;
  e2e::Outcome o = w.Ctl("-d video2 --stream-to c.avi --stream-count 12");
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  auto v = w.Probe("c.avi", "v:0");
  EXPECT_EQ(v["codec_name"], "rawvideo");
  EXPECT_EQ(v["pix_fmt"], "yuyv422");
  EXPECT_EQ(v["width"], "720");
  EXPECT_EQ(v["height"], "480");
  EXPECT_EQ(v["r_frame_rate"], "10000000/333667");
  EXPECT_EQ(v["nb_read_frames"], "12");
  auto a = w.Probe("c.avi", "a:0");
  EXPECT_EQ(a["codec_name"], "pcm_s16le");
  EXPECT_EQ(a["sample_rate"], "48000");
  EXPECT_EQ(a["channels"], "1");
  // Both begin at the first picture and the sound lasts as long as the pictures.
  EXPECT_EQ(Num(v, "start_time"), 0);
  EXPECT_EQ(Num(a, "start_time"), 0);
  double pictures = 12 * 333667e-7;
  double sound = w.SoundSeconds("c.avi", 48000);
  EXPECT_NEAR(sound, pictures, 2048.0 / 48000) << o.out;
  // The summary names what came.
  EXPECT_NE(o.out.find("card0/video2  YUY2 720x480 29.97 fps"), std::string::npos) << o.out;
}

// More processors change the order the driver's code runs in, never what reaches the file.
TEST(CtlCapture, TheProcessorCountChangesNothingCaptured) {
  Workdir w;
  for (int n : {1, 4}) {
    e2e::Outcome o = w.Ctl("-d video2 --stream-to c" + std::to_string(n) +
                           ".avi --stream-count 12 --cpus " + std::to_string(n));
    ASSERT_EQ(o.status, 0) << o.out << o.err;
  }
  std::string one = e2e::Slurp(w / "c1.avi");
  EXPECT_GT(one.size(), 12u * 720 * 480 * 2);
  EXPECT_TRUE(one == e2e::Slurp(w / "c4.avi")) << "the captures on 1 and 4 processors differ";
}

TEST(CtlCapture, PixelFormatsReachTheFileAsTheirFfmpegFormatsAndRgbStaysUpright) {
  Workdir w;
  const struct {
    const char *format;
    const char *pixfmt;
  } cases[] = {
      {"UYVY", "uyvy422"}, {"Y41P", "yuv411p"}, {"RGB565", "rgb565le"}, {"YUY2", "yuyv422"}};
  for (const auto &c : cases) {
    std::string file = std::string(c.format) + ".mkv";
    e2e::Outcome o = w.Ctl("-i 4=625 -d video4 --no-audio --stream-count 2 -v pixelformat=" +
                           std::string(c.format) + " --stream-to " + file);
    ASSERT_EQ(o.status, 0) << c.format << o.out << o.err;
    auto v = w.Probe(file, "v:0");
    EXPECT_EQ(v["pix_fmt"], c.pixfmt) << c.format;
    EXPECT_EQ(v["height"], "576");
    EXPECT_EQ(v["nb_read_frames"], "2");
    if (std::string(c.format) == "Y41P") {
      EXPECT_NE(o.out.find("holds the same samples as yuv411p"), std::string::npos);
    }
  }
  // The same picture in every format: RGB upside down would not come close.
  std::string reference = w.Raw("YUY2.mkv", "gray", "-frames:v 1");
  ASSERT_EQ(reference.size(), 720u * 576u);
  for (const char *f : {"UYVY", "Y41P", "RGB565"})
    EXPECT_GT(Psnr(w.Raw(std::string(f) + ".mkv", "gray", "-frames:v 1"), reference), 30) << f;
}

TEST(CtlCapture, FileInputComesBackBitExactAt720AndCloseWhenScaled) {
  Workdir w;
  // One still picture at the 525-line size, 4:2:2 like the card's YUV output.
  ASSERT_EQ(w.Run("ffmpeg -v error -f lavfi -i testsrc2=size=720x480:rate=30000/1001 -frames:v 1 "
                  "-pix_fmt yuv422p -c:v ffv1 in.mkv")
                .status,
            0);
  e2e::Outcome o = w.Ctl("-i 1=in.mkv -d video1 --no-audio --stream-count 2 --stream-to full.avi");
  ASSERT_EQ(o.status, 0) << o.err;
  std::string input = w.Raw("in.mkv", "yuyv422");
  std::string captured = w.Raw("full.avi", "yuyv422", "-frames:v 1");
  ASSERT_EQ(input.size(), 720u * 480u * 2u);
  EXPECT_TRUE(captured == input) << "PSNR " << Psnr(captured, input);

  o = w.Ctl(
      "-i 1=in.mkv -d video1 --no-audio --stream-count 1 -v width=360,height=240 "
      "--stream-to half.mkv");
  ASSERT_EQ(o.status, 0) << o.err;
  std::string scaled = w.Raw("in.mkv", "gray", "-vf scale=360:240:flags=neighbor");
  // The card scales by picking pixels and lines: within 25 dB of a neighbour scaler.
  EXPECT_GT(Psnr(w.Raw("half.mkv", "gray"), scaled), 25);
}

TEST(CtlCapture, LineDoublingAndPreviewFollowTheSettings) {
  Workdir w;
  e2e::Outcome o = w.Ctl(
      "--setting INTMODE0=2,Preview1=1 -d card0 --stream-count 2 --no-audio "
      "--stream-to 'cap%d.mkv' --json");
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_TRUE(e2e::JsonValid(o.out));
  auto lineDoubled = [&](const std::string &file) {
    std::string frame = w.Raw(file, "gray", "-frames:v 1");
    if (frame.size() != 720u * 480u) return false;
    for (size_t line = 0; line + 1 < 480; line += 2)
      if (frame.compare(line * 720, 720, frame, (line + 1) * 720, 720) != 0) return false;
    return true;
  };
  EXPECT_TRUE(lineDoubled("cap0.mkv"));
  EXPECT_FALSE(lineDoubled("cap2.mkv")) << "woven fields differ line by line";
  // A preview pin stamps no times; its frames still arrive.
  size_t video1 = o.out.find("\"device\": \"card0/video1\"");
  ASSERT_NE(video1, std::string::npos);
  std::string entry = o.out.substr(video1, o.out.find('}', video1) - video1);
  EXPECT_NE(entry.find("\"timestamps\": false"), std::string::npos) << entry;
  EXPECT_EQ(w.Probe("cap1.mkv", "v:0")["nb_read_frames"], "2");
  EXPECT_EQ(Count(o.out, "\"timestamps\": true"), 7u);
}

TEST(CtlCapture, WholeCardMixedStandardsWithContactSheetStillAndWav) {
  Workdir w;
  e2e::Outcome o = w.Ctl(
      "-i 0-3=pattern:525 -i 4-6=pattern:625 -i 7=none -d card0 --duration 0.4 "
      "--stream-to out/");
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  for (int c = 0; c < 8; ++c)
    EXPECT_TRUE(std::filesystem::exists(w / ("out/channel" + std::to_string(c) + ".avi"))) << c;
  auto ntsc = w.Probe("out/channel1.avi", "v:0");
  auto pal = w.Probe("out/channel5.avi", "v:0");
  EXPECT_EQ(ntsc["height"], "480");
  EXPECT_EQ(pal["height"], "576");
  EXPECT_EQ(pal["r_frame_rate"], "25/1");
  EXPECT_EQ(pal["nb_read_frames"], "10");   // 0.4 s at 25 frames a second
  EXPECT_EQ(ntsc["nb_read_frames"], "12");  // and at 29.97
  EXPECT_NEAR(w.SoundSeconds("out/channel5.avi", 48000), 0.4, 0.001);
  auto sheet = w.Probe("out/contact-sheet.png", "v:0");
  EXPECT_EQ(sheet["codec_name"], "png");
  EXPECT_EQ(sheet["width"], "1480");
  EXPECT_EQ(Count(o.out, "out/channel"), 16u) << o.out;

  o = w.Ctl("-d video6 -i 6=625 --stream-to still.png");
  ASSERT_EQ(o.status, 0) << o.err;
  auto still = w.Probe("still.png", "v:0");
  EXPECT_EQ(still["width"], "720");
  EXPECT_EQ(still["height"], "576");

  o = w.Ctl("-d audio3 --audio-rate 16000 --duration 0.5 --stream-to a.wav");
  ASSERT_EQ(o.status, 0) << o.err;
  auto a = w.Probe("a.wav", "a:0");
  EXPECT_EQ(a["sample_rate"], "16000");
  EXPECT_NEAR(Num(a, "duration"), 0.5, 0.001);
}

TEST(CtlCapture, InjectedFaultsShowInTheSummaryAndTheFilesStayPlayable) {
  Workdir w;
  e2e::Outcome o = w.Ctl(
      "-d video0 --fault error:0@0.2 --duration 0.6 --no-audio --stream-to "
      "e.mkv --json --trace t.txt");
  EXPECT_EQ(o.status, 0) << "the frames lost are the ones the fault asked for";
  ASSERT_TRUE(e2e::JsonValid(o.out)) << o.out;
  e2e::Json stream = e2e::ParseJson(o.out)["capture"]["streams"][0];
  EXPECT_GT(stream["lossesExplainedByFaults"].get<int>(), 0) << o.out;
  EXPECT_EQ(stream["lossesUnexplained"], 0);
  auto v = w.Probe("e.mkv", "v:0");
  EXPECT_EQ(v["codec_name"], "rawvideo");
  EXPECT_LT(Num(v, "nb_read_frames"), 17);
  EXPECT_GT(Num(v, "nb_read_frames"), 10);
  EXPECT_NE(e2e::Slurp(w / "t.txt").find("# card0"), std::string::npos);
}

// The platform's actions on the timeline: a rebalance and a sleep the streams come back
// from by themselves, then a surprise removal that ends them; every loss lies within one of
// them, and each shows in the summary, the JSON and the trace.
TEST(CtlCapture, TimelineActionsShowAndExplainTheirLosses) {
  Workdir w;
  e2e::Outcome o = w.Ctl(
      "-d video2 -v width=160,height=120 --duration 2 --stream-to t.mkv --json --trace t.txt "
      "--pnp rebalance@0.4 --sleep@0.8+0.3 --set-time@1.2=-3600 --surprise-remove@1.6");
  EXPECT_EQ(o.status, 0) << o.err;
  ASSERT_TRUE(e2e::JsonValid(o.out)) << o.out;
  e2e::Json capture = e2e::ParseJson(o.out)["capture"];
  ASSERT_EQ(capture["timeline"].size(), 4u);
  EXPECT_EQ(capture["timeline"][0]["outcome"], "stopped, moved and started again");
  EXPECT_NE(capture["timeline"][1]["outcome"].get<std::string>().find("woke"), std::string::npos);
  EXPECT_NE(capture["timeline"][3]["outcome"].get<std::string>().find("left the bus"),
            std::string::npos);
  for (const auto &stream : capture["streams"]) {
    EXPECT_EQ(stream["lossesUnexplained"], 0) << stream;
    EXPECT_GT(stream["delivered"].get<int>(), 20) << "frames came between the actions";
  }
  std::string trace = e2e::Slurp(w / "t.txt");
  EXPECT_NE(trace.find("platform     --pnp rebalance@0.4"), std::string::npos);
  EXPECT_NE(trace.find("--surprise-remove 1.6: the card left the bus"), std::string::npos);
  auto v = w.Probe("t.mkv", "v:0");
  EXPECT_EQ(v["codec_name"], "rawvideo") << "the file stays playable";
}

}  // namespace
