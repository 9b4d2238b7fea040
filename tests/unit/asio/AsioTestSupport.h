#pragma once
// What the ASIO tests share: a callback target that records, a count of the free callback slots,
// a receiver for the input channels' pins and a bounded wait.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asio/ALASIOCallbackEntries.h"
#include "core/OWLock.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"

namespace portwise::asiotest {

class TRecordingTarget final : public IALASIOCallbackTarget {
 public:
  void ASIOBufferSwitch(std::int32_t index, TASIOBool directProcess) override {
    Events += "switch " + std::to_string(index) + " " + std::to_string(directProcess) + ";";
  }
  void ASIOSampleRateDidChange(TASIOSampleRate rate) override {
    Events += "rate " + std::to_string(static_cast<int>(rate)) + ";";
  }
  std::int32_t ASIOMessage(std::int32_t selector, std::int32_t value, void*, double*) override {
    Events += "message " + std::to_string(selector) + " " + std::to_string(value) + ";";
    return 77;
  }
  TASIOTime* ASIOBufferSwitchTimeInfo(TASIOTime* params, std::int32_t index, TASIOBool) override {
    Events += "timeinfo " + std::to_string(index) + ";";
    return params;
  }
  std::string Events;
};

// Binds every free slot to a target, counts them and frees them again.
inline int FreeSlots() {
  TRecordingTarget target;
  std::vector<int> bound;
  TASIOCallbacks* callbacks = nullptr;
  for (int index; (index = ALASIOCallbackEntries::Bind(&target, &callbacks)) >= 0;) bound.push_back(index);
  for (int index : bound) ALASIOCallbackEntries::Unbind(index);
  return static_cast<int>(bound.size());
}

// Holds every free slot for its lifetime.
class TSlotHog {
 public:
  TSlotHog() {
    TASIOCallbacks* callbacks = nullptr;
    for (int index; (index = ALASIOCallbackEntries::Bind(&FTarget, &callbacks)) >= 0;) FBound.push_back(index);
  }
  ~TSlotHog() {
    for (int index : FBound) ALASIOCallbackEntries::Unbind(index);
  }
  TSlotHog(const TSlotHog&) = delete;
  TSlotHog& operator=(const TSlotHog&) = delete;

 private:
  TRecordingTarget FTarget;
  std::vector<int> FBound;
};

// A receiver downstream of a channel's pin: 'S' start, 'X' stop, 'B' buffer, '?' other.
class TStreamSink : public TObject {
 public:
  TStreamSink()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          std::lock_guard g(M);
          if (auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation)) {
            FEvents += 'S';
            FFormat = start->WaveFormat;
          } else if (OWOperationAs<TOWStopOperation>(AOperation)) {
            FEvents += 'X';
          } else if (OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
            FEvents += 'B';
          } else {
            FEvents += '?';
          }
          return TOWNotifyResult{0};
        }) {}

  // The stop a disconnection sends must find the record still there.
  ~TStreamSink() override { Pin.Disconnect(); }

  std::string Events() { std::lock_guard g(M); return FEvents; }
  TALWaveFormatExtensible Format() { std::lock_guard g(M); return FFormat; }

  TRefPtr<TOWLock> Lock;
  TALOWAudioSinkPin Pin;

 private:
  std::mutex M;
  std::string FEvents;
  TALWaveFormatExtensible FFormat{};
};

// Waits (bounded) until `pred` holds; the bound only keeps a broken build from hanging.
template <class P>
bool WaitFor(P pred) {
  for (int i = 0; i < 5000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pred();
}

}  // namespace portwise::asiotest
