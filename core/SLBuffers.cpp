#include "core/SLBuffers.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/Platform.h"

namespace portwise {

// ------------------------------------------------------------------ pool

namespace {

// The heap address sits in the pointer-sized slot just before the aligned start.
constexpr std::size_t KHeapSlot = sizeof(void*);

// The pool lives in static storage that is never destroyed: blocks released by other static
// objects after the pool's shutdown still find it. The shutdown object gives the memory back.
alignas(TSLSmartBufferManager) unsigned char GPoolStorage[sizeof(TSLSmartBufferManager)];

}  // namespace

class TSLSmartBufferManagerShutdown {
 public:
  ~TSLSmartBufferManagerShutdown() {
    if (FManager) FManager->ShutDown();
  }
  TSLSmartBufferManager* FManager = nullptr;
};

TSLSmartBufferManager& TSLSmartBufferManager::Instance() {
  static TSLSmartBufferManager* manager = [] {
    auto* m = new (GPoolStorage) TSLSmartBufferManager();
    // Constructed after the pool, so destroyed before the end of the process while the pool's
    // storage stays.
    static TSLSmartBufferManagerShutdown shutdown;
    shutdown.FManager = m;
    return m;
  }();
  return *manager;
}

std::uint32_t SLBlockCapacity(std::uint64_t n) {
  if (n > TALSmartAudioBuffer::KMaxCapacity) return 0;
  std::uint32_t capacity = 4;
  while (capacity < n) capacity <<= 1;
  return capacity;
}

void* TSLSmartBufferManager::HeapAllocate(std::uint32_t n) {
  std::size_t total = static_cast<std::size_t>(n) + KAlignment + KHeapSlot;
  if (total < n) throw ESLOutOfMemory();
  void* heap = std::malloc(total);
  if (!heap) throw ESLOutOfMemory();
  std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(heap) + KHeapSlot + KAlignment - 1) &
                         ~static_cast<std::uintptr_t>(KAlignment - 1);
  std::memcpy(reinterpret_cast<void*>(start - KHeapSlot), &heap, KHeapSlot);
  FHeapBlocks.fetch_add(1, std::memory_order_relaxed);
  return reinterpret_cast<void*>(start);
}

void TSLSmartBufferManager::HeapFree(void* block) {
  void* heap = nullptr;
  std::memcpy(&heap, static_cast<unsigned char*>(block) - KHeapSlot, KHeapSlot);
  std::free(heap);
  FHeapBlocks.fetch_sub(1, std::memory_order_relaxed);
}

namespace {

// The exponent of a power of two below 2^32, or -1.
int PowerOfTwo(std::uint32_t n) { return std::has_single_bit(n) ? std::countr_zero(n) : -1; }

}  // namespace

TSLSmartBufferList* TSLSmartBufferManager::FindLocked(std::uint32_t capacity) {
  const int k = PowerOfTwo(capacity);
  if (k >= 0) return FPowerLists[static_cast<std::size_t>(k)];
  for (auto& list : FLists)
    if (list->FCapacity == capacity) return list.get();
  return nullptr;
}

TSLSmartBufferList& TSLSmartBufferManager::FindOrAddLocked(std::uint32_t capacity) {
  if (TSLSmartBufferList* list = FindLocked(capacity)) return *list;
  auto added = std::make_unique<TSLSmartBufferList>(capacity);
  // Room for the spares of a busy class, so recycling does not grow the list.
  added->FFreeBlocks.reserve(2 * KSpareBlocks);
  FLists.push_back(std::move(added));
  TSLSmartBufferList* list = FLists.back().get();
  if (const int k = PowerOfTwo(capacity); k >= 0) FPowerLists[static_cast<std::size_t>(k)] = list;
  return *list;
}

void* TSLSmartBufferManager::Allocate(std::uint32_t n) {
  if (n == 0) return nullptr;
  {
    std::lock_guard g(FLock);
    if (!FShutDown) {
      TSLSmartBufferList& list = FindOrAddLocked(n);
      list.FCountdown = static_cast<std::uint32_t>(list.FFreeBlocks.size()) + KSpareBlocks;
      if (!list.FFreeBlocks.empty()) {
        void* block = list.FFreeBlocks.back();
        list.FFreeBlocks.pop_back();
        return block;
      }
    }
  }
  // From the heap, outside the pool's lock.
  return HeapAllocate(n);
}

void TSLSmartBufferManager::Deallocate(void* block, std::uint32_t n) {
  if (!block) return;
  {
    std::lock_guard g(FLock);
    if (!FShutDown) {
      try {
        TSLSmartBufferList& list = FindOrAddLocked(n);
        list.FFreeBlocks.push_back(block);
        list.FCountdown = static_cast<std::uint32_t>(list.FFreeBlocks.size()) + KSpareBlocks;
        return;
      } catch (const std::bad_alloc&) {
        // No room to keep it: the heap takes it back instead.
      }
    }
  }
  HeapFree(block);
}

void TSLSmartBufferManager::Trim() {
  std::lock_guard g(FLock);
  for (auto it = FLists.begin(); it != FLists.end();) {
    TSLSmartBufferList& list = **it;
    if (list.FCountdown != 0) {
      --list.FCountdown;
      while (list.FFreeBlocks.size() > list.FCountdown) {
        HeapFree(list.FFreeBlocks.back());
        list.FFreeBlocks.pop_back();
      }
    }
    if (list.FCountdown == 0) {
      if (const int k = PowerOfTwo(list.FCapacity); k >= 0) FPowerLists[static_cast<std::size_t>(k)] = nullptr;
      it = FLists.erase(it);
    } else {
      ++it;
    }
  }
}

void TSLSmartBufferManager::ReleaseAll() {
  std::lock_guard g(FLock);
  for (auto& list : FLists)
    for (void* block : list->FFreeBlocks) HeapFree(block);
  FLists.clear();
  FPowerLists.fill(nullptr);
}

void TSLSmartBufferManager::ShutDown() {
  ReleaseAll();
  std::lock_guard g(FLock);
  FShutDown = true;
}

bool TSLSmartBufferManager::HasSizeClass(std::uint32_t capacity) {
  std::lock_guard g(FLock);
  return FindLocked(capacity) != nullptr;
}

std::size_t TSLSmartBufferManager::FreeBlocks(std::uint32_t capacity) {
  std::lock_guard g(FLock);
  TSLSmartBufferList* list = FindLocked(capacity);
  return list ? list->FFreeBlocks.size() : 0;
}

std::uint32_t TSLSmartBufferManager::Countdown(std::uint32_t capacity) {
  std::lock_guard g(FLock);
  TSLSmartBufferList* list = FindLocked(capacity);
  return list ? list->FCountdown : 0;
}

std::size_t TSLSmartBufferManager::SizeClassCount() {
  std::lock_guard g(FLock);
  return FLists.size();
}

std::int64_t TSLSmartBufferManager::HeapBlocks() {
  std::lock_guard g(FLock);
  return FHeapBlocks.load(std::memory_order_relaxed);
}

bool TSLSmartBufferManager::TrimTimerAttached() {
  std::lock_guard g(FLock);
  return FTrimTimer != nullptr;
}

// ------------------------------------------------------------------ trim timer

TSLSmartBufferTrimTimer::TSLSmartBufferTrimTimer() : FMessages(platform::Current().Messages()) {
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  {
    std::lock_guard g(pool.FLock);
    if (pool.FTrimTimer) throw std::logic_error("the buffer pool already has a trim timer");
    pool.FTrimTimer = this;
  }
  try {
    FWindow = FMessages.CreateHiddenWindow([](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) {
      if (msg != platform::WM_TIMER_MSG || wParam != KTimerId) return false;
      TSLSmartBufferManager::Instance().Trim();
      return true;
    });
    if (!FWindow || !FMessages.SetTimer(FWindow, KTimerId, TSLSmartBufferManager::KTrimIntervalMs))
      throw std::runtime_error("the buffer pool's trim timer could not be started");
  } catch (...) {
    if (FWindow) FMessages.DestroyHiddenWindow(FWindow);
    std::lock_guard g(pool.FLock);
    pool.FTrimTimer = nullptr;
    throw;
  }
}

TSLSmartBufferTrimTimer::~TSLSmartBufferTrimTimer() {
  FMessages.KillTimer(FWindow, KTimerId);
  FMessages.DestroyHiddenWindow(FWindow);
  TSLSmartBufferManager& pool = TSLSmartBufferManager::Instance();
  std::lock_guard g(pool.FLock);
  pool.FTrimTimer = nullptr;
}

// ------------------------------------------------------------------ pooled objects

void* TSLPooledObject::operator new(std::size_t size) {
  std::uint32_t capacity = SLBlockCapacity(size);
  if (capacity == 0) throw std::bad_alloc();
  return TSLSmartBufferManager::Instance().Allocate(capacity);
}

void TSLPooledObject::operator delete(void* p, std::size_t size) noexcept {
  TSLSmartBufferManager::Instance().Deallocate(p, SLBlockCapacity(size));
}

// ------------------------------------------------------------------ storage blocks

void TSLSmartBuffer::AddReference(bool bOwner) {
  std::lock_guard g(FCriticalSection);
  ++FCountTransports;
  if (bOwner) ++FCountOwners;
}

void TSLSmartBuffer::ReleaseReference(bool bOwner) {
  bool bLast = false;
  {
    std::lock_guard g(FCriticalSection);
    if (FCountTransports == 0) return;
    if (bOwner && FCountOwners > 0) --FCountOwners;
    bLast = --FCountTransports == 0;
  }
  if (bLast) delete this;
}

void TSLSmartBuffer::RemoveOwner() {
  std::lock_guard g(FCriticalSection);
  if (FCountOwners > 0) --FCountOwners;
}

std::int32_t TSLSmartBuffer::CountOwners() {
  std::lock_guard g(FCriticalSection);
  return FCountOwners;
}

std::int32_t TSLSmartBuffer::CountTransports() {
  std::lock_guard g(FCriticalSection);
  return FCountTransports;
}

bool TSLSmartBuffer::GetBufferNumberAvailable() {
  std::lock_guard g(FCriticalSection);
  return FBufferNumberAvailable;
}

std::int64_t TSLSmartBuffer::GetBufferNumber() {
  std::lock_guard g(FCriticalSection);
  return FBufferNumber;
}

void TSLSmartBuffer::SetBufferNumber(std::int64_t value) {
  std::lock_guard g(FCriticalSection);
  FBufferNumber = value;
  FBufferNumberAvailable = true;
}

void TSLSmartBuffer::ClearBufferNumber() {
  std::lock_guard g(FCriticalSection);
  FBufferNumberAvailable = false;
}

TMLTimeStampValue TMLSmartMediaBuffer::GetTimeStamp() {
  std::lock_guard g(FCriticalSection);
  return {FTimeStampAvailable, FTimeStampBegin, FTimeStampEnd};
}

void TMLSmartMediaBuffer::SetTimeStamp(std::int64_t begin, std::int64_t end) {
  std::lock_guard g(FCriticalSection);
  FTimeStampBegin = begin;
  FTimeStampEnd = end;
  FTimeStampAvailable = true;
}

void TMLSmartMediaBuffer::SetTimeStampAvailable(bool bAvailable) {
  std::lock_guard g(FCriticalSection);
  FTimeStampAvailable = bAvailable;
}

void TMLSmartMediaBuffer::SetTimeStampValue(const TMLTimeStampValue& value) {
  std::lock_guard g(FCriticalSection);
  FTimeStampAvailable = value.bAvailable;
  FTimeStampBegin = value.Begin;
  FTimeStampEnd = value.End;
}

TALSmartAudioBuffer::TALSmartAudioBuffer(std::uint64_t requestBytes) {
  std::uint32_t capacity = SLBlockCapacity(requestBytes);
  if (capacity == 0) throw ESLOutOfMemory();
  FDataPtr = static_cast<std::uint8_t*>(TSLSmartBufferManager::Instance().Allocate(capacity));
  FAllocatedSize = capacity;
}

TALSmartAudioBuffer::~TALSmartAudioBuffer() {
  TSLSmartBufferManager::Instance().Deallocate(FDataPtr, FAllocatedSize);
}

TALSmartAudioBuffer* TALSmartAudioBuffer::Clone(std::uint32_t copyBytes) {
  auto* clone = new TALSmartAudioBuffer(FAllocatedSize);
  std::memcpy(clone->FDataPtr, FDataPtr, std::min(copyBytes, FAllocatedSize));
  clone->SetTimeStampValue(GetTimeStamp());
  return clone;
}

}  // namespace portwise
