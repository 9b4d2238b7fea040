#pragma once
// The ASIO driver interface as the device uses it: the binary declarations (platform/AsioDriver.h),
// the texts of the driver result codes, the sample type table, and one calling wrapper per method.
//
// Each wrapper takes the driver by value: the copy is a reference held for the length of the
// call, so a driver released meanwhile on another thread stays alive until its method returns.
// Wrappers pass the driver's result back unchanged; out values are zeroed before the call, so a
// driver that does not write them leaves zeros. Callers never pass an empty driver.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/AsioDriver.h"
#include "platform/RefPtr.h"

namespace portwise {

using TASIORef = TRefPtr<IASIO>;

// Sizes of the text buffers the driver writes into.
inline constexpr std::size_t KASIONameSize = 32;
inline constexpr std::size_t KASIOErrorMessageSize = 124;

// The fixed English text of a driver result code; "Unknown" for any other value, 0 included.
const char* ASIOErrorText(TASIOError code);

// Bytes of one sample in the driver's buffers; 0 for a code the device does not handle.
std::uint32_t ASIOSampleBytes(TASIOSampleType AType);
// Bits of the audio buffers that carry a channel of this code: 16, 24 or 32; 8 for a code
// without a conversion.
std::uint32_t ASIOBufferBits(TASIOSampleType AType);
// The code has a conversion to and from the audio buffers.
bool ASIOSampleTypeKnown(TASIOSampleType AType);

// An 8-bit text a driver wrote into a buffer of ASize bytes: up to the first NUL, or all ASize
// bytes when there is none; decoded as Windows-1252 into UTF-8.
std::string ASIODriverText(const char* AText, std::size_t ASize);
// Without trailing line ends, blanks and tabs, as a text must be before it goes into a report.
std::string ASIOTrimText(std::string AText);

// --- calling wrappers, one per method (future is never called) ---
TASIOBool ASIOInit(TASIORef AAsio, void* ASysHandle);
std::string ASIOGetDriverName(TASIORef AAsio);
std::int32_t ASIOGetDriverVersion(TASIORef AAsio);
std::string ASIOGetErrorMessage(TASIORef AAsio);
TASIOError ASIOStart(TASIORef AAsio);
TASIOError ASIOStop(TASIORef AAsio);
TASIOError ASIOGetChannels(TASIORef AAsio, std::int32_t& ANumInput, std::int32_t& ANumOutput);
TASIOError ASIOGetLatencies(TASIORef AAsio, std::int32_t& AInput, std::int32_t& AOutput);
TASIOError ASIOGetBufferSize(TASIORef AAsio, std::int32_t& AMin, std::int32_t& AMax, std::int32_t& APreferred,
                             std::int32_t& AGranularity);
TASIOError ASIOCanSampleRate(TASIORef AAsio, TASIOSampleRate ARate);
TASIOError ASIOGetSampleRate(TASIORef AAsio, TASIOSampleRate& ARate);
TASIOError ASIOSetSampleRate(TASIORef AAsio, TASIOSampleRate ARate);
// AClocks holds ANumSources records; ANumSources comes back as the driver's count.
TASIOError ASIOGetClockSources(TASIORef AAsio, TASIOClockSource* AClocks, std::int32_t& ANumSources);
TASIOError ASIOSetClockSource(TASIORef AAsio, std::int32_t AReference);
TASIOError ASIOGetSamplePosition(TASIORef AAsio, TASIOSamples& APosition, TASIOTimeStamp& ATimeStamp);
// AInfo.channel and AInfo.isInput are filled in by the caller.
TASIOError ASIOGetChannelInfo(TASIORef AAsio, TASIOChannelInfo& AInfo);
TASIOError ASIOCreateBuffers(TASIORef AAsio, TASIOBufferInfo* ABufferInfos, std::int32_t ANumChannels,
                             std::int32_t ABufferSize, TASIOCallbacks* ACallbacks);
TASIOError ASIODisposeBuffers(TASIORef AAsio);
TASIOError ASIOControlPanel(TASIORef AAsio);
TASIOError ASIOOutputReady(TASIORef AAsio);

}  // namespace portwise
