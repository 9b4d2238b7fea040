#pragma once
// Types shared by every component: the root object class, the error and warning events and the
// project's exceptions.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace portwise {

// Root of the component classes; senders of events are passed as TObject*.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  // The class name without namespace ("TALAudioFormat"); used for thread and display names.
  std::string ClassName() const;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Error report of a component. Handled comes in false; a handler that sets it to true keeps the
// component from raising ESLException.
using TSLErrorEvent =
    std::function<void(TObject* Sender, const std::string& ErrorText, std::int32_t ErrorCode, bool& Handled)>;
using TSLWarningEvent =
    std::function<void(TObject* Sender, const std::string& ErrorText, std::int32_t ErrorCode)>;

// Base of every exception the project raises.
class EPortwiseError : public std::runtime_error {
 public:
  explicit EPortwiseError(const std::string& AMessage) : std::runtime_error(AMessage) {}
};

// A component's reported failure. Message: "<text> - <code unsigned> - <code upper-case hex>".
class ESLException : public EPortwiseError {
 public:
  ESLException(const std::string& AErrorText, std::int32_t AErrorCode);

  const std::string& ErrorText() const noexcept { return FErrorText; }
  std::int32_t ErrorCode() const noexcept { return FErrorCode; }

  static std::string FormatMessage(const std::string& AErrorText, std::int32_t AErrorCode);

 private:
  std::string FErrorText;
  std::int32_t FErrorCode;
};

// An index outside a list.
class EListError : public EPortwiseError {
 public:
  explicit EListError(const std::string& AMessage) : EPortwiseError(AMessage) {}
};

// Reports an error the way every component does: OnError (when set) with Handled = false, then
// ESLException unless the handler set Handled. Returns only when the error was handled.
void SLReportError(TObject* ASender, const TSLErrorEvent& AOnError, const std::string& AErrorText,
                   std::int32_t AErrorCode);

// A warning only reaches OnWarning (when set).
void SLReportWarning(TObject* ASender, const TSLWarningEvent& AOnWarning, const std::string& AErrorText,
                     std::int32_t AErrorCode);

}  // namespace portwise
