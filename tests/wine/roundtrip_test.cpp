// The round trip's Linux half on every run, Wine or not: export files written byte for
// byte as `wine reg export` writes them (UTF-16LE with a byte order mark, CRLF lines, the
// long hive name, the instance key before its "Device Parameters").
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wine/roundtrip.h"

namespace {

using Channels = std::array<bool, 8>;

std::string Utf16leWithCrlf(const std::string &ascii) {
  std::string bytes = "\xFF\xFE";
  for (char ch : ascii) {
    if (ch == '\n') bytes += std::string("\r\0", 2);
    bytes += ch;
    bytes += '\0';
  }
  return bytes;
}

std::string CardExport(const std::string &instancePath, const std::string &values) {
  const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instancePath;
  return "Windows Registry Editor Version 5.00\n\n[" + key + "]\n\n[" + key +
         "\\Device Parameters]\n" + values + "\n";
}

// Pinflip's eight values after a save, with Fieldflip's beside them.
std::string PreviewValues(const char *const preview[8]) {
  std::string text;
  for (int n = 0; n < 8; ++n)
    text += "\"INTMODE" + std::to_string(n) + "\"=dword:00000000\n\"Preview" + std::to_string(n) +
            "\"=dword:" + preview[n] + "\n";
  return text;
}

class RoundTripTest : public ::testing::Test {
 protected:
  std::string Write(const std::string &bytes) {
    const std::string file = ::testing::TempDir() + "roundtrip-" + std::to_string(getpid()) + "-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".reg";
    std::ofstream(file, std::ios::binary) << bytes;
    files_.push_back(file);
    return file;
  }
  void TearDown() override {
    for (const auto &f : files_) std::remove(f.c_str());
  }
  std::vector<std::string> files_;
};

const char *const kSaved[8] = {"00000000", "00000001", "00000000", "00000000",
                               "ffffffff", "00000000", "00000000", "00000001"};

TEST_F(RoundTripTest, TheChannelsSavedAsPreviewPublishPreviewPinsAndNoOthers) {
  const std::string path = roundtrip::FirstCardPath();
  ASSERT_EQ(path.rfind("PCI\\VEN_", 0), 0u) << path;
  const std::string file = Write(Utf16leWithCrlf(CardExport(path, PreviewValues(kSaved))));

  // Channels 2 and 8 hold 1; channel 5's 0xFFFFFFFF (a stored 7 the tool kept) is not 1.
  roundtrip::Verdict v =
      roundtrip::CheckPreviewPins(file, {false, true, false, false, false, false, false, true});
  EXPECT_TRUE(v.ok) << v.report;
  EXPECT_NE(v.report.find("channel 2 (Preview1 = 0x00000001): preview pin"), std::string::npos)
      << v.report;
  EXPECT_NE(v.report.find("channel 5 (Preview4 = 0xFFFFFFFF): capture pin"), std::string::npos)
      << v.report;

  // The same export against a wrong expectation must fail, naming both channels.
  v = roundtrip::CheckPreviewPins(file, {true, false, false, false, false, false, false, true});
  EXPECT_FALSE(v.ok) << v.report;
  EXPECT_NE(v.report.find("channel 1 publishes a capture pin, not a preview pin"),
            std::string::npos)
      << v.report;
  EXPECT_NE(v.report.find("channel 2 publishes a preview pin, not a capture pin"),
            std::string::npos)
      << v.report;
}

TEST_F(RoundTripTest, AnExportTheCardDoesNotReadFromIsRejectedNotTakenAsAllCapture) {
  const std::string simulated = roundtrip::SettingsKey(roundtrip::FirstCardPath());
  const Channels none{};

  // Another card's instance path: the driver would never see these values.
  roundtrip::Verdict v = roundtrip::CheckPreviewPins(
      Write(Utf16leWithCrlf(
          CardExport("PCI\\VEN_4D56&DEV_6864&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00E0",
                     PreviewValues(kSaved)))),
      none);
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.report.find("the export sets no REG_DWORD Preview0 under " + simulated),
            std::string::npos)
      << v.report;

  // The right key with one channel left out.
  std::string values = PreviewValues(kSaved);
  values.erase(values.find("\"Preview6\""), std::string("\"Preview6\"=dword:00000000\n").size());
  v = roundtrip::CheckPreviewPins(
      Write(Utf16leWithCrlf(CardExport(roundtrip::FirstCardPath(), values))), none);
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.report.find("Preview6"), std::string::npos) << v.report;
  EXPECT_EQ(v.report.find("Preview5"), std::string::npos) << v.report;
}

// Fieldflip's eight values after a save.
std::string IntmodeValues(const char *const intmode[8]) {
  std::string text;
  for (int n = 0; n < 8; ++n)
    text += "\"INTMODE" + std::to_string(n) + "\"=dword:" + intmode[n] + "\n";
  return text;
}

TEST_F(RoundTripTest, TheChannelsSavedAsLinearDeliverLineDoubledFramesAndNoOthers) {
  const std::string path = roundtrip::FirstCardPath();
  // A 1 left by an older tool is woven by the driver, like 0.
  const char *const saved[8] = {"00000000", "00000000", "00000002", "00000001",
                                "00000000", "00000000", "00000002", "00000000"};
  const std::string file = Write(Utf16leWithCrlf(CardExport(path, IntmodeValues(saved))));
  roundtrip::Verdict v =
      roundtrip::CheckLinearChannels(file, {false, false, true, false, false, false, true, false});
  EXPECT_TRUE(v.ok) << v.report;
  EXPECT_NE(v.report.find("channel 3 (INTMODE2 = 0x00000002): line-doubled frame"),
            std::string::npos)
      << v.report;
  EXPECT_NE(v.report.find("channel 4 (INTMODE3 = 0x00000001): woven frame"), std::string::npos)
      << v.report;

  v = roundtrip::CheckLinearChannels(file, {true, false, false, false, false, false, true, false});
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.report.find("channel 1 delivers a woven frame, not a line-doubled one"),
            std::string::npos)
      << v.report;
  EXPECT_NE(v.report.find("channel 3 delivers a line-doubled frame, not a woven one"),
            std::string::npos)
      << v.report;
}

TEST_F(RoundTripTest, TheInstallationExportListsTheCardsAsTheToolsReadThem) {
  const std::string file = ::testing::TempDir() + "install-" + std::to_string(getpid()) + ".reg";
  files_.push_back(file);
  roundtrip::Verdict v = roundtrip::ExportInstallation(file, 2);
  ASSERT_TRUE(v.ok) << v.report;
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;  // the UTF-16LE export's ASCII
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
  const std::string path = roundtrip::FirstCardPath();
  std::string escaped;
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\morvane\\Enum]"),
            std::string::npos);
  EXPECT_NE(text.find("\"Count\"=dword:00000002"), std::string::npos);
  EXPECT_NE(text.find("\"0\"=\"" + escaped + "\""), std::string::npos) << text.substr(0, 2000);
  EXPECT_NE(text.find("\"FriendlyName\"=\"MORVANE Audio 8\""), std::string::npos);
  EXPECT_EQ(text.find("Preview"), std::string::npos)
      << "the driver writes those at its first start";
}

TEST_F(RoundTripTest, AnUnreadableExportIsReported) {
  const Channels none{};
  roundtrip::Verdict v = roundtrip::CheckPreviewPins(::testing::TempDir() + "no-such.reg", none);
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.report.find("cannot load the export"), std::string::npos) << v.report;

  // Cut off in the middle of a UTF-16 character, as a failed copy would leave it.
  std::string bytes =
      Utf16leWithCrlf(CardExport(roundtrip::FirstCardPath(), PreviewValues(kSaved)));
  bytes.pop_back();
  v = roundtrip::CheckPreviewPins(Write(bytes), none);
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.report.find("cannot load the export"), std::string::npos) << v.report;
}

}  // namespace
