#include "rig.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "file_source.h"
#include "outputs.h"
#include "sim/image/driver.h"
#include "sim/image/pe_image.h"
#include "sim/kernel/registry.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace ctl {

std::string Hex(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", value);
  return buf;
}

std::string GuidText(const GUID &g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::string VariantName(sim::Card::Variant v) {
  return v == sim::Card::Variant::Device6864 ? "6864" : "standard";
}

DeviceSelection SelectDevice(const std::string &name, int cards) {
  DeviceSelection sel;
  std::string rest = name;
  if (name.rfind("card", 0) == 0) {
    size_t slash = name.find('/');
    long n;
    if (!ParseLong(name.substr(4, slash == std::string::npos ? std::string::npos : slash - 4),
                   &n) ||
        n < 0 || n >= cards)
      throw UsageError("unknown device '" + Shown(name) + "': there " +
                       (cards == 1 ? std::string("is card0 only")
                                   : "are card0 to card" + std::to_string(cards - 1)));
    sel.card = static_cast<int>(n);
    if (slash == std::string::npos) {
      sel.wholeCard = true;
      return sel;
    }
    rest = name.substr(slash + 1);
  }
  long channel = -1;
  bool video = rest.rfind("video", 0) == 0;
  bool audio = rest.rfind("audio", 0) == 0;
  if ((!video && !audio) || !ParseLong(rest.substr(5), &channel) || channel < 0 ||
      channel >= static_cast<long>(kChannels) || rest.size() != 6)
    throw UsageError("unknown device '" + Shown(name) +
                     "' (use card0, card0/video3, card0/audio3, video3 or audio3)");
  sel.filter = FilterId{sel.card, video, static_cast<unsigned>(channel)};
  return sel;
}

std::string FilterId::Name() const {
  return "card" + std::to_string(card) + (video ? "/video" : "/audio") + std::to_string(channel);
}

namespace {

std::string Status(NTSTATUS s) { return Hex(static_cast<uint32_t>(s)); }

}  // namespace

Rig::Rig(const Options &options) : options_(options) {
  // The image is loaded (and refused, with the loader's reason) before the machine exists.
  sim::DriverCode driver{DriverEntry, nullptr, 0, nullptr};
  if (!options.driverFile.empty()) {
    try {
      driver = sim::image::LoadDriverImage(options.driverFile);
    } catch (const sim::image::ImageError &e) {
      // The loader names the file first; the file is named here as typed instead.
      std::string why = e.what();
      const std::string &path = options.driverFile;
      std::string name = path.substr(path.find_last_of('/') + 1);
      for (const std::string &prefix : {path + ": ", name + ": "})
        if (why.rfind(prefix, 0) == 0) {
          why = why.substr(prefix.size());
          break;
        }
      throw UsageError("--driver '" + Shown(path) + "': " + why);
    }
  }
  sim::Machine::Options machine;
  machine.processors = static_cast<unsigned>(options.cpus);
  machine.costs.on = options.costModel != Options::CostModel::None;
  machine.costs.honourCacheEnabled = options.costModel == Options::CostModel::Uncached;
  machine_ = std::make_unique<sim::Machine>(machine);
  sim::Registry &registry = machine_->registry();
  std::error_code ec;
  if (!options.registryFile.empty() && std::filesystem::exists(options.registryFile, ec)) {
    try {
      registry.Load(options.registryFile);
    } catch (const sim::RegFileError &e) {
      throw UsageError("--registry: not a registry file we can read: " + std::string(e.what()));
    } catch (const std::exception &e) {
      throw UsageError("--registry '" + Shown(options.registryFile) +
                       "': " + std::string(e.what()));
    }
  }

  NTSTATUS s = machine_->pnp().LoadDriver(driver);
  if (!NT_SUCCESS(s)) throw StepError("the driver did not load: DriverEntry returned " + Status(s));

  inputs_.assign(options.cards, std::vector<InputSpec>(kChannels));
  for (int i = 0; i < options.cards; ++i) {
    sim::Card::Variant variant = sim::Card::Variant::Device6864;
    if (!options.variants.empty())
      variant = options.variants.size() == 1 ? options.variants[0] : options.variants[i];
    sim::CardOptions cardOptions;
    // A full trace only when it is asked for; the counts behind the summary are kept anyway.
    cardOptions.traceCapacity = options.traceFile.empty() ? 4096 : 0;
    cards_.push_back(std::make_unique<sim::Card>(variant, cardOptions));
    for (unsigned c = 0; c < kChannels; ++c) inputs_[i][c].channel = c;
  }
  for (const InputSpec &in : options.inputs) {
    if (in.card != kAllCards && in.card >= options.cards)
      throw UsageError("--input names card" + std::to_string(in.card) + " but there are " +
                       std::to_string(options.cards) + " card(s)");
    for (int i = 0; i < options.cards; ++i)
      if (in.card == kAllCards || in.card == i) inputs_[i][in.channel] = in;
  }
  for (int i = 0; i < options.cards; ++i) {
    for (unsigned c = 0; c < kChannels; ++c) {
      const InputSpec &in = inputs_[i][c];
      if (in.kind == InputSpec::Kind::File) {
        std::string error;
        std::shared_ptr<FileSource> source = FileSource::Open(in.path, &error);
        if (!source) throw UsageError("--input: " + error);
        cards_[i]->SetInputSource(c, std::move(source));
      }
      sim::InputSignal signal;
      signal.present = in.kind != InputSpec::Kind::Absent;
      signal.lines625 = in.lines625.value_or(false);
      cards_[i]->SetInputSignal(c, signal);
    }
  }
  for (const SettingSpec &st : options.settings)
    if (st.card != kAllCards && st.card >= options.cards)
      throw UsageError("--setting names card" + std::to_string(st.card) + " but there are " +
                       std::to_string(options.cards) + " card(s)");

  for (int i = 0; i < options.cards; ++i) {
    sim::PnpManager::Card *pc = nullptr;
    s = machine_->pnp().AddCard(cards_[i].get(), &pc);
    if (!NT_SUCCESS(s))
      throw StepError("card" + std::to_string(i) + " was not added: " + Status(s));
    pnpCards_.push_back(pc);
    instancePaths_.push_back(pc->instancePath);
    ApplySettings(i);
    s = machine_->pnp().StartCard(*pc);
    if (!NT_SUCCESS(s))
      throw StepError("card" + std::to_string(i) + " did not start: " + Status(s));
  }
  client_ = std::make_unique<sim::ks::Client>(*machine_);
}

Rig::~Rig() {
  if (!machine_->verifier().stopped()) {
    try {
      Shutdown();
    } catch (...) {
      // The machine is going away either way; a stop here has nothing left to report to.
    }
  }
}

std::string Rig::SettingsKey(int card) const {
  return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + instancePaths_.at(card) +
         "\\Device Parameters";
}

void Rig::ApplySettings(int card) {
  for (const SettingSpec &st : options_.settings)
    if (st.card == kAllCards || st.card == card)
      machine_->registry().SetDword(SettingsKey(card), st.name, st.value);
}

sim::ks::DeviceInterface Rig::Interface(const FilterId &id) const {
  const GUID &kind = id.video ? KSCATEGORY_VIDEO : KSCATEGORY_AUDIO;
  const std::string &instance = instancePaths_.at(id.card);
  unsigned place = 0;
  for (const auto &i : client_->Interfaces(kind)) {
    if (i.deviceInstance != instance || std::find(i.categories.begin(), i.categories.end(),
                                                  KSCATEGORY_CAPTURE) == i.categories.end())
      continue;
    if (place++ == id.channel) return i;
  }
  throw StepError(id.Name() + ": the card does not publish this filter");
}

sim::ks::Handle Rig::Open(const FilterId &id) {
  auto it = open_.find(id.Name());
  if (it != open_.end()) return it->second;
  sim::ks::Handle h = 0;
  NTSTATUS s = client_->OpenFilter(Interface(id).symbolicLink, &h);
  if (!NT_SUCCESS(s)) throw StepError(id.Name() + ": the filter did not open: " + Status(s));
  open_[id.Name()] = h;
  return h;
}

void Rig::SaveRegistry() {
  if (options_.registryFile.empty()) return;
  try {
    machine_->registry().Save(options_.registryFile, sim::Registry::Encoding::Utf16le);
  } catch (const std::exception &e) {
    throw UsageError("--registry: the registry was not saved: " + std::string(e.what()));
  }
}

void Rig::NoteEvent(int card, int64_t when, const std::string &text) {
  events_.push_back(Event{card, when, text});
}

void Rig::WriteTrace(const std::string &path, const std::string &shownAs) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  auto event = [](const Event &e) {
    char time[32];
    std::snprintf(time, sizeof time, "%12lld", static_cast<long long>(e.when));
    return std::string(time) + " platform     " + e.text + "\n";
  };
  for (const Event &e : events_)
    if (e.card < 0 && out) out << event(e);
  for (int i = 0; i < cardCount() && out; ++i) {
    const sim::Card &c = *cards_[i];
    out << "# card" << i << " (" << VariantName(c.variant()) << ", " << instancePaths_[i] << ")\n";
    if (c.droppedTraceEntries() != 0)
      out << "# " << c.droppedTraceEntries() << " older entries dropped\n";
    // What the platform did to the card goes in between its accesses, by time.
    auto next = events_.begin();
    auto flushUpTo = [&](int64_t t) {
      for (; next != events_.end(); ++next)
        if (next->card == i && next->when <= t)
          out << event(*next);
        else if (next->card == i)
          break;
    };
    for (const sim::CardTraceEntry &e : c.trace()) {
      flushUpTo(e.time);
      out << e.ToString() << '\n';
    }
    flushUpTo(INT64_MAX);
    for (const sim::BusTransaction &t : c.BusLog()) out << "bus " << t.ToString() << '\n';
  }
  out.close();
  if (!out) throw UsageError("--trace '" + Shown(shownAs) + "': cannot write the trace file");
}

void Rig::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  client_.reset();
  for (auto *pc : pnpCards_)
    if (pc->fdo != nullptr) machine_->pnp().RemoveCard(*pc);
  pnpCards_.clear();
  machine_->pnp().UnloadDriver();
}

}  // namespace ctl
