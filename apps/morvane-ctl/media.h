// Captured frames to ordinary files through FFmpeg's libraries: raw video in AVI or
// Matroska in the captured pixel format with 16-bit PCM audio, WAV, PNG stills and the
// contact sheet.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_pool.h"

struct AVFormatContext;
struct AVPacket;

namespace ctl {

enum class Pixel { YUY2, UYVY, Y41P, RGB565 };

const char *PixelName(Pixel pixel);
// The FFmpeg pixel format a file stores (Y41P has none: it goes in as yuv411p, the same
// samples in planes).
const char *FilePixelFormatName(Pixel pixel);

struct VideoFormat {
  Pixel pixel = Pixel::YUY2;
  int width = 0;
  int height = 0;         // lines, positive
  bool bottomUp = false;  // rows arrive last line first (positive-height RGB)
  int64_t interval = 0;   // 100 ns per frame
  size_t stride = 0;      // bytes per row in the captured frame

  size_t FrameBytes() const { return stride * static_cast<size_t>(height); }
};

// One captured frame as a file stores it: packed rows top-down for YUY2 and UYVY,
// yuv411p planes for Y41P, bottom-up rows for RGB565 (a positive-height bitmap header).
std::vector<uint8_t> FilePacket(const VideoFormat &format, const uint8_t *frame);
// The same into `out`, whose memory is reused.
void FilePacketInto(const VideoFormat &format, const uint8_t *frame, std::vector<uint8_t> *out);
// Whether the captured frame's first FilePacket-size bytes already are its packet.
bool FrameIsFilePacket(const VideoFormat &format);

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // RGB24, top-down
};

// The captured frame as an upright RGB picture, scaled to width x height (0: unscaled).
RgbImage ToRgb(const VideoFormat &format, const uint8_t *frame, int width = 0, int height = 0);

// PNG through libavcodec into `path`; false with a message on failure.
bool WritePng(const std::string &path, const RgbImage &image, std::string *error);

struct SheetTile {
  std::string label;
  bool hasPicture = false;
  RgbImage picture;  // any size; scaled into the tile
};
// Eight tiles in two rows of four, each with its label underneath.
RgbImage ContactSheet(const std::vector<SheetTile> &tiles);
// Draws upper-case text with the built-in 5x7 font.
void DrawText(RgbImage *image, int x, int y, int scale, const std::string &text, uint8_t r,
              uint8_t g, uint8_t b);

// FFmpeg's own logging goes quiet; its last complaint is kept, so our one message can
// carry the reason.
void SilenceFfmpegLog();
std::string TakeFfmpegComplaint();  // "" when there was none; clears it

enum class Codec;
class VideoEncoder;

// An AVI, Matroska or WAV file being written into `temporary`; whoever made the
// temporary gives it its final name once Finish succeeds. What is written is decided
// at once (where a frame or block goes, whether it is kept); the encoding and the
// writing happen on a thread of the file's own, so the capture goes on while the disk
// takes its time. A write that failed there is reported by the next call.
class MediaFile {
 public:
  struct Audio {
    int sampleRate = 48000;
  };
  struct Storage {
    Codec codec;
    int threads = 0;  // the encoder's; 0: its own choice
  };
  // The container follows the extension of `path` (.avi, .mkv, .wav). Returns null with
  // a message when the temporary cannot be written or the combination cannot be stored.
  static std::unique_ptr<MediaFile> Create(const std::string &path, const std::string &temporary,
                                           const VideoFormat *video, const Audio *audio,
                                           std::string *error);
  static std::unique_ptr<MediaFile> Create(const std::string &path, const std::string &temporary,
                                           const VideoFormat *video, const Audio *audio,
                                           const Storage &storage, std::string *error);
  ~MediaFile();  // a file neither finished nor discarded is discarded
  MediaFile(const MediaFile &) = delete;
  MediaFile &operator=(const MediaFile &) = delete;

  const std::string &path() const { return path_; }
  bool hasVideo() const;
  bool hasAudio() const;

  // start: when the frame began, 100 ns after the file's origin. Frames that would not
  // advance the file's frame clock are refused (false, no error). The frame's memory is
  // read until it is written: the reference keeps it.
  bool WriteVideo(FrameRef frame, int64_t start, std::string *error);
  // Mono 16-bit samples starting at `start` (100 ns after the origin). A gap is filled
  // with silence; samples before the origin or already covered are dropped.
  bool WriteAudio(const int16_t *samples, size_t count, int64_t start, std::string *error);
  // A write that failed on the file's thread: true with its message.
  bool Failed(std::string *error);

  // No sound beyond this many samples from the origin (a capture of a set duration).
  void LimitAudio(int64_t samples) { audioLimit_ = samples; }

  int64_t videoFrames() const { return videoFrames_; }
  int64_t audioSamples() const { return audioWritten_; }

  bool Finish(std::string *error);
  void Discard();

 private:
  struct Job {
    bool video = false;
    FrameRef frame;
    std::vector<int16_t> samples;
    int64_t pts = 0;
  };
  MediaFile() = default;
  void Start();
  void Post(Job job);
  void Main();
  // On the file's thread: false with error_ set.
  bool WriteJob(Job &job);
  bool Write(AVPacket *packet);
  bool EndThread();  // waits until everything posted is written; false when one failed

  std::string path_;
  std::string temporary_;
  AVFormatContext *context_ = nullptr;
  int videoIndex_ = -1;
  int audioIndex_ = -1;
  VideoFormat video_;
  int videoTimeBase_[2] = {1, 1};  // frame interval in seconds, as num/den
  int sampleRate_ = 0;
  int64_t lastVideoPts_ = -1;
  int64_t videoFrames_ = 0;
  int64_t audioWritten_ = 0;
  int64_t audioLimit_ = INT64_MAX;
  bool done_ = false;
  std::unique_ptr<VideoEncoder> encoder_;
  FramePool scratch_{16};  // converted frames, reused

  std::mutex mutex_;
  std::condition_variable posted_, written_;
  std::deque<Job> jobs_;
  std::vector<std::vector<int16_t>> spareSamples_;  // blocks' memory, reused
  bool stop_ = false;
  bool idle_ = true;
  bool failed_ = false;
  std::string error_;
  std::thread thread_;
};

}  // namespace ctl
