#pragma once
// DirectShow and the OLE types it rests on, for builds without the Windows headers. Layouts,
// method order and identifiers are the published ones; only what this system calls or implements
// is declared, and the methods of an implemented interface are all there so that vtables match.
// Included through platform/DShow.h only.
#if defined(_WIN32)
#error "Windows builds use the system's DirectShow headers"
#endif

#include <cstdint>

#include "platform/Com.h"

// ---------------------------------------------------------------- base types

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using UINT = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORDLONG = std::uint64_t;
using LONG_PTR = std::intptr_t;
using DWORD_PTR = std::uintptr_t;
using LCID = DWORD;
using DISPID = LONG;
using WINBOOL = BOOL;
using VARTYPE = std::uint16_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// UTF-16 code units, as on Windows.
using WCHAR = char16_t;
using OLECHAR = WCHAR;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
union ULARGE_INTEGER {
  ULONGLONG QuadPart;
};

// Only ever passed by pointer here.
struct IStream;
struct IEnumString;
struct IRunningObjectTable;
struct ITypeInfo;
struct DISPPARAMS;
struct EXCEPINFO;
struct IFileSinkFilter;
struct IAMCopyCaptureFileProgress;
struct REGFILTER2;
struct REGPINMEDIUM;
struct tagBIND_OPTS;
using BIND_OPTS = tagBIND_OPTS;

enum VARENUM : VARTYPE { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8 };

struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    LONGLONG llVal;
    BSTR bstrVal;
    void* byref;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } brecVal;
  };
};
using VARIANT = tagVARIANT;

inline void VariantInit(VARIANT* v) { v->vt = VT_EMPTY; }

constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;

constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000A);
constexpr HRESULT MK_E_UNAVAILABLE = static_cast<HRESULT>(0x800401E3);
constexpr HRESULT MK_E_SYNTAX = static_cast<HRESULT>(0x800401E4);
constexpr HRESULT MK_E_NOOBJECT = static_cast<HRESULT>(0x800401E5);

#define PORTWISE_COM_PROTECTED_DTOR(name) \
 protected:                               \
  ~name() = default;

// ---------------------------------------------------------------- OLE

struct IPersist : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IPersist)
};

struct IPersistStream : IPersist {
  virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(IStream* pStm) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(IStream* pStm, BOOL fClearDirty) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IPersistStream)
};

struct IMoniker;
struct IBindCtx;

struct IEnumMoniker : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker** ppenum) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IEnumMoniker)
};

struct IMoniker : IPersistStream {
  virtual HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riidResult,
                                                 void** ppvResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riid, void** ppvObj) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reduce(IBindCtx* pbc, DWORD dwReduceHowFar, IMoniker** ppmkToLeft,
                                           IMoniker** ppmkReduced) = 0;
  virtual HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric, IMoniker** ppmkComposite) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enum(BOOL fForward, IEnumMoniker** ppenumMoniker) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* pmkOtherMoniker) = 0;
  virtual HRESULT STDMETHODCALLTYPE Hash(DWORD* pdwHash) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx* pbc, IMoniker* pmkToLeft, IMoniker* pmkNewlyRunning) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx* pbc, IMoniker* pmkToLeft, FILETIME* pFileTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE Inverse(IMoniker** ppmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker* pmkOther, IMoniker** ppmkPrefix) = 0;
  virtual HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker* pmkOther, IMoniker** ppmkRelPath) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR* ppszDisplayName) = 0;
  virtual HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR pszDisplayName,
                                                     ULONG* pchEaten, IMoniker** ppmkOut) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* pdwMksys) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMoniker)
};

struct IBindCtx : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown* punk) = 0;
  virtual HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown* punk) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS* pbindopts) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS* pbindopts) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable** pprot) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR pszKey, IUnknown* punk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR pszKey, IUnknown** ppunk) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumObjectParam(IEnumString** ppenum) = 0;
  virtual HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR pszKey) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IBindCtx)
};

struct IErrorLog : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IErrorLog)
};

struct IPropertyBag : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IPropertyBag)
};

struct IDispatch : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                  DISPID* rgDispId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                           UINT* puArgErr) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IDispatch)
};

// ---------------------------------------------------------------- DirectShow records

using REFERENCE_TIME = LONGLONG;
using HEVENT = DWORD_PTR;
using HSEMAPHORE = DWORD_PTR;
using OAFilterState = LONG;
using OAHWND = LONG_PTR;
using OAEVENT = LONG_PTR;

struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;
};

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

struct IBaseFilter;
struct IFilterGraph;

constexpr int MAX_PIN_NAME = 128;
constexpr int MAX_FILTER_NAME = 128;

struct PIN_INFO {
  IBaseFilter* pFilter;
  PIN_DIRECTION dir;
  WCHAR achName[MAX_PIN_NAME];
};

struct FILTER_INFO {
  WCHAR achName[MAX_FILTER_NAME];
  IFilterGraph* pGraph;
};

struct ALLOCATOR_PROPERTIES {
  LONG cBuffers;
  LONG cbBuffer;
  LONG cbAlign;
  LONG cbPrefix;
};

enum QualityMessageType { Famine = 0, Flood = 1 };
struct Quality {
  QualityMessageType Type;
  LONG Proportion;
  REFERENCE_TIME Late;
  REFERENCE_TIME TimeStamp;
};

struct AUDIO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG MinimumChannels;
  ULONG MaximumChannels;
  ULONG ChannelsGranularity;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG BitsPerSampleGranularity;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
  ULONG SampleFrequencyGranularity;
};

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr DWORD AM_GBF_NOWAIT = 4;
constexpr DWORD MERIT_DO_NOT_USE = 0x200000;

// Event codes.
constexpr LONG EC_COMPLETE = 0x01;
constexpr LONG EC_USERABORT = 0x02;
constexpr LONG EC_ERRORABORT = 0x03;
constexpr LONG EC_STARVATION = 0x17;
constexpr LONG EC_DEVICE_LOST = 0x1F;

// Results.
constexpr HRESULT VFW_S_NO_MORE_ITEMS = 0x00040103;
constexpr HRESULT VFW_S_DUPLICATE_NAME = 0x0004022D;
constexpr HRESULT VFW_S_STATE_INTERMEDIATE = 0x00040237;
constexpr HRESULT VFW_S_PARTIAL_RENDER = 0x00040242;
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = static_cast<HRESULT>(0x80040200);
constexpr HRESULT VFW_E_ENUM_OUT_OF_SYNC = static_cast<HRESULT>(0x80040203);
constexpr HRESULT VFW_E_ALREADY_CONNECTED = static_cast<HRESULT>(0x80040204);
constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = static_cast<HRESULT>(0x80040207);
constexpr HRESULT VFW_E_INVALID_DIRECTION = static_cast<HRESULT>(0x80040208);
constexpr HRESULT VFW_E_NOT_CONNECTED = static_cast<HRESULT>(0x80040209);
constexpr HRESULT VFW_E_NO_ALLOCATOR = static_cast<HRESULT>(0x8004020A);
constexpr HRESULT VFW_E_RUNTIME_ERROR = static_cast<HRESULT>(0x8004020B);
constexpr HRESULT VFW_E_BUFFER_NOTSET = static_cast<HRESULT>(0x8004020C);
constexpr HRESULT VFW_E_BUFFER_OVERFLOW = static_cast<HRESULT>(0x8004020D);
constexpr HRESULT VFW_E_BADALIGN = static_cast<HRESULT>(0x8004020E);
constexpr HRESULT VFW_E_ALREADY_COMMITTED = static_cast<HRESULT>(0x8004020F);
constexpr HRESULT VFW_E_BUFFERS_OUTSTANDING = static_cast<HRESULT>(0x80040210);
constexpr HRESULT VFW_E_NOT_COMMITTED = static_cast<HRESULT>(0x80040211);
constexpr HRESULT VFW_E_SIZENOTSET = static_cast<HRESULT>(0x80040212);
constexpr HRESULT VFW_E_NO_CLOCK = static_cast<HRESULT>(0x80040213);
constexpr HRESULT VFW_E_NOT_FOUND = static_cast<HRESULT>(0x80040216);
constexpr HRESULT VFW_E_CANNOT_CONNECT = static_cast<HRESULT>(0x80040217);
constexpr HRESULT VFW_E_CANNOT_RENDER = static_cast<HRESULT>(0x80040218);
constexpr HRESULT VFW_E_NOT_STOPPED = static_cast<HRESULT>(0x80040224);
constexpr HRESULT VFW_E_WRONG_STATE = static_cast<HRESULT>(0x80040227);
constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = static_cast<HRESULT>(0x8004022A);
constexpr HRESULT VFW_E_DUPLICATE_NAME = static_cast<HRESULT>(0x8004022D);
constexpr HRESULT VFW_E_TIMEOUT = static_cast<HRESULT>(0x8004022E);
constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = static_cast<HRESULT>(0x80040249);
constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET = static_cast<HRESULT>(0x80040251);
constexpr HRESULT VFW_E_NOT_IN_GRAPH = static_cast<HRESULT>(0x8004025F);

// ---------------------------------------------------------------- DirectShow interfaces

struct IReferenceClock : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                               DWORD_PTR* pdwAdviseCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                                                   HSEMAPHORE hSemaphore, DWORD_PTR* pdwAdviseCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR dwAdviseCookie) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IReferenceClock)
};

struct IMediaSample : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPointer(BYTE** ppBuffer) = 0;
  virtual LONG STDMETHODCALLTYPE GetSize() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsSyncPoint() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSyncPoint(BOOL bIsSyncPoint) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPreroll() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPreroll(BOOL bIsPreroll) = 0;
  virtual LONG STDMETHODCALLTYPE GetActualDataLength() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetActualDataLength(LONG length) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE** ppMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMediaType(AM_MEDIA_TYPE* pMediaType) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsDiscontinuity() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDiscontinuity(BOOL bDiscontinuity) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMediaSample)
};

struct IMemAllocator : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperties(ALLOCATOR_PROPERTIES* pProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit() = 0;
  virtual HRESULT STDMETHODCALLTYPE Decommit() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime,
                                              REFERENCE_TIME* pEndTime, DWORD dwFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(IMediaSample* pBuffer) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMemAllocator)
};

struct IEnumMediaTypes : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cMediaTypes) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** ppEnum) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IEnumMediaTypes)
};

struct IPin : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
  virtual HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pPin) = 0;
  virtual HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* pInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* pPinDir) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* Id) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** apPin, ULONG* nPin) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndOfStream() = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginFlush() = 0;
  virtual HRESULT STDMETHODCALLTYPE EndFlush() = 0;
  virtual HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IPin)
};

struct IEnumPins : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cPins) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumPins** ppEnum) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IEnumPins)
};

struct IMediaFilter : IPersist {
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
  virtual HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* pClock) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** pClock) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMediaFilter)
};

struct IBaseFilter : IMediaFilter {
  virtual HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR Id, IPin** ppPin) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* pInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* pVendorInfo) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IBaseFilter)
};

struct IEnumFilters : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cFilters) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumFilters** ppEnum) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IEnumFilters)
};

struct IFilterGraph : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter* pFilter, LPCWSTR pName) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter* pFilter) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) = 0;
  virtual HRESULT STDMETHODCALLTYPE ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reconnect(IPin* ppin) = 0;
  virtual HRESULT STDMETHODCALLTYPE Disconnect(IPin* ppin) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() = 0;
  PORTWISE_COM_PROTECTED_DTOR(IFilterGraph)
};

struct IGraphBuilder : IFilterGraph {
  virtual HRESULT STDMETHODCALLTYPE Connect(IPin* ppinOut, IPin* ppinIn) = 0;
  virtual HRESULT STDMETHODCALLTYPE Render(IPin* ppinOut) = 0;
  virtual HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName,
                                                    IBaseFilter** ppFilter) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR hFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE Abort() = 0;
  virtual HRESULT STDMETHODCALLTYPE ShouldOperationContinue() = 0;
  PORTWISE_COM_PROTECTED_DTOR(IGraphBuilder)
};

struct IMemInputPin : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** ppAllocator) = 0;
  virtual HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE Receive(IMediaSample* pSample) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReceiveCanBlock() = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMemInputPin)
};

struct IQualityControl : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* pSelf, Quality q) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* piqc) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IQualityControl)
};

struct IMediaEventSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMediaEventSink)
};

struct ICreateDevEnum : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID clsidDeviceClass, IEnumMoniker** ppEnumMoniker,
                                                          DWORD dwFlags) = 0;
  PORTWISE_COM_PROTECTED_DTOR(ICreateDevEnum)
};

struct ICaptureGraphBuilder2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetFiltergraph(IGraphBuilder* pfg) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFiltergraph(IGraphBuilder** ppfg) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOutputFileName(const GUID* pType, LPCOLESTR lpstrFile, IBaseFilter** ppf,
                                                      IFileSinkFilter** ppSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindInterface(const GUID* pCategory, const GUID* pType, IBaseFilter* pf,
                                                  REFIID riid, void** ppint) = 0;
  virtual HRESULT STDMETHODCALLTYPE RenderStream(const GUID* pCategory, const GUID* pType, IUnknown* pSource,
                                                 IBaseFilter* pfCompressor, IBaseFilter* pfRenderer) = 0;
  virtual HRESULT STDMETHODCALLTYPE ControlStream(const GUID* pCategory, const GUID* pType, IBaseFilter* pFilter,
                                                  REFERENCE_TIME* pstart, REFERENCE_TIME* pstop, WORD wStartCookie,
                                                  WORD wStopCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE AllocCapFile(LPCOLESTR lpstr, DWORDLONG dwlSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyCaptureFile(LPOLESTR lpwstrOld, LPOLESTR lpwstrNew, int fAllowEscAbort,
                                                    IAMCopyCaptureFileProgress* pCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPin(IUnknown* pSource, PIN_DIRECTION pindir, const GUID* pCategory,
                                            const GUID* pType, BOOL fUnconnected, int num, IPin** ppPin) = 0;
  PORTWISE_COM_PROTECTED_DTOR(ICaptureGraphBuilder2)
};

struct IMediaControl : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Run() = 0;
  virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(LONG msTimeout, OAFilterState* pfs) = 0;
  virtual HRESULT STDMETHODCALLTYPE RenderFile(BSTR strFilename) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch** ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch** ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE StopWhenReady() = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMediaControl)
};

struct IMediaEvent : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT* hEvent) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2,
                                             LONG msTimeout) = 0;
  virtual HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG msTimeout, LONG* pEvCode) = 0;
  virtual HRESULT STDMETHODCALLTYPE CancelDefaultHandling(LONG lEvCode) = 0;
  virtual HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(LONG lEvCode) = 0;
  virtual HRESULT STDMETHODCALLTYPE FreeEventParams(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMediaEvent)
};

struct IMediaEventEx : IMediaEvent {
  virtual HRESULT STDMETHODCALLTYPE SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetNotifyFlags(LONG lNoNotifyFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNotifyFlags(LONG* lplNoNotifyFlags) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IMediaEventEx)
};

struct IBasicAudio : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE put_Volume(LONG lVolume) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Volume(LONG* plVolume) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Balance(LONG lBalance) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Balance(LONG* plBalance) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IBasicAudio)
};

struct IAMStreamConfig : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE* pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE** pmt) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int* piCount, int* piSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamCaps(int iIndex, AM_MEDIA_TYPE** pmt, BYTE* pSCC) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IAMStreamConfig)
};

struct IAMBufferNegotiation : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SuggestAllocatorProperties(const ALLOCATOR_PROPERTIES* prop) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAllocatorProperties(ALLOCATOR_PROPERTIES* prop) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IAMBufferNegotiation)
};

struct IFilterMapper2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit,
                                                   LPCWSTR Description) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                                     REFCLSID Filter) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker,
                                                   const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                                   const REGFILTER2* prf2) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD dwFlags, BOOL bExactMatch,
                                                        DWORD dwMerit, BOOL bInputNeeded, DWORD cInputTypes,
                                                        const GUID* pInputTypes, const REGPINMEDIUM* pMedIn,
                                                        const CLSID* pPinCategoryIn, BOOL bRender,
                                                        BOOL bOutputNeeded, DWORD cOutputTypes,
                                                        const GUID* pOutputTypes, const REGPINMEDIUM* pMedOut,
                                                        const CLSID* pPinCategoryOut) = 0;
  PORTWISE_COM_PROTECTED_DTOR(IFilterMapper2)
};

#undef PORTWISE_COM_PROTECTED_DTOR

// ---------------------------------------------------------------- identifiers

#define PORTWISE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};

PORTWISE_GUID(GUID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
PORTWISE_GUID(IID_IPersist, 0x0000010c, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
PORTWISE_GUID(IID_IPersistStream, 0x00000109, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
PORTWISE_GUID(IID_IMoniker, 0x0000000f, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
PORTWISE_GUID(IID_IBindCtx, 0x0000000e, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
PORTWISE_GUID(IID_IEnumMoniker, 0x00000102, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
PORTWISE_GUID(IID_IDispatch, 0x00020400, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
PORTWISE_GUID(IID_IPropertyBag, 0x55272a00, 0x42cb, 0x11ce, 0x81, 0x35, 0x00, 0xaa, 0x00, 0x4b, 0xb8, 0x51)
PORTWISE_GUID(IID_IErrorLog, 0x3127ca40, 0x446e, 0x11ce, 0x81, 0x35, 0x00, 0xaa, 0x00, 0x4b, 0xb8, 0x51)

PORTWISE_GUID(IID_IPin, 0x56a86891, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IEnumPins, 0x56a86892, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IEnumFilters, 0x56a86893, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IBaseFilter, 0x56a86895, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IReferenceClock, 0x56a86897, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMediaFilter, 0x56a86899, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMediaSample, 0x56a8689a, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMemAllocator, 0x56a8689c, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMemInputPin, 0x56a8689d, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IFilterGraph, 0x56a8689f, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMediaEventSink, 0x56a868a2, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IQualityControl, 0x56a868a5, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IGraphBuilder, 0x56a868a9, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMediaControl, 0x56a868b1, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IBasicAudio, 0x56a868b3, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMediaEvent, 0x56a868b6, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IMediaEventEx, 0x56a868c0, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(IID_IEnumMediaTypes, 0x89c31040, 0x846b, 0x11ce, 0x97, 0xd3, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a)
PORTWISE_GUID(IID_ICreateDevEnum, 0x29840822, 0x5b84, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86)
PORTWISE_GUID(IID_ICaptureGraphBuilder2, 0x93e5a4e0, 0x2d50, 0x11d2, 0xab, 0xfa, 0x00, 0xa0, 0xc9, 0xc6, 0xe3, 0x8d)
PORTWISE_GUID(IID_IAMStreamConfig, 0xc6e13340, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56)
PORTWISE_GUID(IID_IAMBufferNegotiation, 0x56ed71a0, 0xaf5f, 0x11d0, 0xb3, 0xf0, 0x00, 0xaa, 0x00, 0x37, 0x61, 0xc5)
PORTWISE_GUID(IID_IFilterMapper2, 0xb79bb0b0, 0x33c1, 0x11d1, 0xab, 0xe1, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75)
PORTWISE_GUID(IID_IAMAudioInputMixer, 0x54C39221, 0x8380, 0x11D0, 0xB3, 0xF0, 0x00, 0xAA, 0x00, 0x37, 0x61, 0xC5)
PORTWISE_GUID(IID_IAMTVAudio, 0x83EC1C30, 0x23D1, 0x11D1, 0x99, 0xE6, 0x00, 0xA0, 0xC9, 0x56, 0x02, 0x66)

PORTWISE_GUID(CLSID_SystemDeviceEnum, 0x62BE5D10, 0x60EB, 0x11d0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86)
PORTWISE_GUID(CLSID_CDeviceMoniker, 0x4315D437, 0x5B8C, 0x11d0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86)
PORTWISE_GUID(CLSID_FilterGraph, 0xe436ebb3, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(CLSID_SystemClock, 0xe436ebb1, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
PORTWISE_GUID(CLSID_CaptureGraphBuilder2, 0xBF87B6E1, 0x8C27, 0x11d0, 0xB3, 0xF0, 0x00, 0xAA, 0x00, 0x37, 0x61, 0xC5)
PORTWISE_GUID(CLSID_MemoryAllocator, 0x1e651cc0, 0xb199, 0x11d0, 0x82, 0x12, 0x00, 0xc0, 0x4f, 0xc3, 0x2c, 0x45)
PORTWISE_GUID(CLSID_FilterMapper2, 0xcda42200, 0xbd88, 0x11d0, 0xbd, 0x4e, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86)
PORTWISE_GUID(CLSID_AudioRendererCategory, 0xe0f158e1, 0xcb04, 0x11d0, 0xbd, 0x4e, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86)
PORTWISE_GUID(CLSID_AudioInputDeviceCategory, 0x33d9a762, 0x90c8, 0x11d0, 0xbd, 0x43, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86)
PORTWISE_GUID(CLSID_LegacyAmFilterCategory, 0x083863F1, 0x70DE, 0x11d0, 0xBD, 0x40, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86)
PORTWISE_GUID(CLSID_DSoundRender, 0x79376820, 0x07D0, 0x11CF, 0xA2, 0x4D, 0x00, 0x20, 0xAF, 0xD7, 0x97, 0x67)
PORTWISE_GUID(CLSID_AudioRender, 0xe30629d1, 0x27e5, 0x11ce, 0x87, 0x5d, 0x00, 0x60, 0x8c, 0xb7, 0x80, 0x66)
PORTWISE_GUID(CLSID_VideoRenderer, 0x70e102b0, 0x5556, 0x11ce, 0x97, 0xc0, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a)
PORTWISE_GUID(CLSID_VideoMixingRenderer, 0xB87BEB7B, 0x8D29, 0x423f, 0xAE, 0x4D, 0x65, 0x82, 0xC1, 0x01, 0x75, 0xAC)
PORTWISE_GUID(CLSID_VideoMixingRenderer9, 0x51b4abf3, 0x748f, 0x4e3b, 0xa2, 0x76, 0xc8, 0x28, 0x33, 0x0e, 0x92, 0x6a)

PORTWISE_GUID(MEDIATYPE_Audio, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71)
PORTWISE_GUID(MEDIATYPE_Video, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71)
PORTWISE_GUID(MEDIASUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71)
PORTWISE_GUID(FORMAT_WaveFormatEx, 0x05589f81, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a)
PORTWISE_GUID(PIN_CATEGORY_CAPTURE, 0xfb6c4281, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba)

#undef PORTWISE_GUID
