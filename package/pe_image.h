// The parts of a PE image the package checks after signing: the optional header's checksum
// and the certificate table that holds the signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe {

struct ImageFacts {
  uint32_t storedChecksum = 0;
  uint32_t computedChecksum = 0;
  uint32_t certificateOffset = 0, certificateSize = 0;    // the security directory
  uint16_t certificateRevision = 0, certificateType = 0;  // of its first WIN_CERTIFICATE
};

// Reads the facts of a PE32+ image; nullopt with the reason when it is not one, or when its
// certificate table lies outside the file.
std::optional<ImageFacts> Inspect(const std::vector<uint8_t> &image, std::string *error);

// The checksum the loader verifies: the file summed as 16-bit words with the carries folded
// back in, the checksum field itself left out, plus the file's length.
uint32_t Checksum(const std::vector<uint8_t> &image, size_t checksumOffset);

}  // namespace pe
