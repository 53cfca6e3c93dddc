// The one door from the driver to the platform: the kernel and kernel-streaming
// declarations, from the Windows kernel headers or from the simulation's copies.
// Platform conditionals belong here and nowhere else in driver/.
#pragma once

#if defined(_WIN32)

// wdm.h and the compiler's intrinsic header both define these two; let wdm.h win.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

// ks.h declares IKsReferenceClock and KsPinGetReferenceClockInterface only when
// IUnknown is already known.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#include <punknown.h>

// The headers lack the version-2 device descriptor, whose Flags live in the tail
// padding of the same 32 bytes. Take theirs under another name and publish the
// complete one; the class driver reads Flags only when Version asks for it.
#define KSDEVICE_DESCRIPTOR KSDEVICE_DESCRIPTOR_V1
#define PKSDEVICE_DESCRIPTOR PKSDEVICE_DESCRIPTOR_V1
#include <ks.h>
#undef KSDEVICE_DESCRIPTOR
#undef PKSDEVICE_DESCRIPTOR

typedef struct _KSDEVICE_DESCRIPTOR_V2 {
  const KSDEVICE_DISPATCH *Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR *const *FilterDescriptors;
  ULONG Version;
  ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

#ifndef KSDEVICE_DESCRIPTOR_VERSION_2
#define KSDEVICE_DESCRIPTOR_VERSION_2 0x110
#endif
#ifndef KSDEVICE_FLAG_ENABLE_REMOTE_WAKEUP
#define KSDEVICE_FLAG_ENABLE_REMOTE_WAKEUP 0x00000001
#endif

static_assert(sizeof(KSDEVICE_DESCRIPTOR) == sizeof(KSDEVICE_DESCRIPTOR_V1) &&
                  offsetof(KSDEVICE_DESCRIPTOR, Version) ==
                      offsetof(KSDEVICE_DESCRIPTOR_V1, Version),
              "the version-2 descriptor must extend version 1 in place");

inline NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   const KSDEVICE_DESCRIPTOR *Descriptor) {
  return KsInitializeDriver(DriverObject, RegistryPathName,
                            reinterpret_cast<const KSDEVICE_DESCRIPTOR_V1 *>(Descriptor));
}

// WAVEFORMATEX and KSDATAFORMAT_WAVEFORMATEX need mmreg.h first; ksmedia.h uses TCHAR.
#ifndef NOBITMAP
#define NOBITMAP
#endif
#include <mmreg.h>
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif
#include <ksmedia.h>

// Without optimisation the safe-string functions would be declared but never defined.
#pragma push_macro("__CRT__NO_INLINE")
#undef __CRT__NO_INLINE
#include <ntstrsafe.h>
#pragma pop_macro("__CRT__NO_INLINE")

// The x64 headers leave KeMemoryBarrier out; a full fence orders register accesses too.
#if defined(_M_AMD64) || defined(__x86_64__)
#ifndef KeMemoryBarrier
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#endif
#endif

// Video subtypes the headers do not carry. FOURCC subtypes are
// {FOURCC-0000-0010-8000-00AA00389B71}, the RGB ones have their own family.
#define MORVANE_FOURCC_SUBTYPE(fourcc) \
  fourcc, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_YUY2
#define STATIC_KSDATAFORMAT_SUBTYPE_YUY2 MORVANE_FOURCC_SUBTYPE(0x32595559)
#define STATIC_KSDATAFORMAT_SUBTYPE_UYVY MORVANE_FOURCC_SUBTYPE(0x59565955)
#define STATIC_KSDATAFORMAT_SUBTYPE_Y41P MORVANE_FOURCC_SUBTYPE(0x50313459)
#define STATIC_KSDATAFORMAT_SUBTYPE_Y411 MORVANE_FOURCC_SUBTYPE(0x31313459)
#define STATIC_KSDATAFORMAT_SUBTYPE_IYUV MORVANE_FOURCC_SUBTYPE(0x56555949)
#define STATIC_KSDATAFORMAT_SUBTYPE_YV12 MORVANE_FOURCC_SUBTYPE(0x32315659)
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB565 \
  0xe436eb7b, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB555 \
  0xe436eb7c, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
inline constexpr GUID KSDATAFORMAT_SUBTYPE_YUY2 = {STATIC_KSDATAFORMAT_SUBTYPE_YUY2};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_UYVY = {STATIC_KSDATAFORMAT_SUBTYPE_UYVY};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_Y41P = {STATIC_KSDATAFORMAT_SUBTYPE_Y41P};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_Y411 = {STATIC_KSDATAFORMAT_SUBTYPE_Y411};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IYUV = {STATIC_KSDATAFORMAT_SUBTYPE_IYUV};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_YV12 = {STATIC_KSDATAFORMAT_SUBTYPE_YV12};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RGB565 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB565};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RGB555 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB555};
#endif

// Wide string literals: WCHAR is 2 bytes on both platforms, wchar_t only on Windows.
#define KTEXT(s) L##s

#else  // the simulated platform

#include <ntddk.h>
#include <punknown.h>
#include <ks.h>
#include <mmreg.h>
#include <ksmedia.h>
#include <ntstrsafe.h>

#define KTEXT(s) u##s

#endif

// Placement new only: objects live in pool blocks the driver allocates itself.
#include <new>
