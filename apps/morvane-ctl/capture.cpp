#include "capture.h"

#include "timeline.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <thread>

#include "listing.h"
#include "media.h"
#include "sim/kernel/registry.h"

namespace ctl {

namespace {

using sim::ks::Handle;
constexpr unsigned kVideoBuffers = 4;
// Frames a file's thread may be behind by before the capture waits for it.
constexpr unsigned kWriterFrames = 12;
constexpr unsigned kAudioBuffers = 8;
constexpr ULONG kAudioBlock = 4096;
// After a fault ends, the card, the decoder and the driver's watchdog take a moment
// before frames flow again; losses that long after it are still its doing.
constexpr Hns kFaultRecovery = kHnsPerSecond;

std::string Status(NTSTATUS s) { return Hex(static_cast<uint32_t>(s)); }

std::string PercentText(double share) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f%%", 100 * share);
  return buf;
}

std::string SecondsText(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", s);
  return buf;
}

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ExtensionOf(const std::string &path) {
  return Lower(std::filesystem::path(path).extension().string());
}

// One output file and the streams that go into it. Its time origin is the start of its
// first video frame (or first audio block when it has no video): both streams begin
// at the same instant, and audio from before the first picture is left out.
struct OutputFile {
  const CapturePlan::File *plan = nullptr;
  std::string temporary;
  std::unique_ptr<MediaFile> media;  // AVI, Matroska or WAV
  bool originKnown = false;
  Hns origin = 0;
  std::vector<std::pair<std::vector<int16_t>, Hns>> pendingAudio;  // until the origin
  std::string error;
};

// Stream times may lie before the clock's zero (a frame stamped at its end began
// earlier), so "not yet" is its own value.
constexpr Hns kNoTime = INT64_MIN;

// A stretch of a stream's time without what it should have held.
struct Loss {
  Hns from = 0, to = 0;
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

  // what came
  uint64_t delivered = 0;  // frames (blocks) taken into the file
  uint64_t received = 0;   // frames completed to us
  int64_t lastPicture = -1;
  int64_t firstPicture = -1;
  Hns firstPictureStart = 0;  // untimed frames are placed from here by picture number
  uint64_t pictureGaps = 0;   // PictureNumber not one more than the last
  uint64_t holes = 0;         // three frame times or more without a frame
  int64_t dropCount = 0;
  uint64_t missingBlocks = 0;
  int64_t samples = 0;                                               // audio samples delivered
  Hns firstStart = kNoTime, lastEnd = kNoTime, lastStart = kNoTime;  // the clock's time
  // Every frame the driver delivered within the capture, by its stamps: the rate it
  // really came at, whatever the file could hold.
  uint64_t rateFrames = 0;
  Hns rateFirst = kNoTime, rateLast = kNoTime;
  std::vector<Loss> losses;
  bool done = false;
  FrameRef lastFrame;             // for the still and the contact sheet
  std::deque<FrameRef> inFlight;  // queued to the pin, in order
  std::vector<int16_t> pcm;       // a block's samples, reused
  sim::Nanos processorTime = 0;   // what the driver's work for it cost (the cost model)
};

Pixel PixelOf(const GUID &subtype) {
  if (subtype == KSDATAFORMAT_SUBTYPE_UYVY) return Pixel::UYVY;
  if (subtype == KSDATAFORMAT_SUBTYPE_Y41P) return Pixel::Y41P;
  if (subtype == KSDATAFORMAT_SUBTYPE_RGB565) return Pixel::RGB565;
  return Pixel::YUY2;
}

std::vector<std::vector<uint8_t>> Ranges(Rig &rig, Handle filter, const FilterId &id) {
  std::vector<std::vector<uint8_t>> ranges;
  NTSTATUS s = rig.client().PinDataRanges(filter, 0, &ranges);
  if (!NT_SUCCESS(s)) throw StepError(id.Name() + ": the pin's data ranges: " + Status(s));
  return ranges;
}

// ------------------------------------------------------------------ pins

// The video format a client asks for: the pin's proposal for the chosen range, then the
// client's own size and rate. Returns the pin.
Handle CreateVideoPin(Rig &rig, const Options &o, Stream *stream) {
  const FilterId &id = stream->id;
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
  Hns interval = vih.AvgTimePerFrame;
  if (o.fps) {
    // As a client reads the caps: no faster than the standard allows.
    interval = std::clamp<Hns>(FpsToInterval(*o.fps), caps.MinFrameInterval, caps.MaxFrameInterval);
  }
  ULONG stride = ((static_cast<ULONG>(bmi.biBitCount) * static_cast<ULONG>(width) + 31) / 32) * 4;
  bmi.biWidth = width;
  bmi.biHeight = bmi.biHeight < 0 ? -height : height;
  bmi.biSizeImage = stride * static_cast<ULONG>(height);
  vih.AvgTimePerFrame = interval;
  vih.rcSource = RECT{0, 0, width, height};
  vih.rcTarget = vih.rcSource;
  vih.dwBitRate = static_cast<DWORD>(
      std::min<double>(4e9, static_cast<double>(bmi.biSizeImage) * 8 * IntervalToFps(interval)));
  df.SampleSize = bmi.biSizeImage;
  std::memcpy(format.data(), &df, sizeof df);
  std::memcpy(format.data() + sizeof df, &vih, sizeof vih);

  Handle pin = 0;
  s = rig.client().CreatePin(filter, 0, format, &pin);
  if (!NT_SUCCESS(s))
    throw UsageError(id.Name() + " refused the format " + std::string(PixelName(pixel)) + " " +
                     std::to_string(width) + "x" + std::to_string(height) + " at " +
                     std::to_string(IntervalToFps(interval)) + " fps (" + Status(s) + ")");
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

// ------------------------------------------------------------------ the frame log

const char *OptionFlagNames(ULONG flags) {
  static thread_local std::string names;
  names.clear();
  const struct {
    ULONG bit;
    const char *name;
  } known[] = {
      {KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT, "SPLICEPOINT"},
      {KSSTREAM_HEADER_OPTIONSF_PREROLL, "PREROLL"},
      {KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, "DATADISCONTINUITY"},
      {KSSTREAM_HEADER_OPTIONSF_TYPECHANGED, "TYPECHANGED"},
      {KSSTREAM_HEADER_OPTIONSF_TIMEVALID, "TIMEVALID"},
      {KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY, "TIMEDISCONTINUITY"},
      {KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE, "FLUSHONPAUSE"},
      {KSSTREAM_HEADER_OPTIONSF_DURATIONVALID, "DURATIONVALID"},
      {KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, "ENDOFSTREAM"},
  };
  for (const auto &k : known)
    if (flags & k.bit) names += (names.empty() ? "" : "|") + std::string(k.name);
  return names.c_str();
}

void LogFrame(std::FILE *log, const Stream &st, const sim::ks::Frame &frame, Hns received) {
  if (log == nullptr) return;
  const KSSTREAM_HEADER &h = frame.header;
  Json j = Json::object();
  j["device"] = st.id.Name();
  j["kind"] = st.id.video ? "video" : "audio";
  j["received"] = received;
  j["status"] = Status(frame.status);
  j["presentationTime"] = h.PresentationTime.Time;
  j["timeValid"] = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  j["duration"] = h.Duration;
  j["durationValid"] = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DURATIONVALID) != 0;
  j["dataUsed"] = h.DataUsed;
  j["frameExtent"] = h.FrameExtent;
  j["optionsFlags"] = Hex(h.OptionsFlags);
  j["options"] = OptionFlagNames(h.OptionsFlags);
  KS_FRAME_INFO info{};
  if (st.id.video && frame.Extended(&info)) {
    j["pictureNumber"] = info.PictureNumber;
    j["dropCount"] = info.DropCount;
    j["frameFlags"] = Hex(info.dwFrameFlags);
  } else if (!st.id.video) {
    j["size"] = h.DataUsed;
    j["samples"] = h.DataUsed / 2;
  }
  std::string line = JsonText(j, -1) + "\n";
  std::fwrite(line.data(), 1, line.size(), log);
}

// ------------------------------------------------------------------ progress

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

// ------------------------------------------------------------------ the session

class Session {
 public:
  Session(Rig &rig, const Options &o, const CapturePlan &plan, Outputs &outputs, std::FILE *log)
      : rig_(rig), o_(o), plan_(plan), outputs_(outputs), log_(log), timeline_(rig, o) {}

  void CreatePins();
  void OpenFiles();
  void Start();
  void Loop();
  void Stop();
  CaptureResult Finish();

 private:
  void QueueVideo(Stream &st);
  void QueueAudio(Stream &st, std::vector<uint8_t> storage);
  void ConsumeVideo(Stream &st, const sim::ks::Frame &frame, const FrameRef &bytes, Hns received);
  void ConsumeAudio(Stream &st, const sim::ks::Frame &frame);
  void EndAudioWithPictures();
  void WriteAudioInto(OutputFile &f, const int16_t *samples, size_t count, Hns start);
  void SetOrigin(OutputFile &f, Hns origin);
  void FinishFiles(CaptureResult *result);
  void Summarise(CaptureResult *result);
  bool Explained(const Stream &st, const Loss &loss) const;
  std::string FormatText(const Stream &st) const;
  // A share of one processor over the capture.
  double Load(sim::Nanos busy) const { return elapsed_ > 0 ? NanosToSeconds(busy) / elapsed_ : 0; }
  void DriverLoad(CaptureResult *result) const;
  double MeasuredRate(const Stream &st) const;

  Rig &rig_;
  const Options &o_;
  const CapturePlan &plan_;
  Outputs &outputs_;
  std::FILE *log_;
  // Client frames: outlives the files and the streams that hold them.
  std::unique_ptr<FramePool> pool_;
  std::vector<std::unique_ptr<OutputFile>> files_;
  std::vector<Stream> streams_;
  Hns window_ = 0;  // the capture's length on the clock
  sim::Nanos runStart_ = 0;
  sim::Machine::Load loadAtStart_, loadAtEnd_;
  double elapsed_ = 0;
  std::chrono::steady_clock::time_point wallStart_;
  bool writeFailed_ = false;
  int signal_ = 0;
  Timeline timeline_;
};

void Session::CreatePins() {
  for (const CapturePlan::File &f : plan_.files) {
    files_.push_back(std::make_unique<OutputFile>());
    files_.back()->plan = &f;
  }
  for (const CapturePlan::Stream &ps : plan_.streams) {
    Stream st;
    st.id = ps.id;
    st.file = ps.file >= 0 ? files_[static_cast<size_t>(ps.file)].get() : nullptr;
    streams_.push_back(std::move(st));
  }
  for (Stream &st : streams_) {
    if (st.id.video) {
      st.pin = CreateVideoPin(rig_, o_, &st);
    } else {
      st.pin = CreateAudioPin(rig_, o_, st.id);
      st.sampleRate = o_.audioRate;
    }
  }
  window_ = SecondsToHns(plan_.duration);
  // Per video stream: the frames queued to the pin, the still, and what its file's
  // thread may have waiting for the disk.
  size_t video = 0;
  for (const Stream &st : streams_) video += st.id.video;
  pool_ = std::make_unique<FramePool>(video * (kVideoBuffers + 1 + kWriterFrames));
}

// The files' layout follows the pins' formats, so they open only now.
void Session::OpenFiles() {
  for (auto &f : files_) {
    f->temporary = outputs_.Open(f->plan->path);
    if (f->plan->png) continue;
    const VideoFormat *video = nullptr;
    MediaFile::Audio audio;
    const MediaFile::Audio *withAudio = nullptr;
    for (const Stream &st : streams_) {
      if (st.file != f.get()) continue;
      if (st.id.video) {
        video = &st.video;
      } else {
        audio.sampleRate = static_cast<int>(st.sampleRate);
        withAudio = &audio;
      }
    }
    if (video != nullptr) {
      const std::string refusal = CodecRefusal(o_.codec, *video);
      if (!refusal.empty())
        throw UsageError("'" + Shown(f->plan->path) + "': --codec " + CodecName(o_.codec) + ": " +
                         refusal);
    }
    std::string error;
    // A file's encoder gets threads of its own only when it is the only file.
    MediaFile::Storage storage{o_.codec, files_.size() == 1 ? 0 : 1};
    f->media = MediaFile::Create(f->plan->path, f->temporary, video, withAudio, storage, &error);
    if (!f->media) throw UsageError(error);
    if (!plan_.countMode && withAudio != nullptr)
      f->media->LimitAudio(HnsToSamples(window_, static_cast<unsigned>(withAudio->sampleRate)));
  }
}

void Session::QueueVideo(Stream &st) {
  FrameRef frame = pool_->Take();
  sim::ks::FrameRequest request;
  request.bufferSize = static_cast<ULONG>(st.video.FrameBytes());
  request.extendedHeader = sim::ks::FrameInfoHeader();
  request.storage = std::move(frame->bytes);
  NTSTATUS s = rig_.client().QueueFrame(st.pin, std::move(request));
  if (s != STATUS_PENDING) throw StepError(st.id.Name() + ": a frame was refused: " + Status(s));
  st.inFlight.push_back(std::move(frame));
}

void Session::QueueAudio(Stream &st, std::vector<uint8_t> storage) {
  sim::ks::FrameRequest request;
  request.bufferSize = kAudioBlock;
  // The audio pin asks for the same 128-byte headers as the video pin.
  request.extendedHeader.resize(sizeof(KS_FRAME_INFO));
  request.storage = std::move(storage);
  NTSTATUS s = rig_.client().QueueFrame(st.pin, std::move(request));
  if (s != STATUS_PENDING) throw StepError(st.id.Name() + ": a buffer was refused: " + Status(s));
}

void Session::Start() {
  for (Stream &st : streams_) {
    NTSTATUS s = rig_.client().SetMasterClock(st.pin, true);
    if (!NT_SUCCESS(s)) throw StepError(st.id.Name() + ": no master clock: " + Status(s));
  }
  sim::Machine &m = rig_.machine();
  runStart_ = m.now();
  loadAtStart_ = m.load();
  for (Stream &st : streams_) {
    NTSTATUS s = rig_.client().SetState(st.pin, KSSTATE_RUN);
    if (!NT_SUCCESS(s)) throw StepError(st.id.Name() + ": did not start: " + Status(s));
  }
  // Buffers go to running pins; the first fields complete a field time later.
  for (Stream &st : streams_)
    for (unsigned i = 0; i < (st.id.video ? kVideoBuffers : kAudioBuffers); ++i)
      st.id.video ? QueueVideo(st) : QueueAudio(st, {});
  for (const FaultSpec &fault : o_.faults) {
    sim::Card &card = rig_.card(fault.card);
    sim::CardTime when = runStart_ + SecondsToNanos(fault.at);
    switch (fault.kind) {
      case FaultSpec::Kind::ChannelError:
        card.ScheduleChannelError(when, fault.channel);
        break;
      case FaultSpec::Kind::SignalLoss:
        card.ScheduleSignalLoss(when, fault.channel);
        if (fault.length > 0)
          card.ScheduleSignalReturn(when + SecondsToNanos(fault.length), fault.channel);
        break;
      case FaultSpec::Kind::StandardChange:
        card.ScheduleStandardChange(when, fault.channel, fault.lines625);
        break;
    }
  }
  timeline_.Begin(runStart_);
}

void Session::WriteAudioInto(OutputFile &f, const int16_t *samples, size_t count, Hns start) {
  if (f.media == nullptr || !f.error.empty()) return;
  if (!f.originKnown) {
    f.pendingAudio.emplace_back(std::vector<int16_t>(samples, samples + count), start);
    return;
  }
  if (!f.media->WriteAudio(samples, count, start - f.origin, &f.error) && !f.error.empty())
    writeFailed_ = true;
}

void Session::SetOrigin(OutputFile &f, Hns origin) {
  f.originKnown = true;
  f.origin = origin;
  for (auto &[samples, start] : f.pendingAudio)
    if (f.media && f.error.empty())
      f.media->WriteAudio(samples.data(), samples.size(), start - origin, &f.error);
  if (!f.error.empty()) writeFailed_ = true;
  f.pendingAudio.clear();
}

void Session::ConsumeVideo(Stream &st, const sim::ks::Frame &frame, const FrameRef &bytes,
                           Hns received) {
  const KSSTREAM_HEADER &h = frame.header;
  const std::vector<uint8_t> &storage = bytes->bytes;
  OutputFile *f = st.file;
  bool timed = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  KS_FRAME_INFO info{};
  frame.Extended(&info);
  const Hns interval = st.video.interval;
  if (st.firstPicture < 0) {
    st.firstPicture = info.PictureNumber;
    // Without stamps (a preview pin) the picture number is the only clock; the first
    // frame began about a frame before it came back.
    st.firstPictureStart = received - interval;
  }
  const Hns start = timed
                        ? h.PresentationTime.Time - h.Duration
                        : st.firstPictureStart + (info.PictureNumber - st.firstPicture) * interval;
  if (st.lastPicture >= 0 && info.PictureNumber != st.lastPicture + 1) {
    ++st.pictureGaps;
    st.losses.push_back({st.lastEnd != kNoTime ? st.lastEnd : start, start});
  }
  if (info.DropCount > st.dropCount && st.lastEnd != kNoTime)
    st.losses.push_back({st.lastEnd, start});
  st.lastPicture = info.PictureNumber;
  st.dropCount = info.DropCount;
  if (f != nullptr && !f->originKnown && !f->plan->png) SetOrigin(*f, start);
  const Hns origin = f != nullptr && f->originKnown ? f->origin : st.firstPictureStart;
  const bool inWindow = plan_.countMode ? st.delivered < static_cast<uint64_t>(plan_.count)
                                        : start - origin < window_;
  if (inWindow) {
    if (st.rateFirst == kNoTime) st.rateFirst = start;
    st.rateLast = start;
    ++st.rateFrames;
  }
  if (inWindow && storage.size() >= st.video.FrameBytes()) {
    bool written = true;
    if (f != nullptr && f->media) {
      written = f->media->WriteVideo(bytes, start - f->origin, &f->error);
      if (!f->error.empty()) writeFailed_ = true;
    }
    if (written) {
      // A frame time now and then may stay empty (the card's keep pattern at rates below
      // the standard's); several in a row mean pictures were lost.
      if (st.lastStart != kNoTime && start - st.lastStart >= 3 * interval) {
        ++st.holes;
        st.losses.push_back({st.lastStart + interval, start});
      }
      ++st.delivered;
      if (st.firstStart == kNoTime) st.firstStart = start;
      st.lastStart = start;
      st.lastEnd = start + interval;
      st.lastFrame = bytes;
    }
  }
  if (plan_.countMode ? st.delivered >= static_cast<uint64_t>(plan_.count) : !inWindow)
    st.done = true;
}

void Session::ConsumeAudio(Stream &st, const sim::ks::Frame &frame) {
  const KSSTREAM_HEADER &h = frame.header;
  const std::vector<uint8_t> &storage = frame.data;
  OutputFile *f = st.file;
  const bool timed = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  const size_t samples = std::min<size_t>(h.DataUsed, storage.size()) / 2;
  const Hns blockTime = SamplesToHns(static_cast<int64_t>(samples), st.sampleRate);
  Hns start = timed ? h.PresentationTime.Time - h.Duration : st.lastEnd;
  if (start == kNoTime) start = NanosToHns(runStart_);
  if (st.lastEnd != kNoTime && start - st.lastEnd > blockTime / 2) {
    st.missingBlocks += static_cast<uint64_t>((start - st.lastEnd + blockTime / 2) / blockTime);
    st.losses.push_back({st.lastEnd, start});
  }
  std::vector<int16_t> &pcm = st.pcm;
  pcm.resize(samples);
  for (size_t i = 0; i < samples; ++i)
    pcm[i] = static_cast<int16_t>(storage[2 * i] | (storage[2 * i + 1] << 8));
  if (f != nullptr && !f->plan->hasVideo && !f->originKnown) SetOrigin(*f, start);
  // Trim to the window (or to the video's span in a count capture).
  const Hns end = start + blockTime;
  Hns stopAt = INT64_MAX;
  if (f != nullptr && f->originKnown && !plan_.countMode) stopAt = f->origin + window_;
  if (plan_.countMode && f != nullptr && !f->plan->hasVideo &&
      st.delivered >= static_cast<uint64_t>(plan_.count))
    stopAt = start;
  size_t keep = samples;
  if (end > stopAt)
    keep = start >= stopAt ? 0 : static_cast<size_t>(HnsToSamples(stopAt - start, st.sampleRate));
  if (keep > 0) {
    if (f != nullptr) WriteAudioInto(*f, pcm.data(), keep, start);
    ++st.delivered;
    st.samples += static_cast<int64_t>(keep);
    if (st.firstStart == kNoTime) st.firstStart = start;
    st.lastStart = start;
    st.lastEnd = start + SamplesToHns(static_cast<int64_t>(keep), st.sampleRate);
  } else {
    st.lastEnd = end;
  }
  if (!plan_.countMode && f != nullptr && f->originKnown && end >= f->origin + window_)
    st.done = true;
  if (plan_.countMode && f != nullptr && !f->plan->hasVideo &&
      st.delivered >= static_cast<uint64_t>(plan_.count))
    st.done = true;
}

// In a count capture the audio of a file ends with its last picture.
void Session::EndAudioWithPictures() {
  if (!plan_.countMode) return;
  for (Stream &a : streams_) {
    if (a.id.video || a.done || a.file == nullptr || !a.file->plan->hasVideo) continue;
    for (const Stream &v : streams_)
      if (v.id.video && v.file == a.file && v.done && a.lastEnd >= v.lastEnd) a.done = true;
  }
}

void Session::Loop() {
  sim::Machine &m = rig_.machine();
  Progress progress(!o_.json && isatty(STDERR_FILENO));
  wallStart_ = std::chrono::steady_clock::now();
  // Beyond this the capture gives up: frames that have not come by then will not.
  const sim::Nanos limit =
      runStart_ + (plan_.countMode
                       ? SecondsToNanos(static_cast<double>(plan_.count) * 0.1) + 2 * sim::kSecond
                       : SecondsToNanos(plan_.duration) + sim::kSecond);
  auto allDone = [&] {
    return std::all_of(streams_.begin(), streams_.end(), [](const Stream &s) { return s.done; });
  };
  Outputs::SetListening(true);
  while (!allDone() && m.now() < limit && !writeFailed_ &&
         (signal_ = Outputs::PendingSignal()) == 0) {
    sim::Nanos step = 50 * sim::kMillisecond;
    if (o_.realtime) {
      auto wall = std::chrono::steady_clock::now() - wallStart_;
      sim::Nanos allowed =
          runStart_ + std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count();
      if (m.now() >= allowed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      step = std::min(step, allowed - m.now());
    }
    // One processor: the timeline's actions run from here, each at its time.
    const int64_t due = timeline_.Poll();
    if (due >= 0) step = std::max<sim::Nanos>(std::min<sim::Nanos>(step, due - m.now()), 0);
    rig_.client().WaitForAnyFrame(std::min(step, limit - m.now()));

    const Hns now = NanosToHns(m.now());
    for (Stream &st : streams_) {
      sim::ks::Frame frame;
      while (NT_SUCCESS(rig_.client().TakeFrame(st.pin, &frame))) {
        LogFrame(log_, st, frame, now);
        FrameRef bytes;
        if (st.id.video) {
          bytes = std::move(st.inFlight.front());
          st.inFlight.pop_front();
          bytes->bytes = std::move(frame.data);
        }
        if (NT_SUCCESS(frame.status)) {
          ++st.received;
          if (!st.done) st.id.video ? ConsumeVideo(st, frame, bytes, now) : ConsumeAudio(st, frame);
        }
        if (!st.done) st.id.video ? QueueVideo(st) : QueueAudio(st, std::move(frame.data));
      }
    }
    // A file whose writing failed on its own thread ends the capture.
    for (auto &f : files_)
      if (f->media && f->error.empty() && f->media->Failed(&f->error)) writeFailed_ = true;
    EndAudioWithPictures();
    progress.Show(streams_, NanosToSeconds(m.now() - runStart_), false);
  }
  if (signal_ == 0) signal_ = Outputs::PendingSignal();
  // From here on a signal ends the program at once, removing what is not yet committed.
  Outputs::SetListening(false);
  elapsed_ = NanosToSeconds(m.now() - runStart_);
  progress.Show(streams_, elapsed_, true);
  loadAtEnd_ = m.load();
  for (Stream &st : streams_) rig_.client().ProcessorTime(st.pin, &st.processorTime);
}

// Queued frames come back cancelled.
void Session::Stop() {
  timeline_.Finish();
  for (Stream &st : streams_) rig_.client().SetState(st.pin, KSSTATE_STOP);
  const Hns now = NanosToHns(rig_.machine().now());
  for (Stream &st : streams_) {
    sim::ks::Frame frame;
    while (NT_SUCCESS(rig_.client().TakeFrame(st.pin, &frame))) {
      LogFrame(log_, st, frame, now);
      if (st.id.video) st.inFlight.pop_front();
    }
    rig_.client().Close(st.pin);
  }
}

void Session::FinishFiles(CaptureResult *result) {
  for (auto &f : files_) {
    if (!f->media) continue;
    if (!f->originKnown) SetOrigin(*f, 0);
    if (!f->error.empty()) {
      f->media->Discard();
      result->problems.push_back(f->error + " (the partial file was removed)");
    } else if (!f->media->Finish(&f->error)) {
      result->problems.push_back(f->error);
    } else {
      result->files.push_back(f->plan->path);
    }
  }
  for (const Stream &st : streams_) {
    if (st.file == nullptr || !st.file->plan->png) continue;
    std::string error;
    if (!st.lastFrame)
      result->problems.push_back(st.id.Name() + ": no frame for '" + st.file->plan->path + "'");
    else if (!WritePng(st.file->temporary, ToRgb(st.video, st.lastFrame->bytes.data()), &error))
      result->problems.push_back("'" + st.file->plan->path + "': " + error);
    else
      result->files.push_back(st.file->plan->path);
  }
  if (!plan_.contactSheet.empty()) {
    std::vector<SheetTile> tiles;
    for (const Stream &st : streams_) {
      if (!st.id.video) continue;
      SheetTile t;
      sim::InputSignal signal = rig_.card(plan_.selection.card).inputSignal(st.id.channel);
      t.label = "VIDEO" + std::to_string(st.id.channel) + (signal.lines625 ? " 625 " : " 525 ") +
                PixelName(st.video.pixel);
      if (st.lastFrame && signal.present) {
        t.hasPicture = true;
        t.picture = ToRgb(st.video, st.lastFrame->bytes.data());
      }
      tiles.push_back(std::move(t));
    }
    std::string error;
    std::string temporary = outputs_.Open(plan_.contactSheet);
    if (!WritePng(temporary, ContactSheet(tiles), &error))
      result->problems.push_back("'" + plan_.contactSheet + "': " + error);
    else
      result->files.push_back(plan_.contactSheet);
  }
}

bool Session::Explained(const Stream &st, const Loss &loss) const {
  const Hns slack =
      st.id.video ? 2 * st.video.interval : 2 * SamplesToHns(kAudioBlock / 2, st.sampleRate);
  return FaultExplains(o_.faults, st.id.card, st.id.channel, NanosToHns(runStart_), loss.from,
                       loss.to, slack) ||
         timeline_.Explains(st.id.card, loss.from, loss.to, slack);
}

// What the driver's work cost the processors, as the machine's cost model charged it:
// each stream above, the interrupt path and all of it here.
void Session::DriverLoad(CaptureResult *result) const {
  const char *model = o_.costModel == Options::CostModel::X64        ? "x64"
                      : o_.costModel == Options::CostModel::Uncached ? "uncached"
                                                                     : "none";
  const double interrupts = Load(loadAtEnd_.interrupts - loadAtStart_.interrupts);
  const double dpcs = Load(loadAtEnd_.dpcs - loadAtStart_.dpcs);
  const double total = Load(loadAtEnd_.total - loadAtStart_.total);
  result->text += "driver: " + PercentText(total) + " of a processor (interrupts " +
                  PercentText(interrupts) + ", DPCs " + PercentText(dpcs) + "; cost model " +
                  model + ")\n";
  Json &j = result->json["driver"] = Json::object();
  j["costModel"] = model;
  j["load"] = total;
  j["interruptLoad"] = interrupts;
  j["dpcLoad"] = dpcs;
}

std::string Session::FormatText(const Stream &st) const {
  char buf[96];
  if (st.id.video)
    std::snprintf(buf, sizeof buf, "%s %dx%d %.2f fps", PixelName(st.video.pixel), st.video.width,
                  st.video.height, IntervalToFps(st.video.interval));
  else
    std::snprintf(buf, sizeof buf, "PCM16 mono %u Hz", st.sampleRate);
  return buf;
}

// Frames per second (samples per second for audio) of what was delivered, on the
// clock's time: what the count in the summary amounts to.
double Session::MeasuredRate(const Stream &st) const {
  if (st.id.video) {
    if (st.rateFrames < 2 || st.rateLast <= st.rateFirst) return 0;
    return static_cast<double>(st.rateFrames - 1) / HnsToSeconds(st.rateLast - st.rateFirst);
  }
  if (st.firstStart == kNoTime) return 0;
  Hns span = st.lastEnd - st.firstStart;
  return span > 0 ? static_cast<double>(st.samples) / HnsToSeconds(span) : 0;
}

void Session::Summarise(CaptureResult *result) {
  if (signal_ != 0) result->interrupted = true;
  result->complete = result->problems.empty() && !writeFailed_ && signal_ == 0;
  char line[360];
  std::snprintf(line, sizeof line, "%-13s %-26s %10s %9s %7s %5s %10s %7s  %s\n", "stream",
                "format", "measured", "delivered", "dropped", "gaps", "duration", "driver", "file");
  result->text += line;
  Json &list = result->json["streams"] = Json::array();
  std::vector<std::string> explainedNotes;
  for (Stream &st : streams_) {
    // Complete: the stream covers what was asked, and nothing was lost on the way that
    // an injected fault does not explain.
    const Hns covered = st.firstStart != kNoTime ? st.lastEnd - st.firstStart : 0;
    const Hns unit = st.id.video ? st.video.interval : SamplesToHns(kAudioBlock / 2, st.sampleRate);
    // The window the stream must fill: from the file's origin, but never from before
    // the capture began. A first picture stamped at its end with the format's interval
    // starts, on paper, before the pins ran: sound cannot have come from then.
    const Hns runStart = NanosToHns(runStart_);
    const Hns origin = st.file != nullptr && st.file->originKnown ? st.file->origin
                       : st.firstStart != kNoTime                 ? st.firstStart
                                                                  : runStart;
    const Hns needed = origin + window_ - std::max(origin, st.id.video ? origin : runStart);
    bool enough;
    if (st.id.video)
      enough = plan_.countMode ? st.delivered >= static_cast<uint64_t>(plan_.count)
                               : covered >= needed - 2 * unit;
    else
      enough = plan_.countMode ? (st.file != nullptr && st.file->plan->hasVideo
                                      ? st.delivered > 0
                                      : st.delivered >= static_cast<uint64_t>(plan_.count))
                               : covered >= needed - unit;
    if (!enough) {
      // The tail (or all) of the window that never came.
      Hns from = st.lastEnd != kNoTime ? st.lastEnd : runStart;
      st.losses.push_back({from, std::max(from, origin + window_)});
    }
    size_t unexplained = 0, explained = 0;
    for (const Loss &loss : st.losses) (Explained(st, loss) ? explained : unexplained)++;
    const bool lossless = st.losses.empty();
    const bool ok = enough ? unexplained == 0 : !plan_.countMode && unexplained == 0;
    std::string shortfall;
    if (st.id.video)
      shortfall = std::to_string(st.delivered) + " frames covering " +
                  SecondsText(HnsToSeconds(covered)) + ", " + std::to_string(st.dropCount) +
                  " dropped, " + std::to_string(st.pictureGaps) + " picture number gaps, " +
                  std::to_string(st.holes) + " holes";
    else
      shortfall = std::to_string(st.delivered) + " blocks covering " +
                  SecondsText(HnsToSeconds(covered)) + ", " + std::to_string(st.missingBlocks) +
                  " missing";
    if (!ok) {
      result->complete = false;
      result->problems.push_back(st.id.Name() + ": incomplete: " + shortfall);
    } else if (!lossless) {
      explainedNotes.push_back(st.id.Name() + ": " + shortfall +
                               ", all within injected faults and timeline actions");
    }
    const double measured = MeasuredRate(st);
    char rate[32];
    std::snprintf(rate, sizeof rate, st.id.video ? "%.2f fps" : "%.0f Hz", measured);
    std::string dropped =
        st.id.video ? std::to_string(st.dropCount) : std::to_string(st.missingBlocks);
    std::string gaps = st.id.video ? std::to_string(st.pictureGaps) : "-";
    std::string path = st.file != nullptr ? st.file->plan->path : "(contact sheet)";
    const double load = Load(st.processorTime);
    std::snprintf(line, sizeof line, "%-13s %-26s %10s %9llu %7s %5s %10s %7s  %s\n",
                  st.id.Name().c_str(), FormatText(st).c_str(), rate,
                  static_cast<unsigned long long>(st.delivered), dropped.c_str(), gaps.c_str(),
                  SecondsText(HnsToSeconds(covered)).c_str(), PercentText(load).c_str(),
                  path.c_str());
    result->text += line;
    Json &j = list.emplace_back(Json::object());
    j["device"] = st.id.Name();
    j["kind"] = st.id.video ? "video" : "audio";
    j["format"] = FormatText(st);
    if (st.id.video) {
      j["pixelFormat"] = PixelName(st.video.pixel);
      j["filePixelFormat"] = FilePixelFormatName(st.video.pixel);
      j["codec"] = CodecName(o_.codec);
      j["width"] = st.video.width;
      j["height"] = st.video.height;
      j["frameInterval"] = st.video.interval;
      j["nominalRate"] = IntervalToFps(st.video.interval);
      j["measuredRate"] = measured;
      j["timestamps"] = st.timestamps;
      j["dropped"] = st.dropCount;
      j["pictureNumberGaps"] = st.pictureGaps;
      j["holes"] = st.holes;
    } else {
      j["sampleRate"] = st.sampleRate;
      j["nominalRate"] = st.sampleRate;
      j["measuredRate"] = measured;
      j["missingBlocks"] = st.missingBlocks;
    }
    j["delivered"] = st.delivered;
    j["complete"] = ok;
    j["lossesExplainedByFaults"] = explained;
    j["lossesUnexplained"] = unexplained;
    j["duration"] = HnsToSeconds(covered);
    j["driverLoad"] = load;
    j["file"] = st.file != nullptr ? Json(st.file->plan->path) : Json();
  }
  for (const std::string &note : explainedNotes) result->text += "fault: " + note + "\n";
  DriverLoad(result);
  result->text += timeline_.Text();
  if (!o_.timeline.empty()) result->json["timeline"] = timeline_.ToJson();
  if (!o_.faults.empty()) {
    Json &faults = result->json["faults"] = Json::array();
    for (const FaultSpec &f : o_.faults) {
      Json &j = faults.emplace_back(Json::object());
      j["kind"] = f.kind == FaultSpec::Kind::ChannelError ? "error"
                  : f.kind == FaultSpec::Kind::SignalLoss ? "loss"
                                                          : "standard";
      j["card"] = f.card;
      j["channel"] = f.channel;
      j["at"] = f.at;
      if (f.kind == FaultSpec::Kind::SignalLoss) j["length"] = f.length;
    }
  }
  if (!plan_.contactSheet.empty()) {
    result->text += "contact sheet: " + plan_.contactSheet + "\n";
    result->json["contactSheet"] = plan_.contactSheet;
  }
  for (const Stream &st : streams_)
    if (st.id.video && st.video.pixel == Pixel::Y41P && st.file != nullptr && st.file->media) {
      result->text += "note: Y41P has no raw FFmpeg pixel format; " + st.file->plan->path +
                      " holds the same samples as yuv411p\n";
      break;
    }
  std::snprintf(
      line, sizeof line, "simulated %.3f s in %.3f s\n", elapsed_,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count());
  result->text += line;
  result->json["complete"] = result->complete;
  result->json["simulatedSeconds"] = elapsed_;
}

CaptureResult Session::Finish() {
  CaptureResult result;
  if (signal_ != 0) {
    // Interrupted: nothing of this run is kept.
    for (auto &f : files_)
      if (f->media) f->media->Discard();
    result.interrupted = true;
    return result;
  }
  FinishFiles(&result);
  Summarise(&result);
  return result;
}

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

bool FaultExplains(const std::vector<FaultSpec> &faults, int card, unsigned channel, Hns runStart,
                   Hns from, Hns to, Hns slack) {
  for (const FaultSpec &f : faults) {
    if (f.card != card || f.channel != channel) continue;
    const Hns begins = runStart + SecondsToHns(f.at) - slack;
    Hns ends = INT64_MAX;  // lost for good, or a new standard from then on
    if (f.kind == FaultSpec::Kind::ChannelError)
      ends = runStart + SecondsToHns(f.at) + kFaultRecovery;
    else if (f.kind == FaultSpec::Kind::SignalLoss && f.length > 0)
      ends = runStart + SecondsToHns(f.at + f.length) + kFaultRecovery;
    if (from >= begins && to <= ends) return true;
  }
  return false;
}

CapturePlan PlanCapture(const Options &o) {
  if (o.device.empty())
    throw UsageError("capture needs a device: -d card0 (every channel) or -d card0/video3");
  CapturePlan plan;
  plan.selection = SelectDevice(o.device, o.cards);
  const DeviceSelection &sel = plan.selection;
  plan.contactSheet = o.contactSheet;
  bool stillOnly = false;
  if (sel.wholeCard) {
    std::string pattern;
    if (!o.streamTo.empty()) {
      pattern = ChannelFilePattern(o.streamTo);
      std::filesystem::path parent = std::filesystem::path(pattern).parent_path();
      if (plan.contactSheet.empty())
        plan.contactSheet =
            ((parent.empty() ? std::filesystem::path(".") : parent) / "contact-sheet.png").string();
      std::string ext = ExtensionOf(pattern);
      if (ext != ".avi" && ext != ".mkv")
        throw UsageError("'" + Shown(pattern) + "': a card's channels go to .avi or .mkv files");
    } else {
      stillOnly = true;
    }
    for (unsigned c = 0; c < kChannels; ++c) {
      int file = -1;
      if (!pattern.empty()) {
        plan.files.push_back({ChannelFile(pattern, c), false, true});
        file = static_cast<int>(plan.files.size()) - 1;
      }
      plan.streams.push_back({FilterId{sel.card, true, c}, file});
      if (!o.noAudio && file >= 0) plan.streams.push_back({FilterId{sel.card, false, c}, file});
    }
  } else {
    if (!plan.contactSheet.empty())
      throw UsageError("--contact-sheet shows every channel of a card: use -d card" +
                       std::to_string(sel.card));
    if (o.streamTo.empty()) throw UsageError("--stream-to names no file");
    CapturePlan::File file{o.streamTo, false, sel.filter.video};
    std::string ext = ExtensionOf(o.streamTo);
    const FilterId &id = sel.filter;
    const std::string shown = "'" + Shown(o.streamTo) + "'";
    if (ext == ".png") {
      if (!id.video) throw UsageError(shown + ": an audio stream has no picture");
      file.png = true;
      stillOnly = true;
    } else if (ext == ".wav") {
      if (id.video)
        throw UsageError(shown + ": a WAV file holds audio only (capture " +
                         FilterId{id.card, false, id.channel}.Name() + ", or use .avi or .mkv)");
    } else if (ext != ".avi" && ext != ".mkv") {
      throw UsageError(shown + ": unknown file type (use .avi, .mkv, .wav or .png)");
    }
    if (o.codec != Codec::Raw && (ext == ".png" || ext == ".wav"))
      throw UsageError(std::string("--codec ") + CodecName(o.codec) + " stores video in .avi or " +
                       ".mkv files; " + shown +
                       (ext == ".png" ? " is a PNG still" : " holds sound"));
    plan.files.push_back(file);
    plan.streams.push_back({id, 0});
    if (id.video && !file.png && !o.noAudio)
      plan.streams.push_back({FilterId{id.card, false, id.channel}, 0});
  }
  plan.countMode = o.streamCount.has_value() || (stillOnly && !o.duration);
  plan.count = o.streamCount.value_or(1);
  plan.duration = o.duration.value_or(10.0);
  return plan;
}

CaptureResult Capture(Rig &rig, const Options &o, const CapturePlan &plan, Outputs &outputs,
                      std::FILE *frameLog) {
  Session session(rig, o, plan, outputs, frameLog);
  session.CreatePins();
  session.OpenFiles();
  session.Start();
  session.Loop();
  session.Stop();
  return session.Finish();
}

}  // namespace ctl
