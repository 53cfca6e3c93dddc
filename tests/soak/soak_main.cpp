// morvane-soak [--seconds N] [--seed S] [--cards N] [--cpus N] [--progress] [--log]:
// see soak.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "soak.h"

namespace {

bool Number(const char *text, double *out) {
  char *end = nullptr;
  *out = std::strtod(text, &end);
  return end != text && *end == '\0' && *out >= 0;
}

}  // namespace

int main(int argc, char **argv) {
  soak::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    double n = 0;
    bool valued = a == "--seconds" || a == "--seed" || a == "--cards" || a == "--cpus";
    if (valued && (i + 1 >= argc || !Number(argv[i + 1], &n))) {
      std::fprintf(stderr, "morvane-soak: %s needs a number\n", a.c_str());
      return 2;
    }
    if (a == "--seconds") {
      options.seconds = n;
    } else if (a == "--seed") {
      options.seed = static_cast<uint64_t>(n);
    } else if (a == "--cards") {
      options.cards = static_cast<int>(n);
    } else if (a == "--cpus") {
      if (n < 1 || n > 8 || n != static_cast<unsigned>(n)) {
        std::fprintf(stderr, "morvane-soak: --cpus takes 1 to 8\n");
        return 2;
      }
      options.processors = static_cast<unsigned>(n);
    } else if (a == "--progress") {
      options.progress = true;
    } else if (a == "--log") {
      options.log = true;
    } else {
      std::fprintf(stderr,
                   "usage: morvane-soak [--seconds SIMULATED] [--seed N] [--cards 2-4] "
                   "[--cpus 1-8] [--progress] [--log]\n");
      return 2;
    }
    if (valued) ++i;
  }
  if (options.cards < 2 || options.cards > 4) {
    std::fprintf(stderr, "morvane-soak: --cards takes 2 to 4 (both variants)\n");
    return 2;
  }
  return soak::Soak(options).Run();
}
