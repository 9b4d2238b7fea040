#pragma once
// Seam: DirectShow's types. On Windows they are the system's own declarations; elsewhere
// platform/sim declares the same interfaces, records and identifiers. The system objects
// themselves (device enumerator, filter graph, capture graph builder, allocators, clocks,
// renderers, capture filters, the sample grabber) are created through ICom::CoCreateInstance and
// bound from monikers; the simulation provides them in platform/sim/SimDShow.h.
//
// Contract for users: only the names declared in platform/sim/DShowDecl.h and below may be used
// outside platform/, so that the simulated build sees everything the Windows build sees. Strings
// cross the interfaces as UTF-16 (OLECHAR); ToOle / FromOle convert from and to UTF-8.
#include <cstddef>
#include <string>

#include "platform/Com.h"

#if defined(_WIN32)
// Not <dshow.h>: it brings the waveform-audio and window macros, which would rename the wave
// seam's own names wherever both are seen.
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <strmif.h>
#include <control.h>
#include <evcode.h>
#include <uuids.h>
#include <vfwmsgs.h>
#include <mmreg.h>
// The seam has methods of these names; the Windows headers' macros would rename them.
#undef PostMessage
#undef GetTimeFormat
#undef GetObject
#undef IsMinimized
#undef FormatMessage
#else
#include "platform/sim/DShowDecl.h"
#endif

// The sample grabber: no system header of the Windows toolchain declares it. Identifiers have
// internal linkage so they never meet a library's definition.
constexpr GUID CLSID_SampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
constexpr GUID IID_ISampleGrabber = {0x6B652FFF, 0x11FE, 0x4FCE, {0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7, 0xC7, 0x8F}};
constexpr GUID IID_ISampleGrabberCB = {0x0579154A, 0x2B53, 0x4994, {0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85}};

struct ISampleGrabberCB : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SampleCB(double SampleTime, IMediaSample* pSample) = 0;
  virtual HRESULT STDMETHODCALLTYPE BufferCB(double SampleTime, BYTE* pBuffer, LONG BufferLen) = 0;

 protected:
  ~ISampleGrabberCB() = default;
};

struct ISampleGrabber : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetOneShot(BOOL OneShot) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* pType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE* pType) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL BufferThem) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentBuffer(LONG* pBufferSize, LONG* pBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample** ppSample) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB* pCallback, LONG WhichMethodToCallback) = 0;

 protected:
  ~ISampleGrabber() = default;
};

namespace portwise::platform {

using TOleString = std::basic_string<OLECHAR>;

// UTF-8 to UTF-16 and back; ill-formed input becomes U+FFFD.
TOleString ToOle(const std::string& utf8);
std::string FromOle(const OLECHAR* text, std::size_t length);
std::string FromOle(const OLECHAR* text);  // up to the terminating NUL; empty for null

// The wave format block of a media type, read without alignment assumptions.
inline WAVEFORMATEX ReadWaveFormatEx(const BYTE* block) {
  WAVEFORMATEX w;
  std::memcpy(&w, block, sizeof w);
  return w;
}

}  // namespace portwise::platform
