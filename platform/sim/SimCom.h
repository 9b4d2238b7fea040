#pragma once
// The simulated COM services and registry. A test registers the classes its world has (simulated
// ASIO drivers, DirectShow system objects) with a factory each, fills the registry, and can make
// any class fail to create; the simulation keeps count of apartments and task-memory blocks so a
// test can see that every one was given back.
#include <cstddef>
#include <functional>
#include <map>
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

class TSimCom final : public ICom {
 public:
  // --- scripting ---
  void AddClass(const CLSID& clsid, TSimClassFactory factory);
  void RemoveClass(const CLSID& clsid);
  // CoCreateInstance of this class fails with hr (the factory is not called).
  void FailCreate(const CLSID& clsid, HRESULT hr);

  // --- reading back ---
  int ApartmentDepth(std::thread::id thread);  // CoInitialize calls not yet balanced
  int OpenApartments();                        // over all threads
  std::size_t OutstandingTaskMem();            // CoTaskMemAlloc blocks not yet freed
  std::vector<CLSID> CreateCalls();            // class ids asked for, in order

  // --- ICom ---
  HRESULT CoInitialize() override;
  void CoUninitialize() override;
  HRESULT CLSIDFromString(const std::string& text, CLSID* clsid) override;
  HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) override;
  void* CoTaskMemAlloc(std::size_t bytes) override;
  void CoTaskMemFree(void* block) override;

 private:
  struct TLess {
    bool operator()(const GUID& a, const GUID& b) const;
  };
  std::mutex FMutex;
  std::map<CLSID, TSimClassFactory, TLess> FClasses;
  std::map<CLSID, HRESULT, TLess> FFailures;
  std::map<std::thread::id, int> FApartments;
  std::set<void*> FTaskMem;
  std::vector<CLSID> FCreateCalls;
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
