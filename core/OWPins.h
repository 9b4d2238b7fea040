#pragma once
// Pins: the only way components exchange stream operations. A source pin notifies every connected
// sink (downstream); a sink notifies its one source (upstream); boolean state pins share a value
// within a group. Each pin hands what it receives to its owner's handler, on the sending thread.
//
// Locks. A pin's own lock guards its connection data and is held only while that data is read or
// changed, never across a call into another component. Around such calls the pin has released
// its owner's lock (so handlers of other components never run under this component's lock) and
// holds a user section of its destroy lock: structural changes (connect, disconnect, destruction)
// wait for deliveries already under way and refuse new ones, so a pin never calls into a pin that
// is going away.
//
// A structural change first claims every pin it touches (the pin and the pins linked to it), all
// at once; claims are re-entrant per thread. Only changes that share a pin wait for each other, so
// a change stuck behind a delivery that does not return holds up the pins of that link alone.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/OWLock.h"
#include "core/OWOperations.h"
#include "core/SLTypes.h"

namespace portwise {

class TOWBasicPin;
class TOWPin;
class TOWSourcePin;
class TOWSinkPin;
class TOWStatePin;
class TOWStructureClaim;

using TOWNotifyState = std::uint32_t;  // set of:
inline constexpr TOWNotifyState nsNewLink = 1;
inline constexpr TOWNotifyState nsLastIteration = 2;
using TOWNotifyResult = std::uint32_t;  // set of:
inline constexpr TOWNotifyResult nrDataChanged = 1;

// The owner's operation handler of signal and audio pins.
using TSLOperationEvent = std::function<TOWNotifyResult(TOWBasicPin* Sender, const TALGuid& DataTypeID,
                                                        IOWNotifyOperation* Operation, TOWNotifyState State)>;
using TOWPinEvent = std::function<void(TOWBasicPin* APin)>;
using TOWBoolChangeEvent = std::function<void(TOWPin* Sender, bool AValue, bool AOnConnect)>;

// Data types a connection can carry.
inline constexpr TALGuid OWAudioDataTypeID = SLGuid("{1D5BD085-492E-4979-8F76-9C97D5C3C5B6}");
inline constexpr TALGuid OWSignalDataTypeID = SLGuid("{949B7FD0-421F-4F1B-B8D2-87969D3E66E0}");
inline constexpr TALGuid OWSignalDataType2ID = SLGuid("{48CDAF9F-00C7-4B45-999D-4EE25353A952}");
inline constexpr TALGuid OWBoolStateDataTypeID = SLGuid("{7AA677AE-F983-4714-8E64-EC6F3D17695B}");
inline constexpr TALGuid OWClockDataTypeID = SLGuid("{88EFAECD-F143-43B5-AA12-7C8926D4DD80}");

inline constexpr const char* KOWPinDependsOnItself =
    "The pin depends on itself. Please protect with functional dependency.";

// Raised when a notification re-enters one source pin more than 200 levels deep.
class EOWPinError : public EPortwiseError {
 public:
  explicit EOWPinError(const std::string& AMessage) : EPortwiseError(AMessage) {}
};

// A pin's receiving function for one data type.
using TOWDispatchMethod = TOWNotifyResult (TOWBasicPin::*)(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID,
                                                          IOWNotifyOperation* AOperation, TOWNotifyState AState);
struct TOWDispatchFunction {
  TOWBasicPin* Pin = nullptr;
  TOWDispatchMethod Method = nullptr;
  explicit operator bool() const noexcept { return Pin && Method; }
  TOWNotifyResult operator()(TOWBasicPin* AFrom, const TALGuid& AID, IOWNotifyOperation* AOp, TOWNotifyState AState) const {
    return (Pin->*Method)(AFrom, AID, AOp, AState);
  }
};

// ------------------------------------------------------------------ destroy lock

// Users (outgoing calls) against structural changes. Lock is refused while a destroy is in
// progress on another thread; DestroyLock waits until no other thread is inside a user section
// (the calling thread's own user sections do not count: a handler may disconnect the pin it was
// called through) and refuses new users until it is left.
class TOWDestroyLock {
 public:
  class TSection {
   public:
    TSection() = default;
    TSection(TSection&& o) noexcept : FLock(std::exchange(o.FLock, nullptr)), FDestroy(o.FDestroy) {}
    TSection& operator=(TSection&& o) noexcept;
    TSection(const TSection&) = delete;
    TSection& operator=(const TSection&) = delete;
    ~TSection() { Leave(); }
    explicit operator bool() const noexcept { return FLock != nullptr; }
    void Leave() noexcept;

   private:
    friend class TOWDestroyLock;
    TSection(TOWDestroyLock* ALock, bool ADestroy) : FLock(ALock), FDestroy(ADestroy) {}
    TOWDestroyLock* FLock = nullptr;
    bool FDestroy = false;
  };

  TOWDestroyLock() = default;
  TOWDestroyLock(const TOWDestroyLock&) = delete;
  TOWDestroyLock& operator=(const TOWDestroyLock&) = delete;

  [[nodiscard]] TSection Lock();
  // While waiting, the calling thread's holds on APinLock and AOwnerLock are given up, so a
  // delivery under way can finish what it needs them for.
  [[nodiscard]] TSection DestroyLock(IOWLock* APinLock, IOWLock* AOwnerLock);
  bool Destroying();

 private:
  struct TThreadUsers {
    std::thread::id Thread;
    std::int32_t Count = 0;
  };
  std::int32_t& UsersOf(std::thread::id AThread);
  std::int32_t OthersLocked(std::thread::id AThread);
  void LeaveUser() noexcept;
  void LeaveDestroy() noexcept;

  std::mutex FSection;
  std::condition_variable FIdle;
  std::int32_t FLockCounter = 0;
  std::int32_t FDestroying = 0;
  std::thread::id FThreadID;
  std::vector<TThreadUsers> FUsers;  // per thread; entries are kept for reuse
};

// ------------------------------------------------------------------ pins

class TOWPinObject : public TObject {
 public:
  TObject* GetOwner() const noexcept { return FOwner; }
  const std::string& GetName() const noexcept { return FName; }
  void SetName(const std::string& AName) { FName = AName; }

 protected:
  explicit TOWPinObject(TObject* AOwner) : FOwner(AOwner) {}

  TObject* FOwner;
  std::string FName;
};

class TOWBasicPin : public TOWPinObject {
 public:
  enum class TKind : std::uint8_t { Source, Sink, State };

  ~TOWBasicPin() override;

  bool Connect(TOWBasicPin* AOtherPin) { return ConnectAfter(AOtherPin, nullptr); }
  virtual bool ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) = 0;
  virtual void Disconnect() = 0;
  virtual bool DisconnectFrom(TOWBasicPin* AOtherPin) = 0;
  virtual bool IsConnected() = 0;
  virtual bool IsConnectedTo(TOWBasicPin* AOtherPin) = 0;
  // Complementary kinds and a data type in common.
  virtual bool CanConnectTo(TOWBasicPin* AOtherPin);
  virtual TOWNotifyResult Notify(IOWNotifyOperation* AOperation) = 0;

  TKind GetKind() const noexcept { return FKind; }
  IOWLock* GetOwnerLock() const noexcept { return FOwnerLock.Get(); }
  // The dispatch function registered for a data type.
  TOWDispatchFunction FindDispatch(const TALGuid& ADataTypeID) const;
  // The connection type of a source and a sink: the source's types from the last registered to
  // the first, the first one the sink has too. False when they have none in common.
  static bool ChooseDataType(TOWBasicPin& ASource, TOWBasicPin& ASink, TALGuid& ADataTypeID);

 protected:
  TOWBasicPin(TObject* AOwner, IOWLock* AOwnerLock, TKind AKind);

  template <class P>
  void RegisterDataType(const TALGuid& ADataTypeID,
                        TOWNotifyResult (P::*AMethod)(TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState)) {
    FDataTypes.push_back({ADataTypeID, static_cast<TOWDispatchMethod>(AMethod)});
  }

  [[nodiscard]] TOWLockSectionRef PinReadLock() { return FLock->ReadLock(FOwnerLock.Get()); }
  [[nodiscard]] TOWLockSectionRef PinWriteLock() { return FLock->WriteLock(FOwnerLock.Get()); }
  [[nodiscard]] TOWDestroyLock::TSection StructureLock() { return FDestroyLock.DestroyLock(FLock.Get(), FOwnerLock.Get()); }
  // First step of every destructor along the chain: refuse new deliveries for good, wait for the
  // ones under way and drop every connection while the whole object still exists.
  void BeginDestroy();
  // The pins a structural change of this one touches besides itself. Called with the claim
  // registry held: reads the pin's own data only.
  virtual void CollectLinked(std::vector<TOWBasicPin*>& APins) { (void)APins; }

  TRefPtr<TOWLock> FLock;
  TRefPtr<IOWLock> FOwnerLock;
  TOWDestroyLock FDestroyLock;
  std::atomic<std::int32_t> FInSending{0};

 private:
  struct TDataType {
    TALGuid ID;
    TOWDispatchMethod Method;
  };
  TKind FKind;
  std::vector<TDataType> FDataTypes;  // registration order
  TOWDestroyLock::TSection FDestroyHeld;  // from BeginDestroy to the end of the object
  bool FBeginDestroyDone = false;

  friend class TOWStructureClaim;
  // The thread changing this pin's connections and how often it claimed it; guarded by the
  // claim registry's mutex.
  std::thread::id FClaimThread;
  std::int32_t FClaimDepth = 0;
};

class TOWPin : public TOWBasicPin {
 protected:
  using TOWBasicPin::TOWBasicPin;
};

class TOWStreamPin : public TOWPin {
 protected:
  using TOWPin::TOWPin;
};

// ------------------------------------------------------------------ source side

class TOWSourcePin : public TOWStreamPin {
 public:
  ~TOWSourcePin() override;

  bool ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) override;
  virtual bool CanConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin);
  void Disconnect() override;
  bool DisconnectFrom(TOWBasicPin* AOtherPin) override;
  bool IsConnected() override;
  bool IsConnectedTo(TOWBasicPin* AOtherPin) override;
  std::int32_t GetSinkCount();
  // The connected sinks in delivery order.
  std::vector<TOWBasicPin*> GetSinkPins();

  // Downstream to every sink, or to APin alone.
  TOWNotifyResult Notify(IOWNotifyOperation* AOperation) override { return NotifyPin(nullptr, AOperation); }
  TOWNotifyResult NotifyPin(TOWBasicPin* APin, IOWNotifyOperation* AOperation);

  std::int32_t GetMaxConnections() const noexcept { return FMaxConnections; }
  void SetMaxConnections(std::int32_t AValue) { FMaxConnections = AValue; }
  // A second lock released during deliveries (re-taken before the owner's lock).
  void SetInputOwnerLock(IOWLock* ALock) { FInputOwnerLock = ALock; }

  // Delivery order bookkeeping, for diagnostics and tests.
  std::int32_t GetWeight(TOWBasicPin* ASink);

 protected:
  TOWSourcePin(TObject* AOwner, IOWLock* AOwnerLock) : TOWStreamPin(AOwner, AOwnerLock, TKind::Source) {}

  friend class TOWSinkPin;
  // Called by a sink that connects to this source.
  void AddSink(TOWSinkPin* ASink, TOWBasicPin* ANotifyAfterPin);
  void SetSinkDispatch(TOWSinkPin* ASink, const TALGuid& ADataTypeID, TOWDispatchFunction ADispatch);
  // Removes the sink's entry; a signal source first sends it a stop.
  void RemoveSink(TOWSinkPin* ASink);
  bool EntryNotifyAfter(TOWBasicPin* ASink, TOWBasicPin*& ANotifyAfterPin);
  // After a sink connected (data type chosen): the connect hook.
  virtual void SinkConnected(TOWSinkPin* ASink) { (void)ASink; }
  // Before an entry goes.
  virtual void SinkDisconnecting(TOWSinkPin* ASink) { (void)ASink; }
  void CollectLinked(std::vector<TOWBasicPin*>& APins) override;

  struct TEntry {
    TOWBasicPin* Sink = nullptr;
    TOWBasicPin* NotifyAfter = nullptr;
    TALGuid DataTypeID{};
    TOWDispatchFunction Dispatch;
    std::int32_t Weight = 0;
  };

  std::int32_t FMaxConnections = -1;
  TRefPtr<IOWLock> FInputOwnerLock;
  bool FInDisconnect = false;  // guarded by FLock
  bool FInEditor = false;

 private:
  void ApplyNotifyAfterOrder();

  std::vector<TEntry> FSinkPins;  // guarded by FLock
};

class TSLOWSourcePin : public TOWSourcePin {
 public:
  TSLOWSourcePin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent);
  ~TSLOWSourcePin() override;

  // Delivers, then remembers a start operation (cleared again by a stop) for sinks that join later.
  TOWNotifyResult Notify(IOWNotifyOperation* AOperation) override;
  // Wraps the buffer in a buffer operation; whatever is raised on the way is swallowed.
  TOWNotifyResult SubmitBuffer(const TRefPtr<ISLData>& ABuffer);
  TOWNotifyResult Stop();
  TOWNotifyResult EndStop();
  TOWNotifyResult FileEndNoStop();

  TRefPtr<IOWNotifyOperation> GetStartOperation();
  void SetOnConnect(TOWPinEvent AEvent) { FOnConnect = std::move(AEvent); }

 protected:
  void SinkConnected(TOWSinkPin* ASink) override;
  void SinkDisconnecting(TOWSinkPin* ASink) override;
  TOWNotifyResult DispatchSignal(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID, IOWNotifyOperation* AOperation,
                                 TOWNotifyState AState);

  std::mutex FLPDataSection;
  TRefPtr<IOWNotifyOperation> FStartOperation;  // guarded by FLPDataSection
  TOWPinEvent FOnConnect;
  TSLOperationEvent FOperationEvent;
};

class TALOWAudioSourcePin : public TSLOWSourcePin {
 public:
  TALOWAudioSourcePin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent);
  ~TALOWAudioSourcePin() override;
};

// One tick per Clock(); operations coming back upstream go to the owner's handler.
class TOWClockSourcePin : public TOWSourcePin {
 public:
  TOWClockSourcePin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent);
  ~TOWClockSourcePin() override;
  TOWNotifyResult Clock();

 protected:
  TOWNotifyResult DispatchClock(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID, IOWNotifyOperation* AOperation,
                                TOWNotifyState AState);
  TSLOperationEvent FOperationEvent;
};

// ------------------------------------------------------------------ sink side

class TOWBasicSinkPin : public TOWStreamPin {
 protected:
  TOWBasicSinkPin(TObject* AOwner, IOWLock* AOwnerLock) : TOWStreamPin(AOwner, AOwnerLock, TKind::Sink) {}
};

class TOWSinkPin : public TOWBasicSinkPin {
 public:
  ~TOWSinkPin() override;

  bool ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) override;
  void Disconnect() override { DisconnectSource(nullptr); }
  bool DisconnectFrom(TOWBasicPin* AOtherPin) override;
  bool IsConnected() override;
  bool IsConnectedTo(TOWBasicPin* AOtherPin) override;
  TOWSourcePin* GetSourcePin();
  TALGuid GetConnectedID();

  // Upstream to the source's owner; empty when not connected or when this side is stopping.
  TOWNotifyResult Notify(IOWNotifyOperation* AOperation) override;

 protected:
  TOWSinkPin(TObject* AOwner, IOWLock* AOwnerLock) : TOWBasicSinkPin(AOwner, AOwnerLock) {}

  friend class TOWSourcePin;
  // Drops the connection to ASource (to any source when nullptr): the source first, then this side.
  bool DisconnectSource(TOWSourcePin* ASource);
  virtual void SourceConnected() {}
  virtual void SourceDisconnected() {}
  void CollectLinked(std::vector<TOWBasicPin*>& APins) override;

  TOWSourcePin* FRealSourcePin = nullptr;  // guarded by FLock
  TALGuid FConnectedID{};
  TOWDispatchFunction FSubmitFunction;
};

class TOWStdSinkPin : public TOWSinkPin {
 protected:
  using TOWSinkPin::TOWSinkPin;
};

class TSLOWSinkPin : public TOWStdSinkPin {
 public:
  TSLOWSinkPin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent);
  ~TSLOWSinkPin() override;

  // Asks the source for one buffer: a master pump operation upstream with Pump = ASender.
  TOWNotifyResult MasterPump(TObject* ASender);

  void SetOnConnect(TOWPinEvent AEvent) { FOnConnect = std::move(AEvent); }
  void SetOnDisconnect(TOWPinEvent AEvent) { FOnDisconnect = std::move(AEvent); }

 protected:
  void SourceConnected() override;
  void SourceDisconnected() override;
  TOWNotifyResult DispatchSignal(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID, IOWNotifyOperation* AOperation,
                                 TOWNotifyState AState);

  TSLOperationEvent FOperationEvent;
  TOWPinEvent FOnConnect;
  TOWPinEvent FOnDisconnect;
  bool FIgnoreUpstream = true;
};

class TALOWAudioSinkPin : public TSLOWSinkPin {
 public:
  TALOWAudioSinkPin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent);
  ~TALOWAudioSinkPin() override;
};

class TOWClockSinkPin : public TOWStdSinkPin {
 public:
  TOWClockSinkPin(TObject* AOwner, IOWLock* AOwnerLock, TSLOperationEvent AOperationEvent);
  ~TOWClockSinkPin() override;

 protected:
  TOWNotifyResult DispatchClock(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID, IOWNotifyOperation* AOperation,
                                TOWNotifyState AState);
  TSLOperationEvent FOperationEvent;
};

// ------------------------------------------------------------------ state pins

class TOWStateDispatcher;

// State pins that are connected form one group; what one member sends reaches all others.
class TOWStatePin : public TOWPin {
 public:
  ~TOWStatePin() override;

  bool ConnectAfter(TOWBasicPin* AOtherPin, TOWBasicPin* ANotifyAfterPin) override;
  void Disconnect() override;
  bool DisconnectFrom(TOWBasicPin* AOtherPin) override;
  bool IsConnected() override;
  bool IsConnectedTo(TOWBasicPin* AOtherPin) override;
  // Delivers to every other member of the group.
  TOWNotifyResult Notify(IOWNotifyOperation* AOperation) override;

 protected:
  TOWStatePin(TObject* AOwner, IOWLock* AOwnerLock);
  // A pin has joined this one's group.
  virtual void Joined(TOWStatePin* AOther) { (void)AOther; }
  TRefPtr<TOWStateDispatcher> GetDispatcher();
  void CollectLinked(std::vector<TOWBasicPin*>& APins) override;

 private:
  friend class TOWStateDispatcher;
  TRefPtr<TOWStateDispatcher> FDispatcher;  // guarded by FLock
};

class TOWStdStatePin : public TOWStatePin {
 protected:
  using TOWStatePin::TOWStatePin;
};

// A state pin carrying one value of type T within its group; TOperation carries the value.
template <class T, class TOperation, const TALGuid& DataTypeID>
class TOWValueStatePin : public TOWStdStatePin {
 public:
  using TChangeEvent = std::function<void(TOWPin* Sender, T AValue, bool AOnConnect)>;

  TOWValueStatePin(TObject* AOwner, IOWLock* AOwnerLock, TChangeEvent AOnChange)
      : TOWStdStatePin(AOwner, AOwnerLock), FOnChange(std::move(AOnChange)) {
    RegisterDataType(DataTypeID, &TOWValueStatePin::DispatchValue);
  }
  ~TOWValueStatePin() override { BeginDestroy(); }

  T GetValue() const noexcept { return FValue.load(); }
  // Sends the value to the group when it differs from the stored one.
  void SetValue(T AValue) {
    if (FValue.load() != AValue) Send(AValue);
  }
  void Send(T AValue) {
    FValue.store(AValue);
    TRefPtr<TOperation> op(new TOperation(AValue));
    Notify(op.Get());
  }

 protected:
  // A pin that joins a group takes the value of the pin it connected to.
  void Joined(TOWStatePin* AOther) override {
    auto* other = dynamic_cast<TOWValueStatePin*>(AOther);
    if (other && other->GetValue() != GetValue()) Receive(other->GetValue(), true);
  }
  TOWNotifyResult DispatchValue(TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
    if (auto* op = OWOperationAs<TOperation>(AOperation)) Receive(op->Value, false);
    return 0;
  }
  void Receive(T AValue, bool AOnConnect) {
    FValue.store(AValue);
    if (FOnChange) FOnChange(this, AValue, AOnConnect);
  }

  std::atomic<T> FValue{T{}};
  TChangeEvent FOnChange;
};

class TOWBoolStatePin : public TOWValueStatePin<bool, TOWSuppliedBoolOperation, OWBoolStateDataTypeID> {
 public:
  using TOWValueStatePin::TOWValueStatePin;
};

}  // namespace portwise
