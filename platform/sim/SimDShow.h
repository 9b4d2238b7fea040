#pragma once
// The simulated DirectShow system objects, for native tests. A test builds its world: a
// TSimPlatform, then a TSimDShow on it, which registers the system classes with the simulated COM
// (device enumerator, filter graph manager, capture graph builder, memory allocator, system clock,
// filter mapper, sample grabber) and resolves device monikers; its destructor removes them again.
// The test scripts the devices of each category (friendly names, duplicates and blank ones, moniker
// display names, property bags, failures) and reads back what the program did: the graphs it built
// and drove, the samples each renderer played, the events it took and freed.
//
// Pacing is that of hardware: a renderer plays the samples it receives in real time at the
// connection's nAvgBytesPerSec and lets each go once played; a capture filter delivers one buffer
// per buffer period from its own streaming thread; reference clocks run in real time and release
// advise semaphores from a thread of their own. Every thread ends with its filter's stop (or the
// object's end); nothing waits without end but a renderer's Receive while it is paused, which its
// stop, a flush or a run ends, as on Windows.
//
// Where Windows and Wine differ, the simulation follows Windows: "@device:*:{category}" parses to
// the category's default device; a renderer offers its own allocator (SetRendererAllocator makes it
// refuse, as Wine's DirectSound renderer does); the audio capture filter is a real one.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/DShow.h"

namespace portwise::platform::sim {

class TSimPlatform;

enum class ESimDeviceKind : std::uint8_t { AudioRenderer, AudioCapture, Filter };

struct TSimDevice {
  GUID Category{};
  ESimDeviceKind Kind = ESimDeviceKind::Filter;
  std::string FriendlyName;
  bool bHasFriendlyName = true;         // false: the bag has no "FriendlyName"
  std::string DisplayName;              // the moniker's; empty: made from category and name
  std::optional<std::string> ClassId;   // the bag's "CLSID" value; none: absent
  DWORD Merit = 0x00600000;
  HRESULT BindToStorageResult = S_OK;   // a failure makes BindToStorage fail so
  HRESULT BindToObjectResult = S_OK;
  bool bPinless = false;                // a capture filter without pins, as Wine 8's stub is
};

struct TSimRenderedSample {
  std::vector<std::uint8_t> Data;
  bool bHasTime = false;
  REFERENCE_TIME Start = 0, End = 0;
  bool bSyncPoint = false;
  bool bDiscontinuity = false;
};

// A renderer made from a device, as the test sees it.
struct TSimRendererInfo {
  int Device = -1;
  std::vector<std::uint8_t> Format;  // the connection's format block; empty when not connected
  FILTER_STATE State = State_Stopped;
  std::size_t Received = 0;          // samples taken by Receive
  std::vector<TSimRenderedSample> Played;
  bool bEndOfStream = false;
  int Flushes = 0;
  LONG Volume = 0, Balance = 0;
  bool bAlive = true;                // the filter object still exists
};

struct TSimFreedEvent {
  LONG Code = 0;
  LONG_PTR Param1 = 0, Param2 = 0;
};

// A filter graph manager made by the program, as the test sees it.
struct TSimGraphInfo {
  std::vector<std::string> Filters;      // names, in the order they were added
  FILTER_STATE State = State_Stopped;
  std::vector<std::string> Transitions;  // "Pause", "Run", "Stop", as asked
  OAHWND NotifyWindow = 0;
  LONG NotifyMessage = 0;
  LONG_PTR NotifyInstance = 0;
  LONG NotifyFlags = 0;
  std::size_t PendingEvents = 0;
  std::size_t PostedMessages = 0;
  std::vector<TSimFreedEvent> Freed;     // FreeEventParams calls, in order
  int DoubleFrees = 0;                   // parameters freed again
  bool bAlive = true;
};

class TSimDShow {
 public:
  explicit TSimDShow(TSimPlatform& platform);
  ~TSimDShow();
  TSimDShow(const TSimDShow&) = delete;
  TSimDShow& operator=(const TSimDShow&) = delete;

  // --- scripting: devices, numbered in the order they are added; each category enumerates its
  // devices in that order ---
  int AddDevice(const TSimDevice& device);
  int AddAudioRenderer(const std::string& friendlyName);
  int AddAudioCapture(const std::string& friendlyName);
  int AddFilter(const std::string& friendlyName, const GUID& classId);
  TSimDevice Device(int id);
  void SetDevice(int id, const TSimDevice& device);
  void RemoveDevice(int id);  // gone from enumerations; its monikers no longer bind
  // The device "@device:*:{category}" stands for (default: the category's first device).
  void SetDefaultDevice(const GUID& category, int id);
  // CreateClassEnumerator of this category returns hr (S_FALSE: as if it were empty).
  void SetClassEnumeratorResult(const GUID& category, HRESULT hr);
  // The display name a device of this category and name gets when none is given.
  static std::string MakeDisplayName(const GUID& category, const std::string& friendlyName, int id);

  // --- scripting: failures at named points, each taken once ("Graph.Run", "Graph.Stop",
  // "Graph.Pause", "Graph.AddFilter", "Graph.QueryInterface.IMediaControl",
  // "Graph.QueryInterface.IMediaEventEx", "Graph.QueryInterface.IMediaFilter",
  // "Builder.SetFiltergraph", "Builder.RenderStream", "Pin.ReceiveConnection" (any simulated
  // input pin), "Graph.GetSyncSource"): after `after` more passes through the point that work,
  // the next `count` fail with hr ---
  void FailNext(const std::string& point, HRESULT hr, unsigned count = 1, unsigned after = 0);

  // --- scripting: allocators and renderers ---
  // Memory allocators made from now on grant at most this many bytes per buffer (0: no limit).
  void SetAllocatorLimit(LONG bytes);
  // Renderers made from now on offer their own allocator (true) or fail GetAllocator with
  // VFW_E_NO_ALLOCATOR, as Wine's DirectSound renderer does.
  void SetRendererAllocator(bool bOffers);
  // Renderers made from now on play what they receive but keep every sample until they are
  // destroyed, as a renderer that never releases its samples does.
  void SetRendererKeepsSamples(bool bKeeps);

  // --- scripting: audio capture ---
  // Every channel of frame n holds (n & 0x7FFF) for 16-bit formats; other widths hold zeros.
  void SetCaptureFormats(const std::vector<WAVEFORMATEX>& formats);  // its stream capabilities

  // --- reading back ---
  std::size_t RendererCount();
  TSimRendererInfo Renderer(std::size_t index);
  std::size_t GraphCount();
  TSimGraphInfo Graph(std::size_t index);
  std::size_t LiveObjects();  // simulated COM objects not yet released
  // Drops the records of renderers and graphs that no longer exist, for long runs (the indices of
  // the others change).
  void ForgetHistory();

  // --- acting as the system ---
  // The graph queues an event as a filter would report it. For EC_DEVICE_LOST the first
  // parameter is a reference the receiver frees with FreeEventParams.
  void PostGraphEvent(std::size_t graph, LONG code, LONG_PTR param1, LONG_PTR param2);
  void PostDeviceLost(std::size_t graph);
  // The renderer reports its device gone (EC_DEVICE_LOST to its graph).
  void LoseRendererDevice(std::size_t renderer);

  struct TWorld;  // shared with the simulated objects

 private:
  TSimPlatform& FPlatform;
  std::shared_ptr<TWorld> FWorld;
};

}  // namespace portwise::platform::sim
