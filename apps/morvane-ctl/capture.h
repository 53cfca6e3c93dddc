// Capture: pins created as a client creates them, frames queued and taken back while
// the machine runs, and written to files with the times the driver stamped.
//
// The steps, each its own function: PlanCapture decides from the command line alone
// what goes where (so every file can be checked before anything is opened); Capture
// creates the pins, opens the files, schedules the faults, runs the loop that consumes
// frames and blocks, finishes the files and summarises.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "json.h"
#include "options.h"
#include "outputs.h"
#include "rig.h"
#include "timeunits.h"

namespace ctl {

struct CapturePlan {
  struct File {
    std::string path;
    bool png = false;       // a still
    bool hasVideo = false;  // else a WAV of one audio stream
  };
  struct Stream {
    FilterId id;
    int file = -1;  // index into files; -1: only the contact sheet sees it
  };
  DeviceSelection selection;
  std::vector<File> files;
  std::vector<Stream> streams;
  std::string contactSheet;  // empty: none
  bool countMode = false;    // --stream-count (or a still): frames, not time
  long count = 1;
  double duration = 10;  // seconds
};

// Throws UsageError for what cannot be captured as asked.
CapturePlan PlanCapture(const Options &options);

struct CaptureResult {
  bool complete = false;  // every stream delivered what was asked, or lost only to faults
  bool interrupted = false;
  std::string text;  // the summary table
  Json json = Json::object();
  std::vector<std::string> problems;  // one line each, for stderr
  std::vector<std::string> files;     // written and complete, for Outputs::Commit
};

// Throws UsageError for requests the driver refuses before anything runs (a refused
// format, a rate it does not offer); a capture that starts always returns a result.
// `frameLog`, when given, receives one JSON line per frame and block taken back.
CaptureResult Capture(Rig &rig, const Options &options, const CapturePlan &plan, Outputs &outputs,
                      std::FILE *frameLog);

// Where the files of a whole-card capture go: "%d" in the name stands for the channel;
// a folder (existing, or named with a trailing '/') gets channel%d.avi.
std::string ChannelFilePattern(const std::string &streamTo);
std::string ChannelFile(const std::string &pattern, unsigned channel);

// Whether a loss of [from, to) on a stream of (card, channel) is one an injected fault
// explains. Times on the pins' clock; `runStart` is when the capture began.
bool FaultExplains(const std::vector<FaultSpec> &faults, int card, unsigned channel, Hns runStart,
                   Hns from, Hns to, Hns slack);

}  // namespace ctl
