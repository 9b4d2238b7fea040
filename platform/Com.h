#pragma once
// Seam: COM types. On Windows they are the system's own declarations; elsewhere the same types are
// declared here, in the published layout and order, so that the ASIO and DirectShow code compiles
// unchanged on both. The COM services themselves (CoInitialize, CoCreateInstance, ...) are
// reached through the platform object (see ComServices.h).
//
// Contract for users: only the names declared in the non-Windows branch below may be used outside
// platform/, so that the simulated build sees everything the Windows build sees.
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <objbase.h>
// The seam has methods of these names; the A/W macros would rename them.
#undef PostMessage
#undef GetTimeFormat
#undef FormatMessage  // ESLException has a method of that name
#else

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }

#define STDMETHODCALLTYPE
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

// The root of every COM interface. The destructor is protected: objects end through Release.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

#endif
