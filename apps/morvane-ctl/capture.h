// Capture: pins created as a client creates them, frames queued and taken back while
// the machine runs, and written to files with the times the driver stamped.
#pragma once

#include <string>
#include <vector>

#include "json.h"
#include "options.h"
#include "rig.h"

namespace ctl {

struct CaptureResult {
  bool complete = false;  // every stream delivered what was asked
  std::string text;       // the summary table
  Json json = Json::object();
  std::vector<std::string> problems;  // one line each, for stderr
};

// Throws UsageError for requests that cannot be met before anything runs (bad device,
// refused format, unwritable output); a capture that starts always returns a result.
CaptureResult Capture(Rig &rig, const Options &options);

// Where the files of a whole-card capture go: "%d" in the name stands for the channel;
// a folder (existing, or named with a trailing '/') gets channel%d.avi.
std::string ChannelFilePattern(const std::string &streamTo);
std::string ChannelFile(const std::string &pattern, unsigned channel);

}  // namespace ctl
