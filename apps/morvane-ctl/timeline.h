// Timeline actions: what the platform does to the cards while morvane-ctl runs them. A
// rebalance (query-stop, stop, a new register window, start), an orderly removal, a surprise
// removal, a system sleep and wake, the system clock set, low resources from a seed.
//
// On a machine with several processors the actions run on a system thread of their own, at
// their times, while the capture goes on; on one processor the capture loop runs each when
// its time comes. Each action's outcome goes into the summary, the JSON and the trace.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json.h"
#include "options.h"
#include "sim/ks/device.h"
#include "timeunits.h"

namespace ctl {

class Rig;

// --pnp ACTION, --surprise-remove, --sleep, --set-time, --low-resources: one action from the
// command line. On a malformed argument returns false with a message naming the option and
// the argument as typed.
bool ParseTimelineAction(const std::string &option, const std::string &text,
                         std::vector<TimelineSpec> *actions, std::string *error);

// Arguments written onto their option ("--sleep@2+1") are "--sleep=2+1" to the parser.
std::vector<std::string> SplitAttachedTimelineArguments(int argc, char **argv);

class Timeline {
 public:
  Timeline(Rig &rig, const Options &options);
  ~Timeline();
  Timeline(const Timeline &) = delete;
  Timeline &operator=(const Timeline &) = delete;

  bool empty() const { return steps_.empty(); }
  // The actions' times count from `start` (machine time, ns). On a threaded machine a system
  // thread runs them; otherwise Poll does.
  void Begin(int64_t start);
  // Runs the steps that are due (one processor); the time of the next one, or -1.
  int64_t Poll();
  // Waits for the actions to be over.
  void Finish();

  // Whether losses of a stream of `card` between `from` and `to` (pin clock, Hns) lie
  // inside what an action took away, from `slack` before it.
  bool Explains(int card, Hns from, Hns to, Hns slack) const;

  std::string Text() const;  // "timeline: ..." lines
  Json ToJson() const;

 private:
  struct Step {
    int64_t when;  // machine time, ns
    size_t action;
    bool wake;  // a sleep's second half
  };
  struct Outcome {
    bool ran = false;
    std::string what;  // what happened, in words
    int64_t began = -1, ended = -1;
    bool forGood = false;  // the card is gone (removed, or not back from a rebalance)
  };
  void Run(const Step &step);

  Rig &rig_;
  const Options &options_;
  std::vector<Step> steps_;
  std::vector<Outcome> outcomes_;
  std::vector<sim::ks::SleepRecord> sleeps_;  // per action
  size_t next_ = 0;
  int64_t start_ = 0;
  uint32_t thread_ = 0;
  bool threaded_ = false;
};

}  // namespace ctl
