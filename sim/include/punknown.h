// Kernel-mode COM of the simulated platform: IUnknown and the interface macros, with
// the platform's vtable order (QueryInterface, AddRef, Release).
#pragma once

#include "ntddk.h"

typedef LONG HRESULT;

#define STDMETHODCALLTYPE NTAPI
#define STDMETHODVCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODV(method) virtual HRESULT STDMETHODVCALLTYPE method
#define STDMETHODV_(type, method) virtual type STDMETHODVCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define DECLARE_INTERFACE(iface) struct DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) struct DECLSPEC_NOVTABLE iface : public baseiface

#define STATIC_IID_IUnknown \
  0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

#undef INTERFACE
#define INTERFACE IUnknown
DECLARE_INTERFACE(IUnknown) {
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID, PVOID *) PURE;
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;
  STDMETHOD_(ULONG, Release)(THIS) PURE;
};
#undef INTERFACE

typedef IUnknown *PUNKNOWN;

#define DEFINE_ABSTRACT_UNKNOWN()                                                         \
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                                   \
  STDMETHOD_(ULONG, Release)(THIS) PURE;
