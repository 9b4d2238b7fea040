// The driver interface layer: texts read from driver buffers, the sample type tables, the result
// texts, and the reference each calling wrapper holds for the length of its call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "asio/ASIOInterface.h"
#include "platform/sim/SimAsio.h"
#include "platform/sim/SimPlatform.h"

namespace portwise {
namespace {

using platform::sim::EAsioCall;
using platform::sim::TSimAsio;
using platform::sim::TSimPlatform;

TEST(ASIODriverText, AFullBufferWithoutNulGivesEveryByteAndNothingBeyond) {
  char buffer[40];
  std::memset(buffer, 'x', sizeof buffer);
  std::memcpy(buffer, "0123456789abcdefghijklmnopqrstuv", 32);  // 32 bytes, then more that is not ours
  EXPECT_EQ(ASIODriverText(buffer, 32), "0123456789abcdefghijklmnopqrstuv");
}

TEST(ASIODriverText, StopsAtTheFirstNul) {
  const char buffer[8] = {'a', 'b', '\0', 'c', 'd', '\0', 0, 0};
  EXPECT_EQ(ASIODriverText(buffer, sizeof buffer), "ab");
}

TEST(ASIODriverText, EightBitTextIsDecodedAsTheWesternCodePage) {
  // "Entrée ½ – €" in Windows-1252.
  const char buffer[] = "Entr\xE9" "e \xBD \x96 \x80";
  EXPECT_EQ(ASIODriverText(buffer, sizeof buffer), "Entrée ½ – €");
}

TEST(ASIOTrimText, DropsTrailingLineEndsAndBlanksOnly) {
  EXPECT_EQ(ASIOTrimText("  No device\r\n \t"), "  No device");
  EXPECT_EQ(ASIOTrimText("\r\n"), "");
  EXPECT_EQ(ASIOTrimText("a b"), "a b");
}

TEST(ASIOSampleTypes, BytesAndBufferWidthOfEveryCode) {
  struct TRow {
    TASIOSampleType Code;
    std::uint32_t Bytes;
    std::uint32_t Bits;
  };
  const TRow rows[] = {
      {ASIOSTInt16MSB, 2, 16},   {ASIOSTInt24MSB, 3, 24},   {ASIOSTInt32MSB, 4, 32},   {ASIOSTFloat32MSB, 4, 32},
      {ASIOSTFloat64MSB, 8, 32}, {ASIOSTInt32MSB16, 4, 32}, {ASIOSTInt32MSB18, 4, 32}, {ASIOSTInt32MSB20, 4, 32},
      {ASIOSTInt32MSB24, 4, 32}, {ASIOSTInt16LSB, 2, 16},   {ASIOSTInt24LSB, 3, 24},   {ASIOSTInt32LSB, 4, 32},
      {ASIOSTFloat32LSB, 4, 32}, {ASIOSTFloat64LSB, 8, 32}, {ASIOSTInt32LSB16, 4, 32}, {ASIOSTInt32LSB18, 4, 32},
      {ASIOSTInt32LSB20, 4, 32}, {ASIOSTInt32LSB24, 4, 32},
      // Codes without a conversion.
      {5, 0, 8}, {7, 0, 8}, {12, 0, 8}, {21, 0, 8}, {28, 0, 8}, {-1, 0, 8}, {32, 0, 8}};
  for (const TRow& row : rows) {
    EXPECT_EQ(ASIOSampleBytes(row.Code), row.Bytes) << "code " << row.Code;
    EXPECT_EQ(ASIOBufferBits(row.Code), row.Bits) << "code " << row.Code;
    EXPECT_EQ(ASIOSampleTypeKnown(row.Code), row.Bytes != 0) << "code " << row.Code;
  }
}

TEST(ASIOErrorText, EveryCodeOutsideTheTableIsUnknown) {
  EXPECT_STREQ(ASIOErrorText(ASE_NotPresent), "Hardware input or output is not present or available");
  EXPECT_STREQ(ASIOErrorText(ASE_HWMalfunction), "Hardware is malfunctioning (can be returned by any ASIO function)");
  EXPECT_STREQ(ASIOErrorText(ASE_InvalidParameter), "Input parameter invalid");
  EXPECT_STREQ(ASIOErrorText(ASE_InvalidMode), "Hardware is in a bad mode or used in a bad mode");
  EXPECT_STREQ(ASIOErrorText(ASE_SPNotAdvancing), "Hardware is not running when sample position is inquired");
  EXPECT_STREQ(ASIOErrorText(ASE_NoClock), "Sample clock or rate cannot be determined or is not present");
  EXPECT_STREQ(ASIOErrorText(ASE_NoMemory), "Not enough memory for completing the request");
  for (TASIOError code : {ASE_OK, 1, ASE_SUCCESS, -1001, -993})
    EXPECT_STREQ(ASIOErrorText(code), "Unknown") << code;
}

// A driver object made the way the device makes it.
TASIORef CreateDriver(TSimPlatform& APlatform, TSimAsio& ADriver) {
  platform::ICom& com = APlatform.Com();
  com.CoInitialize();
  void* object = nullptr;
  const CLSID clsid = ADriver.ClassId();
  com.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
  com.CoUninitialize();
  return TASIORef::Adopt(static_cast<IASIO*>(object));
}

TEST(ASIOCallingWrappers, TheDriverLivesUntilTheCallReturnsWhenItsLastOtherHolderLetsGo) {
  TSimPlatform platform;
  TSimAsio sim("Held");
  sim.Install(platform);
  TASIORef driver = CreateDriver(platform, sim);
  ASSERT_TRUE(driver);
  int liveInsideCall = -1;
  sim.SetOnCall([&](EAsioCall ACall) {
    if (ACall != EAsioCall::controlPanel) return;
    driver.Reset();  // another thread closing the device, say
    liveInsideCall = sim.LiveObjects();
  });
  EXPECT_EQ(ASIOControlPanel(driver), ASE_OK);
  EXPECT_EQ(liveInsideCall, 1);
  EXPECT_EQ(sim.LiveObjects(), 0);
}

TEST(ASIOCallingWrappers, NamesAndMessagesOfFullBuffersArriveWhole) {
  TSimPlatform platform;
  TSimAsio sim("Texts");
  sim.Install(platform);
  sim.SetDriverName(std::string(40, 'N'));     // the driver writes exactly 32 bytes, no NUL
  sim.SetErrorMessage(std::string(130, 'E'));  // exactly 124
  TASIORef driver = CreateDriver(platform, sim);
  ASSERT_TRUE(driver);
  EXPECT_EQ(ASIOGetDriverName(driver), std::string(32, 'N'));
  EXPECT_EQ(ASIOGetErrorMessage(driver), std::string(124, 'E'));
}

}  // namespace
}  // namespace portwise
