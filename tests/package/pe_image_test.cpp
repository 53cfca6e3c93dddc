// The checks the package makes on a signed image: the checksum the loader verifies and the
// certificate table that holds the signature.
#include "package/pe_image.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr size_t kNt = 0x80;
constexpr size_t kOptional = kNt + 4 + 20;
constexpr size_t kChecksum = kOptional + 64;
constexpr size_t kSecurity = kOptional + 112 + 4 * 8;

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// A PE32+ header with sixteen data directories and patterned bytes after it.
std::vector<uint8_t> Image() {
  std::vector<uint8_t> b(0x400);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, kNt);
  Put32(b, kNt, 0x4550);
  b[kOptional] = 0x0B;
  b[kOptional + 1] = 0x02;
  Put32(b, kOptional + 108, 16);
  for (size_t i = 0x200; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

TEST(PeImage, ChecksumLeavesItsOwnFieldOutAndSeesEveryOtherByte) {
  std::vector<uint8_t> b = Image();
  std::string error;
  auto facts = pe::Inspect(b, &error);
  ASSERT_TRUE(facts) << error;
  EXPECT_EQ(facts->computedChecksum, 0x26B8u);  // worked out by hand from the 16-bit words
  EXPECT_NE(facts->storedChecksum, facts->computedChecksum);

  Put32(b, kChecksum, 0x26B8);
  EXPECT_EQ(pe::Inspect(b, &error)->storedChecksum, pe::Inspect(b, &error)->computedChecksum);

  b[0x301] ^= 0x10;  // one bit anywhere else
  EXPECT_NE(pe::Inspect(b, &error)->computedChecksum, 0x26B8u);

  b.push_back(0x5A);  // an odd length counts its last byte as a word
  EXPECT_EQ(pe::Checksum(b, kChecksum),
            pe::Checksum(std::vector<uint8_t>(b.begin(), b.end() - 1), kChecksum) + 0x5A + 1);
}

TEST(PeImage, CertificateTableIsReadAndOneOutsideTheFileIsRefused) {
  std::vector<uint8_t> b = Image();
  std::string error;
  EXPECT_EQ(pe::Inspect(b, &error)->certificateSize, 0u) << "unsigned";

  // WIN_CERTIFICATE at 0x380: length, revision 2.0, PKCS#7 signed data.
  Put32(b, kSecurity, 0x380);
  Put32(b, kSecurity + 4, 0x80);
  Put32(b, 0x380, 0x80);
  Put32(b, 0x384, 0x00020200);
  auto facts = pe::Inspect(b, &error);
  ASSERT_TRUE(facts) << error;
  EXPECT_EQ(facts->certificateRevision, 0x0200);
  EXPECT_EQ(facts->certificateType, 0x0002);

  Put32(b, kSecurity + 4, 0x81);
  EXPECT_FALSE(pe::Inspect(b, &error));
  EXPECT_EQ(error, "the certificate table lies outside the file");
}

TEST(PeImage, WhatIsNotAPe32PlusImageIsNamed) {
  std::string error;
  EXPECT_FALSE(pe::Inspect(std::vector<uint8_t>(16, 0), &error));
  EXPECT_EQ(error, "no MZ header");
  std::vector<uint8_t> b = Image();
  Put32(b, 0x3C, 0x3F0);  // the PE header would run past the end
  EXPECT_FALSE(pe::Inspect(b, &error));
  EXPECT_EQ(error, "no PE header");
  b = Image();
  b[kOptional] = 0x0B;
  b[kOptional + 1] = 0x01;  // PE32
  EXPECT_FALSE(pe::Inspect(b, &error));
  EXPECT_EQ(error, "not a PE32+ image");
}

}  // namespace
