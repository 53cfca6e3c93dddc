// The soak: every stream of several cards captured for a long simulated time while a seeded
// stream of actions changes client states, closes and reopens pins and filters, sends
// property requests, starves streams of buffers and injects card faults, signal losses and
// standard changes, and the platform rebalances, puts to sleep, removes (or is refused the
// removal of) cards, sets the clock and runs short of memory. It accounts for every frame and
// block the cards complete and checks, at the end, that nothing was lost, leaked or left
// behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/ks/client.h"

namespace soak {

struct Options {
  double seconds = 3600;  // simulated
  uint64_t seed = 1;
  int cards = 2;            // variants alternate, the bus variant first
  unsigned processors = 4;  // 1 is the sequential machine
  bool progress = false;
  bool log = false;  // every action and platform step on stderr, with its time
};

// The frames or blocks of one stream from a channel start (STOP or ACQUIRE to RUN) to its
// stop: what the card completed while the pin ran, whether a client buffer was waiting at
// each completion, and what the client received.
struct Session {
  bool open = false;
  uint64_t completed = 0;
  std::vector<bool> hadBuffer;  // per completion (video)
  uint64_t starved = 0;         // completions with no client buffer waiting
  uint64_t resumes = 0;         // PAUSE to RUN without a channel restart
  // Frames and blocks begun while the pin was paused and completed in RUN: never the
  // pin's to capture, they need neither be delivered nor counted as dropped (video: the
  // frame whose field A went by paused; audio: the first block after a resume).
  uint64_t straddled = 0;
  bool firstAfterResume = false;  // audio
  // Begun while a change to RUN was under way: whether the driver ran by then is not known
  // here, so they may or may not be delivered (and counted).
  uint64_t edges = 0;
  // Times the card went away (a rebalance, a sleep) while the pin stayed in RUN: the driver
  // counts the pictures the pin missed meanwhile as dropped, at most `awayPictures` of them.
  uint64_t aways = 0;
  uint64_t awayPictures = 0;
  uint64_t delivered = 0;
  LONGLONG lastPicture = 0;  // video: the last delivered frame's PictureNumber
  LONGLONG lastDrops = 0;    // and its DropCount
};

struct Totals {
  uint64_t completed = 0, delivered = 0, reportedDrops = 0, unreported = 0, starved = 0,
           cancelled = 0, sessions = 0, straddled = 0, edges = 0, aways = 0;
};

struct Stream {
  int card = 0;
  bool video = true;
  ULONG channel = 0;
  sim::ks::Handle filter = 0, pin = 0;
  KSSTATE state = KSSTATE_STOP;
  bool running = false;      // in RUN as far as the card's completions are concerned
  bool enteringRun = false;  // a change to RUN is under way
  // Video: the input frame whose field A the card completed while the pin ran, and one
  // whose field A came while a change to RUN was under way (-1: none).
  int64_t fieldAFrame = -1, edgeFrame = -1;
  ULONG frameSize = 0;
  LONGLONG frameTime = 0;  // video: the format's AvgTimePerFrame, 100 ns
  uint64_t queued = 0, taken = 0;
  std::vector<std::vector<uint8_t>> spare;  // memory of completed frames, queued again
  sim::Nanos starvedUntil = 0;              // no buffers queued before then
  sim::Nanos backToRunAt = -1;              // a state change that returns to RUN then
  Session session;
  Totals totals;
  std::string Name() const;
};

// A card slot: the card in it, and what the platform is doing to it.
struct CardSlot {
  std::unique_ptr<sim::Card> card;
  sim::PnpManager::Card *pnp = nullptr;
  // The platform's action under way on the card (its clients leave it alone meanwhile, as
  // applications frozen by a sleep or not yet told of a removal would), or none.
  const char *busy = nullptr;
  uint32_t thread = 0;         // the system thread it runs on (threaded machine)
  std::function<void()> then;  // what the soak does once it is over, on its own thread
};

class Soak;

// One kind of chaos, drawn at a rate per simulated second.
struct ActionKind {
  const char *name;
  double perSecond;
  void (Soak::*run)();
  uint64_t count = 0;
};

class Soak {
 public:
  explicit Soak(const Options &options);
  ~Soak();
  // Runs the whole soak; returns the process exit status (0: no breach).
  int Run();

 private:
  // ---- set-up and the stream's life
  void Start();
  sim::Card *NewCard(int k);
  // False when the filter or pin could not be made for a reason the moment allows (a
  // low-resources window, a card that is going); the stream then stays closed for now.
  bool OpenStream(Stream &s);
  bool CreatePin(Stream &s);
  void ClosePin(Stream &s);
  void CloseStream(Stream &s);
  void SetState(Stream &s, KSSTATE to);
  void Feed(Stream &s);
  void Drain(Stream &s);
  void OnCompletion(int card, const sim::Card::Completion &c);
  void EndSession(Stream &s);
  uint64_t Outstanding(const Stream &s) const;
  // Streams closed by a refusal are opened and run again once nothing stands in the way.
  void Reopen(Stream &s);
  bool Busy(const Stream &s) const { return cards_[s.card].busy != nullptr; }
  bool Gone(const Stream &s) const;
  // A failure the moment explains: memory refused in a low-resources window, or a card
  // that is gone.
  bool Excused(NTSTATUS status, const Stream &s) const;

  // ---- client and card actions
  void StateChange();
  void ReopenPin();
  void ReopenFilter();
  void Properties();
  void Starve();
  void ChannelError();
  void SignalLoss();
  void StandardChange();

  // ---- the platform's actions
  void Rebalance();
  void SleepWake();
  void SurpriseRemoval();
  void RefusedRemoval();
  void ClockChange();
  void LowResources();
  // Runs `body` as the platform does, on a system thread of its own (inline on the
  // sequential machine), and `then` on the soak's thread once it is over.
  void Platform(int card, const char *what, std::function<void()> body, std::function<void()> then);
  void PlatformDone(int card);
  int IdleCard();
  // The card was away from `from` to `to` with these pins in RUN.
  void CardAway(int card, sim::Nanos from, sim::Nanos to);
  // A surprise-removed card: its clients close everything, the removal completes, a new
  // card of the same kind takes the slot and its streams run.
  void ReplaceCard(int card);

  // ---- checks and the report
  bool Checkpoint();
  void Finish();
  void Breach(const std::string &what);
  void Log(const std::string &what) const;
  void Report(double wallSeconds);
  Stream &AnyStream();
  uint64_t PoolBytes() const;

  Options options_;
  std::mt19937_64 rng_;
  std::unique_ptr<sim::Machine> machine_;
  std::vector<CardSlot> cards_;
  // Cards that left the bus: the platform's records may still point at them.
  std::vector<std::unique_ptr<sim::Card>> removedCards_;
  std::unique_ptr<sim::ks::Client> client_;
  std::vector<Stream> streams_;
  std::vector<ActionKind> actions_;
  std::map<std::string, uint64_t> events_;  // what the platform's actions came to
  std::vector<std::string> breaches_;
  uint64_t breachCount_ = 0;
  std::string verifierStop_;
  size_t poolAfterStart_ = 0;
  sim::Nanos windowUntil_ = -1;  // the low-resources window ends then
  struct Sample {
    double at;
    uint64_t pool;
    uint64_t rssKb;
    std::string byTag;
  };
  std::vector<Sample> samples_;
  uint64_t properties_ = 0, propertyChecks_ = 0, excused_ = 0;
  sim::Nanos end_ = 0;
};

}  // namespace soak
