#include "media.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libswscale/swscale.h>
}

#include "encoder.h"
#include "timeunits.h"

namespace ctl {

namespace {

AVPixelFormat FilePixelFormat(Pixel p) {
  switch (p) {
    case Pixel::YUY2:
      return AV_PIX_FMT_YUYV422;
    case Pixel::UYVY:
      return AV_PIX_FMT_UYVY422;
    case Pixel::Y41P:
      return AV_PIX_FMT_YUV411P;
    case Pixel::RGB565:
      return AV_PIX_FMT_RGB565LE;
  }
  return AV_PIX_FMT_NONE;
}

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

std::string gComplaint;  // FFmpeg's last error line

void KeepComplaint(void *, int level, const char *format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) gComplaint = text;
}

// Y41P packs eight pixels in twelve bytes: U0 Y0 V0 Y1 U4 Y2 V4 Y3 Y4 Y5 Y6 Y7.
void UnpackY41p(const uint8_t *row, int width, uint8_t *y, uint8_t *u, uint8_t *v) {
  for (int x = 0; x + 8 <= width; x += 8, row += 12) {
    u[x / 4] = row[0];
    v[x / 4] = row[2];
    u[x / 4 + 1] = row[4];
    v[x / 4 + 1] = row[6];
    y[x] = row[1];
    y[x + 1] = row[3];
    y[x + 2] = row[5];
    y[x + 3] = row[7];
    std::memcpy(y + x + 4, row + 8, 4);
  }
}

// The source row holding picture line `line`.
const uint8_t *Row(const VideoFormat &f, const uint8_t *frame, int line) {
  int r = f.bottomUp ? f.height - 1 - line : line;
  return frame + static_cast<size_t>(r) * f.stride;
}

// 5x7 glyphs, one byte per row, bit 4 leftmost.
struct Glyph {
  char c;
  uint8_t rows[7];
};
const Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'/', {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'x', {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}},
};

void Fill(RgbImage *image, int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  for (int y = std::max(0, y0); y < std::min(image->height, y0 + h); ++y)
    for (int x = std::max(0, x0); x < std::min(image->width, x0 + w); ++x) {
      uint8_t *p = &image->rgb[(static_cast<size_t>(y) * image->width + x) * 3];
      p[0] = r;
      p[1] = g;
      p[2] = b;
    }
}

RgbImage Scale(const RgbImage &in, int width, int height) {
  RgbImage out;
  out.width = width;
  out.height = height;
  out.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  SwsContext *sws = sws_getContext(in.width, in.height, AV_PIX_FMT_RGB24, width, height,
                                   AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (sws == nullptr) return out;
  const uint8_t *src[4] = {in.rgb.data(), nullptr, nullptr, nullptr};
  int srcStride[4] = {in.width * 3, 0, 0, 0};
  uint8_t *dst[4] = {out.rgb.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {width * 3, 0, 0, 0};
  sws_scale(sws, src, srcStride, 0, in.height, dst, dstStride);
  sws_freeContext(sws);
  return out;
}

}  // namespace

void SilenceFfmpegLog() {
  av_log_set_level(AV_LOG_ERROR);
  av_log_set_callback(KeepComplaint);
}

std::string TakeFfmpegComplaint() {
  std::string text = std::move(gComplaint);
  gComplaint.clear();
  return text;
}

const char *PixelName(Pixel p) {
  switch (p) {
    case Pixel::YUY2:
      return "YUY2";
    case Pixel::UYVY:
      return "UYVY";
    case Pixel::Y41P:
      return "Y41P";
    case Pixel::RGB565:
      return "RGB565";
  }
  return "?";
}

const char *FilePixelFormatName(Pixel p) { return av_get_pix_fmt_name(FilePixelFormat(p)); }

std::vector<uint8_t> FilePacket(const VideoFormat &f, const uint8_t *frame) {
  std::vector<uint8_t> out;
  FilePacketInto(f, frame, &out);
  return out;
}

void FilePacketInto(const VideoFormat &f, const uint8_t *frame, std::vector<uint8_t> *packet) {
  const size_t w = static_cast<size_t>(f.width);
  const size_t h = static_cast<size_t>(f.height);
  std::vector<uint8_t> &out = *packet;
  switch (f.pixel) {
    case Pixel::YUY2:
    case Pixel::UYVY:
      out.resize(w * 2 * h);
      for (size_t line = 0; line < h; ++line)
        std::memcpy(&out[line * w * 2], Row(f, frame, static_cast<int>(line)), w * 2);
      break;
    case Pixel::Y41P: {
      out.resize(w * h + 2 * (w / 4) * h);
      uint8_t *y = out.data();
      uint8_t *u = y + w * h;
      uint8_t *v = u + (w / 4) * h;
      for (size_t line = 0; line < h; ++line)
        UnpackY41p(Row(f, frame, static_cast<int>(line)), f.width, y + line * w, u + line * (w / 4),
                   v + line * (w / 4));
      break;
    }
    case Pixel::RGB565:
      // The file's bitmap header has a positive height: last line first.
      out.resize(w * 2 * h);
      for (size_t line = 0; line < h; ++line)
        std::memcpy(&out[(h - 1 - line) * w * 2], Row(f, frame, static_cast<int>(line)), w * 2);
      break;
  }
}

bool FrameIsFilePacket(const VideoFormat &f) {
  const size_t rowBytes = static_cast<size_t>(f.width) * 2;
  switch (f.pixel) {
    case Pixel::YUY2:
    case Pixel::UYVY:
      return f.stride == rowBytes;
    case Pixel::RGB565:
      return f.stride == rowBytes && f.bottomUp;
    case Pixel::Y41P:
      return false;
  }
  return false;
}

RgbImage ToRgb(const VideoFormat &f, const uint8_t *frame, int width, int height) {
  if (width <= 0) width = f.width;
  if (height <= 0) height = f.height;
  RgbImage out;
  out.width = width;
  out.height = height;
  out.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  // Upright planes in FFmpeg's layout first, then one scale-and-convert.
  std::vector<uint8_t> packet = FilePacket(f, frame);
  const uint8_t *src[4] = {};
  int srcStride[4] = {};
  if (av_image_fill_arrays(const_cast<uint8_t **>(src), srcStride, packet.data(),
                           FilePixelFormat(f.pixel), f.width, f.height, 1) < 0)
    return out;
  if (f.pixel == Pixel::RGB565) {  // the packet is bottom-up
    src[0] += static_cast<size_t>(f.height - 1) * srcStride[0];
    srcStride[0] = -srcStride[0];
  }
  SwsContext *sws = sws_getContext(
      f.width, f.height, FilePixelFormat(f.pixel), width, height, AV_PIX_FMT_RGB24,
      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
  if (sws == nullptr) return out;
  uint8_t *dst[4] = {out.rgb.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {width * 3, 0, 0, 0};
  sws_scale(sws, src, srcStride, 0, f.height, dst, dstStride);
  sws_freeContext(sws);
  return out;
}

bool WritePng(const std::string &path, const RgbImage &image, std::string *error) {
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) {
    *error = "this FFmpeg has no PNG encoder";
    return false;
  }
  AVCodecContext *c = avcodec_alloc_context3(codec);
  AVFrame *frame = av_frame_alloc();
  AVPacket *packet = av_packet_alloc();
  bool ok = false;
  c->width = image.width;
  c->height = image.height;
  c->pix_fmt = AV_PIX_FMT_RGB24;
  c->time_base = AVRational{1, 25};
  int r = avcodec_open2(c, codec, nullptr);
  if (r >= 0) {
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = image.width;
    frame->height = image.height;
    frame->data[0] = const_cast<uint8_t *>(image.rgb.data());
    frame->linesize[0] = image.width * 3;
    r = avcodec_send_frame(c, frame);
    if (r >= 0) r = avcodec_send_frame(c, nullptr);
    if (r >= 0) r = avcodec_receive_packet(c, packet);
  }
  if (r < 0) {
    *error = "PNG encoding failed: " + AvError(r);
  } else {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(packet->data), packet->size);
    out.close();
    if (!out) {
      *error = "cannot write '" + path + "'";
    } else {
      ok = true;
    }
  }
  frame->data[0] = nullptr;
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  return ok;
}

void DrawText(RgbImage *image, int x, int y, int scale, const std::string &text, uint8_t r,
              uint8_t g, uint8_t b) {
  for (char ch : text) {
    char c = ch == 'x' ? 'x' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    for (const Glyph &glyph : kFont) {
      if (glyph.c != c) continue;
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col)
          if (glyph.rows[row] & (0x10 >> col))
            Fill(image, x + col * scale, y + row * scale, scale, scale, r, g, b);
    }
    x += 6 * scale;
  }
}

RgbImage ContactSheet(const std::vector<SheetTile> &tiles) {
  constexpr int kTileW = 360, kTileH = 270, kGap = 8, kLabel = 26, kColumns = 4;
  const int rows = static_cast<int>((tiles.size() + kColumns - 1) / kColumns);
  RgbImage sheet;
  sheet.width = kColumns * kTileW + (kColumns + 1) * kGap;
  sheet.height = rows * (kTileH + kLabel) + (rows + 1) * kGap;
  sheet.rgb.assign(static_cast<size_t>(sheet.width) * sheet.height * 3, 0);
  Fill(&sheet, 0, 0, sheet.width, sheet.height, 32, 32, 36);
  for (size_t i = 0; i < tiles.size(); ++i) {
    int x = kGap + static_cast<int>(i % kColumns) * (kTileW + kGap);
    int y = kGap + static_cast<int>(i / kColumns) * (kTileH + kLabel + kGap);
    const SheetTile &t = tiles[i];
    if (t.hasPicture && t.picture.width > 0) {
      RgbImage scaled = Scale(t.picture, kTileW, kTileH);
      for (int line = 0; line < kTileH; ++line)
        std::memcpy(&sheet.rgb[(static_cast<size_t>(y + line) * sheet.width + x) * 3],
                    &scaled.rgb[static_cast<size_t>(line) * kTileW * 3], kTileW * 3);
    } else {
      Fill(&sheet, x, y, kTileW, kTileH, 0, 0, 0);
      DrawText(&sheet, x + kTileW / 2 - 54, y + kTileH / 2 - 7, 2, "NO SIGNAL", 200, 200, 200);
    }
    DrawText(&sheet, x + 2, y + kTileH + 6, 2, t.label, 230, 230, 230);
  }
  return sheet;
}

// ------------------------------------------------------------------ MediaFile

namespace {

// The file under a container: written through a buffer of a few frames, so that the disk
// sees large sequential writes rather than the library's 32 KiB ones.
constexpr int kSinkBuffer = 4 << 20;

int SinkWrite(void *opaque, uint8_t *data, int size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(opaque));
  for (int done = 0; done < size;) {
    ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
    done += static_cast<int>(n);
  }
  return size;
}

int64_t SinkSeek(void *opaque, int64_t offset, int whence) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(opaque));
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
  }
  off_t at = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

int OpenSink(const std::string &path, AVIOContext **out) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return AVERROR(errno);
  auto *buffer = static_cast<unsigned char *>(av_malloc(kSinkBuffer));
  AVIOContext *pb = buffer == nullptr ? nullptr
                                      : avio_alloc_context(buffer, kSinkBuffer, 1,
                                                           reinterpret_cast<void *>(intptr_t{fd}),
                                                           nullptr, SinkWrite, SinkSeek);
  if (pb == nullptr) {
    av_free(buffer);
    ::close(fd);
    return AVERROR(ENOMEM);
  }
  *out = pb;
  return 0;
}

// Writes what is buffered and closes the file; the first error on the way, or 0.
int CloseSink(AVIOContext **pb) {
  if (*pb == nullptr) return 0;
  avio_flush(*pb);
  int error = (*pb)->error;
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>((*pb)->opaque));
  av_freep(&(*pb)->buffer);
  avio_context_free(pb);
  if (::close(fd) != 0 && error == 0) error = AVERROR(errno);
  return error;
}

}  // namespace

std::unique_ptr<MediaFile> MediaFile::Create(const std::string &path, const std::string &temporary,
                                             const VideoFormat *video, const Audio *audio,
                                             std::string *error) {
  return Create(path, temporary, video, audio, Storage{Codec::Raw}, error);
}

std::unique_ptr<MediaFile> MediaFile::Create(const std::string &path, const std::string &temporary,
                                             const VideoFormat *video, const Audio *audio,
                                             const Storage &storage, std::string *error) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const char *muxer = ext == ".avi"   ? "avi"
                      : ext == ".mkv" ? "matroska"
                      : ext == ".wav" ? "wav"
                                      : nullptr;
  if (muxer == nullptr) {
    *error = "'" + path + "': unknown file type (use .avi, .mkv, .wav or .png)";
    return nullptr;
  }
  if (video != nullptr && ext == ".wav") {
    *error = "'" + path + "': a WAV file holds audio only (use .avi or .mkv for video)";
    return nullptr;
  }
  std::unique_ptr<MediaFile> f(new MediaFile());
  f->path_ = path;
  f->temporary_ = temporary;
  f->done_ = true;  // nothing to discard until the temporary exists
  int r = avformat_alloc_output_context2(&f->context_, nullptr, muxer, f->temporary_.c_str());
  if (r < 0 || f->context_ == nullptr) {
    *error = "'" + path + "': " + AvError(r);
    return nullptr;
  }
  AVDictionary *muxerOptions = nullptr;
  if (video != nullptr) {
    f->video_ = *video;
    AVStream *st = avformat_new_stream(f->context_, nullptr);
    AVCodecParameters *p = st->codecpar;
    if (storage.codec != Codec::Raw) {
      const bool globalHeader = (f->context_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
      f->encoder_ = VideoEncoder::Open(storage.codec, *video, storage.threads, globalHeader, error);
      if (!f->encoder_) {
        *error = "'" + path + "': " + *error;
        avformat_free_context(f->context_);
        f->context_ = nullptr;
        return nullptr;
      }
      f->encoder_->Describe(p);
    } else {
      p->codec_type = AVMEDIA_TYPE_VIDEO;
      p->codec_id = AV_CODEC_ID_RAWVIDEO;
      p->width = video->width;
      p->height = video->height;
      p->format = FilePixelFormat(video->pixel);
      p->field_order = AV_FIELD_PROGRESSIVE;
      if (video->pixel == Pixel::RGB565) {
        // Raw RGB carries its layout in BI_BITFIELDS masks; a plain 16-bit bitmap would
        // be read as 5-5-5.
        static const uint8_t kMasks[12] = {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0};
        p->codec_tag = 3;
        p->bits_per_coded_sample = 16;
        p->extradata =
            static_cast<uint8_t *>(av_mallocz(sizeof kMasks + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(p->extradata, kMasks, sizeof kMasks);
        p->extradata_size = sizeof kMasks;
        if (ext == ".mkv") av_dict_set(&muxerOptions, "allow_raw_vfw", "1", 0);
      } else {
        p->codec_tag = avcodec_pix_fmt_to_codec_tag(FilePixelFormat(video->pixel));
        p->bits_per_coded_sample =
            av_get_bits_per_pixel(av_pix_fmt_desc_get(FilePixelFormat(video->pixel)));
      }
    }
    int num = 0, den = 0;
    av_reduce(&num, &den, video->interval, kHnsPerSecond, INT32_MAX);
    st->time_base = AVRational{num, den};
    f->videoTimeBase_[0] = num;
    f->videoTimeBase_[1] = den;
    st->avg_frame_rate = AVRational{den, num};
    st->r_frame_rate = st->avg_frame_rate;
    f->videoIndex_ = st->index;
  }
  if (audio != nullptr) {
    f->sampleRate_ = audio->sampleRate;
    AVStream *st = avformat_new_stream(f->context_, nullptr);
    AVCodecParameters *p = st->codecpar;
    p->codec_type = AVMEDIA_TYPE_AUDIO;
    p->codec_id = AV_CODEC_ID_PCM_S16LE;
    p->sample_rate = audio->sampleRate;
    av_channel_layout_default(&p->ch_layout, 1);
    p->bits_per_coded_sample = 16;
    p->block_align = 2;
    p->bit_rate = 16LL * audio->sampleRate;
    st->time_base = AVRational{1, audio->sampleRate};
    f->audioIndex_ = st->index;
  }
  r = OpenSink(f->temporary_, &f->context_->pb);
  if (r < 0) {
    av_dict_free(&muxerOptions);
    *error = "cannot write '" + path + "': " + AvError(r);
    avformat_free_context(f->context_);
    f->context_ = nullptr;
    return nullptr;
  }
  f->done_ = false;
  r = avformat_write_header(f->context_, &muxerOptions);
  av_dict_free(&muxerOptions);
  if (r < 0) {
    *error = "'" + path + "': the container refused the streams: " + AvError(r);
    f->Discard();
    return nullptr;
  }
  f->Start();
  return f;
}

MediaFile::~MediaFile() {
  if (!done_) Discard();
}

bool MediaFile::hasVideo() const { return videoIndex_ >= 0; }
bool MediaFile::hasAudio() const { return audioIndex_ >= 0; }

void MediaFile::Start() {
  // The writer (and the encoder threads it starts) never take SIGINT or SIGTERM: the main
  // thread does, where creating a temporary file and registering it for removal are one step.
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, &old);
  thread_ = std::thread([this] { Main(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void MediaFile::Post(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    idle_ = false;
  }
  posted_.notify_one();
}

void MediaFile::Main() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    posted_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopped, everything written
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    const bool failed = failed_;
    lock.unlock();
    // After a failure the rest is only let go of: the file is lost anyway.
    const bool ok = failed || WriteJob(job);
    job.frame.Reset();
    lock.lock();
    if (!ok && !failed_) failed_ = true;
    if (!job.video) spareSamples_.push_back(std::move(job.samples));
    if (jobs_.empty()) {
      idle_ = true;
      written_.notify_all();
    }
  }
}

bool MediaFile::Failed(std::string *error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failed_) return false;
  *error = error_;
  return true;
}

bool MediaFile::EndThread() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    posted_.notify_one();
    thread_.join();
  }
  return !failed_;
}

bool MediaFile::Write(AVPacket *packet) {
  int r = av_interleaved_write_frame(context_, packet);
  if (r < 0) {
    error_ = "writing '" + path_ + "' failed: " + AvError(r);
    return false;
  }
  return true;
}

namespace {

void ReleaseFrame(void *opaque, uint8_t *) {
  FrameRef::Adopt(static_cast<FrameBuffer *>(opaque)).Reset();
}

// A packet that reads the frame's memory where it is and lets go of it when written.
bool WrapFrame(FrameRef frame, size_t size, AVPacket *packet) {
  FrameBuffer *b = frame.Detach();
  AVBufferRef *buf = av_buffer_create(b->bytes.data(), static_cast<int>(size), ReleaseFrame, b,
                                      AV_BUFFER_FLAG_READONLY);
  if (buf == nullptr) {
    FrameRef::Adopt(b).Reset();
    return false;
  }
  packet->buf = buf;
  packet->data = buf->data;
  packet->size = static_cast<int>(size);
  return true;
}

}  // namespace

bool MediaFile::WriteJob(Job &job) {
  AVPacket *packet = av_packet_alloc();
  if (packet == nullptr) {
    error_ = "out of memory";
    return false;
  }
  bool ok = true;
  if (job.video && encoder_) {
    ok = encoder_->Encode(
        job.frame->bytes.data(), job.pts,
        [&](AVPacket *p) {
          p->stream_index = videoIndex_;
          av_packet_rescale_ts(p, AVRational{videoTimeBase_[0], videoTimeBase_[1]},
                               context_->streams[videoIndex_]->time_base);
          return Write(p);
        },
        &error_);
    if (!ok && error_.rfind("writing", 0) != 0) error_ = "'" + path_ + "': " + error_;
  } else if (job.video) {
    // The frame is its own packet when its rows are the file's; else it is converted
    // into memory of the file's, reused.
    FrameRef bytes = std::move(job.frame);
    if (!FrameIsFilePacket(video_)) {
      FrameRef converted = scratch_.Take();
      FilePacketInto(video_, bytes->bytes.data(), &converted->bytes);
      bytes = std::move(converted);
    }
    const size_t size = FrameIsFilePacket(video_) ? video_.FrameBytes() : bytes->bytes.size();
    if (!WrapFrame(std::move(bytes), size, packet)) {
      error_ = "out of memory";
      ok = false;
    } else {
      packet->stream_index = videoIndex_;
      packet->pts = packet->dts = job.pts;
      packet->duration = 1;
      packet->flags |= AV_PKT_FLAG_KEY;
      // The muxer may have replaced the frame-interval time base with its own.
      av_packet_rescale_ts(packet, AVRational{videoTimeBase_[0], videoTimeBase_[1]},
                           context_->streams[videoIndex_]->time_base);
      ok = Write(packet);
    }
  } else {
    const std::vector<int16_t> &block = job.samples;
    if (av_new_packet(packet, static_cast<int>(block.size() * 2)) < 0) {
      error_ = "out of memory";
      ok = false;
    } else {
      for (size_t i = 0; i < block.size(); ++i) {  // little-endian on disk whatever the host
        packet->data[2 * i] = static_cast<uint8_t>(block[i] & 0xFF);
        packet->data[2 * i + 1] = static_cast<uint8_t>((block[i] >> 8) & 0xFF);
      }
      packet->stream_index = audioIndex_;
      packet->pts = packet->dts = job.pts;
      packet->duration = static_cast<int64_t>(block.size());
      packet->flags |= AV_PKT_FLAG_KEY;
      av_packet_rescale_ts(packet, AVRational{1, sampleRate_},
                           context_->streams[audioIndex_]->time_base);
      ok = Write(packet);
    }
  }
  av_packet_free(&packet);
  return ok;
}

bool MediaFile::WriteVideo(FrameRef frame, int64_t start, std::string *error) {
  if (videoIndex_ < 0 || done_) return false;
  if (Failed(error)) return false;
  int64_t pts = start <= 0 ? 0 : (start + video_.interval / 2) / video_.interval;
  if (pts <= lastVideoPts_) return false;
  lastVideoPts_ = pts;
  ++videoFrames_;
  Job job;
  job.video = true;
  job.frame = std::move(frame);
  job.pts = pts;
  Post(std::move(job));
  return true;
}

bool MediaFile::WriteAudio(const int16_t *samples, size_t count, int64_t start,
                           std::string *error) {
  if (audioIndex_ < 0 || done_) return false;
  if (Failed(error)) return false;
  // Where the block belongs, in samples; stamps are exact to the clock, so half a block
  // of difference from the running position is stamping jitter, not a gap.
  int64_t at = av_rescale_rnd(start, sampleRate_, kHnsPerSecond, AV_ROUND_NEAR_INF);
  int64_t slack = static_cast<int64_t>(count) / 2;
  if (at < audioWritten_ && at > audioWritten_ - slack) at = audioWritten_;
  if (at > audioWritten_ && at < audioWritten_ + slack) at = audioWritten_;
  size_t skip = 0;
  if (at < audioWritten_) {
    int64_t overlap = audioWritten_ - at;
    if (overlap >= static_cast<int64_t>(count)) return true;
    skip = static_cast<size_t>(overlap);
    at = audioWritten_;
  }
  Job job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spareSamples_.empty()) {
      job.samples = std::move(spareSamples_.back());
      spareSamples_.pop_back();
    }
  }
  std::vector<int16_t> &block = job.samples;
  block.clear();
  if (at > audioWritten_) block.assign(static_cast<size_t>(at - audioWritten_), 0);
  block.insert(block.end(), samples + skip, samples + count);
  if (audioWritten_ + static_cast<int64_t>(block.size()) > audioLimit_)
    block.resize(static_cast<size_t>(std::max<int64_t>(audioLimit_ - audioWritten_, 0)));
  if (block.empty()) return true;
  job.pts = audioWritten_;
  audioWritten_ += static_cast<int64_t>(block.size());
  Post(std::move(job));
  return true;
}

bool MediaFile::Finish(std::string *error) {
  if (done_) return true;
  bool ok = EndThread();
  if (ok && encoder_) {
    ok = encoder_->Flush(
        [&](AVPacket *p) {
          p->stream_index = videoIndex_;
          av_packet_rescale_ts(p, AVRational{videoTimeBase_[0], videoTimeBase_[1]},
                               context_->streams[videoIndex_]->time_base);
          return Write(p);
        },
        &error_);
  }
  done_ = true;
  int r = ok ? av_write_trailer(context_) : 0;
  int c = CloseSink(&context_->pb);
  avformat_free_context(context_);
  context_ = nullptr;
  if (!ok || r < 0 || c < 0) {
    *error = !ok ? error_ : "finishing '" + path_ + "' failed: " + AvError(r < 0 ? r : c);
    std::error_code ec;
    std::filesystem::remove(temporary_, ec);
    return false;
  }
  return true;
}

void MediaFile::Discard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;  // what is still queued is only let go of
  }
  EndThread();
  if (context_ != nullptr) {
    if (context_->pb != nullptr) CloseSink(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
  }
  done_ = true;
  std::error_code ec;
  std::filesystem::remove(temporary_, ec);
}

}  // namespace ctl
