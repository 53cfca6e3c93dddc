// The registry export file reader and writer: any bytes load or are refused with a message
// and change nothing; what loads saves and loads again to the same tree, in both encodings,
// and saving is a fixed point.
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/kernel/registry.h"
#include "support/fuzz.h"

namespace {

// What a refused file must leave untouched.
void Preload(sim::Registry &r) {
  r.SetDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\morvane\\Enum", "Count", 1);
  r.SetString("HKLM\\SOFTWARE\\Fuzz", "Name", "kept");
  r.SetValue("HKEY_USERS\\.DEFAULT\\Fuzz", "", REG_BINARY, {1, 2, 3});
}

void RoundTrip(const sim::Registry &loaded, sim::Registry::Encoding encoding) {
  const char *name = encoding == sim::Registry::Encoding::Utf8 ? "UTF-8" : "UTF-16";
  std::string saved = loaded.SaveText(encoding);
  sim::Registry again;
  try {
    again.LoadText(saved);
  } catch (const sim::RegFileError &e) {
    fuzz::Fail(std::string("a saved ") + name + " file does not load back: " + e.what());
  }
  FUZZ_CHECK(again == loaded, std::string("the ") + name + " round trip changed the tree");
  FUZZ_CHECK(again.SaveText(encoding) == saved,
             std::string("saving the reloaded tree gives other ") + name + " bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char *>(data), size);
  sim::Registry before, r;
  Preload(before);
  Preload(r);
  try {
    r.LoadText(bytes);
  } catch (const sim::RegFileError &e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with("line "), "the message names the line");
    FUZZ_CHECK(r == before, "a refused file changed the registry");
    return 0;
  }
  RoundTrip(r, sim::Registry::Encoding::Utf16le);
  RoundTrip(r, sim::Registry::Encoding::Utf8);
  return 0;
}
