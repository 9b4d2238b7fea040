#pragma once
// What the DirectShow fault tables share: how one step of building or running a graph is made to
// fail on the simulation, and the codes each step fails with.
#include <cstdio>
#include <string>

#include "platform/DShow.h"
#include "platform/sim/SimDShow.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::test {

enum class EDSFault {
  Point,          // a named failure point of the simulated DirectShow
  Create,         // CoCreateInstance of the class fails
  CreateLeaving,  // it fails yet leaves its out pointer set
  Bind,           // the device's moniker does not bind
};

struct TDSFailure {
  const char* Name;
  EDSFault Kind;
  const char* Point;  // for Point
  CLSID Class;        // for Create and CreateLeaving
  unsigned After;     // passes through the point that work first
  HRESULT Reported;   // the code reported when it is not the injected one (0: the same)
  const char* Text;
};

// E_FAIL, E_OUTOFMEMORY, E_UNEXPECTED, REGDB_E_CLASSNOTREG, E_ACCESSDENIED.
inline constexpr HRESULT KDSFailureCodes[] = {
    static_cast<HRESULT>(0x80004005), static_cast<HRESULT>(0x8007000E), static_cast<HRESULT>(0x8000FFFF),
    static_cast<HRESULT>(0x80040154), static_cast<HRESULT>(0x80070005)};

inline std::string CodeText(HRESULT ACode) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(ACode));
  return hex;
}

inline void ArmFailure(platform::sim::TSimPlatform& ASim, platform::sim::TSimDShow& ADS, int ADevice,
                       const TDSFailure& AFailure, HRESULT ACode) {
  switch (AFailure.Kind) {
    case EDSFault::Point:
      ADS.FailNext(AFailure.Point, ACode, 1, AFailure.After);
      break;
    case EDSFault::Create:
      ASim.SimCom().FailCreate(AFailure.Class, ACode);
      break;
    case EDSFault::CreateLeaving:
      ASim.SimCom().FailCreateLeavingObject(AFailure.Class, ACode);
      break;
    case EDSFault::Bind: {
      platform::sim::TSimDevice device = ADS.Device(ADevice);
      device.BindToObjectResult = ACode;
      ADS.SetDevice(ADevice, device);
      break;
    }
  }
}

// A failure point is taken once; the other kinds are set back to success.
inline void DisarmFailure(platform::sim::TSimPlatform& ASim, platform::sim::TSimDShow& ADS, int ADevice,
                          const TDSFailure& AFailure) {
  if (AFailure.Kind != EDSFault::Point) ArmFailure(ASim, ADS, ADevice, AFailure, S_OK);
}

}  // namespace portwise::test
