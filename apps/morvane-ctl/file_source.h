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

  // The upright 720-wide picture shown at `seconds` into the loop (planar, full chroma).
  struct Picture {
    unsigned lines = 0;
    std::vector<uint8_t> y, u, v;  // 720 * lines each
  };
  const Picture &PictureAt(double seconds, bool lines625);

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
  double timeBase_ = 0;
  double frameDuration_ = 0.04;
  double loopLength_ = 0;  // known after the first pass; 0 until then

  AVFrame *current_ = nullptr;  // shown from currentTime_
  AVFrame *next_ = nullptr;     // decoded ahead, shown from nextTime_
  double currentTime_ = -1, nextTime_ = -1;
  bool ended_ = false;
  uint64_t currentSerial_ = 0;  // bumps when current_ changes

  struct Cached {
    uint64_t serial = UINT64_MAX;
    Picture picture;
  };
  Cached cache_[2];  // 525 and 625 lines

  uint64_t lastFrame_ = UINT64_MAX;
  bool lastLines625_ = false;
  const Picture *lastPicture_ = nullptr;

  std::vector<int16_t> audio48k_;  // the whole sound track, mono
  std::map<int, std::vector<int16_t>> audioByRate_;
};

}  // namespace ctl
