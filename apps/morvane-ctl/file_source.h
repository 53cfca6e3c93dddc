// A media file as what an input carries: any video/audio file FFmpeg reads, scaled to
// the standard's 720 x 480 or 720 x 576 picture, split into fields, and looped.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/card/source.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;

namespace ctl {

class FileSource : public sim::InputSource {
 public:
  // Null with a message when the file cannot be read or holds no video.
  static std::shared_ptr<FileSource> Open(const std::string &path, std::string *error);
  ~FileSource() override;

  void RenderLine(const sim::FieldRequest &field, unsigned line, uint8_t *y, uint8_t *u,
                  uint8_t *v) override;
  void RenderAudio(const sim::AudioRequest &request, int16_t *out) override;

  // The upright 720-wide picture shown during the input's frame `frame` (planar, full
  // chroma). Input frames run at exactly 30000/1001 or 25 per second; the clip's frames
  // are placed by their exact rational stamps, so neither is rounded.
  struct Picture {
    unsigned lines = 0;
    std::vector<uint8_t> y, u, v;  // 720 * lines each
  };
  const Picture &PictureAt(uint64_t frame, bool lines625);

 private:
  FileSource() = default;
  bool DecodeNext();  // the next decoded frame into next_, false at the end
  void Rewind();

  void Convert(const AVFrame *frame, bool lines625, Picture *out);
  const std::vector<int16_t> &AudioAtRate(int rate);

  std::string path_;
  AVFormatContext *format_ = nullptr;
  AVCodecContext *decoder_ = nullptr;
  int stream_ = -1;
  // Clip times in ticks of 1 / (time base denominator * frame rate numerator) seconds:
  // both a stamp and a frame's duration are whole numbers of them.
  int64_t tickPerStamp_ = 1;  // ticks per unit of the stream's time base
  int64_t frameTicks_ = 1;    // one frame's duration
  int64_t ticksPerSecond_ = 1;
  int64_t loopTicks_ = 0;  // known after the first pass; 0 until then

  AVFrame *current_ = nullptr;                // shown from currentTime_
  AVFrame *next_ = nullptr;                   // decoded ahead, shown from nextTime_
  int64_t currentTime_ = -1, nextTime_ = -1;  // ticks
  bool ended_ = false;
  uint64_t currentSerial_ = 0;  // bumps when current_ changes

  struct Cached {
    uint64_t serial = UINT64_MAX;
    Picture picture;
  };
  Cached cache_[2];  // 525 and 625 lines

  uint64_t lastFrame_ = UINT64_MAX;  // the input frame last rendered
  bool lastLines625_ = false;
  const Picture *lastPicture_ = nullptr;

  std::vector<int16_t> audio48k_;  // the whole sound track, mono
  std::map<int, std::vector<int16_t>> audioByRate_;
};

}  // namespace ctl
