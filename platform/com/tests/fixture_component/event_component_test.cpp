// The ticker component, registered by regsvr into a registry of the test's own: activation,
// late binding, and events that a worker thread fires into the test thread's apartment.
#include <gmock/gmock.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/late_binding.h"
#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/test_support.h"
#include "platform/com/tests/fixture_component/ticker.h"
#include "platform/loop/message_loop.h"

namespace vorlane::com {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::Each;
using testing::ITicker;
using testing::ITickerEvents;
using testing::kTickerClsid;
using loop::MessageLoop;

const std::filesystem::path kComponent = std::filesystem::canonical(VORLANE_TEST_TICKER);
constexpr auto kWatchdog = 10s;
constexpr int32_t kWatchdogMs = 10'000;
constexpr int32_t kDone = -1;  // how a sink records Done() among the ticks

// Records every event with the thread it arrived on; Done() also sets `done`.
class Sink final : public ComObject<Sink, DispatchImpl<Sink, ITickerEvents>> {
  HRESULT Tick(DispatchCall& call) {
    int32_t n;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &n));
    events.push_back(n);
    threads.push_back(std::this_thread::get_id());
    if (static_cast<int32_t>(events.size()) == stopAfter && stopped) stopped->Set();
    return S_OK;
  }
  HRESULT Done(DispatchCall&) {
    events.push_back(kDone);
    threads.push_back(std::this_thread::get_id());
    done.Set();
    return S_OK;
  }

 public:
  static constexpr DispatchMember<Sink> kDispatchMembers[] = {
      DispMethod("Tick", testing::kTickerEventTick, &Sink::Tick, 1),
      DispMethod("Done", testing::kTickerEventDone, &Sink::Done),
  };

  Sink() = default;

  std::vector<int32_t> events;
  std::vector<std::thread::id> threads;
  loop::Event done;
  int32_t stopAfter = 0;  // sets *stopped once this many ticks arrived
  loop::Event* stopped = nullptr;

 private:
  ~Sink() override = default;
};

// Dispatches the calling thread's messages until `until` is set; false when the watchdog ran
// out first. Bounded in steps as well as in time.
bool PumpUntil(loop::Event& until) {
  std::shared_ptr<MessageLoop> loop = MessageLoop::ForCurrentThread();
  const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
  for (int step = 0; step < 10'000; ++step) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return false;
    switch (loop->WaitForHandleOrMessage({&until}, left)) {
      case MessageLoop::WaitResult::kSignaled:
        return true;
      case MessageLoop::WaitResult::kTimeout:
        return false;
      case MessageLoop::WaitResult::kMessage: {
        loop::Message message;
        if (loop->Peek(&message, true)) loop->Dispatch(message);
        break;
      }
    }
  }
  return false;
}

// Runs what is queued right now, without waiting for more.
void PumpPending() {
  std::shared_ptr<MessageLoop> loop = MessageLoop::ForCurrentThread();
  loop::Message message;
  for (int step = 0; step < 1000 && loop->Peek(&message, true); ++step) loop->Dispatch(message);
}

int32_t FiredOf(const ComPtr<ITicker>& ticker) {
  int32_t fired = -1;
  EXPECT_EQ(ticker->get_Fired(&fired), S_OK);
  return fired;
}

bool WaitIdle(const ComPtr<ITicker>& ticker) {
  VARIANT_BOOL idle = VARIANT_FALSE;
  EXPECT_EQ(ticker->WaitIdle(kWatchdogMs, &idle), S_OK);
  return idle == VARIANT_TRUE;
}

ComPtr<IConnectionPoint> EventsPoint(const ComPtr<ITicker>& ticker) {
  ComPtr<IConnectionPointContainer> container = ticker.As<IConnectionPointContainer>();
  ComPtr<IConnectionPoint> point;
  EXPECT_TRUE(container);
  if (container) {
    EXPECT_EQ(container->FindConnectionPoint(ITickerEvents::kIid, point.put()), S_OK);
  }
  return point;
}

class EventComponent : public ::testing::Test {
 protected:
  void SetUp() override {
    CoFreeUnusedLibraries();
    ASSERT_FALSE(testing::IsLoaded(kComponent));
    testing::ProgramResult run = testing::RunProgram({VORLANE_TEST_REGSVR, kComponent.string()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    CoFreeUnusedLibraries();
  }

  ComPtr<ITicker> Create() {
    ComPtr<ITicker> ticker;
    EXPECT_EQ(CoCreateInstance(kTickerClsid, &ticker), S_OK);
    return ticker;
  }

  testing::TempDir dir_;
  std::filesystem::path file_ = dir_ / "classes.ini";
  testing::ScopedEnv env_{"VORLANE_CLASS_REGISTRY", file_.string()};
};

TEST_F(EventComponent, RegistersAsAnApartmentClassWithAVersionIndependentProgId) {
  ClassRegistry registry(file_);
  const std::string classKey = "CLSID\\" + FormatGuidBraced(kTickerClsid);
  EXPECT_EQ(registry.GetValue(classKey + "\\InprocServer32", ""), kComponent.string());
  EXPECT_EQ(registry.GetValue(classKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(registry.GetValue("VorlaneTest.Ticker\\CurVer", ""), "VorlaneTest.Ticker.1");
}

TEST_F(EventComponent, CreatesByClsidAndByVersionIndependentProgId) {
  ComPtr<ITicker> byClsid = Create();
  ASSERT_TRUE(byClsid);
  EXPECT_TRUE(testing::IsLoaded(kComponent));

  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(std::string_view("VorlaneTest.Ticker"), &clsid), S_OK);
  EXPECT_EQ(clsid, kTickerClsid);
  ComPtr<ITicker> byProgId;
  ASSERT_EQ(CreateInstanceByProgId("VorlaneTest.Ticker", ITicker::kIid, byProgId.put_void()), S_OK);
  ASSERT_TRUE(byProgId);
  EXPECT_NE(byProgId.As<IUnknown>(), byClsid.As<IUnknown>());  // a second object
  EXPECT_TRUE(byProgId.As<IConnectionPointContainer>());
}

TEST_F(EventComponent, LateBoundAddFindsTheNameInAnyCaseAndRejectsUnknownNames) {
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(CoCreateInstance(kTickerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, dispatch.put_void()), S_OK);

  DISPID id = DISPID_UNKNOWN;
  ASSERT_EQ(GetIdOfName(dispatch.get(), u"add", &id), S_OK);
  EXPECT_EQ(id, testing::kTickerAdd);

  int32_t sum = 0;
  ASSERT_EQ(CallMethodFor(dispatch.get(), id, {Variant(int32_t{2}), Variant(int32_t{40})}, &sum), S_OK);
  EXPECT_EQ(sum, 42);

  EXPECT_EQ(GetIdOfName(dispatch.get(), u"Multiply", &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);

  // The same object through its vtable.
  ComPtr<ITicker> ticker = dispatch.As<ITicker>();
  ASSERT_TRUE(ticker);
  ASSERT_EQ(ticker->Add(-7, 10, &sum), S_OK);
  EXPECT_EQ(sum, 3);
}

TEST_F(EventComponent, EventsWaitForThePumpAndArriveInOrderOnTheClientThread) {
  ComPtr<ITicker> ticker = Create();
  ASSERT_TRUE(ticker);
  ComPtr<IConnectionPoint> point = EventsPoint(ticker);
  ASSERT_TRUE(point);
  ComPtr<Sink> sink = Make<Sink>();
  uint32_t cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<ITickerEvents*>(sink.get()), &cookie), S_OK);

  ASSERT_EQ(ticker->Start(5), S_OK);
  std::shared_ptr<MessageLoop> loop = MessageLoop::ForCurrentThread();
  // The worker's first call is queued for this thread and cannot run before it pumps.
  ASSERT_EQ(loop->WaitForHandleOrMessage({}, kWatchdog), MessageLoop::WaitResult::kMessage);
  EXPECT_TRUE(sink->events.empty());
  loop::Message message;
  ASSERT_TRUE(loop->Peek(&message, true));
  loop->Dispatch(message);
  EXPECT_THAT(sink->events, ElementsAre(1));  // one message, one event

  ASSERT_TRUE(PumpUntil(sink->done));
  EXPECT_THAT(sink->events, ElementsAre(1, 2, 3, 4, 5, kDone));
  EXPECT_THAT(sink->threads, Each(std::this_thread::get_id()));
  EXPECT_TRUE(WaitIdle(ticker));
  EXPECT_EQ(FiredOf(ticker), 6);  // Done counts as an event
  int32_t last = -1;
  EXPECT_EQ(ticker->get_LastEventResult(&last), S_OK);
  EXPECT_EQ(last, S_OK);

  // Fired read late-bound, as a property.
  int32_t value = 0;
  ASSERT_EQ(GetProperty(ticker.get(), testing::kTickerFired, &value), S_OK);
  EXPECT_EQ(value, 6);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(EventComponent, OnlyTheLatestSinkHearsAndNoneAfterItsUnadvise) {
  ComPtr<ITicker> ticker = Create();
  ASSERT_TRUE(ticker);
  ComPtr<IConnectionPoint> point = EventsPoint(ticker);
  ASSERT_TRUE(point);
  ComPtr<Sink> first = Make<Sink>();
  ComPtr<Sink> second = Make<Sink>();
  uint32_t firstCookie = 0;
  uint32_t secondCookie = 0;
  ASSERT_EQ(point->Advise(static_cast<ITickerEvents*>(first.get()), &firstCookie), S_OK);
  ASSERT_EQ(point->Advise(static_cast<ITickerEvents*>(second.get()), &secondCookie), S_OK);

  ASSERT_EQ(ticker->Start(3), S_OK);
  ASSERT_TRUE(PumpUntil(second->done));
  EXPECT_THAT(second->events, ElementsAre(1, 2, 3, kDone));
  EXPECT_TRUE(first->events.empty());
  ASSERT_TRUE(WaitIdle(ticker));
  EXPECT_EQ(FiredOf(ticker), 4);

  ASSERT_EQ(point->Unadvise(secondCookie), S_OK);
  ASSERT_EQ(ticker->Start(3), S_OK);
  ASSERT_TRUE(WaitIdle(ticker));  // finishes without anyone pumping
  EXPECT_EQ(MessageLoop::ForCurrentThread()->PendingCount(), 0u);
  EXPECT_EQ(FiredOf(ticker), 4);
  EXPECT_EQ(second->events.size(), 4u);
  EXPECT_TRUE(first->events.empty());
  int32_t last = -1;
  EXPECT_EQ(ticker->get_LastEventResult(&last), S_OK);
  EXPECT_EQ(last, S_OK);  // nothing was listening, nothing failed
  EXPECT_EQ(point->Unadvise(firstCookie), S_OK);
}

// The worker holds the last reference on the ticker while it fires: the module stays until the
// worker has ended, then unloads, and the sink gets every reference back.
TEST_F(EventComponent, ModuleUnloadsOnceTheWorkerThatOutlivedItsClientEnded) {
  ComPtr<Sink> sink = Make<Sink>();
  {
    ComPtr<ITicker> ticker = Create();
    ASSERT_TRUE(ticker);
    ComPtr<IConnectionPoint> point = EventsPoint(ticker);
    ASSERT_TRUE(point);
    uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<ITickerEvents*>(sink.get()), &cookie), S_OK);
    ASSERT_EQ(ticker->Start(2), S_OK);
    ASSERT_EQ(MessageLoop::ForCurrentThread()->WaitForHandleOrMessage({}, kWatchdog),
              MessageLoop::WaitResult::kMessage);
  }
  CoFreeUnusedLibraries();
  EXPECT_TRUE(testing::IsLoaded(kComponent));  // the worker still runs and holds the ticker

  ASSERT_TRUE(PumpUntil(sink->done));
  EXPECT_THAT(sink->events, ElementsAre(1, 2, kDone));
  {
    ComPtr<ITicker> observer = Create();  // only to wait for the module's workers
    ASSERT_TRUE(observer);
    ASSERT_TRUE(WaitIdle(observer));
  }
  PumpPending();  // a ticker released on a worker hands the sink back through this loop
  sink->AddRef();
  EXPECT_EQ(sink->Release(), 1u);
  CoFreeUnusedLibraries();
  EXPECT_FALSE(testing::IsLoaded(kComponent));
}

// A thread started with an address inside a library keeps that library loaded until the thread
// is done with it, even after every other reference on the library is gone.
TEST_F(EventComponent, ThreadKeepsTheLibraryOfItsAnchorLoaded) {
  void* library = ::dlopen(kComponent.c_str(), RTLD_NOW);
  ASSERT_NE(library, nullptr);
  const void* anchor = ::dlsym(library, "DllCanUnloadNow");
  ASSERT_NE(anchor, nullptr);
  loop::Event release;
  loop::WaitableThread thread([&release] { release.Wait(kWatchdog); }, 0, anchor);
  ::dlclose(library);
  EXPECT_TRUE(testing::IsLoaded(kComponent));
  release.Set();
  ASSERT_TRUE(thread.Join(kWatchdog));
  EXPECT_FALSE(testing::IsLoaded(kComponent));

  // Without an anchor nothing is held.
  library = ::dlopen(kComponent.c_str(), RTLD_NOW);
  ASSERT_NE(library, nullptr);
  loop::WaitableThread plain([&release] { release.Wait(kWatchdog); });
  ::dlclose(library);
  EXPECT_FALSE(testing::IsLoaded(kComponent));
  ASSERT_TRUE(plain.Join(kWatchdog));
}

// A client apartment ends while the worker still has events for it: the calls fail with
// RPC_E_DISCONNECTED instead of waiting for a pump that will never come, and the worker ends.
TEST_F(EventComponent, ClientApartmentEndingDisconnectsTheWorkersCalls) {
  ComPtr<ITicker> ticker = Create();
  ASSERT_TRUE(ticker);
  ComPtr<IConnectionPoint> point = EventsPoint(ticker);
  ASSERT_TRUE(point);
  HRESULT clientResult = E_UNEXPECTED;
  size_t clientEvents = 0;
  std::thread client([&] {
    clientResult = [&]() -> HRESULT {
      VORLANE_RETURN_IF_FAILED(CoInitialize(nullptr));
      ComPtr<Sink> sink = Make<Sink>();
      loop::Event stopped;
      sink->stopAfter = 3;
      sink->stopped = &stopped;
      uint32_t cookie = 0;
      HRESULT hr = point->Advise(static_cast<ITickerEvents*>(sink.get()), &cookie);
      if (Succeeded(hr)) hr = ticker->Start(50);
      if (Succeeded(hr) && !PumpUntil(stopped)) hr = E_ABORT;
      sink->stopped = nullptr;
      clientEvents = sink->events.size();
      CoUninitialize();  // with the fourth tick on its way or already queued
      return hr;
    }();
  });
  client.join();
  ASSERT_EQ(clientResult, S_OK);
  EXPECT_EQ(clientEvents, 3u);
  ASSERT_TRUE(WaitIdle(ticker));
  EXPECT_EQ(FiredOf(ticker), 3);
  int32_t last = S_OK;
  EXPECT_EQ(ticker->get_LastEventResult(&last), S_OK);
  EXPECT_EQ(last, RPC_E_DISCONNECTED);
}

}  // namespace
}  // namespace vorlane::com
