// sim_roundtrip: the Linux half of the Wine suite's round trip. It names the card the
// simulated machine enumerates, so Wine can be seeded with it, and checks an export of
// that card's settings against the pins the real driver then publishes.
#include <cstdio>
#include <cstring>
#include <string>

#include "wine/roundtrip.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: sim_roundtrip card-path\n"
               "         prints the device instance path of the simulated machine's first card\n"
               "       sim_roundtrip check EXPORT.reg [CHANNEL...]\n"
               "         starts that card with the settings in the export and checks that the\n"
               "         channels listed (1-8, as the tools label them) publish preview pins\n"
               "         and all others capture pins\n");
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
  if (argc < 3 || std::strcmp(argv[1], "check") != 0) return Usage();

  std::array<bool, 8> preview{};
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() != 1 || a[0] < '1' || a[0] > '8') {
      std::fprintf(stderr, "sim_roundtrip: '%s' is not a channel from 1 to 8\n", argv[i]);
      return Usage();
    }
    preview[a[0] - '1'] = true;
  }
  roundtrip::Verdict v = roundtrip::CheckPreviewPins(argv[2], preview);
  std::fputs(v.report.c_str(), stdout);
  std::printf("sim_roundtrip: %s\n",
              v.ok ? "the driver publishes the pins the export chose" : "MISMATCH");
  return v.ok ? 0 : 1;
}
