#include "encoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "timeunits.h"

namespace ctl {

namespace {

std::string AvText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

AVPixelFormat CapturedFormat(Pixel p) {
  switch (p) {
    case Pixel::YUY2:
      return AV_PIX_FMT_YUYV422;
    case Pixel::UYVY:
      return AV_PIX_FMT_UYVY422;
    case Pixel::Y41P:
      return AV_PIX_FMT_YUV411P;  // after unpacking
    case Pixel::RGB565:
      return AV_PIX_FMT_RGB565LE;
  }
  return AV_PIX_FMT_NONE;
}

// What each encoder stores: FFV1 the captured samples unchanged (planar), H.264 the
// 4:2:0 every player decodes, Motion JPEG 4:2:2 like the card.
AVPixelFormat StoredFormat(Codec codec, Pixel p) {
  switch (codec) {
    case Codec::Ffv1:
      return p == Pixel::Y41P     ? AV_PIX_FMT_YUV411P
             : p == Pixel::RGB565 ? AV_PIX_FMT_BGR0
                                  : AV_PIX_FMT_YUV422P;
    case Codec::H264:
      return AV_PIX_FMT_YUV420P;
    case Codec::Mjpeg:
      return AV_PIX_FMT_YUV422P;
    case Codec::Raw:
      break;
  }
  return AV_PIX_FMT_NONE;
}

const char *EncoderName(Codec codec) {
  switch (codec) {
    case Codec::Ffv1:
      return "ffv1";
    case Codec::H264:
      return "libx264";
    case Codec::Mjpeg:
      return "mjpeg";
    case Codec::Raw:
      break;
  }
  return "";
}

}  // namespace

bool ParseCodec(const std::string &name, Codec *codec) {
  for (Codec c : {Codec::Raw, Codec::Ffv1, Codec::H264, Codec::Mjpeg})
    if (name == CodecName(c)) {
      *codec = c;
      return true;
    }
  return false;
}

const char *CodecName(Codec codec) {
  switch (codec) {
    case Codec::Raw:
      return "raw";
    case Codec::Ffv1:
      return "ffv1";
    case Codec::H264:
      return "h264";
    case Codec::Mjpeg:
      return "mjpeg";
  }
  return "?";
}

std::string CodecRefusal(Codec codec, const VideoFormat &video) {
  if (codec == Codec::Raw) return "";
  if (avcodec_find_encoder_by_name(EncoderName(codec)) == nullptr)
    return std::string("this FFmpeg has no ") + EncoderName(codec) + " encoder";
  if (codec == Codec::H264 && video.height % 2 != 0)
    return "h264 stores 4:2:0 pictures, whose height must be even (this one is " +
           std::to_string(video.height) + " lines)";
  return "";
}

std::unique_ptr<VideoEncoder> VideoEncoder::Open(Codec codec, const VideoFormat &video, int threads,
                                                 bool globalHeader, std::string *error) {
  std::string refusal = CodecRefusal(codec, video);
  if (codec == Codec::Raw) refusal = "raw video needs no encoder";
  if (!refusal.empty()) {
    *error = refusal;
    return nullptr;
  }
  const AVCodec *encoder = avcodec_find_encoder_by_name(EncoderName(codec));
  std::unique_ptr<VideoEncoder> e(new VideoEncoder());
  e->video_ = video;
  AVCodecContext *c = e->context_ = avcodec_alloc_context3(encoder);
  const AVPixelFormat stored = StoredFormat(codec, video.pixel);
  c->width = video.width;
  c->height = video.height;
  c->pix_fmt = stored;
  int num = 0, den = 0;
  av_reduce(&num, &den, video.interval, kHnsPerSecond, INT32_MAX);
  c->time_base = AVRational{num, den};
  c->framerate = AVRational{den, num};
  c->thread_count = threads;
  if (stored != AV_PIX_FMT_BGR0) {
    // The card's samples: BT.601, limited range.
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
  }
  if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary *options = nullptr;
  switch (codec) {
    case Codec::Ffv1:
      // Every frame a key frame, slices for the threads, checksums to catch damage.
      c->gop_size = 1;
      c->level = 3;
      av_dict_set(&options, "slices", "4", 0);
      av_dict_set(&options, "slicecrc", "1", 0);
      break;
    case Codec::H264:
      // Fast enough for eight channels at once on a small machine; a key frame every
      // two seconds so that a cut file still plays.
      c->gop_size = std::max(1, 2 * den / std::max(num, 1));
      av_dict_set(&options, "preset", "ultrafast", 0);
      av_dict_set(&options, "tune", "zerolatency", 0);
      av_dict_set(&options, "crf", "23", 0);
      break;
    case Codec::Mjpeg:
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = 3 * FF_QP2LAMBDA;
      // Limited-range 4:2:2 is what the card gives; JPEG's own is full range.
      c->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
      break;
    case Codec::Raw:
      break;
  }
  int r = avcodec_open2(c, encoder, &options);
  av_dict_free(&options);
  if (r < 0) {
    *error = std::string("the ") + CodecName(codec) + " encoder refused " +
             std::to_string(video.width) + "x" + std::to_string(video.height) + ": " + AvText(r);
    return nullptr;
  }
  e->picture_ = av_frame_alloc();
  e->picture_->format = stored;
  e->picture_->width = video.width;
  e->picture_->height = video.height;
  e->picture_->color_range = c->color_range;
  e->picture_->colorspace = c->colorspace;
  if (av_frame_get_buffer(e->picture_, 0) < 0) {
    *error = "out of memory";
    return nullptr;
  }
  e->packet_ = av_packet_alloc();
  // Exact for the lossless cases: packed to planar, RGB565 widened bit for bit.
  e->convert_ = sws_getContext(video.width, video.height, CapturedFormat(video.pixel), video.width,
                               video.height, stored, SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT,
                               nullptr, nullptr, nullptr);
  if (e->convert_ == nullptr) {
    *error =
        std::string("no conversion from ") + PixelName(video.pixel) + " for " + CodecName(codec);
    return nullptr;
  }
  return e;
}

VideoEncoder::~VideoEncoder() {
  sws_freeContext(convert_);
  av_packet_free(&packet_);
  av_frame_free(&picture_);
  avcodec_free_context(&context_);
}

void VideoEncoder::Describe(AVCodecParameters *parameters) const {
  avcodec_parameters_from_context(parameters, context_);
}

bool VideoEncoder::Drain(const PacketSink &sink, std::string *error) {
  for (;;) {
    int r = avcodec_receive_packet(context_, packet_);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) {
      *error = "encoding failed: " + AvText(r);
      return false;
    }
    bool ok = sink(packet_);
    av_packet_unref(packet_);
    if (!ok) return false;
  }
}

bool VideoEncoder::Encode(const uint8_t *frame, int64_t pts, const PacketSink &sink,
                          std::string *error) {
  const uint8_t *source[4] = {};
  int strides[4] = {};
  if (video_.pixel == Pixel::Y41P) {
    FilePacketInto(video_, frame, &planes_);
    av_image_fill_arrays(const_cast<uint8_t **>(source), strides, planes_.data(),
                         AV_PIX_FMT_YUV411P, video_.width, video_.height, 1);
  } else if (video_.bottomUp) {
    source[0] = frame + (static_cast<size_t>(video_.height) - 1) * video_.stride;
    strides[0] = -static_cast<int>(video_.stride);
  } else {
    source[0] = frame;
    strides[0] = static_cast<int>(video_.stride);
  }
  // The encoder may still hold the last picture (frame threads): then it gets another.
  if (av_frame_make_writable(picture_) < 0) {
    *error = "out of memory";
    return false;
  }
  if (picture_->format == AV_PIX_FMT_BGR0) {
    // Widened by repeating each component's top bits, as a decoder of RGB565 widens it:
    // exact both ways, where the library's converter goes through YUV.
    for (int y = 0; y < video_.height; ++y) {
      const uint8_t *in = source[0] + static_cast<ptrdiff_t>(y) * strides[0];
      uint8_t *out = picture_->data[0] + static_cast<ptrdiff_t>(y) * picture_->linesize[0];
      for (int x = 0; x < video_.width; ++x, in += 2, out += 4) {
        const unsigned v = in[0] | in[1] << 8;
        const unsigned r = v >> 11, g = v >> 5 & 63, b = v & 31;
        out[0] = static_cast<uint8_t>(b << 3 | b >> 2);
        out[1] = static_cast<uint8_t>(g << 2 | g >> 4);
        out[2] = static_cast<uint8_t>(r << 3 | r >> 2);
        out[3] = 0;
      }
    }
  } else {
    sws_scale(convert_, source, strides, 0, video_.height, picture_->data, picture_->linesize);
  }
  picture_->pts = pts;
  int r = avcodec_send_frame(context_, picture_);
  if (r < 0) {
    *error = "encoding failed: " + AvText(r);
    return false;
  }
  return Drain(sink, error);
}

bool VideoEncoder::Flush(const PacketSink &sink, std::string *error) {
  int r = avcodec_send_frame(context_, nullptr);
  if (r < 0 && r != AVERROR_EOF) {
    *error = "encoding failed: " + AvText(r);
    return false;
  }
  return Drain(sink, error);
}

}  // namespace ctl
