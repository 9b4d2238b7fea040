#pragma once
// A simulated machine with one installed ASIO driver ("Sim ASIO") and a device created by code
// that has it selected.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "asio/ALASIOAudioDevice.h"
#include "core/SLTypes.h"
#include "platform/sim/SimAsio.h"
#include "platform/sim/SimPlatform.h"

namespace portwise::asiotest {

using platform::sim::EAsioCall;
using platform::sim::TSimAsio;
using platform::sim::TSimAsioChannel;
using platform::sim::TSimPlatform;

struct TReport {
  TObject* Sender = nullptr;
  std::string Text;
  std::int32_t Code = 0;
};

// The message of the ESLException AAction raises; "<none>" when it raises nothing.
template <class F>
std::string ErrorOf(F&& AAction) {
  try {
    AAction();
  } catch (const ESLException& e) {
    return e.what();
  }
  return "<none>";
}

class AsioWorld : public ::testing::Test {
 protected:
  AsioWorld() {
    Driver.Install(Platform);
    Device = NewDevice();
  }

  std::unique_ptr<TALASIOAudioDevice> NewDevice(const std::string& AName = "Sim ASIO") {
    auto device = CreateComponent<TALASIOAudioDevice>(nullptr);
    device->GetDevice().SetDeviceName(AName);
    return device;
  }

  // Errors are handled (collected) and warnings collected.
  void CollectReports() {
    Device->SetOnError([this](TObject* ASender, const std::string& AText, std::int32_t ACode, bool& AHandled) {
      Errors.push_back({ASender, AText, ACode});
      AHandled = true;
    });
    Device->SetOnWarning([this](TObject* ASender, const std::string& AText, std::int32_t ACode) {
      Warnings.push_back({ASender, AText, ACode});
    });
  }

  std::vector<TALASIOInputChannelItem*> AddInputs(int ACount) {
    std::vector<TALASIOInputChannelItem*> items;
    for (int i = 0; i < ACount; ++i) items.push_back(Device->GetInputChannels().Add());
    return items;
  }
  std::vector<TALASIOOutputChannelItem*> AddOutputs(int ACount) {
    std::vector<TALASIOOutputChannelItem*> items;
    for (int i = 0; i < ACount; ++i) items.push_back(Device->GetOutputChannels().Add());
    return items;
  }

  TSimPlatform Platform;
  TSimAsio Driver{"Sim ASIO"};
  std::vector<TReport> Errors;
  std::vector<TReport> Warnings;
  std::unique_ptr<TALASIOAudioDevice> Device;  // destroyed first
};

}  // namespace portwise::asiotest
