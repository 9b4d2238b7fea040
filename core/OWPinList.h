#pragma once
// An ordered list of pins that does not own them: a component publishes the pins its
// sub-objects create (one per channel, say) in one place. It shares its owner's lock.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/LPComponent.h"
#include "core/OWPins.h"

namespace portwise {

template <class TPin>
class TOWPinListOf {
 public:
  explicit TOWPinListOf(IOWLock* AOwnerLock) : FLock(TLPLock::CreateCopy(AOwnerLock, {})) {}
  TOWPinListOf(const TOWPinListOf&) = delete;
  TOWPinListOf& operator=(const TOWPinListOf&) = delete;

  void Add(TPin* APin) {
    TOWLockSectionRef section = FLock->WriteLock();
    FPins.push_back(APin);
  }
  void Remove(TPin* APin) {
    TOWLockSectionRef section = FLock->WriteLock();
    FPins.erase(std::remove(FPins.begin(), FPins.end(), APin), FPins.end());
  }
  std::int32_t GetCount() const {
    TOWLockSectionRef section = FLock->ReadLock();
    return static_cast<std::int32_t>(FPins.size());
  }
  // Raises EListError "Indice de liste hors limites (%d)" outside 0 .. count - 1.
  TPin* GetItem(std::int32_t AIndex) const {
    TOWLockSectionRef section = FLock->ReadLock();
    if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= FPins.size())
      throw EListError("Indice de liste hors limites (" + std::to_string(AIndex) + ")");
    return FPins[static_cast<std::size_t>(AIndex)];
  }
  std::int32_t IndexOf(const TPin* APin) const {
    TOWLockSectionRef section = FLock->ReadLock();
    auto it = std::find(FPins.begin(), FPins.end(), APin);
    return it == FPins.end() ? -1 : static_cast<std::int32_t>(it - FPins.begin());
  }

 private:
  TRefPtr<TLPLock> FLock;
  std::vector<TPin*> FPins;
};

}  // namespace portwise
