#include "core/LPComponent.h"

#include <algorithm>

namespace portwise {

// --- locks --------------------------------------------------------------------------------------

void TLPBasicLock::Release() noexcept {
  if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

TLPLock::TLPLock(TRefPtr<TOWLock> ALock, TLPPropUpdateFunc ANotify)
    : TLPBasicLock(std::move(ANotify)), FLock(std::move(ALock)) {}

TRefPtr<TLPLock> TLPLock::Create(TLPPropUpdateFunc ANotify) {
  return TRefPtr<TLPLock>(new TLPLock(TOWLock::Create(), std::move(ANotify)));
}

TRefPtr<TLPLock> TLPLock::CreateCopy(IOWLock* ALock, TLPPropUpdateFunc ANotify) {
  if (!ALock) throw EPortwiseError("TLPLock.CreateCopy without lock");
  return TRefPtr<TLPLock>(new TLPLock(TRefPtr<TOWLock>(ALock->Instance()), std::move(ANotify)));
}

// --- published properties -----------------------------------------------------------------------

const TLPPropertyInfo* TLPPropertyList::Find(std::string_view AName) const {
  for (const TLPPropertyList* list = this; list; list = list->FParent)
    for (const TLPPropertyInfoPtr& p : list->FProperties)
      if (p->Name() == AName) return p.get();
  return nullptr;
}

void LPAssignProperties(TPersistent& ADest, const TPersistent& ASource, std::string_view AExcept) {
  const TLPPropertyList& sourceProperties = ASource.PublishedProperties();
  ADest.PublishedProperties().ForEach([&](const TLPPropertyInfo& destProperty) {
    if (!destProperty.Writable() || (!AExcept.empty() && destProperty.Name() == AExcept)) return;
    const TLPPropertyInfo* sourceProperty = sourceProperties.Find(destProperty.Name());
    if (!sourceProperty || sourceProperty->Type() != destProperty.Type()) return;
    sourceProperty->CopyValue(ASource, destProperty, ADest);
  });
}

// --- object model ---------------------------------------------------------------------------------

const TLPPropertyList& TPersistent::ClassProperties() {
  static const TLPPropertyList list(nullptr);
  return list;
}

void TPersistent::Assign(const TPersistent& ASource) { ASource.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& ADest) const {
  throw EPortwiseError("Cannot assign a " + ClassName() + " to a " + ADest.ClassName());
}

const TLPPropertyList& TComponent::ClassProperties() {
  static const TLPPropertyList list(&TPersistent::ClassProperties(),
                                    LPProperty<TComponent>("Name", &TComponent::GetName, &TComponent::SetName));
  return list;
}

bool TComponent::IsLoadingInChain() const noexcept {
  for (const TComponent* c = this; c; c = c->FOwner)
    if (c->IsLoading()) return true;
  return false;
}

void TComponent::SetDesigning(bool AValue) noexcept {
  if (AValue)
    FComponentState |= csDesigning;
  else
    FComponentState &= static_cast<std::uint8_t>(~csDesigning);
}

TLPComponent::TLPComponent(TComponent* AOwner)
    : TComponent(AOwner), FLock(TLPLock::Create([this] { PropertyChanged(); })) {}

void TLPComponent::Assign(const TPersistent& ASource) {
  if (dynamic_cast<const TLPComponent*>(&ASource))
    LPAssignProperties(*this, ASource, "Name");
  else
    TComponent::Assign(ASource);
}

void TLPComponent::AfterConstruction() {
  TComponent::AfterConstruction();
  if (!IsDesigning() && !IsLoadingInChain()) InitializeComponent(true);
}

void TLPComponent::Loaded() {
  TComponent::Loaded();
  if (!IsDesigning()) InitializeComponent(false);
}

void TLPComponent::InitializeComponent(bool) {}

void TLPComponent::PropertyChanged() {}

namespace {
constexpr const char* KNoLockText = "Calling TLPPersistent.Create without lock!";
}

TLPPersistent::TLPPersistent() { throw EPortwiseError(KNoLockText); }

TLPPersistent::TLPPersistent(TPersistent* AOwner, IOWLock* AOwnerLock) : FOwnerProperty(AOwner) {
  if (!AOwnerLock) throw EPortwiseError(KNoLockText);
  FLock = TLPLock::CreateCopy(AOwnerLock, [this] { PropertyChanged(); });
}

void TLPPersistent::Assign(const TPersistent& ASource) {
  if (dynamic_cast<const TLPPersistent*>(&ASource))
    LPAssignProperties(*this, ASource);
  else
    TPersistent::Assign(ASource);
}

void TLPPersistent::PropertyChanged() {}

TLPPersistentNotify::TLPPersistentNotify(TPersistent* AOwner, TNotifyEvent AOnChange, IOWLock* AOwnerLock)
    : TLPPersistent(AOwner, AOwnerLock), FOnChange(std::move(AOnChange)) {}

void TLPPersistentNotify::PropertyChanged() {
  if (FOnChange) FOnChange(this);
}

// --- collections ----------------------------------------------------------------------------------

TLPCollectionItem::TLPCollectionItem(TLPCollection* ACollection) : FCollection(ACollection) {
  if (!ACollection) throw EPortwiseError("Calling TLPCollectionItem.Create without collection!");
  FLock = TLPLock::CreateCopy(ACollection->GetLock(), [this] { PropertyChanged(); });
}

TPersistent* TLPCollectionItem::GetOwner() const { return FCollection; }

std::int32_t TLPCollectionItem::GetIndex() const { return FCollection->IndexOf(this); }

void TLPCollectionItem::Assign(const TPersistent& ASource) {
  if (dynamic_cast<const TLPCollectionItem*>(&ASource))
    LPAssignProperties(*this, ASource, "Name");
  else
    TPersistent::Assign(ASource);
}

void TLPCollectionItem::PropertyChanged() {}

void TLPCollection::PropertyChanged() {}

TLPCollection::TLPCollection(TPersistent* AOwner, IOWLock* AOwnerLock) : FOwner(AOwner) {
  auto notify = [this] { PropertyChanged(); };
  FLock = AOwnerLock ? TLPLock::CreateCopy(AOwnerLock, notify) : TLPLock::Create(notify);
}

TLPCollection::~TLPCollection() = default;

namespace {
[[noreturn]] void RaiseListIndex(std::int32_t AIndex) {
  throw EListError("Indice de liste hors limites (" + std::to_string(AIndex) + ")");
}
}  // namespace

std::int32_t TLPCollection::GetCount() const {
  TOWLockSectionRef section = FLock->ReadLock();
  return static_cast<std::int32_t>(FItems.size());
}

TLPCollectionItem* TLPCollection::GetItem(std::int32_t AIndex) const {
  TOWLockSectionRef section = FLock->ReadLock();
  if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= FItems.size()) RaiseListIndex(AIndex);
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

TLPCollectionItem* TLPCollection::Add() {
  std::unique_ptr<TLPCollectionItem> item = CreateItem();
  TLPCollectionItem* result = item.get();
  TOWLockSectionRef section = FLock->WriteLock();
  FItems.push_back(std::move(item));
  FLock->ChangeNotify();
  return result;
}

void TLPCollection::Delete(std::int32_t AIndex) {
  std::unique_ptr<TLPCollectionItem> removed;
  {
    TOWLockSectionRef section = FLock->WriteLock();
    if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= FItems.size()) RaiseListIndex(AIndex);
    removed = std::move(FItems[static_cast<std::size_t>(AIndex)]);
    FItems.erase(FItems.begin() + AIndex);
    FLock->ChangeNotify();
  }
}

void TLPCollection::Clear() {
  std::vector<std::unique_ptr<TLPCollectionItem>> removed;
  TOWLockSectionRef section = FLock->WriteLock();
  if (FItems.empty()) return;
  removed.swap(FItems);
  FLock->ChangeNotify();
}

std::int32_t TLPCollection::IndexOf(const TLPCollectionItem* AItem) const {
  TOWLockSectionRef section = FLock->ReadLock();
  auto it = std::find_if(FItems.begin(), FItems.end(), [&](const auto& p) { return p.get() == AItem; });
  return it == FItems.end() ? -1 : static_cast<std::int32_t>(it - FItems.begin());
}

void TLPCollection::Assign(const TPersistent& ASource) {
  const auto* source = dynamic_cast<const TLPCollection*>(&ASource);
  if (!source) {
    TPersistent::Assign(ASource);
    return;
  }
  if (source == this) return;
  Clear();
  const std::int32_t count = source->GetCount();
  for (std::int32_t i = 0; i < count; ++i) Add()->Assign(*source->GetItem(i));
}

}  // namespace portwise
