#include "dshow/DSAudioSourceFilter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace portwise {

namespace {

constexpr std::size_t KWaveFormatExSize = 18;

// {tag-0000-0010-8000-00AA00389B71}: the subtype of a wave format tag.
GUID SubtypeOfTag(std::uint16_t ATag) {
  GUID g = MEDIASUBTYPE_PCM;
  g.Data1 = ATag;
  return g;
}

}  // namespace

// ------------------------------------------------------------------ pin

TDSAudioSourceStreamPin::TDSAudioSourceStreamPin(TDSAudioSourceFilter* AFilter)
    : TDSSourceStreamPin("AudioOutput", AFilter, "AudioOutput") {}

HRESULT TDSAudioSourceStreamPin::CheckMediaType(const AM_MEDIA_TYPE* pmt) {
  if (!pmt) return E_POINTER;
  if (pmt->majortype == MEDIATYPE_Audio && pmt->subtype == MEDIASUBTYPE_PCM && pmt->pbFormat && pmt->cbFormat)
    return S_OK;
  return E_INVALIDARG;
}

HRESULT TDSAudioSourceStreamPin::DoGetMediaType(std::int32_t APosition, AM_MEDIA_TYPE* pmt) {
  if (APosition < 0) return E_INVALIDARG;
  if (APosition > 0) return VFW_S_NO_MORE_ITEMS;
  if (!pmt) return E_POINTER;
  const TALWaveFormatExtensible& w = FWaveFormat;
  AM_MEDIA_TYPE mt{};
  mt.majortype = MEDIATYPE_Audio;
  mt.formattype = FORMAT_WaveFormatEx;
  mt.bFixedSizeSamples = TRUE;
  mt.bTemporalCompression = FALSE;
  std::size_t blockSize;
  bool bPlain;
  if (!FBasicWaveFormatOnly) {
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.lSampleSize = 1;
    bPlain = !(w.nChannels > 2 || w.wBitsPerSample > 16);
    blockSize = bPlain ? KWaveFormatExSize : KWaveFormatExSize + w.cbSize;
  } else {
    if (w.wFormatTag == ALWaveFormatExtensibleTag) {
      std::memcpy(&mt.subtype, &w.SubFormat, sizeof mt.subtype);
    } else {
      mt.subtype = SubtypeOfTag(w.wFormatTag);
    }
    mt.lSampleSize = w.nBlockAlign;
    bPlain = w.wFormatTag == 1;
    blockSize = bPlain ? KWaveFormatExSize : KWaveFormatExSize + w.cbSize;
  }
  // Never more than the record holds.
  blockSize = std::min(blockSize, sizeof(TALWaveFormatExtensible));
  mt.pbFormat = static_cast<BYTE*>(DSCom().CoTaskMemAlloc(blockSize));
  if (!mt.pbFormat) return E_OUTOFMEMORY;
  std::memcpy(mt.pbFormat, &w, blockSize);
  if (bPlain) {
    const std::uint16_t tag = 1, cbSize = 0;
    std::memcpy(mt.pbFormat + offsetof(TALWaveFormatExtensible, wFormatTag), &tag, sizeof tag);
    std::memcpy(mt.pbFormat + offsetof(TALWaveFormatExtensible, cbSize), &cbSize, sizeof cbSize);
  }
  mt.cbFormat = static_cast<ULONG>(blockSize);
  *pmt = mt;
  return S_OK;
}

HRESULT TDSAudioSourceStreamPin::DoBufferSizing(IMemAllocator* AAlloc, ALLOCATOR_PROPERTIES* APropInputRequest) {
  if (!AAlloc || !APropInputRequest) return E_POINTER;
  const AM_MEDIA_TYPE& mt = Fmt.Get();
  if (!mt.pbFormat || mt.cbFormat < 16) return E_UNEXPECTED;
  const WAVEFORMATEX w = platform::ReadWaveFormatEx(mt.pbFormat);
  APropInputRequest->cBuffers = 1;
  APropInputRequest->cbBuffer = static_cast<LONG>(
      (static_cast<std::uint64_t>(w.nSamplesPerSec) * (FFrameDelay + 2) / 1000 + 1) * w.nBlockAlign);
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = AAlloc->SetProperties(APropInputRequest, &actual);
  if (FAILED(hr)) return hr;
  if (actual.cbBuffer < APropInputRequest->cbBuffer) return E_FAIL;
  return S_OK;
}

// ------------------------------------------------------------------ filter

TDSAudioSourceFilter::TDSAudioSourceFilter(const CLSID& clsid)
    : TDSBaseSourceFilter("AudioSource", nullptr, clsid), FSourcePin(new TDSAudioSourceStreamPin(this)) {}

TDSAudioSourceFilter::~TDSAudioSourceFilter() { delete FSourcePin; }

void TDSAudioSourceFilter::SetFormat(const TALWaveFormatExtensible& AWaveFormat, bool BasicWaveFormatOnly,
                                     std::uint32_t AFaremeDelay) {
  std::lock_guard g(*FLock);
  FSourcePin->FWaveFormat = AWaveFormat;
  FSourcePin->FFrameDelay = AFaremeDelay;
  FSourcePin->FBasicWaveFormatOnly = BasicWaveFormatOnly;
  if (IsStandardWaveFormat(AWaveFormat) || BasicWaveFormatOnly) {
    FSourcePin->FWaveFormat.wFormatTag = 1;
    FSourcePin->FWaveFormat.cbSize = 0;
  }
}

bool TDSAudioSourceFilter::SendData(const void* Data, std::uint32_t DataSize, REFERENCE_TIME StartTime,
                                    REFERENCE_TIME EndTime, bool SyncPoint) {
  TDSAudioSourceStreamPin* pin = FSourcePin;
  if (!pin->IsConnected()) return false;
  const auto* data = static_cast<const BYTE*>(Data);
  std::uint32_t remaining = DataSize;
  std::uint64_t delivered = 0;
  REFERENCE_TIME t = StartTime;
  const bool bTimed = StartTime != 0 || EndTime != 0;
  HRESULT last = S_OK;
  do {
    TRefPtr<IMediaSample> sample;
    for (;;) {
      HRESULT hr = pin->GetDeliveryBuffer(sample, nullptr, nullptr, 0);
      if (SUCCEEDED(hr) && sample) break;
      // A stop decommits the allocator: nothing will come back until the next run.
      if (hr == VFW_E_NOT_COMMITTED || !pin->IsConnected() || IsStopped()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    BYTE* target = nullptr;
    sample->GetPointer(&target);
    const std::uint32_t size = static_cast<std::uint32_t>(std::max<LONG>(sample->GetSize(), 0));
    const std::uint32_t n = std::min(size, remaining);
    if (n) std::memcpy(target, data, n);
    data += n;
    remaining -= n;
    delivered += n;
    sample->SetActualDataLength(static_cast<LONG>(n));
    if (bTimed) {
      // Each piece gets its share of the interval; the last one ends on EndTime.
      REFERENCE_TIME e = remaining == 0 || DataSize == 0
                             ? EndTime
                             : StartTime + (EndTime - StartTime) * static_cast<REFERENCE_TIME>(delivered) /
                                               static_cast<REFERENCE_TIME>(DataSize);
      sample->SetTime(&t, &e);
      t = e;
      sample->SetSyncPoint(SyncPoint ? TRUE : FALSE);
    }
    last = pin->Deliver(sample.Get());
  } while (remaining > 0);
  return SUCCEEDED(last);
}

HRESULT TDSAudioSourceFilter::DeliverEndOfStream() { return FSourcePin->DeliverEndOfStream(); }

HRESULT TDSAudioSourceFilter::Flush() {
  HRESULT hr = FSourcePin->DeliverBeginFlush();
  if (hr == VFW_E_NOT_CONNECTED) return hr;
  return FSourcePin->DeliverEndFlush();
}

}  // namespace portwise
