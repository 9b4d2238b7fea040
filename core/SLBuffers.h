#pragma once
// Storage blocks for audio buffers and the process-wide pool they come from.
//
// A storage block is one reference-counted memory block: the 40-byte wave format header followed
// by the interleaved samples, plus a sequence number and time stamps that every view of the block
// shares. Blocks have power-of-two capacities and are recycled through TSLSmartBufferManager, so a
// stream of equally sized buffers allocates nothing once the pool is warm.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/SLTypes.h"
#include "platform/Messages.h"

namespace portwise {

// The heap refused a block, or a block larger than the largest capacity was asked for.
class ESLOutOfMemory : public EPortwiseError {
 public:
  ESLOutOfMemory() : EPortwiseError("Out of memory") {}
};

// ------------------------------------------------------------------ pool

// The free blocks of one exact capacity.
class TSLSmartBufferList {
 public:
  explicit TSLSmartBufferList(std::uint32_t capacity) : FCapacity(capacity) {}
  std::uint32_t Capacity() const { return FCapacity; }

 private:
  friend class TSLSmartBufferManager;
  std::uint32_t FCapacity;
  std::uint32_t FCountdown = 0;     // trim ticks left before the class is dropped
  std::vector<void*> FFreeBlocks;   // most recently freed last
};

class TSLSmartBufferTrimTimer;

// The pool's lock: its sections are a few instructions long, far shorter than a sleep and wake.
class TSLSpinLock {
 public:
  void lock() noexcept {
    while (FLocked.exchange(true, std::memory_order_acquire))
      while (FLocked.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
  void unlock() noexcept { FLocked.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> FLocked{false};
};

// One per process. Every block it hands out starts on a 32-byte boundary.
class TSLSmartBufferManager {
 public:
  static constexpr std::uint32_t KAlignment = 32;
  static constexpr std::uint32_t KSpareBlocks = 8;     // a busy class keeps about this many spares
  static constexpr std::uint32_t KTrimIntervalMs = 200;

  static TSLSmartBufferManager& Instance();

  // n = 0 gives nullptr. Raises ESLOutOfMemory when the heap refuses.
  void* Allocate(std::uint32_t n);
  void Deallocate(void* block, std::uint32_t n);
  // One trim step: every class counts down; spares beyond the countdown go back to the heap and a
  // class that reaches 0 is dropped. Runs on the trim timer; tests call it directly.
  void Trim();
  // Gives every free block back to the heap and drops every class. Blocks still in use stay valid
  // and go to the heap directly when they are freed after the pool has shut down.
  void ReleaseAll();

  // What the pool holds, for diagnostics and tests.
  bool HasSizeClass(std::uint32_t capacity);
  std::size_t FreeBlocks(std::uint32_t capacity);
  std::uint32_t Countdown(std::uint32_t capacity);
  std::size_t SizeClassCount();
  // Heap blocks the pool has taken and not yet given back (free and in use).
  std::int64_t HeapBlocks();
  bool TrimTimerAttached();

 private:
  friend class TSLSmartBufferTrimTimer;

// The pool's lock: its sections are a few instructions long, far shorter than a sleep and wake.
class TSLSpinLock {
 public:
  void lock() noexcept {
    while (FLocked.exchange(true, std::memory_order_acquire))
      while (FLocked.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
  void unlock() noexcept { FLocked.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> FLocked{false};
};
  friend class TSLSmartBufferManagerShutdown;
  TSLSmartBufferManager() = default;

  static constexpr std::uint32_t KPowerClasses = 32;
  TSLSmartBufferList* FindLocked(std::uint32_t capacity);
  TSLSmartBufferList& FindOrAddLocked(std::uint32_t capacity);
  void* HeapAllocate(std::uint32_t n);
  void HeapFree(void* block);
  void ShutDown();

  TSLSpinLock FLock;
  std::vector<std::unique_ptr<TSLSmartBufferList>> FLists;
  // The lists of power-of-two capacities (all the buffer layer asks for) by exponent; others are
  // found in FLists.
  std::array<TSLSmartBufferList*, KPowerClasses> FPowerLists{};
  std::atomic<std::int64_t> FHeapBlocks{0};
  bool FShutDown = false;
  TSLSmartBufferTrimTimer* FTrimTimer = nullptr;
};

// Runs the pool's trim every 200 ms on the main thread of the platform that is current when it is
// made, through a hidden window of that platform. The program holds one for the life of its main
// window; a test that wants timed trimming holds one inside its platform's lifetime. Only one may
// exist at a time, and it must be destroyed (on the main thread) before its platform.
class TSLSmartBufferTrimTimer {
 public:
  TSLSmartBufferTrimTimer();
  ~TSLSmartBufferTrimTimer();
  TSLSmartBufferTrimTimer(const TSLSmartBufferTrimTimer&) = delete;
  TSLSmartBufferTrimTimer& operator=(const TSLSmartBufferTrimTimer&) = delete;

 private:
  static constexpr std::uintptr_t KTimerId = 1;
  platform::IMessages& FMessages;
  platform::THiddenWindow FWindow = 0;
};

// Objects of the buffer layer (storage blocks, buffer views) are small and made once per buffer;
// they take their memory from the pool too, rounded up to a power of two.
struct TSLPooledObject {
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;
};

// Smallest power of two 2^k >= n with 2 <= k <= 30; 0 when n exceeds 2^30.
std::uint32_t SLBlockCapacity(std::uint64_t n);

// ------------------------------------------------------------------ storage blocks

// Reference counts and the sequence number. A view that may write the data counts as an owner;
// every view counts as a transport. The block frees itself when the last transport goes.
class TSLSmartBuffer : public TSLPooledObject {
 public:
  TSLSmartBuffer() = default;
  virtual ~TSLSmartBuffer() = default;
  TSLSmartBuffer(const TSLSmartBuffer&) = delete;
  TSLSmartBuffer& operator=(const TSLSmartBuffer&) = delete;

  void AddReference(bool bOwner);
  void ReleaseReference(bool bOwner);
  // The caller stops being an owner but keeps its transport reference.
  void RemoveOwner();

  std::int32_t CountOwners();
  std::int32_t CountTransports();

  bool GetBufferNumberAvailable();
  std::int64_t GetBufferNumber();
  void SetBufferNumber(std::int64_t value);
  void ClearBufferNumber();

  // The memory of the block; none at this layer.
  virtual std::uint8_t* GetDataPtr() const { return nullptr; }
  virtual std::uint32_t GetAllocatedSize() const { return 0; }
  // A new block of the same capacity holding the first `copyBytes` bytes of this one and its time
  // stamps, with no references and no sequence number; nullptr at this layer.
  virtual TSLSmartBuffer* Clone(std::uint32_t copyBytes) { (void)copyBytes; return nullptr; }

 protected:
  std::mutex FCriticalSection;

 private:
  std::int32_t FCountOwners = 0;
  std::int32_t FCountTransports = 0;
  bool FBufferNumberAvailable = false;
  std::int64_t FBufferNumber = 0;
};

struct TMLTimeStampValue {
  bool bAvailable = false;
  std::int64_t Begin = 0;
  std::int64_t End = 0;
};

class TMLSmartMediaBuffer : public TSLSmartBuffer {
 public:
  TMLTimeStampValue GetTimeStamp();
  void SetTimeStamp(std::int64_t begin, std::int64_t end);
  void SetTimeStampAvailable(bool bAvailable);
  void SetTimeStampValue(const TMLTimeStampValue& value);

 private:
  bool FTimeStampAvailable = false;
  std::int64_t FTimeStampBegin = 0;
  std::int64_t FTimeStampEnd = 0;
};

// The memory block proper: capacity SLBlockCapacity(request), from the pool.
class TALSmartAudioBuffer final : public TMLSmartMediaBuffer {
 public:
  static constexpr std::uint32_t KMaxCapacity = 0x40000000u;

  // Raises ESLOutOfMemory for more than 2^30 bytes or when the heap refuses; the request is at
  // least one byte.
  explicit TALSmartAudioBuffer(std::uint64_t requestBytes);
  ~TALSmartAudioBuffer() override;

  std::uint8_t* GetDataPtr() const override { return FDataPtr; }
  std::uint32_t GetAllocatedSize() const override { return FAllocatedSize; }
  TALSmartAudioBuffer* Clone(std::uint32_t copyBytes) override;

 private:
  std::uint8_t* FDataPtr = nullptr;
  std::uint32_t FAllocatedSize = 0;
};

}  // namespace portwise
