#include "dshow/ALDSAudioIn.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "core/ALAudioBuffer.h"

namespace portwise {

namespace {

// Samples turned into buffers per wake-up of the notify thread.
constexpr int KBlocksPerNotification = 11;
constexpr std::size_t KWaveFormatExSize = 18;

// The PCM type the grabber is asked for, made from a wave record as the audio source filter
// offers its own: an 18-byte plain block up to 2 channels and 16 bits, else the whole record.
HRESULT PcmMediaType(const TALWaveFormatExtensible& AFormat, TDSMediaType& AType) {
  AM_MEDIA_TYPE mt{};
  mt.majortype = MEDIATYPE_Audio;
  mt.subtype = MEDIASUBTYPE_PCM;
  mt.formattype = FORMAT_WaveFormatEx;
  mt.bFixedSizeSamples = TRUE;
  mt.lSampleSize = 1;
  const bool bPlain = AFormat.nChannels <= 2 && AFormat.wBitsPerSample <= 16;
  const std::size_t size = bPlain ? KWaveFormatExSize : sizeof(TALWaveFormatExtensible);
  TALWaveFormatExtensible record = AFormat;
  if (bPlain) {
    record.wFormatTag = 1;
    record.cbSize = 0;
  }
  mt.pbFormat = reinterpret_cast<BYTE*>(&record);
  mt.cbFormat = static_cast<ULONG>(size);
  // The owned copy puts the block into task memory.
  return AType.Assign(mt);
}

}  // namespace

// ------------------------------------------------------------------ sample queue

TVLDSBufferQueueNodeHeader* TMLDSBufferQueue::NewBlock(std::int64_t TimeStart, std::int64_t TimeEnd,
                                                       std::int32_t ABytes) {
  const std::size_t bytes = sizeof(TVLDSBufferQueueNodeHeader) + static_cast<std::size_t>(std::max(ABytes, 0));
  void* memory = ::operator new(bytes);
  auto* block = static_cast<TVLDSBufferQueueNodeHeader*>(memory);
  block->NextNode = nullptr;
  block->MemHandle = memory;
  block->BufferSize = std::max(ABytes, 0);
  block->TimeStart = TimeStart;
  block->TimeEnd = TimeEnd;
  return block;
}

void TMLDSBufferQueue::Append(TVLDSBufferQueueNodeHeader* ABlock) {
  std::lock_guard g(FSection);
  if (FLastNode) {
    FLastNode->NextNode = ABlock;
  } else {
    FFirstNode = ABlock;
  }
  FLastNode = ABlock;
  ++FCount;
}

void TMLDSBufferQueue::Add(std::int64_t TimeStart, std::int64_t TimeEnd, const void* pBuffer, std::int32_t BufferLen) {
  TVLDSBufferQueueNodeHeader* block = NewBlock(TimeStart, TimeEnd, BufferLen);
  if (block->BufferSize && pBuffer) std::memcpy(block->Data(), pBuffer, static_cast<std::size_t>(block->BufferSize));
  Append(block);
}

void TMLDSBufferQueue::AddMulti(std::int64_t TimeStart, std::int64_t TimeEnd, const std::vector<TPiece>& APieces) {
  std::int32_t total = 0;
  for (const TPiece& p : APieces) total += std::max(p.Length, 0);
  TVLDSBufferQueueNodeHeader* block = NewBlock(TimeStart, TimeEnd, total);
  std::uint8_t* target = block->Data();
  for (const TPiece& p : APieces) {
    if (p.Length <= 0 || !p.Data) continue;
    std::memcpy(target, p.Data, static_cast<std::size_t>(p.Length));
    target += p.Length;
  }
  Append(block);
}

TVLDSBufferQueueNodeHeader* TMLDSBufferQueue::Get() {
  std::lock_guard g(FSection);
  TVLDSBufferQueueNodeHeader* block = FFirstNode;
  if (!block) return nullptr;
  FFirstNode = block->NextNode;
  if (!FFirstNode) FLastNode = nullptr;
  block->NextNode = nullptr;
  --FCount;
  return block;
}

void TMLDSBufferQueue::DestroyBlock(TVLDSBufferQueueNodeHeader* ABlock) {
  if (ABlock) ::operator delete(ABlock->MemHandle);
}

void TMLDSBufferQueue::Clear() {
  while (TVLDSBufferQueueNodeHeader* block = Get()) DestroyBlock(block);
}

// ------------------------------------------------------------------ grabber callback

HRESULT TDSSampleGrabberCB::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_ISampleGrabberCB || riid == IID_IUnknown) {
    *ppv = static_cast<ISampleGrabberCB*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT TDSSampleGrabberCB::SampleCB(double SampleTime, IMediaSample* pSample) {
  if (FOnBuffer) FOnBuffer(SampleTime, pSample);
  return S_OK;
}

HRESULT TDSSampleGrabberCB::BufferCB(double, BYTE*, LONG) { return S_OK; }

// ------------------------------------------------------------------ capture capabilities

void TALAudioModes::Fill(IAMStreamConfig* AConfig) {
  FList.clear();
  if (!AConfig) return;
  int count = 0, size = 0;
  if (FAILED(AConfig->GetNumberOfCapabilities(&count, &size)) || size != sizeof(AUDIO_STREAM_CONFIG_CAPS)) return;
  for (int i = 0; i < count; ++i) {
    AM_MEDIA_TYPE* mt = nullptr;
    AUDIO_STREAM_CONFIG_CAPS caps{};
    const HRESULT hr = AConfig->GetStreamCaps(i, &mt, reinterpret_cast<BYTE*>(&caps));
    if (hr == S_OK && mt && mt->formattype == FORMAT_WaveFormatEx && mt->pbFormat && mt->cbFormat >= 16) {
      TALAudioModeFormat entry;
      const WAVEFORMATEX w = platform::ReadWaveFormatEx(mt->pbFormat);
      if (w.wFormatTag == ALWaveFormatExtensibleTag && mt->cbFormat >= sizeof(TALWaveFormatExtensible)) {
        std::memcpy(&entry.FFormat, mt->pbFormat, sizeof entry.FFormat);
      } else if (w.wFormatTag == 1) {
        std::memcpy(&entry.FFormat, mt->pbFormat, 16);
        entry.FFormat.cbSize = mt->cbFormat >= KWaveFormatExSize ? w.cbSize : 0;
        entry.FFormat.wValidBitsPerSample = w.wBitsPerSample;
        entry.FFormat.dwChannelMask = w.nChannels >= 32 ? 0xFFFFFFFFu : (1u << w.nChannels) - 1;
        entry.FFormat.SubFormat = ALSubFormatPCM;
      }
      entry.FMinChannels = static_cast<std::int32_t>(caps.MinimumChannels);
      entry.FMaxChannels = static_cast<std::int32_t>(caps.MaximumChannels);
      entry.FChannelGranularity = static_cast<std::int32_t>(caps.ChannelsGranularity);
      entry.FMinBitsPerSample = static_cast<std::int32_t>(caps.MinimumBitsPerSample);
      entry.FMaxBitsPerSample = static_cast<std::int32_t>(caps.MaximumBitsPerSample);
      entry.FBitsPerSampleGranularity = static_cast<std::int32_t>(caps.BitsPerSampleGranularity);
      entry.FMinSamplesPerSec = static_cast<std::int32_t>(caps.MinimumSampleFrequency);
      entry.FMaxSamplesPerSec = static_cast<std::int32_t>(caps.MaximumSampleFrequency);
      entry.FSamplesPerSecGranularity = static_cast<std::int32_t>(caps.SampleFrequencyGranularity);
      FList.push_back(entry);
    }
    if (mt) DSDeleteMediaType(mt);
  }
}

// ------------------------------------------------------------------ construction

TALDSAudioIn::TALDSAudioIn(TComponent* AOwner)
    : TLPComponent(AOwner),
      FOutputPin(this, GetLock(),
                 [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                   return OutputPinOperation(AOperation);
                 }),
      FEnablePin(this, GetLock(), [this](TOWPin*, bool AValue, bool) { SetEnabled(AValue); }) {
  FOutputPin.SetName("OutputPin");
  FEnablePin.SetName("EnablePin");
  FGraph = std::make_unique<TDSGraph>(this, GetLock(),
                                      [this](std::int32_t ACode, LONG_PTR, LONG_PTR) { GraphNotify(ACode); });
  FDesignTimeEnabled = true;
  FAudioCaptureDevice = std::make_unique<TDSAudioCaptureDevice>(
      this, GetLock(), FGraph->HiddenForm(),
      [this](TObject*) {
        Stop();
        Close();
      },
      [this]() -> TRefPtr<IBaseFilter> {
        Open();
        THold section = FLock->ReadLock();
        return FAudioCapFilter;
      });
  {
    THold hold = FLock->WriteLock();
    TearDownCapture();
  }
  FAudioFormat = std::make_unique<TALAudioFormat>(this, [this](TObject*) { FormatChanged(); }, GetLock());
  if (!IsDesigning()) {
    FAudioGrabberCB = std::make_unique<TDSSampleGrabberCB>(
        [this](double ATime, IMediaSample* ASample) { OnSample(ATime, ASample); });
    FPlayerThread = std::make_unique<TSLNotifyThread>(this, [this](TObject*) { DeliverBlocks(); });
  }
}

TALDSAudioIn::~TALDSAudioIn() {
  THold stop = FLock->StopLock();
  MarkDestroying();
  try {
    AbortCapture();
  } catch (...) {
    // Reported through Graph.OnError; destruction goes on.
  }
  // Its attempts at the lock fail while the stop section lasts: it ends without waiting.
  if (FPlayerThread) FPlayerThread->Terminate();
  try {
    UnbuildCapture();
  } catch (...) {
  }
  TearDownCapture();
  FOutputPin.Disconnect();
  FEnablePin.Disconnect();
  FAudioGrabberCB.reset();  // the graph that called it is gone
  FAudioBufferQueue.Clear();
  FAudioCaptureDevice.reset();
  FGraph.reset();
  FAudioFormat.reset();
}

const TLPPropertyList& TALDSAudioIn::ClassProperties() {
  using C = TALDSAudioIn;
  static const TLPPropertyList list(
      &TComponent::ClassProperties(), LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled),
      LPProperty<C>("Graph", static_cast<const TDSGraph& (C::*)() const noexcept>(&C::GetGraph), &C::SetGraph),
      LPProperty<C>("AudioCaptureDevice",
                    static_cast<const TDSAudioCaptureDevice& (C::*)() const noexcept>(&C::GetAudioCaptureDevice),
                    &C::SetAudioCaptureDevice),
      LPProperty<C>("AudioFormat", static_cast<const TALAudioFormat& (C::*)() const noexcept>(&C::GetAudioFormat),
                    &C::SetAudioFormat));
  return list;
}

void TALDSAudioIn::InitializeComponent(bool ACreatedAtRunTime) {
  TLPComponent::InitializeComponent(ACreatedAtRunTime);
  bool bStart;
  {
    THold section = FLock->ReadLock();
    bStart = ACreatedAtRunTime ? FEnabled : FDesignTimeEnabled;
  }
  if (bStart) StartCapture();
}

bool TALDSAudioIn::Relock(THold& AHold) {
  THold again = FLock->WriteLock();
  if (!again) return false;
  AHold = std::move(again);
  return true;
}

// ------------------------------------------------------------------ properties

bool TALDSAudioIn::GetEnabled() const {
  THold section = FLock->ReadLock();
  return IsDesigning() ? FDesignTimeEnabled : FEnabled;
}

void TALDSAudioIn::SetEnabled(bool AValue) {
  THold hold = FLock->WriteLock();
  if (!hold) return;
  if (IsDesigning() || IsLoadingInChain()) {
    FDesignTimeEnabled = AValue;
    FEnablePin.SetValue(AValue);
    return;
  }
  if (AValue) {
    StartCapture();
  } else {
    StopCapture();
  }
}

bool TALDSAudioIn::GetOpened() const { return FLock->Getter(FOpened); }

void TALDSAudioIn::SetOpened(bool AValue) {
  if (AValue == GetOpened()) return;
  if (AValue) {
    Open();
  } else {
    Close();
  }
}

bool TALDSAudioIn::IsRunning() const { return FLock->Getter(FRunning); }

TALWaveFormatExtensible TALDSAudioIn::GetRunningAudioFormat() {
  THold hold = FLock->WriteLock();
  if (!hold || !FOpened) return TALWaveFormatExtensible{};
  if (FEnabled) return FWaveFormat;
  TALWaveFormatExtensible format = FWaveFormat;
  ReadConnectedFormat(format);
  return format;
}

void TALDSAudioIn::Start() {
  if (!GetEnabled()) StartCapture();
}

void TALDSAudioIn::Stop() {
  if (GetEnabled()) StopCapture();
}

void TALDSAudioIn::FormatChanged() {
  // A running capture keeps its graph; a stopped one is built anew for the new format.
  if (!FEnabled) Close();
}

// ------------------------------------------------------------------ open and close

void TALDSAudioIn::Open() {
  THold hold = FLock->WriteLock();
  if (!hold || FOpened) return;
  FMAudio = FAudioCaptureDevice->GetMoniker();
  if (!FMAudio) {
    FGraph->Error(KDSCantFindAudioCaptureDevice, 0);
    return;
  }
  try {
    BuildCaptureFilter();
    // The tear-down at its start gives the lock up for a moment.
    if (!Relock(hold)) return;
    const bool ok = CompleteGraph();
    if (!Relock(hold)) return;
    // Opened only once the control is there: a failure to get it leaves the component closed.
    FOpened = ok && FGraph->GetMediaControl();
  } catch (...) {
    DiscardGraph();
    throw;
  }
  if (!FOpened) DiscardGraph();
}

// A failed open leaves no graph behind, nor the mark of one built: the next open builds it whole.
void TALDSAudioIn::DiscardGraph() {
  THold stop = FLock->StopLock();
  UnbuildCapture();
  TearDownCapture();
}

void TALDSAudioIn::Close() {
  THold stop = FLock->StopLock();
  if (FOpened) UnbuildCapture();
  TearDownCapture();
  FAudioCaptureDevice->CloseDevice();
  FOpened = false;
}

void TALDSAudioIn::BuildCaptureFilter() {
  TearDownCapture();
  if (!FGraph->CreateGraph() || !FGraph->CreateGraphBuilder()) {
    // Handled: a graph without its builder is of no use.
    TearDownCapture();
    return;
  }
  try {
    FGraph->RegisterAdditionalFilters();
    void* object = nullptr;
    HRESULT hr = FMAudio->BindToObject(nullptr, nullptr, IID_IBaseFilter, &object);
    if (FAILED(hr) || !object) {
      FGraph->Error(KDSCantCreateAudioCaptureFilter, SUCCEEDED(hr) ? E_NOINTERFACE : hr);
      TearDownCapture();
      return;
    }
    FAudioCapFilter = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(object));
    object = nullptr;
    if (SUCCEEDED(FGraph->GraphBuilder()->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, FAudioCapFilter.Get(),
                                                        IID_IAMBufferNegotiation, &object)) &&
        object) {
      FBufferNegotiation = TRefPtr<IAMBufferNegotiation>::Adopt(static_cast<IAMBufferNegotiation*>(object));
    }
    hr = FGraph->Graph()->AddFilter(FAudioCapFilter.Get(), nullptr);
    if (FAILED(hr)) {
      FGraph->Error(KDSCantAddAudioCaptureFilter, hr);
      TearDownCapture();
      return;
    }
  } catch (...) {
    FOpenFailure = std::current_exception();
    TearDownCapture();
  }
}

bool TALDSAudioIn::CompleteGraph() {
  if (!FGraph->Graph()) return false;
  if (!FGraphBuilt) {
    FGraph->RegisterGraph();
    try {
      if (FAudioCapFilter) {
        FAudioCaptureDevice->GetLatency().SetFilterParams(
            FGraph->GraphBuilder().Get(), FAudioCapFilter.Get(),
            [this](const std::string& AText, HRESULT AResult) { FGraph->Warning(AText, AResult); });
        if (!BuildGrabberChain()) return false;
      }
      FGraph->SetMediaEvent();
      FGraph->GraphChanged();
      FGraphBuilt = true;
    } catch (...) {
      // The partial graph stays until Close or the next Open; the start reports the failure.
      FOpenFailure = std::current_exception();
      UnbuildCapture();
      return false;
    }
  }
  FGraph->RegisterGraph();
  FGraph->GraphBuilt();
  return true;
}

bool TALDSAudioIn::FindOrAddGrabber(TRefPtr<IBaseFilter>& AGrabber) {
  const platform::TOleString name = platform::ToOle(KDSAudioGrabberName);
  if (SUCCEEDED(FGraph->Graph()->FindFilterByName(name.c_str(), AGrabber.Receive())) && AGrabber) return true;
  void* object = nullptr;
  HRESULT hr = DSCom().CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                        IID_IBaseFilter, &object);
  if (FAILED(hr) || !object) {
    FGraph->Error(KDSCantSetAudioSampleGrabber, SUCCEEDED(hr) ? E_NOINTERFACE : hr);
    return false;
  }
  AGrabber = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(object));
  hr = FGraph->Graph()->AddFilter(AGrabber.Get(), name.c_str());
  if (FAILED(hr)) {
    FGraph->Error(KDSCantSetAudioSampleGrabber, hr);
    return false;
  }
  return true;
}

bool TALDSAudioIn::BuildGrabberChain() {
  TRefPtr<IBaseFilter> grabber;
  if (!FindOrAddGrabber(grabber)) return false;
  HRESULT hr = E_NOINTERFACE;
  FAudioSampleGrabber = DSQuery<ISampleGrabber>(grabber.Get(), IID_ISampleGrabber, &hr);
  if (!FAudioSampleGrabber) {
    FGraph->Error(KDSCantSetAudioSampleGrabber, hr);
    return false;
  }
  const TALWaveFormatExtensible wanted = *FAudioFormat->GetWaveFormat();
  const std::uint32_t frames = FAudioFormat->GetBufferSize();
  TDSMediaType type;
  hr = PcmMediaType(wanted, type);
  if (SUCCEEDED(hr)) hr = FAudioSampleGrabber->SetMediaType(&type.Get());
  if (FAILED(hr)) {
    FGraph->Error(KDSCantSetAudioSampleGrabberFormat, hr);
    return false;
  }
  void* object = nullptr;
  hr = FGraph->GraphBuilder()->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Audio, FAudioCapFilter.Get(),
                                             IID_IAMStreamConfig, &object);
  if (FAILED(hr) || !object) {
    FGraph->Error(KDSCantSetAudioSampleGrabberFormat, SUCCEEDED(hr) ? E_NOINTERFACE : hr);
    return false;
  }
  auto config = TRefPtr<IAMStreamConfig>::Adopt(static_cast<IAMStreamConfig*>(object));
  FAudioModes.Fill(config.Get());
  hr = config->SetFormat(&type.Get());
  if (FAILED(hr)) {
    FGraph->Error(KDSCantSetDesiredAudioFormat, hr);
    return false;
  }
  if (FBufferNegotiation) {
    // One captured sample per buffer of the requested size.
    const ALLOCATOR_PROPERTIES props{-1, static_cast<LONG>(wanted.nBlockAlign * frames), -1, -1};
    FBufferNegotiation->SuggestAllocatorProperties(&props);
  }
  hr = FGraph->GraphBuilder()->RenderStream(nullptr, &MEDIATYPE_Audio, FAudioCapFilter.Get(), nullptr, grabber.Get());
  if (FAILED(hr)) {
    FGraph->Error(KDSCantSetAudioSampleGrabber, hr);
    return false;
  }
  FAudioSampleGrabber->SetBufferSamples(FALSE);
  FAudioSampleGrabber->SetOneShot(FALSE);
  FAudioSampleGrabber->SetCallback(FAudioGrabberCB.get(), 0);
  return true;
}

void TALDSAudioIn::EnsureGrabber() {
  TRefPtr<IBaseFilter> grabber;
  if (!FindOrAddGrabber(grabber)) return;
  HRESULT hr = E_NOINTERFACE;
  TRefPtr<ISampleGrabber> sampleGrabber = DSQuery<ISampleGrabber>(grabber.Get(), IID_ISampleGrabber, &hr);
  if (!sampleGrabber) {
    FGraph->Error(KDSCantSetAudioSampleGrabber, hr);
    return;
  }
  FAudioSampleGrabber = sampleGrabber;
}

bool TALDSAudioIn::ReadConnectedFormat(TALWaveFormatExtensible& AFormat) {
  if (!FAudioSampleGrabber) return false;
  TDSMediaType type;
  if (FAudioSampleGrabber->GetConnectedMediaType(&type.Get()) != S_OK) return false;
  const AM_MEDIA_TYPE& mt = type.Get();
  if (!(mt.formattype == FORMAT_WaveFormatEx) || !mt.pbFormat || mt.cbFormat < 16) return false;
  const WAVEFORMATEX w = platform::ReadWaveFormatEx(mt.pbFormat);
  TALWaveFormatExtensible format = AFormat;
  if (w.wFormatTag == 1) {
    format.wFormatTag = ALWaveFormatExtensibleTag;
    format.nChannels = w.nChannels;
    format.nSamplesPerSec = w.nSamplesPerSec;
    format.nAvgBytesPerSec = w.nAvgBytesPerSec;
    format.nBlockAlign = w.nBlockAlign;
    format.wBitsPerSample = w.wBitsPerSample;
    format.cbSize = ALWaveFormatExtensibleCbSize;
    format.wValidBitsPerSample = w.wBitsPerSample;
    format.dwChannelMask = w.nChannels >= 32 ? 0xFFFFFFFFu : (1u << w.nChannels) - 1;
    format.SubFormat = ALSubFormatPCM;
  } else if (mt.cbFormat >= sizeof(TALWaveFormatExtensible)) {
    std::memcpy(&format, mt.pbFormat, sizeof format);
  } else {
    return false;  // neither plain PCM nor a whole extensible record
  }
  AFormat = format;
  return true;
}

void TALDSAudioIn::ReleaseGrabber() {
  if (!FAudioSampleGrabber) return;
  FAudioSampleGrabber->SetCallback(nullptr, 0);
  FAudioSampleGrabber.Reset();
}

void TALDSAudioIn::UnbuildCapture() {
  if (!FGraphBuilt) return;
  if (FEnabled) StopCapture();
  FGraph->UnregisterGraph();
  FAudioModes.Clear();
  ReleaseGrabber();
  FGraph->MediaEvent().Reset();
  if (FAudioCapFilter) FGraph->DestroyDownstream(FAudioCapFilter.Get());
  FGraphBuilt = false;
}

void TALDSAudioIn::TearDownCapture() {
  // A graph that still runs (its start was cut short by a stop) is stopped first: no sample may
  // reach the callback once the graph is gone.
  if (FGraph->Graph()) {
    if (auto control = DSQuery<IMediaControl>(FGraph->Graph().Get(), IID_IMediaControl)) control->Stop();
  }
  ReleaseGrabber();
  FGraph->DestroyGraph();
  FAudioCapFilter.Reset();
  FBufferNegotiation.Reset();
  FGraph->MediaEvent().Reset();
}

// ------------------------------------------------------------------ capture

void TALDSAudioIn::StartCapture() {
  THold hold = FLock->WriteLock();
  // Already capturing: a second start would drop what is queued and announce the stream again.
  if (!hold || FEnabled) return;
  FAudioBufferQueue.Clear();
  FOpenFailure = nullptr;
  Open();
  if (!Relock(hold)) return;
  if (!FOpened) {
    // The device could not be set up for capture: the start fails with what was found.
    if (std::exception_ptr failure = std::exchange(FOpenFailure, nullptr)) std::rethrow_exception(failure);
    return;
  }
  EnsureGrabber();
  if (!AnnounceFormat(hold)) return;
  RunCapture(hold);
}

bool TALDSAudioIn::AnnounceFormat(THold& AHold) {
  if (!FAudioSampleGrabber || !ReadConnectedFormat(FWaveFormat)) return true;
  TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation(FWaveFormat, false));
  FOutputPin.Notify(start.Get());
  return Relock(AHold);
}

bool TALDSAudioIn::RunCapture(THold& AHold) {
  if (FGraph->Graph() && FEnabled) return true;
  if (!CompleteGraph()) return false;
  TRefPtr<IMediaControl> control = FGraph->MediaControl();
  if (!control) {
    FGraph->Error(KDSCantStartCapture, 0);
    return false;
  }
  HRESULT hr;
  {
    THold released = FLock->UnlockAll();
    hr = control->Run();
    if (FAILED(hr)) control->Stop();
  }
  if (!Relock(AHold)) return false;
  if (FAILED(hr)) {
    // The stream announced downstream ends before it began.
    FOutputPin.Stop();
    if (!Relock(AHold)) return false;
    FGraph->Error(KDSCantStartCapture, hr);
    return false;
  }
  FEnabled = true;
  FRunning = true;
  return true;
}

void TALDSAudioIn::StopCapture() {
  THold stop = FLock->StopLock();
  if (!FEnabled) return;
  if (FGraph->Graph()) {
    // Kept under the stop section: nobody else can take the lock meanwhile, and the capture's
    // streaming thread never asks for it.
    HRESULT hr = E_NOINTERFACE;
    TRefPtr<IMediaControl> control = DSQuery<IMediaControl>(FGraph->Graph().Get(), IID_IMediaControl, &hr);
    if (control) hr = control->Stop();
    if (!control || FAILED(hr)) {
      FGraph->Error(KDSCantStopCapture, hr);
      return;
    }
  }
  FAudioBufferQueue.Clear();
  // Not capturing before the stop goes out: a sink that answers with a stop finds nothing to do.
  FEnabled = false;
  FRunning = false;
  FOutputPin.Stop();
}

void TALDSAudioIn::AbortCapture() {
  THold hold = FLock->WriteLock();
  if (!hold || !FEnabled) return;
  if (FGraph->Graph()) {
    FGraph->Stop(true);
  } else {
    FEnabled = false;
    FRunning = false;
  }
}

TOWNotifyResult TALDSAudioIn::OutputPinOperation(IOWNotifyOperation* AOperation) {
  THold hold = FLock->WriteLock();
  if (!hold || (ComponentState() & csDestroying)) return 0;
  if (OWOperationAs<TOWStopOperation>(AOperation)) StopCapture();
  return 0;
}

void TALDSAudioIn::GraphNotify(std::int32_t AEventCode) {
  if (AEventCode == EC_ERRORABORT || AEventCode == EC_DEVICE_LOST) AbortCapture();
}

// ------------------------------------------------------------------ the capture's threads

void TALDSAudioIn::OnSample(double, IMediaSample* ASample) {
  if (!ASample) return;
  BYTE* data = nullptr;
  if (FAILED(ASample->GetPointer(&data)) || !data) return;
  const LONG length = ASample->GetActualDataLength();
  REFERENCE_TIME start = 0, end = 0;
  if (FAILED(ASample->GetTime(&start, &end))) start = end = 0;
  FAudioBufferQueue.Add(start, end, data, length);
  if (FPlayerThread) FPlayerThread->Notify();
}

void TALDSAudioIn::DeliverBlocks() {
  THold hold = FLock->WriteLock();
  if (!hold) return;
  for (int i = 0; i < KBlocksPerNotification; ++i) {
    TVLDSBufferQueueNodeHeader* block = FAudioBufferQueue.Get();
    if (!block) return;
    const TALWaveFormatExtensible format = FWaveFormat;
    const std::uint32_t frames = format.nBlockAlign ? static_cast<std::uint32_t>(block->BufferSize) / format.nBlockAlign : 0;
    if (frames == 0) {
      TMLDSBufferQueue::DestroyBlock(block);
      continue;
    }
    PALAudioBuffer buffer = TALAudioBuffer::CreateSizeEx(format.nSamplesPerSec, format.wValidBitsPerSample,
                                                         format.nChannels, frames,
                                                         TALSpeakers::FromMask(format.dwChannelMask));
    const std::size_t bytes = std::min<std::size_t>(buffer->GetByteSize(), std::size_t{frames} * format.nBlockAlign);
    std::memcpy(buffer->GetWritePointer(), block->Data(), bytes);
    buffer->GetTimeStamp().SetTimes(block->TimeStart, block->TimeEnd);
    buffer->GetTimeStamp().SetAvailable(true);
    TMLDSBufferQueue::DestroyBlock(block);
    FOutputPin.SubmitBuffer(TRefPtr<ISLData>(static_cast<ISLData*>(buffer.Get())));
    if (!Relock(hold)) return;
  }
}

}  // namespace portwise
