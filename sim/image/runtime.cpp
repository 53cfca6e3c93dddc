// The C library routines a kernel image imports from the kernel, in the image's
// calling convention. memcpy, memset and memcmp only change convention; _vsnwprintf
// also reads a Microsoft va_list (a pointer walking 8-byte argument slots) and writes
// 16-bit wide characters.
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/image/exports.h"
#include "sim/kernel/machine.h"

namespace sim::image {

namespace {

#define MS_ABI __attribute__((ms_abi))

// The kernel's memcpy tolerates overlap; so does this one.
MS_ABI void *Memcpy(void *dest, const void *src, size_t n) { return std::memmove(dest, src, n); }
MS_ABI void *Memmove(void *dest, const void *src, size_t n) { return std::memmove(dest, src, n); }
MS_ABI void *Memset(void *dest, int c, size_t n) { return std::memset(dest, c, n); }
MS_ABI int Memcmp(const void *a, const void *b, size_t n) { return std::memcmp(a, b, n); }

[[noreturn]] void Refuse(Rule rule, const std::string &message) {
  if (Machine *m = Machine::CurrentOrNull()) m->verifier().Stop(rule, message);
  throw std::invalid_argument(message);
}

std::string Narrow(const char16_t *s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s[i] < 0x80 ? static_cast<char>(s[i]) : '?';
  return out;
}

class Formatter {
 public:
  Formatter(const char16_t *format, char *args) : format_(format), args_(args) {}

  std::u16string Run() {
    constexpr size_t kMaxFormat = 1 << 16;
    for (size_t i = 0;; ++i) {
      if (i == kMaxFormat)
        Refuse(Rule::InvalidParameter,
               "_vsnwprintf: the format is not terminated within 64 K characters");
      if (format_[i] == 0) {
        length_ = i;
        break;
      }
    }
    for (pos_ = 0; pos_ < length_;) {
      char16_t c = format_[pos_];
      if (c != u'%') {
        out_ += c;
        ++pos_;
        continue;
      }
      Conversion();
    }
    return std::move(out_);
  }

 private:
  [[noreturn]] void Unsupported(size_t start, const char *why) {
    size_t end = std::min(pos_ + 1, length_);
    Refuse(Rule::Unemulated, "_vsnwprintf: the conversion \"" +
                                 Narrow(format_ + start, end - start) + "\" in \"" +
                                 Narrow(format_, length_) + "\" " + why);
  }

  uint64_t Slot() {
    uint64_t v;
    std::memcpy(&v, args_, 8);
    args_ += 8;
    return v;
  }

  void Conversion() {
    size_t start = pos_++;
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    for (; pos_ < length_; ++pos_) {
      char16_t c = format_[pos_];
      if (c == u'-')
        left = true;
      else if (c == u'+')
        plus = true;
      else if (c == u' ')
        space = true;
      else if (c == u'#')
        alternate = true;
      else if (c == u'0')
        zero = true;
      else
        break;
    }
    int width = 0;
    if (pos_ < length_ && format_[pos_] == u'*') {
      width = static_cast<int>(static_cast<uint32_t>(Slot()));
      if (width < 0) {
        left = true;
        width = width == INT_MIN ? INT_MAX : -width;
      }
      ++pos_;
    } else {
      width = Number();
    }
    int precision = -1;
    if (pos_ < length_ && format_[pos_] == u'.') {
      ++pos_;
      if (pos_ < length_ && format_[pos_] == u'*') {
        precision = static_cast<int>(static_cast<uint32_t>(Slot()));
        if (precision < 0) precision = -1;
        ++pos_;
      } else {
        precision = Number();
      }
    }
    // Size: h, hh, l (32 bits here), ll, I64, I32, I and z (pointer-sized), w (wide).
    int bits = 32;
    bool narrowText = false, wideText = false;
    auto at = [&](const char16_t *s) {
      size_t n = std::char_traits<char16_t>::length(s);
      if (pos_ + n > length_ || std::char_traits<char16_t>::compare(format_ + pos_, s, n) != 0)
        return false;
      pos_ += n;
      return true;
    };
    if (at(u"hh"))
      bits = 8, narrowText = true;
    else if (at(u"h"))
      bits = 16, narrowText = true;
    else if (at(u"ll") || at(u"I64"))
      bits = 64;
    else if (at(u"l"))
      bits = 32, wideText = true;
    else if (at(u"I32"))
      bits = 32;
    else if (at(u"I") || at(u"z"))
      bits = 64;
    else if (at(u"w"))
      wideText = true;
    if (pos_ >= length_) Unsupported(start, "is cut off");
    char16_t type = format_[pos_];

    std::u16string text;
    switch (type) {
      case u'%':
        text = u"%";
        break;
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        uint64_t raw = Slot();
        bool isSigned = type == u'd' || type == u'i';
        bool negative = false;
        uint64_t magnitude;
        if (bits < 64) raw &= (uint64_t{1} << bits) - 1;
        if (isSigned) {
          int64_t v = bits == 64 ? static_cast<int64_t>(raw)
                                 : static_cast<int64_t>(raw << (64 - bits)) >> (64 - bits);
          negative = v < 0;
          magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        } else {
          magnitude = raw;
        }
        unsigned base = type == u'o' ? 8 : (type == u'x' || type == u'X') ? 16 : 10;
        const char *digits = type == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        std::u16string body;
        for (uint64_t v = magnitude; v != 0; v /= base) body.insert(body.begin(), digits[v % base]);
        if (precision < 0 && body.empty()) body = u"0";
        while (precision > 0 && body.size() < static_cast<size_t>(precision))
          body.insert(body.begin(), u'0');
        std::u16string prefix;
        if (negative)
          prefix = u"-";
        else if (isSigned && plus)
          prefix = u"+";
        else if (isSigned && space)
          prefix = u" ";
        if (alternate && magnitude != 0) {
          if (type == u'x') prefix += u"0x";
          if (type == u'X') prefix += u"0X";
          if (type == u'o' && body[0] != u'0') body.insert(body.begin(), u'0');
        }
        if (zero && !left && precision < 0) {
          while (prefix.size() + body.size() < static_cast<size_t>(width))
            body.insert(body.begin(), u'0');
        }
        text = prefix + body;
        break;
      }
      case u'p': {
        uint64_t v = Slot();
        for (int shift = 60; shift >= 0; shift -= 4) text += u"0123456789ABCDEF"[(v >> shift) & 15];
        break;
      }
      case u'c':
      case u'C': {
        auto v = static_cast<uint32_t>(Slot());
        bool narrow = narrowText || (type == u'C' && !wideText);
        text = narrow ? std::u16string(1, static_cast<char16_t>(v & 0xFF))
                      : std::u16string(1, static_cast<char16_t>(v & 0xFFFF));
        break;
      }
      case u's':
      case u'S': {
        auto pointer = static_cast<uintptr_t>(Slot());
        bool narrow = narrowText || (type == u'S' && !wideText);
        size_t limit = precision < 0 ? SIZE_MAX : static_cast<size_t>(precision);
        if (pointer == 0) {
          text = u"(null)";
          if (text.size() > limit) text.resize(limit);
        } else if (narrow) {
          const auto *s = reinterpret_cast<const unsigned char *>(pointer);
          for (size_t i = 0; i < limit && s[i] != 0; ++i) text += static_cast<char16_t>(s[i]);
        } else {
          const auto *s = reinterpret_cast<const char16_t *>(pointer);
          for (size_t i = 0; i < limit && s[i] != 0; ++i) text += s[i];
        }
        break;
      }
      case u'n':
        Unsupported(start, "writes through a pointer, which the kernel's string functions refuse");
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A':
        Unsupported(start, "formats floating point, which the simulated kernel does not");
      case u'Z':
        Unsupported(start, "formats a counted string, which the simulated kernel does not");
      default:
        Unsupported(start, "is not a conversion the simulated kernel formats");
    }
    ++pos_;
    if (text.size() < static_cast<size_t>(width)) {
      std::u16string pad(static_cast<size_t>(width) - text.size(), u' ');
      text = left ? text + pad : pad + text;
    }
    out_ += text;
  }

  int Number() {
    int n = 0;
    while (pos_ < length_ && format_[pos_] >= u'0' && format_[pos_] <= u'9') {
      n = std::min(n * 10 + (format_[pos_] - u'0'), 1 << 20);
      ++pos_;
    }
    return n;
  }

  const char16_t *format_;
  char *args_;
  size_t length_ = 0;
  size_t pos_ = 0;
  std::u16string out_;
};

// At most count characters; the terminator only when there is room for it; -1 when
// the text did not fit.
MS_ABI int Vsnwprintf(char16_t *buffer, size_t count, const char16_t *format, char *args) {
  if (format == nullptr) Refuse(Rule::InvalidParameter, "_vsnwprintf: no format");
  if (buffer == nullptr && count != 0) Refuse(Rule::InvalidParameter, "_vsnwprintf: no buffer");
  std::u16string text = Formatter(format, args).Run();
  if (text.size() > static_cast<size_t>(INT_MAX)) text.resize(INT_MAX);
  if (text.size() <= count) {
    if (!text.empty()) std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
    if (text.size() < count) buffer[text.size()] = 0;
    return static_cast<int>(text.size());
  }
  if (count != 0) std::memcpy(buffer, text.data(), count * sizeof(char16_t));
  return -1;
}

}  // namespace

ExportTable RuntimeLibraryExports() {
  ExportTable t;
  t.Add("ntoskrnl.exe", "memcpy", reinterpret_cast<void *>(&Memcpy));
  t.Add("ntoskrnl.exe", "memmove", reinterpret_cast<void *>(&Memmove));
  t.Add("ntoskrnl.exe", "memset", reinterpret_cast<void *>(&Memset));
  t.Add("ntoskrnl.exe", "memcmp", reinterpret_cast<void *>(&Memcmp));
  t.Add("ntoskrnl.exe", "_vsnwprintf", reinterpret_cast<void *>(&Vsnwprintf));
  return t;
}

}  // namespace sim::image
