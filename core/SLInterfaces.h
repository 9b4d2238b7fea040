#pragma once
// Identifiers and the reference-counting root of the stream core's interfaces (buffers,
// operations). Objects are held through TRefPtr; the last reference frees the object.
#include <atomic>
#include <cstdint>

#include "core/ALAudioFormat.h"
#include "platform/RefPtr.h"

namespace portwise {

namespace detail {
consteval std::uint64_t GuidHex(const char* text, int from, int count) {
  std::uint64_t v = 0;
  for (int i = from; i < from + count; ++i) {
    char c = text[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) throw "not a hexadecimal digit";
    v = v * 16 + static_cast<std::uint64_t>(d);
  }
  return v;
}
}  // namespace detail

// An identifier from its braced spelling {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, at compile time;
// an ill-formed text does not compile.
consteval TALGuid SLGuid(const char (&text)[39]) {
  if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' || text[37] != '}')
    throw "not a braced identifier";
  TALGuid g{};
  g.Data1 = static_cast<std::uint32_t>(detail::GuidHex(text, 1, 8));
  g.Data2 = static_cast<std::uint16_t>(detail::GuidHex(text, 10, 4));
  g.Data3 = static_cast<std::uint16_t>(detail::GuidHex(text, 15, 4));
  g.Data4[0] = static_cast<std::uint8_t>(detail::GuidHex(text, 20, 2));
  g.Data4[1] = static_cast<std::uint8_t>(detail::GuidHex(text, 22, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<std::uint8_t>(detail::GuidHex(text, 25 + 2 * i, 2));
  return g;
}

// Root of the reference-counted interfaces of the stream core.
class ISLUnknown {
 public:
  virtual void AddRef() noexcept = 0;
  virtual void Release() noexcept = 0;

 protected:
  virtual ~ISLUnknown() = default;
};

// The reference count of an implementation; Release frees the object at 0. A class that
// implements several interfaces overrides AddRef/Release once, forwarding here.
class TSLRefCount {
 public:
  void Increment() noexcept { FCount.fetch_add(1, std::memory_order_relaxed); }
  // True when this was the last reference.
  bool Decrement() noexcept { return FCount.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  std::int32_t Value() const noexcept { return FCount.load(std::memory_order_acquire); }

 private:
  std::atomic<std::int32_t> FCount{0};
};

}  // namespace portwise
