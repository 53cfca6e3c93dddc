#include "wine/roundtrip.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "device/device.h"
#include "filters/filters.h"
#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/ks/client.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

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

// Opens channel n's video filter, runs a pin in the first format it offers and returns one
// frame's lines; empty, with the reason in problems, when that fails.
std::vector<std::vector<uint8_t>> CaptureFrame(sim::ks::Client &client, ULONG n,
                                               std::ostringstream &problems) {
  std::vector<std::vector<uint8_t>> lines;
  std::string link;
  for (const auto &i : client.Interfaces(KSCATEGORY_CAPTURE))
    if (IsEqualGUID(i.referenceGuid, kVideoFilterReferenceGuids[n])) link = i.symbolicLink;
  sim::ks::Handle filter = 0, pin = 0;
  std::vector<std::vector<uint8_t>> ranges;
  std::vector<uint8_t> format;
  NTSTATUS s = link.empty() ? STATUS_NOT_FOUND : client.OpenFilter(link, &filter);
  if (NT_SUCCESS(s)) s = client.PinDataRanges(filter, 0, &ranges);
  if (NT_SUCCESS(s) && ranges.empty()) s = STATUS_NOT_FOUND;
  if (NT_SUCCESS(s)) s = client.DataIntersection(filter, 0, {ranges[0]}, &format);
  if (NT_SUCCESS(s)) s = client.CreatePin(filter, 0, format, &pin);
  if (NT_SUCCESS(s)) s = client.SetState(pin, KSSTATE_RUN);
  sim::ks::Frame frame;
  if (NT_SUCCESS(s)) {
    const auto &vih =
        *reinterpret_cast<const KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
    sim::ks::FrameRequest request;
    request.bufferSize = vih.bmiHeader.biSizeImage;
    request.extendedHeader = sim::ks::FrameInfoHeader();
    s = client.QueueFrame(pin, std::move(request));
    if (s == STATUS_PENDING) s = client.WaitForFrame(pin, sim::kSecond, &frame);
    const LONG height =
        vih.bmiHeader.biHeight < 0 ? -vih.bmiHeader.biHeight : vih.bmiHeader.biHeight;
    if (NT_SUCCESS(s) && height > 0) {
      const size_t pitch = frame.data.size() / static_cast<size_t>(height);
      for (LONG line = 0; line < height; ++line)
        lines.emplace_back(frame.data.begin() + line * pitch,
                           frame.data.begin() + (line + 1) * pitch);
    }
  }
  if (pin != 0) {
    client.SetState(pin, KSSTATE_STOP);
    client.Close(pin);
  }
  if (filter != 0) client.Close(filter);
  if (!NT_SUCCESS(s) || lines.empty())
    problems << "channel " << n + 1 << ": no frame captured (" << Hex(s) << ")\n";
  return lines;
}

}  // namespace

Verdict ExportInstallation(const std::filesystem::path &file, unsigned cards) {
  std::ostringstream problems;
  try {
    sim::Machine m;
    std::vector<std::unique_ptr<sim::Card>> boards;
    std::vector<sim::PnpManager::Card *> added;
    sim::PnpManager &pnp = m.pnp();
    NTSTATUS s = pnp.LoadDriver(DriverEntry);
    for (unsigned i = 0; NT_SUCCESS(s) && i < cards; ++i) {
      boards.push_back(std::make_unique<sim::Card>(kVariant));
      sim::PnpManager::Card *c = nullptr;
      s = pnp.AddCard(boards.back().get(), &c);
      if (c != nullptr) added.push_back(c);
    }
    if (!NT_SUCCESS(s)) {
      problems << "the installation failed: " << Hex(s) << " " << pnp.lastError() << "\n";
    } else {
      const std::string control = "HKLM\\SYSTEM\\CurrentControlSet\\";
      m.registry().Save(file, sim::Registry::Encoding::Utf16le,
                        {control + "Services\\morvane", control + "Enum\\PCI",
                         control + "Control\\Class", control + "Control\\DeviceClasses"});
    }
    for (sim::PnpManager::Card *c : added)
      if (c->fdo != nullptr) pnp.RemoveCard(*c);
    pnp.UnloadDriver();
  } catch (const sim::VerifierStop &stop) {
    problems << "the verifier stopped the machine: " << stop.what() << "\n";
  } catch (const std::exception &e) {
    problems << "cannot write " << file << ": " << e.what() << "\n";
  }
  return {problems.tellp() == 0, problems.str()};
}

Verdict CheckLinearChannels(const std::filesystem::path &exportFile,
                            const std::array<bool, 8> &linear) {
  std::ostringstream out, problems;
  try {
    sim::Machine m;
    sim::Card card(kVariant);
    try {
      m.registry().Load(exportFile);
    } catch (const sim::RegFileError &e) {
      return {false, std::string("cannot load the export: ") + e.what() + "\n"};
    }
    sim::PnpManager &pnp = m.pnp();
    sim::PnpManager::Card *c = nullptr;
    NTSTATUS s = pnp.LoadDriver(DriverEntry);
    if (NT_SUCCESS(s)) s = pnp.AddCard(&card, &c);
    if (NT_SUCCESS(s)) s = pnp.StartCard(*c);
    if (!NT_SUCCESS(s)) return {false, "the simulated card did not come up: " + Hex(s) + "\n"};
    const std::string key = SettingsKey(c->instancePath);
    sim::ks::Client client(m);
    for (ULONG n = 0; n < kVideoChannels; ++n) {
      card.SetInputSignal(n, {true, false});
      std::optional<uint32_t> stored = m.registry().GetDword(key, "INTMODE" + std::to_string(n));
      if (!stored)
        problems << "the export sets no REG_DWORD INTMODE" << n << " under " << key << "\n";
      std::vector<std::vector<uint8_t>> lines = CaptureFrame(client, n, problems);
      if (lines.empty()) continue;
      bool doubled = true;
      for (size_t line = 0; line + 1 < lines.size(); line += 2)
        doubled = doubled && lines[line] == lines[line + 1];
      const char *got = doubled ? "line-doubled" : "woven";
      const char *want = linear[n] ? "line-doubled" : "woven";
      out << "channel " << n + 1 << " (INTMODE" << n << " = "
          << (stored ? Hex(*stored) : std::string("missing")) << "): " << got << " frame, expected "
          << want << "\n";
      if (std::string(got) != want)
        problems << "channel " << n + 1 << " delivers a " << got << " frame, not a " << want
                 << " one\n";
    }
    pnp.RemoveCard(*c);
    pnp.UnloadDriver();
  } catch (const sim::VerifierStop &stop) {
    problems << "the verifier stopped the machine: " << stop.what() << "\n";
  }
  return {problems.tellp() == 0, out.str() + problems.str()};
}

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
