#pragma once
// The push source filter through which the DirectShow output feeds its audio into a filter graph.
// It has one output pin that offers one PCM media type made from the stream's wave format,
// negotiates a single-sample allocator sized for about one buffer of 1024 frames, and delivers the
// data handed to SendData as time-stamped samples, on the caller's thread.
#include <cstdint>

#include "core/ALAudioFormat.h"
#include "dshow/DSBaseClass.h"

namespace portwise {

// {AC11DC21-BDC9-49D9-BCAE-073AF5C1962C}
inline constexpr GUID CLSID_DSAudioSourceFilter = {
    0xAC11DC21, 0xBDC9, 0x49D9, {0xBC, 0xAE, 0x07, 0x3A, 0xF5, 0xC1, 0x96, 0x2C}};

class TDSAudioSourceFilter;

class TDSAudioSourceStreamPin final : public TDSSourceStreamPin {
 public:
  TDSAudioSourceStreamPin(TDSAudioSourceFilter* AFilter);

  // Audio, PCM and a format block: S_OK; no type: E_POINTER; anything else: E_INVALIDARG.
  HRESULT CheckMediaType(const AM_MEDIA_TYPE* pmt) override;

 protected:
  friend class TDSAudioSourceFilter;
  HRESULT DoBufferSizing(IMemAllocator* AAlloc, ALLOCATOR_PROPERTIES* APropInputRequest) override;
  HRESULT DoGetMediaType(std::int32_t APosition, AM_MEDIA_TYPE* pmt) override;

  TALWaveFormatExtensible FWaveFormat{};
  bool FBasicWaveFormatOnly = false;
  std::uint32_t FFrameDelay = 0;  // milliseconds
};

class TDSAudioSourceFilter final : public TDSBaseSourceFilter {
 public:
  explicit TDSAudioSourceFilter(const CLSID& clsid = CLSID_DSAudioSourceFilter);
  ~TDSAudioSourceFilter() override;

  // Before the filter is connected. A standard format (or any, with BasicWaveFormatOnly) is kept
  // as plain PCM.
  void SetFormat(const TALWaveFormatExtensible& AWaveFormat, bool BasicWaveFormatOnly, std::uint32_t AFaremeDelay);
  // Delivers the bytes downstream in samples of at most the allocator's size, stamped with their
  // share of [StartTime, EndTime] unless both are 0. Waits while the allocator has no free sample;
  // gives up (false) when the pin is not connected, the filter stops or the allocator is
  // decommitted. False too when the last delivery failed.
  bool SendData(const void* Data, std::uint32_t DataSize, REFERENCE_TIME StartTime, REFERENCE_TIME EndTime,
                bool SyncPoint);
  HRESULT DeliverEndOfStream();
  HRESULT Flush();

  TDSAudioSourceStreamPin* GetSourcePin() const { return FSourcePin; }
  IBaseFilter* AsBaseFilter() { return this; }

 private:
  TDSAudioSourceStreamPin* FSourcePin;
};

}  // namespace portwise
