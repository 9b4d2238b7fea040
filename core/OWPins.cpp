#include "core/OWPins.h"

#include <algorithm>
#include <array>

namespace portwise {

namespace {

constexpr std::int32_t KMaxSendingDepth = 200;
constexpr std::int32_t KWeightStep = 4;
constexpr std::int32_t KMaxWeight = 10000;

// The claim registry: who changes which pin's connections. Held only to look at and change
// claims (and to read the links of the pins being claimed), never across a wait for a delivery
// or a call into a handler.
std::mutex& ClaimMutex() {
  static std::mutex m;
  return m;
}

std::condition_variable& ClaimReleased() {
  static std::condition_variable cv;
  return cv;
}

}  // namespace

// ------------------------------------------------------------------ structure claims

// Claims every pin AResolve names, all at once: a thread never holds some of its pins while it
// waits for others, so two changes cannot wait for each other through their claims. AResolve runs
// with the registry held and names the pins from their current links; a pin cannot go away while
// it is linked to an unclaimed pin, since its destruction claims both before it unlinks them.
class TOWStructureClaim {
 public:
  template <class F>
  explicit TOWStructureClaim(F&& AResolve) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock lk(ClaimMutex());
    for (;;) {
      FPins.clear();
      AResolve(FPins);
      FPins.erase(std::remove(FPins.begin(), FPins.end(), nullptr), FPins.end());
      std::sort(FPins.begin(), FPins.end());
      FPins.erase(std::unique(FPins.begin(), FPins.end()), FPins.end());
      if (std::all_of(FPins.begin(), FPins.end(),
                      [&](const TOWBasicPin* p) { return p->FClaimDepth == 0 || p->FClaimThread == me; }))
        break;
      ClaimReleased().wait(lk);
    }
    for (TOWBasicPin* p : FPins) {
      p->FClaimThread = me;
      ++p->FClaimDepth;
    }
  }
  ~TOWStructureClaim() {
    {
      std::lock_guard g(ClaimMutex());
      for (TOWBasicPin* p : FPins)
        if (--p->FClaimDepth == 0) p->FClaimThread = std::thread::id();
    }
    ClaimReleased().notify_all();
  }
  TOWStructureClaim(const TOWStructureClaim&) = delete;
  TOWStructureClaim& operator=(const TOWStructureClaim&) = delete;

 private:
  std::vector<TOWBasicPin*> FPins;
};

// ------------------------------------------------------------------ destroy lock

TOWDestroyLock::TSection& TOWDestroyLock::TSection::operator=(TSection&& o) noexcept {
  if (this != &o) {
    Leave();
    FLock = std::exchange(o.FLock, nullptr);
    FDestroy = o.FDestroy;
  }
  return *this;
}

void TOWDestroyLock::TSection::Leave() noexcept {
  if (TOWDestroyLock* lock = std::exchange(FLock, nullptr)) {
    if (FDestroy) lock->LeaveDestroy();
    else lock->LeaveUser();
  }
}

std::int32_t& TOWDestroyLock::UsersOf(std::thread::id AThread) {
  TThreadUsers* idle = nullptr;
  for (auto& u : FUsers) {
    if (u.Thread == AThread) return u.Count;
    if (u.Count == 0 && !idle) idle = &u;
  }
  if (idle) {
    idle->Thread = AThread;
    return idle->Count;
  }
  FUsers.push_back({AThread, 0});
  return FUsers.back().Count;
}

std::int32_t TOWDestroyLock::OthersLocked(std::thread::id AThread) {
  std::int32_t mine = 0;
  for (auto& u : FUsers)
    if (u.Thread == AThread) mine = u.Count;
  return FLockCounter - mine;
}

TOWDestroyLock::TSection TOWDestroyLock::Lock() {
  const std::thread::id me = std::this_thread::get_id();
  std::lock_guard g(FSection);
  if (FDestroying > 0 && FThreadID != me) return {};
  ++FLockCounter;
  ++UsersOf(me);
  return TSection(this, false);
}

TOWDestroyLock::TSection TOWDestroyLock::DestroyLock(IOWLock* APinLock, IOWLock* AOwnerLock) {
  const std::thread::id me = std::this_thread::get_id();
  {
    std::lock_guard g(FSection);
    ++FDestroying;
    if (OthersLocked(me) == 0) {
      FThreadID = me;
      return TSection(this, true);
    }
  }
  {
    // Owner first and pin second on the way back, the order in which they are nested elsewhere.
    TOWLockSectionRef pinUnlock = APinLock ? APinLock->UnlockAll() : TOWLockSectionRef();
    TOWLockSectionRef ownerUnlock = AOwnerLock ? AOwnerLock->UnlockAll() : TOWLockSectionRef();
    std::unique_lock lk(FSection);
    FIdle.wait(lk, [&] { return OthersLocked(me) == 0; });
  }
  std::lock_guard g(FSection);
  FThreadID = me;
  return TSection(this, true);
}

bool TOWDestroyLock::Destroying() {
  std::lock_guard g(FSection);
  return FDestroying > 0;
}

void TOWDestroyLock::LeaveUser() noexcept {
  std::lock_guard g(FSection);
  --FLockCounter;
  --UsersOf(std::this_thread::get_id());
  // Under the mutex: once it is let go, a destroyer that sees no user left may free this lock.
  FIdle.notify_all();
}

void TOWDestroyLock::LeaveDestroy() noexcept {
  std::lock_guard g(FSection);
  if (--FDestroying == 0) FThreadID = std::thread::id();
}

// ------------------------------------------------------------------ TOWBasicPin

TOWBasicPin::TOWBasicPin(TObject* AOwner, IOWLock* AOwnerLock, TKind AKind)
    : TOWPinObject(AOwner), FLock(TOWLock::Create()), FOwnerLock(AOwnerLock), FKind(AKind) {}

TOWBasicPin::~TOWBasicPin() = default;

void TOWBasicPin::BeginDestroy() {
  if (FBeginDestroyDone) return;
  FBeginDestroyDone = true;
  TOWStructureClaim claim([this](std::vector<TOWBasicPin*>& pins) {
    pins.push_back(this);
    CollectLinked(pins);
  });
  FDestroyHeld = StructureLock();
  Disconnect();
}

TOWDispatchFunction TOWBasicPin::FindDispatch(const TALGuid& ADataTypeID) const {
  for (const TDataType& t : FDataTypes)
    if (t.ID == ADataTypeID) return {const_cast<TOWBasicPin*>(this), t.Method};
  return {};
}

bool TOWBasicPin::ChooseDataType(TOWBasicPin& ASource, TOWBasicPin& ASink, TALGuid& ADataTypeID) {
  for (auto it = ASource.FDataTypes.rbegin(); it != ASource.FDataTypes.rend(); ++it) {
    if (ASink.FindDispatch(it->ID)) {
      ADataTypeID = it->ID;
      return true;
    }
  }
  return false;
}

bool TOWBasicPin::CanConnectTo(TOWBasicPin* AOtherPin) {
  if (!AOtherPin || AOtherPin == this) return false;
  TALGuid id;
  switch (FKind) {
    case TKind::Source: return AOtherPin->FKind == TKind::Sink && ChooseDataType(*this, *AOtherPin, id);
    case TKind::Sink: return AOtherPin->FKind == TKind::Source && ChooseDataType(*AOtherPin, *this, id);
    case TKind::State: return AOtherPin->FKind == TKind::State && ChooseDataType(*this, *AOtherPin, id);
  }
  return false;
}

// ------------------------------------------------------------------ TOWSourcePin

namespace {

// The connection list as it was when a delivery started; small lists stay off the heap.
class TSnapshot {
 public:
  struct TItem {
    TOWBasicPin* Sink;
    TALGuid DataTypeID;
    TOWDispatchFunction Dispatch;
    bool bChanged;
  };
  void Add(const TItem& AItem) {
    if (FCount < FInline.size()) FInline[FCount] = AItem;
    else FMore.push_back(AItem);
    ++FCount;
  }
  std::size_t Size() const { return FCount; }
  TItem& operator[](std::size_t i) { return i < FInline.size() ? FInline[i] : FMore[i - FInline.size()]; }

 private:
  std::array<TItem, 8> FInline{};
  std::vector<TItem> FMore;
  std::size_t FCount = 0;
};

class TSendingDepth {
 public:
  explicit TSendingDepth(std::atomic<std::int32_t>& ACounter) : FCounter(ACounter) {
    if (FCounter.load() > KMaxSendingDepth) throw EOWPinError(KOWPinDependsOnItself);
    ++FCounter;
  }
  ~TSendingDepth() { --FCounter; }
  TSendingDepth(const TSendingDepth&) = delete;
  TSendingDepth& operator=(const TSendingDepth&) = delete;

 private:
  std::atomic<std::int32_t>& FCounter;
};

}  // namespace

TOWSourcePin::~TOWSourcePin() { BeginDestroy(); }

bool TOWSourcePin::CanConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) {
  return ANotifyAfterPin != this && CanConnectTo(AOtherPin);
}

bool TOWSourcePin::ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) {
  if (!CanConnectAfter(AOtherPin, ANotifyAfterPin)) return false;
  return AOtherPin->ConnectAfter(this, ANotifyAfterPin);
}

void TOWSourcePin::CollectLinked(std::vector<TOWBasicPin*>& APins) {
  TOWLockSectionRef r = FLock->ReadLock();
  for (const TEntry& e : FSinkPins) APins.push_back(e.Sink);
}

void TOWSourcePin::Disconnect() {
  TOWStructureClaim claim([this](std::vector<TOWBasicPin*>& pins) {
    pins.push_back(this);
    CollectLinked(pins);
  });
  TOWDestroyLock::TSection section = StructureLock();
  for (TOWBasicPin* sink : GetSinkPins())
    if (auto* s = dynamic_cast<TOWSinkPin*>(sink)) s->DisconnectSource(this);
}

bool TOWSourcePin::DisconnectFrom(TOWBasicPin* AOtherPin) {
  auto* sink = dynamic_cast<TOWSinkPin*>(AOtherPin);
  return sink && sink->DisconnectSource(this);
}

bool TOWSourcePin::IsConnected() {
  TOWLockSectionRef r = PinReadLock();
  return !FSinkPins.empty();
}

bool TOWSourcePin::IsConnectedTo(TOWBasicPin* AOtherPin) {
  TOWLockSectionRef r = PinReadLock();
  return AOtherPin && std::any_of(FSinkPins.begin(), FSinkPins.end(), [&](const TEntry& e) { return e.Sink == AOtherPin; });
}

std::int32_t TOWSourcePin::GetSinkCount() {
  TOWLockSectionRef r = PinReadLock();
  return static_cast<std::int32_t>(FSinkPins.size());
}

std::vector<TOWBasicPin*> TOWSourcePin::GetSinkPins() {
  TOWLockSectionRef r = PinReadLock();
  std::vector<TOWBasicPin*> sinks;
  for (const TEntry& e : FSinkPins) sinks.push_back(e.Sink);
  return sinks;
}

std::int32_t TOWSourcePin::GetWeight(TOWBasicPin* ASink) {
  TOWLockSectionRef r = PinReadLock();
  for (const TEntry& e : FSinkPins)
    if (e.Sink == ASink) return e.Weight;
  return -1;
}

// The caller has claimed this pin and ASink.
void TOWSourcePin::AddSink(TOWSinkPin* ASink, TOWBasicPin* ANotifyAfterPin) {
  for (;;) {
    TOWBasicPin* oldest = nullptr;
    {
      TOWLockSectionRef w = PinWriteLock();
      if (FMaxConnections <= 0 || static_cast<std::int32_t>(FSinkPins.size()) < FMaxConnections) {
        FSinkPins.push_back({ASink, ANotifyAfterPin, {}, {}, 0});
        ApplyNotifyAfterOrder();
        return;
      }
      oldest = FSinkPins.front().Sink;
    }
    // At the limit: the oldest connection goes first.
    TOWStructureClaim claim([&](std::vector<TOWBasicPin*>& pins) {
      pins.push_back(this);
      pins.push_back(oldest);
    });
    auto* sink = dynamic_cast<TOWSinkPin*>(oldest);
    if (!sink || !sink->DisconnectSource(this)) {
      TOWLockSectionRef w = PinWriteLock();
      if (!FSinkPins.empty() && FSinkPins.front().Sink == oldest) FSinkPins.erase(FSinkPins.begin());
    }
  }
}

void TOWSourcePin::SetSinkDispatch(TOWSinkPin* ASink, const TALGuid& ADataTypeID, TOWDispatchFunction ADispatch) {
  TOWLockSectionRef w = PinWriteLock();
  for (TEntry& e : FSinkPins) {
    if (e.Sink == ASink) {
      e.DataTypeID = ADataTypeID;
      e.Dispatch = ADispatch;
    }
  }
}

bool TOWSourcePin::EntryNotifyAfter(TOWBasicPin* ASink, TOWBasicPin*& ANotifyAfterPin) {
  TOWLockSectionRef r = PinReadLock();
  for (const TEntry& e : FSinkPins) {
    if (e.Sink == ASink) {
      ANotifyAfterPin = e.NotifyAfter;
      return true;
    }
  }
  return false;
}

// The caller has claimed this pin and ASink.
void TOWSourcePin::RemoveSink(TOWSinkPin* ASink) {
  TOWDestroyLock::TSection section = StructureLock();
  {
    TOWLockSectionRef w = PinWriteLock();
    if (std::none_of(FSinkPins.begin(), FSinkPins.end(), [&](const TEntry& e) { return e.Sink == ASink; })) return;
    FInDisconnect = true;
  }
  struct TClear {
    TOWSourcePin& Pin;
    TOWSinkPin* Sink;
    ~TClear() {
      TOWLockSectionRef w = Pin.PinWriteLock();
      Pin.FSinkPins.erase(std::remove_if(Pin.FSinkPins.begin(), Pin.FSinkPins.end(),
                                         [&](const TEntry& e) { return e.Sink == Sink; }),
                          Pin.FSinkPins.end());
      Pin.FInDisconnect = false;
    }
  } clear{*this, ASink};
  try {
    SinkDisconnecting(ASink);
  } catch (...) {
    // The link goes all the same (this also runs in destructors).
  }
}

void TOWSourcePin::ApplyNotifyAfterOrder() {
  const std::size_t n = FSinkPins.size();
  for (std::size_t pass = 0; pass < n; ++pass) {
    bool bMoved = false;
    for (std::size_t i = 0; i < n && !bMoved; ++i) {
      TOWBasicPin* after = FSinkPins[i].NotifyAfter;
      if (!after) continue;
      auto it = std::find_if(FSinkPins.begin() + static_cast<std::ptrdiff_t>(i) + 1, FSinkPins.end(),
                             [&](const TEntry& e) { return e.Sink == after; });
      if (it == FSinkPins.end()) continue;
      const std::size_t j = static_cast<std::size_t>(it - FSinkPins.begin());
      TEntry moving = FSinkPins[i];
      FSinkPins.erase(FSinkPins.begin() + static_cast<std::ptrdiff_t>(i));
      FSinkPins.insert(FSinkPins.begin() + static_cast<std::ptrdiff_t>(j), moving);
      bMoved = true;
    }
    if (!bMoved) break;
  }
}

TOWNotifyResult TOWSourcePin::NotifyPin(TOWBasicPin* APin, IOWNotifyOperation* AOperation) {
  if (!AOperation) return 0;
  TRefPtr<IOWNotifyOperation> keep(AOperation);
  TOWDestroyLock::TSection user = FDestroyLock.Lock();
  if (!user) return 0;  // this pin is going away

  // Handlers of other components never run under this component's lock.
  TOWLockSectionRef inputUnlock = FInputOwnerLock ? FInputOwnerLock->UnlockAll() : TOWLockSectionRef();
  TOWLockSectionRef ownerUnlock;
  if (FOwnerLock)
    ownerUnlock = FInputOwnerLock ? FOwnerLock->UnlockAllLockInOrder(FInputOwnerLock.Get()) : FOwnerLock->UnlockAll();

  TSnapshot snapshot;
  {
    TOWLockSectionRef r = PinReadLock();
    if (!r) return 0;
    for (std::size_t i = 0; i < FSinkPins.size(); ++i) {
      const TEntry& e = FSinkPins[i];
      TSnapshot::TItem item{e.Sink, e.DataTypeID, e.Dispatch, false};
      for (std::size_t k = 0; k < i; ++k)
        if (FSinkPins[k].Sink == e.Sink) item.Dispatch = {};  // one delivery per sink
      snapshot.Add(item);
    }
  }

  TSendingDepth depth(FInSending);
  std::size_t last = snapshot.Size();
  for (std::size_t i = 0; i < snapshot.Size(); ++i)
    if ((!APin || snapshot[i].Sink == APin) && snapshot[i].Dispatch) last = i;

  bool bAnyChanged = false;
  for (std::size_t i = 0; i < snapshot.Size(); ++i) {
    TSnapshot::TItem& item = snapshot[i];
    if ((APin && item.Sink != APin) || !item.Dispatch) continue;
    {
      // A handler on this thread may have dropped the link meanwhile.
      TOWLockSectionRef r = PinReadLock();
      if (std::none_of(FSinkPins.begin(), FSinkPins.end(), [&](const TEntry& e) { return e.Sink == item.Sink; }))
        continue;
    }
    TOWNotifyResult result = item.Dispatch(this, item.DataTypeID, AOperation, i == last ? nsLastIteration : 0);
    if (result & nrDataChanged) item.bChanged = bAnyChanged = true;
  }

  {
    TOWLockSectionRef w = PinWriteLock();
    if (bAnyChanged) {
      for (std::size_t i = 0; i < snapshot.Size(); ++i) {
        if (!snapshot[i].bChanged) continue;
        for (TEntry& e : FSinkPins)
          if (e.Sink == snapshot[i].Sink) e.Weight = std::min(e.Weight + KWeightStep, KMaxWeight);
      }
    }
    if (!FInDisconnect) {
      for (TEntry& e : FSinkPins)
        if (e.Weight > 0) --e.Weight;
      // Stable by weight, in place: std::stable_sort would take a heap buffer on every delivery.
      for (std::size_t i = 1; i < FSinkPins.size(); ++i) {
        if (!(FSinkPins[i].Weight < FSinkPins[i - 1].Weight)) continue;
        TEntry moving = FSinkPins[i];
        std::size_t j = i;
        for (; j > 0 && moving.Weight < FSinkPins[j - 1].Weight; --j) FSinkPins[j] = FSinkPins[j - 1];
        FSinkPins[j] = moving;
      }
      ApplyNotifyAfterOrder();
    }
  }
  return 0;
}

// ------------------------------------------------------------------ TSLOWSourcePin

TSLOWSourcePin::TSLOWSourcePin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent)
    : TOWSourcePin(AOwner, AOwnerLock), FOperationEvent(std::move(AOperationEvent)) {
  RegisterDataType(OWSignalDataTypeID, &TSLOWSourcePin::DispatchSignal);
  RegisterDataType(OWSignalDataType2ID, &TSLOWSourcePin::DispatchSignal);
}

TSLOWSourcePin::~TSLOWSourcePin() { BeginDestroy(); }

TOWNotifyResult TSLOWSourcePin::Notify(IOWNotifyOperation* AOperation) {
  if (!AOperation) return 0;
  TRefPtr<IOWNotifyOperation> keep(AOperation);
  // The pin outlives the whole call, the stream's record after the delivery included.
  TOWDestroyLock::TSection user = FDestroyLock.Lock();
  if (!user) return 0;
  TOWNotifyResult result = NotifyPin(nullptr, AOperation);
  if (OWOperationAs<TOWStartOperation>(AOperation)) {
    std::lock_guard g(FLPDataSection);
    FStartOperation = keep;
  } else if (OWOperationAs<TOWStopOperation>(AOperation)) {
    TRefPtr<IOWNotifyOperation> old;
    std::lock_guard g(FLPDataSection);
    std::swap(old, FStartOperation);
  }
  return result;
}

TOWNotifyResult TSLOWSourcePin::SubmitBuffer(const TRefPtr<ISLData>& ABuffer) {
  try {
    return Notify(new TOWSuppliedBufferOperation(ABuffer));
  } catch (...) {
    // The producer goes on with its next buffer.
    return 0;
  }
}

TOWNotifyResult TSLOWSourcePin::Stop() { return Notify(new TOWStopOperation()); }
TOWNotifyResult TSLOWSourcePin::EndStop() { return Notify(new TOWEndStopOperation()); }
TOWNotifyResult TSLOWSourcePin::FileEndNoStop() { return Notify(new TOWFileEndNoStopOperation()); }

TRefPtr<IOWNotifyOperation> TSLOWSourcePin::GetStartOperation() {
  std::lock_guard g(FLPDataSection);
  return FStartOperation;
}

void TSLOWSourcePin::SinkConnected(TOWSinkPin* ASink) {
  if (FOnConnect) FOnConnect(this);
  // A sink that joins a running stream learns its format.
  if (TRefPtr<IOWNotifyOperation> start = GetStartOperation()) NotifyPin(ASink, start.Get());
}

void TSLOWSourcePin::SinkDisconnecting(TOWSinkPin* ASink) { NotifyPin(ASink, new TOWStopOperation()); }

TOWNotifyResult TSLOWSourcePin::DispatchSignal(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID,
                                               IOWNotifyOperation* AOperation, TOWNotifyState AState) {
  (void)AFromPin;
  if ((AState & nsNewLink) || !FOperationEvent) return 0;
  return FOperationEvent(this, ADataTypeID, AOperation, AState);
}

TALOWAudioSourcePin::TALOWAudioSourcePin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent)
    : TSLOWSourcePin(AOwner, AOwnerLock, std::move(AOperationEvent)) {
  RegisterDataType(OWAudioDataTypeID, &TALOWAudioSourcePin::DispatchSignal);
}

TALOWAudioSourcePin::~TALOWAudioSourcePin() { BeginDestroy(); }

TOWClockSourcePin::TOWClockSourcePin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent)
    : TOWSourcePin(AOwner, AOwnerLock), FOperationEvent(std::move(AOperationEvent)) {
  RegisterDataType(OWClockDataTypeID, &TOWClockSourcePin::DispatchClock);
}

TOWClockSourcePin::~TOWClockSourcePin() { BeginDestroy(); }

TOWNotifyResult TOWClockSourcePin::Clock() { return Notify(new TOWClockOperation()); }

TOWNotifyResult TOWClockSourcePin::DispatchClock(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID,
                                                 IOWNotifyOperation* AOperation, TOWNotifyState AState) {
  (void)AFromPin;
  if ((AState & nsNewLink) || !FOperationEvent) return 0;
  return FOperationEvent(this, ADataTypeID, AOperation, AState);
}

// ------------------------------------------------------------------ TOWSinkPin

TOWSinkPin::~TOWSinkPin() { BeginDestroy(); }

void TOWSinkPin::CollectLinked(std::vector<TOWBasicPin*>& APins) {
  TOWLockSectionRef r = FLock->ReadLock();
  APins.push_back(FRealSourcePin);
}

bool TOWSinkPin::ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) {
  if (AOtherPin == this) return false;
  if (!AOtherPin) {
    Disconnect();
    return true;
  }
  if (AOtherPin->GetKind() == TKind::State) return AOtherPin->ConnectAfter(this, ANotifyAfterPin);
  if (!CanConnectTo(AOtherPin)) return false;
  auto* source = dynamic_cast<TOWSourcePin*>(AOtherPin);
  if (!source) return AOtherPin->ConnectAfter(this, ANotifyAfterPin);
  {
    TOWStructureClaim claim([&](std::vector<TOWBasicPin*>& pins) {
      pins.push_back(this);
      pins.push_back(source);
      CollectLinked(pins);
    });
    {
      TOWSourcePin* current = GetSourcePin();
      TOWBasicPin* after = nullptr;
      if (current == source && current->EntryNotifyAfter(this, after) && after == ANotifyAfterPin) return true;
    }
    TOWDestroyLock::TSection section = StructureLock();
    DisconnectSource(nullptr);  // one source per sink
    TALGuid id{};
    ChooseDataType(*source, *this, id);
    {
      TOWLockSectionRef w = PinWriteLock();
      FRealSourcePin = source;
    }
    source->AddSink(this, ANotifyAfterPin);
    {
      TOWLockSectionRef w = PinWriteLock();
      FConnectedID = id;
      FSubmitFunction = source->FindDispatch(id);
    }
    source->SetSinkDispatch(this, id, FindDispatch(id));
  }
  // The hooks deliver: no handler of a new link runs under its claims.
  source->SinkConnected(this);
  SourceConnected();
  return true;
}

bool TOWSinkPin::DisconnectSource(TOWSourcePin* ASource) {
  TOWStructureClaim claim([this](std::vector<TOWBasicPin*>& pins) {
    pins.push_back(this);
    CollectLinked(pins);
  });
  TOWDestroyLock::TSection section = StructureLock();
  TOWSourcePin* source = nullptr;
  {
    TOWLockSectionRef r = PinReadLock();
    source = FRealSourcePin;
  }
  if (!source || (ASource && source != ASource)) return false;
  source->RemoveSink(this);  // the source is told first
  {
    TOWLockSectionRef w = PinWriteLock();
    if (FRealSourcePin == source) {
      FRealSourcePin = nullptr;
      FConnectedID = {};
      FSubmitFunction = {};
    }
  }
  SourceDisconnected();
  return true;
}

bool TOWSinkPin::DisconnectFrom(TOWBasicPin* AOtherPin) {
  auto* source = dynamic_cast<TOWSourcePin*>(AOtherPin);
  return source && DisconnectSource(source);
}

bool TOWSinkPin::IsConnected() {
  TOWLockSectionRef r = PinReadLock();
  return FRealSourcePin != nullptr;
}

bool TOWSinkPin::IsConnectedTo(TOWBasicPin* AOtherPin) {
  TOWLockSectionRef r = PinReadLock();
  return AOtherPin && FRealSourcePin == AOtherPin;
}

TOWSourcePin* TOWSinkPin::GetSourcePin() {
  TOWLockSectionRef r = PinReadLock();
  return FRealSourcePin;
}

TALGuid TOWSinkPin::GetConnectedID() {
  TOWLockSectionRef r = PinReadLock();
  return FConnectedID;
}

TOWNotifyResult TOWSinkPin::Notify(IOWNotifyOperation* AOperation) {
  if (!AOperation) return 0;
  TRefPtr<IOWNotifyOperation> keep(AOperation);
  TOWLockSectionRef ownerSection;
  if (FOwnerLock) {
    ownerSection = FOwnerLock->ReadLock();
    if (!ownerSection) return 0;  // the owner is stopping
  }
  TOWDestroyLock::TSection user = FDestroyLock.Lock();
  if (!user) return 0;
  TOWDispatchFunction submit;
  TALGuid id{};
  {
    TOWLockSectionRef r = PinReadLock();
    if (!r || !FRealSourcePin) return 0;
    submit = FSubmitFunction;
    id = FConnectedID;
  }
  if (!submit) return 0;
  TOWLockSectionRef ownerUnlock = FOwnerLock ? FOwnerLock->UnlockAll() : TOWLockSectionRef();
  return submit(this, id, AOperation, nsLastIteration);
}

// ------------------------------------------------------------------ TSLOWSinkPin

TSLOWSinkPin::TSLOWSinkPin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent)
    : TOWStdSinkPin(AOwner, AOwnerLock), FOperationEvent(std::move(AOperationEvent)) {
  RegisterDataType(OWSignalDataTypeID, &TSLOWSinkPin::DispatchSignal);
}

TSLOWSinkPin::~TSLOWSinkPin() { BeginDestroy(); }

TOWNotifyResult TSLOWSinkPin::MasterPump(TObject* ASender) { return Notify(new TOWMasterPumpOperation(ASender)); }

void TSLOWSinkPin::SourceConnected() {
  if (FOnConnect) FOnConnect(this);
}

void TSLOWSinkPin::SourceDisconnected() {
  if (FOnDisconnect) FOnDisconnect(this);
}

TOWNotifyResult TSLOWSinkPin::DispatchSignal(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID,
                                             IOWNotifyOperation* AOperation, TOWNotifyState AState) {
  (void)AFromPin;
  if ((AState & nsNewLink) || !FOperationEvent) return 0;
  return FOperationEvent(this, ADataTypeID, AOperation, AState);
}

TALOWAudioSinkPin::TALOWAudioSinkPin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent)
    : TSLOWSinkPin(AOwner, AOwnerLock, std::move(AOperationEvent)) {
  RegisterDataType(OWAudioDataTypeID, &TALOWAudioSinkPin::DispatchSignal);
}

TALOWAudioSinkPin::~TALOWAudioSinkPin() { BeginDestroy(); }

TOWClockSinkPin::TOWClockSinkPin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent)
    : TOWStdSinkPin(AOwner, AOwnerLock), FOperationEvent(std::move(AOperationEvent)) {
  RegisterDataType(OWClockDataTypeID, &TOWClockSinkPin::DispatchClock);
}

TOWClockSinkPin::~TOWClockSinkPin() { BeginDestroy(); }

TOWNotifyResult TOWClockSinkPin::DispatchClock(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID,
                                               IOWNotifyOperation* AOperation, TOWNotifyState AState) {
  (void)AFromPin;
  if ((AState & nsNewLink) || !FOperationEvent) return 0;
  return FOperationEvent(this, ADataTypeID, AOperation, AState);
}

// ------------------------------------------------------------------ state pins

class TOWStateDispatcher final : public ISLUnknown {
 public:
  void AddRef() noexcept override { FRefCount.Increment(); }
  void Release() noexcept override {
    if (FRefCount.Decrement()) delete this;
  }

  std::mutex FMembersSection;
  std::vector<TOWStatePin*> FMembers;  // guarded by FMembersSection
  TOWDestroyLock FDestroyLock;         // deliveries through the group against members leaving

 private:
  ~TOWStateDispatcher() override = default;
  TSLRefCount FRefCount;
};

TOWStatePin::TOWStatePin(TObject* AOwner, IOWLock* AOwnerLock) : TOWPin(AOwner, AOwnerLock, TKind::State) {}

TOWStatePin::~TOWStatePin() { BeginDestroy(); }

TRefPtr<TOWStateDispatcher> TOWStatePin::GetDispatcher() {
  TOWLockSectionRef r = PinReadLock();
  return FDispatcher;
}

void TOWStatePin::CollectLinked(std::vector<TOWBasicPin*>& APins) {
  TRefPtr<TOWStateDispatcher> group;
  {
    TOWLockSectionRef r = FLock->ReadLock();
    group = FDispatcher;
  }
  if (!group) return;
  std::lock_guard g(group->FMembersSection);
  APins.insert(APins.end(), group->FMembers.begin(), group->FMembers.end());
}

bool TOWStatePin::ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) {
  (void)ANotifyAfterPin;
  if (AOtherPin == this) return false;
  if (!AOtherPin) {
    Disconnect();
    return true;
  }
  auto* other = dynamic_cast<TOWStatePin*>(AOtherPin);
  if (!other || !CanConnectTo(other)) return false;
  // Both groups change: every member of each is claimed.
  TOWStructureClaim claim([&](std::vector<TOWBasicPin*>& pins) {
    pins.push_back(this);
    pins.push_back(other);
    CollectLinked(pins);
    other->CollectLinked(pins);
  });
  TRefPtr<TOWStateDispatcher> mine = GetDispatcher();
  TRefPtr<TOWStateDispatcher> group = other->GetDispatcher();
  if (mine && mine == group) return true;
  if (!group) {
    group = TRefPtr<TOWStateDispatcher>(new TOWStateDispatcher());
    {
      std::lock_guard g(group->FMembersSection);
      group->FMembers.push_back(other);
    }
    TOWLockSectionRef w = other->PinWriteLock();
    other->FDispatcher = group;
  }
  // This pin's whole group joins the other's.
  std::vector<TOWStatePin*> joining{this};
  if (mine) {
    TOWDestroyLock::TSection section = mine->FDestroyLock.DestroyLock(FLock.Get(), FOwnerLock.Get());
    std::lock_guard g(mine->FMembersSection);
    joining = std::move(mine->FMembers);
    mine->FMembers.clear();
  }
  for (TOWStatePin* pin : joining) {
    {
      std::lock_guard g(group->FMembersSection);
      group->FMembers.push_back(pin);
    }
    TOWLockSectionRef w = pin->PinWriteLock();
    pin->FDispatcher = group;
  }
  Joined(other);
  return true;
}

void TOWStatePin::Disconnect() {
  TOWStructureClaim claim([this](std::vector<TOWBasicPin*>& pins) {
    pins.push_back(this);
    CollectLinked(pins);
  });
  TRefPtr<TOWStateDispatcher> group = GetDispatcher();
  if (!group) return;
  TOWDestroyLock::TSection section = group->FDestroyLock.DestroyLock(FLock.Get(), FOwnerLock.Get());
  TOWStatePin* alone = nullptr;
  {
    std::lock_guard g(group->FMembersSection);
    auto& m = group->FMembers;
    m.erase(std::remove(m.begin(), m.end(), this), m.end());
    if (m.size() == 1) {  // a group of one is no connection
      alone = m.front();
      m.clear();
    }
  }
  {
    TOWLockSectionRef w = PinWriteLock();
    FDispatcher.Reset();
  }
  if (alone) {
    TOWLockSectionRef w = alone->PinWriteLock();
    alone->FDispatcher.Reset();
  }
}

bool TOWStatePin::DisconnectFrom(TOWBasicPin* AOtherPin) {
  if (!IsConnectedTo(AOtherPin)) return false;
  Disconnect();
  return true;
}

bool TOWStatePin::IsConnected() {
  TRefPtr<TOWStateDispatcher> group = GetDispatcher();
  if (!group) return false;
  std::lock_guard g(group->FMembersSection);
  return group->FMembers.size() > 1;
}

bool TOWStatePin::IsConnectedTo(TOWBasicPin* AOtherPin) {
  auto* other = dynamic_cast<TOWStatePin*>(AOtherPin);
  if (!other || other == this) return false;
  TRefPtr<TOWStateDispatcher> group = GetDispatcher();
  return group && group == other->GetDispatcher();
}

TOWNotifyResult TOWStatePin::Notify(IOWNotifyOperation* AOperation) {
  if (!AOperation) return 0;
  TRefPtr<IOWNotifyOperation> keep(AOperation);
  TOWDestroyLock::TSection user = FDestroyLock.Lock();
  if (!user) return 0;
  TRefPtr<TOWStateDispatcher> group = GetDispatcher();
  if (!group) return 0;
  TOWDestroyLock::TSection groupUser = group->FDestroyLock.Lock();
  if (!groupUser) return 0;
  std::vector<TOWStatePin*> members;
  {
    std::lock_guard g(group->FMembersSection);
    for (TOWStatePin* pin : group->FMembers)
      if (pin != this) members.push_back(pin);
  }
  TOWLockSectionRef ownerUnlock = FOwnerLock ? FOwnerLock->UnlockAll() : TOWLockSectionRef();
  for (std::size_t i = 0; i < members.size(); ++i) {
    TALGuid id{};
    if (!ChooseDataType(*this, *members[i], id)) continue;
    if (TOWDispatchFunction f = members[i]->FindDispatch(id))
      f(this, id, AOperation, i + 1 == members.size() ? nsLastIteration : 0);
  }
  return 0;
}

}  // namespace portwise
