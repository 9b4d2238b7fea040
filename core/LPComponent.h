#pragma once
// Component base and property lock. A component owns one TOWLock; its sub-objects (formats,
// selectors, collections) wrap the same lock with notifications of their own, so a component and
// everything it owns is serialised by one mutex. Every published property is read and written
// through the typed getters and setters of ILPLock.
//
// Published properties are declared per class in a table (PORTWISE_PUBLISHED_PROPERTIES and
// LPProperty); Assign copies them by name through the setters, so each differing value fires its
// own notification.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "core/OWLock.h"
#include "core/SLTypes.h"
#include "platform/RefPtr.h"

namespace portwise {

// A parameterless notification (update routine or change hook); may be empty.
using TLPPropUpdateFunc = std::function<void()>;

template <class T>
concept LPClampable = std::is_arithmetic_v<T> && !std::is_same_v<T, bool>;

class ILPLock : public IOWLock {
 public:
  // Every setter returns true when the stored value changed. Steps: clamp (where the family says
  // so), write section, compare, store, AUpdatedFunc, ChangeNotify, return; the section is left
  // after the callbacks. A refused section (stop in progress) still compares and stores.
  template <class T>
  bool Setter(T& PropValue, const std::type_identity_t<T>& AValue, const TLPPropUpdateFunc& AUpdatedFunc = {}) {
    return Store(PropValue, AValue, AUpdatedFunc);
  }

  // Below AMinValue becomes AMinValue.
  template <LPClampable T>
  bool SetterMin(T& PropValue, std::type_identity_t<T> AValue, std::type_identity_t<T> AMinValue,
                 const TLPPropUpdateFunc& AUpdatedFunc = {}) {
    if (AValue < AMinValue) AValue = AMinValue;
    return Store(PropValue, AValue, AUpdatedFunc);
  }

  // At or below AMinValue becomes AMinSubstituteValue.
  template <LPClampable T>
  bool SetterMinExlude(T& PropValue, std::type_identity_t<T> AValue, std::type_identity_t<T> AMinValue,
                       std::type_identity_t<T> AMinSubstituteValue, const TLPPropUpdateFunc& AUpdatedFunc = {}) {
    if (AValue <= AMinValue) AValue = AMinSubstituteValue;
    return Store(PropValue, AValue, AUpdatedFunc);
  }

  // Above AMaxValue becomes AMaxValue.
  template <LPClampable T>
  bool SetterMax(T& PropValue, std::type_identity_t<T> AValue, std::type_identity_t<T> AMaxValue,
                 const TLPPropUpdateFunc& AUpdatedFunc = {}) {
    if (AValue > AMaxValue) AValue = AMaxValue;
    return Store(PropValue, AValue, AUpdatedFunc);
  }

  // Raised to AMinValue first, then lowered to AMaxValue.
  template <LPClampable T>
  bool SetterMinMax(T& PropValue, std::type_identity_t<T> AValue, std::type_identity_t<T> AMinValue,
                    std::type_identity_t<T> AMaxValue, const TLPPropUpdateFunc& AUpdatedFunc = {}) {
    if (AValue < AMinValue) AValue = AMinValue;
    if (AValue > AMaxValue) AValue = AMaxValue;
    return Store(PropValue, AValue, AUpdatedFunc);
  }

  // The value read under a read section (read even when the section is refused).
  template <class T>
  T Getter(const T& APropValue) {
    TOWLockSectionRef section = ReadLock();
    return APropValue;
  }

  // Calls the owner's change notification when one is set.
  virtual void ChangeNotify() = 0;

 private:
  template <class T>
  bool Store(T& PropValue, const T& AValue, const TLPPropUpdateFunc& AUpdatedFunc) {
    TOWLockSectionRef section = WriteLock();
    if (PropValue == AValue) return false;
    PropValue = AValue;
    if (AUpdatedFunc) AUpdatedFunc();
    ChangeNotify();
    return true;
  }
};

class TLPBasicLock : public ILPLock {
 public:
  explicit TLPBasicLock(TLPPropUpdateFunc ANotify) : FNotify(std::move(ANotify)) {}

  void AddRef() noexcept override { FRefCount.fetch_add(1, std::memory_order_relaxed); }
  void Release() noexcept override;
  void ChangeNotify() override {
    if (FNotify) FNotify();
  }

 protected:
  ~TLPBasicLock() override = default;
  TLPPropUpdateFunc FNotify;

 private:
  std::atomic<std::int32_t> FRefCount{0};
};

class TLPLock final : public TLPBasicLock {
 public:
  // A new TOWLock.
  static TRefPtr<TLPLock> Create(TLPPropUpdateFunc ANotify);
  // Shares ALock's TOWLock (ALock->Instance()), with a notification of its own.
  static TRefPtr<TLPLock> CreateCopy(IOWLock* ALock, TLPPropUpdateFunc ANotify);

  [[nodiscard]] TOWLockSectionRef ReadLock() override { return FLock->ReadLock(); }
  [[nodiscard]] TOWLockSectionRef WriteLock() override { return FLock->WriteLock(); }
  [[nodiscard]] TOWLockSectionRef ReadLock(IOWLock* ASlaveLock) { return FLock->ReadLock(ASlaveLock); }
  [[nodiscard]] TOWLockSectionRef WriteLock(IOWLock* ASlaveLock) { return FLock->WriteLock(ASlaveLock); }
  [[nodiscard]] TOWLockSectionRef StopLock() override { return FLock->StopLock(); }
  [[nodiscard]] TOWLockSectionRef UnlockAll() override { return FLock->UnlockAll(); }
  [[nodiscard]] TOWLockSectionRef UnlockAllLockInOrder(IOWLock* AFirstLock) override {
    return FLock->UnlockAllLockInOrder(AFirstLock);
  }
  TOWLock* Instance() override { return FLock.Get(); }

 private:
  TLPLock(TRefPtr<TOWLock> ALock, TLPPropUpdateFunc ANotify);
  TRefPtr<TOWLock> FLock;
};

// ---------------------------------------------------------------------------------------------
// Published properties

class TPersistent;

class TLPPropertyInfo {
 public:
  TLPPropertyInfo(std::string_view AName, const std::type_info& AType, bool AWritable)
      : FName(AName), FType(&AType), FWritable(AWritable) {}
  TLPPropertyInfo(const TLPPropertyInfo&) = delete;
  TLPPropertyInfo& operator=(const TLPPropertyInfo&) = delete;
  virtual ~TLPPropertyInfo() = default;

  std::string_view Name() const noexcept { return FName; }
  const std::type_info& Type() const noexcept { return *FType; }
  bool Writable() const noexcept { return FWritable; }

  // Reads this property of ASource and writes it through ADestProperty's setter into ADest.
  // Both properties have the same Type().
  virtual void CopyValue(const TPersistent& ASource, const TLPPropertyInfo& ADestProperty,
                         TPersistent& ADest) const = 0;
  // Writes *static_cast<const Type()*>(AValue) through the setter.
  virtual void WriteValue(TPersistent& AObject, const void* AValue) const = 0;

 private:
  std::string_view FName;
  const std::type_info* FType;
  bool FWritable;
};

using TLPPropertyInfoPtr = std::unique_ptr<const TLPPropertyInfo>;

// The published properties one class adds to those of its base (AParent).
class TLPPropertyList {
 public:
  template <class... P>
  explicit TLPPropertyList(const TLPPropertyList* AParent, P&&... AProperties) : FParent(AParent) {
    (FProperties.push_back(std::forward<P>(AProperties)), ...);
  }
  TLPPropertyList(const TLPPropertyList&) = delete;
  TLPPropertyList& operator=(const TLPPropertyList&) = delete;

  // Searches this class and its bases.
  const TLPPropertyInfo* Find(std::string_view AName) const;
  // Every property, base classes first, in declaration order.
  template <class F>
  void ForEach(F&& AFunc) const {
    if (FParent) FParent->ForEach(AFunc);
    for (const TLPPropertyInfoPtr& p : FProperties) AFunc(*p);
  }

 private:
  const TLPPropertyList* FParent;
  std::vector<TLPPropertyInfoPtr> FProperties;
};

namespace lpdetail {

template <class C, class V, class G, class S>
class TLPTypedProperty final : public TLPPropertyInfo {
 public:
  TLPTypedProperty(std::string_view AName, G AGetter, S ASetter)
      : TLPPropertyInfo(AName, typeid(V), !std::is_same_v<S, std::nullptr_t>), FGetter(AGetter), FSetter(ASetter) {}

  void CopyValue(const TPersistent& ASource, const TLPPropertyInfo& ADestProperty, TPersistent& ADest) const override {
    const C* source = dynamic_cast<const C*>(&ASource);
    if (!source) return;
    decltype(auto) value = (source->*FGetter)();
    ADestProperty.WriteValue(ADest, std::addressof(value));
  }

  void WriteValue(TPersistent& AObject, const void* AValue) const override {
    if constexpr (!std::is_same_v<S, std::nullptr_t>) {
      if (C* dest = dynamic_cast<C*>(&AObject)) (dest->*FSetter)(*static_cast<const V*>(AValue));
    }
  }

 private:
  G FGetter;
  S FSetter;
};

}  // namespace lpdetail

// A published property of class C: LPProperty<C>("Bits", &C::GetBits, &C::SetBits). The value type
// is the getter's (by value or by const reference, e.g. a sub-object); the setter takes it.
template <class C, class GC, class R, class SC, class SR, class SA>
TLPPropertyInfoPtr LPProperty(std::string_view AName, R (GC::*AGetter)() const, SR (SC::*ASetter)(SA)) {
  using V = std::remove_cvref_t<R>;
  static_assert(std::is_same_v<V, std::remove_cvref_t<SA>>, "getter and setter disagree on the type");
  static_assert(std::is_base_of_v<GC, C> && std::is_base_of_v<SC, C>);
  return std::make_unique<lpdetail::TLPTypedProperty<C, V, decltype(AGetter), decltype(ASetter)>>(AName, AGetter,
                                                                                                 ASetter);
}

// A read-only published property (Assign skips it).
template <class C, class GC, class R>
TLPPropertyInfoPtr LPProperty(std::string_view AName, R (GC::*AGetter)() const) {
  using V = std::remove_cvref_t<R>;
  static_assert(std::is_base_of_v<GC, C>);
  return std::make_unique<lpdetail::TLPTypedProperty<C, V, decltype(AGetter), std::nullptr_t>>(AName, AGetter,
                                                                                              nullptr);
}

// In a class body: declares the class's own table (defined in its .cpp) and publishes it.
#define PORTWISE_PUBLISHED_PROPERTIES()                 \
  static const ::portwise::TLPPropertyList& ClassProperties(); \
  const ::portwise::TLPPropertyList& PublishedProperties() const override { return ClassProperties(); }

// ---------------------------------------------------------------------------------------------
// Object model

class TPersistent : public TObject {
 public:
  // Standard assignment: ASource.AssignTo(*this), which fails unless a class knows the pair.
  virtual void Assign(const TPersistent& ASource);
  virtual TPersistent* GetOwner() const { return nullptr; }

  static const TLPPropertyList& ClassProperties();
  virtual const TLPPropertyList& PublishedProperties() const { return ClassProperties(); }

 protected:
  // Raises EPortwiseError "Cannot assign a <source class> to a <dest class>".
  virtual void AssignTo(TPersistent& ADest) const;
};

// Copies every writable published property of ADest that ASource also publishes with the same
// name and type, through ADest's setters; AExcept names one property to leave out ("Name").
void LPAssignProperties(TPersistent& ADest, const TPersistent& ASource, std::string_view AExcept = {});

enum TComponentStateFlag : std::uint8_t { csLoading = 1, csDesigning = 2, csDestroying = 4 };

// Name and owner. The owner is a plain link (thread and display names, loading state): whoever
// creates a component frees it.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner) : FOwner(AOwner) {}

  const std::string& GetName() const { return FName; }
  virtual void SetName(const std::string& AName) { FName = AName; }
  TComponent* GetOwner() const override { return FOwner; }

  std::uint8_t ComponentState() const noexcept { return FComponentState; }
  bool IsLoading() const noexcept { return (FComponentState & csLoading) != 0; }
  bool IsDesigning() const noexcept { return (FComponentState & csDesigning) != 0; }
  // This component or an owner up the chain is loading.
  bool IsLoadingInChain() const noexcept;
  void SetDesigning(bool AValue) noexcept;

  // Loading from a stored layout: BeginLoad, set the properties, then Loaded().
  void BeginLoad() noexcept { FComponentState |= csLoading; }
  virtual void Loaded() { FComponentState &= static_cast<std::uint8_t>(~csLoading); }
  // Runs once construction is complete (CreateComponent calls it).
  virtual void AfterConstruction() {}

  PORTWISE_PUBLISHED_PROPERTIES()

 protected:
  void MarkDestroying() noexcept { FComponentState |= csDestroying; }

 private:
  TComponent* FOwner;
  std::string FName;
  std::uint8_t FComponentState = 0;
};

// Make components with CreateComponent<T>(owner, ...): it calls AfterConstruction(), so the
// initialise hook gets true. Loaded ones: BeginLoad(), set properties, Loaded() (hook false).
template <class T, class... A>
std::unique_ptr<T> CreateComponent(A&&... AArgs) {
  static_assert(std::is_base_of_v<TComponent, T>);
  auto component = std::make_unique<T>(std::forward<A>(AArgs)...);
  component->AfterConstruction();
  return component;
}

// The same for a component loaded from a stored layout: ASetProperties(*component) runs while it
// is loading, then Loaded() ends the load.
template <class T, class F, class... A>
std::unique_ptr<T> LoadComponent(F&& ASetProperties, A&&... AArgs) {
  static_assert(std::is_base_of_v<TComponent, T>);
  auto component = std::make_unique<T>(std::forward<A>(AArgs)...);
  component->BeginLoad();
  component->AfterConstruction();
  std::forward<F>(ASetProperties)(*component);
  component->Loaded();
  return component;
}

class TLPComponent : public TComponent {
 public:
  explicit TLPComponent(TComponent* AOwner);

  ILPLock* GetLock() const noexcept { return FLock.Get(); }

  // From another TLPComponent: every published property with a setter, by name, except Name.
  void Assign(const TPersistent& ASource) override;
  // Calls InitializeComponent(true) when neither designing nor loading (nor any owner loading).
  void AfterConstruction() override;
  // Ends loading and calls InitializeComponent(false) (not when designing).
  void Loaded() override;

 protected:
  // The initialise hook: ACreatedAtRunTime is true for a component made by code at run time.
  virtual void InitializeComponent(bool ACreatedAtRunTime);
  // The property-changed hook: the lock's notification, run after every effective property write.
  virtual void PropertyChanged();

  TRefPtr<ILPLock> FLock;
};

// A sub-object that shares its owner's lock.
class TLPPersistent : public TPersistent {
 public:
  // Raises EPortwiseError "Calling TLPPersistent.Create without lock!".
  TLPPersistent();
  // AOwnerLock must not be null (same failure as above).
  TLPPersistent(TPersistent* AOwner, IOWLock* AOwnerLock);

  ILPLock* GetLock() const noexcept { return FLock.Get(); }
  TPersistent* GetOwner() const override { return FOwnerProperty; }

  // From another TLPPersistent: every published property with a setter, by name.
  void Assign(const TPersistent& ASource) override;

 protected:
  // The changed hook: this object's lock notification.
  virtual void PropertyChanged();

  TRefPtr<ILPLock> FLock;
  TPersistent* FOwnerProperty = nullptr;
};

// A sub-object whose changes call its owner's handler (FOnChange(this)).
class TLPPersistentNotify : public TLPPersistent {
 public:
  TLPPersistentNotify(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* AOwnerLock);

 protected:
  void PropertyChanged() override;

  TNotifyEvent FOnChange;
};

class TLPCollection;

class TLPCollectionItem : public TPersistent {
 public:
  // Shares the collection's lock; the collection's Add inserts it.
  explicit TLPCollectionItem(TLPCollection* ACollection);

  ILPLock* GetLock() const noexcept { return FLock.Get(); }
  TLPCollection* GetCollection() const noexcept { return FCollection; }
  TPersistent* GetOwner() const override;
  // Position in the collection, -1 when not in it.
  std::int32_t GetIndex() const;
  virtual std::string GetDisplayName() const { return ClassName(); }

  // From another TLPCollectionItem: every published property with a setter, by name, except Name.
  void Assign(const TPersistent& ASource) override;

 protected:
  virtual void PropertyChanged();

  TRefPtr<ILPLock> FLock;

 private:
  TLPCollection* FCollection;
};

// An ordered list of items it owns. Constructed with its owner's lock, it shares it; without one
// it has a lock of its own.
class TLPCollection : public TPersistent {
 public:
  TLPCollection(TPersistent* AOwner, IOWLock* AOwnerLock);
  ~TLPCollection() override;

  ILPLock* GetLock() const noexcept { return FLock.Get(); }
  TPersistent* GetOwner() const override { return FOwner; }

  std::int32_t GetCount() const;
  // Raises EListError "Indice de liste hors limites (%d)" outside 0 .. count - 1.
  TLPCollectionItem* GetItem(std::int32_t AIndex) const;
  TLPCollectionItem* Add();
  void Delete(std::int32_t AIndex);
  void Clear();
  std::int32_t IndexOf(const TLPCollectionItem* AItem) const;

  // From another TLPCollection: the items are replaced by copies of the source's items.
  void Assign(const TPersistent& ASource) override;

 protected:
  virtual std::unique_ptr<TLPCollectionItem> CreateItem() = 0;
  virtual void PropertyChanged();

  TRefPtr<ILPLock> FLock;

 private:
  TPersistent* FOwner;
  std::vector<std::unique_ptr<TLPCollectionItem>> FItems;
};

// A collection of TItem (constructed from a TLPCollection*), with typed access.
template <class TItem>
class TLPCollectionOf : public TLPCollection {
 public:
  using TLPCollection::TLPCollection;
  TItem* Add() { return static_cast<TItem*>(TLPCollection::Add()); }
  TItem* GetItem(std::int32_t AIndex) const { return static_cast<TItem*>(TLPCollection::GetItem(AIndex)); }

 protected:
  std::unique_ptr<TLPCollectionItem> CreateItem() override { return std::make_unique<TItem>(this); }
};

}  // namespace portwise
