#pragma once
// The ASIO driver interface as the device uses it: the binary declarations (platform/AsioDriver.h),
// the texts of the driver result codes, the sample type table, and one calling wrapper per method.
#include <string>

#include "platform/AsioDriver.h"

namespace portwise {

// The fixed English text of a driver result code; "Unknown" for any other value, 0 included.
const char* ASIOErrorText(TASIOError code);

}  // namespace portwise
