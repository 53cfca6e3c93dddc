// Text as the registry holds it: UTF-16 code units in little-endian bytes, names
// compared without case. Shared by the key tree and the export-file reader and writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::regtext {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes the code point at s[i]; on invalid input *len is the number of bytes to skip.
bool DecodeUtf8(std::string_view s, size_t i, char32_t *cp, size_t *len);
bool DecodeUtf16(std::u16string_view s, size_t i, char32_t *cp, size_t *len);
void AppendUtf8(std::string &out, char32_t c);
void AppendUtf16(std::u16string &out, char32_t c);
// Null when the text is not valid UTF-8.
std::optional<std::u16string> Utf8ToUtf16Strict(std::string_view text);

// The registry's case folding of a name, for comparisons.
std::u16string Fold(std::string_view utf8);
bool EqualsNoCase(std::string_view a, std::string_view b);

// A REG_SZ's bytes: UTF-16LE with its terminator.
std::vector<uint8_t> StringData(std::string_view utf8);
// Little-endian byte pairs as UTF-16 (an odd last byte is ignored).
std::u16string WideFromBytes(const std::vector<uint8_t> &data);

}  // namespace sim::regtext
