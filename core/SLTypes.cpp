#include "core/SLTypes.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include <cxxabi.h>

namespace portwise {

std::string TObject::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                   std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
  // Keep the last component of a qualified name; template arguments stay as they are.
  const std::size_t args = name.find('<');
  const std::size_t colon = name.rfind("::", args);
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

ESLException::ESLException(const std::string& AErrorText, std::int32_t AErrorCode)
    : EPortwiseError(FormatMessage(AErrorText, AErrorCode)), FErrorText(AErrorText), FErrorCode(AErrorCode) {}

std::string ESLException::FormatMessage(const std::string& AErrorText, std::int32_t AErrorCode) {
  const auto code = static_cast<std::uint32_t>(AErrorCode);
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, " - %lu - %lX", static_cast<unsigned long>(code),
                static_cast<unsigned long>(code));
  return AErrorText + numbers;
}

void SLReportError(TObject* ASender, const TSLErrorEvent& AOnError, const std::string& AErrorText,
                   std::int32_t AErrorCode) {
  bool handled = false;
  if (AOnError) AOnError(ASender, AErrorText, AErrorCode, handled);
  if (!handled) throw ESLException(AErrorText, AErrorCode);
}

void SLReportWarning(TObject* ASender, const TSLWarningEvent& AOnWarning, const std::string& AErrorText,
                     std::int32_t AErrorCode) {
  if (AOnWarning) AOnWarning(ASender, AErrorText, AErrorCode);
}

}  // namespace portwise
