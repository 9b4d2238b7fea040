#include "gen/SLInterfaceQueue.h"

#include <utility>

namespace portwise {

TRefPtr<ISLInterfaceQueue> TSLInterfaceQueue::Create() { return TRefPtr<ISLInterfaceQueue>(new TSLInterfaceQueue); }

TSLInterfaceQueue::~TSLInterfaceQueue() { Clear(); }

void TSLInterfaceQueue::FreeChain(TSLInterfaceQueueNode* ANode) noexcept {
  while (ANode) delete std::exchange(ANode, ANode->FNext);
}

void TSLInterfaceQueue::Clear() {
  TSLInterfaceQueueNode* chain;
  {
    std::lock_guard section(FSection);
    chain = std::exchange(FFirst, nullptr);
    FLast = nullptr;
  }
  FreeChain(chain);
}

bool TSLInterfaceQueue::IsEmpty() {
  std::lock_guard section(FSection);
  return FFirst == nullptr;
}

void TSLInterfaceQueue::Push(TRefPtr<ISLUnknown> AItem) {
  auto* node = new TSLInterfaceQueueNode;
  node->FItem = std::move(AItem);
  std::lock_guard section(FSection);
  if (FLast) FLast->FNext = node;
  else FFirst = node;
  FLast = node;
}

bool TSLInterfaceQueue::Pop(TRefPtr<ISLUnknown>& AItem) {
  TSLInterfaceQueueNode* node;
  {
    std::lock_guard section(FSection);
    node = FFirst;
    if (node) {
      FFirst = node->FNext;
      if (!FFirst) FLast = nullptr;
    }
  }
  if (!node) {
    AItem.Reset();
    return false;
  }
  AItem = std::move(node->FItem);
  delete node;
  return true;
}

}  // namespace portwise
