#pragma once
// The filter graph wrapper of a DirectShow component, and the error channel of the whole backend.
// It initialises COM on its owner's thread for its lifetime, creates the filter graph manager and
// the capture graph builder on demand, receives the graph's events through a hidden window and
// dispatches them to the owner, and tears a graph down whole or from one filter downstream.
//
// Threads: created, used and destroyed on the owner's thread, which owns the hidden window; graph
// events are dispatched there when it processes messages, under the owner's write lock. Errors
// raise ESLException unless an OnError handler marks them handled; warnings only call OnWarning.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/LPComponent.h"
#include "core/OWPins.h"
#include "dshow/DSCommon.h"
#include "dshow/DSDevices.h"
#include "platform/Messages.h"

namespace portwise {

inline constexpr const char* KDSCantBuildGraph = "Can't build DirectShow graph.";
inline constexpr const char* KDSCantBuildGraphBuilder = "Can't build DirectShow graph builder.";
inline constexpr const char* KDSCantObtainMediaControl = "Can't obtain IMediaControl.";
inline constexpr const char* KDSCantStartGraph = "Can't start DirectShow graph.";
inline constexpr const char* KDSCantStopGraph = "Can't stop DirectShow graph.";

// The message the graph posts to the hidden window for its events (WM_APP + 1).
inline constexpr std::uint32_t KDSGraphNotifyMessage = 0x8001;

// Graph changes travel to connected components through a source pin of their own data type.
inline constexpr TALGuid OWMLGraphDataTypeID = SLGuid("{6E2C8F7A-3D14-4B8E-9A0F-51C7D2E4B986}");

class TOWGraphChangeOperation : public TOWNotifyOperation {};

class TOWMLGraphSourcePin final : public TOWSourcePin {
 public:
  TOWMLGraphSourcePin(TObject* AOwner, IOWLock* AOwnerLock);
  ~TOWMLGraphSourcePin() override;
  TOWNotifyResult GraphChange() { return Notify(new TOWGraphChangeOperation()); }
  TOWNotifyResult Stop() { return Notify(new TOWStopOperation()); }

 private:
  TOWNotifyResult DispatchGraph(TOWBasicPin* AFromPin, const TALGuid& ADataTypeID, IOWNotifyOperation* AOperation,
                                TOWNotifyState AState);
};

// A registered filter inserted into every new graph.
class TDSFilterItem : public TLPCollectionItem {
 public:
  explicit TDSFilterItem(TLPCollection* ACollection) : TLPCollectionItem(ACollection) {}

  std::string GetFilterName() const;
  // Resolved over every registered filter: an unknown name, "None" or nothing gives "None".
  void SetFilterName(const std::string& AValue);
  std::string GetDriverName() const;
  TNotifyEvent GetOnAdded() const;
  void SetOnAdded(TNotifyEvent AValue);
  // The filter's moniker; none when the choice is "None" or the filter is gone.
  TRefPtr<IMoniker> GetMoniker() const;
  std::string GetDisplayName() const override;
  // Stored form: [display name, name], unless the choice is "None".
  bool WriteStoredData(std::vector<std::string>& AData) const;
  void ReadStoredData(const std::vector<std::string>& AData);

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  std::string FDriverName;
  std::string FName = KDSNoneDeviceName;
  TNotifyEvent FOnAdded;
};

class TDSFilterItems final : public TLPCollectionOf<TDSFilterItem> {
 public:
  using TLPCollectionOf::TLPCollectionOf;
};

class TDSGraph;
class TDSFilters;

// A pin of the browsing model.
class TDSPin {
 public:
  TDSPin(TDSFilters& AFilters, TRefPtr<IPin> APin) : FFilters(AFilters), FPin(std::move(APin)) {}
  IPin* Pin() const { return FPin.Get(); }
  std::string GetName() const;
  std::string GetPathName() const;  // filter name + "." + pin name
  std::string GetID() const;
  bool IsConnected() const;
  TDSPin* ConnectedTo() const;      // searched through the cached filters
  std::int32_t MediaTypesCount() const;

 private:
  TDSFilters& FFilters;
  TRefPtr<IPin> FPin;
};

// A filter of the browsing model, with its pins cached on first access.
class TDSFilter {
 public:
  TDSFilter(TDSFilters& AFilters, TRefPtr<IBaseFilter> AFilter) : FFilters(AFilters), FFilter(std::move(AFilter)) {}
  IBaseFilter* Filter() const { return FFilter.Get(); }
  std::string GetName() const;
  const std::vector<std::unique_ptr<TDSPin>>& Pins();
  const std::vector<TDSPin*>& InputPins();
  const std::vector<TDSPin*>& OutputPins();

 private:
  void FillPins();
  TDSFilters& FFilters;
  TRefPtr<IBaseFilter> FFilter;
  bool FFilled = false;
  std::vector<std::unique_ptr<TDSPin>> FPins;
  std::vector<TDSPin*> FInputs, FOutputs;
};

// The filters of the current graph, filled on first access and cleared when the graph changes.
class TDSFilters {
 public:
  explicit TDSFilters(TDSGraph& AGraph) : FGraph(AGraph) {}
  std::int32_t Count();
  TDSFilter* Item(std::int32_t AIndex);
  void Clear() { FItems.clear(); }
  TDSPin* FindPin(IPin* APin);

 private:
  void Fill();
  TDSGraph& FGraph;
  std::vector<std::unique_ptr<TDSFilter>> FItems;
};

// The owner's graph event callback: (event code, parameter 1, parameter 2).
using TDSGraphNotifyEvent = std::function<void(std::int32_t AEventCode, LONG_PTR AParam1, LONG_PTR AParam2)>;
// An extra observer of the hidden window's other messages.
using TDSMessageEvent = std::function<void(std::uint32_t AMsg, std::uintptr_t wParam, std::intptr_t lParam)>;

class TDSGraph : public TLPPersistent {
 public:
  TDSGraph(TComponent* AOwner, IOWLock* ALock);
  TDSGraph(TComponent* AOwner, IOWLock* ALock, TDSGraphNotifyEvent AOnNotify);
  ~TDSGraph() override;

  // --- building (false after a reported error, when a handler marked it handled)
  bool CreateGraph();
  bool CreateGraphBuilder();
  // Adds every additional filter; true when all were added (so for none).
  bool RegisterAdditionalFilters();
  void RegisterGraph();
  void UnregisterGraph();
  // Events to the hidden window; false (silently) without IMediaEventEx.
  bool SetMediaEvent();
  bool GetMediaControl();

  // --- running
  bool Run();
  void Stop(bool AShowError);

  // --- reporting
  void Error(const std::string& Msg, std::int32_t ErrorCode);
  void Warning(const std::string& Msg, std::int32_t ErrorCode);
  void CheckWarning(const std::string& Msg, HRESULT AValue);
  void GraphBuilt();
  void GraphChanged();

  // --- tearing down
  virtual void DestroyGraph();
  // Removes everything fed by the filter, directly or not; the filter stays.
  void DestroyDownstream(IBaseFilter* pFilter);
  void DestroyUpstream(IBaseFilter* pFilter);

  // --- queries
  TRefPtr<IBaseFilter> GetFilterByClassID(const GUID& ClassID);
  TRefPtr<IBaseFilter> GetAudioRender();
  TRefPtr<IBaseFilter> GetVideoRender();
  TRefPtr<IBaseFilter> CreateFilterByName(const std::string& AFilterName);
  bool ConnectFilterToPin(IBaseFilter* ASourceFilter, IPin* ASinkPin);
  bool GetFilterList(std::vector<std::string>* AFiltersList);
  bool PostMessage(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam);
  void SetMsgEvent(TDSMessageEvent AEvent);

  // --- the graph's interfaces, which the owners read and write while they build
  TRefPtr<IGraphBuilder>& Graph() { return FGraph; }
  TRefPtr<ICaptureGraphBuilder2>& GraphBuilder() { return FGraphBuilder; }
  TRefPtr<IMediaEventEx>& MediaEvent() { return FMediaEvent; }
  TRefPtr<IMediaControl>& MediaControl() { return FMediaControl; }
  TDSFilters& Filters() { return *FFilters; }
  platform::THiddenWindow HiddenForm() const { return FPreviewForm; }
  TOWMLGraphSourcePin& GraphPin() { return *FGraphPin; }
  bool CoInitialized() const { return FCoInitialized; }

  // --- properties
  bool GetRegister() const;
  void SetRegister(bool AValue);
  TDSFilterItems& GetAdditionalFilters() { return *FAdditionalFilters; }
  const TDSFilterItems& GetAdditionalFilters() const { return *FAdditionalFilters; }
  void SetAdditionalFilters(const TDSFilterItems& AValue) { FAdditionalFilters->Assign(AValue); }
  TSLErrorEvent GetOnError() const;
  void SetOnError(TSLErrorEvent AValue);
  TSLWarningEvent GetOnWarning() const;
  void SetOnWarning(TSLWarningEvent AValue);
  TNotifyEvent GetOnGraphBuilt() const;
  void SetOnGraphBuilt(TNotifyEvent AValue);
  void SetOnDeviceLost(TNotifyEvent AValue);
  void SetOnAborted(TNotifyEvent AValue);
  void SetOnStarvation(TNotifyEvent AValue);

  PORTWISE_PUBLISHED_PROPERTIES()

 private:
  bool HandleMessage(std::uint32_t AMsg, std::uintptr_t wParam, std::intptr_t lParam);
  void DispatchGraphEvents();
  void AddToRunningObjectTable();
  void RemoveFromRunningObjectTable();

  std::unique_ptr<TOWMLGraphSourcePin> FGraphPin;
  bool FRegister = false;
  TComponent* FOwner;
  DWORD FROTReg = 0;
  bool FRegistered = false;
  std::unique_ptr<TDSFilterItems> FAdditionalFilters;
  TSLErrorEvent FOnError;
  TSLWarningEvent FOnWarning;
  TNotifyEvent FOnGraphBuilt;
  bool FCoInitialized = false;
  TNotifyEvent FOnDeviceLost, FOnAborted, FOnStarvation;
  TDSGraphNotifyEvent FOnNotify;
  TDSMessageEvent FOnMessage;
  std::unique_ptr<TDSFilters> FFilters;
  platform::THiddenWindow FPreviewForm = 0;
  TRefPtr<IGraphBuilder> FGraph;
  TRefPtr<ICaptureGraphBuilder2> FGraphBuilder;
  TRefPtr<IMediaEventEx> FMediaEvent;
  TRefPtr<IMediaControl> FMediaControl;
};

}  // namespace portwise
