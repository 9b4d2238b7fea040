#include "platform/ComServices.h"

#include <cctype>
#include <cstdio>

namespace portwise::platform {

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool GuidFromString(const std::string& text, GUID& guid) {
  // {8-4-4-4-12}
  static constexpr const char* kShape = "{........-....-....-....-............}";
  if (text.size() != 38) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char want = kShape[i];
    if (want == '.') {
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    } else if (text[i] != want) {
      return false;
    }
  }
  auto hex = [&](std::size_t pos, std::size_t len) {
    unsigned long long v = 0;
    for (std::size_t i = 0; i < len; ++i) {
      const char c = text[pos + i];
      v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                                      : std::toupper(c) - 'A' + 10);
    }
    return v;
  };
  GUID g{};
  g.Data1 = static_cast<std::uint32_t>(hex(1, 8));
  g.Data2 = static_cast<std::uint16_t>(hex(10, 4));
  g.Data3 = static_cast<std::uint16_t>(hex(15, 4));
  g.Data4[0] = static_cast<std::uint8_t>(hex(20, 2));
  g.Data4[1] = static_cast<std::uint8_t>(hex(22, 2));
  for (std::size_t i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<std::uint8_t>(hex(25 + 2 * i, 2));
  guid = g;
  return true;
}

}  // namespace portwise::platform
