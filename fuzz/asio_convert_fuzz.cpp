// The block conversions between the driver's sample types and the buffers' must agree bit for bit
// with the plain per-sample reference on any bytes (NaNs, infinities, denormals, extremes), leave
// their source untouched and write nothing beyond the samples asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "asio/ALASIOConvert.h"

namespace {

using namespace portwise;

constexpr TASIOSampleType KTypes[] = {
    ASIOSTInt16MSB,   ASIOSTInt24MSB,   ASIOSTInt32MSB,   ASIOSTFloat32MSB, ASIOSTFloat64MSB, ASIOSTInt32MSB16,
    ASIOSTInt32MSB18, ASIOSTInt32MSB20, ASIOSTInt32MSB24, ASIOSTInt16LSB,   ASIOSTInt24LSB,   ASIOSTInt32LSB,
    ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16, ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24,
    5,                -1,               1000};
constexpr std::size_t KGuard = 16;
constexpr std::uint8_t KFill = 0xA5;

void Check(bool ACondition) {
  if (!ACondition) std::abort();
}

using TConvert = bool (*)(TASIOSampleType, const void*, void*, std::uint32_t);

// Runs the block conversion and the reference on the same source; AOutBytes per target sample.
void Compare(TConvert ABlock, TConvert AReference, TASIOSampleType AType, const std::uint8_t* AData, std::size_t ASize,
             std::size_t AInBytes, std::size_t AOutBytes) {
  if (AInBytes == 0) {
    std::uint8_t target[8];
    std::memset(target, KFill, sizeof target);
    Check(!ABlock(AType, AData, target, 1) && !AReference(AType, AData, target, 1));
    for (std::uint8_t b : target) Check(b == KFill);
    return;
  }
  const auto count = static_cast<std::uint32_t>(ASize / AInBytes);
  // One spare byte: an empty block still has an address, as every caller's has.
  std::vector<std::uint8_t> source(AData, AData + count * AInBytes);
  source.push_back(0);
  std::vector<std::uint8_t> copy = source;
  std::vector<std::uint8_t> block(count * AOutBytes + KGuard, KFill), reference(count * AOutBytes + KGuard, KFill);
  const bool bBlock = ABlock(AType, copy.data(), block.data(), count);
  const bool bReference = AReference(AType, source.data(), reference.data(), count);
  Check(bBlock && bReference);
  Check(copy == source);
  Check(block == reference);
  for (std::size_t i = count * AOutBytes; i < block.size(); ++i) Check(block[i] == KFill);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 1) return 0;
  const TASIOSampleType type = KTypes[AData[0] % std::size(KTypes)];
  ++AData;
  --ASize;
  const std::size_t driverBytes = ALASIODriverSampleBytes(type);
  const std::size_t bufferBytes = ALASIOStreamBits(type) / 8;
  Compare(&ALASIOConvertInput, &ALASIOReferenceConvertInput, type, AData, ASize, driverBytes,
          driverBytes ? bufferBytes : 0);
  Compare(&ALASIOConvertOutput, &ALASIOReferenceConvertOutput, type, AData, ASize, driverBytes ? bufferBytes : 0,
          driverBytes);
  return 0;
}
