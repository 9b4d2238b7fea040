#pragma once
// Simulated ASIO drivers. A test builds a TSimAsio (one installed driver: a registry key and a COM
// class), scripts what the driver reports and what each method returns, installs it on the
// simulated machine, and reads back every call the program made, in order. Every creation through
// CoCreateInstance makes a new driver object that answers from the script as it stands at each
// call; the objects share the call record and are numbered from 1 in creation order.
//
// Streaming: createBuffers allocates real buffers (two halves per record, of the channel's sample
// size, 4 bytes for a code without one), keeps the callback record it was given (a test can call
// those callbacks itself) and asks the host whether it takes time information. As real drivers do,
// start makes the first switch (half 0) itself on the calling thread before it returns, then a
// callback thread of the driver object switches the halves 1, 0, 1, ... at the half-buffer pace
// (buffer size / rate, absolute deadlines, a late thread catching up at once). Before each switch
// the input halves are filled with SimAsioSawtooth in the channel's type; the host is called
// through bufferSwitchTimeInfo when it said it takes time information, through bufferSwitch
// otherwise; afterwards the output halves are recorded per output channel, read in their type as
// values of full scale 1.0. stop, disposeBuffers and the release of the object end the callback
// thread and wait for it before they return.
//
// What the host calls from inside a switch (getSamplePosition, outputReady) is counted, not
// recorded in Calls, so that the call record stays the one of the program's own thread.
//
// Threads: every method and every scripting call may come from any thread; one mutex guards the
// state, and no callback of the program runs while it is held.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/AsioDriver.h"
#include "platform/ComServices.h"

namespace portwise::platform::sim {

class TSimPlatform;
class TSimCom;
class TSimRegistry;

// The methods of the driver interface after IUnknown's, in their order.
enum class EAsioCall : std::uint8_t {
  init, getDriverName, getDriverVersion, getErrorMessage, start, stop, getChannels, getLatencies,
  getBufferSize, canSampleRate, getSampleRate, setSampleRate, getClockSources, setClockSource,
  getSamplePosition, getChannelInfo, createBuffers, disposeBuffers, controlPanel, future, outputReady
};
inline constexpr int KAsioCallCount = 21;
const char* AsioCallName(EAsioCall ACall);

struct TSimAsioChannel {
  std::string Name;  // the driver's 8-bit bytes; from 32 bytes on, exactly 32 are written, no NUL
  TASIOSampleType Type = ASIOSTInt16LSB;
  std::int32_t Group = 0;
};

// One call as the driver received it.
struct TSimAsioCall {
  EAsioCall Call = EAsioCall::init;
  int Object = 0;          // the driver object, 1 for the first one created
  std::int64_t A = 0;      // init: the handle; getChannelInfo: channel; createBuffers: record
                           // count; setClockSource: the index; getClockSources: capacity
  std::int64_t B = 0;      // getChannelInfo: isInput; createBuffers: half-buffer size
  double Rate = 0;         // canSampleRate, setSampleRate
  TASIOError Result = 0;   // what the method returned (init: its Boolean)
};

// A message the driver sent from its callback thread, and the host's answer.
struct TSimAsioMessage {
  std::int32_t Selector = 0;
  std::int32_t Value = 0;
  std::int32_t Answer = 0;
};

// Frame AFrame (counted from start) of input channel AChannel: the signed 16-bit value
// (AFrame * 64 * (AChannel + 1)) mod 65536, written in the channel's type: as it is (16-bit),
// times 256 (24-bit), times 65536 (32-bit), shifted to the alignment of the aligned 32-bit types
// (by 0, 2, 4 or 8 bits), divided by 32768 (float types), byte-reversed for the MSB types.
std::int16_t SimAsioSawtooth(std::int64_t AFrame, std::int32_t AChannel);

// A createBuffers as it was asked for.
struct TSimAsioBuffers {
  std::vector<TASIOBufferInfo> Infos;  // with the addresses written back
  std::int32_t BufferSize = 0;
  TASIOCallbacks* Callbacks = nullptr;
};

class TSimAsio {
 public:
  // A driver whose registry key is AKeyName, with a class identifier of its own. By default it
  // reports the key name as its name, 2 inputs and 2 outputs of ASIOSTInt16LSB, buffer sizes
  // 64..2048 (preferred 256, granularity 64), 44100 Hz and only 44100 Hz, latencies 0, one clock
  // source, and every method succeeds.
  explicit TSimAsio(std::string AKeyName);
  ~TSimAsio();
  TSimAsio(const TSimAsio&) = delete;
  TSimAsio& operator=(const TSimAsio&) = delete;

  const std::string& KeyName() const noexcept { return FKeyName; }
  const CLSID& ClassId() const noexcept { return FClassId; }

  // --- installing ---
  // The key "Software\ASIO\<name>" with its "clsid" value, and the COM class.
  void Install(TSimPlatform& APlatform);
  void InstallKey(TSimRegistry& ARegistry);  // without the class
  void InstallClass(TSimCom& ACom);          // without the key

  // --- scripting ---
  void SetDriverName(const std::string& ABytes);     // 8-bit; from 32 bytes on, 32 without NUL
  void SetDriverVersion(std::int32_t AVersion);
  void SetErrorMessage(const std::string& ABytes);   // 8-bit; from 124 bytes on, 124 without NUL
  void SetInitResult(TASIOBool AResult);
  // Every later call of the method returns ACode and changes nothing (init and the methods without
  // a result are not scripted here). ASE_OK makes it succeed again.
  void SetResult(EAsioCall ACall, TASIOError ACode);
  // getChannelInfo of this one channel returns ACode (ASE_OK: answers again), the others answer.
  void SetChannelInfoResult(bool AIsInput, std::int32_t AChannel, TASIOError ACode);
  void SetInputs(std::vector<TSimAsioChannel> AChannels);
  void SetOutputs(std::vector<TSimAsioChannel> AChannels);
  // getChannels reports these counts whatever the channel lists hold (a lying driver).
  void SetReportedChannels(std::int32_t AInputs, std::int32_t AOutputs);
  void SetBufferSizes(std::int32_t AMin, std::int32_t AMax, std::int32_t APreferred, std::int32_t AGranularity);
  // The current rate, and the rates setSampleRate and canSampleRate accept (others: ASE_NoClock).
  void SetSampleRate(TASIOSampleRate ARate);
  void SetSupportedRates(std::vector<TASIOSampleRate> ARates);
  void SetLatencies(std::int32_t AInput, std::int32_t AOutput);
  void SetClockSources(std::int32_t ACount);
  void SetSamplePosition(std::int64_t APosition, std::int64_t ATimeStamp);
  // Runs at the start of every method, on the calling thread, without the driver's lock.
  void SetOnCall(std::function<void(EAsioCall)> AOnCall);
  // --- streaming (read at each start) ---
  // False: start succeeds, but the driver never calls back.
  void SetCallbacks(bool AValue);
  // False: no switch from inside start; the callback thread begins with half 0.
  void SetFirstSwitchInStart(bool AValue);
  // 2: two callback threads, one for each half, so that a slow host sees switches overlap.
  void SetCallbackThreads(int ACount);
  // False: the driver does not ask, and calls bufferSwitch only (read at createBuffers).
  void SetOfferTimeInfo(bool AValue);
  // After a stop, a thread of the driver's calls the host's buffer switch this many more times,
  // once disposeBuffers has returned (or a second has passed).
  void SetLateSwitches(int ACount);
  // Sent with asioMessage by the callback thread before its next switch.
  void PostDriverMessage(std::int32_t ASelector, std::int32_t AValue);

  // --- reading back ---
  std::vector<TSimAsioCall> Calls();
  std::vector<EAsioCall> CallList();         // just the methods
  std::size_t CountCalls(EAsioCall ACall);
  void ClearCalls();
  int CreatedObjects();                      // over the simulation's life
  int LiveObjects();                         // not yet released for good
  bool Running();
  TASIOSampleRate CurrentRate();
  std::int32_t CurrentClockSource();
  void* InitHandle();                        // what the last init was given
  // The buffers of the object that has them now (Infos empty and Callbacks null when none has).
  bool HasBuffers();
  TSimAsioBuffers Buffers();
  TASIOCallbacks* Callbacks();
  // The last createBuffers request as received, whatever it returned.
  TSimAsioBuffers LastCreateRequest();
  // Whether the host is called through bufferSwitchTimeInfo.
  bool UsesTimeInfo();
  // Switches made since the simulation was built (the one from inside start included).
  std::int64_t Switches();
  // The output halves of every switch of output channel AChannel, in order.
  std::vector<double> Recorded(std::int32_t AChannel);
  void ClearRecorded();
  std::vector<TSimAsioMessage> DriverMessages();
  // Calls the host made from inside switches.
  std::size_t OutputReadyCalls();
  std::size_t SamplePositionCalls();
  // Late switches made so far.
  int LateSwitchesMade();

  struct TState;

 private:
  std::string FKeyName;
  CLSID FClassId{};
  std::shared_ptr<TState> FState;
};

}  // namespace portwise::platform::sim
