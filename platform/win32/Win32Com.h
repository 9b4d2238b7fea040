#pragma once
// COM's services and HKEY_LOCAL_MACHINE, read only, on Windows.
#include "platform/ComServices.h"

namespace portwise::platform::win32 {

class TWin32Com final : public ICom {
 public:
  HRESULT CoInitialize() override;
  void CoUninitialize() override;
  HRESULT CLSIDFromString(const std::string& text, CLSID* clsid) override;
  HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) override;
  void* CoTaskMemAlloc(std::size_t bytes) override;
  void CoTaskMemFree(void* block) override;
  HRESULT CreateBindCtx(IBindCtx** context) override;
  HRESULT MkParseDisplayName(IBindCtx* context, const std::string& displayName, IMoniker** moniker) override;
  HRESULT VariantClear(tagVARIANT* value) override;
  HRESULT RegisterRunningObject(IUnknown* object, const std::string& itemName, DWORD* cookie) override;
  HRESULT RevokeRunningObject(DWORD cookie) override;
  DWORD GetCurrentProcessId() override;
  TClockSemaphore CreateClockSemaphore() override;
  bool WaitClockSemaphore(TClockSemaphore semaphore, std::uint32_t timeoutMs) override;
  void ReleaseClockSemaphore(TClockSemaphore semaphore) override;
  void CloseClockSemaphore(TClockSemaphore semaphore) override;
};

class TWin32Registry final : public IRegistry {
 public:
  bool EnumSubKeys(const std::string& path, std::vector<std::string>& names) override;
  bool ReadString(const std::string& path, const std::string& valueName, std::string& value) override;
};

}  // namespace portwise::platform::win32
