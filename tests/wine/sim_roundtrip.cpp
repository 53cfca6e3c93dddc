// sim_roundtrip: the Linux half of the Wine suite's round trip. It names the card the
// simulated machine enumerates, so Wine can be seeded with it, and checks an export of
// that card's settings against the pins the real driver then publishes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wine/roundtrip.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: sim_roundtrip card-path\n"
               "         prints the device instance path of the simulated machine's first card\n"
               "       sim_roundtrip install-export FILE.reg [CARDS]\n"
               "         writes the registry of a machine with CARDS cards (default 1) installed\n"
               "         from the driver package\n"
               "       sim_roundtrip check EXPORT.reg [CHANNEL...]\n"
               "         starts that card with the settings in the export and checks that the\n"
               "         channels listed (1-8, as the tools label them) publish preview pins\n"
               "         and all others capture pins\n"
               "       sim_roundtrip check-linear EXPORT.reg [CHANNEL...]\n"
               "         starts that card with the settings in the export and checks that the\n"
               "         channels listed deliver line-doubled frames and all others woven ones\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "card-path") == 0) {
    std::string path = roundtrip::FirstCardPath();
    if (path.empty()) {
      std::fprintf(stderr, "sim_roundtrip: the simulated card was not enumerated\n");
      return 1;
    }
    std::printf("%s\n", path.c_str());
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "install-export") == 0) {
    const int cards = argc > 3 ? std::atoi(argv[3]) : 1;
    if (argc > 4 || cards < 1 || cards > 4) return Usage();
    roundtrip::Verdict v = roundtrip::ExportInstallation(argv[2], static_cast<unsigned>(cards));
    std::fputs(v.report.c_str(), stderr);
    return v.ok ? 0 : 1;
  }
  const bool linear = argc >= 3 && std::strcmp(argv[1], "check-linear") == 0;
  if (argc < 3 || (!linear && std::strcmp(argv[1], "check") != 0)) return Usage();

  std::array<bool, 8> chosen{};
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() != 1 || a[0] < '1' || a[0] > '8') {
      std::fprintf(stderr, "sim_roundtrip: '%s' is not a channel from 1 to 8\n", argv[i]);
      return Usage();
    }
    chosen[a[0] - '1'] = true;
  }
  roundtrip::Verdict v = linear ? roundtrip::CheckLinearChannels(argv[2], chosen)
                                : roundtrip::CheckPreviewPins(argv[2], chosen);
  std::fputs(v.report.c_str(), stdout);
  std::printf("sim_roundtrip: %s\n", !v.ok    ? "MISMATCH"
                                     : linear ? "the driver builds the frames the export chose"
                                              : "the driver publishes the pins the export chose");
  return v.ok ? 0 : 1;
}
