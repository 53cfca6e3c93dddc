#include "sim/kernel/registry_text.h"

#include "sim/kernel/registry.h"

namespace sim {
namespace regtext {

bool DecodeUtf8(std::string_view s, size_t i, char32_t *cp, size_t *len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *cp = b0;
    *len = 1;
    return true;
  }
  size_t n;
  char32_t c, min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    *len = 1;
    return false;
  }
  size_t k = 1;
  for (; k < n && i + k < s.size(); ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) break;
    c = (c << 6) | (b & 0x3F);
  }
  *len = k;
  if (k < n || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  *cp = c;
  return true;
}

bool DecodeUtf16(std::u16string_view s, size_t i, char32_t *cp, size_t *len) {
  const char16_t u = s[i];
  *len = 1;
  if (u < 0xD800 || u > 0xDFFF) {
    *cp = u;
    return true;
  }
  if (u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
    *cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00);
    *len = 2;
    return true;
  }
  return false;
}

void AppendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string &out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

std::optional<std::u16string> Utf8ToUtf16Strict(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf8(text, i, &c, &len)) return std::nullopt;
    AppendUtf16(out, c);
    i += len;
  }
  return out;
}

// Upcasing as the registry compares names. Covers ASCII, Latin-1, basic Greek and
// Cyrillic: the names this machine meets need no more of the platform's table.
namespace {
char16_t Upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - 32;
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}
}  // namespace

std::u16string Fold(std::string_view utf8) {
  std::u16string s = Utf8ToUtf16(utf8);
  for (auto &c : s) c = Upcase(c);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return Fold(a) == Fold(b); }

std::vector<uint8_t> StringData(std::string_view utf8) {
  std::u16string wide = Utf8ToUtf16(utf8);
  std::vector<uint8_t> data;
  data.reserve(wide.size() * 2 + 2);
  for (char16_t c : wide) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::u16string WideFromBytes(const std::vector<uint8_t> &data) {
  std::u16string wide;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    wide += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return wide;
}

}  // namespace regtext

using regtext::AppendUtf16;
using regtext::AppendUtf8;
using regtext::DecodeUtf16;
using regtext::DecodeUtf8;
using regtext::kReplacement;

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf16(text, i, &c, &len)) c = kReplacement;
    AppendUtf8(out, c);
    i += len;
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    size_t len;
    if (!DecodeUtf8(text, i, &c, &len)) c = kReplacement;
    AppendUtf16(out, c);
    i += len;
  }
  return out;
}

}  // namespace sim
