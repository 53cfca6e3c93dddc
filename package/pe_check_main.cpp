// pe-check: refuses a signed image the loader would reject before it looks at the signature:
// a checksum that does not match the bytes, or no Authenticode certificate table.
//
//   pe-check [--signed] IMAGE
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "package/pe_image.h"

int main(int argc, char **argv) {
  bool wantSigned = argc > 1 && std::strcmp(argv[1], "--signed") == 0;
  if (argc != (wantSigned ? 3 : 2)) {
    std::fprintf(stderr, "usage: pe-check [--signed] IMAGE\n");
    return 2;
  }
  const char *path = argv[argc - 1];
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "pe-check: %s: cannot be read\n", path);
    return 1;
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::string error;
  std::optional<pe::ImageFacts> facts = pe::Inspect(image, &error);
  if (!facts) {
    std::fprintf(stderr, "pe-check: %s: %s\n", path, error.c_str());
    return 1;
  }
  int failures = 0;
  if (facts->storedChecksum != facts->computedChecksum) {
    std::fprintf(stderr, "pe-check: %s: checksum is 0x%08X, the bytes give 0x%08X\n", path,
                 facts->storedChecksum, facts->computedChecksum);
    ++failures;
  }
  // WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA
  if (wantSigned && (facts->certificateSize == 0 || facts->certificateRevision != 0x0200 ||
                     facts->certificateType != 0x0002)) {
    std::fprintf(stderr, "pe-check: %s: no Authenticode signature in its certificate table\n",
                 path);
    ++failures;
  }
  if (failures != 0) return 1;
  std::printf("pe-check: %s: checksum 0x%08X matches%s\n", path, facts->computedChecksum,
              facts->certificateSize != 0 ? ", Authenticode certificate table present" : "");
  return 0;
}
