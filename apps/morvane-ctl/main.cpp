// morvane-ctl: brings up a simulated machine with emulated cards under the real driver,
// inspects the filters, sets controls and captures video and audio to files.
#include <cstdio>
#include <string>

#include "capture.h"
#include "listing.h"
#include "options.h"
#include "rig.h"
#include "sim/kernel/verifier.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitVerifier = 3;

int Fail(int status, const std::string &message) {
  std::fprintf(stderr, "morvane-ctl: %s\n", message.c_str());
  return status;
}

// Without inspection or capture: the machine runs for a while and the register
// activity and the verifier's verdict are reported.
int Summary(ctl::Rig &rig, const ctl::Options &o) {
  for (int i = 0; i < rig.cardCount(); ++i)
    std::printf("card%d (%s, %s): driver loaded, card added and started\n", i,
                ctl::VariantName(rig.card(i).variant()).c_str(), rig.instancePath(i).c_str());
  rig.machine().RunFor(o.seconds * sim::kSecond);
  std::printf("ran %ld simulated second(s)\n", o.seconds);
  rig.Shutdown();
  for (int i = 0; i < rig.cardCount(); ++i)
    std::printf("\ncard%d register trace:\n%s\n", i, rig.card(i).Summary().c_str());
  std::printf("verifier: clean (no rule broken, no pool left allocated)\n");
  return kExitOk;
}

int Run(const ctl::Options &o) {
  ctl::Rig rig(o);
  int status = kExitOk;
  ctl::Report report;
  if (o.WantsInspection()) {
    ctl::Inspect(rig, o, &report);
    if (!o.json) std::fputs(report.text.c_str(), stdout);
  }
  if (o.WantsCapture()) {
    ctl::CaptureResult result = ctl::Capture(rig, o);
    if (!o.json) std::fputs(result.text.c_str(), stdout);
    report.json["capture"] = std::move(result.json);
    if (!result.complete) status = kExitFailed;
    for (const std::string &problem : result.problems) Fail(0, problem);
  }
  if (!o.WantsInspection() && !o.WantsCapture()) {
    status = Summary(rig, o);
  } else {
    rig.Shutdown();
  }
  rig.SaveFiles();
  if (o.json) std::printf("%s\n", ctl::JsonText(report.json).c_str());
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  ctl::Options options;
  std::string error;
  if (!ctl::ParseOptions(argc, argv, &options, &error)) {
    Fail(kExitUsage, error);
    std::fprintf(stderr, "Try 'morvane-ctl --help'.\n");
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(ctl::UsageText(), stdout);
    return kExitOk;
  }
  try {
    return Run(options);
  } catch (const ctl::UsageError &e) {
    return Fail(kExitUsage, e.what());
  } catch (const ctl::StepError &e) {
    return Fail(kExitFailed, e.what());
  } catch (const sim::VerifierStop &stop) {
    std::printf("verifier: STOP: %s\n", stop.what());
    return kExitVerifier;
  }
}
