#include "core/LPComponent.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/core/HeapCount.h"

namespace portwise {
namespace {

// --- test classes -------------------------------------------------------------------------------

class TTestSettings : public TLPPersistentNotify {
 public:
  TTestSettings(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* ALock)
      : TLPPersistentNotify(AOwner, std::move(AOnChange), ALock) {}

  std::int32_t GetValue() const { return FLock->Getter(FValue); }
  void SetValue(std::int32_t AValue) { FLock->Setter(FValue, AValue); }
  std::string GetName() const { return FLock->Getter(FName); }
  void SetName(const std::string& AValue) { FLock->Setter(FName, AValue); }

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  std::int32_t FValue = 0;
  std::string FName;
};

const TLPPropertyList& TTestSettings::ClassProperties() {
  using C = TTestSettings;
  static const TLPPropertyList list(&TLPPersistentNotify::ClassProperties(),
                                    LPProperty<C>("Value", &C::GetValue, &C::SetValue),
                                    LPProperty<C>("Name", &C::GetName, &C::SetName));
  return list;
}

class TTestComponent : public TLPComponent {
 public:
  explicit TTestComponent(TComponent* AOwner)
      : TLPComponent(AOwner), FSettings(this, [this](TObject* ASender) {
          ++SettingsChanges;
          LastSettingsSender = ASender;
        }, FLock.Get()) {}

  std::int32_t GetCount() const { return FLock->Getter(FCount); }
  void SetCount(std::int32_t AValue) { FLock->SetterMinMax(FCount, AValue, 1, 32, [this] { ++CountUpdates; }); }
  std::int32_t GetLevel() const { return FLock->Getter(FLevel); }
  void SetLevel(std::int32_t AValue) { FLock->SetterMinExlude(FLevel, AValue, 0, 1); }
  std::string GetText() const { return FLock->Getter(FText); }
  void SetText(const std::string& AValue) { FLock->Setter(FText, AValue); }
  double GetRatio() const { return FLock->Getter(FRatio); }
  void SetRatio(double AValue) { FLock->SetterMax(FRatio, AValue, 1.0); }
  bool GetEnabled() const { return FLock->Getter(FEnabled); }
  void SetEnabled(bool AValue) { FLock->Setter(FEnabled, AValue); }
  const TTestSettings& GetSettings() const { return FSettings; }
  TTestSettings& GetSettings() { return FSettings; }
  void SetSettings(const TTestSettings& AValue) { FSettings.Assign(AValue); }
  int GetPropertyChanges() const { return PropertyChanges; }

  PORTWISE_PUBLISHED_PROPERTIES()

  int PropertyChanges = 0;
  int CountUpdates = 0;
  int SettingsChanges = 0;
  TObject* LastSettingsSender = nullptr;
  std::vector<bool> Inits;
  std::string TextAtInit;

 protected:
  void InitializeComponent(bool ACreatedAtRunTime) override {
    Inits.push_back(ACreatedAtRunTime);
    TextAtInit = FText;
  }
  void PropertyChanged() override { ++PropertyChanges; }

 private:
  std::int32_t FCount = 1;
  std::int32_t FLevel = 1;
  std::string FText;
  double FRatio = 0;
  bool FEnabled = false;
  TTestSettings FSettings;
};

const TLPPropertyList& TTestComponent::ClassProperties() {
  using C = TTestComponent;
  static const TLPPropertyList list(&TLPComponent::ClassProperties(),
                                    LPProperty<C>("Count", &C::GetCount, &C::SetCount),
                                    LPProperty<C>("Level", &C::GetLevel, &C::SetLevel),
                                    LPProperty<C>("Text", &C::GetText, &C::SetText),
                                    LPProperty<C>("Ratio", &C::GetRatio, &C::SetRatio),
                                    LPProperty<C>("Enabled", &C::GetEnabled, &C::SetEnabled),
                                    LPProperty<C>("Settings", &C::GetSettings, &C::SetSettings),
                                    LPProperty<C>("PropertyChanges", &C::GetPropertyChanges));
  return list;
}

// Shares "Text" (same type) and "Count" (another type) with TTestComponent.
class TOtherComponent : public TLPComponent {
 public:
  using TLPComponent::TLPComponent;
  std::string GetText() const { return FLock->Getter(FText); }
  void SetText(const std::string& AValue) { FLock->Setter(FText, AValue); }
  double GetCount() const { return FLock->Getter(FCount); }
  void SetCount(double AValue) { FLock->Setter(FCount, AValue); }
  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  std::string FText;
  double FCount = 0;
};

const TLPPropertyList& TOtherComponent::ClassProperties() {
  using C = TOtherComponent;
  static const TLPPropertyList list(&TLPComponent::ClassProperties(),
                                    LPProperty<C>("Text", &C::GetText, &C::SetText),
                                    LPProperty<C>("Count", &C::GetCount, &C::SetCount));
  return list;
}

class TPlain : public TPersistent {};

// --- setters ------------------------------------------------------------------------------------

struct TClampCase {
  const char* Family;
  std::int32_t Stored, Input, Expected;
  bool Changed;
};

class LPLockClamp : public ::testing::TestWithParam<TClampCase> {};

TEST_P(LPLockClamp, ClampsBeforeComparingAndReportsOnlyAnEffectiveChange) {
  const TClampCase& c = GetParam();
  int notifications = 0, updates = 0;
  TRefPtr<TLPLock> lock = TLPLock::Create([&] { ++notifications; });
  std::int32_t value = c.Stored;
  const TLPPropUpdateFunc update = [&] { ++updates; };
  const std::string family = c.Family;
  bool changed = false;
  if (family == "Min") changed = lock->SetterMin(value, c.Input, 1, update);
  if (family == "MinExlude") changed = lock->SetterMinExlude(value, c.Input, 0, 1, update);
  if (family == "Max") changed = lock->SetterMax(value, c.Input, 10, update);
  if (family == "MinMax") changed = lock->SetterMinMax(value, c.Input, 1, 32, update);
  EXPECT_EQ(value, c.Expected);
  EXPECT_EQ(changed, c.Changed);
  EXPECT_EQ(updates, c.Changed ? 1 : 0);
  EXPECT_EQ(notifications, c.Changed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Families, LPLockClamp,
    ::testing::Values(TClampCase{"Min", 5, 0, 1, true}, TClampCase{"Min", 5, 7, 7, true},
                      TClampCase{"Min", 1, -3, 1, false}, TClampCase{"MinExlude", 5, 0, 1, true},
                      TClampCase{"MinExlude", 5, -4, 1, true}, TClampCase{"MinExlude", 5, 2, 2, true},
                      TClampCase{"MinExlude", 1, 0, 1, false}, TClampCase{"Max", 5, 11, 10, true},
                      TClampCase{"Max", 5, 3, 3, true}, TClampCase{"Max", 10, 99, 10, false},
                      TClampCase{"MinMax", 5, 0, 1, true}, TClampCase{"MinMax", 5, 40, 32, true},
                      TClampCase{"MinMax", 5, 17, 17, true}, TClampCase{"MinMax", 32, 40, 32, false}));

TEST(LPLockSetter, ClampsFloatingPointAndUnsignedValuesLikeIntegers) {
  TRefPtr<TLPLock> lock = TLPLock::Create({});
  double ratio = 1;
  lock->SetterMinMax(ratio, 0.1, 0.5, 2.0);
  EXPECT_EQ(ratio, 0.5);
  lock->SetterMinMax(ratio, 3.0, 0.5, 2.0);
  EXPECT_EQ(ratio, 2.0);
  float gain = 1;
  lock->SetterMinExlude(gain, 0.0f, 0.0f, 0.25f);
  EXPECT_EQ(gain, 0.25f);
  std::uint16_t word = 9;
  lock->SetterMinMax(word, std::uint16_t{0}, 1, 32);
  EXPECT_EQ(word, 1);
  std::uint8_t byte = 9;
  lock->SetterMax(byte, std::uint8_t{200}, 100);
  EXPECT_EQ(byte, 100);
  std::int64_t big = 0;
  lock->SetterMin(big, -(std::int64_t{1} << 40), -1);
  EXPECT_EQ(big, -1);
}

template <class T>
void ExpectChangeThenNoChange(const T& AInitial, const T& AOther) {
  int notifications = 0;
  TRefPtr<TLPLock> lock = TLPLock::Create([&] { ++notifications; });
  T value = AInitial;
  EXPECT_FALSE(lock->Setter(value, AInitial));
  EXPECT_EQ(notifications, 0);
  EXPECT_TRUE(lock->Setter(value, AOther));
  EXPECT_EQ(value, AOther);
  EXPECT_EQ(lock->Getter(value), AOther);
  EXPECT_EQ(notifications, 1);
}

enum class TTestChoice { First, Second };

TEST(LPLockSetter, ReturnsFalseWithoutCallbacksForTheStoredValueOfEveryKind) {
  ExpectChangeThenNoChange<std::int32_t>(3, -3);
  ExpectChangeThenNoChange<std::int16_t>(3, -3);
  ExpectChangeThenNoChange<std::int64_t>(1, std::int64_t{1} << 40);
  ExpectChangeThenNoChange<std::uint32_t>(1, 0xFFFFFFFFu);
  ExpectChangeThenNoChange<std::uint16_t>(1, 2);
  ExpectChangeThenNoChange<std::uint8_t>(1, 2);
  ExpectChangeThenNoChange<float>(0.5f, 0.25f);
  ExpectChangeThenNoChange<double>(0.5, 0.25);
  ExpectChangeThenNoChange<bool>(false, true);
  ExpectChangeThenNoChange<char>('a', 'b');
  ExpectChangeThenNoChange<std::string>("Speakers (Realtek)", "Casque");
  ExpectChangeThenNoChange<TTestChoice>(TTestChoice::First, TTestChoice::Second);
}

TEST(LPLockSetter, StoresThenRunsTheUpdateRoutineThenTheNotificationWithTheWriteSectionHeld) {
  std::vector<std::string> steps;
  std::int32_t value = 0;
  TRefPtr<TLPLock> lock;
  auto record = [&](const std::string& AStep) {
    const TOWLockCounters c = lock->Instance()->GetCounters();
    const bool held = c.CountLocks == 1 && c.OwningThread == std::this_thread::get_id();
    steps.push_back(AStep + " " + std::to_string(value) + (held ? " held" : " free"));
  };
  lock = TLPLock::Create([&] { record("notify"); });
  EXPECT_TRUE(lock->Setter(value, 7, [&] { record("update"); }));
  EXPECT_EQ(steps, (std::vector<std::string>{"update 7 held", "notify 7 held"}));
  EXPECT_EQ(lock->Instance()->GetCounters(), TOWLockCounters{});
}

TEST(LPLockSetter, StillComparesAndStoresWhenTheWriteSectionIsRefusedByAStop) {
  int notifications = 0, updates = 0;
  TRefPtr<TLPLock> lock = TLPLock::Create([&] { ++notifications; });
  std::int32_t value = 0;
  TOWLockSectionRef stop = lock->StopLock();
  bool refused = false, changed = false, unchanged = true;
  std::thread other([&] {
    refused = !lock->WriteLock();
    changed = lock->Setter(value, 5, [&] { ++updates; });
    unchanged = lock->Setter(value, 5);
  });
  other.join();
  EXPECT_TRUE(refused);
  EXPECT_TRUE(changed);
  EXPECT_FALSE(unchanged);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(notifications, 1);
}

TEST(LPLock, CopiesShareTheLockButEachHasItsOwnNotification) {
  int ownerNotes = 0, copyNotes = 0;
  TRefPtr<TLPLock> owner = TLPLock::Create([&] { ++ownerNotes; });
  TRefPtr<TLPLock> copy = TLPLock::CreateCopy(owner.Get(), [&] { ++copyNotes; });
  EXPECT_EQ(copy->Instance(), owner->Instance());
  std::int32_t value = 0;
  copy->Setter(value, 1);
  EXPECT_EQ(ownerNotes, 0);
  EXPECT_EQ(copyNotes, 1);
  TOWLockSectionRef section = copy->WriteLock();
  EXPECT_EQ(owner->Instance()->GetCounters().CountLocks, 1);
}

// --- components and sub-objects -----------------------------------------------------------------

TEST(LPComponent, ASubObjectSetterFiresTheSubObjectsNotificationNotTheComponentHook) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  component->GetSettings().SetValue(3);
  EXPECT_EQ(component->SettingsChanges, 1);
  EXPECT_EQ(component->LastSettingsSender, &component->GetSettings());
  EXPECT_EQ(component->PropertyChanges, 0);

  component->SetText("x");
  EXPECT_EQ(component->PropertyChanges, 1);
  EXPECT_EQ(component->SettingsChanges, 1);
}

TEST(LPComponent, SubObjectsAreSerialisedByTheComponentsLock) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  ILPLock* own = component->GetLock();
  ILPLock* sub = component->GetSettings().GetLock();
  EXPECT_NE(own, sub);
  EXPECT_EQ(own->Instance(), sub->Instance());
  TOWLockSectionRef section = sub->WriteLock();
  EXPECT_EQ(own->Instance()->GetCounters().CountLocks, 1);
  EXPECT_EQ(component->GetSettings().GetOwner(), component.get());
}

TEST(LPComponent, SettersOfAComponentClampAndNotifyThroughItsHook) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  component->SetLevel(0);
  EXPECT_EQ(component->GetLevel(), 1);  // 1 already: nothing changed
  EXPECT_EQ(component->PropertyChanges, 0);
  component->SetLevel(2);
  component->SetCount(40);
  EXPECT_EQ(component->GetLevel(), 2);
  EXPECT_EQ(component->GetCount(), 32);
  EXPECT_EQ(component->CountUpdates, 1);
  EXPECT_EQ(component->PropertyChanges, 2);
}

TEST(LPComponent, ValuePropertySettersAndGettersAllocateNothing) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  const std::size_t before = test::HeapAllocationsOfThisThread();
  std::int64_t sum = 0;
  for (std::int32_t i = 0; i < 100; ++i) {
    component->SetCount(i % 40);  // with an update routine
    component->SetLevel(i);
    component->SetEnabled(i % 2 == 0);
    component->GetSettings().SetValue(i);
    sum += component->GetCount() + component->GetLevel() + component->GetSettings().GetValue();
  }
  EXPECT_EQ(test::HeapAllocationsOfThisThread() - before, 0u);
  EXPECT_GT(sum, 0);
}

TEST(LPPersistent, CreatingOneWithoutALockFailsWithItsMessage) {
  auto expectFailure = [](auto AMake) {
    try {
      AMake();
      ADD_FAILURE() << "no exception";
    } catch (const EPortwiseError& e) {
      EXPECT_STREQ(e.what(), "Calling TLPPersistent.Create without lock!");
    }
  };
  expectFailure([] { TLPPersistent persistent; });
  expectFailure([] { TLPPersistent persistent(nullptr, nullptr); });
  expectFailure([] { TTestSettings settings(nullptr, {}, nullptr); });
}

TEST(LPComponentInit, ACreatedComponentIsToldItWasCreatedAtRunTime) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  EXPECT_EQ(component->Inits, std::vector<bool>{true});
}

TEST(LPComponentInit, ALoadedComponentIsToldSoOnceItsPropertiesAreSet) {
  auto component = LoadComponent<TTestComponent>([](TTestComponent& c) { c.SetText("stored"); }, nullptr);
  EXPECT_EQ(component->Inits, std::vector<bool>{false});
  EXPECT_EQ(component->TextAtInit, "stored");
  EXPECT_FALSE(component->IsLoading());
}

TEST(LPComponentInit, AComponentOfALoadingOwnerWaitsForItsLoaded) {
  TComponent form(nullptr);
  TComponent panel(&form);
  form.BeginLoad();
  auto component = CreateComponent<TTestComponent>(&panel);
  EXPECT_TRUE(component->Inits.empty());
  component->Loaded();
  EXPECT_EQ(component->Inits, std::vector<bool>{false});
}

TEST(LPComponentInit, ADesignedComponentIsNotInitialisedOnLoad) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  component->SetDesigning(true);
  component->BeginLoad();
  component->Loaded();
  EXPECT_EQ(component->Inits, std::vector<bool>{true});
}

// --- Assign -------------------------------------------------------------------------------------

TEST(LPComponentAssign, CopiesEveryPublishedPropertyByNameExceptNameEachChangeNotifiedOnce) {
  auto source = CreateComponent<TTestComponent>(nullptr);
  auto dest = CreateComponent<TTestComponent>(nullptr);
  source->SetName("Source1");
  dest->SetName("Dest1");
  source->SetCount(5);
  source->SetText("abc");
  source->SetRatio(0.5);
  source->SetEnabled(true);
  source->GetSettings().SetValue(9);
  source->GetSettings().SetName("inner");
  // Level is equal on both sides: no notification for it.
  const int before = dest->PropertyChanges;

  dest->Assign(*source);
  EXPECT_EQ(dest->GetName(), "Dest1");
  EXPECT_EQ(dest->GetCount(), 5);
  EXPECT_EQ(dest->GetText(), "abc");
  EXPECT_EQ(dest->GetRatio(), 0.5);
  EXPECT_TRUE(dest->GetEnabled());
  EXPECT_EQ(dest->GetSettings().GetValue(), 9);
  EXPECT_EQ(dest->GetSettings().GetName(), "inner");  // a sub-object copies everything
  EXPECT_EQ(dest->PropertyChanges - before, 4);
  EXPECT_EQ(dest->CountUpdates, 1);
  EXPECT_EQ(dest->SettingsChanges, 2);

  const int after = dest->PropertyChanges;
  dest->Assign(*source);
  EXPECT_EQ(dest->PropertyChanges, after);
}

TEST(LPComponentAssign, BetweenClassesCopiesOnlyTheNamesTheyShareWithTheSameType) {
  auto dest = CreateComponent<TTestComponent>(nullptr);
  auto other = CreateComponent<TOtherComponent>(nullptr);
  other->SetText("from other");
  other->SetCount(7.0);
  dest->SetCount(3);
  dest->Assign(*other);
  EXPECT_EQ(dest->GetText(), "from other");
  EXPECT_EQ(dest->GetCount(), 3);
}

TEST(LPComponentAssign, FromAnObjectOutsideTheFamilyIsTheStandardAssignmentWhichFails) {
  auto dest = CreateComponent<TTestComponent>(nullptr);
  TPlain plain;
  try {
    dest->Assign(plain);
    ADD_FAILURE() << "no exception";
  } catch (const EPortwiseError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TPlain to a TTestComponent");
  }
}

// --- collections --------------------------------------------------------------------------------

class TTestItem : public TLPCollectionItem {
 public:
  using TLPCollectionItem::TLPCollectionItem;
  std::string GetName() const { return FLock->Getter(FName); }
  void SetName(const std::string& AValue) { FLock->Setter(FName, AValue); }
  std::int32_t GetValue() const { return FLock->Getter(FValue); }
  void SetValue(std::int32_t AValue) { FLock->Setter(FValue, AValue); }
  std::string GetDisplayName() const override { return GetName().empty() ? "(Unnamed)" : GetName(); }
  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  std::string FName;
  std::int32_t FValue = 0;
};

const TLPPropertyList& TTestItem::ClassProperties() {
  using C = TTestItem;
  static const TLPPropertyList list(&TLPCollectionItem::ClassProperties(),
                                    LPProperty<C>("Name", &C::GetName, &C::SetName),
                                    LPProperty<C>("Value", &C::GetValue, &C::SetValue));
  return list;
}

using TTestItems = TLPCollectionOf<TTestItem>;

TEST(LPCollection, SharesItsOwnersLockAndItsItemsShareIt) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  TTestItems items(component.get(), component->GetLock());
  TTestItem* item = items.Add();
  EXPECT_EQ(items.GetLock()->Instance(), component->GetLock()->Instance());
  EXPECT_EQ(item->GetLock()->Instance(), component->GetLock()->Instance());
  EXPECT_EQ(item->GetCollection(), &items);

  TTestItems alone(nullptr, nullptr);
  EXPECT_NE(alone.GetLock()->Instance(), component->GetLock()->Instance());
}

TEST(LPCollection, ItemsKeepTheirOrderAndIndexThroughDeletion) {
  TTestItems items(nullptr, nullptr);
  TTestItem* a = items.Add();
  TTestItem* b = items.Add();
  TTestItem* c = items.Add();
  EXPECT_EQ(items.GetCount(), 3);
  EXPECT_EQ(b->GetIndex(), 1);
  items.Delete(0);
  EXPECT_EQ(items.GetItem(0), b);
  EXPECT_EQ(c->GetIndex(), 1);
  EXPECT_EQ(items.IndexOf(a), -1);
  EXPECT_EQ(b->GetDisplayName(), "(Unnamed)");
  items.Clear();
  EXPECT_EQ(items.GetCount(), 0);
}

TEST(LPCollection, AnIndexOutsideTheListRaisesAListErrorNamingIt) {
  TTestItems items(nullptr, nullptr);
  items.Add();
  items.Add();
  for (std::int32_t index : {-1, 2, 7}) {
    try {
      items.GetItem(index);
      ADD_FAILURE() << "no exception for " << index;
    } catch (const EListError& e) {
      EXPECT_EQ(std::string(e.what()), "Indice de liste hors limites (" + std::to_string(index) + ")");
    }
  }
  EXPECT_THROW(items.Delete(2), EListError);
  EXPECT_EQ(items.GetCount(), 2);
}

TEST(LPCollection, AssignReplacesTheItemsWithCopiesLeavingTheirNamesOut) {
  TTestItems source(nullptr, nullptr), dest(nullptr, nullptr);
  for (std::int32_t v : {4, 5}) {
    TTestItem* item = source.Add();
    item->SetValue(v);
    item->SetName("n" + std::to_string(v));
  }
  dest.Add()->SetValue(99);
  dest.Add();
  dest.Add();
  dest.Assign(source);
  ASSERT_EQ(dest.GetCount(), 2);
  EXPECT_EQ(dest.GetItem(0)->GetValue(), 4);
  EXPECT_EQ(dest.GetItem(1)->GetValue(), 5);
  EXPECT_EQ(dest.GetItem(0)->GetName(), "");
  EXPECT_NE(dest.GetItem(0), source.GetItem(0));
}

// --- errors -------------------------------------------------------------------------------------

struct TMessageCase {
  const char* Text;
  std::int32_t Code;
  const char* Message;
};

class SLException : public ::testing::TestWithParam<TMessageCase> {};

TEST_P(SLException, ShowsTheCodeInUnsignedDecimalAndUpperCaseHex) {
  const ESLException e(GetParam().Text, GetParam().Code);
  EXPECT_STREQ(e.what(), GetParam().Message);
  EXPECT_EQ(e.ErrorCode(), GetParam().Code);
  EXPECT_EQ(e.ErrorText(), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SLException,
    ::testing::Values(TMessageCase{"Open failed", 5, "Open failed - 5 - 5"},
                      TMessageCase{"x", -1, "x - 4294967295 - FFFFFFFF"},
                      TMessageCase{"y", 255, "y - 255 - FF"},
                      TMessageCase{"z", 0x7FFFFFFF, "z - 2147483647 - 7FFFFFFF"},
                      TMessageCase{"w", INT32_MIN, "w - 2147483648 - 80000000"},
                      TMessageCase{"100% sûr", 0, "100% sûr - 0 - 0"}));

TEST(SLReportError, CallsTheHandlerWithHandledFalseAndRaisesUnlessItSetsHandled) {
  TPlain sender;
  for (bool handle : {false, true}) {
    TObject* seenSender = nullptr;
    std::string seenText;
    std::int32_t seenCode = 0;
    bool handledOnEntry = true;
    TSLErrorEvent onError = [&](TObject* ASender, const std::string& AText, std::int32_t ACode, bool& AHandled) {
      seenSender = ASender;
      seenText = AText;
      seenCode = ACode;
      handledOnEntry = AHandled;
      AHandled = handle;
    };
    bool raised = false;
    try {
      SLReportError(&sender, onError, "Device lost", -2);
    } catch (const ESLException& e) {
      raised = true;
      EXPECT_STREQ(e.what(), "Device lost - 4294967294 - FFFFFFFE");
    }
    EXPECT_EQ(raised, !handle);
    EXPECT_EQ(seenSender, &sender);
    EXPECT_EQ(seenText, "Device lost");
    EXPECT_EQ(seenCode, -2);
    EXPECT_FALSE(handledOnEntry);
  }
  EXPECT_THROW(SLReportError(&sender, {}, "no handler", 1), ESLException);
}

TEST(SLReportWarning, OnlyCallsTheWarningHandler) {
  int calls = 0;
  std::int32_t seenCode = 0;
  SLReportWarning(nullptr, [&](TObject*, const std::string&, std::int32_t ACode) {
    ++calls;
    seenCode = ACode;
  }, "late", 3);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seenCode, 3);
  EXPECT_NO_THROW(SLReportWarning(nullptr, {}, "late", 3));
}

TEST(TObjectClassName, IsTheClassNameWithoutItsNamespace) {
  auto component = CreateComponent<TTestComponent>(nullptr);
  EXPECT_EQ(component->ClassName(), "TTestComponent");
  EXPECT_EQ(component->GetSettings().ClassName(), "TTestSettings");
}

}  // namespace
}  // namespace portwise
