#include "core/OWPins.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ALAudioBuffer.h"

namespace portwise {
namespace {

std::string KindOf(IOWNotifyOperation* op) {
  if (OWOperationAs<TOWStartWaveOperation>(op)) return "start-wave";
  if (OWOperationAs<TOWStartOperation>(op)) return "start";
  if (OWOperationAs<TOWEndStopOperation>(op)) return "end-stop";
  if (OWOperationAs<TOWStopOperation>(op)) return "stop";
  if (OWOperationAs<TOWFileEndNoStopOperation>(op)) return "file-end";
  if (OWOperationAs<TOWSuppliedBufferOperation>(op)) return "buffer";
  if (OWOperationAs<TOWClockOperation>(op)) return "clock";
  if (OWOperationAs<TOWPumpRequestOperation>(op)) return "pump-request";
  if (OWOperationAs<TOWStartPumpOperation>(op)) return "start-pump";
  if (OWOperationAs<TOWMasterPumpOperation>(op)) return "master-pump";
  if (OWOperationAs<TOWClockNeededOperation>(op)) return "clock-needed";
  return "other";
}

// A component as far as pins see one: an object with a lock.
struct TFakeOwner : TObject {
  TRefPtr<TOWLock> Lock = TOWLock::Create();
};

// What a handler received.
struct TReceived {
  std::string Kind;
  TRefPtr<IOWNotifyOperation> Operation;
  TOWBasicPin* Sender;
  TALGuid DataType;
  TOWNotifyState State;
  std::thread::id Thread;
};

class TRecorder {
 public:
  TSLOperationEvent Handler(TOWNotifyResult AResult = 0) {
    return [this, AResult](TOWBasicPin* sender, const TALGuid& id, IOWNotifyOperation* op, TOWNotifyState state) {
      std::lock_guard g(FMutex);
      FLog.push_back({KindOf(op), TRefPtr<IOWNotifyOperation>(op), sender, id, state, std::this_thread::get_id()});
      return AResult;
    };
  }
  std::vector<std::string> Kinds() {
    std::lock_guard g(FMutex);
    std::vector<std::string> k;
    for (auto& r : FLog) k.push_back(r.Kind);
    return k;
  }
  std::vector<TReceived> Log() {
    std::lock_guard g(FMutex);
    return FLog;
  }
  void Clear() {
    std::lock_guard g(FMutex);
    FLog.clear();
  }

 private:
  std::mutex FMutex;
  std::vector<TReceived> FLog;
};

using TKinds = std::vector<std::string>;

class OWPinConnection : public ::testing::Test {
 protected:
  TFakeOwner Generator, OutputA, OutputB, OutputC;
  TRecorder Upstream, A, B, C;
  TALOWAudioSourcePin Source{&Generator, Generator.Lock.Get(), Upstream.Handler()};
  TALOWAudioSinkPin SinkA{&OutputA, OutputA.Lock.Get(), A.Handler()};
  TALOWAudioSinkPin SinkB{&OutputB, OutputB.Lock.Get(), B.Handler()};
  TALOWAudioSinkPin SinkC{&OutputC, OutputC.Lock.Get(), C.Handler()};
};

TEST_F(OWPinConnection, ReplaysTheRunningStreamsStartToASinkThatJoinsLate) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  TRefPtr<TOWStartWaveOperation> start(new TOWStartWaveOperation());
  Source.Notify(start.Get());
  Source.SubmitBuffer(TRefPtr<ISLData>(TALAudioBuffer::CreateSize(44100, 16, 2, 16).Get()));
  ASSERT_TRUE(SinkB.Connect(&Source));
  EXPECT_EQ(B.Kinds(), TKinds{"start-wave"});
  EXPECT_EQ(B.Log()[0].Operation.Get(), static_cast<IOWNotifyOperation*>(start.Get()));
  EXPECT_EQ(A.Kinds(), (TKinds{"start-wave", "buffer"}));  // the replay went to the new sink alone

  Source.Stop();
  ASSERT_TRUE(SinkC.Connect(&Source));
  EXPECT_TRUE(C.Kinds().empty());
  EXPECT_FALSE(Source.GetStartOperation());
}

TEST_F(OWPinConnection, ForgetsTheStartOnAnEndStopToo) {
  Source.Notify(new TOWStartWaveOperation());
  EXPECT_TRUE(Source.GetStartOperation());
  Source.EndStop();
  EXPECT_FALSE(Source.GetStartOperation());
  Source.Notify(new TOWStartOperation());  // any start is remembered
  EXPECT_TRUE(Source.GetStartOperation());
  Source.FileEndNoStop();  // not a stop
  EXPECT_TRUE(Source.GetStartOperation());
}

TEST_F(OWPinConnection, SendsAStopToASinkThatIsDisconnected) {
  bool bDisconnected = false;
  SinkA.SetOnDisconnect([&](TOWBasicPin* pin) { bDisconnected = pin == &SinkA; });
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(Source.Connect(&SinkB));
  SinkA.Disconnect();
  EXPECT_EQ(A.Kinds(), TKinds{"stop"});
  EXPECT_TRUE(bDisconnected);
  EXPECT_FALSE(SinkA.IsConnected());
  EXPECT_FALSE(Source.IsConnectedTo(&SinkA));
  EXPECT_EQ(Source.GetSinkCount(), 1);

  EXPECT_TRUE(Source.DisconnectFrom(&SinkB));
  EXPECT_EQ(B.Kinds(), TKinds{"stop"});
  EXPECT_FALSE(Source.IsConnected());
  EXPECT_FALSE(Source.DisconnectFrom(&SinkB));
  EXPECT_TRUE(B.Kinds().size() == 1);
}

TEST_F(OWPinConnection, DisconnectsEverySinkOfASourceWithAStopEach) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(Source.Connect(&SinkB));
  Source.Disconnect();
  EXPECT_EQ(A.Kinds(), TKinds{"stop"});
  EXPECT_EQ(B.Kinds(), TKinds{"stop"});
  EXPECT_FALSE(SinkA.IsConnected());
  EXPECT_FALSE(SinkB.IsConnected());
  EXPECT_EQ(Source.GetSinkCount(), 0);
}

TEST_F(OWPinConnection, KeepsEverySinkOfAnUnlimitedSource) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(Source.Connect(&SinkB));
  ASSERT_TRUE(SinkC.Connect(&Source));
  EXPECT_EQ(Source.GetSinkCount(), 3);
  EXPECT_EQ(Source.GetSinkPins(), (std::vector<TOWBasicPin*>{&SinkA, &SinkB, &SinkC}));
  EXPECT_EQ(SinkB.GetSourcePin(), &Source);
  EXPECT_TRUE(SinkB.IsConnectedTo(&Source));
}

TEST_F(OWPinConnection, DropsTheOldestConnectionAtTheLimit) {
  Source.SetMaxConnections(2);
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(Source.Connect(&SinkB));
  ASSERT_TRUE(Source.Connect(&SinkC));
  EXPECT_EQ(Source.GetSinkPins(), (std::vector<TOWBasicPin*>{&SinkB, &SinkC}));
  EXPECT_EQ(A.Kinds(), TKinds{"stop"});
  EXPECT_FALSE(SinkA.IsConnected());
}

TEST_F(OWPinConnection, GivesASinkOneSourceAtATime) {
  TFakeOwner other;
  TRecorder otherUp;
  TALOWAudioSourcePin second(&other, other.Lock.Get(), otherUp.Handler());
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(SinkA.Connect(&second));
  EXPECT_EQ(A.Kinds(), TKinds{"stop"});  // from the first source
  EXPECT_EQ(SinkA.GetSourcePin(), &second);
  EXPECT_EQ(Source.GetSinkCount(), 0);
  EXPECT_TRUE(second.IsConnectedTo(&SinkA));

  ASSERT_TRUE(Source.Connect(&SinkA));  // from the source's side
  EXPECT_EQ(second.GetSinkCount(), 0);
  EXPECT_EQ(SinkA.GetSourcePin(), &Source);
  EXPECT_EQ(A.Kinds(), (TKinds{"stop", "stop"}));
}

TEST_F(OWPinConnection, LeavesAnExistingConnectionAloneWhenItIsMadeAgain) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(SinkA.Connect(&Source));
  ASSERT_TRUE(Source.Connect(&SinkA));
  EXPECT_TRUE(A.Kinds().empty());
  EXPECT_EQ(Source.GetSinkCount(), 1);
}

TEST_F(OWPinConnection, RefusesToConnectAPinToItselfOrToItsOwnKind) {
  TFakeOwner owner;
  TOWBoolStatePin state(&owner, owner.Lock.Get(), nullptr);
  EXPECT_FALSE(Source.Connect(&Source));
  EXPECT_FALSE(SinkA.Connect(&SinkA));
  EXPECT_FALSE(state.Connect(&state));
  EXPECT_FALSE(SinkA.Connect(&SinkB));
  TALOWAudioSourcePin second(&owner, owner.Lock.Get(), nullptr);
  EXPECT_FALSE(Source.Connect(&second));
  EXPECT_FALSE(Source.Connect(&state));
  EXPECT_FALSE(SinkA.Connect(&state));
  EXPECT_FALSE(Source.IsConnected());
  EXPECT_FALSE(SinkA.IsConnected());
}

TEST_F(OWPinConnection, ConnectingToNothingDisconnects) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  EXPECT_TRUE(SinkA.Connect(nullptr));
  EXPECT_FALSE(SinkA.IsConnected());
  EXPECT_EQ(A.Kinds(), TKinds{"stop"});
}

TEST(OWPinDataType, MeetsOnTheLastRegisteredTypeBothSidesHave) {
  TFakeOwner owner;
  TALOWAudioSourcePin audioSource(&owner, owner.Lock.Get(), nullptr);
  TSLOWSourcePin signalSource(&owner, owner.Lock.Get(), nullptr);
  TALOWAudioSinkPin audioSink(&owner, owner.Lock.Get(), nullptr);
  TSLOWSinkPin signalSink(&owner, owner.Lock.Get(), nullptr);
  TOWClockSourcePin clockSource(&owner, owner.Lock.Get(), nullptr);
  TOWClockSinkPin clockSink(&owner, owner.Lock.Get(), nullptr);

  ASSERT_TRUE(audioSource.Connect(&audioSink));
  EXPECT_TRUE(audioSink.GetConnectedID() == OWAudioDataTypeID);
  ASSERT_TRUE(audioSource.Connect(&signalSink));
  EXPECT_TRUE(signalSink.GetConnectedID() == OWSignalDataTypeID);
  ASSERT_TRUE(signalSource.Connect(&audioSink));
  EXPECT_TRUE(audioSink.GetConnectedID() == OWSignalDataTypeID);
  EXPECT_TRUE(clockSource.Connect(&clockSink));
  EXPECT_FALSE(clockSource.Connect(&audioSink));
  EXPECT_FALSE(audioSource.Connect(&clockSink));
  EXPECT_TRUE(audioSink.IsConnectedTo(&signalSource));
}

// ------------------------------------------------------------------ operations

TEST(OWOperation, TakesADistinctIncreasingIdentifierFromOneCounter) {
  std::vector<std::uint32_t> ids;
  std::mutex m;
  auto make = [&] {
    for (int i = 0; i < 1000; ++i) {
      TRefPtr<TOWNotifyOperation> op(new TOWStopOperation());
      std::lock_guard g(m);
      ids.push_back(op->GetOperationID());
    }
  };
  std::thread t(make);
  make();
  t.join();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
  TRefPtr<TOWNotifyOperation> first(new TOWClockOperation()), second(new TOWMasterPumpOperation(nullptr));
  EXPECT_LT(first->GetOperationID(), second->GetOperationID());
}

TEST(OWOperation, StartsAWaveWithElevenThousandTwentyFourHertzWhenGivenNoFormat) {
  TRefPtr<TOWStartWaveOperation> op(new TOWStartWaveOperation());
  const TALWaveFormatExtensible& w = op->WaveFormat;
  EXPECT_EQ(w.wFormatTag, 0xFFFE);
  EXPECT_EQ(w.nChannels, 2);
  EXPECT_EQ(w.nSamplesPerSec, 11024u);
  EXPECT_EQ(w.nAvgBytesPerSec, 44096u);
  EXPECT_EQ(w.nBlockAlign, 4);
  EXPECT_EQ(w.wBitsPerSample, 16);
  EXPECT_EQ(w.wValidBitsPerSample, 16);
  EXPECT_EQ(w.cbSize, 22);
  EXPECT_EQ(w.dwChannelMask, 3u);
  EXPECT_TRUE(w.SubFormat == ALSubFormatPCM);
  EXPECT_EQ(op->SampleRate, 11024.0);
  EXPECT_FALSE(op->Paused);
  TRefPtr<TOWStartWaveOperation> wave = TOWStartWaveOperation::CreateWave(43.0, nullptr, true);
  EXPECT_EQ(wave->WaveFormat.nAvgBytesPerSec, 44096u);
  EXPECT_TRUE(wave->Paused);
}

TEST(OWOperation, CarriesTheGivenRecordAndItsRate) {
  PALAudioBuffer model = TALAudioBuffer::CreateSizeEx(48000, 24, 6, 1, TALSpeakers::FromMask(0x3F));
  TALWaveFormatExtensible record = model->GetWaveFormat();
  TRefPtr<TOWStartWaveOperation> op(new TOWStartWaveOperation(record, true));
  EXPECT_EQ(std::memcmp(&op->WaveFormat, &record, 40), 0);
  EXPECT_EQ(op->SampleRate, 48000.0);
  EXPECT_TRUE(op->Paused);
}

TEST(OWOperation, ExtendsAPlainWaveFormatRecord) {
  TOWWaveFormatEx plain{1, 3, 22050, 22050 * 9, 9, 24, 0};
  TRefPtr<TOWStartWaveOperation> op = TOWStartWaveOperation::CreateWave(21.5, &plain, false);
  const TALWaveFormatExtensible& w = op->WaveFormat;
  EXPECT_EQ(w.wFormatTag, 0xFFFE);
  EXPECT_EQ(w.nChannels, 3);
  EXPECT_EQ(w.nSamplesPerSec, 22050u);
  EXPECT_EQ(w.nAvgBytesPerSec, 22050u * 9);
  EXPECT_EQ(w.nBlockAlign, 9);
  EXPECT_EQ(w.wBitsPerSample, 24);
  EXPECT_EQ(w.cbSize, 22);
  EXPECT_EQ(w.wValidBitsPerSample, 24);
  EXPECT_EQ(w.dwChannelMask, 7u);
  EXPECT_TRUE(w.SubFormat == ALSubFormatPCM);
  EXPECT_EQ(op->SampleRate, 21.5);
}

// ------------------------------------------------------------------ delivery

TEST_F(OWPinConnection, DeliversUpstreamToTheSourcesOwnerHandler) {
  EXPECT_EQ(SinkA.MasterPump(&OutputA), 0u);  // not connected: nothing
  EXPECT_TRUE(Upstream.Kinds().empty());
  ASSERT_TRUE(Source.Connect(&SinkA));
  SinkA.MasterPump(&OutputA);
  auto log = Upstream.Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].Kind, "master-pump");
  EXPECT_EQ(OWOperationAs<TOWMasterPumpOperation>(log[0].Operation.Get())->Pump, &OutputA);
  EXPECT_EQ(log[0].Sender, &Source);
  EXPECT_EQ(log[0].State, nsLastIteration);
  EXPECT_TRUE(log[0].DataType == OWAudioDataTypeID);
}

TEST_F(OWPinConnection, ReturnsNothingUpstreamWhileTheSinksOwnerIsStopping) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  std::promise<void> stopped, done;
  std::thread stopper([&] {
    TOWLockSectionRef stop = OutputA.Lock->StopLock();
    stopped.set_value();
    done.get_future().wait();
  });
  stopped.get_future().wait();
  EXPECT_EQ(SinkA.MasterPump(&OutputA), 0u);
  EXPECT_TRUE(Upstream.Kinds().empty());
  done.set_value();
  stopper.join();
}

TEST_F(OWPinConnection, MarksOnlyTheLastSinkOfADeliveryAsTheLastIteration) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  ASSERT_TRUE(Source.Connect(&SinkB));
  Source.Notify(new TOWClockOperation());
  EXPECT_EQ(A.Log()[0].State, 0u);
  EXPECT_EQ(B.Log()[0].State, nsLastIteration);
  EXPECT_EQ(A.Log()[0].Sender, &SinkA);
  Source.NotifyPin(&SinkA, new TOWClockOperation());
  EXPECT_EQ(A.Log()[1].State, nsLastIteration);
  EXPECT_EQ(B.Log().size(), 1u);
}

TEST_F(OWPinConnection, AnswersADuplicatedMasterPumpRequestWithOneBuffer) {
  // The generator's rule: one buffer per request identifier.
  std::uint32_t lastID = 0;
  bool bFirst = true;
  TFakeOwner gen;
  TALOWAudioSourcePin* out = nullptr;
  TALOWAudioSourcePin pump(&gen, gen.Lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* op, TOWNotifyState) {
    if (auto* req = OWOperationAs<TOWMasterPumpOperation>(op)) {
      if (bFirst || req->GetOperationID() != lastID)
        out->SubmitBuffer(TRefPtr<ISLData>(TALAudioBuffer::CreateSize(44100, 16, 2, 4).Get()));
      bFirst = false;
      lastID = req->GetOperationID();
    }
    return TOWNotifyResult(0);
  });
  out = &pump;
  ASSERT_TRUE(pump.Connect(&SinkA));
  ASSERT_TRUE(pump.Connect(&SinkB));
  TRefPtr<TOWMasterPumpOperation> request(new TOWMasterPumpOperation(&OutputA));
  SinkA.Notify(request.Get());
  SinkB.Notify(request.Get());  // the same request by a second path
  EXPECT_EQ(A.Kinds(), TKinds{"buffer"});
  SinkB.MasterPump(&OutputB);
  SinkB.MasterPump(&OutputB);
  EXPECT_EQ(A.Kinds(), (TKinds{"buffer", "buffer", "buffer"}));
}

TEST_F(OWPinConnection, LetsSinksClaimThePumpInTheRequestTheSourceReadsAfterwards) {
  auto claim = [](std::int32_t priority, TObject* self) {
    return [priority, self](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* op, TOWNotifyState) {
      if (auto* req = OWOperationAs<TOWPumpRequestOperation>(op)) {
        if (!(req->PumpType == ptHardware && req->PumpPriority >= priority)) {
          req->Pump = self;
          req->PumpType = ptHardware;
          req->PumpPriority = priority;
        }
      }
      return TOWNotifyResult(0);
    };
  };
  TALOWAudioSinkPin low(&OutputA, OutputA.Lock.Get(), claim(1, &OutputA));
  TALOWAudioSinkPin high(&OutputB, OutputB.Lock.Get(), claim(2, &OutputB));
  ASSERT_TRUE(Source.Connect(&high));
  ASSERT_TRUE(Source.Connect(&low));
  TRefPtr<TOWPumpRequestOperation> request(new TOWPumpRequestOperation(&Generator, ptMaster, 0, 44100.0f / 1024));
  Source.Notify(request.Get());
  EXPECT_EQ(request->Pump, &OutputB);
  EXPECT_EQ(request->PumpPriority, 2);
}

// Three sinks whose handlers log into one sequence.
class OWPinOrder : public ::testing::Test {
 protected:
  TFakeOwner Owner;
  std::vector<std::string> Order;
  std::vector<std::string> Round() {
    Order.clear();
    Source.Notify(new TOWClockOperation());
    return Order;
  }
  TSLOperationEvent Log(const char* name, bool bChanged) {
    return [this, name, bChanged](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
      Order.push_back(name);
      return bChanged ? nrDataChanged : TOWNotifyResult(0);
    };
  }
  TALOWAudioSourcePin Source{&Owner, Owner.Lock.Get(), nullptr};
};

TEST_F(OWPinOrder, DriftsASinkThatKeepsChangingDataToTheEnd) {
  TALOWAudioSinkPin x(&Owner, Owner.Lock.Get(), Log("x", false));
  TALOWAudioSinkPin y(&Owner, Owner.Lock.Get(), Log("y", true));
  TALOWAudioSinkPin z(&Owner, Owner.Lock.Get(), Log("z", false));
  ASSERT_TRUE(Source.Connect(&x));
  ASSERT_TRUE(Source.Connect(&y));
  ASSERT_TRUE(Source.Connect(&z));
  EXPECT_EQ(Round(), (TKinds{"x", "y", "z"}));
  EXPECT_EQ(Source.GetWeight(&y), 3);  // +4, then -1
  EXPECT_EQ(Round(), (TKinds{"x", "z", "y"}));
  for (int i = 0; i < 5000; ++i) Round();
  EXPECT_EQ(Source.GetWeight(&y), 9999);  // capped at 10000 before the decrement
  EXPECT_EQ(Source.GetWeight(&x), 0);
}

TEST_F(OWPinOrder, NeverDeliversToASinkBeforeTheOneItMustFollow) {
  TALOWAudioSinkPin lead(&Owner, Owner.Lock.Get(), Log("lead", true));
  TALOWAudioSinkPin follower(&Owner, Owner.Lock.Get(), Log("follower", false));
  TALOWAudioSinkPin other(&Owner, Owner.Lock.Get(), Log("other", false));
  ASSERT_TRUE(Source.Connect(&lead));
  ASSERT_TRUE(follower.ConnectAfter(&Source, &lead));
  ASSERT_TRUE(Source.Connect(&other));
  for (int i = 0; i < 20; ++i) {
    auto order = Round();
    auto at = [&](const char* n) { return std::find(order.begin(), order.end(), n) - order.begin(); };
    ASSERT_EQ(order.size(), 3u);
    ASSERT_LT(at("lead"), at("follower")) << "round " << i;
  }
  // The lead drifted behind the other sink, and took its follower along.
  EXPECT_EQ(Round(), (TKinds{"other", "lead", "follower"}));
}

TEST_F(OWPinOrder, OrdersASinkThatConnectsBeforeTheOneItMustFollow) {
  TALOWAudioSinkPin lead(&Owner, Owner.Lock.Get(), Log("lead", false));
  TALOWAudioSinkPin follower(&Owner, Owner.Lock.Get(), Log("follower", false));
  TALOWAudioSinkPin third(&Owner, Owner.Lock.Get(), Log("third", false));
  ASSERT_TRUE(Source.Connect(&third));
  ASSERT_TRUE(Source.ConnectAfter(&follower, &lead));
  ASSERT_TRUE(Source.Connect(&lead));
  EXPECT_EQ(Round(), (TKinds{"third", "lead", "follower"}));
}

TEST_F(OWPinConnection, RaisesTheDependencyTextBeyondTwoHundredNestedDeliveries) {
  int depth = 0;
  TFakeOwner loopOwner;
  TALOWAudioSinkPin loop(&loopOwner, loopOwner.Lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* op, TOWNotifyState) {
    if (!OWOperationAs<TOWClockOperation>(op)) return TOWNotifyResult(0);
    ++depth;
    Source.Notify(new TOWClockOperation());  // the sink feeds the source again
    return TOWNotifyResult(0);
  });
  ASSERT_TRUE(Source.Connect(&loop));
  try {
    Source.Notify(new TOWClockOperation());
    FAIL() << "no error";
  } catch (const EOWPinError& e) {
    EXPECT_STREQ(e.what(), "The pin depends on itself. Please protect with functional dependency.");
  }
  EXPECT_EQ(depth, 201);
  // Unwound completely: the next delivery starts at depth 0 again.
  depth = 0;
  loop.Disconnect();
  ASSERT_TRUE(Source.Connect(&SinkA));
  Source.Notify(new TOWClockOperation());
  EXPECT_EQ(A.Kinds(), (TKinds{"clock"}));
}

TEST_F(OWPinConnection, SwallowsWhatIsRaisedWhileSubmittingABuffer) {
  TFakeOwner owner;
  TALOWAudioSinkPin failing(&owner, owner.Lock.Get(), [](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* op, TOWNotifyState) -> TOWNotifyResult {
    if (OWOperationAs<TOWStopOperation>(op)) return 0;
    throw ESLException("device gone", 5);
  });
  ASSERT_TRUE(Source.Connect(&failing));
  ASSERT_TRUE(Source.Connect(&SinkA));
  PALAudioBuffer buffer = TALAudioBuffer::CreateSize(44100, 16, 2, 8);
  EXPECT_NO_THROW(EXPECT_EQ(Source.SubmitBuffer(TRefPtr<ISLData>(buffer.Get())), 0u));
  EXPECT_THROW(Source.Notify(new TOWClockOperation()), ESLException);  // a plain notify does not swallow
  failing.Disconnect();
  Source.SubmitBuffer(TRefPtr<ISLData>(buffer.Get()));
  EXPECT_EQ(A.Kinds().back(), "buffer");
}

TEST_F(OWPinConnection, HandsTheBufferToTheSinkAsSharedStorage) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  PALAudioBuffer buffer = TALAudioBuffer::CreateSize(44100, 16, 2, 8);
  Source.SubmitBuffer(TRefPtr<ISLData>(buffer.Get()));
  auto log = A.Log();
  ASSERT_EQ(log.size(), 1u);
  auto* op = OWOperationAs<TOWSuppliedBufferOperation>(log[0].Operation.Get());
  ASSERT_TRUE(op);
  PALAudioBuffer received = TALAudioBuffer::CreateUniversal(op->Buffer.Get());
  EXPECT_EQ(received->GetDataContainer(), buffer->GetDataContainer());
  EXPECT_EQ(received->GetSize(), 8u);
}

// ------------------------------------------------------------------ locks and threads

TEST_F(OWPinConnection, ReleasesTheSourceOwnersLockWhileDelivering) {
  std::atomic<bool> bTaken{false};
  TFakeOwner sinkOwner;
  TALOWAudioSinkPin sink(&sinkOwner, sinkOwner.Lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
    // Another thread takes the source owner's lock while this handler runs.
    auto taken = std::async(std::launch::async, [&] {
      TOWLockSectionRef w = Generator.Lock->WriteLock();
      bTaken = static_cast<bool>(w);
    });
    EXPECT_EQ(taken.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the owner's lock was held";
    taken.get();
    return TOWNotifyResult(0);
  });
  ASSERT_TRUE(Source.Connect(&sink));
  {
    TOWLockSectionRef held = Generator.Lock->WriteLock();
    TOWLockSectionRef nested = Generator.Lock->WriteLock();
    Source.Notify(new TOWClockOperation());
    // Taken back, at the same depth.
    EXPECT_EQ(Generator.Lock->GetCounters().OwningThread, std::this_thread::get_id());
    EXPECT_EQ(Generator.Lock->GetCounters().CountLocks, 2);
  }
  EXPECT_TRUE(bTaken);
  EXPECT_EQ(Generator.Lock->GetCounters().OwningThread, std::thread::id());
}

TEST_F(OWPinConnection, ReleasesTheSinkOwnersLockWhileDeliveringUpstream) {
  std::atomic<bool> bTaken{false};
  TFakeOwner gen;
  TALOWAudioSourcePin source(&gen, gen.Lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
    auto taken = std::async(std::launch::async, [&] {
      TOWLockSectionRef w = OutputA.Lock->WriteLock();
      bTaken = static_cast<bool>(w);
    });
    EXPECT_EQ(taken.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the owner's lock was held";
    taken.get();
    return TOWNotifyResult(0);
  });
  ASSERT_TRUE(source.Connect(&SinkA));
  {
    TOWLockSectionRef held = OutputA.Lock->WriteLock();
    SinkA.MasterPump(&OutputA);
    EXPECT_EQ(OutputA.Lock->GetCounters().OwningThread, std::this_thread::get_id());
  }
  EXPECT_TRUE(bTaken);
}

TEST_F(OWPinConnection, DisconnectWaitsForADeliveryUnderWayOnAnotherThread) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> bHandlerDone{false}, bDisconnected{false}, bOnce{false};
  std::atomic<int> probes{0};
  TFakeOwner owner;
  TALOWAudioSinkPin slow(&owner, owner.Lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* op, TOWNotifyState) {
    if (OWOperationAs<TOWClockOperation>(op) && !bOnce.exchange(true)) {
      entered.set_value();
      released.wait();
      bHandlerDone = true;
    } else if (OWOperationAs<TOWStartOperation>(op)) {
      ++probes;
    }
    return TOWNotifyResult(0);
  });
  ASSERT_TRUE(Source.Connect(&slow));
  std::thread producer([&] { Source.Notify(new TOWClockOperation()); });
  entered.get_future().wait();
  std::thread disconnecter([&] {
    slow.Disconnect();
    bDisconnected = true;
  });
  // Once the disconnect is under way, new deliveries through the source are refused.
  for (int sent = 0;; ++sent) {
    int before = probes.load();
    Source.NotifyPin(&slow, new TOWStartOperation());
    if (probes.load() == before) break;
    std::this_thread::yield();
  }
  EXPECT_FALSE(bDisconnected);
  release.set_value();
  producer.join();
  disconnecter.join();
  EXPECT_TRUE(bHandlerDone);
  EXPECT_TRUE(bDisconnected);
  EXPECT_FALSE(slow.IsConnected());
}

TEST_F(OWPinConnection, SurvivesSinksComingAndGoingWhileAnotherThreadStreams) {
  ASSERT_TRUE(Source.Connect(&SinkA));
  std::atomic<bool> bStop{false};
  std::atomic<int> rounds{0};
  std::thread producer([&] {
    while (!bStop) {
      Source.Notify(new TOWStartWaveOperation());
      Source.SubmitBuffer(TRefPtr<ISLData>(TALAudioBuffer::CreateSize(44100, 16, 2, 32).Get()));
      Source.Stop();
      ++rounds;
    }
  });
  // The churn below must overlap streaming: let the producer get going first.
  while (rounds.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 200; ++i) {
    TFakeOwner owner;
    std::atomic<int> received{0};
    auto sink = std::make_unique<TALOWAudioSinkPin>(&owner, owner.Lock.Get(),
                                                    [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) {
                                                      ++received;
                                                      return TOWNotifyResult(0);
                                                    });
    ASSERT_TRUE(sink->Connect(&Source));
    if (i % 2) SinkB.Connect(&Source);
    else SinkB.Disconnect();
    sink.reset();  // destroyed while connected
  }
  bStop = true;
  producer.join();
  EXPECT_EQ(Source.GetSinkCount(), SinkB.IsConnected() ? 2 : 1);
  auto kinds = A.Kinds();
  EXPECT_GE(kinds.size(), 3u);
}

// A structural change stuck behind a delivery that does not return holds up its own link only.
enum class TStuckChange { DisconnectSink, DestroySink, DisconnectSource, DestroySource };

class OWPinStall : public ::testing::TestWithParam<TStuckChange> {};

TEST_P(OWPinStall, HoldsUpOnlyTheLinkWhoseDeliveryIsUnderWay) {
  TFakeOwner gen, out;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> bOnce{false}, bChangeDone{false};
  std::atomic<int> probes{0};
  auto source = std::make_unique<TALOWAudioSourcePin>(&gen, gen.Lock.Get(), nullptr);
  auto sink = std::make_unique<TALOWAudioSinkPin>(
      &out, out.Lock.Get(), [&](TOWBasicPin*, const TALGuid&, IOWNotifyOperation* op, TOWNotifyState) {
        if (OWOperationAs<TOWClockOperation>(op) && !bOnce.exchange(true)) {
          entered.set_value();
          released.wait();  // a device that does not return
        } else if (OWOperationAs<TOWStartOperation>(op)) {
          ++probes;
        }
        return TOWNotifyResult(0);
      });
  ASSERT_TRUE(source->Connect(sink.get()));
  std::thread producer([&] { source->Notify(new TOWClockOperation()); });
  entered.get_future().wait();
  // Both objects outlive the probing below: a destruction waits for the delivery under way.
  TALOWAudioSourcePin* const s = source.get();
  TALOWAudioSinkPin* const k = sink.get();
  std::thread stuck([&] {
    switch (GetParam()) {
      case TStuckChange::DisconnectSink: sink->Disconnect(); break;
      case TStuckChange::DestroySink: sink.reset(); break;
      case TStuckChange::DisconnectSource: source->Disconnect(); break;
      case TStuckChange::DestroySource: source.reset(); break;
    }
    bChangeDone = true;
  });
  // The change has begun (and claimed its pins) once the source refuses new deliveries.
  for (;;) {
    const int before = probes.load();
    s->NotifyPin(k, new TOWStartOperation());
    if (probes.load() == before) break;
    std::this_thread::yield();
  }

  // Meanwhile other components connect, stream and disconnect, and a connected pin is destroyed.
  TFakeOwner gen2, outA, outB, states;
  TRecorder A, B;
  auto others = std::async(std::launch::async, [&] {
    TALOWAudioSourcePin source2(&gen2, gen2.Lock.Get(), nullptr);
    TALOWAudioSinkPin sinkA(&outA, outA.Lock.Get(), A.Handler());
    auto sinkB = std::make_unique<TALOWAudioSinkPin>(&outB, outB.Lock.Get(), B.Handler());
    EXPECT_TRUE(source2.Connect(&sinkA));
    EXPECT_TRUE(sinkB->Connect(&source2));
    source2.Notify(new TOWStartWaveOperation());
    source2.SubmitBuffer(TRefPtr<ISLData>(TALAudioBuffer::CreateSize(44100, 16, 2, 16).Get()));
    sinkB.reset();
    source2.Stop();
    sinkA.Disconnect();
    TOWBoolStatePin p(&states, states.Lock.Get(), nullptr), q(&states, states.Lock.Get(), nullptr);
    EXPECT_TRUE(p.Connect(&q));
    p.Disconnect();
    return source2.GetSinkCount();
  });
  const bool bOthersDone = others.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(bOthersDone) << "unrelated connections waited for the stuck delivery";
  EXPECT_FALSE(bChangeDone) << "the change did not wait for the delivery under way";
  release.set_value();
  producer.join();
  stuck.join();
  if (bOthersDone) {
    EXPECT_EQ(others.get(), 0);
    EXPECT_EQ(A.Kinds(), (TKinds{"start-wave", "buffer", "stop", "stop"}));  // the stream's, the link's
    EXPECT_EQ(B.Kinds(), (TKinds{"start-wave", "buffer", "stop"}));          // destroyed while connected
  }
  EXPECT_TRUE(bChangeDone);
  if (sink) {
    EXPECT_FALSE(sink->IsConnected());
  }
  if (source) {
    EXPECT_EQ(source->GetSinkCount(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Changes, OWPinStall,
                         ::testing::Values(TStuckChange::DisconnectSink, TStuckChange::DestroySink,
                                           TStuckChange::DisconnectSource, TStuckChange::DestroySource),
                         [](const ::testing::TestParamInfo<TStuckChange>& change) {
                           switch (change.param) {
                             case TStuckChange::DisconnectSink: return std::string("DisconnectSink");
                             case TStuckChange::DestroySink: return std::string("DestroySink");
                             case TStuckChange::DisconnectSource: return std::string("DisconnectSource");
                             case TStuckChange::DestroySource: return std::string("DestroySource");
                           }
                           return std::string();
                         });

// ------------------------------------------------------------------ state and clock pins

class OWStatePins : public ::testing::Test {
 protected:
  struct TChange {
    TOWPin* Sender;
    bool Value;
    bool OnConnect;
  };
  TOWBoolChangeEvent Log(std::vector<TChange>& into) {
    return [&into](TOWPin* sender, bool value, bool onConnect) { into.push_back({sender, value, onConnect}); };
  }
  TFakeOwner Owner;
  std::vector<TChange> LogA, LogB, LogC;
  TOWBoolStatePin A{&Owner, Owner.Lock.Get(), Log(LogA)};
  TOWBoolStatePin B{&Owner, Owner.Lock.Get(), Log(LogB)};
  TOWBoolStatePin C{&Owner, Owner.Lock.Get(), Log(LogC)};
};

TEST_F(OWStatePins, SendAChangedValueToEveryOtherMemberOfTheGroup) {
  ASSERT_TRUE(A.Connect(&B));
  ASSERT_TRUE(C.Connect(&B));
  EXPECT_TRUE(A.IsConnectedTo(&C));
  A.SetValue(true);
  EXPECT_TRUE(LogA.empty());
  ASSERT_EQ(LogB.size(), 1u);
  EXPECT_EQ(LogB[0].Sender, &B);
  EXPECT_TRUE(LogB[0].Value);
  EXPECT_FALSE(LogB[0].OnConnect);
  ASSERT_EQ(LogC.size(), 1u);
  EXPECT_TRUE(B.GetValue());
  EXPECT_TRUE(C.GetValue());
  A.SetValue(true);  // unchanged: nothing sent
  EXPECT_EQ(LogB.size(), 1u);
  C.SetValue(false);
  EXPECT_FALSE(A.GetValue());
  EXPECT_EQ(LogA.size(), 1u);
}

TEST_F(OWStatePins, TakeTheValueOfTheGroupTheyJoin) {
  A.SetValue(true);  // alone: stored only
  ASSERT_TRUE(B.Connect(&A));
  ASSERT_EQ(LogB.size(), 1u);
  EXPECT_TRUE(LogB[0].Value);
  EXPECT_TRUE(LogB[0].OnConnect);
  EXPECT_TRUE(B.GetValue());
}

TEST_F(OWStatePins, StopReceivingOnceTheyLeaveTheGroup) {
  ASSERT_TRUE(A.Connect(&B));
  ASSERT_TRUE(C.Connect(&A));
  C.Disconnect();
  EXPECT_FALSE(C.IsConnected());
  A.SetValue(true);
  EXPECT_TRUE(LogC.empty());
  EXPECT_EQ(LogB.size(), 1u);
  EXPECT_TRUE(A.DisconnectFrom(&B));
  EXPECT_FALSE(A.IsConnected());
  EXPECT_FALSE(B.IsConnected());  // a group of one is no connection
}

TEST(OWClockPins, CarryTicksDownAndRequestsUp) {
  TFakeOwner output, gen;
  TRecorder up, down;
  TOWClockSourcePin clockOut(&output, output.Lock.Get(), up.Handler());
  TOWClockSinkPin clockIn(&gen, gen.Lock.Get(), down.Handler());
  ASSERT_TRUE(clockIn.Connect(&clockOut));
  clockOut.Clock();
  clockOut.Clock();
  EXPECT_EQ(down.Kinds(), (TKinds{"clock", "clock"}));
  clockIn.Notify(new TOWClockNeededOperation(true));
  EXPECT_EQ(up.Kinds(), TKinds{"clock-needed"});
  clockIn.Disconnect();  // clock source pins send no stop
  EXPECT_EQ(down.Kinds().size(), 2u);
}

TEST(OWPinDestruction, KeepsTheLinksConsistentWhenTheStopOfADisconnectRaises) {
  TFakeOwner owner;
  TALOWAudioSourcePin source(&owner, owner.Lock.Get(), nullptr);
  auto sink = std::make_unique<TALOWAudioSinkPin>(&owner, owner.Lock.Get(),
                                                  [](TOWBasicPin*, const TALGuid&, IOWNotifyOperation*, TOWNotifyState) -> TOWNotifyResult {
                                                    throw ESLException("refused", 1);
                                                  });
  ASSERT_TRUE(source.Connect(sink.get()));
  EXPECT_NO_THROW(sink->Disconnect());
  EXPECT_FALSE(sink->IsConnected());
  EXPECT_EQ(source.GetSinkCount(), 0);
  ASSERT_TRUE(source.Connect(sink.get()));
  sink.reset();  // a destructor must not let it through either
  EXPECT_EQ(source.GetSinkCount(), 0);
}

TEST(OWPinDestruction, DisconnectsAPinThatIsDestroyedWhileConnected) {
  TFakeOwner owner;
  TRecorder rec;
  TALOWAudioSourcePin source(&owner, owner.Lock.Get(), nullptr);
  {
    TALOWAudioSinkPin sink(&owner, owner.Lock.Get(), rec.Handler());
    ASSERT_TRUE(source.Connect(&sink));
  }
  EXPECT_EQ(source.GetSinkCount(), 0);
  EXPECT_EQ(rec.Kinds(), TKinds{"stop"});
  auto sink = std::make_unique<TALOWAudioSinkPin>(&owner, owner.Lock.Get(), nullptr);
  {
    TALOWAudioSourcePin other(&owner, owner.Lock.Get(), nullptr);
    ASSERT_TRUE(sink->Connect(&other));
  }
  EXPECT_FALSE(sink->IsConnected());
  EXPECT_EQ(sink->Notify(new TOWClockNeededOperation(true)), 0u);
}

}  // namespace
}  // namespace portwise
