#pragma once
// Seam: the ASIO driver binary interface. Drivers are in-process COM objects written by others;
// these declarations must match theirs byte for byte and call for call. Declared from the
// published method order and record layouts; only what the device calls or receives is used.
//
// Calling conventions: the three IUnknown methods are COM methods (stdcall on 32-bit Windows);
// the driver methods after them are ordinary member functions (thiscall on 32-bit Windows: the
// object in ECX, the callee pops the arguments). Callbacks are cdecl free functions.
// All integers of the interface are 32 bits ("long" of a Windows compiler).
#include <cstddef>
#include <cstdint>

#include "platform/Com.h"

#if defined(_WIN32) && defined(__i386__)
#define PW_ASIO_METHOD __attribute__((thiscall))
#define PW_ASIO_CALLBACK __attribute__((cdecl))
#else
#define PW_ASIO_METHOD
#define PW_ASIO_CALLBACK
#endif

namespace portwise {

using TASIOError = std::int32_t;
using TASIOBool = std::int32_t;
using TASIOSampleRate = double;
using TASIOSampleType = std::int32_t;

// Driver result codes; 0 is success, and no other value counts as one.
constexpr TASIOError ASE_OK = 0;
constexpr TASIOError ASE_SUCCESS = 0x3f4847a0;  // a driver's "future" success: still a failure here
constexpr TASIOError ASE_NotPresent = -1000;
constexpr TASIOError ASE_HWMalfunction = -999;
constexpr TASIOError ASE_InvalidParameter = -998;
constexpr TASIOError ASE_InvalidMode = -997;
constexpr TASIOError ASE_SPNotAdvancing = -996;
constexpr TASIOError ASE_NoClock = -995;
constexpr TASIOError ASE_NoMemory = -994;

// Sample type codes.
enum : TASIOSampleType {
  ASIOSTInt16MSB = 0,
  ASIOSTInt24MSB = 1,
  ASIOSTInt32MSB = 2,
  ASIOSTFloat32MSB = 3,
  ASIOSTFloat64MSB = 4,
  ASIOSTInt32MSB16 = 8,
  ASIOSTInt32MSB18 = 9,
  ASIOSTInt32MSB20 = 10,
  ASIOSTInt32MSB24 = 11,
  ASIOSTInt16LSB = 16,
  ASIOSTInt24LSB = 17,
  ASIOSTInt32LSB = 18,
  ASIOSTFloat32LSB = 19,
  ASIOSTFloat64LSB = 20,
  ASIOSTInt32LSB16 = 24,
  ASIOSTInt32LSB18 = 25,
  ASIOSTInt32LSB20 = 26,
  ASIOSTInt32LSB24 = 27,
};

#pragma pack(push, 4)

// A 64-bit value as the interface carries it: two 32-bit halves, the high one first.
struct TASIOSamples {
  std::uint32_t hi;
  std::uint32_t lo;
};
using TASIOTimeStamp = TASIOSamples;

inline std::int64_t AsioToInt64(const TASIOSamples& s) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(s.hi) << 32) | s.lo);
}
inline TASIOSamples Int64ToAsio(std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  return {static_cast<std::uint32_t>(u >> 32), static_cast<std::uint32_t>(u)};
}

struct TASIOChannelInfo {
  std::int32_t channel;       // filled in by the caller
  TASIOBool isInput;          // filled in by the caller (1 = input)
  TASIOBool isActive;
  std::int32_t channelGroup;
  TASIOSampleType type;
  char name[32];              // NUL-terminated when the driver leaves room for it
};

struct TASIOBufferInfo {
  TASIOBool isInput;
  std::int32_t channelNum;
  void* buffers[2];           // the two halves, written by the driver
};

struct TASIOClockSource {
  std::int32_t index;
  std::int32_t associatedChannel;
  std::int32_t associatedGroup;
  TASIOBool isCurrentSource;
  char name[32];
};

struct TASIOTimeInfo {
  double speed;
  TASIOTimeStamp systemTime;
  TASIOSamples samplePosition;
  TASIOSampleRate sampleRate;
  std::uint32_t flags;
  char reserved[12];
};

struct TASIOTimeCode {
  double speed;
  TASIOSamples timeCodeSamples;
  std::uint32_t flags;
  char future[64];
};

struct TASIOTime {
  std::int32_t reserved[4];
  TASIOTimeInfo timeInfo;
  TASIOTimeCode timeCode;
};

#pragma pack(pop)

// Time-info flags: system time valid, sample position valid.
constexpr std::uint32_t kSystemTimeValid = 1;
constexpr std::uint32_t kSamplePositionValid = 2;

// The four entry points a driver calls back, given to createBuffers.
struct TASIOCallbacks {
  void(PW_ASIO_CALLBACK* bufferSwitch)(std::int32_t doubleBufferIndex, TASIOBool directProcess);
  void(PW_ASIO_CALLBACK* sampleRateDidChange)(TASIOSampleRate sRate);
  std::int32_t(PW_ASIO_CALLBACK* asioMessage)(std::int32_t selector, std::int32_t value, void* message, double* opt);
  TASIOTime*(PW_ASIO_CALLBACK* bufferSwitchTimeInfo)(TASIOTime* params, std::int32_t doubleBufferIndex,
                                                     TASIOBool directProcess);
};

// asioMessage selectors.
enum : std::int32_t {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion = 2,
  kAsioResetRequest = 3,
  kAsioBufferSizeChange = 4,
  kAsioResyncRequest = 5,
  kAsioLatenciesChanged = 6,
  kAsioSupportsTimeInfo = 7,
  kAsioSupportsTimeCode = 8,
};

// The driver object. Methods in their published order after IUnknown's three.
struct IASIO : public IUnknown {
  virtual TASIOBool PW_ASIO_METHOD init(void* sysHandle) = 0;
  virtual void PW_ASIO_METHOD getDriverName(char* name) = 0;          // 32 bytes
  virtual std::int32_t PW_ASIO_METHOD getDriverVersion() = 0;
  virtual void PW_ASIO_METHOD getErrorMessage(char* string) = 0;      // 124 bytes
  virtual TASIOError PW_ASIO_METHOD start() = 0;
  virtual TASIOError PW_ASIO_METHOD stop() = 0;
  virtual TASIOError PW_ASIO_METHOD getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels) = 0;
  virtual TASIOError PW_ASIO_METHOD getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency) = 0;
  virtual TASIOError PW_ASIO_METHOD getBufferSize(std::int32_t* minSize, std::int32_t* maxSize,
                                                  std::int32_t* preferredSize, std::int32_t* granularity) = 0;
  virtual TASIOError PW_ASIO_METHOD canSampleRate(TASIOSampleRate sampleRate) = 0;
  virtual TASIOError PW_ASIO_METHOD getSampleRate(TASIOSampleRate* sampleRate) = 0;
  virtual TASIOError PW_ASIO_METHOD setSampleRate(TASIOSampleRate sampleRate) = 0;
  virtual TASIOError PW_ASIO_METHOD getClockSources(TASIOClockSource* clocks, std::int32_t* numSources) = 0;
  virtual TASIOError PW_ASIO_METHOD setClockSource(std::int32_t reference) = 0;
  virtual TASIOError PW_ASIO_METHOD getSamplePosition(TASIOSamples* sPos, TASIOTimeStamp* tStamp) = 0;
  virtual TASIOError PW_ASIO_METHOD getChannelInfo(TASIOChannelInfo* info) = 0;
  virtual TASIOError PW_ASIO_METHOD createBuffers(TASIOBufferInfo* bufferInfos, std::int32_t numChannels,
                                                  std::int32_t bufferSize, TASIOCallbacks* callbacks) = 0;
  virtual TASIOError PW_ASIO_METHOD disposeBuffers() = 0;
  virtual TASIOError PW_ASIO_METHOD controlPanel() = 0;
  virtual TASIOError PW_ASIO_METHOD future(std::int32_t selector, void* opt) = 0;
  virtual TASIOError PW_ASIO_METHOD outputReady() = 0;

 protected:
  ~IASIO() = default;
};

// The layouts drivers were compiled against.
static_assert(sizeof(TASIOChannelInfo) == 52);
static_assert(offsetof(TASIOChannelInfo, type) == 16 && offsetof(TASIOChannelInfo, name) == 20);
static_assert(sizeof(TASIOBufferInfo) == 8 + 2 * sizeof(void*));  // 16 on 32-bit, 24 on 64-bit
static_assert(sizeof(TASIOClockSource) == 48);
static_assert(sizeof(TASIOTimeInfo) == 48);
static_assert(sizeof(TASIOTime) == 148);
static_assert(offsetof(TASIOTime, timeInfo) + offsetof(TASIOTimeInfo, systemTime) == 24);
static_assert(offsetof(TASIOTime, timeInfo) + offsetof(TASIOTimeInfo, samplePosition) == 32);
static_assert(offsetof(TASIOTime, timeInfo) + offsetof(TASIOTimeInfo, flags) == 48);
static_assert(sizeof(TASIOCallbacks) == 4 * sizeof(void*));

}  // namespace portwise
