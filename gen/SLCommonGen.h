#pragma once
// What every generator needs to run: the Enabled switch, the enable and clock input pins, and the
// negotiation with the components downstream about who paces the stream. A generator produces a
// buffer only when told to: by the requests of a downstream master that claimed the stream, by
// the ticks of its own clock when nobody claimed it, or by ticks on its clock input pin.
//
// Threads. The main thread sets properties, starts and stops; the own clock's thread produces
// buffers; a downstream component's thread may pull buffers, announce its rate or stop the
// stream. Every entry takes the component's lock (a stop section for stops and destruction, so
// a clock thread that is producing gives up instead of waiting). The own clock is released on
// the main thread only, through FStopNotify; the generator must be created and destroyed there.
#include <cstdint>
#include <memory>

#include "core/LPComponent.h"
#include "core/OWPins.h"
#include "core/SLTypes.h"
#include "gen/SLClockGen.h"

namespace portwise {

enum TSLClockSource : std::uint8_t { csInternal, csExternal };

class TSLBasicCommonGen : public TLPComponent {
 public:
  explicit TSLBasicCommonGen(TComponent* AOwner);
  ~TSLBasicCommonGen() override;

  bool GetEnabled() const;
  // True: start (once loading has finished); false: stop.
  void SetEnabled(bool AValue);
  std::int32_t GetPumpPriority() const;
  void SetPumpPriority(std::int32_t AValue);
  TSLClockSource GetClockSource() const;
  void SetClockSource(TSLClockSource AValue);
  TOWBoolStatePin& GetEnablePin() noexcept { return FEnablePin; }
  TOWClockSinkPin& GetClockPin() noexcept { return FClockPin; }
  TNotifyEvent GetOnStop() const;
  // Called at the end of every stop, on the stopping thread.
  void SetOnStop(TNotifyEvent AValue);

  void Start() { SetEnabled(true); }
  void Stop() { SetEnabled(false); }
  // With an external clock: one buffer now.
  void Pump();

  // Run state, for diagnostics and tests.
  bool IsRunning() const;
  bool IsPump() const;
  TObject* GetMasterPump() const;
  bool HasOwnClock() const;

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  virtual TSLOWSourcePin& GetOutputPin() = 0;
  // Asks downstream who paces the stream (internal clock) or paces itself (external clock).
  virtual void NegotiatePump();
  // Announces the stream on the output pin.
  virtual void StartStream() = 0;
  virtual void StartGenerator();
  virtual void StopGenerator();
  // Creates the own clock when the generator paces itself with it and has none.
  virtual void EnsureClock() = 0;
  virtual void TryStart();
  virtual std::uint32_t GetBufferSize();
  virtual std::uint32_t GetSampleRate() = 0;
  virtual bool CanStart() { return true; }
  virtual void ProduceBuffer() = 0;

  // A stop asked for by the generation itself.
  void RequestStop();
  // Destroys the own clock now (stop section); main thread.
  void FreeClock();
  // The own clock, firing every AInterval (100 ns units); its ticks produce buffers while the
  // generator paces itself with it.
  void CreateClock(std::int64_t AInterval);
  // One buffer for a master's request, unless the request was already answered.
  void HandleMasterPump(TObject* APump, std::uint32_t AOperationID);

  // Deliveries release the lock; a stop that began meanwhile on another thread keeps it from
  // being taken back. Sequences that go on after a delivery take it again here and give up when
  // it is refused.
  TOWLockSectionRef RelockAfterDelivery();

  // Created at run time: ends disabled. Loaded enabled: starts now.
  void InitializeComponent(bool ACreatedAtRunTime) override;

  // First step of the most derived destructor (the others repeat it harmlessly): under a stop
  // section that is kept until the object is gone, the own clock is destroyed and a running
  // stream stopped, so no thread enters a half-destroyed generator.
  void ShutDown();

  // Held from ShutDown to the end of the object; declared first, so it goes last.
  TOWLockSectionRef FDestroySection;

  bool FIsRunning = false;
  std::uint32_t FLastOperationID = 0;
  bool FFirstRequest = true;
  bool FIsPump = false;
  TObject* FMasterPump = nullptr;
  bool FInStopping = false;
  bool FEnabled = true;
  std::int32_t FPumpPriority = 0;
  TNotifyEvent FOnStop;
  std::unique_ptr<TSLClockGen> FClockGen;
  std::unique_ptr<TSLMainThreadNotify> FStopNotify;
  TSLClockSource FClockSource = csInternal;

 private:
  // The clock thread's event.
  void ClockTick();
  // FStopNotify's event: the own clock goes unless the generator still paces itself with it
  // (a notification posted before a restart must not take the new run's clock).
  void ReleaseUnusedClock();
  TOWNotifyResult ClockPinOperation(IOWNotifyOperation* AOperation);

  bool FShutDown = false;
  TOWBoolStatePin FEnablePin;
  TOWClockSinkPin FClockPin;
};

}  // namespace portwise
