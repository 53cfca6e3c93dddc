#include "package/pe_image.h"

namespace pe {

namespace {

uint32_t Read32(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint16_t Read16(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

}  // namespace

uint32_t Checksum(const std::vector<uint8_t> &image, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t at = 0; at < image.size(); at += 2) {
    if (at >= checksumOffset && at < checksumOffset + 4) continue;
    uint32_t word = image[at];
    if (at + 1 < image.size()) word |= static_cast<uint32_t>(image[at + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

std::optional<ImageFacts> Inspect(const std::vector<uint8_t> &image, std::string *error) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    *error = "no MZ header";
    return std::nullopt;
  }
  const size_t nt = Read32(image, 0x3C);
  // Signature, file header (20 bytes), then the optional header up to the data directories.
  const size_t optional = nt + 4 + 20;
  if (nt > image.size() || image.size() - nt < 4 + 20 + 112 + 16 * 8 ||
      Read32(image, nt) != 0x00004550) {
    *error = "no PE header";
    return std::nullopt;
  }
  if (Read16(image, optional) != 0x20B) {
    *error = "not a PE32+ image";
    return std::nullopt;
  }
  ImageFacts facts;
  const size_t checksum = optional + 64;
  facts.storedChecksum = Read32(image, checksum);
  facts.computedChecksum = Checksum(image, checksum);
  const uint32_t directories = Read32(image, optional + 108);
  if (directories > 4) {
    const size_t security = optional + 112 + 4 * 8;  // entry 4: a file offset, not an RVA
    facts.certificateOffset = Read32(image, security);
    facts.certificateSize = Read32(image, security + 4);
  }
  if (facts.certificateSize != 0) {
    const uint64_t end = static_cast<uint64_t>(facts.certificateOffset) + facts.certificateSize;
    if (facts.certificateSize < 8 || end > image.size()) {
      *error = "the certificate table lies outside the file";
      return std::nullopt;
    }
    facts.certificateRevision = Read16(image, facts.certificateOffset + 4);
    facts.certificateType = Read16(image, facts.certificateOffset + 6);
  }
  return facts;
}

}  // namespace pe
