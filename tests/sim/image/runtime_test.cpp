// The runtime library routines images import, in the images' calling convention.
#include <gtest/gtest.h>

#include <cstring>

#include "image_rig.h"
#include "sim/kernel/machine.h"
#include "support/verifier_expect.h"

namespace {

using image_rig::Function;
using sim::Machine;
using sim::Rule;
using sim::image::RuntimeLibraryExports;

using Vsnwprintf = int(MS_ABI *)(char16_t *, size_t, const char16_t *, __builtin_ms_va_list);

// Calls the adapter the way an image does: with a Microsoft va_list of 8-byte slots.
MS_ABI int Format(char16_t *buffer, size_t count, const char16_t *format, ...) {
  auto fn =
      reinterpret_cast<Vsnwprintf>(RuntimeLibraryExports().Find("ntoskrnl.exe", "_vsnwprintf"));
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, format);
  int n = fn(buffer, count, format, args);
  __builtin_ms_va_end(args);
  return n;
}

std::u16string Text(const char16_t *s) { return s; }

TEST(RuntimeLibrary, VsnwprintfFormatsFromMicrosoftArgumentSlots) {
  char16_t b[64];
  EXPECT_EQ(Format(b, 64, u"Preview%d", 7), 8);
  EXPECT_EQ(Text(b), u"Preview7");
  // 4-byte values in 8-byte slots, wide and narrow strings, 64-bit and pointer slots.
  Format(b, 64, u"%s|%08X|%I64d|%c|%hs", u"ch", 0xBEEFu, -5000000000LL, u'Z', "ok");
  EXPECT_EQ(Text(b), u"ch|0000BEEF|-5000000000|Z|ok");
  Format(b, 64, u"[%-4d][%4d][%.3u][%+d][%#x][%o]", 12, -3, 7u, 5, 255u, 8u);
  EXPECT_EQ(Text(b), u"[12  ][  -3][007][+5][0xff][10]");
  Format(b, 64, u"%u %ld %lld %hd", -1, -2, 1LL << 40, 70000);
  EXPECT_EQ(Text(b), u"4294967295 -2 1099511627776 4464");
  Format(b, 64, u"%p %*d %.2ls %s%%", reinterpret_cast<void *>(0xABCDEF), 3, 9, u"wide", nullptr);
  EXPECT_EQ(Text(b), u"0000000000ABCDEF   9 wi (null)%");
}

TEST(RuntimeLibrary, VsnwprintfWritesAtMostCountAndTerminatesOnlyWithRoom) {
  char16_t b[16];
  std::fill(std::begin(b), std::end(b), u'#');
  EXPECT_EQ(Format(b, 8, u"Preview%d", 1), 8);  // exactly fits: no terminator
  EXPECT_EQ(std::u16string(b, 9), u"Preview1#");
  std::fill(std::begin(b), std::end(b), u'#');
  EXPECT_EQ(Format(b, 5, u"Preview%d", 1), -1);  // does not fit: five characters, -1
  EXPECT_EQ(std::u16string(b, 6), u"Previ#");
  EXPECT_EQ(Format(nullptr, 0, u""), 0);
  EXPECT_EQ(Format(nullptr, 0, u"x"), -1);
}

TEST(RuntimeLibrary, VsnwprintfRefusesWhatItDoesNotFormat) {
  Machine m;
  char16_t b[16];
  EXPECT_VERIFIER_STOP(Rule::Unemulated, Format(b, 16, u"%f", 1.0));
  EXPECT_VERIFIER_STOP(Rule::Unemulated, Format(b, 16, u"%n", b));
  EXPECT_VERIFIER_STOP(Rule::Unemulated, Format(b, 16, u"%wZ", nullptr));
  EXPECT_VERIFIER_STOP(Rule::InvalidParameter, Format(b, 16, nullptr));
  EXPECT_VERIFIER_STOP(Rule::InvalidParameter, Format(nullptr, 4, u"x"));
  try {
    Format(b, 16, u"Channel %3.1f", 1.0);
  } catch (const sim::VerifierStop &stop) {
    EXPECT_NE(std::string(stop.what()).find("\"%3.1f\" in \"Channel %3.1f\""), std::string::npos)
        << stop.what();
  }
}

TEST(RuntimeLibrary, MemoryRoutinesKeepTheKernelsSemantics) {
  auto table = RuntimeLibraryExports();
  auto copy = reinterpret_cast<void *(MS_ABI *)(void *, const void *, size_t)>(
      table.Find("ntoskrnl.exe", "memcpy"));
  auto set =
      reinterpret_cast<void *(MS_ABI *)(void *, int, size_t)>(table.Find("ntoskrnl.exe", "memset"));
  auto compare = reinterpret_cast<int(MS_ABI *)(const void *, const void *, size_t)>(
      table.Find("ntoskrnl.exe", "memcmp"));
  char s[] = "abcdefgh";
  copy(s + 2, s, 5);  // overlapping, as the kernel's memcpy allows
  EXPECT_STREQ(s, "ababcdeh");
  set(s, 'z', 3);
  EXPECT_STREQ(s, "zzzbcdeh");
  EXPECT_LT(compare("abc", "abd", 3), 0);
  EXPECT_EQ(compare("abc", "abd", 2), 0);
}

// The image's own RtlStringCchPrintfW (an inline of the platform's headers) over the
// adapter: what the driver does for "Preview%d".
TEST(RuntimeLibrary, TheImagesSafeStringFunctionsFormatThroughTheAdapter) {
  REQUIRE_WINDOWS_FILE(path, "tests/sim/image/probe/probe.sys");
  auto image = sim::image::Image::LoadFile(path, image_rig::ProbeExports());
  auto format = Function<int32_t, char16_t *, size_t, int>(*image, "ProbeFormat");
  char16_t b[16];
  EXPECT_EQ(format(b, 16, 3), 0);
  EXPECT_EQ(Text(b), u"Preview3");
  EXPECT_EQ(format(b, 5, 12345), static_cast<int32_t>(0x80000005));  // STATUS_BUFFER_OVERFLOW
  EXPECT_EQ(Text(b), u"Prev");
  auto mixed = Function<int32_t, char16_t *, size_t, const char16_t *, uint32_t, int64_t>(
      *image, "ProbeFormatMixed");
  char16_t wide[32];
  EXPECT_EQ(mixed(wide, 32, u"x", 0xAB, -42), 0);
  EXPECT_EQ(Text(wide), u"x|000000AB|-42|!");
}

}  // namespace
