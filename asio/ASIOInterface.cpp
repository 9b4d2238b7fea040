#include "asio/ASIOInterface.h"

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

}  // namespace portwise
