// The simulated audio capture filter (a capture pin with stream configuration and buffer
// negotiation, delivering one buffer per buffer period from its own streaming thread) and the
// sample grabber (an in-place filter that hands every sample to its callback).
#include <algorithm>
#include <cstring>

#include "platform/sim/SimDShowObjects.h"

namespace portwise::platform::sim {

namespace {

constexpr std::size_t kCapsSize = sizeof(AUDIO_STREAM_CONFIG_CAPS);
static_assert(kCapsSize == 52);

WAVEFORMATEX Pcm(DWORD rate, WORD bits, WORD channels) {
  WAVEFORMATEX w{};
  w.wFormatTag = WAVE_FORMAT_PCM;
  w.nChannels = channels;
  w.nSamplesPerSec = rate;
  w.wBitsPerSample = bits;
  w.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  w.nAvgBytesPerSec = rate * w.nBlockAlign;
  return w;
}

class TSimCapture;

class TCapturePin final : public TSimOutputPin, public IAMStreamConfig, public IAMBufferNegotiation {
 public:
  TCapturePin(TSimFilter& filter, std::vector<WAVEFORMATEX> formats)
      : TSimOutputPin(filter, "Capture", PINDIR_OUTPUT, PIN_CATEGORY_CAPTURE), FFormats(std::move(formats)) {
    FFormat = FFormats.front();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return TSimPin::QueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return TSimPin::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return TSimPin::Release(); }

  // --- IAMStreamConfig
  HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE* pmt) override {
    if (!pmt) return E_POINTER;
    std::lock_guard g(FFilter.Lock());
    if (FFilter.State() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (FPeer) return VFW_E_ALREADY_CONNECTED;
    WAVEFORMATEX w;
    if (!SimWaveFormat(*pmt, w) || !Capable(w)) return VFW_E_INVALIDMEDIATYPE;
    FFormat = w;
    FFormat.wFormatTag = WAVE_FORMAT_PCM;
    FFormat.cbSize = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE** pmt) override {
    if (!pmt) return E_POINTER;
    std::lock_guard g(FFilter.Lock());
    AM_MEDIA_TYPE mt;
    SimAudioType(FFilter.Com(), mt, FFormat);
    *pmt = SimCreateMediaType(FFilter.Com(), mt);
    SimFreeMediaType(FFilter.Com(), mt);
    return *pmt ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int* piCount, int* piSize) override {
    if (!piCount || !piSize) return E_POINTER;
    *piCount = static_cast<int>(FFormats.size());
    *piSize = static_cast<int>(kCapsSize);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamCaps(int iIndex, AM_MEDIA_TYPE** pmt, BYTE* pSCC) override {
    if (!pmt || !pSCC) return E_POINTER;
    *pmt = nullptr;
    if (iIndex < 0) return E_INVALIDARG;
    if (iIndex >= static_cast<int>(FFormats.size())) return S_FALSE;
    AM_MEDIA_TYPE mt;
    SimAudioType(FFilter.Com(), mt, FFormats[static_cast<std::size_t>(iIndex)]);
    *pmt = SimCreateMediaType(FFilter.Com(), mt);
    SimFreeMediaType(FFilter.Com(), mt);
    AUDIO_STREAM_CONFIG_CAPS caps = Caps();
    std::memcpy(pSCC, &caps, sizeof caps);
    return *pmt ? S_OK : E_OUTOFMEMORY;
  }

  // --- IAMBufferNegotiation
  HRESULT STDMETHODCALLTYPE SuggestAllocatorProperties(const ALLOCATOR_PROPERTIES* prop) override {
    if (!prop) return E_POINTER;
    std::lock_guard g(FFilter.Lock());
    if (FPeer) return VFW_E_ALREADY_CONNECTED;
    FSuggested = *prop;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAllocatorProperties(ALLOCATOR_PROPERTIES* prop) override {
    if (!prop) return E_POINTER;
    std::lock_guard g(FFilter.Lock());
    if (!FAllocator) return E_FAIL;
    return FAllocator->GetProperties(prop);
  }

  // Streaming side, read once a run starts.
  WAVEFORMATEX Format() {
    std::lock_guard g(FFilter.Lock());
    return FFormat;
  }
  LONG BufferBytes() {
    ALLOCATOR_PROPERTIES p{};
    std::lock_guard g(FFilter.Lock());
    if (FAllocator) FAllocator->GetProperties(&p);
    return p.cbBuffer;
  }

 protected:
  HRESULT QueryMore(REFIID riid, void** ppv) override {
    if (riid == IID_IAMStreamConfig) return SimAnswer(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IAMBufferNegotiation) return SimAnswer(static_cast<IAMBufferNegotiation*>(this), ppv);
    return TSimOutputPin::QueryMore(riid, ppv);
  }
  HRESULT CheckType(const AM_MEDIA_TYPE& mt) override {
    WAVEFORMATEX w;
    return SimWaveFormat(mt, w) && mt.subtype == MEDIASUBTYPE_PCM && Capable(w) ? S_OK : S_FALSE;
  }
  std::vector<TSimMediaType> OfferedTypes() override {
    AM_MEDIA_TYPE mt;
    SimAudioType(FFilter.Com(), mt, Format());
    TSimMediaType t(FFilter.Com());
    t.Set(mt);
    SimFreeMediaType(FFilter.Com(), mt);
    return {t};
  }
  void Requirements(const AM_MEDIA_TYPE& mt, ALLOCATOR_PROPERTIES& props) override {
    WAVEFORMATEX w;
    if (!SimWaveFormat(mt, w)) w = FFormat;
    const LONG align = w.nBlockAlign ? w.nBlockAlign : 1;
    props.cBuffers = FSuggested.cBuffers > 0 ? FSuggested.cBuffers : 4;
    // Half a second per buffer unless told otherwise, in whole frames.
    LONG bytes = FSuggested.cbBuffer > 0 ? FSuggested.cbBuffer : static_cast<LONG>(w.nAvgBytesPerSec / 2);
    bytes -= bytes % align;
    props.cbBuffer = bytes > 0 ? bytes : align;
    props.cbAlign = 1;
    props.cbPrefix = 0;
  }

 private:
  AUDIO_STREAM_CONFIG_CAPS Caps() const {
    AUDIO_STREAM_CONFIG_CAPS c{};
    c.guid = MEDIATYPE_Audio;
    c.MinimumChannels = 1;
    c.ChannelsGranularity = 1;
    c.MinimumBitsPerSample = 8;
    c.BitsPerSampleGranularity = 8;
    c.MinimumSampleFrequency = 0xFFFFFFFF;
    c.SampleFrequencyGranularity = 1;
    for (const WAVEFORMATEX& f : FFormats) {
      // The record is packed: its fields are read by value.
      const ULONG channels = f.nChannels, bits = f.wBitsPerSample, rate = f.nSamplesPerSec;
      c.MaximumChannels = std::max(c.MaximumChannels, channels);
      c.MaximumBitsPerSample = std::max(c.MaximumBitsPerSample, bits);
      c.MinimumSampleFrequency = std::min(c.MinimumSampleFrequency, rate);
      c.MaximumSampleFrequency = std::max(c.MaximumSampleFrequency, rate);
    }
    return c;
  }
  bool Capable(const WAVEFORMATEX& w) const {
    const AUDIO_STREAM_CONFIG_CAPS c = Caps();
    if (w.wFormatTag != WAVE_FORMAT_PCM && w.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return false;
    if (w.nChannels < c.MinimumChannels || w.nChannels > c.MaximumChannels) return false;
    if (w.wBitsPerSample < c.MinimumBitsPerSample || w.wBitsPerSample > c.MaximumBitsPerSample ||
        w.wBitsPerSample % 8)
      return false;
    if (w.nSamplesPerSec < c.MinimumSampleFrequency || w.nSamplesPerSec > c.MaximumSampleFrequency) return false;
    return w.nBlockAlign == w.nChannels * w.wBitsPerSample / 8 && w.nAvgBytesPerSec == w.nSamplesPerSec * w.nBlockAlign;
  }

  std::vector<WAVEFORMATEX> FFormats;
  WAVEFORMATEX FFormat;
  ALLOCATOR_PROPERTIES FSuggested{-1, -1, -1, -1};
};

class TSimCapture final : public TSimFilter {
 public:
  TSimCapture(TWorldPtr world) : TSimFilter(std::move(world), GUID_NULL) {
    std::vector<WAVEFORMATEX> formats;
    {
      std::lock_guard g(FWorld->Mutex);
      formats = FWorld->CaptureFormats;
    }
    if (formats.empty()) formats = {Pcm(44100, 16, 2), Pcm(44100, 16, 1), Pcm(22050, 16, 2), Pcm(11025, 8, 1)};
    GUID clsid;
    GuidFromString("{E30629D2-27E5-11CE-875D-00608CB78066}", clsid);
    FClsid = clsid;
    FPins.push_back(std::make_unique<TCapturePin>(*this, std::move(formats)));
  }
  ~TSimCapture() override { StopStreaming(); }

 protected:
  void OnStopped() override {
    StopStreaming();
    Pin().Decommit();
    FFrames = 0;
  }
  void OnPaused(FILTER_STATE from) override {
    if (from == State_Stopped) {
      Pin().Commit();
    } else {
      StopStreaming();
    }
  }
  void OnRunning(REFERENCE_TIME) override {
    if (!Pin().IsConnected()) return;
    {
      std::lock_guard g(FStream);
      FStreams = true;
    }
    FThread = std::thread([this] { Stream(); });
  }

 private:
  TCapturePin& Pin() { return static_cast<TCapturePin&>(*FPins[0]); }

  void StopStreaming() {
    {
      std::lock_guard g(FStream);
      FStreams = false;
    }
    FChanged.notify_all();
    // A delivery that waits for a free buffer ends with the decommit.
    if (FThread.joinable()) {
      Pin().Decommit();
      FThread.join();
      if (State() != State_Stopped) Pin().Commit();
    }
  }

  // One buffer per buffer period, in real time, stamped with its place in the stream.
  void Stream() {
    const WAVEFORMATEX w = Pin().Format();
    const LONG align = w.nBlockAlign ? w.nBlockAlign : 1;
    LONG bytes = Pin().BufferBytes();
    bytes -= bytes % align;
    if (bytes <= 0 || w.nAvgBytesPerSec == 0) return;
    const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(bytes) * 1000000000 / w.nAvgBytesPerSec);
    auto due = std::chrono::steady_clock::now() + period;
    bool first = true;
    for (;;) {
      {
        std::unique_lock lk(FStream);
        if (FChanged.wait_until(lk, due, [&] { return !FStreams; })) return;
      }
      due += period;
      TRefPtr<IMediaSample> sample;
      if (FAILED(Pin().GetDeliveryBuffer(sample))) {
        std::lock_guard g(FStream);
        if (!FStreams) return;
        continue;
      }
      BYTE* data = nullptr;
      sample->GetPointer(&data);
      const LONG n = std::min(bytes, sample->GetSize() - sample->GetSize() % align);
      const std::uint64_t frames = static_cast<std::uint64_t>(n / align);
      std::memset(data, 0, static_cast<std::size_t>(n));
      if (w.wBitsPerSample == 16) {
        for (std::uint64_t f = 0; f < frames; ++f) {
          const auto v = static_cast<std::uint16_t>((FFrames + f) & 0x7FFF);
          for (WORD c = 0; c < w.nChannels; ++c) {
            data[(f * w.nChannels + c) * 2] = static_cast<BYTE>(v & 0xFF);
            data[(f * w.nChannels + c) * 2 + 1] = static_cast<BYTE>(v >> 8);
          }
        }
      }
      REFERENCE_TIME start = static_cast<REFERENCE_TIME>(FFrames * 10000000 / w.nSamplesPerSec);
      REFERENCE_TIME end = static_cast<REFERENCE_TIME>((FFrames + frames) * 10000000 / w.nSamplesPerSec);
      FFrames += frames;
      sample->SetActualDataLength(n);
      sample->SetTime(&start, &end);
      sample->SetSyncPoint(TRUE);
      sample->SetDiscontinuity(first ? TRUE : FALSE);
      first = false;
      Pin().Deliver(sample.Get());
    }
  }

  std::mutex FStream;
  std::condition_variable FChanged;
  bool FStreams = false;
  std::uint64_t FFrames = 0;  // only the streaming thread and stopped states touch it
  std::thread FThread;
};

// ---------------------------------------------------------------- sample grabber

class TSimGrabber;

class TGrabberIn final : public TSimInputPin {
 public:
  TGrabberIn(TSimGrabber& grabber);
  HRESULT STDMETHODCALLTYPE Receive(IMediaSample* pSample) override;
  HRESULT STDMETHODCALLTYPE EndOfStream() override;
  HRESULT STDMETHODCALLTYPE BeginFlush() override;
  HRESULT STDMETHODCALLTYPE EndFlush() override;

 protected:
  HRESULT CheckType(const AM_MEDIA_TYPE& mt) override;

 private:
  TSimGrabber& FGrabber;
};

class TGrabberOut final : public TSimOutputPin {
 public:
  TGrabberOut(TSimGrabber& grabber);

 protected:
  HRESULT CheckType(const AM_MEDIA_TYPE& mt) override;
  std::vector<TSimMediaType> OfferedTypes() override;
  void Requirements(const AM_MEDIA_TYPE& mt, ALLOCATOR_PROPERTIES& props) override {
    (void)mt;
    props = ALLOCATOR_PROPERTIES{1, 1, 1, 0};
  }

 private:
  TSimGrabber& FGrabber;
};

class TSimGrabber final : public TSimFilter, public ISampleGrabber {
 public:
  explicit TSimGrabber(TWorldPtr world) : TSimFilter(std::move(world), CLSID_SampleGrabber), FWanted(FWorld->Com) {
    FPins.push_back(std::make_unique<TGrabberIn>(*this));
    FPins.push_back(std::make_unique<TGrabberOut>(*this));
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return TSimFilter::QueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE SetOneShot(BOOL OneShot) override {
    std::lock_guard g(FLock);
    FOneShot = OneShot != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* pType) override {
    std::lock_guard g(FLock);
    if (pType) {
      FWanted.Set(*pType);
    } else {
      FWanted.Clear();
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE* pType) override {
    if (!pType) return E_POINTER;
    TSimMediaType mt(Com());
    if (!In().ConnectionType(mt)) return VFW_E_NOT_CONNECTED;
    return SimCopyMediaType(Com(), *pType, mt.Get());
  }
  HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL BufferThem) override {
    std::lock_guard g(FLock);
    FBufferSamples = BufferThem != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentBuffer(LONG* pBufferSize, LONG* pBuffer) override {
    if (!pBufferSize) return E_POINTER;
    std::lock_guard g(FLock);
    if (!FBufferSamples) return E_INVALIDARG;
    if (!FHasBuffer) return VFW_E_WRONG_STATE;
    if (!pBuffer) {
      *pBufferSize = static_cast<LONG>(FBuffer.size());
      return S_OK;
    }
    const std::size_t n = std::min(FBuffer.size(), static_cast<std::size_t>(std::max<LONG>(*pBufferSize, 0)));
    std::memcpy(pBuffer, FBuffer.data(), n);
    *pBufferSize = static_cast<LONG>(n);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample** ppSample) override {
    if (ppSample) *ppSample = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB* pCallback, LONG WhichMethodToCallback) override {
    if (WhichMethodToCallback != 0 && WhichMethodToCallback != 1) return E_INVALIDARG;
    std::lock_guard g(FLock);
    FCallback = pCallback;
    FWhich = WhichMethodToCallback;
    return S_OK;
  }

  bool Wants(const AM_MEDIA_TYPE& mt) {
    std::lock_guard g(FLock);
    if (!FWanted.Valid()) return true;
    const AM_MEDIA_TYPE& w = FWanted.Get();
    return (w.majortype == GUID_NULL || w.majortype == mt.majortype) &&
           (w.subtype == GUID_NULL || w.subtype == mt.subtype) &&
           (w.formattype == GUID_NULL || w.formattype == mt.formattype);
  }

  HRESULT Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    if (State() == State_Stopped) return VFW_E_WRONG_STATE;
    TRefPtr<ISampleGrabberCB> callback;
    LONG which;
    {
      std::lock_guard g(FLock);
      if (FOneShot && FShot) return S_FALSE;
      FShot = true;
      callback = FCallback;
      which = FWhich;
      if (FBufferSamples) {
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        FBuffer.assign(p, p + sample->GetActualDataLength());
        FHasBuffer = true;
      }
    }
    REFERENCE_TIME start = 0, end = 0;
    if (FAILED(sample->GetTime(&start, &end))) start = 0;
    const double seconds = static_cast<double>(start) / 1e7;
    if (callback) {
      if (which == 0) {
        callback->SampleCB(seconds, sample);
      } else {
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        callback->BufferCB(seconds, p, sample->GetActualDataLength());
      }
    }
    if (Out().IsConnected()) Out().Deliver(sample);
    return S_OK;
  }

  TSimInputPin& In() { return static_cast<TSimInputPin&>(*FPins[0]); }
  TSimOutputPin& Out() { return static_cast<TSimOutputPin&>(*FPins[1]); }

 protected:
  HRESULT QueryMore(REFIID riid, void** ppv) override {
    if (riid == IID_ISampleGrabber) return SimAnswer(static_cast<ISampleGrabber*>(this), ppv);
    return TSimFilter::QueryMore(riid, ppv);
  }
  void OnStopped() override {
    Out().Decommit();
    std::lock_guard g(FLock);
    FShot = false;
  }
  void OnPaused(FILTER_STATE from) override {
    if (from == State_Stopped) Out().Commit();
  }

 private:
  TSimMediaType FWanted;
  bool FOneShot = false, FShot = false, FBufferSamples = false, FHasBuffer = false;
  std::vector<BYTE> FBuffer;
  TRefPtr<ISampleGrabberCB> FCallback;
  LONG FWhich = 0;
};

TGrabberIn::TGrabberIn(TSimGrabber& grabber) : TSimInputPin(grabber, "Input", PINDIR_INPUT), FGrabber(grabber) {}
HRESULT TGrabberIn::Receive(IMediaSample* pSample) { return FGrabber.Receive(pSample); }
HRESULT TGrabberIn::EndOfStream() {
  return FGrabber.Out().IsConnected() ? FGrabber.Out().DeliverEndOfStream() : S_OK;
}
HRESULT TGrabberIn::BeginFlush() {
  TRefPtr<IPin> peer = FGrabber.Out().Peer();
  return peer ? peer->BeginFlush() : S_OK;
}
HRESULT TGrabberIn::EndFlush() {
  TRefPtr<IPin> peer = FGrabber.Out().Peer();
  return peer ? peer->EndFlush() : S_OK;
}
HRESULT TGrabberIn::CheckType(const AM_MEDIA_TYPE& mt) { return FGrabber.Wants(mt) ? S_OK : S_FALSE; }

TGrabberOut::TGrabberOut(TSimGrabber& grabber) : TSimOutputPin(grabber, "Output", PINDIR_OUTPUT), FGrabber(grabber) {}
HRESULT TGrabberOut::CheckType(const AM_MEDIA_TYPE& mt) {
  TSimMediaType in(FFilter.Com());
  if (!FGrabber.In().ConnectionType(in)) return S_FALSE;
  return in.Get().majortype == mt.majortype && in.Get().subtype == mt.subtype ? S_OK : S_FALSE;
}
std::vector<TSimMediaType> TGrabberOut::OfferedTypes() {
  TSimMediaType in(FFilter.Com());
  if (!FGrabber.In().ConnectionType(in)) return {};
  return {in};
}

}  // namespace

HRESULT SimCreateCapture(const TWorldPtr& world, int device, REFIID iid, void** ppv) {
  (void)device;
  auto* c = new TSimCapture(world);
  return SimHandOut(c, static_cast<IBaseFilter*>(c), iid, ppv);
}

HRESULT SimCreateSampleGrabber(const TWorldPtr& world, REFIID iid, void** ppv) {
  auto* g = new TSimGrabber(world);
  return SimHandOut(g, static_cast<IBaseFilter*>(g), iid, ppv);
}

}  // namespace portwise::platform::sim
