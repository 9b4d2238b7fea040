#include "platform/win32/Win32Com.h"

#include "platform/win32/Win32Internal.h"

#include <oleauto.h>

#include <climits>

namespace portwise::platform::win32 {

HRESULT TWin32Com::CoInitialize() { return ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

void TWin32Com::CoUninitialize() { ::CoUninitialize(); }

HRESULT TWin32Com::CLSIDFromString(const std::string& text, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  // Only the braced form: CLSIDFromString would also look a ProgID up in the registry.
  GUID g{};
  if (!GuidFromString(text, g)) {
    *clsid = GUID{};
    return CO_E_CLASSSTRING;
  }
  std::wstring wide = ToWide(text);
  return ::CLSIDFromString(wide.c_str(), clsid);
}

HRESULT TWin32Com::CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  HRESULT hr = ::CoCreateInstance(clsid, outer, context, iid, object);
  // Some servers fail and still write the out pointer: what they wrote is not an object of ours.
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

void* TWin32Com::CoTaskMemAlloc(std::size_t bytes) { return ::CoTaskMemAlloc(bytes); }

void TWin32Com::CoTaskMemFree(void* block) { ::CoTaskMemFree(block); }

HRESULT TWin32Com::CreateBindCtx(IBindCtx** context) {
  if (!context) return E_POINTER;
  *context = nullptr;
  return ::CreateBindCtx(0, context);
}

HRESULT TWin32Com::MkParseDisplayName(IBindCtx* context, const std::string& displayName, IMoniker** moniker) {
  if (!moniker) return E_POINTER;
  *moniker = nullptr;
  std::wstring wide = ToWide(displayName);
  ULONG eaten = 0;
  HRESULT hr = ::MkParseDisplayName(context, wide.c_str(), &eaten, moniker);
  if (FAILED(hr)) *moniker = nullptr;
  return hr;
}

HRESULT TWin32Com::VariantClear(tagVARIANT* value) { return ::VariantClear(value); }

HRESULT TWin32Com::RegisterRunningObject(IUnknown* object, const std::string& itemName, DWORD* cookie) {
  if (!object || !cookie) return E_POINTER;
  IRunningObjectTable* table = nullptr;
  HRESULT hr = ::GetRunningObjectTable(0, &table);
  if (FAILED(hr)) return hr;
  IMoniker* name = nullptr;
  hr = ::CreateItemMoniker(L"!", ToWide(itemName).c_str(), &name);
  if (SUCCEEDED(hr)) {
    hr = table->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, object, name, cookie);
    name->Release();
  }
  table->Release();
  return hr;
}

HRESULT TWin32Com::RevokeRunningObject(DWORD cookie) {
  IRunningObjectTable* table = nullptr;
  HRESULT hr = ::GetRunningObjectTable(0, &table);
  if (FAILED(hr)) return hr;
  hr = table->Revoke(cookie);
  table->Release();
  return hr;
}

DWORD TWin32Com::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

TClockSemaphore TWin32Com::CreateClockSemaphore() {
  return reinterpret_cast<TClockSemaphore>(CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr));
}

bool TWin32Com::WaitClockSemaphore(TClockSemaphore semaphore, std::uint32_t timeoutMs) {
  return semaphore && WaitForSingleObject(reinterpret_cast<HANDLE>(semaphore), timeoutMs) == WAIT_OBJECT_0;
}

void TWin32Com::ReleaseClockSemaphore(TClockSemaphore semaphore) {
  if (semaphore) ReleaseSemaphore(reinterpret_cast<HANDLE>(semaphore), 1, nullptr);
}

void TWin32Com::CloseClockSemaphore(TClockSemaphore semaphore) {
  if (semaphore) CloseHandle(reinterpret_cast<HANDLE>(semaphore));
}

namespace {

class TKey {
 public:
  explicit TKey(const std::string& path) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ToWide(path).c_str(), 0, KEY_READ, &FKey) != ERROR_SUCCESS) FKey = nullptr;
  }
  ~TKey() {
    if (FKey) RegCloseKey(FKey);
  }
  TKey(const TKey&) = delete;
  TKey& operator=(const TKey&) = delete;
  HKEY Get() const { return FKey; }

 private:
  HKEY FKey = nullptr;
};

}  // namespace

bool TWin32Registry::EnumSubKeys(const std::string& path, std::vector<std::string>& names) {
  TKey key(path);
  if (!key.Get()) return false;
  std::vector<std::string> found;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];  // key names are at most 255 characters
    DWORD len = 256;
    LONG rc = RegEnumKeyExW(key.Get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) break;
    found.push_back(ToUtf8(name, static_cast<int>(len)));
  }
  names.insert(names.end(), found.begin(), found.end());
  return true;
}

bool TWin32Registry::ReadString(const std::string& path, const std::string& valueName, std::string& value) {
  TKey key(path);
  if (!key.Get()) return false;
  const std::wstring wname = ToWide(valueName);
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key.Get(), wname.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::wstring buf(bytes / sizeof(wchar_t) + 1, L'\0');
  DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key.Get(), wname.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) !=
      ERROR_SUCCESS)
    return false;
  // The stored text may or may not end in a NUL: keep what precedes the first one.
  buf.resize(got / sizeof(wchar_t));
  const std::size_t nul = buf.find(L'\0');
  if (nul != std::wstring::npos) buf.resize(nul);
  value = ToUtf8(buf);
  return true;
}

}  // namespace portwise::platform::win32
