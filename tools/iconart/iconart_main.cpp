// Writes a settings tool's icon file: iconart pinflip|fieldflip OUTPUT.ico
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/iconart/artwork.h"

int main(int argc, char **argv) {
  if (argc != 3 ||
      (std::strcmp(argv[1], "pinflip") != 0 && std::strcmp(argv[1], "fieldflip") != 0)) {
    std::fprintf(stderr, "usage: iconart pinflip|fieldflip OUTPUT.ico\n");
    return 2;
  }
  Artwork artwork = std::strcmp(argv[1], "pinflip") == 0 ? Artwork::kPinflip : Artwork::kFieldflip;
  std::vector<uint8_t> bytes = EncodeIcon(ToolIconImages(artwork));
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "iconart: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
