#include "asio/ASIOInterface.h"

#include <cstring>

namespace portwise {

const char* ASIOErrorText(TASIOError code) {
  switch (code) {
    case ASE_NotPresent: return "Hardware input or output is not present or available";
    case ASE_HWMalfunction: return "Hardware is malfunctioning (can be returned by any ASIO function)";
    case ASE_InvalidParameter: return "Input parameter invalid";
    case ASE_InvalidMode: return "Hardware is in a bad mode or used in a bad mode";
    case ASE_SPNotAdvancing: return "Hardware is not running when sample position is inquired";
    case ASE_NoClock: return "Sample clock or rate cannot be determined or is not present";
    case ASE_NoMemory: return "Not enough memory for completing the request";
    default: return "Unknown";
  }
}

// ------------------------------------------------------------------ sample types

std::uint32_t ASIOSampleBytes(TASIOSampleType AType) {
  switch (AType) {
    case ASIOSTInt16MSB:
    case ASIOSTInt16LSB:
      return 2;
    case ASIOSTInt24MSB:
    case ASIOSTInt24LSB:
      return 3;
    case ASIOSTInt32MSB:
    case ASIOSTFloat32MSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20:
    case ASIOSTInt32MSB24:
    case ASIOSTInt32LSB:
    case ASIOSTFloat32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24:
      return 4;
    case ASIOSTFloat64MSB:
    case ASIOSTFloat64LSB:
      return 8;
    default:
      return 0;
  }
}

std::uint32_t ASIOBufferBits(TASIOSampleType AType) {
  switch (ASIOSampleBytes(AType)) {
    case 2: return 16;
    case 3: return 24;
    case 4:
    case 8: return 32;  // float samples become 32-bit integers
    default: return 8;
  }
}

bool ASIOSampleTypeKnown(TASIOSampleType AType) { return ASIOSampleBytes(AType) != 0; }

// ------------------------------------------------------------------ texts

namespace {

// Windows-1252 bytes 0x80..0x9F; the five the code page leaves undefined map to the C1 control of
// the same number, as the system's own conversion does.
constexpr char16_t KCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& AOut, char32_t ACode) {
  if (ACode < 0x80) {
    AOut += static_cast<char>(ACode);
  } else if (ACode < 0x800) {
    AOut += static_cast<char>(0xC0 | (ACode >> 6));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  } else {
    AOut += static_cast<char>(0xE0 | (ACode >> 12));
    AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  }
}

}  // namespace

std::string ASIODriverText(const char* AText, std::size_t ASize) {
  std::string result;
  if (!AText) return result;
  const void* nul = std::memchr(AText, 0, ASize);
  const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - AText) : ASize;
  result.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(AText[i]);
    if (byte >= 0x80 && byte < 0xA0) AppendUtf8(result, KCp1252High[byte - 0x80]);
    else AppendUtf8(result, byte);
  }
  return result;
}

std::string ASIOTrimText(std::string AText) {
  const std::size_t end = AText.find_last_not_of(" \t\r\n");
  AText.erase(end == std::string::npos ? 0 : end + 1);
  return AText;
}

// ------------------------------------------------------------------ calling wrappers

TASIOBool ASIOInit(TASIORef AAsio, void* ASysHandle) { return AAsio->init(ASysHandle); }

std::string ASIOGetDriverName(TASIORef AAsio) {
  char name[KASIONameSize] = {};
  AAsio->getDriverName(name);
  return ASIODriverText(name, sizeof name);
}

std::int32_t ASIOGetDriverVersion(TASIORef AAsio) { return AAsio->getDriverVersion(); }

std::string ASIOGetErrorMessage(TASIORef AAsio) {
  char text[KASIOErrorMessageSize] = {};
  AAsio->getErrorMessage(text);
  return ASIODriverText(text, sizeof text);
}

TASIOError ASIOStart(TASIORef AAsio) { return AAsio->start(); }

TASIOError ASIOStop(TASIORef AAsio) { return AAsio->stop(); }

TASIOError ASIOGetChannels(TASIORef AAsio, std::int32_t& ANumInput, std::int32_t& ANumOutput) {
  ANumInput = 0;
  ANumOutput = 0;
  return AAsio->getChannels(&ANumInput, &ANumOutput);
}

TASIOError ASIOGetLatencies(TASIORef AAsio, std::int32_t& AInput, std::int32_t& AOutput) {
  AInput = 0;
  AOutput = 0;
  return AAsio->getLatencies(&AInput, &AOutput);
}

TASIOError ASIOGetBufferSize(TASIORef AAsio, std::int32_t& AMin, std::int32_t& AMax, std::int32_t& APreferred,
                             std::int32_t& AGranularity) {
  AMin = AMax = APreferred = AGranularity = 0;
  return AAsio->getBufferSize(&AMin, &AMax, &APreferred, &AGranularity);
}

TASIOError ASIOCanSampleRate(TASIORef AAsio, TASIOSampleRate ARate) { return AAsio->canSampleRate(ARate); }

TASIOError ASIOGetSampleRate(TASIORef AAsio, TASIOSampleRate& ARate) {
  ARate = 0;
  return AAsio->getSampleRate(&ARate);
}

TASIOError ASIOSetSampleRate(TASIORef AAsio, TASIOSampleRate ARate) { return AAsio->setSampleRate(ARate); }

TASIOError ASIOGetClockSources(TASIORef AAsio, TASIOClockSource* AClocks, std::int32_t& ANumSources) {
  return AAsio->getClockSources(AClocks, &ANumSources);
}

TASIOError ASIOSetClockSource(TASIORef AAsio, std::int32_t AReference) { return AAsio->setClockSource(AReference); }

TASIOError ASIOGetSamplePosition(TASIORef AAsio, TASIOSamples& APosition, TASIOTimeStamp& ATimeStamp) {
  APosition = {};
  ATimeStamp = {};
  return AAsio->getSamplePosition(&APosition, &ATimeStamp);
}

TASIOError ASIOGetChannelInfo(TASIORef AAsio, TASIOChannelInfo& AInfo) { return AAsio->getChannelInfo(&AInfo); }

TASIOError ASIOCreateBuffers(TASIORef AAsio, TASIOBufferInfo* ABufferInfos, std::int32_t ANumChannels,
                             std::int32_t ABufferSize, TASIOCallbacks* ACallbacks) {
  return AAsio->createBuffers(ABufferInfos, ANumChannels, ABufferSize, ACallbacks);
}

TASIOError ASIODisposeBuffers(TASIORef AAsio) { return AAsio->disposeBuffers(); }

TASIOError ASIOControlPanel(TASIORef AAsio) { return AAsio->controlPanel(); }

TASIOError ASIOOutputReady(TASIORef AAsio) { return AAsio->outputReady(); }

}  // namespace portwise
