// COM's services and the registry as the ASIO driver list and the DirectShow code rely on them.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/ComServices.h"
#include "tests/win32/SeamWorld.h"

namespace portwise::test {
namespace {

// A class of this test, answering its own class id as an interface, as ASIO drivers do.
constexpr CLSID kTestClass = {0x5C1A3B8E, 0x2F47, 0x4D0A, {0x9E, 0x61, 0x0B, 0x7D, 0x42, 0xC3, 0x88, 0x15}};
constexpr CLSID kUnregistered = {0x0D2E9F44, 0x7B13, 0x4C55, {0xA1, 0x08, 0x6E, 0x3F, 0x90, 0x2B, 0x4D, 0x77}};

class TTestObject final : public IUnknown {
 public:
  virtual ~TTestObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kTestClass)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++Refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --Refs; }  // lives on the test's stack
  std::atomic<ULONG> Refs{1};
};

class ComContract : public TSeamTest {
 protected:
  platform::ICom& Com() { return P().Com(); }
  platform::IRegistry& Reg() { return P().Registry(); }
  // A key of this test only, removed again.
  const std::string Root = "Software\\PortwiseContract";
  void TearDown() override {
    World().DeleteRegTree(Root);
    TSeamTest::TearDown();
  }
};

TEST_P(ComContract, ClassIdStringsOfTheBracedFormOnlyAreAccepted) {
  CLSID id{};
  ASSERT_EQ(Com().CLSIDFromString("{5C1A3B8E-2F47-4D0A-9E61-0B7D42C38815}", &id), S_OK);
  EXPECT_TRUE(IsEqualGUID(id, kTestClass));
  ASSERT_EQ(Com().CLSIDFromString("{5c1a3b8e-2f47-4d0a-9e61-0b7d42c38815}", &id), S_OK);
  EXPECT_EQ(platform::GuidToString(id), "{5C1A3B8E-2F47-4D0A-9E61-0B7D42C38815}");
  for (const char* bad : {"", "5C1A3B8E-2F47-4D0A-9E61-0B7D42C38815", "{5C1A3B8E-2F47-4D0A-9E61-0B7D42C3881}",
                          "{5C1A3B8E-2F47-4D0A-9E61-0B7D42C38815", "{5C1A3B8E+2F47-4D0A-9E61-0B7D42C38815}",
                          "{ZC1A3B8E-2F47-4D0A-9E61-0B7D42C38815}", "Portwise.NoSuchClass"}) {
    EXPECT_EQ(Com().CLSIDFromString(bad, &id), CO_E_CLASSSTRING) << bad;
  }
}

TEST_P(ComContract, CreatingAClassGivesTheObjectForItsOwnClassIdOrNothing) {
  ASSERT_TRUE(SUCCEEDED(Com().CoInitialize()));
  TTestObject object;
  World().AddClass(kTestClass, &object);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Com().CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, kUnregistered, &out),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);

  ASSERT_EQ(Com().CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, kTestClass, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(&object));
  EXPECT_EQ(object.Refs, 2u);
  static_cast<IUnknown*>(out)->Release();

  World().RemoveClasses();
  Com().CoUninitialize();
}

TEST_P(ComContract, CreatingOnAThreadOutsideCOMFails) {
  HRESULT hr = S_OK;
  void* out = reinterpret_cast<void*>(1);
  std::thread([&] {
    hr = Com().CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out);
  }).join();
  EXPECT_EQ(hr, CO_E_NOTINITIALIZED);
  EXPECT_EQ(out, nullptr);
}

TEST_P(ComContract, InitialisingTwiceOnOneThreadSaysSoAndBalances) {
  std::thread([&] {
    EXPECT_EQ(Com().CoInitialize(), S_OK);
    EXPECT_EQ(Com().CoInitialize(), S_FALSE);
    Com().CoUninitialize();
    Com().CoUninitialize();
  }).join();
}

TEST_P(ComContract, SubkeysAreAppendedAlphabeticallyAndAMissingKeyAddsNothing) {
  std::vector<std::string> names{"kept"};
  EXPECT_FALSE(Reg().EnumSubKeys(Root + "\\Missing", names));
  EXPECT_EQ(names, std::vector<std::string>{"kept"});

  World().SetRegString(Root + "\\Drivers\\beta", "clsid", "x");
  World().SetRegString(Root + "\\Drivers\\Alpha", "clsid", "x");
  World().SetRegString(Root + "\\Drivers\\Gamma é", "other", "x");
  World().SetRegString(Root + "\\Drivers\\Alpha\\Nested", "clsid", "x");
  ASSERT_TRUE(Reg().EnumSubKeys(Root + "\\Drivers", names));
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "Alpha", "beta", "Gamma é"}));
}

TEST_P(ComContract, StringValuesAreFoundWhateverTheCaseOfTheirNameAndOnlyStringsAreRead) {
  World().SetRegString(Root + "\\Driver", "CLSID", "{5C1A3B8E-2F47-4D0A-9E61-0B7D42C38815}");
  World().SetRegDword(Root + "\\Driver", "Number", 7);
  std::string value = "unchanged";
  ASSERT_TRUE(Reg().ReadString(Root + "\\Driver", "clsid", value));
  EXPECT_EQ(value, "{5C1A3B8E-2F47-4D0A-9E61-0B7D42C38815}");
  EXPECT_TRUE(Reg().ReadString(Root + "\\driver", "Clsid", value));
  value = "unchanged";
  EXPECT_FALSE(Reg().ReadString(Root + "\\Driver", "Number", value));
  EXPECT_FALSE(Reg().ReadString(Root + "\\Driver", "Missing", value));
  EXPECT_FALSE(Reg().ReadString(Root + "\\Nowhere", "clsid", value));
  EXPECT_EQ(value, "unchanged");
}

PORTWISE_BOTH_WORLDS(ComContract);

}  // namespace
}  // namespace portwise::test
