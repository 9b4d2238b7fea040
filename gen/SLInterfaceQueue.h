#pragma once
// A first-in first-out queue of interface references, safe between one thread that pushes and
// another that pops: the lock is held only while the links change, never while an item is made
// or released.
#include <mutex>

#include "core/SLInterfaces.h"

namespace portwise {

class ISLInterfaceQueue : public ISLUnknown {
 public:
  // Releases every queued item.
  virtual void Clear() = 0;
  virtual bool IsEmpty() = 0;
  // An empty reference is queued like any other and pops as an empty reference.
  virtual void Push(TRefPtr<ISLUnknown> AItem) = 0;
  // The oldest item; false, with AItem emptied, when the queue is empty.
  virtual bool Pop(TRefPtr<ISLUnknown>& AItem) = 0;
};

class TSLInterfaceQueue final : public ISLInterfaceQueue {
 public:
  static TRefPtr<ISLInterfaceQueue> Create();

  void AddRef() noexcept override { FRefCount.Increment(); }
  void Release() noexcept override {
    if (FRefCount.Decrement()) delete this;
  }

  void Clear() override;
  bool IsEmpty() override;
  void Push(TRefPtr<ISLUnknown> AItem) override;
  bool Pop(TRefPtr<ISLUnknown>& AItem) override;

 private:
  struct TSLInterfaceQueueNode {
    TSLInterfaceQueueNode* FNext = nullptr;
    TRefPtr<ISLUnknown> FItem;
  };

  TSLInterfaceQueue() = default;
  ~TSLInterfaceQueue() override;
  static void FreeChain(TSLInterfaceQueueNode* ANode) noexcept;

  TSLRefCount FRefCount;
  std::mutex FSection;
  TSLInterfaceQueueNode* FFirst = nullptr;
  TSLInterfaceQueueNode* FLast = nullptr;
};

}  // namespace portwise
