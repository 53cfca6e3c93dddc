// morvane-ctl: brings up a simulated machine with emulated cards under the real driver,
// inspects the filters, sets controls, checks the driver's contracts and captures video
// and audio to files.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "capture.h"
#include "compliance.h"
#include "listing.h"
#include "media.h"
#include "options.h"
#include "outputs.h"
#include "rig.h"
#include "sim/kernel/verifier.h"
#include "timeline.h"

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
void Summary(ctl::Rig &rig, const ctl::Options &o) {
  for (int i = 0; i < rig.cardCount(); ++i)
    std::printf("card%d (%s, %s): driver loaded, card added and started\n", i,
                ctl::VariantName(rig.card(i).variant()).c_str(), rig.instancePath(i).c_str());
  sim::Machine &m = rig.machine();
  const sim::Nanos end = m.now() + o.seconds * sim::kSecond;
  ctl::Timeline timeline(rig, o);
  timeline.Begin(m.now());
  for (;;) {
    // One processor: the timeline's actions run from here, each at its time.
    const int64_t due = timeline.Poll();
    if (m.now() >= end) break;
    m.RunUntil(due >= 0 ? std::min<sim::Nanos>(due, end) : end);
  }
  timeline.Finish();
  std::printf("ran %ld simulated second(s)\n", o.seconds);
  std::fputs(timeline.Text().c_str(), stdout);
  rig.Shutdown();
  for (int i = 0; i < rig.cardCount(); ++i)
    std::printf("\ncard%d register trace:\n%s\n", i, rig.card(i).Summary().c_str());
  std::printf("verifier: clean (no rule broken, no pool left allocated)\n");
}

// Every check of the command line and of the files it names, before anything is
// opened or written.
std::optional<ctl::CapturePlan> CheckFiles(const ctl::Options &o, ctl::Outputs &outputs) {
  if (!o.device.empty()) ctl::SelectDevice(o.device, o.cards);
  for (const ctl::InputSpec &in : o.inputs) {
    if (in.kind != ctl::InputSpec::Kind::File) continue;
    struct stat st {};
    if (::stat(in.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      throw ctl::UsageError("--input '" + ctl::Shown(in.path) + "': not a regular file" +
                            (S_ISDIR(st.st_mode) ? " (a folder)" : ""));
    outputs.Protect(in.path, "--input");
  }
  if (!o.driverFile.empty()) {
    struct stat st {};
    if (::stat(o.driverFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      throw ctl::UsageError("--driver '" + ctl::Shown(o.driverFile) + "': not a regular file" +
                            (S_ISDIR(st.st_mode) ? " (a folder)" : ""));
    outputs.Protect(o.driverFile, "--driver");
  }
  if (!o.registryFile.empty()) outputs.Claim(o.registryFile, "--registry");
  if (!o.traceFile.empty()) outputs.Claim(o.traceFile, "--trace");
  std::optional<ctl::CapturePlan> plan;
  if (o.WantsCapture()) {
    plan = ctl::PlanCapture(o);
    for (const ctl::CapturePlan::File &f : plan->files)
      outputs.Claim(f.path, "--stream-to", plan->selection.wholeCard);
    // The sheet beside the channel files goes into their folder; one named by the user
    // goes where it says.
    if (!plan->contactSheet.empty())
      outputs.Claim(plan->contactSheet, "--contact-sheet", o.contactSheet.empty());
    if (!o.frameLog.empty()) outputs.Claim(o.frameLog, "--frame-log");
  }
  return plan;
}

int Run(const ctl::Options &o, ctl::Outputs &outputs) {
  std::optional<ctl::CapturePlan> plan = CheckFiles(o, outputs);
  ctl::Rig rig(o);
  int status = kExitOk;
  ctl::Report report;
  if (o.compliance) {
    ctl::ComplianceResult r = ctl::RunCompliance(rig, o.device);
    if (!o.json) std::fputs(r.text.c_str(), stdout);
    report.json["compliance"] = std::move(r.json);
    if (r.failed > 0) status = kExitFailed;
  }
  if (o.WantsInspection()) {
    ctl::Inspect(rig, o, &report);
    if (!o.json) std::fputs(report.text.c_str(), stdout);
  }
  ctl::CaptureResult result;
  std::FILE *frameLog = nullptr;
  std::string frameLogTemporary;
  if (plan) {
    if (!o.frameLog.empty()) {
      frameLogTemporary = outputs.Open(o.frameLog);
      frameLog = std::fopen(frameLogTemporary.c_str(), "w");
      if (frameLog == nullptr)
        throw ctl::UsageError("--frame-log '" + ctl::Shown(o.frameLog) + "': cannot write");
    }
    result = ctl::Capture(rig, o, *plan, outputs, frameLog);
    if (result.interrupted) {
      if (frameLog != nullptr) std::fclose(frameLog);
      ctl::Outputs::DieOfSignal(ctl::Outputs::PendingSignal());
    }
    if (!o.json) std::fputs(result.text.c_str(), stdout);
    report.json["capture"] = std::move(result.json);
    if (!result.complete) status = kExitFailed;
  }
  if (!o.WantsInspection() && !plan && !o.compliance) {
    Summary(rig, o);
  } else {
    rig.Shutdown();
  }
  // ---- the files, complete ones only, under their names
  if (!o.traceFile.empty()) {
    std::string temporary = outputs.Open(o.traceFile);
    rig.WriteTrace(temporary, o.traceFile);
    std::string error;
    if (!outputs.Commit(o.traceFile, &error)) result.problems.push_back(error);
  }
  if (frameLog != nullptr) {
    bool written = std::fflush(frameLog) == 0 && !std::ferror(frameLog);
    written = std::fclose(frameLog) == 0 && written;
    std::string error;
    if (!written)
      result.problems.push_back("--frame-log '" + ctl::Shown(o.frameLog) + "': writing failed");
    else if (!outputs.Commit(o.frameLog, &error))
      result.problems.push_back(error);
  }
  for (const std::string &path : result.files) {
    std::string error;
    if (!outputs.Commit(path, &error)) result.problems.push_back(error);
  }
  if (!result.problems.empty()) status = kExitFailed;
  // The machine ran to its end: the registry keeps what it holds now.
  rig.SaveRegistry();
  if (o.json) std::printf("%s\n", ctl::JsonText(report.json).c_str());
  for (const std::string &problem : result.problems) Fail(0, problem);
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
  ctl::SilenceFfmpegLog();
  ctl::Outputs::InstallSignalHandlers();
  ctl::Outputs outputs;
  try {
    return Run(options, outputs);
  } catch (const ctl::UsageError &e) {
    return Fail(kExitUsage, e.what());
  } catch (const ctl::StepError &e) {
    return Fail(kExitFailed, e.what());
  } catch (const sim::VerifierStop &stop) {
    std::printf("verifier: STOP: %s\n", stop.what());
    return kExitVerifier;
  }
}
