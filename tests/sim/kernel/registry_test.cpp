#include "sim/kernel/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "sim/kernel/machine.h"
#include "sim/kernel/pci.h"
#include "sim/kernel/pnp.h"

namespace sim {
namespace {

constexpr char kKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\X\\Device Parameters";

// The bytes of a UTF-16LE file with its byte-order mark, as the platform's tools write it.
std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  return std::vector<uint8_t>(list.begin(), list.end());
}

std::vector<uint8_t> Wide(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

struct Partial {
  ULONG titleIndex, type, dataLength;
};

Partial HeaderOf(const uint8_t *buffer) {
  Partial p;
  std::memcpy(&p, buffer, sizeof(p));
  return p;
}

TEST(RegistryTree, NamesAreCaseInsensitiveAndKeepTheirSpelling) {
  Registry r;
  r.SetDword("HKLM\\Software\\Vendor", "Preview0", 1);
  EXPECT_EQ(r.GetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\vendor", "PREVIEW0"), 1u);
  EXPECT_EQ(r.GetDword("\\Registry\\Machine\\software\\VENDOR", "preview0"), 1u);
  r.SetDword("hklm\\SOFTWARE\\VENDOR", "PREVIEW0", 2);  // same value, first spelling stays
  EXPECT_EQ(r.SubKeys("HKLM\\software"), std::vector<std::string>{"Vendor"});
  EXPECT_EQ(r.ValueNames("HKLM\\software\\vendor"), std::vector<std::string>{"Preview0"});
  EXPECT_EQ(r.GetDword("HKLM\\Software\\Vendor", "Preview0"), 2u);

  r.SetString("HKLM\\Software\\Vendor", "", "default");
  EXPECT_EQ(r.GetString("HKLM\\Software\\Vendor", ""), "default");
  r.SetValue("HKLM\\Software\\Vendor", "Long", REG_DWORD, Bytes({1, 0, 0, 0, 0}));
  EXPECT_FALSE(r.GetDword("HKLM\\Software\\Vendor", "Long"));  // not exactly 4 bytes

  EXPECT_TRUE(r.DeleteKey("HKLM\\SOFTWARE"));
  EXPECT_FALSE(r.KeyExists("HKLM\\Software\\Vendor"));
  EXPECT_FALSE(r.DeleteKey("HKLM"));  // hives stay
  EXPECT_THROW(r.CreateKey("HKXX\\Foo"), std::invalid_argument);
  EXPECT_THROW(r.CreateKey("HKLM\\a\\\\b"), std::invalid_argument);
  EXPECT_THROW(r.CreateKey("HKLM\\" + std::string(256, 'k')), std::invalid_argument);
  EXPECT_FALSE(r.KeyExists("HKXX\\Foo"));
}

TEST(RegistryHandles, PartialInformationBufferStatuses) {
  Registry r;
  r.SetDword(kKey, "HDELAY0", 0x12345678);
  r.SetValue(kKey, "Wide", REG_BINARY, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  r.SetValue(kKey, "Empty", REG_BINARY, {});
  HANDLE h = nullptr;
  ASSERT_EQ(r.OpenKey(kKey, false, KEY_READ | KEY_WRITE, &h), STATUS_SUCCESS);
  ASSERT_NE(h, nullptr);

  uint8_t buffer[17];  // one spare byte: the service must not touch it
  std::memset(buffer, 0xCC, sizeof(buffer));
  ULONG result = 0;
  EXPECT_EQ(r.QueryValue(h, "hdelay0", KeyValuePartialInformation, buffer, 16, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(result, 16u);
  Partial p = HeaderOf(buffer);
  EXPECT_EQ(p.titleIndex, 0u);
  EXPECT_EQ(p.type, ULONG(REG_DWORD));
  EXPECT_EQ(p.dataLength, 4u);
  uint32_t value;
  std::memcpy(&value, buffer + 12, 4);
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(buffer[16], 0xCC);

  // Header fits, data does not: header filled, data area left alone.
  std::memset(buffer, 0xCC, sizeof(buffer));
  EXPECT_EQ(r.QueryValue(h, "Wide", KeyValuePartialInformation, buffer, 16, &result),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 20u);
  p = HeaderOf(buffer);
  EXPECT_EQ(p.type, ULONG(REG_BINARY));
  EXPECT_EQ(p.dataLength, 8u);
  EXPECT_EQ(buffer[12], 0xCC);

  std::memset(buffer, 0xCC, sizeof(buffer));
  EXPECT_EQ(r.QueryValue(h, "HDELAY0", KeyValuePartialInformation, buffer, 4, &result),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(buffer[0], 0xCC);
  EXPECT_EQ(r.QueryValue(h, "HDELAY0", KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_BUFFER_TOO_SMALL);

  // A header-only buffer is enough for an empty value; odd alignment is fine.
  EXPECT_EQ(r.QueryValue(h, "Empty", KeyValuePartialInformation, buffer + 1, 12, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(result, 12u);

  EXPECT_EQ(r.QueryValue(h, "HDELAY1", KeyValuePartialInformation, buffer, 16, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.QueryValue(h, "HDELAY0", KeyValueFullInformation, buffer, 16, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.CloseKey(h), STATUS_SUCCESS);
}

TEST(RegistryHandles, Misuse) {
  Registry r;
  HANDLE missing = nullptr;
  EXPECT_EQ(r.OpenKey(kKey, false, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.OpenKey("HKLM\\bad\\\\path", true, &missing), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(missing, nullptr);

  HANDLE a = nullptr, b = nullptr;
  ASSERT_EQ(r.OpenKey(kKey, true, &a), STATUS_SUCCESS);
  ASSERT_EQ(r.OpenKey(kKey, false, &b), STATUS_SUCCESS);
  EXPECT_NE(a, b);
  EXPECT_EQ(r.openHandles(), 2u);
  EXPECT_EQ(r.CloseKey(a), STATUS_SUCCESS);
  EXPECT_EQ(r.CloseKey(a), STATUS_INVALID_HANDLE);
  EXPECT_EQ(r.CloseKey(nullptr), STATUS_INVALID_HANDLE);
  HANDLE c = nullptr;
  ASSERT_EQ(r.OpenKey(kKey, false, &c), STATUS_SUCCESS);
  EXPECT_NE(c, a);  // not reused

  const uint32_t one = 1;
  uint8_t buffer[16];
  ULONG result;
  EXPECT_EQ(r.SetValueByHandle(a, "X", REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);
  EXPECT_EQ(r.QueryValue(a, "X", KeyValuePartialInformation, buffer, 16, &result),
            STATUS_INVALID_HANDLE);

  // Access rights follow the mask; a failing hive refuses writes.
  HANDLE readOnly = nullptr;
  ASSERT_EQ(r.OpenKey(kKey, false, KEY_READ, &readOnly), STATUS_SUCCESS);
  EXPECT_EQ(r.SetValueByHandle(readOnly, "X", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
  r.SetWritesFail(true);
  EXPECT_EQ(r.SetValueByHandle(b, "X", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
  r.SetWritesFail(false);
  EXPECT_EQ(r.SetValueByHandle(b, "X", REG_DWORD, &one, 4), STATUS_SUCCESS);
  EXPECT_EQ(r.GetDword(kKey, "x"), 1u);

  // A key deleted under open handles: they fail, and a new key of that name is separate.
  ASSERT_TRUE(r.DeleteKey("HKLM\\SYSTEM\\CurrentControlSet\\Enum"));
  EXPECT_EQ(r.QueryValue(b, "X", KeyValuePartialInformation, buffer, 16, &result),
            STATUS_KEY_DELETED);
  EXPECT_EQ(r.SetValueByHandle(c, "X", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
  r.CreateKey(kKey);
  EXPECT_EQ(r.QueryValue(b, "X", KeyValuePartialInformation, buffer, 16, &result),
            STATUS_KEY_DELETED);
  EXPECT_EQ(r.CloseKey(b), STATUS_SUCCESS);
  EXPECT_EQ(r.CloseKey(c), STATUS_SUCCESS);
  EXPECT_EQ(r.CloseKey(readOnly), STATUS_SUCCESS);
  EXPECT_EQ(r.openHandles(), 0u);
}

TEST(RegFile, LoadsAnExportWrittenByThePlatformTools) {
  const std::string file = Utf16File(
      u"Windows Registry Editor Version 5.00\r\n"
      u"\r\n"
      u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\morvane\\Enum]\r\n"
      u"\"Count\"=dword:00000002\r\n"
      u"\"0\"=\"PCI\\\\VEN_4D56&DEV_6864\\\\4&1a2b\"\r\n"
      u"\"Quote\"=\"say \\\"hi\\\" \u00e9\U0001F600\"\r\n"
      u"@=\"\"\r\n"
      u"\r\n"
      u"; a comment\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
      u"\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,\\\r\n"
      u"  00,00\r\n"
      u"\"Expand\"=hex(2):25,00,00,00\r\n"
      u"\"Bin\"=hex:DE,ad\r\n"
      u"\"None\"=hex(0):\r\n"
      u"\r\n");
  Registry r;
  r.LoadText(file);
  const std::string services = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\morvane\\Enum";
  EXPECT_EQ(r.GetDword(services, "Count"), 2u);
  EXPECT_EQ(r.GetString(services, "0"), "PCI\\VEN_4D56&DEV_6864\\4&1a2b");
  EXPECT_EQ(r.GetString(services, "Quote"), "say \"hi\" \u00e9\U0001F600");
  auto def = r.GetValue(services, "");
  ASSERT_TRUE(def);
  EXPECT_EQ(def->type, ULONG(REG_SZ));
  EXPECT_EQ(def->data, Bytes({0, 0}));
  EXPECT_EQ(r.GetValue("HKLM\\SOFTWARE\\Test", "Q")->type, ULONG(REG_QWORD));
  EXPECT_EQ(r.GetValue("HKLM\\SOFTWARE\\Test", "Multi")->data,
            Wide(std::u16string(u"a\0b\0\0", 5)));
  EXPECT_EQ(r.GetValue("HKLM\\SOFTWARE\\Test", "Expand")->type, ULONG(REG_EXPAND_SZ));
  EXPECT_EQ(r.GetValue("HKLM\\SOFTWARE\\Test", "Bin")->data, Bytes({0xde, 0xad}));
  EXPECT_TRUE(r.GetValue("HKLM\\SOFTWARE\\Test", "None")->data.empty());
}

TEST(RegFile, ReadsUtf8AndRegedit4) {
  Registry r;
  r.LoadText("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKLM\\A]\n\"N\"=\"\xC3\xA9\"\n");
  EXPECT_EQ(r.GetString("HKLM\\A", "N"), "\xC3\xA9");
  // REGEDIT4: ANSI text, hex text types widened to UTF-16.
  r.LoadText(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"S\"=\"caf\xE9\"\r\n\"E\"=hex(2):41,00\r\n");
  EXPECT_EQ(r.GetString("HKLM\\B", "S"), "caf\xC3\xA9");
  EXPECT_EQ(r.GetValue("HKLM\\B", "E")->data, Bytes({0x41, 0, 0, 0}));
}

TEST(RegFile, DeletesKeysAndValues) {
  Registry r;
  r.SetDword("HKLM\\A\\B\\C", "x", 1);
  r.SetDword("HKLM\\A", "y", 1);
  r.SetString("HKLM\\A", "", "d");
  r.LoadText(
      "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"Y\"=-\r\n@=-\r\n\"gone\"=-\r\n");
  EXPECT_FALSE(r.KeyExists("HKLM\\A\\B"));
  EXPECT_TRUE(r.ValueNames("HKLM\\A").empty());
}

TEST(RegFile, ExportFormat) {
  Registry r;
  r.SetDword("HKLM\\Zeta", "b", 0xABCDEF01);
  r.SetString("HKLM\\alpha", "Path", "C:\\x \"q\"");
  r.SetString("HKLM\\alpha", "", "");
  const std::string text = r.SaveText(Registry::Encoding::Utf8);
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\alpha]\r\n"
            "@=\"\"\r\n"
            "\"Path\"=\"C:\\\\x \\\"q\\\"\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Zeta]\r\n"
            "\"b\"=dword:abcdef01\r\n\r\n");
  EXPECT_EQ(r.SaveText(), Utf16File(Utf8ToUtf16(text)));
  EXPECT_EQ(r.SaveText(Registry::Encoding::Utf8, {"hklm\\ZETA"}),
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Zeta]\r\n"
            "\"b\"=dword:abcdef01\r\n\r\n");
}

TEST(RegFile, RoundTripIsExact) {
  Registry r;
  std::vector<uint8_t> blob(300);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
  r.SetValue("HKLM\\K", "Blob", REG_BINARY, blob);
  r.SetValue("HKLM\\K", "EmptyBin", REG_BINARY, {});
  r.SetValue("HKLM\\K", "ShortDword", REG_DWORD, Bytes({1, 2}));
  r.SetValue("HKLM\\K", "LineBreak", REG_SZ, Wide(std::u16string(u"a\r\nb\0", 5)));
  r.SetValue("HKLM\\K", "Unterminated", REG_SZ, Wide(u"abc"));
  r.SetValue("HKLM\\K", "Lone", REG_SZ, Wide(std::u16string(u"\xD800\0", 2)));
  r.SetValue("HKLM\\K", "Odd", REG_SZ, Bytes({0x41}));
  r.SetValue("HKLM\\K", "Type", 0x12345, Bytes({9}));
  r.SetString("HKLM\\K", "we\"ird\\ name\n", "\xE2\x82\xAC");
  r.SetDword("HKLM\\K", "", 7);
  r.CreateKey("HKLM\\Empty\\Nested [x]");
  r.SetDword("HKCU\\Software\\U", "u", 1);
  for (auto encoding : {Registry::Encoding::Utf16le, Registry::Encoding::Utf8}) {
    const std::string saved = r.SaveText(encoding);
    Registry copy;
    copy.LoadText(saved);
    EXPECT_TRUE(copy == r);
    EXPECT_EQ(copy.SaveText(encoding), saved);
  }

  const auto file = std::filesystem::path(::testing::TempDir()) / "registry_test_roundtrip.reg";
  r.Save(file);
  Registry fromFile;
  fromFile.Load(file);
  EXPECT_TRUE(fromFile == r);
  std::filesystem::remove(file);
  EXPECT_THROW(fromFile.Load(file), RegFileError);

  // Long hex wraps near 80 columns with indented continuations, as the platform's tools do.
  std::istringstream lines(r.SaveText(Registry::Encoding::Utf8));
  std::string line;
  int continuations = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 81u) << line;  // 80 plus the CR
    if (line.starts_with("  ")) ++continuations;
  }
  EXPECT_GE(continuations, 11);
}

TEST(RegFile, MalformedInputNamesTheLineAndChangesNothing) {
  const std::string head =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\New]\r\n\"a\"=dword:1\r\n";
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"Windows Registry Editor 4\r\n", "line 1: expected the header"},
      {"", "line 1: empty file"},
      {"Windows Registry Editor Version 5.00\r\n\"a\"=dword:1\r\n", "line 2: value before"},
      {head + "[HKXX\\Foo]\r\n", "line 5: bad key 'HKXX\\Foo': unknown root"},
      {head + "[HKLM\\Foo\r\n", "line 5: key line without a closing ']'"},
      {head + "[-HKLM]\r\n", "line 5: the root key"},
      {head + "\"b\"=dword:123456789\r\n", "line 5: bad dword"},
      {head + "\"b\"=dword:xyz\r\n", "line 5: bad dword"},
      {head + "\"b\"=hex:01,zz\r\n", "line 5: bad byte 'zz'"},
      {head + "\"b\"=hex:01,,02\r\n", "line 5: empty byte"},
      {head + "\"b\"=hex:01,02,\r\n", "line 5: hex data ends with a comma"},
      {head + "\"b\"=hex:01,\\\r\n  02,\\\r\n  0g\r\n", "line 7: bad byte '0g'"},
      {head + "\"b\"=hex:01,\\\r\n\r\n", "line 6: hex data continues on a blank line"},
      {head + "\"b\"=hex:01,\\", "line 5: hex data continues past the end"},
      {head + "\"b\"=hex(1g):00\r\n", "line 5: bad value type"},
      {head + "\"b\"=str:x\r\n", "line 5: unknown value data"},
      {head + "\"b\"=\"open\r\n", "line 5: unterminated string"},
      {head + "\"b\"=\"x\" y\r\n", "line 5: unexpected text after the string"},
      {head + "\"b\"=\"C:\\dir\"\r\n", "line 5: unknown escape '\\d'"},
      {head + "\"b\" dword:1\r\n", "line 5: expected '='"},
      {head + "b=dword:1\r\n", "line 5: expected '[KEY]'"},
      {head + "[-HKLM\\New]\r\n\"b\"=dword:1\r\n", "line 6: value under a key being deleted"},
      {head + "\"b\"=\"\xC3\x28\"\r\n", "line 5: invalid UTF-8"},
      {std::string("Windows Registry Editor Version 5.00\r\n\0\r\n", 41), "line 2: NUL"},
      {Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\New]\r\n\"\xDC00\"=-\r\n"),
       "line 4: unpaired UTF-16 surrogate"},
      {Utf16File(u"Windows Registry Editor Version 5.00\r\n") + "x",
       "line 1: the file ends inside a UTF-16 character"},
  };
  for (const Case &c : cases) {
    Registry r;
    r.SetDword("HKLM\\Old", "keep", 5);
    const std::string before = r.SaveText();
    try {
      r.LoadText(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const RegFileError &e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos)
          << "got: " << e.what() << "\nwanted: " << c.expected;
    }
    EXPECT_EQ(r.SaveText(), before) << c.expected;
  }
}

// A path of `depth` keys below HKLM, each named "k".
std::string Deep(size_t depth) {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < depth; ++i) path += "\\k";
  return path;
}

TEST(RegFileLimits, DepthIsCappedAtTheDocumentedLimitAndTheWriterStaysProportional) {
  Registry r;
  r.CreateKey(Deep(512));
  EXPECT_THROW(r.CreateKey(Deep(513)), std::invalid_argument);
  // Each key's header repeats its path: 512 levels stay well under a megabyte.
  const std::string text = r.SaveText(Registry::Encoding::Utf8);
  EXPECT_LT(text.size(), 300000u);
  Registry copy;
  copy.LoadText(text);
  EXPECT_TRUE(copy == r);

  // A file far deeper than that is refused whole, naming the line.
  std::string file = "Windows Registry Editor Version 5.00\n\n[HKLM\\keep]\n\"v\"=dword:1\n[" +
                     Deep(30000) + "]\n";
  Registry fresh;
  try {
    fresh.LoadText(file);
    ADD_FAILURE() << "a 30000-level key was accepted";
  } catch (const RegFileError &e) {
    EXPECT_NE(std::string(e.what()).find("line 5: bad key"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("more than 512 levels"), std::string::npos);
    EXPECT_LT(std::string(e.what()).size(), 300u) << "the path is not echoed in full";
  }
  EXPECT_FALSE(fresh.KeyExists("HKLM\\keep"));
}

TEST(RegFileLimits, LinesValuesAndFilesHaveBounds) {
  Registry r;
  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKLM\\A]\n";
  std::string longLine = header + "\"v\"=\"" + std::string(Registry::kMaxLineChars, 'x') + "\"\n";
  EXPECT_THROW(r.LoadText(longLine), RegFileError);
  // A string one character over the value limit (UTF-16: two bytes a character).
  std::string big = header + "\"b\"=\"" + std::string(Registry::kMaxValueBytes / 2, 'y') + "\"\n";
  try {
    r.LoadText(big);
    ADD_FAILURE() << "an oversized value was accepted";
  } catch (const RegFileError &e) {
    EXPECT_NE(std::string(e.what()).find("value larger than"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(r.KeyExists("HKLM\\A"));
  // Blank lines cost nothing to hold: a few million of them read fine.
  std::string blanks = header + std::string(1'000'000, '\n') + "\"after\"=dword:7\n";
  r.LoadText(blanks);
  EXPECT_EQ(r.GetDword("HKLM\\A", "after"), 7u);
}

TEST(RegFileLimits, OnlyRegularFilesAreReadAndSavingReplacesTheFileWhole) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("regfile-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  Registry r;
  r.SetDword("HKCU\\Software\\Other", "kept", 5);
  // A FIFO neither blocks the reader nor gets written over.
  const std::filesystem::path fifo = dir / "fifo.reg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(r.Load(fifo), RegFileError);
  EXPECT_THROW(r.Save(fifo), RegFileError);
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  try {
    r.Load(dir);
    ADD_FAILURE();
  } catch (const RegFileError &e) {
    EXPECT_NE(std::string(e.what()).find("a folder, not a registry file"), std::string::npos);
  }
  // Saving writes a new file and renames it over the old one; a failed save leaves the
  // old one as it was and nothing beside it.
  const std::filesystem::path file = dir / "machine.reg";
  r.Save(file);
  Registry back;
  back.Load(file);
  EXPECT_TRUE(back == r);
  std::filesystem::create_directories(dir / "blocked.reg");
  EXPECT_THROW(r.Save(dir / "blocked.reg"), RegFileError);
  EXPECT_THROW(r.Save(dir / "no" / "such.reg"), RegFileError);
  size_t entries = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 3u) << "only the FIFO, the saved file and the folder";
  std::filesystem::remove_all(dir);
}

TEST(Unicode, ConversionsHandlePairsAndReplaceInvalidInput) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80"), u"a\u00e9\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u"a\u00e9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD83D"
                                       u"x\xDE00",
                                       3)),
            "\xEF\xBF\xBDx\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");  // pair cut at the end
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98"), u"\uFFFD");                     // sequence cut short
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF!"), u"\uFFFD\uFFFD!");                 // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");                     // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xFFz"), u"\uFFFDz");
}

// ---------------------------------------------------------------- the kernel services

class BareDevice : public PciDevice {
 public:
  uint32_t ConfigRead32(uint32_t offset) override { return offset == 0 ? 0x68644D56 : 0; }
  void ConfigWrite32(uint32_t, uint32_t) override {}
  uint32_t WindowLength() const override { return 4096; }
  uint32_t MmioRead32(uint32_t) override { return 0; }
  void MmioWrite32(uint32_t, uint32_t) override {}
};

NTSTATUS NTAPI AcceptDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AcceptDevice;
  return STATUS_SUCCESS;
}

struct Name {
  explicit Name(const char16_t *text) { RtlInitUnicodeString(&string, text); }
  UNICODE_STRING string;
};

class RegistryServices : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine.pnp().LoadDriver(Entry), STATUS_SUCCESS);
    ASSERT_EQ(machine.pnp().AddCard(&device, &card), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (machine.irql() != PASSIVE_LEVEL) machine.LowerIrql(PASSIVE_LEVEL);
    if (card) {
      EXPECT_EQ(machine.pnp().RemoveCard(*card), STATUS_SUCCESS);
    }
  }
  std::string ParametersKey() const {
    return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + card->instancePath + "\\Device Parameters";
  }

  Machine machine;
  BareDevice device;
  PnpManager::Card *card = nullptr;
};

TEST_F(RegistryServices, DriverReadsAndWritesItsHardwareKey) {
  machine.registry().DeleteKey(ParametersKey());  // the service creates it again
  machine.registry().SetDword(ParametersKey(), "Preview3", 1);
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(card->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ | KEY_WRITE, &key),
            STATUS_SUCCESS);
  uint64_t storage[2];  // the driver's 16-byte buffer
  ULONG result = 0;
  Name preview3(u"Preview3");
  ASSERT_EQ(
      ZwQueryValueKey(key, &preview3.string, KeyValuePartialInformation, storage, 16, &result),
      STATUS_SUCCESS);
  auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(storage);
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(info->Data[0], 1);

  // A counted name need not be terminated: only Length bytes count.
  const char16_t text[] = u"Preview0XYZ";
  UNICODE_STRING preview0{16, 16, const_cast<PWSTR>(text)};
  ULONG zero = 0;
  EXPECT_EQ(ZwSetValueKey(key, &preview0, 0, REG_DWORD, &zero, 4), STATUS_SUCCESS);
  EXPECT_EQ(machine.registry().GetDword(ParametersKey(), "Preview0"), 0u);

  UNICODE_STRING odd{3, 16, const_cast<PWSTR>(text)};
  EXPECT_EQ(ZwQueryValueKey(key, &odd, KeyValuePartialInformation, storage, 16, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwSetValueKey(key, nullptr, 0, REG_DWORD, &zero, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(machine.registry().openHandles(), 0u);
}

TEST_F(RegistryServices, DeviceKeyRequestsOutsideThePdoFail) {
  HANDLE key = nullptr;
  DEVICE_OBJECT notPdo{};
  EXPECT_EQ(IoOpenDeviceRegistryKey(&notPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(nullptr, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(
      IoOpenDeviceRegistryKey(card->pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                              KEY_READ, &key),
      STATUS_NOT_SUPPORTED);
  EXPECT_EQ(key, nullptr);

  // The driver key is assigned once and kept.
  HANDLE driverKey = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(card->pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &driverKey),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
  const std::string instanceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + card->instancePath;
  EXPECT_EQ(machine.registry().GetString(instanceKey, "Driver"),
            "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000");
}

TEST_F(RegistryServices, AreRefusedAbovePassiveLevel) {
  HANDLE key = nullptr;
  ASSERT_EQ(machine.registry().OpenKey(ParametersKey(), false, &key), STATUS_SUCCESS);
  machine.RaiseIrql(DISPATCH_LEVEL);
  Name name(u"Preview0");
  ULONG result;
  uint64_t storage[2];
  try {
    ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, storage, 16, &result);
    ADD_FAILURE() << "no verifier stop";
  } catch (const VerifierStop &stop) {
    EXPECT_EQ(stop.rule(), Rule::IrqlTooHigh);
    EXPECT_NE(stop.message().find("ZwQueryValueKey"), std::string::npos);
  }
}

}  // namespace
}  // namespace sim
