// morvane-ctl's codecs end to end: what each writes decodes again (ffprobe and ffmpeg
// read it back), FFV1 to the captured samples bit for bit, the lossy ones close to
// them; combinations that cannot be stored are refused before anything is written; a
// long capture faults in no more memory than a short one; and the summary shows what
// the driver's work cost.
#include <sys/resource.h>

#include <cmath>

#include "e2e/ctl_tools.h"

namespace {

using e2e::Workdir;

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

// The simulation is deterministic: the same command line captures the same frames, so a
// raw capture is the reference for every codec.
TEST(CtlCodec, EachCodecDecodesToTheCapturedFrames) {
  Workdir w;
  const struct {
    const char *pixel;
    const char *compare;  // the pixel format both files are decoded to
    const char *ffv1;     // what FFV1 stores
    std::vector<std::string> files;
  } formats[] = {{"YUY2", "yuyv422", "yuv422p", {"ffv1.avi", "h264.mkv", "mjpeg.avi"}},
                 {"Y41P", "yuv411p", "yuv411p", {"ffv1.mkv", "h264.avi"}},
                 {"RGB565", "rgb24", "bgr0", {"ffv1.avi", "mjpeg.mkv"}}};
  for (const auto &f : formats) {
    const std::string args = std::string("-i 3=625 -d video3 --stream-count 3 -v pixelformat=") +
                             f.pixel + " --stream-to ";
    ASSERT_EQ(w.Ctl(args + "raw.avi").status, 0) << f.pixel;
    const std::string raw = w.Raw("raw.avi", f.compare);
    ASSERT_FALSE(raw.empty());
    for (const std::string &file : f.files) {
      const std::string codec = file.substr(0, file.find('.'));
      e2e::Outcome o = w.Ctl(args + file + " --codec " + codec);
      ASSERT_EQ(o.status, 0) << f.pixel << " " << file << o.out << o.err;
      auto v = w.Probe(file, "v:0");
      EXPECT_EQ(v["codec_name"], codec) << f.pixel << " " << file;
      EXPECT_EQ(v["width"], "720");
      EXPECT_EQ(v["height"], "576");
      EXPECT_EQ(v["nb_read_frames"], "3") << f.pixel << " " << file;
      EXPECT_EQ(w.Probe(file, "a:0")["codec_name"], "pcm_s16le") << "sound stays as captured";
      const std::string decoded = w.Raw(file, f.compare);
      if (codec == "ffv1") {
        EXPECT_EQ(v["pix_fmt"], f.ffv1);
        EXPECT_TRUE(decoded == raw)
            << f.pixel << " " << file << ": FFV1 is lossless, PSNR " << Psnr(decoded, raw);
      } else {
        EXPECT_GT(Psnr(decoded, raw), 30) << f.pixel << " " << file;
      }
    }
  }
}

TEST(CtlCodec, WhatCannotBeStoredIsRefusedBeforeAnythingIsWritten) {
  Workdir w;
  const struct {
    const char *args;
    const char *message;
  } cases[] = {
      {"-d video0 --stream-to a.avi --codec theora", "--codec 'theora': unknown codec"},
      {"-d audio0 --stream-to a.wav --codec ffv1", "--codec ffv1 stores video in .avi or .mkv"},
      {"-d video0 --stream-to a.png --codec mjpeg", "is a PNG still"},
      {"-i 4=625 -d video4 -v height=287 --stream-count 1 --stream-to a.mkv --codec h264",
       "--codec h264: h264 stores 4:2:0 pictures, whose height must be even"},
      {"-d video0 --codec h264", "--codec h264 chooses how a capture stores video"},
  };
  for (const auto &c : cases) {
    e2e::Outcome o = w.Ctl(c.args);
    EXPECT_EQ(o.status, 2) << c.args << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << c.args << ": " << o.err;
  }
  EXPECT_EQ(e2e::Listing(w.path()).size(), 0u) << "nothing written";
}

long ChildFaults() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return u.ru_minflt;
}

TEST(CtlCodec, ALongerCaptureFaultsInNoFrameMemory) {
  // Client frames and the files' buffers are reused: three times the frames cost no
  // more fresh pages than warming up. A frame allocated afresh costs 169 pages.
  Workdir w;
  long before = ChildFaults();
  ASSERT_EQ(w.Ctl("-d video1 --duration 3 --stream-to short.avi").status, 0);
  long shortRun = ChildFaults() - before;
  before = ChildFaults();
  ASSERT_EQ(w.Ctl("-d video1 --duration 9 --stream-to long.avi").status, 0);
  long longRun = ChildFaults() - before;
  EXPECT_LT(longRun - shortRun, 6 * 30 * 10) << shortRun << " then " << longRun;
}

TEST(CtlCodec, TheSummaryShowsWhatTheDriverCostAndUncachedBuffersCostMore) {
  Workdir w;
  auto load = [&](const std::string &model) {
    e2e::Outcome o = w.Ctl(
        "-d video2 --no-audio --stream-count 20 --stream-to a.avi --json --cost-model " + model);
    EXPECT_EQ(o.status, 0) << o.err;
    e2e::Json j = e2e::ParseJson(o.out);
    const e2e::Json &c = j["capture"];
    EXPECT_EQ(c["driver"]["costModel"], model);
    double stream = c["streams"][0]["driverLoad"].get<double>();
    EXPECT_GE(c["driver"]["load"].get<double>(), stream);
    return stream;
  };
  const double cached = load("x64"), uncached = load("uncached"), none = load("none");
  EXPECT_GT(cached, 0.0005) << "a 720x480 frame 30 times a second is not free";
  EXPECT_LT(cached, 0.01);
  EXPECT_GT(uncached, 50 * cached) << "every byte read uncached costs a memory round trip";
  EXPECT_LT(none, cached) << "without the model only register reads take time";
}

}  // namespace
