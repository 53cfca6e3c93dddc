#include "wine/roundtrip.h"

#include <cstdio>
#include <optional>
#include <sstream>

#include "device/device.h"
#include "filters/filters.h"
#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/ks/client.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace roundtrip {

namespace {

constexpr sim::Card::Variant kVariant = sim::Card::Variant::Device6864;

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

const char *PinKind(const GUID &name) {
  if (IsEqualGUID(name, PINNAME_VIDEO_PREVIEW)) return "preview";
  if (IsEqualGUID(name, PINNAME_VIDEO_CAPTURE)) return "capture";
  return "unnamed";
}

// What a client sees of channel n's video filter: the pin name cached in the interface
// and the one the open filter reports. Empty when they disagree or the filter is missing.
std::string PublishedPin(sim::ks::Client &client, ULONG n, std::ostringstream &problems) {
  for (const auto &i : client.Interfaces(KSCATEGORY_CAPTURE)) {
    if (!IsEqualGUID(i.referenceGuid, kVideoFilterReferenceGuids[n])) continue;
    if (!i.cached || i.pins.empty()) {
      problems << "channel " << n + 1 << ": the filter's interface has no cached pins\n";
      return "";
    }
    std::string cached = PinKind(i.pins[0].name);
    sim::ks::Handle filter = 0;
    std::u16string live;
    NTSTATUS s = client.OpenFilter(i.symbolicLink, &filter);
    if (NT_SUCCESS(s)) s = client.PinName(filter, 0, &live);
    if (filter != 0) client.Close(filter);
    if (!NT_SUCCESS(s)) {
      problems << "channel " << n + 1 << ": the pin name query failed with " << Hex(s) << "\n";
      return "";
    }
    std::string shown = sim::Utf16ToUtf8(live);
    if (!((cached == "preview" && shown == "Preview") ||
          (cached == "capture" && shown == "Capture"))) {
      problems << "channel " << n + 1 << ": the interface caches a " << cached
               << " pin but the open filter names it \"" << shown << "\"\n";
      return "";
    }
    return cached;
  }
  problems << "channel " << n + 1 << ": no video filter published\n";
  return "";
}

}  // namespace

std::string SettingsKey(const std::string &instancePath) {
  return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + instancePath + "\\Device Parameters";
}

std::string FirstCardPath() {
  sim::Machine m;
  sim::Card card(kVariant);
  sim::PnpManager &pnp = m.pnp();
  sim::PnpManager::Card *c = nullptr;
  std::string path;
  if (NT_SUCCESS(pnp.LoadDriver(DriverEntry)) && NT_SUCCESS(pnp.AddCard(&card, &c)))
    path = c->instancePath;
  if (c != nullptr && c->fdo != nullptr) pnp.RemoveCard(*c);
  pnp.UnloadDriver();
  return path;
}

Verdict CheckPreviewPins(const std::filesystem::path &exportFile,
                         const std::array<bool, 8> &preview) {
  std::ostringstream out, problems;
  try {
    sim::Machine m;
    sim::Card card(kVariant);
    // The machine boots with the exported settings already in its registry.
    try {
      m.registry().Load(exportFile);
    } catch (const sim::RegFileError &e) {
      return {false, std::string("cannot load the export: ") + e.what() + "\n"};
    }
    sim::PnpManager &pnp = m.pnp();
    sim::PnpManager::Card *c = nullptr;
    NTSTATUS s = pnp.LoadDriver(DriverEntry);
    if (NT_SUCCESS(s)) s = pnp.AddCard(&card, &c);
    if (!NT_SUCCESS(s)) return {false, "the simulated card did not come up: " + Hex(s) + "\n"};

    // A key the card is not enumerated under would leave the driver to create zeros
    // silently, which looks like a tool that saved "all capture".
    const std::string key = SettingsKey(c->instancePath);
    std::array<std::optional<uint32_t>, kVideoChannels> stored;
    for (ULONG n = 0; n < kVideoChannels; ++n) {
      stored[n] = m.registry().GetDword(key, "Preview" + std::to_string(n));
      if (!stored[n])
        problems << "the export sets no REG_DWORD Preview" << n << " under " << key << "\n";
    }

    if (problems.tellp() == 0) {
      s = pnp.StartCard(*c);
      if (!NT_SUCCESS(s)) problems << "the card did not start: " << Hex(s) << "\n";
    }
    if (problems.tellp() == 0) {
      sim::ks::Client client(m);
      for (ULONG n = 0; n < kVideoChannels; ++n) {
        const std::string got = PublishedPin(client, n, problems);
        const char *want = preview[n] ? "preview" : "capture";
        out << "channel " << n + 1 << " (Preview" << n << " = " << Hex(*stored[n])
            << "): " << (got.empty() ? "?" : got) << " pin, expected " << want << "\n";
        if (!got.empty() && got != want)
          problems << "channel " << n + 1 << " publishes a " << got << " pin, not a " << want
                   << " pin\n";
      }
    }
    pnp.RemoveCard(*c);
    pnp.UnloadDriver();
  } catch (const sim::VerifierStop &stop) {
    problems << "the verifier stopped the machine: " << stop.what() << "\n";
  }
  return {problems.tellp() == 0, out.str() + problems.str()};
}

}  // namespace roundtrip
