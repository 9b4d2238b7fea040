#include "platform/sim/SimCom.h"

#include "platform/DShow.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace portwise::platform::sim {

// ---------------------------------------------------------------- COM

bool TSimCom::TLess::operator()(const GUID& a, const GUID& b) const {
  return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

void TSimCom::AddClass(const CLSID& clsid, TSimClassFactory factory) {
  std::lock_guard g(FMutex);
  FClasses[clsid] = std::move(factory);
}

void TSimCom::RemoveClass(const CLSID& clsid) {
  std::lock_guard g(FMutex);
  FClasses.erase(clsid);
}

TSimCom::~TSimCom() {
  for (void* object : FLeftObjects) static_cast<IUnknown*>(object)->Release();
}

void TSimCom::FailCreateLeavingObject(const CLSID& clsid, HRESULT hr) {
  std::lock_guard g(FMutex);
  if (hr == S_OK) {
    FLeavingFailures.erase(clsid);
  } else {
    FLeavingFailures[clsid] = hr;
  }
}

void TSimCom::FailCreate(const CLSID& clsid, HRESULT hr) {
  std::lock_guard g(FMutex);
  if (hr == S_OK) {
    FFailures.erase(clsid);
  } else {
    FFailures[clsid] = hr;
  }
}

int TSimCom::ApartmentDepth(std::thread::id thread) {
  std::lock_guard g(FMutex);
  auto it = FApartments.find(thread);
  return it == FApartments.end() ? 0 : it->second;
}

int TSimCom::OpenApartments() {
  std::lock_guard g(FMutex);
  int n = 0;
  for (auto& [id, depth] : FApartments) n += depth;
  return n;
}

std::size_t TSimCom::OutstandingTaskMem() {
  std::lock_guard g(FMutex);
  return FTaskMem.size();
}

std::vector<CLSID> TSimCom::CreateCalls() {
  std::lock_guard g(FMutex);
  return FCreateCalls;
}

void TSimCom::ForgetCreateCalls() {
  std::lock_guard g(FMutex);
  std::vector<CLSID>().swap(FCreateCalls);
}

HRESULT TSimCom::CoInitialize() {
  std::lock_guard g(FMutex);
  return FApartments[std::this_thread::get_id()]++ == 0 ? S_OK : S_FALSE;
}

void TSimCom::CoUninitialize() {
  std::lock_guard g(FMutex);
  auto it = FApartments.find(std::this_thread::get_id());
  if (it == FApartments.end()) return;  // unbalanced: ignored, as Windows does
  if (--it->second == 0) FApartments.erase(it);
}

HRESULT TSimCom::CLSIDFromString(const std::string& text, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  GUID g{};
  if (!GuidFromString(text, g)) {
    *clsid = GUID{};
    return CO_E_CLASSSTRING;
  }
  *clsid = g;
  return S_OK;
}

HRESULT TSimCom::CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  TSimClassFactory factory;
  HRESULT leaving = S_OK;
  {
    std::lock_guard g(FMutex);
    FCreateCalls.push_back(clsid);
    auto ap = FApartments.find(std::this_thread::get_id());
    if (ap == FApartments.end() || ap->second == 0) return CO_E_NOTINITIALIZED;
    if (auto f = FFailures.find(clsid); f != FFailures.end()) return f->second;
    auto it = FClasses.find(clsid);
    if (it == FClasses.end() || !(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    if (outer) return CLASS_E_NOAGGREGATION;
    factory = it->second;
    if (auto f = FLeavingFailures.find(clsid); f != FLeavingFailures.end()) leaving = f->second;
  }
  // Outside the lock: a factory may create further objects.
  HRESULT hr = factory(iid, object);
  if (FAILED(hr)) *object = nullptr;
  if (SUCCEEDED(hr) && FAILED(leaving)) {
    std::lock_guard g(FMutex);
    FLeftObjects.push_back(*object);
    return leaving;
  }
  return hr;
}

void* TSimCom::CoTaskMemAlloc(std::size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (p) {
    std::lock_guard g(FMutex);
    FTaskMem.insert(p);
  }
  return p;
}

void TSimCom::CoTaskMemFree(void* block) {
  if (!block) return;
  {
    std::lock_guard g(FMutex);
    if (FTaskMem.erase(block) == 0) std::abort();  // not ours, or freed twice
  }
  std::free(block);
}

void TSimCom::SetDisplayNameParser(TSimDisplayNameParser parser) {
  std::lock_guard g(FMutex);
  FParser = std::move(parser);
}

void* TSimCom::SysAllocString(const std::string& utf8) {
  const TOleString text = ToOle(utf8);
  auto* p = static_cast<OLECHAR*>(std::malloc((text.size() + 1) * sizeof(OLECHAR)));
  if (!p) return nullptr;
  std::memcpy(p, text.data(), text.size() * sizeof(OLECHAR));
  p[text.size()] = 0;
  std::lock_guard g(FMutex);
  FStrings.insert(p);
  return p;
}

void TSimCom::FailNextRegistration(HRESULT hr) {
  std::lock_guard g(FMutex);
  FFailRegistration = hr;
}

std::size_t TSimCom::OutstandingStrings() {
  std::lock_guard g(FMutex);
  return FStrings.size();
}

std::vector<std::string> TSimCom::RunningObjects() {
  std::lock_guard g(FMutex);
  std::vector<std::string> out;
  for (auto& [cookie, name] : FRunning) out.push_back(name);
  return out;
}

std::size_t TSimCom::Registrations() {
  std::lock_guard g(FMutex);
  return FRegistrations;
}

namespace {

// A bind context: this simulation binds nothing through it.
class TSimBindCtx final : public IBindCtx {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IBindCtx) {
      *ppv = static_cast<IBindCtx*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++FRef; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --FRef;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR, IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR, IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumObjectParam(IEnumString**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR) override { return E_NOTIMPL; }

 private:
  ~TSimBindCtx() = default;
  std::atomic<ULONG> FRef{1};
};

}  // namespace

HRESULT TSimCom::CreateBindCtx(IBindCtx** context) {
  if (!context) return E_POINTER;
  *context = new TSimBindCtx();
  return S_OK;
}

HRESULT TSimCom::MkParseDisplayName(IBindCtx* context, const std::string& displayName, IMoniker** moniker) {
  if (!moniker) return E_POINTER;
  *moniker = nullptr;
  if (!context) return E_INVALIDARG;
  TSimDisplayNameParser parser;
  {
    std::lock_guard g(FMutex);
    parser = FParser;
  }
  if (!parser) return MK_E_SYNTAX;
  HRESULT hr = parser(displayName, moniker);
  if (FAILED(hr)) *moniker = nullptr;
  return hr;
}

HRESULT TSimCom::VariantClear(tagVARIANT* value) {
  if (!value) return E_INVALIDARG;
  if (value->vt == VT_BSTR && value->bstrVal) {
    {
      std::lock_guard g(FMutex);
      if (FStrings.erase(value->bstrVal) == 0) std::abort();  // not ours, or cleared twice
    }
    std::free(value->bstrVal);
  }
  value->vt = VT_EMPTY;
  return S_OK;
}

HRESULT TSimCom::RegisterRunningObject(IUnknown* object, const std::string& itemName, DWORD* cookie) {
  if (!object || !cookie) return E_POINTER;
  std::lock_guard g(FMutex);
  if (FFailRegistration != S_OK) return std::exchange(FFailRegistration, S_OK);
  *cookie = FNextCookie++;
  FRunning[*cookie] = itemName;
  ++FRegistrations;
  return S_OK;
}

HRESULT TSimCom::RevokeRunningObject(DWORD cookie) {
  std::lock_guard g(FMutex);
  return FRunning.erase(cookie) ? S_OK : E_INVALIDARG;
}

TClockSemaphore TSimCom::CreateClockSemaphore() {
  std::lock_guard g(FMutex);
  const TClockSemaphore h = FNextSemaphore++;
  FSemaphores[h] = std::make_shared<TSemaphore>();
  return h;
}

std::shared_ptr<TSimCom::TSemaphore> TSimCom::FindSemaphore(TClockSemaphore semaphore) {
  std::lock_guard g(FMutex);
  auto it = FSemaphores.find(semaphore);
  return it == FSemaphores.end() ? nullptr : it->second;
}

bool TSimCom::WaitClockSemaphore(TClockSemaphore semaphore, std::uint32_t timeoutMs) {
  std::shared_ptr<TSemaphore> s = FindSemaphore(semaphore);
  if (!s) return false;
  std::unique_lock lk(s->Mutex);
  if (!s->Changed.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return s->Count > 0; })) return false;
  --s->Count;
  return true;
}

void TSimCom::ReleaseClockSemaphore(TClockSemaphore semaphore) {
  std::shared_ptr<TSemaphore> s = FindSemaphore(semaphore);
  if (!s) return;
  {
    std::lock_guard lk(s->Mutex);
    ++s->Count;
  }
  s->Changed.notify_all();
}

void TSimCom::CloseClockSemaphore(TClockSemaphore semaphore) {
  std::lock_guard g(FMutex);
  FSemaphores.erase(semaphore);
}

std::size_t TSimCom::OpenClockSemaphores() {
  std::lock_guard g(FMutex);
  return FSemaphores.size();
}

long TSimCom::ClockSemaphoreCount(TClockSemaphore semaphore) {
  std::shared_ptr<TSemaphore> s = FindSemaphore(semaphore);
  if (!s) return -1;
  std::lock_guard lk(s->Mutex);
  return s->Count;
}

// ---------------------------------------------------------------- registry

bool TSimRegistry::TNoCase::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

TSimRegistry::TKey* TSimRegistry::Find(const std::string& path, bool bCreate) {
  TKey* key = &FRoot;
  std::size_t pos = 0;
  while (pos <= path.size() && !path.empty()) {
    std::size_t end = path.find('\\', pos);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(pos, end - pos);
    if (!part.empty()) {
      auto it = key->Subkeys.find(part);
      if (it == key->Subkeys.end()) {
        if (!bCreate) return nullptr;
        it = key->Subkeys.emplace(part, TKey{}).first;
        it->second.Name = part;
      }
      key = &it->second;
      if (key->bDenied && !bCreate) return nullptr;
    }
    pos = end + 1;
  }
  return key;
}

void TSimRegistry::AddKey(const std::string& path) {
  std::lock_guard g(FMutex);
  Find(path, true);
}

void TSimRegistry::SetString(const std::string& path, const std::string& valueName, const std::string& value) {
  std::lock_guard g(FMutex);
  Find(path, true)->Values[valueName] = TValue{true, value};
}

void TSimRegistry::SetDword(const std::string& path, const std::string& valueName, std::uint32_t value) {
  std::lock_guard g(FMutex);
  Find(path, true)->Values[valueName] = TValue{false, std::to_string(value)};
}

void TSimRegistry::DeleteKey(const std::string& path) {
  std::lock_guard g(FMutex);
  const std::size_t cut = path.rfind('\\');
  TKey* parent = cut == std::string::npos ? &FRoot : Find(path.substr(0, cut), false);
  if (parent) parent->Subkeys.erase(cut == std::string::npos ? path : path.substr(cut + 1));
}

void TSimRegistry::DenyKey(const std::string& path) {
  std::lock_guard g(FMutex);
  Find(path, true)->bDenied = true;
}

bool TSimRegistry::EnumSubKeys(const std::string& path, std::vector<std::string>& names) {
  std::lock_guard g(FMutex);
  TKey* key = Find(path, false);
  if (!key) return false;
  for (auto& [name, sub] : key->Subkeys) names.push_back(sub.Name);
  return true;
}

bool TSimRegistry::ReadString(const std::string& path, const std::string& valueName, std::string& value) {
  std::lock_guard g(FMutex);
  TKey* key = Find(path, false);
  if (!key) return false;
  auto it = key->Values.find(valueName);
  if (it == key->Values.end() || !it->second.bString) return false;
  value = it->second.Text;
  return true;
}

}  // namespace portwise::platform::sim
