#include "platform/DShow.h"

#include <cstdint>

namespace portwise::platform {

static_assert(sizeof(OLECHAR) == 2, "OLE strings are UTF-16");
static_assert(sizeof(WAVEFORMATEX) == 18);

TOleString ToOle(const std::string& utf8) {
  TOleString out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t cp = 0xFFFD;
    const unsigned char c = s[i];
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > n) {
      ++i;
    } else {
      std::uint32_t v = len == 1 ? c : c & (0x7F >> len);
      bool ok = true;
      for (std::size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        v = (v << 6) | (s[i + k] & 0x3F);
      }
      // Overlong forms and surrogates are ill-formed.
      static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && v >= kMin[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
        cp = v;
        i += len;
      } else {
        ++i;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<OLECHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<OLECHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<OLECHAR>(cp));
    }
  }
  return out;
}

std::string FromOle(const OLECHAR* text, std::size_t length) {
  std::string out;
  if (!text) return out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t cp = static_cast<std::uint16_t>(text[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length) {
      const std::uint32_t lo = static_cast<std::uint16_t>(text[i + 1]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string FromOle(const OLECHAR* text) {
  if (!text) return {};
  std::size_t n = 0;
  while (text[n]) ++n;
  return FromOle(text, n);
}

}  // namespace portwise::platform
