// Compressing captured video for files people keep: FFV1 (lossless), H.264 and Motion
// JPEG through FFmpeg's encoders, next to raw video, which stays as captured.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media.h"

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace ctl {

enum class Codec { Raw, Ffv1, H264, Mjpeg };

// "raw", "ffv1", "h264", "mjpeg"; false for anything else.
bool ParseCodec(const std::string &name, Codec *codec);
const char *CodecName(Codec codec);
// Why the codec cannot store this video, or "" when it can.
std::string CodecRefusal(Codec codec, const VideoFormat &video);

// One file's encoder: captured frames in, compressed packets out.
class VideoEncoder {
 public:
  // `threads`: 0 lets the encoder choose; `globalHeader` for containers that keep the
  // codec's set-up apart from the packets (Matroska).
  static std::unique_ptr<VideoEncoder> Open(Codec codec, const VideoFormat &video, int threads,
                                            bool globalHeader, std::string *error);
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder &) = delete;
  VideoEncoder &operator=(const VideoEncoder &) = delete;

  // What the file's stream says about the packets.
  void Describe(AVCodecParameters *parameters) const;
  // Frame intervals: packets' times are counted in them.
  using PacketSink = std::function<bool(AVPacket *packet)>;
  // A frame as the driver delivered it, shown at `pts` frame intervals.
  bool Encode(const uint8_t *frame, int64_t pts, const PacketSink &sink, std::string *error);
  // What the encoder still holds, at the end.
  bool Flush(const PacketSink &sink, std::string *error);

 private:
  VideoEncoder() = default;
  bool Drain(const PacketSink &sink, std::string *error);

  VideoFormat video_;
  AVCodecContext *context_ = nullptr;
  AVFrame *picture_ = nullptr;  // the converted frame, reused
  AVPacket *packet_ = nullptr;
  SwsContext *convert_ = nullptr;
  std::vector<uint8_t> planes_;  // Y41P unpacked, reused
};

}  // namespace ctl
