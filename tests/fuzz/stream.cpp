// Stream traffic on a running emulated card: the input decodes into a client's operations
// (filters opened and closed, pins created with the formats they propose or changed ones,
// state changes of any kind, frames of any size with any header, picture-control and
// standard requests, clocks) mixed with the card's own events (channel errors, lost signals,
// standard changes) and time passing. Beyond a silent verifier and no overrun: every frame
// comes back by STOP with its data inside it, picture numbers never go back, a refused state
// change leaves the state, and when everything is closed no channel runs and no pool remains.
#include <ksmedia.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sim/kernel/pool.h"
#include "support/rig.h"

namespace {

using sim::ks::Handle;

struct PinModel {
  Handle filter = 0;
  bool video = true;
  ULONG channel = 0;
  ULONG frameSize = 0;  // what the pin's framing asks for
  size_t queued = 0;    // frames accepted since the last STOP
  size_t returned = 0;  // of those, completed or cancelled
  LONGLONG lastPicture = -1;
};

class Session {
 public:
  Session(fuzz::Input &in, fuzz::Rig &rig) : in_(in), rig_(rig) {}

  void Step() {
    switch (in_.Below(12)) {
      case 0:
        OpenFilter();
        break;
      case 1:
        CloseFilter();
        break;
      case 2:
        CreatePin();
        break;
      case 3:
      case 4:
        SetState();
        break;
      case 5:
      case 6:
        QueueFrames();
        break;
      case 7:
        Drain();
        break;
      case 8: {
        sim::Nanos d = in_.Below(120) * sim::kMillisecond;
        FUZZ_LOG("run %lld ms\n", static_cast<long long>(d / sim::kMillisecond));
        rig_.m.RunFor(d);
        Drain();
        break;
      }
      case 9:
        PictureControls();
        break;
      case 10:
        ClosePin();
        break;
      case 11:
        CardEvent();
        break;
    }
  }

  void End() {
    std::vector<Handle> pins;
    for (auto &[pin, model] : pins_) pins.push_back(pin);
    for (Handle pin : pins) Close(pin);
    for (Handle filter : filters_) rig_.client->Close(filter);
    filters_.clear();
    CCaptureDevice *d = rig_.Device(0);
    FUZZ_CHECK(d->openPinMask == 0, "every pin closed, yet openPinMask is set");
    FUZZ_CHECK(d->runningMask == 0 && d->enabledMask == 0, "every pin closed, yet a channel runs");
    rig_.m.RunFor(50 * sim::kMillisecond);
    FUZZ_CHECK(rig_.cards[0]->RunningChannels() == 0, "every pin closed, yet the card captures");
  }

 private:
  Handle AnyFilter() {
    if (filters_.empty()) return 0;
    return filters_[in_.Below(static_cast<uint32_t>(filters_.size()))];
  }
  Handle AnyPin() {
    if (pins_.empty()) return 0;
    auto it = pins_.begin();
    std::advance(it, in_.Below(static_cast<uint32_t>(pins_.size())));
    return it->first;
  }

  void OpenFilter() {
    bool video = in_.Below(3) != 0;
    ULONG channel = in_.Below(kVideoChannels);
    Handle h = rig_.Open(0, video, channel);
    FUZZ_CHECK(h != 0, "a filter opens");
    FUZZ_LOG("open %s filter %u: handle %llu\n", video ? "video" : "audio", channel,
             static_cast<unsigned long long>(h));
    filters_.push_back(h);
    kinds_[h] = {video, channel};
  }

  void CloseFilter() {
    Handle h = AnyFilter();
    if (h == 0) return;
    // Open pins keep the filter object; their handles stay usable.
    FUZZ_CHECK(rig_.client->Close(h) == STATUS_SUCCESS, "a filter handle closes");
    filters_.erase(std::find(filters_.begin(), filters_.end(), h));
  }

  void CreatePin() {
    Handle filter = AnyFilter();
    if (filter == 0) return;
    auto [video, channel] = kinds_[filter];
    std::vector<uint8_t> format = rig_.Proposal(filter, in_.Below(6));
    if (format.empty()) return;
    if (video && in_.Bool()) {
      // A client's own size, as capture programs offer them.
      static const LONG kWidths[] = {720, 704, 640, 360, 352, 320, 176, 160, 8, 0, 721, 1440};
      static const LONG kHeights[] = {480, 576, 240, 288, 120, 144, 2, 1, 0, -480, 481, 577};
      auto &vih = *reinterpret_cast<KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
      vih.bmiHeader.biWidth = in_.Pick(kWidths);
      vih.bmiHeader.biHeight = in_.Pick(kHeights);
      if (in_.Bool())
        vih.AvgTimePerFrame = in_.Pick({333667ll, 400000ll, 666667ll, 10000000ll, 1ll});
      LONG h = vih.bmiHeader.biHeight < 0 ? -vih.bmiHeader.biHeight : vih.bmiHeader.biHeight;
      vih.bmiHeader.biSizeImage = static_cast<DWORD>(
          (vih.bmiHeader.biWidth * vih.bmiHeader.biBitCount / 8 + 3) / 4 * 4 * h);
    }
    size_t poolBefore = rig_.m.pool().liveCount();
    Handle pin = 0;
    NTSTATUS status = rig_.client->CreatePin(filter, 0, format, &pin);
    FUZZ_LOG("create pin on %llu: 0x%08x, handle %llu\n", static_cast<unsigned long long>(filter),
             static_cast<unsigned>(status), static_cast<unsigned long long>(pin));
    if (!NT_SUCCESS(status)) {
      FUZZ_CHECK(rig_.m.pool().liveCount() == poolBefore, "a refused pin left pool behind");
      return;
    }
    KSALLOCATOR_FRAMING_EX framing{};
    FUZZ_CHECK(rig_.client->GetAllocatorFraming(pin, &framing) == STATUS_SUCCESS,
               "a pin has framing");
    PinModel model;
    model.filter = filter;
    model.video = video;
    model.channel = channel;
    model.frameSize = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
    pins_[pin] = model;
    if (in_.Bool()) rig_.client->SetMasterClock(pin, true);
  }

  void SetState() {
    Handle pin = AnyPin();
    if (pin == 0) return;
    KSSTATE before;
    FUZZ_CHECK(rig_.client->GetState(pin, &before) == STATUS_SUCCESS, "a pin's state reads");
    Drain();  // what completed before belongs to the picture numbering before
    // As a client sends it: not necessarily one of the four states.
    ULONG to = in_.Below(8) == 0 ? in_.U32() : in_.Below(4);
    NTSTATUS status =
        rig_.client->Set(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, to);
    KSSTATE after;
    FUZZ_CHECK(rig_.client->GetState(pin, &after) == STATUS_SUCCESS, "a pin's state reads");
    FUZZ_LOG("pin %llu state %u -> %u: 0x%08x, now %u\n", static_cast<unsigned long long>(pin),
             before, to, static_cast<unsigned>(status), after);
    if (!NT_SUCCESS(status)) {
      // A walk may stop part of the way; a state that does not exist moves nothing.
      FUZZ_CHECK(after == before || to <= KSSTATE_RUN, "a refused state change moved the pin");
      return;
    }
    FUZZ_CHECK(static_cast<ULONG>(after) == to, "the pin is in the state set");
    PinModel &model = pins_[pin];
    // Leaving PAUSE for ACQUIRE or STOP stops the channel: picture numbers start again.
    if (to <= KSSTATE_ACQUIRE) model.lastPicture = -1;
    if (to == KSSTATE_STOP) {
      Drain();
      FUZZ_CHECK(model.returned == model.queued,
                 std::to_string(model.queued - model.returned) + " frame(s) kept past STOP");
      model.queued = model.returned = 0;
    }
  }

  void QueueFrames() {
    Handle pin = AnyPin();
    if (pin == 0) return;
    PinModel &model = pins_[pin];
    for (uint32_t n = 1 + in_.Below(4); n > 0; --n) {
      sim::ks::FrameRequest r;
      switch (in_.Below(4)) {
        case 0:
          r.bufferSize = in_.Length(2 * model.frameSize + 4096);
          break;
        case 1:
          r.bufferSize = model.frameSize - std::min(model.frameSize, in_.Below(16));
          break;
        default:
          r.bufferSize = model.frameSize;
          break;
      }
      // The header the pin asks for (a KS_FRAME_INFO after it on video), or another size.
      size_t extended = sizeof(KS_FRAME_INFO);
      if (in_.Below(6) == 0) extended = in_.Below(8) * 8;
      r.extendedHeader.assign(extended, 0);
      if (extended >= sizeof(ULONG)) {
        ULONG size = in_.Below(6) == 0 ? in_.U32() : sizeof(KS_FRAME_INFO);
        std::memcpy(r.extendedHeader.data(), &size, sizeof size);
      }
      KSSTATE state;
      rig_.client->GetState(pin, &state);
      ULONG bytes = r.bufferSize;
      NTSTATUS status = rig_.client->QueueFrame(pin, std::move(r));
      FUZZ_LOG("pin %llu queue %u bytes: 0x%08x\n", static_cast<unsigned long long>(pin), bytes,
               static_cast<unsigned>(status));
      if (status == STATUS_PENDING) {
        ++model.queued;
      } else {
        FUZZ_CHECK(!NT_SUCCESS(status), "a frame neither queued nor refused");
      }
      if (state == KSSTATE_STOP) FUZZ_CHECK(status != STATUS_PENDING, "a frame queued in STOP");
    }
  }

  void Drain() {
    for (auto &[pin, model] : pins_) {
      sim::ks::Frame f;
      while (rig_.client->TakeFrame(pin, &f) == STATUS_SUCCESS) {
        ++model.returned;
        FUZZ_LOG("pin %llu frame back: 0x%08x, %u of %u bytes\n",
                 static_cast<unsigned long long>(pin), static_cast<unsigned>(f.status),
                 f.header.DataUsed, f.header.FrameExtent);
        FUZZ_CHECK(model.returned <= model.queued, "more frames came back than were queued");
        FUZZ_CHECK(f.status == STATUS_SUCCESS || f.status == STATUS_CANCELLED,
                   "a frame completes or is cancelled");
        FUZZ_CHECK(f.header.DataUsed <= f.header.FrameExtent, "DataUsed within the frame");
        FUZZ_CHECK(f.header.FrameExtent == f.data.size(), "the frame keeps its extent");
        if (!model.video) {
          FUZZ_CHECK(f.header.DataUsed <= 4096, "an audio block is at most 4096 bytes");
          continue;
        }
        KS_FRAME_INFO info{};
        if (f.status == STATUS_SUCCESS && f.header.DataUsed != 0 && f.Extended(&info) &&
            info.ExtendedHeaderSize == sizeof info) {
          FUZZ_CHECK(info.PictureNumber >= model.lastPicture, "picture numbers went back");
          FUZZ_CHECK(info.DropCount <= info.PictureNumber, "more drops than pictures");
          model.lastPicture = info.PictureNumber;
        }
      }
    }
  }

  void PictureControls() {
    Handle object = in_.Bool() ? AnyPin() : AnyFilter();
    if (object == 0) return;
    if (in_.Bool()) {
      KSPROPERTY_VIDEODECODER_S s{};
      s.Value = in_.Bool() ? in_.Pick({0x1u, 0x10u, 0x200u, 0x1000u, 0x100000u}) : in_.U32();
      rig_.client->SetS(object, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, s);
      return;
    }
    KSPROPERTY_VIDEOPROCAMP_S s{};
    ULONG id = in_.Below(8);
    if (in_.Bool()) {
      rig_.client->GetS(object, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &s);
    } else {
      s.Value = static_cast<LONG>(in_.U16()) - 256;
      s.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
      rig_.client->SetS(object, PROPSETID_VIDCAP_VIDEOPROCAMP, id, s);
    }
  }

  void Close(Handle pin) {
    PinModel &model = pins_[pin];
    FUZZ_CHECK(rig_.client->SetState(pin, KSSTATE_STOP) == STATUS_SUCCESS, "a pin stops");
    Drain();
    FUZZ_CHECK(model.returned == model.queued,
               std::to_string(model.queued - model.returned) + " frame(s) kept past STOP");
    FUZZ_CHECK(rig_.client->Close(pin) == STATUS_SUCCESS, "a pin closes");
    pins_.erase(pin);
  }

  void ClosePin() {
    Handle pin = AnyPin();
    if (pin == 0) return;
    if (in_.Bool()) {
      Close(pin);
      return;
    }
    // Closed while it may run: what it held is cancelled with it.
    FUZZ_CHECK(rig_.client->Close(pin) == STATUS_SUCCESS, "a pin closes");
    pins_.erase(pin);
  }

  void CardEvent() {
    sim::Card &card = *rig_.cards[0];
    unsigned channel = in_.Below(kVideoChannels);
    sim::CardTime when = rig_.m.now() + in_.Below(100) * sim::kMillisecond;
    switch (in_.Below(4)) {
      case 0:
        card.ScheduleChannelError(when, channel);
        break;
      case 1:
        card.ScheduleSignalLoss(when, channel);
        break;
      case 2:
        card.ScheduleSignalReturn(when, channel);
        break;
      case 3:
        card.ScheduleStandardChange(when, channel, in_.Bool());
        break;
    }
  }

  fuzz::Input &in_;
  fuzz::Rig &rig_;
  std::vector<Handle> filters_;
  std::map<Handle, std::pair<bool, ULONG>> kinds_;
  std::map<Handle, PinModel> pins_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  auto variant = in.Below(4) == 0 ? sim::Card::Variant::Device6864 : sim::Card::Variant::Standard;
  // Two processors: the client's requests meet the interrupt, the DPCs and the class
  // driver's worker threads in an order the input's own hash seeds, so an input is one run.
  sim::Machine::Options machine;
  machine.processors = 2;
  machine.seed = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) machine.seed = (machine.seed ^ data[i]) * 1099511628211ull;
  machine.replay = "build/linux-fuzz/tests/fuzz/fuzz_stream INPUT";
  fuzz::Rig rig({variant}, /*start=*/true, machine);
  fuzz::NoVerifierStop("stream traffic", [&] {
    for (unsigned c = 0; c < kVideoChannels; ++c)
      rig.cards[0]->SetInputSignal(c, {true, in.Bool()});
    size_t poolStarted = rig.m.pool().liveCount();
    Session session(in, rig);
    for (int steps = 0; !in.empty() && steps < 200; ++steps) session.Step();
    session.End();
    FUZZ_CHECK(rig.m.pool().liveCount() == poolStarted, "pool left after every handle closed");
  });
  rig.ShutDown();
  return 0;
}
