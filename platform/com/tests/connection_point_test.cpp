#include "platform/com/connection_point.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/com/dispatch_table.h"
#include "platform/com/error_info.h"
#include "platform/com/tests/marker_interface.h"

namespace vorlane::com {
namespace {

using ITestEvents = MarkerInterface<IDispatch, GuidLiteral("C0CC0CC0-0001-4000-8000-000000000001")>;
using IOtherEvents = MarkerInterface<IDispatch, GuidLiteral("C0CC0CC0-0002-4000-8000-000000000002")>;

enum : DISPID { kTick = 1, kAsk, kRefuse };

// An event sink that records its calls and, when told to, unadvises itself (and others) from
// inside a call, as real sinks do when an event tells them to stop listening.
class Sink final : public ComObject<Sink, DispatchImpl<Sink, ITestEvents>> {
  HRESULT Tick(DispatchCall& call) {
    int32_t n;
    std::string label;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &n));
    VORLANE_RETURN_IF_FAILED(call.Read(1, &label, ""));
    ticks.push_back(n);
    labels.push_back(label);
    for (uint32_t cookie : unadviseOnTick) (void)point->Unadvise(cookie);
    unadviseOnTick.clear();
    return S_OK;
  }
  HRESULT Ask(DispatchCall& call) { return call.Write(0, int32_t{42}); }
  HRESULT Refuse(DispatchCall&) { return SetErrorAndReturn(E_ACCESSDENIED, ITestEvents::kIid, u"Sink", u"refused"); }

 public:
  static constexpr DispatchMember<Sink> kDispatchMembers[] = {
      DispMethod("Tick", kTick, &Sink::Tick, 1, 1),
      DispMethod("Ask", kAsk, &Sink::Ask, 1),
      DispMethod("Refuse", kRefuse, &Sink::Refuse),
  };

  explicit Sink(int* destroyed = nullptr) : destroyed_(destroyed) {}

  std::vector<int32_t> ticks;
  std::vector<std::string> labels;
  ComPtr<IConnectionPoint> point;
  std::vector<uint32_t> unadviseOnTick;

 private:
  ~Sink() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  int* destroyed_;
};

class Source final : public ComObject<Source, IConnectionPointContainer> {
 public:
  explicit Source(bool* destroyed) : destroyed_(destroyed), points_(this) {
    events = &points_.Add(ITestEvents::kIid);
    (void)points_.Add(IOtherEvents::kIid);
  }
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override {
    return points_.EnumConnectionPoints(points);
  }
  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override {
    return points_.FindConnectionPoint(iid, point);
  }

  // Fires Tick(n) at every sink, on a snapshot.
  void FireTick(int32_t n) {
    for (const ComPtr<IUnknown>& sink : events->Snapshot()) (void)InvokeEvent(sink.get(), ITestEvents::kIid, kTick, {n});
  }

  ConnectionPoint* events;

 private:
  ~Source() override { *destroyed_ = true; }
  bool* destroyed_;
  ConnectionPointContainerHelper points_;
};

// Every test must leave no object alive, in this program or in the runtime.
class ConnectionPointTest : public ::testing::Test {
 protected:
  void SetUp() override { runtimeBaseline_ = RuntimeObjectCount(); }
  void TearDown() override {
    (void)SetErrorInfo(nullptr);
    EXPECT_EQ(ModuleObjectCount().load(), 0);
    EXPECT_EQ(RuntimeObjectCount(), runtimeBaseline_);
  }

  long runtimeBaseline_ = 0;
};

TEST_F(ConnectionPointTest, CookiesStartAtOneAndAreNotReused) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  ComPtr<Sink> sink = Make<Sink>();
  uint32_t cookies[3] = {};
  for (uint32_t& cookie : cookies) ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), S_OK);
  EXPECT_EQ(cookies[0], 1u);
  EXPECT_EQ(cookies[1], 2u);
  EXPECT_EQ(cookies[2], 3u);
  ASSERT_EQ(point->Unadvise(2), S_OK);
  uint32_t next = 0;
  ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &next), S_OK);
  EXPECT_EQ(next, 4u);
  EXPECT_EQ(point->ConnectionCount(), 3u);
}

TEST_F(ConnectionPointTest, SinkWithoutTheEventInterfaceCannotConnect) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  ComPtr<IErrorInfo> mute = CreateErrorInfo(ITestEvents::kIid, u"Mute", u"has no event interface");
  uint32_t cookie = 77;
  EXPECT_EQ(point->Advise(mute.get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(point->ConnectionCount(), 0u);
  EXPECT_EQ(mute->AddRef(), 2u);  // no reference kept
  mute->Release();
  ComPtr<Sink> sink = Make<Sink>();
  ComPtr<ConnectionPoint> other = Make<ConnectionPoint>(IOtherEvents::kIid);
  EXPECT_EQ(other->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), CONNECT_E_CANNOTCONNECT);
}

TEST_F(ConnectionPointTest, UnadviseOfAnUnknownCookieFails) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  ComPtr<Sink> sink = Make<Sink>();
  uint32_t cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

TEST_F(ConnectionPointTest, ConnectionHoldsTheSinkUntilUnadvise) {
  int destroyed = 0;
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  uint32_t cookie = 0;
  {
    ComPtr<Sink> sink = Make<Sink>(&destroyed);
    ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), S_OK);
  }
  EXPECT_EQ(destroyed, 0);
  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(ConnectionPointTest, FiringUsesASnapshotThatUnadviseDoesNotDisturb) {
  bool sourceGone = false;
  ComPtr<Source> source = Make<Source>(&sourceGone);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(source->FindConnectionPoint(ITestEvents::kIid, point.put()), S_OK);
  int destroyed = 0;
  ComPtr<Sink> sinks[3] = {Make<Sink>(&destroyed), Make<Sink>(&destroyed), Make<Sink>(&destroyed)};
  uint32_t cookies[3] = {};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sinks[i].get()), &cookies[i]), S_OK);
  // The first sink, when called, removes itself and the last one.
  sinks[0]->point = point;
  sinks[0]->unadviseOnTick = {cookies[0], cookies[2]};
  sinks[2].reset();  // now only the connection keeps it alive

  source->FireTick(1);
  EXPECT_EQ(sinks[0]->ticks, std::vector<int32_t>{1});
  EXPECT_EQ(sinks[1]->ticks, std::vector<int32_t>{1});
  EXPECT_EQ(destroyed, 1);  // the third was called with the snapshot's reference, then let go

  source->FireTick(2);
  EXPECT_EQ(sinks[0]->ticks, std::vector<int32_t>{1});
  EXPECT_EQ(sinks[1]->ticks, (std::vector<int32_t>{1, 2}));
  sinks[0]->point.reset();
}

TEST_F(ConnectionPointTest, InvokeEventPassesArgumentsInOrderAndReadsOutArguments) {
  ComPtr<Sink> sink = Make<Sink>();
  IUnknown* asUnknown = static_cast<ITestEvents*>(sink.get());
  ASSERT_EQ(InvokeEvent(asUnknown, ITestEvents::kIid, kTick, {7, u"seven"}), S_OK);
  EXPECT_EQ(sink->ticks, std::vector<int32_t>{7});
  EXPECT_EQ(sink->labels, std::vector<std::string>{"seven"});
  int32_t answer = 0;
  ASSERT_EQ(InvokeEvent(asUnknown, ITestEvents::kIid, kAsk, {Variant::ByRef(&answer)}), S_OK);
  EXPECT_EQ(answer, 42);
  std::vector<Variant> args{Variant(8)};
  ASSERT_EQ(InvokeEvent(asUnknown, ITestEvents::kIid, kTick, args), S_OK);
  EXPECT_EQ(sink->ticks, (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(InvokeEvent(asUnknown, IOtherEvents::kIid, kTick, {1}), E_NOINTERFACE);
  EXPECT_EQ(InvokeEvent(nullptr, ITestEvents::kIid, kTick, {1}), E_POINTER);
}

TEST_F(ConnectionPointTest, InvokeEventTurnsTheSinksExceptionIntoErrorInformation) {
  ComPtr<Sink> sink = Make<Sink>();
  EXPECT_EQ(InvokeEvent(static_cast<ITestEvents*>(sink.get()), ITestEvents::kIid, kRefuse), E_ACCESSDENIED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(info.put()), S_OK);
  Bstr description;
  ASSERT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(description, u"refused");
}

TEST_F(ConnectionPointTest, EnumConnectionsListsASnapshot) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  ComPtr<Sink> a = Make<Sink>(), b = Make<Sink>();
  uint32_t cookieA = 0, cookieB = 0;
  ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(a.get()), &cookieA), S_OK);
  ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(b.get()), &cookieB), S_OK);
  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.put()), S_OK);
  ASSERT_EQ(point->Unadvise(cookieA), S_OK);  // after the snapshot: it still lists both

  CONNECTDATA data[4] = {};
  uint32_t fetched = 0;
  EXPECT_EQ(connections->Next(4, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(data[0].dwCookie, cookieA);
  EXPECT_EQ(data[0].pUnk, static_cast<IUnknown*>(static_cast<ITestEvents*>(a.get())));
  EXPECT_EQ(data[1].dwCookie, cookieB);
  for (uint32_t i = 0; i < fetched; ++i) data[i].pUnk->Release();

  EXPECT_EQ(connections->Reset(), S_OK);
  EXPECT_EQ(connections->Skip(1), S_OK);
  ComPtr<IEnumConnections> clone;
  ASSERT_EQ(connections->Clone(clone.put()), S_OK);
  EXPECT_EQ(clone->Next(1, data, nullptr), S_OK);  // the clone starts where the original was
  EXPECT_EQ(data[0].dwCookie, cookieB);
  data[0].pUnk->Release();
  EXPECT_EQ(clone->Skip(1), S_FALSE);
  EXPECT_EQ(clone->Next(2, data, nullptr), E_POINTER);
}

TEST_F(ConnectionPointTest, ContainerFindsAndListsItsPoints) {
  bool sourceGone = false;
  ComPtr<Source> source = Make<Source>(&sourceGone);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(source->FindConnectionPoint(IOtherEvents::kIid, point.put()), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IOtherEvents::kIid);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(point->GetConnectionPointContainer(container.put()), S_OK);
  EXPECT_EQ(container.get(), static_cast<IConnectionPointContainer*>(source.get()));
  EXPECT_EQ(source->FindConnectionPoint(IDispatch::kIid, point.put()), CONNECT_E_NOCONNECTION);
  EXPECT_FALSE(point);

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(source->EnumConnectionPoints(points.put()), S_OK);
  IConnectionPoint* listed[3] = {};
  uint32_t fetched = 0;
  EXPECT_EQ(points->Next(3, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  for (uint32_t i = 0; i < fetched; ++i) {
    EXPECT_EQ(listed[i]->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, i == 0 ? ITestEvents::kIid : IOtherEvents::kIid);
    listed[i]->Release();
  }
}

TEST_F(ConnectionPointTest, PointOutlivingItsContainerLetsGo) {
  bool sourceGone = false;
  int destroyed = 0;
  ComPtr<IConnectionPoint> point;
  {
    ComPtr<Source> source = Make<Source>(&sourceGone);
    ASSERT_EQ(source->FindConnectionPoint(ITestEvents::kIid, point.put()), S_OK);
    ComPtr<Sink> sink = Make<Sink>(&destroyed);
    uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), S_OK);
  }
  EXPECT_TRUE(sourceGone);
  EXPECT_EQ(destroyed, 1);  // the sink was released along with the container
  ComPtr<IConnectionPointContainer> container;
  EXPECT_EQ(point->GetConnectionPointContainer(container.put()), E_UNEXPECTED);
  EXPECT_FALSE(container);
  ComPtr<Sink> late = Make<Sink>();
  uint32_t cookie = 0;
  EXPECT_EQ(point->Advise(static_cast<ITestEvents*>(late.get()), &cookie), E_UNEXPECTED);
}

TEST_F(ConnectionPointTest, HooksSeeConnectionsInOrder) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  std::vector<std::pair<char, uint32_t>> seen;
  std::vector<size_t> sizesSeen;
  IUnknown* lastSink = nullptr;
  point->SetHooks({[&](uint32_t cookie, IUnknown* sink) {
                     seen.emplace_back('+', cookie);
                     lastSink = sink;
                     sizesSeen.push_back(point->Snapshot().size());  // no deadlock: the list is not locked
                     return S_OK;
                   },
                   [&](uint32_t cookie) { seen.emplace_back('?', cookie); },
                   [&](uint32_t cookie) { seen.emplace_back('-', cookie); }});
  ComPtr<Sink> sink = Make<Sink>();
  uint32_t first = 0, second = 0;
  ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &first), S_OK);
  ASSERT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &second), S_OK);
  ASSERT_EQ(point->Unadvise(first), S_OK);
  EXPECT_EQ(point->Unadvise(first), CONNECT_E_NOCONNECTION);  // asked about, never removed
  EXPECT_EQ(seen, (std::vector<std::pair<char, uint32_t>>{{'+', 1}, {'+', 2}, {'?', 1}, {'-', 1}, {'?', 1}}));
  EXPECT_EQ(sizesSeen, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(lastSink, static_cast<IUnknown*>(static_cast<ITestEvents*>(sink.get())));
  point->Disconnect();  // drops the hooks (which refer to this frame) and the sinks
  EXPECT_EQ(point->ConnectionCount(), 0u);
}

TEST_F(ConnectionPointTest, RefusingHookTakesTheConnectionBack) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(ITestEvents::kIid);
  point->SetHooks({[](uint32_t, IUnknown*) { return E_OUTOFMEMORY; }, nullptr, nullptr});
  int destroyed = 0;
  ComPtr<Sink> sink = Make<Sink>(&destroyed);
  uint32_t cookie = 99;
  EXPECT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), E_OUTOFMEMORY);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(point->ConnectionCount(), 0u);
  point->SetHooks({[](uint32_t, IUnknown*) -> HRESULT { throw std::runtime_error("hook"); }, nullptr, nullptr});
  EXPECT_EQ(point->Advise(static_cast<ITestEvents*>(sink.get()), &cookie), E_FAIL);
  EXPECT_EQ(point->ConnectionCount(), 0u);
  sink = nullptr;
  EXPECT_EQ(destroyed, 1);  // the point kept no reference
  point->Disconnect();
}

}  // namespace
}  // namespace vorlane::com
