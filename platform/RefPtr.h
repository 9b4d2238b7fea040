#pragma once
// One intrusive smart pointer for every reference-counted object (our own interfaces and COM
// interfaces alike). Nobody else calls AddRef/Release.
#include <cstddef>
#include <utility>

namespace portwise {

template <class T>
class TRefPtr {
 public:
  TRefPtr() noexcept = default;
  TRefPtr(std::nullptr_t) noexcept {}
  // Takes a new reference.
  TRefPtr(T* p) noexcept : FPtr(p) { if (FPtr) FPtr->AddRef(); }
  TRefPtr(const TRefPtr& o) noexcept : TRefPtr(o.FPtr) {}
  TRefPtr(TRefPtr&& o) noexcept : FPtr(std::exchange(o.FPtr, nullptr)) {}
  template <class U>
  TRefPtr(const TRefPtr<U>& o) noexcept : TRefPtr(static_cast<T*>(o.Get())) {}
  ~TRefPtr() { Reset(); }

  TRefPtr& operator=(TRefPtr o) noexcept { std::swap(FPtr, o.FPtr); return *this; }

  // Adopts a reference that the caller already owns (a COM out-parameter, a fresh object).
  static TRefPtr Adopt(T* p) noexcept { TRefPtr r; r.FPtr = p; return r; }
  // For COM out-parameters: releases the current reference and exposes the slot.
  T** Receive() noexcept { Reset(); return &FPtr; }
  // Hands the reference over to the caller.
  T* Detach() noexcept { return std::exchange(FPtr, nullptr); }

  void Reset() noexcept {
    if (T* p = std::exchange(FPtr, nullptr)) p->Release();
  }
  T* Get() const noexcept { return FPtr; }
  T* operator->() const noexcept { return FPtr; }
  T& operator*() const noexcept { return *FPtr; }
  explicit operator bool() const noexcept { return FPtr != nullptr; }
  friend bool operator==(const TRefPtr& a, const TRefPtr& b) noexcept { return a.FPtr == b.FPtr; }
  friend bool operator==(const TRefPtr& a, std::nullptr_t) noexcept { return a.FPtr == nullptr; }

 private:
  T* FPtr = nullptr;
};

}  // namespace portwise
