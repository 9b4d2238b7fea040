// The filter graph wrapper on the simulated DirectShow: creation and its error texts, the error
// and warning channel, graph events on the hidden window and the freeing of their parameters, the
// running object table, additional filters, tearing down and the queries.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dshow/DSGraph.h"
#include "tests/unit/dshow/DSTestWorld.h"

namespace portwise::test {
namespace {

constexpr GUID kEcho = {0x3B1F0C55, 0x7A2E, 0x4F60, {0x8D, 0x91, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}};

class DSGraphTest : public TDSWorldTest {
 protected:
  DSGraphTest() {
    Graph = std::make_unique<TDSGraph>(&Owner, Owner.GetLock(), [this](std::int32_t code, LONG_PTR p1, LONG_PTR) {
      Seen.push_back("notify " + std::to_string(code));
      FreedAtNotify.push_back(DS.Graph(0).Freed.size());
      if (OnNotify) OnNotify(code, p1);
    });
  }
  ~DSGraphTest() override { Graph.reset(); }

  std::size_t Creations(const CLSID& clsid) {
    std::size_t n = 0;
    for (const CLSID& c : Sim.SimCom().CreateCalls()) n += c == clsid;
    return n;
  }
  // The message of the exception that f raises, or "" when it raises nothing.
  template <class F>
  std::string Raised(F&& f) {
    try {
      f();
    } catch (const ESLException& e) {
      return e.what();
    }
    return "";
  }
  TRefPtr<IBaseFilter> BindFirst(const GUID& category) {
    TVLDSCapDeviceList list;
    list.EnumFilters(category);
    void* p = nullptr;
    EXPECT_EQ(S_OK, list.Items(0).Moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, &p));
    return TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  }
  void Add(IBaseFilter* f, const char* name) {
    const platform::TOleString n = platform::ToOle(name);
    ASSERT_EQ(S_OK, Graph->Graph()->AddFilter(f, n.c_str()));
  }
  std::vector<std::string> FilterNames() {
    std::vector<std::string> names;
    Graph->GetFilterList(&names);
    return names;
  }

  std::unique_ptr<TDSGraph> Graph;
  std::vector<std::string> Seen;
  std::vector<std::size_t> FreedAtNotify;
  std::function<void(std::int32_t, LONG_PTR)> OnNotify;
};

// ------------------------------------------------------------------ creation and errors

TEST_F(DSGraphTest, CreatingTwiceMakesOneGraphManagerAndANewOneAfterItIsDestroyed) {
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->CreateGraph());
  EXPECT_EQ(1u, Creations(CLSID_FilterGraph));
  ASSERT_TRUE(Graph->CreateGraphBuilder());
  ASSERT_TRUE(Graph->CreateGraphBuilder());
  EXPECT_EQ(1u, Creations(CLSID_CaptureGraphBuilder2));
  Graph->DestroyGraph();
  EXPECT_FALSE(Graph->Graph());
  EXPECT_FALSE(Graph->GraphBuilder());
  EXPECT_EQ(0u, DS.LiveObjects());
  ASSERT_TRUE(Graph->CreateGraph());
  EXPECT_EQ(2u, Creations(CLSID_FilterGraph));
}

TEST_F(DSGraphTest, FailuresRaiseTheirTextWithTheCodeInDecimalAndHexadecimal) {
  struct TCase {
    const char* What;
    std::function<void()> Script;
    std::function<bool(TDSGraph&)> Step;
    const char* Message;
  };
  const std::vector<TCase> cases = {
      {"graph", [&] { Sim.SimCom().FailCreate(CLSID_FilterGraph, REGDB_E_CLASSNOTREG); },
       [](TDSGraph& g) { return g.CreateGraph(); }, "Can't build DirectShow graph. - 2147746132 - 80040154"},
      {"builder", [&] { Sim.SimCom().FailCreate(CLSID_CaptureGraphBuilder2, E_OUTOFMEMORY); },
       [](TDSGraph& g) { return g.CreateGraph() && g.CreateGraphBuilder(); },
       "Can't build DirectShow graph builder. - 2147942414 - 8007000E"},
      {"attach", [&] { DS.FailNext("Builder.SetFiltergraph", E_FAIL); },
       [](TDSGraph& g) { return g.CreateGraph() && g.CreateGraphBuilder(); },
       "Can't build DirectShow graph builder. - 2147500037 - 80004005"},
      {"control", [&] { DS.FailNext("Graph.QueryInterface.IMediaControl", E_NOINTERFACE); },
       [](TDSGraph& g) { return g.CreateGraph() && g.GetMediaControl(); },
       "Can't obtain IMediaControl. - 2147500034 - 80004002"},
      {"run without control", [] {}, [](TDSGraph& g) { return g.Run(); }, "Can't start DirectShow graph. - 0 - 0"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    auto g = std::make_unique<TDSGraph>(&Owner, Owner.GetLock());
    c.Script();
    EXPECT_EQ(c.Message, Raised([&] { c.Step(*g); }));
    g = std::make_unique<TDSGraph>(&Owner, Owner.GetLock());
    c.Script();
    std::vector<std::string> reports;
    g->SetOnError([&](TObject* sender, const std::string& text, std::int32_t code, bool& handled) {
      EXPECT_EQ(&Owner, sender);
      reports.push_back(ESLException(text, code).what());
      handled = true;
    });
    bool result = true;
    EXPECT_EQ("", Raised([&] { result = c.Step(*g); }));
    EXPECT_FALSE(result);
    EXPECT_EQ(std::vector<std::string>{c.Message}, reports);
    Sim.SimCom().FailCreate(CLSID_FilterGraph, S_OK);
    Sim.SimCom().FailCreate(CLSID_CaptureGraphBuilder2, S_OK);
  }
}

TEST_F(DSGraphTest, AFailingRunStopsTheGraphAndStopReportsOnlyWhenAsked) {
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->GetMediaControl());
  DS.FailNext("Graph.Run", VFW_E_CANNOT_RENDER);
  EXPECT_EQ("Can't start DirectShow graph. - 2147746328 - 80040218", Raised([&] { Graph->Run(); }));
  EXPECT_EQ((std::vector<std::string>{"Stop"}), DS.Graph(0).Transitions);
  EXPECT_TRUE(Graph->Run());
  DS.FailNext("Graph.Stop", E_FAIL, 2);
  EXPECT_EQ("", Raised([&] { Graph->Stop(false); }));
  EXPECT_EQ("Can't stop DirectShow graph. - 2147500037 - 80004005", Raised([&] { Graph->Stop(true); }));
  Graph->Stop(true);
  EXPECT_EQ(State_Stopped, DS.Graph(0).State);
}

TEST_F(DSGraphTest, WarningsReachOnWarningOnlyAndNeverRaise) {
  std::vector<std::pair<std::string, std::int32_t>> warnings;
  EXPECT_EQ("", Raised([&] { Graph->Warning("Can't set latency.", -1); }));
  Graph->SetOnWarning([&](TObject* sender, const std::string& text, std::int32_t code) {
    EXPECT_EQ(&Owner, sender);
    warnings.emplace_back(text, code);
  });
  Graph->CheckWarning("positive", S_FALSE);
  Graph->CheckWarning("negative", E_FAIL);
  EXPECT_EQ((std::vector<std::pair<std::string, std::int32_t>>{{"negative", E_FAIL}}), warnings);
}

// ------------------------------------------------------------------ events

TEST_F(DSGraphTest, EventsGoToTheHiddenWindowAndAreDispatchedWhenMessagesAreProcessed) {
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->SetMediaEvent());
  auto info = DS.Graph(0);
  EXPECT_EQ(static_cast<OAHWND>(Graph->HiddenForm()), info.NotifyWindow);
  EXPECT_EQ(0x8001, info.NotifyMessage);
  EXPECT_EQ(0, info.NotifyFlags);
  DS.PostGraphEvent(0, EC_COMPLETE, 0, 0);
  EXPECT_TRUE(Seen.empty());
  Sim.ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{"notify 1"}), Seen);
  EXPECT_EQ(0u, FreedAtNotify[0]);
  EXPECT_EQ(1u, DS.Graph(0).Freed.size());  // after the handlers
}

TEST_F(DSGraphTest, DeviceLostAndAbortParametersAreFreedOnceBeforeTheHandlers) {
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->SetMediaEvent());
  Graph->SetOnDeviceLost([&](TObject* s) { Seen.push_back(s == &Owner ? "lost" : "lost by another"); });
  Graph->SetOnAborted([&](TObject*) { Seen.push_back("aborted"); });
  Graph->SetOnStarvation([&](TObject*) { Seen.push_back("starved"); });
  DS.PostDeviceLost(0);
  DS.PostGraphEvent(0, EC_ERRORABORT, E_FAIL, 0);
  DS.PostGraphEvent(0, EC_STARVATION, 0, 0);
  Sim.ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{"notify 31", "lost", "notify 3", "aborted", "notify 23", "starved"}), Seen);
  EXPECT_EQ((std::vector<std::size_t>{1, 2, 2}), FreedAtNotify);
  auto info = DS.Graph(0);
  EXPECT_EQ(3u, info.Freed.size());
  EXPECT_EQ(0, info.DoubleFrees);
}

TEST_F(DSGraphTest, AHandlerThatDestroysTheGraphEndsTheDispatch) {
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->SetMediaEvent());
  OnNotify = [&](std::int32_t code, LONG_PTR) {
    if (code == EC_DEVICE_LOST) Graph->DestroyGraph();
  };
  DS.PostDeviceLost(0);
  DS.PostGraphEvent(0, EC_COMPLETE, 0, 0);
  Sim.ProcessMessages();
  EXPECT_EQ((std::vector<std::string>{"notify 31"}), Seen);
  EXPECT_FALSE(Graph->MediaEvent());
  EXPECT_EQ(0, DS.Graph(0).DoubleFrees);
  EXPECT_FALSE(DS.Graph(0).bAlive);
}

TEST_F(DSGraphTest, AHandlerThatRaisesStillHasTheParametersFreed) {
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->SetMediaEvent());
  OnNotify = [](std::int32_t, LONG_PTR) { throw ESLException("handler", 1); };
  DS.PostGraphEvent(0, EC_COMPLETE, 0, 0);
  EXPECT_THROW(Sim.ProcessMessages(), ESLException);
  EXPECT_EQ(1u, DS.Graph(0).Freed.size());
}

TEST_F(DSGraphTest, WithoutMediaEventsNothingIsDispatchedAndNothingReported) {
  ASSERT_TRUE(Graph->CreateGraph());
  DS.FailNext("Graph.QueryInterface.IMediaEventEx", E_NOINTERFACE);
  EXPECT_FALSE(Graph->SetMediaEvent());
  DS.PostGraphEvent(0, EC_COMPLETE, 0, 0);
  Sim.ProcessMessages();
  EXPECT_TRUE(Seen.empty());
}

// ------------------------------------------------------------------ registration and extras

TEST_F(DSGraphTest, RegisteringPutsTheGraphInTheRunningObjectTableOnlyWhenAsked) {
  ASSERT_TRUE(Graph->CreateGraph());
  Graph->RegisterGraph();
  EXPECT_TRUE(Sim.SimCom().RunningObjects().empty());
  Graph->SetRegister(true);  // while registered: added now
  auto names = Sim.SimCom().RunningObjects();
  ASSERT_EQ(1u, names.size());
  char expected[64];
  std::snprintf(expected, sizeof expected, "FilterGraph %08llX pid 00001234",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(Graph->Graph().Get())));
  EXPECT_EQ(expected, names[0]);
  Graph->RegisterGraph();  // once only
  EXPECT_EQ(1u, Sim.SimCom().Registrations());
  Graph->UnregisterGraph();
  EXPECT_TRUE(Sim.SimCom().RunningObjects().empty());
  Graph->SetRegister(false);
  Graph->RegisterGraph();
  EXPECT_TRUE(Sim.SimCom().RunningObjects().empty());
}

TEST_F(DSGraphTest, AdditionalFiltersJoinEveryNewGraphUnderTheirNumberedNames) {
  DS.AddFilter("Echo", kEcho);
  ASSERT_TRUE(Graph->CreateGraph());
  EXPECT_TRUE(Graph->RegisterAdditionalFilters());  // none
  TDSFilterItem* echo = Graph->GetAdditionalFilters().Add();
  EXPECT_EQ("None", echo->GetFilterName());
  echo->SetFilterName("Echo");
  EXPECT_EQ("Echo", echo->GetFilterName());
  std::vector<TObject*> added;
  echo->SetOnAdded([&](TObject* s) { added.push_back(s); });
  TDSFilterItem* none = Graph->GetAdditionalFilters().Add();
  none->SetFilterName("Nothing of that name");
  EXPECT_EQ("None", none->GetFilterName());
  EXPECT_FALSE(Graph->RegisterAdditionalFilters());  // the second is "None"
  EXPECT_EQ(std::vector<TObject*>{echo}, added);
  EXPECT_EQ(std::vector<std::string>{"Echo(Additional 1)"}, FilterNames());
  EXPECT_EQ("Filter 2", [&] {
    none->SetFilterName("");
    none->ReadStoredData({"", ""});
    return none->GetDisplayName();
  }());
}

TEST_F(DSGraphTest, DestroyingDownstreamRemovesEverythingFedByTheFilterAndKeepsIt) {
  DS.AddAudioCapture("Line in");
  DS.AddAudioRenderer("Speakers");
  ASSERT_TRUE(Graph->CreateGraph());
  ASSERT_TRUE(Graph->CreateGraphBuilder());
  auto capture = BindFirst(CLSID_AudioInputDeviceCategory);
  Add(capture.Get(), "Capture");
  Graph->DestroyDownstream(capture.Get());  // nothing connected: nothing changes
  EXPECT_EQ(std::vector<std::string>{"Capture"}, FilterNames());
  void* p = nullptr;
  ASSERT_EQ(S_OK, Sim.Com().CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &p));
  auto grabber = TRefPtr<IBaseFilter>::Adopt(static_cast<IBaseFilter*>(p));
  Add(grabber.Get(), "Grabber");
  auto renderer = BindFirst(CLSID_AudioRendererCategory);
  Add(renderer.Get(), "Renderer");
  ASSERT_EQ(S_OK, Graph->GraphBuilder()->RenderStream(nullptr, &MEDIATYPE_Audio, capture.Get(), grabber.Get(),
                                                      renderer.Get()));
  EXPECT_EQ(Graph->GetAudioRender(), renderer);
  Graph->DestroyDownstream(capture.Get());
  EXPECT_EQ(std::vector<std::string>{"Capture"}, FilterNames());
  EXPECT_FALSE(Graph->GetAudioRender());

  Add(grabber.Get(), "Grabber");
  Add(renderer.Get(), "Renderer");
  ASSERT_EQ(S_OK, Graph->GraphBuilder()->RenderStream(nullptr, &MEDIATYPE_Audio, capture.Get(), grabber.Get(),
                                                      renderer.Get()));
  Graph->DestroyUpstream(renderer.Get());
  EXPECT_EQ(std::vector<std::string>{"Renderer"}, FilterNames());
}

TEST_F(DSGraphTest, QueriesFindFiltersByClassAndNameAndConnectToAPin) {
  DS.AddAudioCapture("Line in");
  DS.AddAudioRenderer("Speakers");
  DS.AddFilter("Echo", kEcho);
  ASSERT_TRUE(Graph->CreateGraph());
  EXPECT_FALSE(Graph->GetFilterList(nullptr));
  TRefPtr<IBaseFilter> echo = Graph->CreateFilterByName("Echo");
  ASSERT_TRUE(echo);
  EXPECT_FALSE(Graph->CreateFilterByName("Nothing"));
  Add(echo.Get(), "Echo");
  EXPECT_EQ(echo, Graph->GetFilterByClassID(kEcho));
  EXPECT_FALSE(Graph->GetVideoRender());
  auto capture = BindFirst(CLSID_AudioInputDeviceCategory);
  auto renderer = BindFirst(CLSID_AudioRendererCategory);
  Add(capture.Get(), "Capture");
  Add(renderer.Get(), "Renderer");
  EXPECT_EQ((std::vector<std::string>{"Echo", "Capture", "Renderer"}), FilterNames());
  TRefPtr<IEnumPins> pins;
  renderer->EnumPins(pins.Receive());
  IPin* in = nullptr;
  ASSERT_EQ(S_OK, pins->Next(1, &in, nullptr));
  auto input = TRefPtr<IPin>::Adopt(in);
  EXPECT_FALSE(Graph->ConnectFilterToPin(echo.Get(), input.Get()));  // no output pin
  EXPECT_TRUE(Graph->ConnectFilterToPin(capture.Get(), input.Get()));
  // The browsing model sees the connection.
  ASSERT_EQ(3, Graph->Filters().Count());
  TDSFilter* cap = Graph->Filters().Item(1);
  ASSERT_EQ(1u, cap->OutputPins().size());
  TDSPin* out = cap->OutputPins()[0];
  EXPECT_EQ("Capture.Capture", out->GetPathName());
  ASSERT_TRUE(out->ConnectedTo());
  EXPECT_EQ("Renderer.Audio Input pin (rendered)", out->ConnectedTo()->GetPathName());
}

TEST_F(DSGraphTest, TheWrapperHoldsCOMAndItsHiddenWindowForItsLifeOnly) {
  const int apartments = Sim.SimCom().OpenApartments();
  const std::size_t windows = Sim.HiddenWindowCount();
  {
    TDSGraph g(&Owner, Owner.GetLock());
    EXPECT_EQ(apartments + 1, Sim.SimCom().OpenApartments());
    EXPECT_EQ(windows + 1, Sim.HiddenWindowCount());
    ASSERT_TRUE(g.CreateGraph());
  }
  EXPECT_EQ(apartments, Sim.SimCom().OpenApartments());
  EXPECT_EQ(windows, Sim.HiddenWindowCount());
  EXPECT_EQ(0u, DS.LiveObjects());
}

}  // namespace
}  // namespace portwise::test
