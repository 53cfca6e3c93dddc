#include "file_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cerrno>

#include <sys/stat.h>

#include "media.h"
#include "outputs.h"
#include "sim/kernel/machine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace ctl {

namespace {

constexpr int kAudioRate = 48000;
// Enough sound for any loop a test bench needs, without holding hours of it.
constexpr size_t kMaxAudioSamples = static_cast<size_t>(kAudioRate) * 600;

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// The whole sound track of `path` as mono 16-bit at `rate`; empty when there is none.
std::vector<int16_t> DecodeAudio(const std::string &path, int rate) {
  std::vector<int16_t> out;
  AVFormatContext *fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  const AVCodec *codec = nullptr;
  int index = -1;
  if (avformat_find_stream_info(fmt, nullptr) >= 0)
    index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  AVCodecContext *dec = nullptr;
  SwrContext *swr = nullptr;
  if (index >= 0 && codec != nullptr) {
    dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, fmt->streams[index]->codecpar);
    if (avcodec_open2(dec, codec, nullptr) >= 0) {
      AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
      if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, rate, &dec->ch_layout,
                              dec->sample_fmt, dec->sample_rate, 0, nullptr) >= 0 &&
          swr_init(swr) >= 0) {
        AVPacket *packet = av_packet_alloc();
        AVFrame *frame = av_frame_alloc();
        auto drain = [&] {
          while (avcodec_receive_frame(dec, frame) >= 0) {
            int room = swr_get_out_samples(swr, frame->nb_samples);
            size_t at = out.size();
            out.resize(at + std::max(room, 0));
            uint8_t *dst = reinterpret_cast<uint8_t *>(out.data() + at);
            int n = swr_convert(swr, &dst, room, const_cast<const uint8_t **>(frame->extended_data),
                                frame->nb_samples);
            out.resize(at + std::max(n, 0));
            av_frame_unref(frame);
          }
        };
        while (out.size() < kMaxAudioSamples && av_read_frame(fmt, packet) >= 0) {
          if (packet->stream_index == index && avcodec_send_packet(dec, packet) >= 0) drain();
          av_packet_unref(packet);
        }
        avcodec_send_packet(dec, nullptr);
        drain();
        av_frame_free(&frame);
        av_packet_free(&packet);
      }
    }
  }
  swr_free(&swr);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  if (out.size() > kMaxAudioSamples) out.resize(kMaxAudioSamples);
  return out;
}

// Chroma of a subsampled line repeated over the pixels it covers.
void Widen(const uint8_t *src, unsigned shift, uint8_t *dst, unsigned width) {
  for (unsigned x = 0; x < width; ++x) dst[x] = src[x >> shift];
}

}  // namespace

std::shared_ptr<FileSource> FileSource::Open(const std::string &path, std::string *error) {
  const std::string shown = "'" + Shown(path) + "'";
  // Only a file: a FIFO or a device would block or never end.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = shown + ": " + std::strerror(errno);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = shown + " is a folder, not a media file";
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = shown + " is not a regular file (a media input is read like a file)";
    return nullptr;
  }
  std::shared_ptr<FileSource> s(new FileSource());
  s->path_ = path;
  TakeFfmpegComplaint();
  auto reason = [](int code) {
    std::string complaint = TakeFfmpegComplaint();
    return AvError(code) + (complaint.empty() ? "" : " (" + complaint + ")");
  };
  int r = avformat_open_input(&s->format_, path.c_str(), nullptr, nullptr);
  if (r < 0) {
    *error = shown + " is not a media file FFmpeg can read: " + reason(r);
    return nullptr;
  }
  r = avformat_find_stream_info(s->format_, nullptr);
  const AVCodec *codec = nullptr;
  if (r >= 0) r = av_find_best_stream(s->format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (r < 0 || codec == nullptr) {
    std::string complaint = TakeFfmpegComplaint();
    *error = shown + " holds no video FFmpeg can decode" +
             (complaint.empty() ? "" : " (" + complaint + ")");
    return nullptr;
  }
  s->stream_ = r;
  AVStream *video = s->format_->streams[r];
  s->decoder_ = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(s->decoder_, video->codecpar);
  r = avcodec_open2(s->decoder_, codec, nullptr);
  if (r < 0) {
    *error = shown + ": the video decoder did not open: " + reason(r);
    return nullptr;
  }
  AVRational rate = video->avg_frame_rate.num > 0 ? video->avg_frame_rate : video->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  AVRational base = video->time_base;
  if (base.num <= 0 || base.den <= 0) base = av_inv_q(rate);
  // ticks per second = base.den * rate.num: a stamp is base.num * rate.num ticks, a
  // frame rate.den * base.den ticks.
  s->ticksPerSecond_ = static_cast<int64_t>(base.den) * rate.num;
  s->tickPerStamp_ = static_cast<int64_t>(base.num) * rate.num;
  s->frameTicks_ = static_cast<int64_t>(rate.den) * base.den;
  s->current_ = av_frame_alloc();
  s->next_ = av_frame_alloc();
  if (!s->DecodeNext()) {
    std::string complaint = TakeFfmpegComplaint();
    *error = shown + " holds no picture" + (complaint.empty() ? "" : " (" + complaint + ")");
    return nullptr;
  }
  std::swap(s->current_, s->next_);
  s->currentTime_ = s->nextTime_;
  ++s->currentSerial_;
  s->DecodeNext();
  s->audio48k_ = DecodeAudio(path, kAudioRate);
  return s;
}

FileSource::~FileSource() {
  av_frame_free(&current_);
  av_frame_free(&next_);
  avcodec_free_context(&decoder_);
  avformat_close_input(&format_);
}

bool FileSource::DecodeNext() {
  if (ended_) return false;
  AVPacket *packet = av_packet_alloc();
  bool got = false;
  for (;;) {
    int r = avcodec_receive_frame(decoder_, next_);
    if (r >= 0) {
      got = true;
      break;
    }
    if (r == AVERROR_EOF) break;
    r = av_read_frame(format_, packet);
    if (r < 0) {
      avcodec_send_packet(decoder_, nullptr);  // drain what the decoder holds
      continue;
    }
    if (packet->stream_index == stream_) avcodec_send_packet(decoder_, packet);
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  if (!got) {
    ended_ = true;
    return false;
  }
  int64_t pts = next_->best_effort_timestamp;
  AVStream *st = format_->streams[stream_];
  int64_t t = nextTime_ + frameTicks_;
  if (pts != AV_NOPTS_VALUE) {
    t = (pts - (st->start_time != AV_NOPTS_VALUE ? st->start_time : 0)) * tickPerStamp_;
    // Containers round stamps to their time base (Matroska: milliseconds), so a
    // 30000/1001 frame may be stamped up to half a millisecond off its place. A stamp
    // within one time-base unit of the frame rate's grid is on the grid.
    const int64_t slot = (t + frameTicks_ / 2) / frameTicks_;
    if (std::llabs(t - slot * frameTicks_) <= tickPerStamp_) t = slot * frameTicks_;
  }
  // A file without usable stamps still advances one frame at a time.
  if (nextTime_ >= 0 && t <= nextTime_ && currentTime_ >= 0) t = nextTime_ + frameTicks_;
  nextTime_ = std::max<int64_t>(t, 0);
  return true;
}

void FileSource::Rewind() {
  av_seek_frame(format_, stream_,
                format_->streams[stream_]->start_time == AV_NOPTS_VALUE
                    ? 0
                    : format_->streams[stream_]->start_time,
                AVSEEK_FLAG_BACKWARD);
  avcodec_flush_buffers(decoder_);
  ended_ = false;
  currentTime_ = nextTime_ = -1;
  if (DecodeNext()) {
    std::swap(current_, next_);
    currentTime_ = nextTime_;
    ++currentSerial_;
    DecodeNext();
  }
}

const FileSource::Picture &FileSource::PictureAt(uint64_t frame, bool lines625) {
  // Input frame k begins k * pn / pd seconds in: times below are in ticks * pd, exact.
  const int64_t pn = lines625 ? 1 : 1001;
  const int64_t pd = lines625 ? 25 : 30000;
  using Wide = __int128;
  Wide at = static_cast<Wide>(frame) * pn * ticksPerSecond_;
  auto shownBy = [&](int64_t clip) { return static_cast<Wide>(clip) * pd <= at; };
  if (loopTicks_ > 0) at %= static_cast<Wide>(loopTicks_) * pd;
  if (!shownBy(currentTime_)) Rewind();
  for (;;) {
    if (!ended_ && shownBy(nextTime_)) {
      std::swap(current_, next_);
      currentTime_ = nextTime_;
      ++currentSerial_;
      DecodeNext();
      continue;
    }
    if (ended_ && loopTicks_ == 0) {
      // The end of the first pass fixes the loop's length; then start over.
      loopTicks_ = std::max(currentTime_ + frameTicks_, frameTicks_);
      const Wide loop = static_cast<Wide>(loopTicks_) * pd;
      if (at >= loop) {
        at %= loop;
        Rewind();
        continue;
      }
    }
    break;
  }
  Cached &c = cache_[lines625 ? 1 : 0];
  if (c.serial != currentSerial_) {
    Convert(current_, lines625, &c.picture);
    c.serial = currentSerial_;
  }
  return c.picture;
}

void FileSource::Convert(const AVFrame *frame, bool lines625, Picture *out) {
  const unsigned width = sim::kSourceWidth;
  const unsigned lines = lines625 ? 576 : 480;
  out->lines = lines;
  out->y.assign(static_cast<size_t>(width) * lines, 16);
  out->u.assign(out->y.size(), 128);
  out->v.assign(out->y.size(), 128);
  auto fmt = static_cast<AVPixelFormat>(frame->format);
  // At the standard's own size the samples go through untouched, so a capture can be
  // compared bit for bit with its input.
  if (frame->width == static_cast<int>(width) && frame->height == static_cast<int>(lines)) {
    int hShift = -1, vShift = 0;
    bool packed = false;
    switch (fmt) {
      case AV_PIX_FMT_YUV444P:
      case AV_PIX_FMT_YUVJ444P:
        hShift = 0;
        break;
      case AV_PIX_FMT_YUV422P:
      case AV_PIX_FMT_YUVJ422P:
        hShift = 1;
        break;
      case AV_PIX_FMT_YUV420P:
      case AV_PIX_FMT_YUVJ420P:
        hShift = 1;
        vShift = 1;
        break;
      case AV_PIX_FMT_YUV411P:
        hShift = 2;
        break;
      case AV_PIX_FMT_YUYV422:
      case AV_PIX_FMT_UYVY422:
        packed = true;
        break;
      default:
        break;
    }
    if (packed) {
      bool yuyv = fmt == AV_PIX_FMT_YUYV422;
      for (unsigned l = 0; l < lines; ++l) {
        const uint8_t *row = frame->data[0] + static_cast<size_t>(l) * frame->linesize[0];
        for (unsigned x = 0; x < width; x += 2, row += 4) {
          size_t at = static_cast<size_t>(l) * width + x;
          out->y[at] = row[yuyv ? 0 : 1];
          out->y[at + 1] = row[yuyv ? 2 : 3];
          out->u[at] = out->u[at + 1] = row[yuyv ? 1 : 0];
          out->v[at] = out->v[at + 1] = row[yuyv ? 3 : 2];
        }
      }
      return;
    }
    if (hShift >= 0) {
      for (unsigned l = 0; l < lines; ++l) {
        size_t at = static_cast<size_t>(l) * width;
        std::memcpy(&out->y[at], frame->data[0] + static_cast<size_t>(l) * frame->linesize[0],
                    width);
        unsigned cl = l >> vShift;
        Widen(frame->data[1] + static_cast<size_t>(cl) * frame->linesize[1], hShift, &out->u[at],
              width);
        Widen(frame->data[2] + static_cast<size_t>(cl) * frame->linesize[2], hShift, &out->v[at],
              width);
      }
      return;
    }
  }
  SwsContext *sws = sws_getContext(frame->width, frame->height, fmt, width, lines,
                                   AV_PIX_FMT_YUV444P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (sws == nullptr) return;  // a picture we cannot convert shows black
  uint8_t *dst[4] = {out->y.data(), out->u.data(), out->v.data(), nullptr};
  int stride[4] = {static_cast<int>(width), static_cast<int>(width), static_cast<int>(width), 0};
  sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
  sws_freeContext(sws);
}

void FileSource::RenderLine(const sim::FieldRequest &field, unsigned line, uint8_t *y, uint8_t *u,
                            uint8_t *v) {
  if (lastPicture_ == nullptr || field.frame != lastFrame_ || field.lines625 != lastLines625_) {
    // The input's frames run at the standard's rate from its first frame on.
    lastPicture_ = &PictureAt(field.frame, field.lines625);
    lastFrame_ = field.frame;
    lastLines625_ = field.lines625;
  }
  unsigned row = 2 * line + (field.fieldB ? 1 : 0);
  if (row >= lastPicture_->lines) row = lastPicture_->lines - 1;
  size_t at = static_cast<size_t>(row) * sim::kSourceWidth;
  std::memcpy(y, &lastPicture_->y[at], sim::kSourceWidth);
  std::memcpy(u, &lastPicture_->u[at], sim::kSourceWidth);
  std::memcpy(v, &lastPicture_->v[at], sim::kSourceWidth);
}

const std::vector<int16_t> &FileSource::AudioAtRate(int rate) {
  if (rate == kAudioRate || audio48k_.empty()) return audio48k_;
  auto it = audioByRate_.find(rate);
  if (it != audioByRate_.end()) return it->second;
  std::vector<int16_t> &out = audioByRate_[rate];
  SwrContext *swr = nullptr;
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, rate, &mono, AV_SAMPLE_FMT_S16,
                          kAudioRate, 0, nullptr) >= 0 &&
      swr_init(swr) >= 0) {
    int room = swr_get_out_samples(swr, static_cast<int>(audio48k_.size())) + 64;
    out.resize(static_cast<size_t>(room));
    uint8_t *dst = reinterpret_cast<uint8_t *>(out.data());
    const uint8_t *src = reinterpret_cast<const uint8_t *>(audio48k_.data());
    int n = swr_convert(swr, &dst, room, &src, static_cast<int>(audio48k_.size()));
    int tail = n >= 0 ? swr_convert(swr, &dst, 0, nullptr, 0) : 0;
    (void)tail;
    out.resize(static_cast<size_t>(std::max(n, 0)));
  }
  swr_free(&swr);
  return out;
}

void FileSource::RenderAudio(const sim::AudioRequest &request, int16_t *out) {
  if (request.clockDivisor == 0) {
    std::fill(out, out + request.count, 0);
    return;
  }
  int rate = static_cast<int>(std::llround(8192e9 / request.clockDivisor));
  const std::vector<int16_t> &track = AudioAtRate(rate);
  if (track.empty()) {
    std::fill(out, out + request.count, 0);
    return;
  }
  for (size_t i = 0; i < request.count; ++i) {
    sim::CardTime t = request.SampleTime(request.firstIndex + i);
    uint64_t index = static_cast<uint64_t>(static_cast<__int128>(std::max<sim::CardTime>(t, 0)) *
                                           rate / sim::kSecond);
    out[i] = track[index % track.size()];
  }
}

}  // namespace ctl
