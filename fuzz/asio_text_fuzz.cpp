// Texts a driver writes into fixed buffers (names of 32 bytes, messages of 124) come out as valid
// UTF-8, end at the first NUL, never read past the buffer, and keep every byte before it; a
// trimmed text loses only its trailing line ends and blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "asio/ASIOInterface.h"

namespace {

void Check(bool ACondition) {
  if (!ACondition) std::abort();
}

// Well-formed UTF-8 (no overlongs, surrogates or code points beyond U+10FFFF).
bool ValidUtf8(const std::string& AText) {
  const auto* p = reinterpret_cast<const unsigned char*>(AText.data());
  const auto* end = p + AText.size();
  while (p < end) {
    const unsigned char c = *p;
    std::size_t n = 0;
    std::uint32_t cp = 0, min = 0;
    if (c < 0x80) { ++p; continue; }
    if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; min = 0x10000; }
    else return false;
    if (static_cast<std::size_t>(end - p) < n + 1) return false;
    for (std::size_t i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += n + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  // Exactly the driver's bytes on the heap: a read past them is caught.
  auto bytes = std::make_unique<char[]>(ASize ? ASize : 1);
  if (ASize) std::memcpy(bytes.get(), AData, ASize);
  const std::string text = portwise::ASIODriverText(bytes.get(), ASize);
  Check(ValidUtf8(text));
  const std::size_t used = ASize ? strnlen(bytes.get(), ASize) : 0;
  // Each byte becomes one character: ASCII stays one byte, the others take two or three.
  Check(text.size() >= used && text.size() <= 3 * used);
  for (std::size_t i = 0, j = 0; i < used; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      Check(j < text.size() && text[j] == static_cast<char>(c));
      ++j;
    } else {
      Check(j < text.size() && (static_cast<unsigned char>(text[j]) & 0xC0) == 0xC0);
      ++j;
      while (j < text.size() && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) ++j;
    }
  }
  const std::string trimmed = portwise::ASIOTrimText(text);
  Check(text.compare(0, trimmed.size(), trimmed) == 0);
  for (std::size_t i = trimmed.size(); i < text.size(); ++i) Check(std::strchr(" \t\r\n", text[i]) != nullptr);
  Check(trimmed.empty() || std::strchr(" \t\r\n", trimmed.back()) == nullptr);
  return 0;
}
