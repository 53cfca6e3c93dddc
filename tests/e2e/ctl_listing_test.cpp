// morvane-ctl end to end: inspection, settings and the registry file, and bad input.
#include "e2e/ctl_tools.h"

namespace {

using e2e::Count;
using e2e::Workdir;

TEST(CtlInspect, ListsTheSixteenFiltersWithTheirReferenceGuidsAndPins) {
  Workdir w;
  e2e::Outcome o = w.Ctl("--cards 2 --variant 6864,standard --list-devices");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Count(o.out, "card0/video"), 8u);
  EXPECT_EQ(Count(o.out, "card1/audio"), 8u);
  EXPECT_NE(o.out.find("card1: variant standard (4D56:7001)"), std::string::npos) << o.out;
  // Video reference GUIDs are one family numbered by channel; audio ones stand alone.
  EXPECT_NE(o.out.find("card0/video7  video, capture   {5A71FE40-1D67-1187-BD0B-0800200C9A66}"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("card1/audio0  audio, capture   {0D396090-3305-4A69-AEEC-F209E3095EAE}"),
            std::string::npos)
      << o.out;
  EXPECT_EQ(Count(o.out, "pin 0 \"Capture\""), 16u);
}

TEST(CtlInspect, FormatsFollowTheDetectedStandardOfEachInput) {
  Workdir w;
  e2e::Outcome o = w.Ctl("-i 5=625 -d card0 --list-formats-ext");
  ASSERT_EQ(o.status, 0) << o.err;
  size_t v4 = o.out.find("card0/video4");
  size_t v5 = o.out.find("card0/video5");
  size_t v6 = o.out.find("card0/video6");
  ASSERT_NE(v6, std::string::npos);
  EXPECT_NE(o.out.substr(v4, v5 - v4).find("720x480"), std::string::npos);
  std::string five = o.out.substr(v5, v6 - v5);
  EXPECT_EQ(Count(five, "720x576 (top-down)"), 4u) << five;
  EXPECT_NE(five.find("[3] RGB565 BI_RGB 16 bits, 720x576 (top-down)"), std::string::npos) << five;
  EXPECT_NE(o.out.find("[0] PCM 1 channel(s), 16-16 bits, 8000-8000 Hz"), std::string::npos);
}

TEST(CtlInspect, ControlsAreSetReadBackAndRefusedOutOfRange) {
  Workdir w;
  e2e::Outcome o = w.Ctl("-d video3 -l");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("brightness (int): min=-128 max=127 step=1 default=0"), std::string::npos);
  EXPECT_NE(o.out.find("sharpness  (int): min=0 max=15 step=1 default=0"), std::string::npos);

  o = w.Ctl("-d video3 -c brightness=-20,saturation=200 -C saturation,brightness");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "card0/video3 saturation: 200\ncard0/video3 brightness: -20\n");

  o = w.Ctl("-d video3 -c hue=128");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "morvane-ctl: hue=128 is out of range: card0/video3 takes -128 to 127\n");
  o = w.Ctl("-d video3 -C gamma");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown control 'gamma'"), std::string::npos);
  o = w.Ctl("-d audio3 -l");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("card0/audio3 is an audio filter"), std::string::npos) << o.err;
}

TEST(CtlInspect, StandardIsDetectedSetAndReportedAsJson) {
  Workdir w;
  e2e::Outcome o = w.Ctl("-i 0=625 -d video0 --get-standard");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "card0/video0: standard PAL_B (0x00000010), 625 lines, signal locked, "
            "supported 0x000FF7F7\n");
  // A set standard holds for the rest of the run: the formats follow it.
  o = w.Ctl("-d video1 -s secam_l --get-standard --list-formats-ext --json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(e2e::JsonValid(o.out)) << o.out;
  EXPECT_NE(o.out.find("\"standard\": \"SECAM_L\""), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\"height\": 576"), std::string::npos);
  o = w.Ctl("-d video1 -s pal_60");
  EXPECT_EQ(o.status, 2) << "PAL 60 is not among the decoder's standards";
  EXPECT_NE(o.err.find("does not support the standard PAL_60"), std::string::npos) << o.err;

  o = w.Ctl("--cards 2 --json --list-devices -l --get-standard");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(e2e::JsonValid(o.out));
  EXPECT_EQ(Count(o.out, "\"device\": \"card1/video"), 3u * 8u);
}

TEST(CtlSettings, RegistryFileIsCreatedEditedAndKeptAcrossRuns) {
  Workdir w;
  e2e::Outcome o = w.Ctl("--registry cards.reg --setting Preview2=1,INTMODE2=2 --list-devices");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("card0/video2  video, capture   {5A71FE40-1D67-1182-BD0B-0800200C9A66}  "
                       "pin 0 \"Preview\""),
            std::string::npos)
      << o.out;
  EXPECT_EQ(Count(o.out, "\"Capture\""), 7u);
  ASSERT_TRUE(std::filesystem::exists(w / "cards.reg"));
  // Saved as the platform writes export files: UTF-16 with a byte order mark.
  std::string bytes = e2e::Slurp(w / "cards.reg");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i]);
  EXPECT_NE(text.find("\"Preview2\"=dword:00000001"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Preview5\"=dword:00000000"), std::string::npos)
      << "the driver writes 0 for a missing Preview value";

  // The next run starts from the file.
  o = w.Ctl("--registry cards.reg --list-devices");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Count(o.out, "\"Preview\""), 1u);
}

TEST(CtlBadInput, EachProblemGivesOneMessageAndExitStatusTwo) {
  Workdir w;
  std::ofstream(w / "broken.reg")
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X\n";
  std::ofstream(w / "notmedia.mkv") << "this is not a media file";
  const struct {
    const char *args;
    const char *expected;
  } cases[] = {
      {"-d card3/video0 -l", "unknown device 'card3/video0'"},
      {"-d video8 -l", "unknown device 'video8'"},
      {"-d video0 -c brightness=oops", "--set-ctrl 'brightness=oops'"},
      {"--frobnicate", "unknown option '--frobnicate'"},
      {"--registry broken.reg -l",
       "--registry: not a registry file we can read: broken.reg: line 3: key line without"},

      {"-i 2=notmedia.mkv -l", "'notmedia.mkv' is not a media file FFmpeg can read"},
      {"-i 2=missing.mkv -l", "--input: 'missing.mkv': No such file or directory"},
      {"-i 9=pattern -l", "--input '9=pattern'"},
      {"--setting FOO1=2 -l", "unknown setting 'FOO1'"},
      {"-d video0 -v pixelformat=NV12 --stream-to x.avi", "unknown pixel format 'NV12'"},
      {"-d video0 -v width=722 --stream-to x.avi", "722x480 is outside the sizes it offers"},
      {"-d video0 -v width=100 -v pixelformat=Y41P --stream-to x.avi",
       "the width of a Y41P picture must be a multiple of 8"},
      {"-d video0 --stream-to x.wav", "a WAV file holds audio only"},
      {"-d audio0 --stream-to x.png", "an audio stream has no picture"},
      {"-d video0 --stream-to x.mp4", "unknown file type"},
      {"-d audio0 --audio-rate 22050 --stream-to x.wav", "cannot capture at 22050 Hz"},
      {"-d video0 --stream-to no/such/folder/x.avi",
       "--stream-to 'no/such/folder/x.avi': cannot write there: no folder 'no/such/folder'"},
      {"-d video0 --contact-sheet s.png", "--contact-sheet shows every channel of a card"},
      {"--fault melt:0@1 -d card0", "--fault 'melt:0@1'"},
      {"--registry no/such/folder/r.reg -l",
       "--registry 'no/such/folder/r.reg': cannot write there: no folder 'no/such/folder'"},
  };
  for (const auto &c : cases) {
    e2e::Outcome o = w.Ctl(c.args);
    EXPECT_EQ(o.status, 2) << c.args << "\n" << o.err;
    EXPECT_NE(o.err.find(c.expected), std::string::npos) << c.args << "\n" << o.err;
    EXPECT_LE(Count(o.err, "morvane-ctl:"), 1u) << c.args << "\n" << o.err;
  }
  // Nothing half-written is left behind.
  for (const auto &entry : std::filesystem::directory_iterator(w.path())) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "broken.reg" || name == "notmedia.mkv") << name;
  }
}

TEST(CtlSummary, WithoutInspectionOrCaptureTheMachineRunsAndReports) {
  Workdir w;
  e2e::Outcome o = w.Ctl("--variant standard --seconds 1 --trace trace.txt");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("card 4d56:7001"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("verifier: clean"), std::string::npos);
  std::string trace = e2e::Slurp(w / "trace.txt");
  EXPECT_NE(trace.find("# card0 (standard"), std::string::npos);
  EXPECT_GT(Count(trace, "\n"), 100u);
}

}  // namespace
