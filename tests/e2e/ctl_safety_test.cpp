// morvane-ctl end to end with the user's files at stake: the registry file kept whole,
// nothing written by a run that fails or is stopped, one message per problem.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "e2e/ctl_tools.h"
#include "sim/kernel/registry.h"

namespace {

using e2e::Count;
using e2e::Listing;
using e2e::Slurp;
using e2e::Workdir;

// Foreign keys in several hives with a value of every type, as a platform tool exports
// them (UTF-16 with a byte order mark).
std::string ForeignExport() {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Someone Else\\Empty]\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Someone Else\\Values]\r\n"
      "@=\"default \\\"quoted\\\" c:\\\\path\"\r\n"
      "\"sz\"=\"caf\xC3\xA9 \xE2\x82\xAC\"\r\n"
      "\"dword\"=dword:deadbeef\r\n"
      "\"qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"
      "\"binary\"=hex:00,ff,10,20\r\n"
      "\"expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\r\n"
      "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"none\"=hex(0):\r\n"
      "\"big-endian\"=hex(5):00,00,00,01\r\n"
      "\"odd type\"=hex(123456):07\r\n"
      "\"sz without terminator\"=hex(1):41,00\r\n"
      "\"dword of 3 bytes\"=hex(4):01,02,03\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other Vendor\\Deep\\Deeper]\r\n"
      "\"n\"=dword:00000007\r\n\r\n"
      "[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n"
      "\"x\"=\"y\"\r\n\r\n"
      "[HKEY_CLASSES_ROOT\\.foo]\r\n"
      "@=\"foofile\"\r\n\r\n"
      "[HKEY_CURRENT_CONFIG\\System]\r\n"
      "\"c\"=hex:\r\n\r\n";
  std::u16string wide = sim::Utf8ToUtf16(text);
  std::string bytes = "\xFF\xFE";
  for (char16_t c : wide) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(CtlRegistryFile, EveryHiveKeyAndValueTypeComesBackWithTheSettingsAdded) {
  Workdir w;
  std::ofstream(w / "machine.reg", std::ios::binary) << ForeignExport();
  e2e::Outcome o = w.Ctl("--registry machine.reg --setting Preview2=1,HDELAY3=120 --list-devices");
  ASSERT_EQ(o.status, 0) << o.err;
  sim::Registry before, after;
  before.LoadText(ForeignExport());
  after.Load((w / "machine.reg").string());
  for (const char *root : {"HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CLASSES_ROOT",
                           "HKEY_CURRENT_CONFIG", "HKEY_LOCAL_MACHINE\\SOFTWARE"})
    EXPECT_EQ(after.SaveText(sim::Registry::Encoding::Utf8, {root}),
              before.SaveText(sim::Registry::Encoding::Utf8, {root}))
        << root;
  // Byte for byte, also where the type and the bytes disagree.
  auto odd = after.GetValue("HKCU\\Software\\Someone Else\\Values", "dword of 3 bytes");
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(odd->data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(after.GetValue("HKCU\\Software\\Someone Else\\Values", "odd type")->type, 0x123456u);
  // And the machine's own keys with the settings given.
  std::string text = after.SaveText(sim::Registry::Encoding::Utf8);
  EXPECT_NE(text.find("\"Preview2\"=dword:00000001"), std::string::npos);
  EXPECT_NE(text.find("\"HDELAY3\"=dword:00000078"), std::string::npos);
  // A second run reads what the first saved and saves the same again.
  std::string saved = Slurp(w / "machine.reg");
  ASSERT_EQ(w.Ctl("--registry machine.reg --list-devices").status, 0);
  EXPECT_EQ(Slurp(w / "machine.reg"), saved);
  EXPECT_EQ(Listing(w.path()), (std::vector<std::string>{"machine.reg"}));
}

TEST(CtlRegistryFile, ARunThatFailsLeavesItByteIdentical) {
  Workdir w;
  std::ofstream(w / "machine.reg", std::ios::binary) << ForeignExport();
  const std::string original = Slurp(w / "machine.reg");
  const char *failing[] = {
      "--registry machine.reg --setting Preview1=1 -d card7 -l",  // bad device
      "--registry machine.reg --setting Preview1=1 --fault error:card3/0@1 -d card0 "
      "--stream-to o/",  // card beyond
      "--registry machine.reg --setting INTMODE0=2 -d video0 -v width=722 "
      "--stream-to x.avi",  // driver refuses
      "--registry machine.reg --setting Preview1=1 -d video0 --stream-to "
      "missing/x.avi",                                                    // unwritable
      "--registry machine.reg --setting Preview1=1 -i 0=nothing.mkv -l",  // no input
  };
  for (const char *args : failing) {
    e2e::Outcome o = w.Ctl(args);
    EXPECT_EQ(o.status, 2) << args << "\n" << o.err;
    EXPECT_EQ(Slurp(w / "machine.reg"), original) << args;
    EXPECT_EQ(Listing(w.path()), (std::vector<std::string>{"machine.reg"})) << args;
  }
}

TEST(CtlRegistryFile, DeepNestingAndFilesThatAreNotFilesAreRefusedWithAMessage) {
  Workdir w;
  // 30,000 levels in a 60 KB file.
  std::string deep = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER";
  for (int i = 0; i < 30000; ++i) deep += "\\k";
  deep += "]\n";
  std::ofstream(w / "deep.reg", std::ios::binary) << deep;
  e2e::Outcome o = w.Ctl("--registry deep.reg -l");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("line 3: bad key"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("more than 512 levels"), std::string::npos) << o.err;
  EXPECT_LT(o.err.size(), 400u) << "the key is shortened in the message";
  EXPECT_EQ(Slurp(w / "deep.reg"), deep);

  ASSERT_EQ(::mkfifo((w / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directories(w / "folder.reg");
  const struct {
    const char *args;
    const char *expected;
  } cases[] = {
      {"--registry fifo -l", "--registry 'fifo': not a regular file"},
      {"--registry folder.reg -l", "--registry 'folder.reg': is a folder, not a file"},
      {"-i 0=fifo -l", "--input 'fifo': not a regular file"},
      {"-i 0=/dev/zero -l", "--input '/dev/zero': not a regular file"},
  };
  for (const auto &c : cases) {
    // A hang here would be the fault: the timeout turns it into a failure.
    e2e::Outcome r = w.Run("timeout 60 " + e2e::Program() + " " + c.args);
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(Count(r.err, "morvane-ctl:"), 1u) << r.err;
  }
}

TEST(CtlOutputs, NothingIsOpenedWhenACheckFailsAndAnEarlierCaptureSurvives) {
  Workdir w;
  std::filesystem::create_directories(w / "cap");
  std::ofstream(w / "cap/channel0.avi") << "an earlier capture";
  std::filesystem::create_directories(w / "cap/channel3.avi");  // a folder in the way
  const struct {
    const char *args;
    const char *expected;
  } cases[] = {
      {"--cards 1 --fault error:card1/0@0.1 -d card0 --duration 0.2 --stream-to cap/",
       "--fault names card1 but there is 1 card"},
      {"-d card0 --duration 0.2 --stream-to cap/", "'cap/channel3.avi': is a folder"},
      {"-d card0 --duration 0.2 --stream-to 'new/c%d.avi' --contact-sheet nowhere/s.png",
       "--contact-sheet 'nowhere/s.png': cannot write there"},
      {"-d card0 --duration 0.2 --stream-to 'new/c%d.avi' --contact-sheet new/c0.avi",
       "name the same file"},
      {"-d video0 --duration 0.2 --stream-to new.avi --trace nowhere/t.txt",
       "--trace 'nowhere/t.txt': cannot write there"},
      {"-d video0 --duration 0.2 --stream-to x.avi --frame-log x.avi", "name the same file"},
      {"-i 0=cap/channel0.avi -d video0 --duration 0.2 --stream-to cap/channel0.avi",
       "names the file --input reads"},
  };
  const std::vector<std::string> before = Listing(w.path());
  for (const auto &c : cases) {
    e2e::Outcome o = w.Ctl(c.args);
    EXPECT_EQ(o.status, 2) << c.args << "\n" << o.err;
    EXPECT_NE(o.err.find(c.expected), std::string::npos) << c.args << "\n" << o.err;
    EXPECT_EQ(Listing(w.path()), before) << c.args;
  }
  EXPECT_EQ(Slurp(w / "cap/channel0.avi"), "an earlier capture");
}

TEST(CtlOutputs, SigtermRemovesWhatTheCaptureWasWriting) {
  Workdir w;
  pid_t pid = e2e::Spawn(w.path(), {"-d", "card0", "--duration", "600", "--stream-to", "out/",
                                    "--trace", "t.txt", "--frame-log", "f.jsonl"});
  ASSERT_GT(pid, 0);
  // Until the capture is under way: its temporaries exist.
  bool writing = false;
  for (int i = 0; i < 600 && !writing; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::filesystem::exists(w / "out"))
      for (const auto &e : std::filesystem::directory_iterator(w / "out"))
        if (e.path().extension() == ".part") writing = true;
  }
  EXPECT_TRUE(writing);
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int raw = 0;
  ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << raw;
  std::vector<std::string> left = Listing(w.path());
  left.erase(
      std::remove_if(left.begin(), left.end(), [](const std::string &n) { return n[0] == '.'; }),
      left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"out"})) << "only the folder it created";
}

TEST(CtlMessages, OneLineNamingTheProblemAsTyped) {
  Workdir w;
  std::ofstream(w / "garbage.mkv") << std::string(4096, 'g');
  e2e::Outcome o = w.Ctl("-ql");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown option '-q'"), std::string::npos) << o.err;
  // FFmpeg's own lines are folded into ours.
  o = w.Ctl("-i 2=garbage.mkv -l");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(Count(o.err, "\n"), 1u) << o.err;
  EXPECT_NE(o.err.find("'garbage.mkv' is not a media file FFmpeg can read: "), std::string::npos)
      << o.err;
  // A huge value is shortened: on the command line (as long as one argument may be) and
  // in a file (a key of 5 MB).
  const std::string huge(100000, 'K');
  std::ofstream(w / "args") << "--setting " << huge << "=1 -l";
  o = w.Run(e2e::Program() + " $(cat args)");
  EXPECT_EQ(o.status, 2);
  EXPECT_LT(o.err.size(), 400u);
  EXPECT_NE(o.err.find("(100000 characters)"), std::string::npos) << o.err.substr(0, 400);
  std::ofstream(w / "huge.reg") << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\"
                                << std::string(5 << 20, 'K') << "]\n";
  o = w.Ctl("--registry huge.reg -l");
  EXPECT_EQ(o.status, 2);
  EXPECT_LT(o.err.size(), 400u) << o.err.substr(0, 400);
  EXPECT_NE(o.err.find("key name longer than 255 characters"), std::string::npos)
      << o.err.substr(0, 400);
}

}  // namespace
