#pragma once
// The simulated COM services and registry. A test registers the classes its world has (simulated
// ASIO drivers, DirectShow system objects) with a factory each, fills the registry, and can make
// any class fail to create; the simulation keeps count of apartments and task-memory blocks so a
// test can see that every one was given back.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ComServices.h"

namespace portwise::platform::sim {

// Creates one object of a class for the interface asked for: S_OK with *object set (one
// reference), or a failure with *object left null.
using TSimClassFactory = std::function<HRESULT(REFIID iid, void** object)>;
// Resolves a moniker display name: S_OK with *moniker set (one reference), or a failure.
using TSimDisplayNameParser = std::function<HRESULT(const std::string& displayName, IMoniker** moniker)>;

class TSimCom final : public ICom {
 public:
  TSimCom() = default;
  // Releases the objects misbehaving classes left behind (their own business, not the caller's).
  ~TSimCom() override;
  TSimCom(const TSimCom&) = delete;
  TSimCom& operator=(const TSimCom&) = delete;

  // --- scripting ---
  void AddClass(const CLSID& clsid, TSimClassFactory factory);
  void RemoveClass(const CLSID& clsid);
  // CoCreateInstance of this class fails with hr (the factory is not called); S_OK ends that.
  void FailCreate(const CLSID& clsid, HRESULT hr);
  // A misbehaving class: its factory makes the object, yet CoCreateInstance returns hr with
  // *object left set (the caller is not meant to own it). S_OK ends that.
  void FailCreateLeavingObject(const CLSID& clsid, HRESULT hr);
  // MkParseDisplayName asks this (the DirectShow simulation sets it); without one it fails with
  // MK_E_SYNTAX.
  void SetDisplayNameParser(TSimDisplayNameParser parser);
  // A BSTR (an OLECHAR*) that VariantClear frees, as a simulated property bag hands out; counted.
  void* SysAllocString(const std::string& utf8);
  // The next RegisterRunningObject fails with hr.
  void FailNextRegistration(HRESULT hr);

  // --- reading back ---
  int ApartmentDepth(std::thread::id thread);  // CoInitialize calls not yet balanced
  int OpenApartments();                        // over all threads
  std::size_t OutstandingTaskMem();            // CoTaskMemAlloc blocks not yet freed
  std::vector<CLSID> CreateCalls();            // class ids asked for, in order
  void ForgetCreateCalls();                    // for long runs
  std::size_t OutstandingStrings();            // BSTRs handed out and not yet cleared
  // The running object table: names registered and not revoked, in order.
  std::vector<std::string> RunningObjects();
  std::size_t Registrations();                 // RegisterRunningObject calls that succeeded
  std::size_t OpenClockSemaphores();
  long ClockSemaphoreCount(TClockSemaphore semaphore);

  // --- ICom ---
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
  DWORD GetCurrentProcessId() override { return 0x1234; }
  TClockSemaphore CreateClockSemaphore() override;
  bool WaitClockSemaphore(TClockSemaphore semaphore, std::uint32_t timeoutMs) override;
  void ReleaseClockSemaphore(TClockSemaphore semaphore) override;
  void CloseClockSemaphore(TClockSemaphore semaphore) override;

 private:
  struct TSemaphore {
    std::mutex Mutex;
    std::condition_variable Changed;
    long Count = 0;
  };
  std::shared_ptr<TSemaphore> FindSemaphore(TClockSemaphore semaphore);

  struct TLess {
    bool operator()(const GUID& a, const GUID& b) const;
  };
  std::mutex FMutex;
  std::map<CLSID, TSimClassFactory, TLess> FClasses;
  std::map<CLSID, HRESULT, TLess> FFailures;
  std::map<CLSID, HRESULT, TLess> FLeavingFailures;
  std::vector<void*> FLeftObjects;
  std::map<std::thread::id, int> FApartments;
  std::set<void*> FTaskMem;
  std::vector<CLSID> FCreateCalls;
  TSimDisplayNameParser FParser;
  std::set<void*> FStrings;
  std::map<DWORD, std::string> FRunning;
  DWORD FNextCookie = 1;
  std::size_t FRegistrations = 0;
  HRESULT FFailRegistration = S_OK;
  std::map<TClockSemaphore, std::shared_ptr<TSemaphore>> FSemaphores;
  TClockSemaphore FNextSemaphore = 0x5000;
};

// HKEY_LOCAL_MACHINE of the simulated machine. Names compare case-insensitively, keys enumerate
// alphabetically, as on Windows.
class TSimRegistry final : public IRegistry {
 public:
  // --- scripting (paths as in IRegistry: "Software\\ASIO\\name") ---
  void AddKey(const std::string& path);  // with its parents
  void SetString(const std::string& path, const std::string& valueName, const std::string& value);
  void SetDword(const std::string& path, const std::string& valueName, std::uint32_t value);  // not a string
  void DeleteKey(const std::string& path);  // with its subkeys
  // Opening this key (and so everything under it) fails.
  void DenyKey(const std::string& path);

  // --- IRegistry ---
  bool EnumSubKeys(const std::string& path, std::vector<std::string>& names) override;
  bool ReadString(const std::string& path, const std::string& valueName, std::string& value) override;

 private:
  struct TNoCase {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  struct TValue {
    bool bString = true;
    std::string Text;
  };
  struct TKey {
    std::string Name;  // as created
    std::map<std::string, TKey, TNoCase> Subkeys;
    std::map<std::string, TValue, TNoCase> Values;
    bool bDenied = false;
  };
  TKey* Find(const std::string& path, bool bCreate);

  std::mutex FMutex;
  TKey FRoot;
};

}  // namespace portwise::platform::sim
