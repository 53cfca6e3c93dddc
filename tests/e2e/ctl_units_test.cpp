// morvane-ctl's pieces: the command line, frame layouts for the files, audio placement.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture.h"
#include "media.h"
#include "options.h"
#include "outputs.h"
#include "rig.h"

namespace {

bool Parse(std::vector<std::string> args, ctl::Options *o, std::string *error) {
  args.insert(args.begin(), "morvane-ctl");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  return ctl::ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(CtlOptions, InputsSettingsAndFaultsParseToWhatTheyName) {
  ctl::Options o;
  std::string error;
  ASSERT_TRUE(
      Parse({"-i", "0-3=pattern:525", "-i", "card1/4,6=clip.mkv:625", "-i", "7=none", "--setting",
             "card1/INTMODE2=2,Preview0=1", "--fault", "loss:card1/3@1.5+0.25", "--fault",
             "standard:2@3=625", "--cards", "2", "-v", "width=360,pixelformat=yuyv", "--cpus", "4"},
            &o, &error))
      << error;
  ASSERT_EQ(o.inputs.size(), 7u);
  EXPECT_EQ(o.inputs[3].channel, 3u);
  EXPECT_FALSE(*o.inputs[3].lines625);
  EXPECT_EQ(o.inputs[4].card, 1);
  EXPECT_EQ(o.inputs[5].channel, 6u);
  EXPECT_EQ(o.inputs[5].kind, ctl::InputSpec::Kind::File);
  EXPECT_EQ(o.inputs[5].path, "clip.mkv");
  EXPECT_TRUE(*o.inputs[5].lines625);
  EXPECT_EQ(o.inputs[6].kind, ctl::InputSpec::Kind::Absent);
  ASSERT_EQ(o.settings.size(), 2u);
  EXPECT_EQ(o.settings[0].card, 1);
  EXPECT_EQ(o.settings[1].card, ctl::kAllCards);
  ASSERT_EQ(o.faults.size(), 2u);
  EXPECT_EQ(o.faults[0].card, 1);
  EXPECT_DOUBLE_EQ(o.faults[0].at, 1.5);
  EXPECT_DOUBLE_EQ(o.faults[0].length, 0.25);
  EXPECT_TRUE(o.faults[1].lines625);
  EXPECT_EQ(o.video.pixelFormat, "YUY2");
  EXPECT_EQ(*o.video.width, 360);
  EXPECT_EQ(o.cpus, 4);

  for (std::vector<std::string> bad : {
           std::vector<std::string>{"-i", "3-1=pattern"},
           {"-i", "8=pattern"},
           {"--setting", "HDELAY8=1"},
           {"--setting", "Preview1=-1"},
           {"--fault", "error:3"},
           {"--fault", "loss:3@1+0"},
           {"--stream-count", "0"},
           {"--stream-count", "5", "--duration", "1"},
           {"--cards", "2", "--variant", "6864,standard,6864"},
           {"-p", "0"},
           {"--duration", "nan"},
           {"stray"},
           {"--fault", "error:card1/0@1"},  // beyond the one card
           {"--frame-log", "f.jsonl", "-l"},
           {"--compliance", "-l"},
           {"--get-prop", "VIDEOPROCAMP"},
           {"--set-prop", "VIDEOPROCAMP:0=123"},
           {"--set-prop", "VIDEOPROCAMP:0=zz"},
           {"--get-prop", "PIN:0:99999999"},
           {"--cpus", "0"},
           {"--cpus", "9"},
           {"--cpus", "2x"},
       }) {
    ctl::Options x;
    EXPECT_FALSE(Parse(bad, &x, &error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(CtlOptions, TimelineActionsParseInBothSpellingsAndMalformedOnesAreNamed) {
  ctl::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--cards", "2", "--pnp", "card1/rebalance@2.5", "--pnp", "remove@9",
                     "--surprise-remove@card1/4", "--sleep@1+0.5", "--pnp", "sleep@3+2",
                     "--set-time@6=-3600", "--set-time", "7=+90", "--low-resources", "42:0.05@1"},
                    &o, &error))
      << error;
  using Kind = ctl::TimelineSpec::Kind;
  ASSERT_EQ(o.timeline.size(), 8u);
  EXPECT_EQ(o.timeline[0].kind, Kind::Rebalance);
  EXPECT_EQ(o.timeline[0].card, 1);
  EXPECT_DOUBLE_EQ(o.timeline[0].at, 2.5);
  EXPECT_EQ(o.timeline[1].kind, Kind::Remove);
  EXPECT_EQ(o.timeline[2].kind, Kind::SurpriseRemove);
  EXPECT_EQ(o.timeline[2].card, 1);
  EXPECT_DOUBLE_EQ(o.timeline[2].at, 4);
  EXPECT_EQ(o.timeline[3].kind, Kind::Sleep);
  EXPECT_DOUBLE_EQ(o.timeline[3].length, 0.5);
  EXPECT_DOUBLE_EQ(o.timeline[4].length, 2);
  EXPECT_DOUBLE_EQ(o.timeline[5].offset, -3600);
  EXPECT_DOUBLE_EQ(o.timeline[6].offset, 90);
  EXPECT_EQ(o.timeline[7].seed, 42u);
  EXPECT_DOUBLE_EQ(o.timeline[7].rate, 0.05);
  EXPECT_DOUBLE_EQ(o.timeline[7].at, 1);

  const struct {
    std::vector<std::string> args;
    const char *message;
  } bad[] = {
      {{"--sleep@2"}, "--sleep '2': expected"},
      {{"--sleep@2+0"}, "--sleep '2+0': expected"},
      {{"--pnp", "reboot@1"}, "--pnp 'reboot@1': expected"},
      {{"--pnp", "rebalance"}, "--pnp 'rebalance': expected"},
      {{"--surprise-remove@-1"}, "--surprise-remove '-1': expected"},
      {{"--set-time@1=0"}, "--set-time '1=0': expected"},
      {{"--set-time@1"}, "--set-time '1': expected"},
      {{"--low-resources", "1:0"}, "--low-resources '1:0': expected"},
      {{"--low-resources", "x:0.5"}, "--low-resources 'x:0.5': expected"},
      {{"--pnp", "card2/remove@1"}, "--pnp names card2 but there is 1 card"},
      {{"--compliance", "--pnp", "remove@1"}, "--compliance runs alone"},
  };
  for (const auto &b : bad) {
    ctl::Options bo;
    std::string message;
    EXPECT_FALSE(Parse(b.args, &bo, &message)) << b.args[0];
    EXPECT_NE(message.find(b.message), std::string::npos) << message;
  }
}

TEST(CtlOptions, RawPropertiesAndTheOptionNamedAsTyped) {
  ctl::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"-d", "video0", "--get-prop", "{01234567-89AB-CDEF-0123-456789ABCDEF}:7:40",
                     "--set-prop", "vidEOprocamp:0=0a,00 ff", "--basic-support", "PIN:0x3"},
                    &o, &error))
      << error;
  ASSERT_EQ(o.properties.size(), 3u);
  EXPECT_EQ(o.properties[0].set, "{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(o.properties[0].id, 7u);
  EXPECT_EQ(*o.properties[0].size, 40u);
  EXPECT_EQ(o.properties[1].kind, ctl::PropertyRequest::Kind::Set);
  EXPECT_EQ(o.properties[1].data, (std::vector<uint8_t>{0x0a, 0x00, 0xff}));
  EXPECT_EQ(o.properties[2].id, 3u);
  EXPECT_TRUE(o.WantsInspection());
  // A bad short option inside a group is named alone, not as the group or the program.
  ctl::Options x;
  EXPECT_FALSE(Parse({"-ql"}, &x, &error));
  EXPECT_EQ(error, "unknown option '-q'");
  EXPECT_FALSE(Parse({"-l", "--device"}, &x, &error));
  EXPECT_EQ(error, "option '--device' needs a value");
  EXPECT_FALSE(Parse({"--no-such=1"}, &x, &error));
  EXPECT_EQ(error, "unknown option '--no-such'");
  EXPECT_EQ(ctl::Shown(std::string(100, 'a')).size(),
            80u + std::string("... (100 characters)").size());
}

TEST(CtlOutputs, TheSameFileByAnyNameIsOneFileAndOnlyCommittedFilesStay) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("ctl-outputs-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "sub");
  std::ofstream(dir / "input.mkv") << "x";
  std::filesystem::create_symlink(dir / "input.mkv", dir / "link.avi");
  std::filesystem::create_hard_link(dir / "input.mkv", dir / "hard.avi");
  {
    ctl::Outputs outputs;
    outputs.Protect((dir / "input.mkv").string(), "--input");
    EXPECT_THROW(outputs.Claim((dir / "link.avi").string(), "--stream-to"), ctl::UsageError);
    EXPECT_THROW(outputs.Claim((dir / "hard.avi").string(), "--stream-to"), ctl::UsageError);
    outputs.Claim((dir / "a.avi").string(), "--stream-to");
    EXPECT_THROW(outputs.Claim((dir / "sub/../a.avi").string(), "--trace"), ctl::UsageError);
    EXPECT_THROW(outputs.Claim((dir / "sub").string(), "--trace"), ctl::UsageError);
    EXPECT_THROW(outputs.Claim((dir / "none/x.avi").string(), "--trace"), ctl::UsageError);
    outputs.Claim((dir / "made/x.avi").string(), "--stream-to", true);
    outputs.Claim((dir / "made/sheet.png").string(), "--contact-sheet");  // the same new folder
    outputs.Claim((dir / "b.avi").string(), "--stream-to");
    std::string a = outputs.Open((dir / "a.avi").string());
    std::string b = outputs.Open((dir / "b.avi").string());
    std::string x = outputs.Open((dir / "made/x.avi").string());
    EXPECT_TRUE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(x));
    std::string error;
    EXPECT_TRUE(outputs.Commit((dir / "a.avi").string(), &error)) << error;
    EXPECT_TRUE(std::filesystem::exists(dir / "a.avi"));
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(b));
  }
  // What was not committed went with the run.
  EXPECT_TRUE(std::filesystem::exists(dir / "a.avi"));
  EXPECT_FALSE(std::filesystem::exists(dir / "b.avi"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "made"));
  std::filesystem::remove_all(dir);
}

TEST(CtlOptions, ARefusedGroupOfShortOptionsLeavesNothingForTheNextParse) {
  ctl::Options first, second;
  std::string error;
  // Both command lines stay in memory, so what the scanner kept of the first is still there.
  std::string a0 = "morvane-ctl", a1 = "-lqC", a2 = "brightness", b1 = "--cards", b2 = "2";
  char *refused[] = {a0.data(), a1.data(), a2.data(), nullptr};
  char *plain[] = {a0.data(), b1.data(), b2.data(), nullptr};
  EXPECT_FALSE(ctl::ParseOptions(3, refused, &first, &error));
  ASSERT_TRUE(ctl::ParseOptions(3, plain, &second, &error)) << error;
  EXPECT_EQ(second.cards, 2);
  EXPECT_FALSE(second.listControls);
  EXPECT_TRUE(second.getControls.empty());
}

TEST(CtlMedia, FramesTakeTheFileLayoutTheirHeaderCallsFor) {
  // Y41P: eight pixels in twelve bytes become yuv411p planes, sample for sample.
  ctl::VideoFormat y41p{ctl::Pixel::Y41P, 8, 2, false, 333667, 12};
  const uint8_t packed[24] = {10, 1, 20, 2,  11, 3,  21, 4,  5,  6,  7,  8,
                              12, 9, 22, 10, 13, 11, 23, 12, 13, 14, 15, 16};
  std::vector<uint8_t> planes = ctl::FilePacket(y41p, packed);
  EXPECT_EQ(planes, (std::vector<uint8_t>{1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                          13, 14, 15, 16, 10, 11, 12, 13, 20, 21, 22, 23}));

  // RGB565: the file stores bottom-up rows, whichever way the frame arrived.
  const uint8_t topDown[8] = {1, 1, 2, 2, 3, 3, 4, 4};  // 2x2, rows (1,2) then (3,4)
  ctl::VideoFormat rgb{ctl::Pixel::RGB565, 2, 2, false, 400000, 4};
  EXPECT_EQ(ctl::FilePacket(rgb, topDown), (std::vector<uint8_t>{3, 3, 4, 4, 1, 1, 2, 2}));
  rgb.bottomUp = true;
  EXPECT_EQ(ctl::FilePacket(rgb, topDown), (std::vector<uint8_t>{1, 1, 2, 2, 3, 3, 4, 4}));

  // A padded stride is dropped.
  ctl::VideoFormat yuy2{ctl::Pixel::YUY2, 2, 2, false, 400000, 8};
  const uint8_t padded[16] = {1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8, 0, 0, 0, 0};
  EXPECT_EQ(ctl::FilePacket(yuy2, padded), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(CtlMedia, AudioIsPlacedByItsStampsWithSilenceForGapsAndNothingTwice) {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("ctl-units-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "a.wav").string();
  std::string error;
  ctl::MediaFile::Audio audio{8000};
  auto f = ctl::MediaFile::Create(path, path + ".part", nullptr, &audio, &error);
  ASSERT_TRUE(f) << error;
  EXPECT_FALSE(std::filesystem::exists(path)) << "only a finished file takes the name";
  std::vector<int16_t> block(2048, 100);
  const int64_t blockTime = 2048 * 10000000LL / 8000;  // 100 ns
  ASSERT_TRUE(f->WriteAudio(block.data(), block.size(), 0, &error));
  // Stamping jitter is not a gap.
  ASSERT_TRUE(f->WriteAudio(block.data(), block.size(), blockTime + 3000, &error));
  EXPECT_EQ(f->audioSamples(), 4096);
  // A lost block is a gap of silence.
  ASSERT_TRUE(f->WriteAudio(block.data(), block.size(), 3 * blockTime, &error));
  EXPECT_EQ(f->audioSamples(), 4 * 2048);
  // Samples already covered are not written again; those before the origin neither.
  ASSERT_TRUE(f->WriteAudio(block.data(), block.size(), 3 * blockTime, &error));
  ASSERT_TRUE(f->WriteAudio(block.data(), block.size(), -blockTime / 2, &error));
  EXPECT_EQ(f->audioSamples(), 4 * 2048);
  // Finished, the file waits under its temporary name for the run to commit it.
  ASSERT_TRUE(f->Finish(&error)) << error;
  EXPECT_TRUE(std::filesystem::exists(path + ".part"));
  EXPECT_FALSE(std::filesystem::exists(path));

  auto g = ctl::MediaFile::Create((dir / "b.mkv").string(), (dir / "b.mkv.part").string(), nullptr,
                                  &audio, &error);
  ASSERT_TRUE(g);
  g->Discard();
  EXPECT_TRUE(std::filesystem::exists(dir / "a.wav.part"));
  EXPECT_FALSE(std::filesystem::exists(dir / "b.mkv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "b.mkv.part"));
  std::filesystem::remove_all(dir);
}

TEST(CtlFaults, OnlyLossesWithinAFaultOfTheSameChannelAreExplained) {
  using ctl::FaultSpec;
  const ctl::Hns start = 1'000'000, second = ctl::kHnsPerSecond, slack = 700'000;
  std::vector<FaultSpec> faults(3);
  faults[0] = {FaultSpec::Kind::ChannelError, 0, 2, 1.0, 0, false};   // card0 ch2 at 1 s
  faults[1] = {FaultSpec::Kind::SignalLoss, 1, 2, 2.0, 0.5, false};   // card1 ch2 2-2.5 s
  faults[2] = {FaultSpec::Kind::StandardChange, 0, 5, 3.0, 0, true};  // card0 ch5 from 3 s
  auto explains = [&](int card, unsigned channel, double from, double to) {
    return ctl::FaultExplains(faults, card, channel, start, start + ctl::SecondsToHns(from),
                              start + ctl::SecondsToHns(to), slack);
  };
  EXPECT_TRUE(explains(0, 2, 0.98, 1.2));  // begins a frame or two before the error
  EXPECT_FALSE(explains(0, 2, 0.5, 1.2));  // began before it
  EXPECT_FALSE(explains(0, 2, 1.5, 2.5));  // lasts beyond its recovery
  EXPECT_FALSE(explains(0, 3, 1.0, 1.2));  // another channel
  EXPECT_FALSE(explains(1, 2, 1.0, 1.2));  // another card, before its own fault
  EXPECT_TRUE(explains(1, 2, 2.0, 3.4));   // the loss and the recovery after it
  EXPECT_FALSE(explains(1, 2, 2.0, 3.6));
  EXPECT_TRUE(explains(0, 5, 3.0, 100.0));  // a new standard for good
  (void)second;
}

TEST(CtlNames, ChannelFiles) {
  EXPECT_EQ(ctl::ChannelFile(ctl::ChannelFilePattern("out"), 3), "out/channel3.avi");
  EXPECT_EQ(ctl::ChannelFile(ctl::ChannelFilePattern("out/"), 3), "out/channel3.avi");
  EXPECT_EQ(ctl::ChannelFile(ctl::ChannelFilePattern("cap/in%d.mkv"), 7), "cap/in7.mkv");
}

}  // namespace
