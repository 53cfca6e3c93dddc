// A media file as an input's source (FFmpeg reads it; our code scales, splits into fields,
// loops and resamples): any bytes either open with a picture or are refused with a message;
// what opens gives whole pictures of the standard's size at any time, lines for any field,
// and sound at every sample rate the card uses.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "file_source.h"
#include "support/fuzz.h"

namespace {

std::string TempPath() {
  static const std::string path = "/tmp/morvane-fuzz-media-" + std::to_string(getpid());
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = TempPath();
  if (FILE *f = std::fopen(path.c_str(), "wb")) {
    if (size != 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::string error;
  std::shared_ptr<ctl::FileSource> source = ctl::FileSource::Open(path, &error);
  std::remove(path.c_str());
  if (source == nullptr) {
    FUZZ_CHECK(!error.empty(), "a refused file has a message");
    return 0;
  }
  for (bool lines625 : {false, true}) {
    for (uint64_t frame : {0ull, 1ull, 37ull, 90000ull}) {
      const ctl::FileSource::Picture &p = source->PictureAt(frame, lines625);
      unsigned lines = lines625 ? 576 : 480;
      FUZZ_CHECK(p.lines == lines, "a picture has the standard's lines");
      FUZZ_CHECK(p.y.size() == 720u * lines && p.u.size() == p.y.size() && p.v.size() == p.y.size(),
                 "a picture's planes are whole");
    }
  }
  std::vector<uint8_t> y(720), u(720), v(720);
  for (uint64_t frame : {0ull, 1ull, 77ull, 1000000ull}) {
    for (bool fieldB : {false, true}) {
      sim::FieldRequest field{0, frame, fieldB, frame % 2 == 1};
      for (unsigned line : {0u, 100u, 239u, 287u, 400u})
        source->RenderLine(field, line, y.data(), u.data(), v.data());
    }
  }
  for (uint32_t rate : {8000u, 16000u, 24000u, 32000u, 44100u, 48000u}) {
    sim::AudioRequest request;
    request.clockDivisor = static_cast<uint32_t>(8192000000000ull / rate);
    request.firstIndex = rate;
    request.count = 2048;
    std::vector<int16_t> samples(request.count);
    source->RenderAudio(request, samples.data());
  }
  return 0;
}
