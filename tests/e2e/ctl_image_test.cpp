// morvane-ctl --driver: the Windows image the package ships, run in place of the built-in
// driver, gives the same files; a file that is not a loadable driver is refused before
// anything is opened.
#include "e2e/ctl_tools.h"

namespace {

using e2e::Listing;
using e2e::Slurp;
using e2e::Workdir;

std::string BuiltImage() {
  std::string path = std::string(MORVANE_WINDOWS_BUILD_DIR) + "/driver/morvane.sys";
  return std::filesystem::exists(path) ? path : std::string();
}

TEST(CtlDriverImage, AFileThatIsNoLoadableDriverIsRefusedWithTheLoadersReason) {
  Workdir w;
  std::ofstream(w / "junk.sys", std::ios::binary) << "MZ\x90";
  std::ofstream(w / "driver.avi", std::ios::binary) << "MZ\x90";
  std::ofstream(w / "machine.reg", std::ios::binary) << "Windows Registry Editor Version 5.00\n";
  std::filesystem::create_directories(w / "folder.sys");
  const std::vector<std::string> before = Listing(w.path());
  const struct {
    const char *args;
    const char *expected;
  } cases[] = {
      {"--driver junk.sys -d video0 --stream-to x.avi",
       "--driver 'junk.sys': truncated: no room for the DOS header, the file has 0x3 bytes"},
      {"--driver missing.sys -l", "--driver 'missing.sys': cannot open: No such file"},
      {"--driver folder.sys -l", "--driver 'folder.sys': not a regular file (a folder)"},
      {"--driver driver.avi -d video0 --stream-to driver.avi",
       "--stream-to 'driver.avi' names the file --driver reads"},
      {"--driver junk.sys --cost-model uncached -d video0 --stream-to x.avi",
       "use --cost-model none with --driver"},
  };
  for (const auto &c : cases) {
    e2e::Outcome o = w.Ctl(std::string("--registry machine.reg ") + c.args);
    EXPECT_EQ(o.status, 2) << c.args << "\n" << o.err;
    EXPECT_NE(o.err.find(c.expected), std::string::npos) << c.args << "\n" << o.err;
    EXPECT_EQ(e2e::Count(o.err, "morvane-ctl:"), 1u) << o.err;
    EXPECT_EQ(Listing(w.path()), before) << c.args << ": nothing written";
    EXPECT_EQ(Slurp(w / "driver.avi"), "MZ\x90");
  }
}

// Every file of a whole card's capture, the frame log and the register trace come out the
// same, byte for byte, from the image as from the Linux build, on two processors. The
// image's copies are invisible to the cost model, so --driver runs without it.
TEST(CtlDriverImage, TheImageCapturesTheSameFilesAsTheBuiltInDriver) {
  std::string image = BuiltImage();
  if (image.empty()) {
    if (std::getenv("MORVANE_REQUIRE_WINDOWS_BUILD") != nullptr) FAIL() << "no morvane.sys";
    GTEST_SKIP() << "morvane.sys is not built (the windows preset makes it)";
  }
  Workdir w;
  const std::string args =
      "-i 4-7=pattern:625 -d card0 --duration 1.5 --cpus 2 --cost-model none --stream-to %s "
      "--frame-log %s.jsonl --trace %s.trace";
  auto run = [&](const std::string &name, const std::string &driver) {
    std::string line = args;
    for (size_t at; (at = line.find("%s")) != std::string::npos;) line.replace(at, 2, name);
    return w.Run(e2e::Quote(MORVANE_CTL) + driver + " " + line);
  };
  e2e::Outcome linux = run("linux", "");
  ASSERT_EQ(linux.status, 0) << linux.err;
  e2e::Outcome fromImage = run("image", " --driver " + e2e::Quote(image));
  ASSERT_EQ(fromImage.status, 0) << fromImage.err;
  std::vector<std::string> files = Listing(w / "linux");
  ASSERT_EQ(files.size(), 9u) << "eight channel files and the contact sheet";
  EXPECT_EQ(Listing(w / "image"), files);
  for (const std::string &f : files)
    EXPECT_TRUE(Slurp(w / "linux" / f) == Slurp(w / "image" / f)) << f;
  EXPECT_TRUE(Slurp(w / "linux.jsonl") == Slurp(w / "image.jsonl"));
  std::string trace = Slurp(w / "linux.trace");
  EXPECT_GT(trace.size(), 100000u);
  EXPECT_TRUE(trace == Slurp(w / "image.trace"));
}

}  // namespace
