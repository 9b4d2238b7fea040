#include "gen/SLCommonGen.h"

#include <exception>
#include <utility>

namespace portwise {

TSLBasicCommonGen::TSLBasicCommonGen(TComponent* AOwner)
    : TLPComponent(AOwner),
      FEnablePin(this, FLock.Get(), [this](TOWPin*, bool AValue, bool) { SetEnabled(AValue); }),
      FClockPin(this, FLock.Get(),
                [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
                  return ClockPinOperation(AOperation);
                }) {
  FEnablePin.SetName("EnablePin");
  FClockPin.SetName("ClockPin");
  FStopNotify = std::make_unique<TSLMainThreadNotify>([this] { ReleaseUnusedClock(); });
}

// The most derived destructor has shut the generator down; only the clock is left to check.
TSLBasicCommonGen::~TSLBasicCommonGen() {
  if (!FShutDown) FreeClock();
}

const TLPPropertyList& TSLBasicCommonGen::ClassProperties() {
  using C = TSLBasicCommonGen;
  static const TLPPropertyList list(&TComponent::ClassProperties(),
                                    LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled),
                                    LPProperty<C>("PumpPriority", &C::GetPumpPriority, &C::SetPumpPriority),
                                    LPProperty<C>("ClockSource", &C::GetClockSource, &C::SetClockSource));
  return list;
}

// ------------------------------------------------------------------ properties

bool TSLBasicCommonGen::GetEnabled() const { return FLock->Getter(FEnabled); }

void TSLBasicCommonGen::SetEnabled(bool AValue) {
  // A refused section means a stop is under way on another thread: a start now would only be
  // undone by it, and storing the flag without the lock would race with it.
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FEnabled == AValue) return;
  FEnabled = AValue;
  if (FEnabled) {
    if (!IsDesigning()) TryStart();
  } else {
    StopGenerator();
  }
  FLock->ChangeNotify();
}

std::int32_t TSLBasicCommonGen::GetPumpPriority() const { return FLock->Getter(FPumpPriority); }

void TSLBasicCommonGen::SetPumpPriority(std::int32_t AValue) { FLock->Setter(FPumpPriority, AValue); }

TSLClockSource TSLBasicCommonGen::GetClockSource() const { return FLock->Getter(FClockSource); }

void TSLBasicCommonGen::SetClockSource(TSLClockSource AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FClockSource == AValue) return;
  if (FIsRunning && FClockSource == csInternal) FreeClock();
  FClockSource = AValue;
  NegotiatePump();
  EnsureClock();
  FLock->ChangeNotify();
}

TNotifyEvent TSLBasicCommonGen::GetOnStop() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FOnStop;
}

void TSLBasicCommonGen::SetOnStop(TNotifyEvent AValue) {
  TOWLockSectionRef section = FLock->WriteLock();
  FOnStop = std::move(AValue);
}

void TSLBasicCommonGen::Pump() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FClockSource != csExternal) return;
  ProduceBuffer();
}

bool TSLBasicCommonGen::IsRunning() const { return FLock->Getter(FIsRunning); }

bool TSLBasicCommonGen::IsPump() const { return FLock->Getter(FIsPump); }

TObject* TSLBasicCommonGen::GetMasterPump() const { return FLock->Getter(FMasterPump); }

bool TSLBasicCommonGen::HasOwnClock() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return FClockGen != nullptr;
}

std::uint32_t TSLBasicCommonGen::GetBufferSize() { return 1; }

// ------------------------------------------------------------------ run behaviour

void TSLBasicCommonGen::InitializeComponent(bool ACreatedAtRunTime) {
  TLPComponent::InitializeComponent(ACreatedAtRunTime);
  bool enabled;
  {
    TOWLockSectionRef section = FLock->WriteLock();
    if (ACreatedAtRunTime) FEnabled = false;
    enabled = FEnabled;
  }
  if (enabled) TryStart();
}

void TSLBasicCommonGen::TryStart() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || IsLoading() || FIsRunning || !CanStart()) return;
  FFirstRequest = true;
  NegotiatePump();
  StartGenerator();
}

void TSLBasicCommonGen::NegotiatePump() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  if (FClockSource == csExternal) {
    FIsPump = true;
    return;
  }
  const std::uint32_t size = GetBufferSize();
  const float rate = size ? static_cast<float>(static_cast<double>(GetSampleRate()) / size) : 0.0f;
  TRefPtr<TOWPumpRequestOperation> request(new TOWPumpRequestOperation(this, ptMaster, FPumpPriority, rate));
  GetOutputPin().Notify(request.Get());
  TOWLockSectionRef relock = RelockAfterDelivery();
  if (!relock) return;
  if (request->Pump == this) {
    FIsPump = true;
    FMasterPump = nullptr;
    return;
  }
  FIsPump = false;
  FMasterPump = request->Pump;
  // A master paces the stream from now on: the own clock must not produce as well.
  if (FClockGen) FStopNotify->Notify(false);
}

void TSLBasicCommonGen::StartGenerator() {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  FFirstRequest = true;
  FInStopping = false;
  NegotiatePump();
  StartStream();
  TOWLockSectionRef relock = RelockAfterDelivery();
  if (!relock) return;
  FIsRunning = true;
  if (FClockSource == csInternal && !FIsPump) {
    TRefPtr<TOWStartPumpOperation> start(new TOWStartPumpOperation(FMasterPump));
    GetOutputPin().Notify(start.Get());
    relock = RelockAfterDelivery();
    if (!relock) return;
  }
  EnsureClock();
  TRefPtr<TOWClockNeededOperation> needed(new TOWClockNeededOperation(true));
  FClockPin.Notify(needed.Get());
}

void TSLBasicCommonGen::StopGenerator() {
  TOWLockSectionRef section = FLock->StopLock();
  FInStopping = false;
  // Not running any more before the clock is released: the release keeps a clock that the
  // generator still paces itself with.
  FIsRunning = false;
  FStopNotify->Notify(false);
  FEnabled = false;
  FFirstRequest = true;
  // The clock input first: once a delivery has released the lock during this stop, the lock is
  // not taken back, and an upstream notification needs it.
  TRefPtr<TOWClockNeededOperation> needed(new TOWClockNeededOperation(false));
  FClockPin.Notify(needed.Get());
  TRefPtr<TOWStopOperation> stop(new TOWStopOperation());
  GetOutputPin().Notify(stop.Get());
  if (FOnStop) FOnStop(this);
}

void TSLBasicCommonGen::RequestStop() {
  TOWLockSectionRef section = FLock->StopLock();
  FInStopping = true;
  StopGenerator();
}

void TSLBasicCommonGen::FreeClock() {
  TOWLockSectionRef section = FLock->StopLock();
  // Destroying the clock waits for its thread; a tick under way cannot take the lock meanwhile
  // (the stop section refuses it) and ends.
  std::unique_ptr<TSLClockGen> clock = std::move(FClockGen);
  clock.reset();
}

void TSLBasicCommonGen::ReleaseUnusedClock() {
  TOWLockSectionRef section = FLock->StopLock();
  if (FIsRunning && FIsPump && FClockSource == csInternal) return;
  FreeClock();
}

void TSLBasicCommonGen::CreateClock(std::int64_t AInterval) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section || FClockGen) return;
  FClockGen = std::make_unique<TSLClockGen>(MakeThreadName(GetName(), ClassName(), ""), AInterval,
                                            [this] { ClockTick(); });
}

void TSLBasicCommonGen::ClockTick() {
  TOWLockSectionRef section = FLock->WriteLock();
  // Refused: a stop or the destruction is under way. A tick that arrives after a master took
  // over the stream (before the clock is released on the main thread) produces nothing either.
  if (!section || !FIsPump || FClockSource != csInternal) return;
  try {
    ProduceBuffer();
  } catch (const std::exception&) {
    // Nothing may leave the clock thread; the next tick tries again.
  }
}

void TSLBasicCommonGen::HandleMasterPump(TObject* APump, std::uint32_t AOperationID) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return;
  const bool answer = !FIsPump && APump == FMasterPump && (AOperationID != FLastOperationID || FFirstRequest);
  FFirstRequest = false;
  FLastOperationID = AOperationID;
  if (answer) ProduceBuffer();
}

TOWNotifyResult TSLBasicCommonGen::ClockPinOperation(IOWNotifyOperation* AOperation) {
  TOWLockSectionRef section = FLock->WriteLock();
  if (!section) return 0;
  if (OWOperationAs<TOWClockOperation>(AOperation)) {
    if (FIsPump && FClockSource == csExternal) ProduceBuffer();
    return 0;
  }
  TRefPtr<TOWClockNeededOperation> needed(new TOWClockNeededOperation(FEnabled));
  FClockPin.Notify(needed.Get());
  return 0;
}

TOWLockSectionRef TSLBasicCommonGen::RelockAfterDelivery() { return FLock->WriteLock(); }

void TSLBasicCommonGen::ShutDown() {
  if (FShutDown) return;
  FShutDown = true;
  FDestroySection = FLock->StopLock();
  MarkDestroying();
  FreeClock();
  if (FIsRunning) StopGenerator();
}

}  // namespace portwise
