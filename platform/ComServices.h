#pragma once
// Seam: COM's services and the read-only registry. Only the components that own such a service
// call it: the ASIO driver selector the registry and driver creation, the DirectShow code the
// system objects.
//
// Contract (both implementations):
// - CoInitialize enters a single-threaded apartment for the calling thread (S_OK, or S_FALSE when
//   it already was); every successful call is balanced by one CoUninitialize on the same thread.
// - CLSIDFromString takes the braced form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"; anything else
//   fails with CO_E_CLASSSTRING (Windows also resolves ProgIDs: nothing here relies on it).
// - CoCreateInstance on a thread that has not entered COM fails with CO_E_NOTINITIALIZED; an
//   unregistered class with REGDB_E_CLASSNOTREG. On any failure *object is null.
// - The registry is HKEY_LOCAL_MACHINE, read with KEY_READ; paths have no leading backslash and use
//   backslashes between key names. A program sees its own registry view (a 32-bit program the
//   32-bit one). Key and value names compare case-insensitively. EnumSubKeys appends the subkey
//   names in the registry's enumeration order (alphabetical on Windows and Wine) and fails, adding
//   nothing, when the key cannot be opened; nothing is ever created.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/Com.h"

struct IMoniker;
struct IBindCtx;
struct tagVARIANT;

namespace portwise::platform {

using TClockSemaphore = std::uintptr_t;  // 0 is "none"

class ICom {
 public:
  virtual ~ICom() = default;
  virtual HRESULT CoInitialize() = 0;
  virtual void CoUninitialize() = 0;
  virtual HRESULT CLSIDFromString(const std::string& text, CLSID* clsid) = 0;
  virtual HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) = 0;
  virtual void* CoTaskMemAlloc(std::size_t bytes) = 0;
  virtual void CoTaskMemFree(void* block) = 0;

  virtual HRESULT CreateBindCtx(IBindCtx** context) = 0;
  virtual HRESULT MkParseDisplayName(IBindCtx* context, const std::string& displayName, IMoniker** moniker) = 0;
  virtual HRESULT VariantClear(tagVARIANT* value) = 0;

  virtual HRESULT RegisterRunningObject(IUnknown* object, const std::string& itemName, DWORD* cookie) = 0;
  virtual HRESULT RevokeRunningObject(DWORD cookie) = 0;
  virtual DWORD GetCurrentProcessId() = 0;

  virtual TClockSemaphore CreateClockSemaphore() = 0;
  virtual bool WaitClockSemaphore(TClockSemaphore semaphore, std::uint32_t timeoutMs) = 0;
  virtual void ReleaseClockSemaphore(TClockSemaphore semaphore) = 0;
  virtual void CloseClockSemaphore(TClockSemaphore semaphore) = 0;
};

class IRegistry {
 public:
  virtual ~IRegistry() = default;
  virtual bool EnumSubKeys(const std::string& path, std::vector<std::string>& names) = 0;
  // False when the key or the value is missing or the value is not a string.
  virtual bool ReadString(const std::string& path, const std::string& valueName, std::string& value) = 0;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as Windows writes it.
std::string GuidToString(const GUID& guid);
// The braced form only; false on anything else.
bool GuidFromString(const std::string& text, GUID& guid);

}  // namespace portwise::platform
