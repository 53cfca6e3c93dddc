#include "timeline.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "rig.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"

namespace ctl {

namespace {

constexpr Hns kRecovery = kHnsPerSecond;  // after an action, the card and the streams settle

const char *const kAttached[] = {"--surprise-remove@", "--sleep@", "--set-time@"};

std::string SecondsText(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", s);
  return buf;
}

std::string StatusText(NTSTATUS s) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
  return buf;
}

// "[cardK/]REST" -> card K (0 without a prefix) and REST.
bool CardPrefix(const std::string &text, int *card, std::string *rest) {
  *card = 0;
  *rest = text;
  if (text.rfind("card", 0) != 0) return true;
  size_t slash = text.find('/');
  long n;
  if (slash == std::string::npos || !ParseLong(text.substr(4, slash - 4), &n) || n < 0 || n > 15)
    return false;
  *card = static_cast<int>(n);
  *rest = text.substr(slash + 1);
  return true;
}

// A time on the timeline: seconds, not negative.
bool When(const std::string &text, double *at) { return ParseSeconds(text, at) && *at >= 0; }

bool SignedSeconds(const std::string &text, double *seconds) {
  if (text.empty()) return false;
  double magnitude;
  bool negative = text[0] == '-';
  size_t skip = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (!ParseSeconds(text.substr(skip), &magnitude)) return false;
  *seconds = negative ? -magnitude : magnitude;
  return true;
}

}  // namespace

std::vector<std::string> SplitAttachedTimelineArguments(int argc, char **argv) {
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      for (; i < argc; ++i) out.emplace_back(argv[i]);
      break;
    }
    for (const char *prefix : kAttached) {
      size_t n = std::strlen(prefix);
      if (arg.compare(0, n, prefix) == 0) {
        arg[n - 1] = '=';
        break;
      }
    }
    out.push_back(arg);
  }
  return out;
}

bool ParseTimelineAction(const std::string &option, const std::string &text,
                         std::vector<TimelineSpec> *actions, std::string *error) {
  TimelineSpec a;
  a.text = option + " " + text;
  auto fail = [&](const std::string &expected) {
    *error = option + " '" + Shown(text) + "': expected " + expected;
    return false;
  };
  std::string rest;
  if (option == "--low-resources") {
    // SEED:RATE[@SECONDS]
    a.kind = TimelineSpec::Kind::LowResources;
    const char *form =
        "SEED:RATE[@SECONDS] (a whole number, the chance of each allocation to fail, above 0 "
        "and at most 1, and when the failures start)";
    size_t colon = text.find(':');
    if (colon == std::string::npos) return fail(form);
    std::string rate = text.substr(colon + 1);
    size_t at = rate.find('@');
    if (at != std::string::npos) {
      if (!When(rate.substr(at + 1), &a.at)) return fail(form);
      rate.resize(at);
    }
    long seed;
    double r;
    if (!ParseLong(text.substr(0, colon), &seed) || seed < 0 || !ParseSeconds(rate, &r) || r <= 0 ||
        r > 1)
      return fail(form);
    a.seed = static_cast<uint64_t>(seed);
    a.rate = r;
    actions->push_back(a);
    return true;
  }
  if (option == "--set-time") {
    // SECONDS=OFFSET: the system clock moves by OFFSET seconds (signed) at SECONDS.
    a.kind = TimelineSpec::Kind::SetTime;
    const char *form = "SECONDS=OFFSET (when, and by how many seconds the clock moves: -3600, +90)";
    size_t eq = text.find('=');
    if (eq == std::string::npos || !When(text.substr(0, eq), &a.at) ||
        !SignedSeconds(text.substr(eq + 1), &a.offset) || a.offset == 0)
      return fail(form);
    actions->push_back(a);
    return true;
  }
  std::string action;
  if (option == "--surprise-remove") {
    action = "surprise-remove@" + text;
  } else if (option == "--sleep") {
    action = "sleep@" + text;
  } else {
    action = text;
  }
  // [cardK/]NAME@SECONDS[+LENGTH]
  const char *form =
      "[cardK/]rebalance@SECONDS, remove@SECONDS, surprise-remove@SECONDS or "
      "sleep@SECONDS+SECONDS";
  if (option == "--surprise-remove") form = "[cardK/]SECONDS (when the card leaves the bus)";
  if (option == "--sleep") form = "[cardK/]SECONDS+SECONDS (when the system sleeps, and how long)";
  // The card prefix may stand before the name or, for the short forms, before the time.
  size_t atSign = action.find('@');
  if (atSign == std::string::npos) return fail(form);
  std::string name = action.substr(0, atSign);
  std::string when = action.substr(atSign + 1);
  if (!CardPrefix(name, &a.card, &name)) return fail(form);
  int card2 = 0;
  if (!CardPrefix(when, &card2, &when)) return fail(form);
  if (card2 != 0) a.card = card2;
  if (name == "rebalance") {
    a.kind = TimelineSpec::Kind::Rebalance;
  } else if (name == "remove") {
    a.kind = TimelineSpec::Kind::Remove;
  } else if (name == "surprise-remove") {
    a.kind = TimelineSpec::Kind::SurpriseRemove;
  } else if (name == "sleep") {
    a.kind = TimelineSpec::Kind::Sleep;
    size_t plus = when.find('+');
    if (plus == std::string::npos || !ParseSeconds(when.substr(plus + 1), &a.length) ||
        a.length <= 0)
      return fail(form);
    when.resize(plus);
  } else {
    return fail(form);
  }
  if (!When(when, &a.at)) return fail(form);
  actions->push_back(a);
  return true;
}

Timeline::Timeline(Rig &rig, const Options &options) : rig_(rig), options_(options) {
  const auto &actions = options.timeline;
  outcomes_.resize(actions.size());
  sleeps_.resize(actions.size());
  for (size_t i = 0; i < actions.size(); ++i) {
    int64_t at = SecondsToNanos(actions[i].at);
    steps_.push_back(Step{at, i, false});
    if (actions[i].kind == TimelineSpec::Kind::Sleep)
      steps_.push_back(Step{at + SecondsToNanos(actions[i].length), i, true});
  }
  // In time order; at the same time, in the order given.
  std::stable_sort(steps_.begin(), steps_.end(),
                   [](const Step &a, const Step &b) { return a.when < b.when; });
}

Timeline::~Timeline() = default;

void Timeline::Begin(int64_t start) {
  start_ = start;
  for (Step &s : steps_) s.when += start;
  sim::Machine &m = rig_.machine();
  threaded_ = m.threaded();
  if (!threaded_ || steps_.empty()) return;
  // The platform's own thread: the PnP manager and the power manager act from it.
  thread_ = m.CreateThread(
      "pnp",
      [this] {
        sim::Machine &machine = rig_.machine();
        for (const Step &s : steps_) {
          if (s.when > machine.now()) {
            LARGE_INTEGER interval;
            interval.QuadPart = -std::max<int64_t>((s.when - machine.now()) / 100, 1);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
          }
          Run(s);
        }
      },
      sim::ThreadKind::System);
}

int64_t Timeline::Poll() {
  if (threaded_) return -1;
  sim::Machine &m = rig_.machine();
  while (next_ < steps_.size() && steps_[next_].when <= m.now()) Run(steps_[next_++]);
  return next_ < steps_.size() ? steps_[next_].when : -1;
}

void Timeline::Finish() {
  sim::Machine &m = rig_.machine();
  if (threaded_) {
    if (thread_ != 0) m.JoinThread(thread_);
    thread_ = 0;
    return;
  }
  // What is still to come runs now, in order, with its time.
  while (next_ < steps_.size()) {
    if (steps_[next_].when > m.now()) m.RunUntil(steps_[next_].when);
    Poll();
  }
}

void Timeline::Run(const Step &step) {
  const TimelineSpec &a = options_.timeline[step.action];
  Outcome &o = outcomes_[step.action];
  sim::Machine &m = rig_.machine();
  const int64_t now = m.now();
  if (!step.wake) o.began = now;
  o.ran = true;
  sim::PnpManager &pnp = m.pnp();
  sim::PnpManager::Card *card =
      a.kind == TimelineSpec::Kind::SetTime || a.kind == TimelineSpec::Kind::LowResources
          ? nullptr
          : rig_.pnpCard(a.card);
  const bool gone = card == nullptr || card->removed || card->surpriseRemoved;
  NTSTATUS status = STATUS_SUCCESS;
  switch (a.kind) {
    case TimelineSpec::Kind::Rebalance:
      if (gone) {
        o.what = "not done: the card is gone";
        break;
      }
      status = pnp.RebalanceCard(*card);
      if (NT_SUCCESS(status)) {
        o.what = "stopped, moved and started again";
      } else {
        o.what = "the card did not start again (" + StatusText(status) + "): surprise-removed";
        o.forGood = true;
      }
      break;
    case TimelineSpec::Kind::Remove:
      if (gone) {
        o.what = "not done: the card is gone";
        break;
      }
      status = pnp.RemoveCard(*card);
      if (status == STATUS_PLUGPLAY_QUERY_VETOED) {
        o.what = "refused (" + pnp.lastVeto() + ": the capture holds the card's handles open)";
      } else {
        o.what = "removed";
        o.forGood = true;
      }
      break;
    case TimelineSpec::Kind::SurpriseRemove:
      if (gone) {
        o.what = "not done: the card is gone";
        break;
      }
      pnp.SurpriseRemoveCard(*card);
      o.what = "the card left the bus; the streams end";
      o.forGood = true;
      break;
    case TimelineSpec::Kind::Sleep: {
      if (gone) {
        o.what = "not done: the card is gone";
        break;
      }
      sim::ks::SleepOptions sleep;
      if (!step.wake) {
        status = sim::ks::EnterSleep(*card, sleep, &sleeps_[step.action]);
        o.what =
            "asleep (" + std::to_string(sleeps_[step.action].paused.size()) + " pins paused, D3)";
      } else {
        status = sim::ks::LeaveSleep(*card, sleep, &sleeps_[step.action]);
        o.what = "slept " + SecondsText(a.length) + ", woke (D0, the pins run again)";
      }
      if (!NT_SUCCESS(status)) o.what += ", power request " + StatusText(status);
      break;
    }
    case TimelineSpec::Kind::SetTime:
      m.AdjustSystemTime(static_cast<int64_t>(a.offset * 1e7));
      o.what = std::string("system clock ") + (a.offset < 0 ? "set back " : "set forward ") +
               SecondsText(a.offset < 0 ? -a.offset : a.offset);
      break;
    case TimelineSpec::Kind::LowResources:
      m.faults().SetRandom(a.seed, a.rate);
      o.what = "allocations fail at random from now on (seed " + std::to_string(a.seed) +
               ", rate " + std::to_string(a.rate) + ")";
      break;
  }
  o.ended = m.now();
  rig_.NoteEvent(card != nullptr ? a.card : -1, now, a.text + ": " + o.what);
}

bool Timeline::Explains(int card, Hns from, Hns to, Hns slack) const {
  const auto &actions = options_.timeline;
  for (size_t i = 0; i < actions.size(); ++i) {
    const TimelineSpec &a = actions[i];
    const Outcome &o = outcomes_[i];
    if (!o.ran || a.card != card) continue;
    if (a.kind == TimelineSpec::Kind::SetTime || a.kind == TimelineSpec::Kind::LowResources)
      continue;
    const Hns begins = o.began / 100 - slack;
    Hns ends = o.forGood ? INT64_MAX : o.ended / 100 + kRecovery;
    if (from >= begins && to <= ends) return true;
  }
  return false;
}

std::string Timeline::Text() const {
  std::string text;
  const auto &actions = options_.timeline;
  for (size_t i = 0; i < actions.size(); ++i) {
    const Outcome &o = outcomes_[i];
    text += "timeline: " + actions[i].text + " at " +
            SecondsText(o.ran ? static_cast<double>(o.began - start_) / 1e9 : actions[i].at) +
            ": " + (o.ran ? o.what : std::string("not reached")) + "\n";
  }
  return text;
}

Json Timeline::ToJson() const {
  Json list = Json::array();
  const auto &actions = options_.timeline;
  for (size_t i = 0; i < actions.size(); ++i) {
    const Outcome &o = outcomes_[i];
    Json &j = list.emplace_back(Json::object());
    j["action"] = actions[i].text;
    j["at"] = actions[i].at;
    j["ran"] = o.ran;
    if (o.ran) {
      j["began"] = static_cast<double>(o.began - start_) / 1e9;
      j["ended"] = static_cast<double>(o.ended - start_) / 1e9;
      j["outcome"] = o.what;
    }
  }
  return list;
}

}  // namespace ctl
