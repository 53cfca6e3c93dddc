#include "capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "listing.h"
#include "media.h"
#include "sim/kernel/registry.h"

namespace ctl {

namespace {

using sim::ks::Handle;
constexpr unsigned kVideoBuffers = 4;
constexpr unsigned kAudioBuffers = 8;
constexpr ULONG kAudioBlock = 4096;

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

std::string Status(NTSTATUS s) { return Hex(static_cast<uint32_t>(s)); }

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", s);
  return buf;
}

// One output file and the streams that go into it. Its time origin is the start of its
// first video frame (or first audio block when it has no video): both streams begin
// at the same instant, and audio from before the first picture is left out.
struct OutputFile {
  std::string path;
  std::unique_ptr<MediaFile> media;  // AVI, Matroska or WAV
  bool png = false;
  bool hasVideo = false;
  bool originKnown = false;
  int64_t origin = 0;                                                  // 100 ns, the clock's time
  std::vector<std::pair<std::vector<int16_t>, int64_t>> pendingAudio;  // until the origin
  std::string error;
};

struct Stream {
  FilterId id;
  Handle pin = 0;
  OutputFile *file = nullptr;
  // video
  VideoFormat video;
  bool timestamps = true;  // a preview pin stamps none
  // audio
  unsigned sampleRate = 0;

  // statistics
  uint64_t delivered = 0;  // frames (blocks) taken into the file
  uint64_t received = 0;   // frames completed to us
  int64_t lastPicture = -1;
  uint64_t pictureGaps = 0;  // PictureNumber not one more than the last
  uint64_t holes = 0;        // three frame times or more without a frame
  int64_t dropCount = 0;
  uint64_t missingBlocks = 0;
  int64_t firstStart = -1, lastEnd = -1, lastStart = -1;  // 100 ns
  int64_t firstPicture = -1;
  bool done = false;
  std::vector<uint8_t> lastFrame;  // for the still and the contact sheet
};

std::vector<std::vector<uint8_t>> Ranges(Rig &rig, Handle filter, const FilterId &id) {
  std::vector<std::vector<uint8_t>> ranges;
  NTSTATUS s = rig.client().PinDataRanges(filter, 0, &ranges);
  if (!NT_SUCCESS(s)) throw StepError(id.Name() + ": the pin's data ranges: " + Status(s));
  return ranges;
}

Pixel PixelOf(const GUID &subtype) {
  if (subtype == KSDATAFORMAT_SUBTYPE_UYVY) return Pixel::UYVY;
  if (subtype == KSDATAFORMAT_SUBTYPE_Y41P) return Pixel::Y41P;
  if (subtype == KSDATAFORMAT_SUBTYPE_RGB565) return Pixel::RGB565;
  return Pixel::YUY2;
}

// The video format a client asks for: the pin's proposal for the chosen range, then the
// client's own size and rate. Returns the pin.
Handle CreateVideoPin(Rig &rig, const Options &o, const FilterId &id, Stream *stream) {
  Handle filter = rig.Open(id);
  std::vector<std::vector<uint8_t>> ranges = Ranges(rig, filter, id);
  const std::vector<uint8_t> *chosen = nullptr;
  std::string offered;
  for (const auto &r : ranges) {
    KSDATARANGE base;
    std::memcpy(&base, r.data(), sizeof base);
    std::string name = SubtypeName(base.SubFormat);
    offered += (offered.empty() ? "" : ", ") + name;
    if (chosen == nullptr && (o.video.pixelFormat.empty() || o.video.pixelFormat == name))
      chosen = &r;
  }
  if (chosen == nullptr || chosen->size() < sizeof(KS_DATARANGE_VIDEO))
    throw UsageError(id.Name() + " does not offer " + o.video.pixelFormat + " (it offers " +
                     offered + ")");
  KS_DATARANGE_VIDEO range;
  std::memcpy(&range, chosen->data(), sizeof range);

  std::vector<uint8_t> format;
  NTSTATUS s = rig.client().DataIntersection(filter, 0, {*chosen}, &format);
  if (!NT_SUCCESS(s) || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
    throw StepError(id.Name() + ": the pin proposed no format: " + Status(s));
  KSDATAFORMAT df;
  KS_VIDEOINFOHEADER vih;
  std::memcpy(&df, format.data(), sizeof df);
  std::memcpy(&vih, format.data() + sizeof df, sizeof vih);
  KS_BITMAPINFOHEADER &bmi = vih.bmiHeader;
  Pixel pixel = PixelOf(df.SubFormat);

  int width = o.video.width.value_or(static_cast<int>(std::labs(bmi.biWidth)));
  int height = o.video.height.value_or(static_cast<int>(std::labs(bmi.biHeight)));
  const KS_VIDEO_STREAM_CONFIG_CAPS &caps = range.ConfigCaps;
  if (width < caps.MinOutputSize.cx || width > caps.MaxOutputSize.cx ||
      height < caps.MinOutputSize.cy || height > caps.MaxOutputSize.cy)
    throw UsageError(id.Name() + ": " + std::to_string(width) + "x" + std::to_string(height) +
                     " is outside the sizes it offers (" + std::to_string(caps.MinOutputSize.cx) +
                     "x" + std::to_string(caps.MinOutputSize.cy) + " to " +
                     std::to_string(caps.MaxOutputSize.cx) + "x" +
                     std::to_string(caps.MaxOutputSize.cy) + ")");
  // Files keep whole pixel groups and rows without padding.
  int group = pixel == Pixel::Y41P ? 8 : 2;
  if (width % group != 0)
    throw UsageError(id.Name() + ": the width of a " + PixelName(pixel) + " picture must be a " +
                     "multiple of " + std::to_string(group));
  int64_t interval = vih.AvgTimePerFrame;
  if (o.fps) {
    interval = std::llround(1e7 / *o.fps);
    // As a client reads the caps: no faster than the standard allows.
    interval = std::clamp<int64_t>(interval, caps.MinFrameInterval, caps.MaxFrameInterval);
  }
  ULONG stride = ((static_cast<ULONG>(bmi.biBitCount) * static_cast<ULONG>(width) + 31) / 32) * 4;
  bmi.biWidth = width;
  bmi.biHeight = bmi.biHeight < 0 ? -height : height;
  bmi.biSizeImage = stride * static_cast<ULONG>(height);
  vih.AvgTimePerFrame = interval;
  vih.rcSource = RECT{0, 0, width, height};
  vih.rcTarget = vih.rcSource;
  vih.dwBitRate = static_cast<DWORD>(std::min<double>(
      4e9, static_cast<double>(bmi.biSizeImage) * 8 * 1e7 / static_cast<double>(interval)));
  df.SampleSize = bmi.biSizeImage;
  std::memcpy(format.data(), &df, sizeof df);
  std::memcpy(format.data() + sizeof df, &vih, sizeof vih);

  Handle pin = 0;
  s = rig.client().CreatePin(filter, 0, format, &pin);
  if (!NT_SUCCESS(s))
    throw UsageError(id.Name() + " refused the format " + std::string(PixelName(pixel)) + " " +
                     std::to_string(width) + "x" + std::to_string(height) + " at " +
                     std::to_string(1e7 / static_cast<double>(interval)) + " fps (" + Status(s) +
                     ")");
  stream->video.pixel = pixel;
  stream->video.width = width;
  stream->video.height = height;
  // A positive height is a bottom-up bitmap for RGB; YUV rows always run top-down.
  stream->video.bottomUp = pixel == Pixel::RGB565 && bmi.biHeight > 0;
  stream->video.interval = interval;
  stream->video.stride = stride;
  std::u16string pinName;
  rig.client().PinName(filter, 0, &pinName);
  stream->timestamps = sim::Utf16ToUtf8(pinName) != "Preview";
  return pin;
}

Handle CreateAudioPin(Rig &rig, const Options &o, const FilterId &id) {
  Handle filter = rig.Open(id);
  KSDATARANGE_AUDIO want{};
  want.DataRange.FormatSize = sizeof want;
  want.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  want.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  want.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  want.MaximumChannels = 1;
  want.MinimumBitsPerSample = want.MaximumBitsPerSample = 16;
  want.MinimumSampleFrequency = want.MaximumSampleFrequency = o.audioRate;
  std::vector<uint8_t> range(sizeof want);
  std::memcpy(range.data(), &want, sizeof want);
  std::vector<uint8_t> format;
  NTSTATUS s = rig.client().DataIntersection(filter, 0, {range}, &format);
  if (!NT_SUCCESS(s)) {
    std::string rates;
    for (const auto &r : Ranges(rig, filter, id)) {
      KSDATARANGE_AUDIO a;
      if (r.size() < sizeof a) continue;
      std::memcpy(&a, r.data(), sizeof a);
      rates += (rates.empty() ? "" : ", ") + std::to_string(a.MaximumSampleFrequency);
    }
    throw UsageError(id.Name() + " cannot capture at " + std::to_string(o.audioRate) +
                     " Hz (it offers " + rates + ")");
  }
  Handle pin = 0;
  s = rig.client().CreatePin(filter, 0, format, &pin);
  if (!NT_SUCCESS(s)) throw StepError(id.Name() + ": the audio pin was not created: " + Status(s));
  return pin;
}

void QueueVideo(Rig &rig, Stream &st, std::vector<uint8_t> storage) {
  sim::ks::FrameRequest request;
  request.bufferSize = static_cast<ULONG>(st.video.FrameBytes());
  KS_FRAME_INFO info{};
  info.ExtendedHeaderSize = sizeof info;
  request.extendedHeader.resize(sizeof info);
  std::memcpy(request.extendedHeader.data(), &info, sizeof info);
  request.storage = std::move(storage);
  NTSTATUS s = rig.client().QueueFrame(st.pin, std::move(request));
  if (s != STATUS_PENDING) throw StepError(st.id.Name() + ": a frame was refused: " + Status(s));
}

void QueueAudio(Rig &rig, Stream &st, std::vector<uint8_t> storage) {
  sim::ks::FrameRequest request;
  request.bufferSize = kAudioBlock;
  // The audio pin asks for the same 128-byte headers as the video pin.
  request.extendedHeader.resize(sizeof(KS_FRAME_INFO));
  request.storage = std::move(storage);
  NTSTATUS s = rig.client().QueueFrame(st.pin, std::move(request));
  if (s != STATUS_PENDING) throw StepError(st.id.Name() + ": a buffer was refused: " + Status(s));
}

bool WriteAudioInto(OutputFile &f, const int16_t *samples, size_t count, int64_t start) {
  if (f.media == nullptr || !f.error.empty()) return false;
  if (!f.originKnown) {
    f.pendingAudio.emplace_back(std::vector<int16_t>(samples, samples + count), start);
    return true;
  }
  return f.media->WriteAudio(samples, count, start - f.origin, &f.error);
}

void SetOrigin(OutputFile &f, int64_t origin) {
  f.originKnown = true;
  f.origin = origin;
  for (auto &[samples, start] : f.pendingAudio)
    if (f.media && f.error.empty())
      f.media->WriteAudio(samples.data(), samples.size(), start - origin, &f.error);
  f.pendingAudio.clear();
}

std::string FormatText(const Stream &st) {
  char buf[96];
  if (st.id.video)
    std::snprintf(buf, sizeof buf, "%s %dx%d %.2f fps", PixelName(st.video.pixel), st.video.width,
                  st.video.height, 1e7 / static_cast<double>(st.video.interval));
  else
    std::snprintf(buf, sizeof buf, "PCM16 mono %u Hz", st.sampleRate);
  return buf;
}

class Progress {
 public:
  explicit Progress(bool on) : on_(on) {}
  void Show(const std::vector<Stream> &streams, double seconds, bool final) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    if (!final && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    std::string out;
    if (lines_ > 0) out += "\033[" + std::to_string(lines_) + "A";
    for (const Stream &st : streams) {
      char line[160];
      if (st.id.video)
        std::snprintf(line, sizeof line, "\r\033[K%-13s frames %6llu  %6.2f fps  drops %lld\n",
                      st.id.Name().c_str(), static_cast<unsigned long long>(st.delivered),
                      seconds > 0 ? static_cast<double>(st.received) / seconds : 0.0,
                      static_cast<long long>(st.dropCount));
      else
        std::snprintf(line, sizeof line, "\r\033[K%-13s blocks %6llu  missing %llu\n",
                      st.id.Name().c_str(), static_cast<unsigned long long>(st.delivered),
                      static_cast<unsigned long long>(st.missingBlocks));
      out += line;
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    lines_ = static_cast<int>(streams.size());
  }

 private:
  bool on_;
  int lines_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace

std::string ChannelFilePattern(const std::string &streamTo) {
  if (streamTo.find("%d") != std::string::npos) return streamTo;
  std::filesystem::path dir(streamTo);
  return (dir / "channel%d.avi").string();
}

std::string ChannelFile(const std::string &pattern, unsigned channel) {
  std::string out = pattern;
  size_t at = out.find("%d");
  if (at != std::string::npos) out.replace(at, 2, std::to_string(channel));
  return out;
}

CaptureResult Capture(Rig &rig, const Options &o) {
  if (o.device.empty())
    throw UsageError("capture needs a device: -d card0 (every channel) or -d card0/video3");
  DeviceSelection sel = rig.Select(o.device);
  std::string sheetPath = o.contactSheet;
  bool stillOnly = false;

  // ---- what goes where
  std::vector<std::unique_ptr<OutputFile>> files;
  std::vector<Stream> streams;
  auto extensionOf = [](const std::string &p) {
    std::string e = std::filesystem::path(p).extension().string();
    for (char &c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return e;
  };
  if (sel.wholeCard) {
    std::string pattern;
    if (!o.streamTo.empty()) {
      pattern = ChannelFilePattern(o.streamTo);
      std::filesystem::path parent = std::filesystem::path(pattern).parent_path();
      std::error_code ec;
      if (!parent.empty()) std::filesystem::create_directories(parent, ec);
      if (ec)
        throw UsageError("cannot create the folder '" + parent.string() + "': " + ec.message());
      if (sheetPath.empty())
        sheetPath =
            ((parent.empty() ? std::filesystem::path(".") : parent) / "contact-sheet.png").string();
      std::string ext = extensionOf(pattern);
      if (ext != ".avi" && ext != ".mkv")
        throw UsageError("'" + pattern + "': a card's channels go to .avi or .mkv files");
    } else {
      stillOnly = true;
    }
    for (unsigned c = 0; c < kChannels; ++c) {
      OutputFile *file = nullptr;
      if (!pattern.empty()) {
        files.push_back(std::make_unique<OutputFile>());
        file = files.back().get();
        file->path = ChannelFile(pattern, c);
        file->hasVideo = true;
      }
      Stream v;
      v.id = FilterId{sel.card, true, c};
      v.file = file;
      streams.push_back(v);
      if (!o.noAudio && file != nullptr) {
        Stream a;
        a.id = FilterId{sel.card, false, c};
        a.file = file;
        streams.push_back(a);
      }
    }
  } else {
    if (!sheetPath.empty())
      throw UsageError("--contact-sheet shows every channel of a card: use -d card" +
                       std::to_string(sel.card));
    if (o.streamTo.empty()) throw UsageError("--stream-to names no file");
    files.push_back(std::make_unique<OutputFile>());
    OutputFile *file = files.back().get();
    file->path = o.streamTo;
    std::string ext = extensionOf(o.streamTo);
    const FilterId &id = sel.filter;
    if (ext == ".png") {
      if (!id.video) throw UsageError("'" + o.streamTo + "': an audio stream has no picture");
      file->png = true;
      stillOnly = true;
    } else if (ext == ".wav") {
      if (id.video)
        throw UsageError("'" + o.streamTo + "': a WAV file holds audio only (capture " +
                         FilterId{id.card, false, id.channel}.Name() + ", or use .avi or .mkv)");
    } else if (ext != ".avi" && ext != ".mkv") {
      throw UsageError("'" + o.streamTo + "': unknown file type (use .avi, .mkv, .wav or .png)");
    }
    file->hasVideo = id.video;
    Stream s;
    s.id = id;
    s.file = file;
    streams.push_back(s);
    if (id.video && !file->png && !o.noAudio) {
      Stream a;
      a.id = FilterId{id.card, false, id.channel};
      a.file = file;
      streams.push_back(a);
    }
  }
  const bool countMode = o.streamCount.has_value() || (stillOnly && !o.duration);
  const long count = o.streamCount.value_or(1);
  const double duration = o.duration.value_or(10.0);

  // ---- pins, then the files (whose layout the pins decide)
  for (Stream &st : streams) {
    if (st.id.video) {
      st.pin = CreateVideoPin(rig, o, st.id, &st);
    } else {
      st.pin = CreateAudioPin(rig, o, st.id);
      st.sampleRate = o.audioRate;
    }
  }
  for (auto &f : files) {
    if (f->png) {
      std::ofstream probe;  // fails early on a path we cannot write
      std::string temporary = f->path + ".part";
      FILE *t = std::fopen(temporary.c_str(), "wb");
      if (t == nullptr) throw UsageError("cannot write '" + f->path + "': " + std::strerror(errno));
      std::fclose(t);
      std::remove(temporary.c_str());
      continue;
    }
    const VideoFormat *video = nullptr;
    MediaFile::Audio audio;
    const MediaFile::Audio *withAudio = nullptr;
    for (const Stream &st : streams) {
      if (st.file != f.get()) continue;
      if (st.id.video)
        video = &st.video;
      else {
        audio.sampleRate = static_cast<int>(st.sampleRate);
        withAudio = &audio;
      }
    }
    std::string error;
    f->media = MediaFile::Create(f->path, video, withAudio, &error);
    if (!f->media) throw UsageError(error);
    if (!countMode && withAudio != nullptr)
      f->media->LimitAudio(std::llround(duration * withAudio->sampleRate));
  }
  if (!sheetPath.empty()) {
    FILE *t = std::fopen((sheetPath + ".part").c_str(), "wb");
    if (t == nullptr) throw UsageError("cannot write '" + sheetPath + "': " + std::strerror(errno));
    std::fclose(t);
    std::remove((sheetPath + ".part").c_str());
  }

  // ---- run
  sim::Machine &m = rig.machine();
  for (Stream &st : streams) {
    NTSTATUS s = rig.client().SetMasterClock(st.pin, true);
    if (!NT_SUCCESS(s)) throw StepError(st.id.Name() + ": no master clock: " + Status(s));
  }
  const sim::Nanos runStart = m.now();
  for (Stream &st : streams) {
    NTSTATUS s = rig.client().SetState(st.pin, KSSTATE_RUN);
    if (!NT_SUCCESS(s)) throw StepError(st.id.Name() + ": did not start: " + Status(s));
  }
  // Buffers go to running pins; the first fields complete a field time later.
  for (Stream &st : streams)
    for (unsigned i = 0; i < (st.id.video ? kVideoBuffers : kAudioBuffers); ++i)
      st.id.video ? QueueVideo(rig, st, {}) : QueueAudio(rig, st, {});
  for (const FaultSpec &fault : o.faults) {
    if (fault.card >= rig.cardCount())
      throw UsageError("--fault names card" + std::to_string(fault.card) + " but there are " +
                       std::to_string(rig.cardCount()) + " card(s)");
    sim::Card &card = rig.card(fault.card);
    sim::CardTime when = runStart + static_cast<sim::CardTime>(fault.at * 1e9);
    switch (fault.kind) {
      case FaultSpec::Kind::ChannelError:
        card.ScheduleChannelError(when, fault.channel);
        break;
      case FaultSpec::Kind::SignalLoss:
        card.ScheduleSignalLoss(when, fault.channel);
        if (fault.length > 0)
          card.ScheduleSignalReturn(when + static_cast<sim::CardTime>(fault.length * 1e9),
                                    fault.channel);
        break;
      case FaultSpec::Kind::StandardChange:
        card.ScheduleStandardChange(when, fault.channel, fault.lines625);
        break;
    }
  }

  interrupted = 0;
  auto previous = std::signal(SIGINT, OnInterrupt);
  Progress progress(!o.json && isatty(STDERR_FILENO));
  const auto wallStart = std::chrono::steady_clock::now();
  // Beyond this the capture gives up: frames that have not come by then will not.
  const sim::Nanos limit =
      runStart + (countMode
                      ? static_cast<sim::Nanos>(static_cast<double>(count) * 0.1 * sim::kSecond) +
                            2 * sim::kSecond
                      : static_cast<sim::Nanos>(duration * 1e9) + sim::kSecond);
  const int64_t window = static_cast<int64_t>(std::llround(duration * 1e7));  // 100 ns
  bool writeFailed = false;

  auto allDone = [&] {
    return std::all_of(streams.begin(), streams.end(), [](const Stream &s) { return s.done; });
  };
  while (!allDone() && m.now() < limit && !interrupted && !writeFailed) {
    sim::Nanos step = 50 * sim::kMillisecond;
    if (o.realtime) {
      auto wall = std::chrono::steady_clock::now() - wallStart;
      sim::Nanos allowed =
          runStart + std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count();
      if (m.now() >= allowed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      step = std::min(step, allowed - m.now());
    }
    rig.client().WaitForAnyFrame(std::min(step, limit - m.now()));

    for (Stream &st : streams) {
      sim::ks::Frame frame;
      while (NT_SUCCESS(rig.client().TakeFrame(st.pin, &frame))) {
        std::vector<uint8_t> storage = std::move(frame.data);
        if (NT_SUCCESS(frame.status)) ++st.received;
        OutputFile *f = st.file;
        if (NT_SUCCESS(frame.status) && !st.done) {
          const KSSTREAM_HEADER &h = frame.header;
          bool timed = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
          if (st.id.video) {
            KS_FRAME_INFO info{};
            frame.Extended(&info);
            if (st.lastPicture >= 0 && info.PictureNumber != st.lastPicture + 1) ++st.pictureGaps;
            st.lastPicture = info.PictureNumber;
            st.dropCount = info.DropCount;
            if (st.firstPicture < 0) st.firstPicture = info.PictureNumber;
            // Without stamps (a preview pin) the picture number is the only clock.
            int64_t start = timed ? h.PresentationTime.Time - h.Duration
                                  : (info.PictureNumber - st.firstPicture) * st.video.interval;
            if (f != nullptr && !f->originKnown && !f->png) SetOrigin(*f, start);
            int64_t rel = f != nullptr && !f->png ? start - f->origin : start;
            bool inWindow = countMode ? st.delivered < static_cast<uint64_t>(count) : rel < window;
            if (inWindow && storage.size() >= st.video.FrameBytes()) {
              bool written = true;
              if (f != nullptr && f->media) {
                written = f->media->WriteVideo(storage.data(), rel, &f->error);
                if (!f->error.empty()) writeFailed = true;
              }
              if (written) {
                // A frame time now and then may stay empty (the card's keep pattern at
                // rates below the standard's); several in a row mean pictures were lost.
                if (st.lastStart >= 0 && start - st.lastStart >= 3 * st.video.interval) ++st.holes;
                ++st.delivered;
                if (st.firstStart < 0) st.firstStart = start;
                st.lastStart = start;
                st.lastEnd = start + st.video.interval;
                st.lastFrame.assign(storage.begin(), storage.begin() + st.video.FrameBytes());
              }
            }
            if (countMode ? st.delivered >= static_cast<uint64_t>(count) : !inWindow)
              st.done = true;
          } else {
            size_t samples = h.DataUsed / 2;
            int64_t blockTime = static_cast<int64_t>(samples) * 10000000 / st.sampleRate;
            int64_t start = timed ? h.PresentationTime.Time - h.Duration : st.lastEnd;
            if (start < 0) start = 0;
            if (st.lastEnd >= 0 && start - st.lastEnd > blockTime / 2)
              st.missingBlocks +=
                  static_cast<uint64_t>((start - st.lastEnd + blockTime / 2) / blockTime);
            std::vector<int16_t> pcm(samples);
            for (size_t i = 0; i < samples; ++i)
              pcm[i] = static_cast<int16_t>(storage[2 * i] | (storage[2 * i + 1] << 8));
            if (f != nullptr && !f->hasVideo && !f->originKnown) SetOrigin(*f, start);
            // Trim to the window (or to the video's span in a count capture).
            int64_t end = start + blockTime;
            int64_t stopAt = INT64_MAX;
            if (f != nullptr && f->originKnown) {
              if (!countMode) stopAt = f->origin + window;
            }
            if (countMode && f != nullptr && !f->hasVideo &&
                st.delivered >= static_cast<uint64_t>(count))
              stopAt = start;
            size_t keep = samples;
            if (end > stopAt)
              keep = start >= stopAt
                         ? 0
                         : static_cast<size_t>((stopAt - start) * st.sampleRate / 10000000);
            if (keep > 0) {
              if (f != nullptr && !WriteAudioInto(*f, pcm.data(), keep, start) && !f->error.empty())
                writeFailed = true;
              ++st.delivered;
              if (st.firstStart < 0) st.firstStart = start;
              st.lastEnd = start + static_cast<int64_t>(keep) * 10000000 / st.sampleRate;
            } else {
              st.lastEnd = end;
            }
            if (!countMode && f != nullptr && f->originKnown && end >= f->origin + window)
              st.done = true;
            if (countMode && f != nullptr && !f->hasVideo &&
                st.delivered >= static_cast<uint64_t>(count))
              st.done = true;
          }
        }
        if (!st.done)
          st.id.video ? QueueVideo(rig, st, std::move(storage))
                      : QueueAudio(rig, st, std::move(storage));
      }
    }
    // In a count capture the audio of a file ends with its last picture.
    if (countMode)
      for (Stream &a : streams) {
        if (a.id.video || a.done || a.file == nullptr || !a.file->hasVideo) continue;
        for (const Stream &v : streams)
          if (v.id.video && v.file == a.file && v.done && a.lastEnd >= v.lastEnd) a.done = true;
      }
    double elapsed = static_cast<double>(m.now() - runStart) / 1e9;
    progress.Show(streams, elapsed, false);
  }
  std::signal(SIGINT, previous);
  double elapsed = static_cast<double>(m.now() - runStart) / 1e9;
  progress.Show(streams, elapsed, true);

  // ---- stop: queued frames come back cancelled
  for (Stream &st : streams) rig.client().SetState(st.pin, KSSTATE_STOP);
  for (Stream &st : streams) {
    sim::ks::Frame frame;
    while (NT_SUCCESS(rig.client().TakeFrame(st.pin, &frame))) {
    }
    rig.client().Close(st.pin);
  }

  // ---- finish the files
  CaptureResult result;
  for (auto &f : files) {
    if (!f->media) continue;
    if (!f->originKnown) SetOrigin(*f, 0);
    if (writeFailed && !f->error.empty()) {
      f->media->Discard();
      result.problems.push_back(f->error + " (the partial file was removed)");
    } else if (!f->media->Finish(&f->error)) {
      result.problems.push_back(f->error);
    }
  }
  for (const Stream &st : streams) {
    if (st.file != nullptr && st.file->png) {
      std::string error;
      if (st.lastFrame.empty())
        result.problems.push_back(st.id.Name() + ": no frame for '" + st.file->path + "'");
      else if (!WritePng(st.file->path, ToRgb(st.video, st.lastFrame.data()), &error))
        result.problems.push_back(error);
    }
  }
  if (!sheetPath.empty()) {
    std::vector<SheetTile> tiles;
    for (const Stream &st : streams) {
      if (!st.id.video) continue;
      SheetTile t;
      sim::InputSignal signal = rig.card(sel.card).inputSignal(st.id.channel);
      t.label = "VIDEO" + std::to_string(st.id.channel) + (signal.lines625 ? " 625 " : " 525 ") +
                PixelName(st.video.pixel);
      if (!st.lastFrame.empty() && signal.present) {
        t.hasPicture = true;
        t.picture = ToRgb(st.video, st.lastFrame.data());
      }
      tiles.push_back(std::move(t));
    }
    std::string error;
    if (!WritePng(sheetPath, ContactSheet(tiles), &error)) result.problems.push_back(error);
  }

  // ---- the summary
  result.complete = result.problems.empty() && !writeFailed && !interrupted;
  if (interrupted) result.problems.push_back("interrupted: the files hold what came before");
  char line[320];
  std::snprintf(line, sizeof line, "%-13s %-26s %9s %7s %5s %10s  %s\n", "stream", "format",
                "delivered", "dropped", "gaps", "duration", "file");
  result.text += line;
  Json &list = result.json["streams"] = Json::array();
  for (const Stream &st : streams) {
    // Complete: the stream covers what was asked, and nothing was dropped or lost on the way.
    bool ok;
    std::string shortfall;
    if (st.id.video) {
      int64_t covered = st.firstStart >= 0 ? st.lastEnd - st.firstStart : 0;
      bool enough = countMode ? st.delivered >= static_cast<uint64_t>(count)
                              : covered >= window - 2 * st.video.interval;
      ok = enough && st.dropCount == 0 && st.pictureGaps == 0 && st.holes == 0;
      if (!enough)
        shortfall = std::to_string(st.delivered) + " frames, covering " +
                    Seconds(static_cast<double>(covered) / 1e7);
      else if (!ok)
        shortfall = std::to_string(st.dropCount) + " dropped, " + std::to_string(st.pictureGaps) +
                    " picture number gaps, " + std::to_string(st.holes) + " holes";
    } else {
      int64_t block = static_cast<int64_t>(kAudioBlock / 2) * 10000000 / st.sampleRate;
      int64_t covered = st.firstStart >= 0 ? st.lastEnd - st.firstStart : 0;
      bool enough = countMode ? (st.file != nullptr && st.file->hasVideo
                                     ? st.delivered > 0
                                     : st.delivered >= static_cast<uint64_t>(count))
                              : covered >= window - block;
      ok = enough && st.missingBlocks == 0;
      if (!ok)
        shortfall = std::to_string(st.delivered) + " blocks, " + std::to_string(st.missingBlocks) +
                    " missing";
    }
    if (!ok) {
      result.complete = false;
      result.problems.push_back(st.id.Name() + ": incomplete: " + shortfall);
    }
    double span = st.firstStart >= 0 ? static_cast<double>(st.lastEnd - st.firstStart) / 1e7 : 0;
    std::string dropped =
        st.id.video ? std::to_string(st.dropCount) : std::to_string(st.missingBlocks);
    std::string gaps = st.id.video ? std::to_string(st.pictureGaps) : "-";
    std::string path = st.file != nullptr ? st.file->path : "(contact sheet)";
    std::snprintf(line, sizeof line, "%-13s %-26s %9llu %7s %5s %10s  %s\n", st.id.Name().c_str(),
                  FormatText(st).c_str(), static_cast<unsigned long long>(st.delivered),
                  dropped.c_str(), gaps.c_str(), Seconds(span).c_str(), path.c_str());
    result.text += line;
    Json &j = list.emplace_back(Json::object());
    j["device"] = st.id.Name();
    j["kind"] = st.id.video ? "video" : "audio";
    j["format"] = FormatText(st);
    if (st.id.video) {
      j["pixelFormat"] = PixelName(st.video.pixel);
      j["filePixelFormat"] = FilePixelFormatName(st.video.pixel);
      j["width"] = st.video.width;
      j["height"] = st.video.height;
      j["frameInterval"] = static_cast<long long>(st.video.interval);
      j["timestamps"] = st.timestamps;
      j["dropped"] = static_cast<long long>(st.dropCount);
      j["pictureNumberGaps"] = static_cast<unsigned long long>(st.pictureGaps);
      j["holes"] = static_cast<unsigned long long>(st.holes);
    } else {
      j["sampleRate"] = st.sampleRate;
      j["missingBlocks"] = static_cast<unsigned long long>(st.missingBlocks);
    }
    j["delivered"] = static_cast<unsigned long long>(st.delivered);
    j["complete"] = ok;
    j["duration"] = span;
    j["file"] = st.file != nullptr ? Json(st.file->path) : Json();
  }
  if (!sheetPath.empty()) {
    result.text += "contact sheet: " + sheetPath + "\n";
    result.json["contactSheet"] = sheetPath;
  }
  for (const Stream &st : streams)
    if (st.id.video && st.video.pixel == Pixel::Y41P && st.file != nullptr && st.file->media) {
      result.text += "note: Y41P has no raw FFmpeg pixel format; " + st.file->path +
                     " holds the same samples as yuv411p\n";
      break;
    }
  std::snprintf(
      line, sizeof line, "simulated %.3f s in %.3f s\n", elapsed,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count());
  result.text += line;
  result.json["complete"] = result.complete;
  result.json["simulatedSeconds"] = elapsed;
  return result;
}

}  // namespace ctl
