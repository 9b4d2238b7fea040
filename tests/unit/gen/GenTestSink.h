#pragma once
// A component downstream of a generator, for tests: it records what arrives on its audio input
// and, when told to claim the stream, takes it in the pump negotiation and pulls one buffer per
// Pull(), the way a hardware output does. Its handler runs on whichever thread delivers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ALAudioBuffer.h"
#include "core/OWLock.h"
#include "core/OWOperations.h"
#include "core/OWPins.h"
#include "core/SLTypes.h"

namespace portwise::testing {

// Waits (bounded) until `pred` holds; the bound only keeps a broken build from hanging.
template <class P>
bool Eventually(P pred) {
  for (int i = 0; i < 10000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

// Channel AChannel of 16-bit buffers, one after the other.
inline std::vector<std::int16_t> ChannelSamples(const std::vector<PALAudioBuffer>& ABuffers, std::uint32_t AChannel) {
  std::vector<std::int16_t> out;
  for (const PALAudioBuffer& b : ABuffers)
    for (std::uint32_t i = 0; i < b->GetSize(); ++i) out.push_back(static_cast<std::int16_t>(b->GetSample(i, AChannel)));
  return out;
}

class TTestSink : public TObject {
 public:
  TTestSink()
      : Lock(TOWLock::Create()),
        Pin(this, Lock.Get(), [this](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* AOperation, TOWNotifyState) {
          return Handle(AOperation);
        }) {}

  // Claim the stream in the next pump negotiations.
  std::atomic<bool> bClaim{false};

  // One buffer, please (upstream, on the calling thread).
  void Pull() { Pin.MasterPump(this); }
  // Upstream with an operation of the caller's (e.g. the same request twice).
  void Send(IOWNotifyOperation* AOperation) { Pin.Notify(AOperation); }

  int Starts() { std::lock_guard g(M); return FStarts; }
  int Stops() { std::lock_guard g(M); return FStops; }
  int PumpRequests() { std::lock_guard g(M); return FPumpRequests; }
  int StartPumps() { std::lock_guard g(M); return FStartPumps; }
  TObject* StartPumpTarget() { std::lock_guard g(M); return FStartPumpTarget; }
  float LastDesiredRate() { std::lock_guard g(M); return FDesiredRate; }
  TALWaveFormatExtensible LastFormat() { std::lock_guard g(M); return FFormat; }
  std::size_t BufferCount() { std::lock_guard g(M); return FBuffers.size(); }
  std::vector<PALAudioBuffer> Buffers() { std::lock_guard g(M); return FBuffers; }
  std::thread::id LastBufferThread() { std::lock_guard g(M); return FBufferThread; }
  // What arrived, in order: 'S' start, 'P' start pump, 'B' buffer, 'X' stop.
  std::string Events() { std::lock_guard g(M); return FEvents; }

  // Channel AChannel of every buffer received, one after the other (16-bit buffers).
  std::vector<std::int16_t> Samples(std::uint32_t AChannel = 0) { return ChannelSamples(Buffers(), AChannel); }

  TRefPtr<TOWLock> Lock;
  TALOWAudioSinkPin Pin;

 private:
  TOWNotifyResult Handle(IOWNotifyOperation* AOperation) {
    std::lock_guard g(M);
    if (auto* request = OWOperationAs<TOWPumpRequestOperation>(AOperation)) {
      ++FPumpRequests;
      FDesiredRate = request->DesiredRate;
      if (bClaim) {
        request->Pump = this;
        request->PumpType = ptHardware;
      }
    } else if (auto* start = OWOperationAs<TOWStartWaveOperation>(AOperation)) {
      ++FStarts;
      FFormat = start->WaveFormat;
      FEvents += 'S';
    } else if (auto* startPump = OWOperationAs<TOWStartPumpOperation>(AOperation)) {
      ++FStartPumps;
      FStartPumpTarget = startPump->Pump;
      FEvents += 'P';
    } else if (OWOperationAs<TOWStopOperation>(AOperation)) {
      ++FStops;
      FEvents += 'X';
    } else if (auto* supplied = OWOperationAs<TOWSuppliedBufferOperation>(AOperation)) {
      FBuffers.push_back(TALAudioBuffer::CreateUniversal(supplied->Buffer.Get()));
      FBufferThread = std::this_thread::get_id();
      FEvents += 'B';
    }
    return 0;
  }

  std::mutex M;
  int FStarts = 0, FStops = 0, FPumpRequests = 0, FStartPumps = 0;
  TObject* FStartPumpTarget = nullptr;
  float FDesiredRate = 0;
  TALWaveFormatExtensible FFormat{};
  std::vector<PALAudioBuffer> FBuffers;
  std::thread::id FBufferThread;
  std::string FEvents;
};

}  // namespace portwise::testing
