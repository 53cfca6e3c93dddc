// Bounded wide-string services of the simulated platform, with the platform's results:
// STATUS_INVALID_PARAMETER for an unusable buffer, STATUS_BUFFER_OVERFLOW for output cut
// to fit (still terminated). The printf family knows the conversions kernel code uses
// here: %d %i %u %x %X %c %s (wide) and %%, with a '0' flag, a width and the l, ll and
// I64 size prefixes. Any other conversion is refused rather than guessed at.
#pragma once

#include <cstdarg>

#include "ntddk.h"

#define NTSTRSAFE_MAX_CCH 2147483647

typedef WCHAR *NTSTRSAFE_PWSTR;
typedef const WCHAR *NTSTRSAFE_PCWSTR;

namespace ntstrsafe_detail {

// Appends to a buffer of `limit` characters, counting what did not fit.
struct Output {
  PWSTR dest;
  size_t limit;
  size_t used;
  bool overflow;

  void Put(WCHAR c) {
    if (used < limit) {
      dest[used++] = c;
    } else {
      overflow = true;
    }
  }
  void Pad(size_t count, WCHAR c) {
    for (size_t i = 0; i < count; ++i) Put(c);
  }
};

inline void PutNumber(Output &out, unsigned long long value, bool negative, unsigned base,
                      bool upper, size_t width, bool zeroPad) {
  WCHAR digits[24];
  size_t n = 0;
  do {
    unsigned d = static_cast<unsigned>(value % base);
    digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : (upper ? u'A' : u'a') + d - 10);
    value /= base;
  } while (value != 0);
  size_t length = n + (negative ? 1 : 0);
  size_t pad = width > length ? width - length : 0;
  if (!zeroPad) out.Pad(pad, u' ');
  if (negative) out.Put(u'-');
  if (zeroPad) out.Pad(pad, u'0');
  while (n > 0) out.Put(digits[--n]);
}

// Returns false for a conversion it does not know.
inline bool Format(Output &out, PCWSTR format, va_list args) {
  for (PCWSTR p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out.Put(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.Put(u'%');
      continue;
    }
    bool zeroPad = false;
    if (*p == u'0') {
      zeroPad = true;
      ++p;
    }
    size_t width = 0;
    while (*p >= u'0' && *p <= u'9') width = width * 10 + static_cast<size_t>(*p++ - u'0');
    bool wide64 = false;
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      wide64 = true;
      p += 3;
    } else if (p[0] == u'l' && p[1] == u'l') {
      wide64 = true;
      p += 2;
    } else if (p[0] == u'l') {
      ++p;  // long is 32 bits on the platform
    }
    switch (*p) {
      case u'd':
      case u'i': {
        long long v = wide64 ? va_arg(args, long long) : va_arg(args, int);
        unsigned long long magnitude =
            v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        PutNumber(out, magnitude, v < 0, 10, false, width, zeroPad);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        unsigned long long v = wide64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
        PutNumber(out, v, false, *p == u'u' ? 10 : 16, *p == u'X', width, zeroPad);
        break;
      }
      case u'c': {
        WCHAR c = static_cast<WCHAR>(va_arg(args, int));
        if (width > 1) out.Pad(width - 1, u' ');
        out.Put(c);
        break;
      }
      case u's': {
        PCWSTR s = va_arg(args, PCWSTR);
        if (s == nullptr) s = u"(null)";
        size_t length = 0;
        while (s[length] != 0) ++length;
        if (width > length) out.Pad(width - length, u' ');
        for (size_t i = 0; i < length; ++i) out.Put(s[i]);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace ntstrsafe_detail

inline NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                     NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  if (pszDest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || pszFormat == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  ntstrsafe_detail::Output out{pszDest, cchDest - 1, 0, false};
  va_list args;
  va_copy(args, argList);
  bool known = ntstrsafe_detail::Format(out, pszFormat, args);
  va_end(args);
  if (!known) {
    pszDest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  pszDest[out.used] = 0;
  return out.overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

inline NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                    NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return status;
}

inline NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t *pcchLength) {
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  size_t length = 0;
  if (psz != nullptr && cchMax <= NTSTRSAFE_MAX_CCH) {
    while (length < cchMax && psz[length] != 0) ++length;
    // No terminator within cchMax characters is an error, as on the platform.
    if (length < cchMax) status = STATUS_SUCCESS;
  }
  if (pcchLength != nullptr) *pcchLength = NT_SUCCESS(status) ? length : 0;
  return status;
}

inline NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                  NTSTRSAFE_PCWSTR pszSrc) {
  if (pszDest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) {
    return STATUS_INVALID_PARAMETER;
  }
  size_t i = 0;
  for (; i + 1 < cchDest && pszSrc[i] != 0; ++i) pszDest[i] = pszSrc[i];
  pszDest[i] = 0;
  return pszSrc[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}
