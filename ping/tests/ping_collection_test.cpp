// The ping collection as its clients use it: created by class id, elements keyed and found,
// PingDone delivered to the most recently advised sink in the client's apartment; and the
// arithmetic with which a job turns its frames into results.
#include "ping/ping_collection.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ping/ping_worker.h"
#include "ping/sondrel.h"
#include "ping/tests/private_network.h"
#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/error_info.h"
#include "platform/com/registry.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "testing/debug_capture.h"
#include "testing/loop_pump.h"
#include "testing/poll_until.h"

namespace vorlane::ping {
namespace {

using namespace vorlane::com;
using namespace std::chrono_literals;

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new testing::PrivateNetworkEnvironment);

// Receives PingDone and notes where and with what it came.
class PingDoneSink final : public ComObject<PingDoneSink, DispatchImpl<PingDoneSink, ItqCollPingsEvents>> {
  HRESULT InvokePingDone(DispatchCall& call) {
    int32_t id = -2;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &id));
    {
      std::lock_guard guard(lock_);
      ids_.push_back(id);
      threads_.push_back(std::this_thread::get_id());
    }
    if (onDone) onDone(id);
    return S_OK;
  }

 public:
  static constexpr DispatchMember<PingDoneSink> kDispatchMembers[] = {
      DispMethod("PingDone", kEventPingDone, &PingDoneSink::InvokePingDone, 1),
  };

  std::vector<int32_t> Ids() {
    std::lock_guard guard(lock_);
    return ids_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard guard(lock_);
    return threads_;
  }

  std::function<void(int32_t)> onDone;

 private:
  ~PingDoneSink() override = default;
  std::mutex lock_;
  std::vector<int32_t> ids_;
  std::vector<std::thread::id> threads_;
};

int32_t IdOf(ItqPing* element) {
  int32_t id = -99;
  EXPECT_EQ(element->get_ID(&id), S_OK);
  return id;
}

bool Running(ItqPing* element) {
  VARIANT_BOOL running = 0;
  EXPECT_EQ(element->get_IsRunning(&running), S_OK);
  return running == VARIANT_TRUE;
}

std::string ErrorMessageOf(ItqPing* element) {
  Bstr text;
  EXPECT_EQ(element->get_ErrorMessage(text.put()), S_OK);
  return text.ToUtf8();
}

class PingCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    loop_ = loop::MessageLoop::ForCurrentThread();
    ASSERT_EQ(CoCreateInstance(kCollPingsClsid, &collection_), S_OK);
    ASSERT_TRUE(collection_);
  }
  void TearDown() override {
    // Every job must have ended (and been announced) before the apartment goes.
    WaitAllEnded();
    collection_.reset();
    CoUninitialize();
  }

  ComPtr<ItqPing> Add() {
    ComPtr<ItqPing> element;
    EXPECT_EQ(collection_->Add(element.put()), S_OK);
    return element;
  }

  int32_t Count() {
    int32_t count = -1;
    EXPECT_EQ(collection_->get_Count(&count), S_OK);
    return count;
  }

  bool CollectionRunning() {
    VARIANT_BOOL running = 0;
    EXPECT_EQ(collection_->get_IsRunning(&running), S_OK);
    return running == VARIANT_TRUE;
  }

  ComPtr<IConnectionPoint> EventPoint() {
    ComPtr<IConnectionPointContainer> container = collection_.As<IConnectionPointContainer>();
    EXPECT_TRUE(container);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(ItqCollPingsEvents::kIid, point.put()), S_OK);
    return point;
  }
  // Advises `sink` on the collection's event point; the cookie.
  uint32_t Advise(IUnknown* sink, HRESULT expected = S_OK) {
    uint32_t cookie = 77;
    EXPECT_EQ(EventPoint()->Advise(sink, &cookie), expected);
    return cookie;
  }
  HRESULT Unadvise(uint32_t cookie) { return EventPoint()->Unadvise(cookie); }

  static HRESULT PingHost(ItqPing* element, const char* host, int32_t frames = 1, int32_t timeoutMs = 2000) {
    Bstr name = Bstr::FromUtf8(host);
    return element->Ping(name.get(), 32, frames, timeoutMs, 0, VARIANT_FALSE, VARIANT_FALSE);
  }

  // Dispatches this apartment's messages until `done` or `limit` passes.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
    return testkit::PumpUntil(*loop_, done, limit, 5ms);
  }

  void WaitAllEnded() {
    if (collection_) {
      EXPECT_TRUE(PumpUntil([&] { return !CollectionRunning(); }));
    }
  }

  std::shared_ptr<loop::MessageLoop> loop_;
  ComPtr<ItqCollPings> collection_;
};

// ------------------------------------------------------------------------- no ICMP

// A process that may open neither a raw nor a datagram ICMP socket cannot have elements: the
// element's creation fails, and so does the collection's Add, which leaves the map unchanged.
// Runs first, in a child forked while the test program has a single thread.
TEST(PingWithoutIcmp, ElementsCannotBeCreated) {
  REQUIRE_PRIVATE_NETWORK();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A network namespace of its own, where no group may use datagram ICMP sockets.
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(10);
    if (!testing::WriteFile("/proc/sys/net/ipv4/ping_group_range", "1 0")) ::_exit(11);
    if (!testing::DropRawSocketCapability()) ::_exit(12);
    if (Failed(CoInitialize(nullptr))) ::_exit(13);
    ComPtr<ItqPing> alone;
    if (CoCreateInstance(kPingClsid, &alone) != E_FAIL) ::_exit(14);
    ComPtr<ItqCollPings> collection;
    if (CoCreateInstance(kCollPingsClsid, &collection) != S_OK) ::_exit(15);
    ComPtr<ItqPing> element;
    if (collection->Add(element.put()) != E_FAIL || element) ::_exit(16);
    int32_t count = -1;
    if (collection->get_Count(&count) != S_OK || count != 0) ::_exit(17);
    ::_exit(0);
  }
  EXPECT_EQ(testing::WaitChild(child, 20s), 0) << "see the exit codes in the child's steps";
}

// ------------------------------------------------------------------------- keying

TEST_F(PingCollectionTest, IdsGrowAndStartAgainOnlyWhenEmpty) {
  ComPtr<ItqPing> first = Add();
  ComPtr<ItqPing> second = Add();
  EXPECT_EQ(IdOf(first.get()), 0);
  EXPECT_EQ(IdOf(second.get()), 1);
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(collection_->Remove(0), S_OK);
  EXPECT_EQ(IdOf(first.get()), -1);  // the element has left
  EXPECT_EQ(collection_->Remove(1), S_OK);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(IdOf(Add().get()), 0);  // empty: numbering starts again
  EXPECT_EQ(IdOf(Add().get()), 1);
  EXPECT_EQ(collection_->Remove(0), S_OK);
  EXPECT_EQ(IdOf(Add().get()), 2);  // not empty: no id is reused
  EXPECT_EQ(Count(), 2);

  EXPECT_EQ(collection_->Remove(7), S_FALSE);
  EXPECT_EQ(collection_->Remove(0), S_FALSE);  // already gone
  EXPECT_EQ(Count(), 2);
}

TEST_F(PingCollectionTest, ItemAndAtFindElementsByIdAndPosition) {
  ComPtr<ItqPing> a = Add(), b = Add(), c = Add();
  ASSERT_EQ(collection_->Remove(1), S_OK);

  ComPtr<ItqPing> found;
  ASSERT_EQ(collection_->Item(2, found.put()), S_OK);
  EXPECT_EQ(found.get(), c.get());
  EXPECT_EQ(collection_->Item(1, found.put()), DISP_E_BADINDEX);
  EXPECT_FALSE(found);

  ASSERT_EQ(collection_->At(0, found.put()), S_OK);
  EXPECT_EQ(found.get(), a.get());
  ASSERT_EQ(collection_->At(1, found.put()), S_OK);
  EXPECT_EQ(found.get(), c.get());
  EXPECT_EQ(collection_->At(2, found.put()), DISP_E_BADINDEX);
  EXPECT_EQ(collection_->At(-1, found.put()), DISP_E_BADINDEX);

  ASSERT_EQ(collection_->Clear(), S_OK);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(IdOf(a.get()), -1);
  EXPECT_EQ(IdOf(c.get()), -1);
  EXPECT_EQ(IdOf(Add().get()), 0);
}

TEST_F(PingCollectionTest, NullOutArgumentsAreRefused) {
  EXPECT_EQ(collection_->get_Count(nullptr), E_POINTER);
  EXPECT_EQ(collection_->Add(nullptr), E_POINTER);
  EXPECT_EQ(collection_->Item(0, nullptr), E_POINTER);
  EXPECT_EQ(collection_->At(0, nullptr), E_POINTER);
  EXPECT_EQ(collection_->get_IsRunning(nullptr), E_POINTER);
  EXPECT_EQ(collection_->get_AllChecked(nullptr), E_POINTER);
  EXPECT_EQ(Count(), 0);  // the refused Add added nothing
}

TEST_F(PingCollectionTest, AllCheckedAndIsRunningWalkTheElements) {
  VARIANT_BOOL all = 0;
  ASSERT_EQ(collection_->get_AllChecked(&all), S_OK);
  EXPECT_EQ(all, VARIANT_TRUE);  // nothing unchecked in an empty collection
  EXPECT_FALSE(CollectionRunning());

  ComPtr<ItqPing> a = Add(), b = Add();
  ASSERT_EQ(a->put_Checked(VARIANT_TRUE), S_OK);
  ASSERT_EQ(collection_->get_AllChecked(&all), S_OK);
  EXPECT_EQ(all, VARIANT_FALSE);
  ASSERT_EQ(b->put_Checked(VARIANT_TRUE), S_OK);
  ASSERT_EQ(collection_->get_AllChecked(&all), S_OK);
  EXPECT_EQ(all, VARIANT_TRUE);
}

TEST_F(PingCollectionTest, IsRunningWhileAnyElementPings) {
  REQUIRE_PRIVATE_NETWORK();
  testing::PingNamespace silent;  // the kernel does not answer there and no responder runs
  ASSERT_TRUE(silent.ok()) << silent.error();
  ComPtr<ItqPing> idle = Add(), busy = Add();
  ASSERT_EQ(PingHost(busy.get(), silent.remoteAddress().c_str(), 1, 400), S_OK);
  EXPECT_TRUE(CollectionRunning());
  EXPECT_TRUE(Running(busy.get()));
  EXPECT_FALSE(Running(idle.get()));
  ASSERT_TRUE(PumpUntil([&] { return !CollectionRunning(); }));
  EXPECT_EQ(ErrorMessageOf(busy.get()), "1: Request Timed Out#");
}

TEST_F(PingCollectionTest, LateBoundMembersHaveTheirIds) {
  ComPtr<IDispatch> dispatch = collection_.As<IDispatch>();
  ASSERT_TRUE(dispatch);
  const std::vector<std::pair<std::u16string, DISPID>> expected = {{u"Count", 1},     {u"Add", 2},       {u"Remove", 3},
                                                                   {u"item", 0},      {u"At", 4},        {u"Clear", 5},
                                                                   {u"IsRunning", 6}, {u"AllChecked", 8}};
  for (auto [name, id] : expected) {
    OLECHAR* names[] = {name.data()};
    DISPID found = -7;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0x400, &found), S_OK);
    EXPECT_EQ(found, id);
  }

  DISPPARAMS none{};
  Variant added;
  ASSERT_EQ(dispatch->Invoke(kCollAdd, IID_NULL, 0x400, DISPATCH_METHOD, &none, added.put(), nullptr, nullptr), S_OK);
  ASSERT_EQ(added.get()->vt, VT_DISPATCH);
  ComPtr<ItqPing> element;
  ASSERT_EQ(added.get()->pdispVal->QueryInterface(ItqPing::kIid, element.put_void()), S_OK);
  EXPECT_EQ(IdOf(element.get()), 0);

  Variant count;
  ASSERT_EQ(dispatch->Invoke(kCollCount, IID_NULL, 0x400, DISPATCH_PROPERTYGET, &none, count.put(), nullptr, nullptr),
            S_OK);
  EXPECT_EQ(count.get()->vt, VT_I4);
  EXPECT_EQ(count.get()->lVal, 1);

  Variant badIndex(int32_t{5});
  DISPPARAMS one{};
  one.rgvarg = badIndex.get();
  one.cArgs = 1;
  Variant ignored;
  EXPECT_EQ(dispatch->Invoke(kCollItem, IID_NULL, 0x400, DISPATCH_METHOD, &one, ignored.put(), nullptr, nullptr),
            DISP_E_BADINDEX);

  ComPtr<ISupportErrorInfo> support = collection_.As<ISupportErrorInfo>();
  ASSERT_TRUE(support);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(ItqCollPings::kIid), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(ItqPing::kIid), S_FALSE);
}

TEST(PingRegistration, BothClassesAndTheTypeLibraryAreRegistered) {
  ClassRegistry registry(ClassRegistryPath());
  struct Expected {
    CLSID clsid;
    std::string description, progId, independent;
  };
  for (const Expected& c :
       {Expected{kCollPingsClsid, "tqCollPings Class", "Sondrel.tqCollPings.1", "Sondrel.tqCollPings"},
        Expected{kPingClsid, "tqPing Class", "Sondrel.tqPing.1", "Sondrel.tqPing"}}) {
    const std::string key = "CLSID\\" + FormatGuidBraced(c.clsid);
    EXPECT_EQ(registry.GetValue(key, ""), c.description);
    EXPECT_EQ(registry.GetValue(key + "\\ProgID", ""), c.progId);
    EXPECT_EQ(registry.GetValue(key + "\\VersionIndependentProgID", ""), c.independent);
    EXPECT_TRUE(registry.KeyExists(key + "\\Programmable"));
    EXPECT_EQ(registry.GetValue(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
    const std::string module = registry.GetValue(key + "\\InprocServer32", "").value_or("");
    EXPECT_TRUE(module.ends_with("/libsondrel.so")) << module;
    EXPECT_EQ(registry.GetValue(key + "\\TypeLib", ""), "{99A5DA9A-1005-4958-A7A9-489321FA1190}");
    EXPECT_EQ(registry.GetValue(c.progId, ""), c.description);
    EXPECT_EQ(registry.GetValue(c.independent + "\\CurVer", ""), c.progId);
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(c.independent, &found), S_OK);
    EXPECT_EQ(found, c.clsid);
  }
  EXPECT_EQ(registry.GetValue("TypeLib\\{99A5DA9A-1005-4958-A7A9-489321FA1190}\\1.0", ""), "Sondrel 1.0 Type Library");
}

// ------------------------------------------------------------------------- PingDone

TEST_F(PingCollectionTest, PingDoneReachesTheSinkOnItsThreadWhileTheElementStillRuns) {
  REQUIRE_PRIVATE_NETWORK();
  ComPtr<PingDoneSink> sink = Make<PingDoneSink>();
  std::vector<bool> runningAtNotice;
  sink->onDone = [&](int32_t id) {
    ComPtr<ItqPing> element;
    ASSERT_EQ(collection_->Item(id, element.put()), S_OK);
    runningAtNotice.push_back(Running(element.get()));
  };
  const uint32_t cookie = Advise(static_cast<ItqCollPingsEvents*>(sink.get()));
  EXPECT_NE(cookie, 0u);
  ComPtr<ItqPing> zero = Add(), one = Add();
  ASSERT_EQ(PingHost(one.get(), "127.0.0.1", 2), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !sink->Ids().empty() && !Running(one.get()); }));
  EXPECT_EQ(sink->Ids(), std::vector<int32_t>{1});
  EXPECT_EQ(sink->Threads(), std::vector<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(runningAtNotice, std::vector<bool>{true});  // announced before it stops running
  int16_t percent = 0;
  ASSERT_EQ(one->get_SucceededPercent(&percent), S_OK);
  EXPECT_EQ(percent, 100);
  EXPECT_EQ(Unadvise(cookie), S_OK);
  sink->onDone = nullptr;
}

TEST_F(PingCollectionTest, OnlyTheLastAdvisedSinkHearsAndAnyUnadviseSilencesIt) {
  REQUIRE_PRIVATE_NETWORK();
  ComPtr<PingDoneSink> first = Make<PingDoneSink>(), second = Make<PingDoneSink>(), third = Make<PingDoneSink>();
  const uint32_t firstCookie = Advise(static_cast<ItqCollPingsEvents*>(first.get()));
  const uint32_t secondCookie = Advise(static_cast<ItqCollPingsEvents*>(second.get()));
  EXPECT_NE(firstCookie, secondCookie);
  ComPtr<ItqPing> element = Add();

  ASSERT_EQ(PingHost(element.get(), "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !second->Ids().empty() && !Running(element.get()); }));
  EXPECT_TRUE(first->Ids().empty());

  // Taking back the older connection silences the newer one too.
  EXPECT_EQ(Unadvise(firstCookie), S_OK);
  ASSERT_EQ(PingHost(element.get(), "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !Running(element.get()); }));
  loop_->PumpStep(20ms);
  EXPECT_EQ(second->Ids().size(), 1u);
  EXPECT_TRUE(first->Ids().empty());

  // An unknown cookie is refused, and still clears the slot.
  const uint32_t thirdCookie = Advise(static_cast<ItqCollPingsEvents*>(third.get()));
  EXPECT_EQ(Unadvise(12345), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(PingHost(element.get(), "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !Running(element.get()); }));
  loop_->PumpStep(20ms);
  EXPECT_TRUE(third->Ids().empty());

  // A new Advise brings delivery back.
  EXPECT_EQ(Unadvise(thirdCookie), S_OK);
  const uint32_t again = Advise(static_cast<ItqCollPingsEvents*>(third.get()));
  ASSERT_EQ(PingHost(element.get(), "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !third->Ids().empty() && !Running(element.get()); }));
  EXPECT_EQ(third->Ids(), std::vector<int32_t>{0});
  EXPECT_EQ(Unadvise(secondCookie), S_OK);
  EXPECT_EQ(Unadvise(again), S_OK);
}

TEST_F(PingCollectionTest, SinkWithoutTheEventInterfaceIsRefused) {
  // Any object without the event interface, here one of the runtime's own.
  ComPtr<IErrorInfo> other = CreateErrorInfo(ItqCollPings::kIid, u"test", u"not a sink");
  EXPECT_EQ(Advise(other.get(), CONNECT_E_CANNOTCONNECT), 0u);
  EXPECT_EQ(Advise(nullptr, E_POINTER), 0u);
}

TEST_F(PingCollectionTest, WithoutSinkAFinishedPingStillEnds) {
  REQUIRE_PRIVATE_NETWORK();
  ComPtr<ItqPing> element = Add();
  ASSERT_EQ(PingHost(element.get(), "127.0.0.1", 3), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !Running(element.get()); }));
  int16_t percent = 0;
  ASSERT_EQ(element->get_SucceededPercent(&percent), S_OK);
  EXPECT_EQ(percent, 100);
}

TEST_F(PingCollectionTest, RemovedElementFinishesWithoutAnnouncement) {
  REQUIRE_PRIVATE_NETWORK();
  testing::PingNamespace silent;
  ASSERT_TRUE(silent.ok()) << silent.error();
  ComPtr<PingDoneSink> sink = Make<PingDoneSink>();
  const uint32_t cookie = Advise(static_cast<ItqCollPingsEvents*>(sink.get()));
  ComPtr<ItqPing> leaving = Add(), staying = Add();
  ASSERT_EQ(PingHost(leaving.get(), silent.remoteAddress().c_str(), 2, 400), S_OK);
  ASSERT_EQ(collection_->Remove(0), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !Running(leaving.get()); }));
  EXPECT_EQ(ErrorMessageOf(leaving.get()), "1: Request Timed Out#2: Request Timed Out#");  // results stored
  loop_->PumpStep(20ms);
  EXPECT_TRUE(sink->Ids().empty());

  ASSERT_EQ(PingHost(staying.get(), "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !sink->Ids().empty() && !Running(staying.get()); }));
  EXPECT_EQ(sink->Ids(), std::vector<int32_t>{1});
  EXPECT_EQ(Unadvise(cookie), S_OK);
}

TEST_F(PingCollectionTest, ParallelJobsAreAnnouncedOneEach) {
  REQUIRE_PRIVATE_NETWORK();
  ComPtr<PingDoneSink> sink = Make<PingDoneSink>();
  // A sink that works on the collection while it is told: no lock is held against it.
  sink->onDone = [&](int32_t id) {
    ComPtr<ItqPing> element;
    EXPECT_EQ(collection_->Item(id, element.put()), S_OK);
    VARIANT_BOOL all = 0;
    EXPECT_EQ(collection_->get_AllChecked(&all), S_OK);
    if (element) {
      EXPECT_EQ(element->put_Checked(VARIANT_TRUE), S_OK);
    }
  };
  const uint32_t cookie = Advise(static_cast<ItqCollPingsEvents*>(sink.get()));
  constexpr int kJobs = 6;
  std::vector<ComPtr<ItqPing>> elements;
  for (int i = 0; i < kJobs; ++i) elements.push_back(Add());
  for (auto& e : elements) ASSERT_EQ(PingHost(e.get(), "127.0.0.1", 3), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Ids().size() == kJobs && !CollectionRunning(); }));
  std::vector<int32_t> ids = sink->Ids();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
  VARIANT_BOOL all = 0;
  ASSERT_EQ(collection_->get_AllChecked(&all), S_OK);
  EXPECT_EQ(all, VARIANT_TRUE);
  EXPECT_EQ(Unadvise(cookie), S_OK);
  sink->onDone = nullptr;
}

// Twenty jobs at once, each against a responder of its own that drops its own share of frames
// after its own delay: every job counts exactly its responder's answers, none takes another's.
TEST_F(PingCollectionTest, TwentyJobsAtOnceEachGetOnlyTheirOwnReplies) {
  REQUIRE_PRIVATE_NETWORK();
  constexpr int kJobs = 20;
  const char* patterns[] = {"11111", "01111", "00111", "00011", "00001"};
  std::vector<std::unique_ptr<testing::PingNamespace>> networks;
  for (int i = 0; i < kJobs; ++i) {
    networks.push_back(std::make_unique<testing::PingNamespace>());
    ASSERT_TRUE(networks.back()->ok()) << networks.back()->error();
    ASSERT_TRUE(networks.back()->StartResponder(
        VORLANE_ICMP_RESPONDER, {"--answer-pattern", patterns[i % 5], "--delay-ms", std::to_string(i % 4 * 15)}))
        << networks.back()->error();
  }
  ComPtr<PingDoneSink> sink = Make<PingDoneSink>();
  const uint32_t cookie = Advise(static_cast<ItqCollPingsEvents*>(sink.get()));
  std::vector<ComPtr<ItqPing>> elements;
  for (int i = 0; i < kJobs; ++i) elements.push_back(Add());
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_EQ(PingHost(elements[i].get(), networks[i]->remoteAddress().c_str(), 5, 2500), S_OK);
  }
  ASSERT_TRUE(PumpUntil([&] { return sink->Ids().size() == kJobs && !CollectionRunning(); }, 30s));

  for (int i = 0; i < kJobs; ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    const int dropped = i % 5;
    int16_t percent = -1;
    int32_t average = -1;
    ASSERT_EQ(elements[i]->get_SucceededPercent(&percent), S_OK);
    ASSERT_EQ(elements[i]->get_AverageRoundTrip(&average), S_OK);
    EXPECT_EQ(percent, (5 - dropped) * 20);
    EXPECT_GE(average, i % 4 * 15);
    EXPECT_LT(average, i % 4 * 15 + 400);
    std::string expected;
    for (int frame = 1; frame <= dropped; ++frame) expected += std::to_string(frame) + ": Request Timed Out#";
    EXPECT_EQ(ErrorMessageOf(elements[i].get()), expected);
    Bstr address;
    ASSERT_EQ(elements[i]->get_HostTcpIp(address.put()), S_OK);
    EXPECT_EQ(address.ToUtf8(), networks[i]->remoteAddress());
  }
  EXPECT_EQ(Unadvise(cookie), S_OK);
}

using testkit::DebugCapture;

TEST_F(PingCollectionTest, SinkThatDoesNotAnswerIsGivenUpAfterTheLimit) {
  REQUIRE_PRIVATE_NETWORK();
  DebugCapture debug;
  ComPtr<PingDoneSink> sink = Make<PingDoneSink>();
  const uint32_t cookie = Advise(static_cast<ItqCollPingsEvents*>(sink.get()));
  ComPtr<ItqPing> element = Add();
  ASSERT_EQ(PingHost(element.get(), "127.0.0.1"), S_OK);

  // This apartment takes no messages for longer than the limit: the call cannot get in.
  testkit::PollUntil([&] { return !Running(element.get()); }, kNotificationLimit + 5s, 50ms);
  ASSERT_FALSE(Running(element.get()));
  EXPECT_TRUE(sink->Ids().empty());
  EXPECT_EQ(ErrorMessageOf(element.get()), " The Fire_PingDone was terminated by the threading Ping!");
  EXPECT_NE(debug.Text().find("Ping The Fire_PingDone was terminated by the threading Ping!"), std::string::npos);

  // The given-up notification was not killed: once messages flow it still arrives, and the
  // next job is announced as usual.
  ASSERT_TRUE(PumpUntil([&] { return sink->Ids().size() == 1; }));
  ASSERT_EQ(PingHost(element.get(), "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Ids().size() == 2 && !Running(element.get()); }));
  EXPECT_EQ(sink->Ids(), (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(ErrorMessageOf(element.get()), "");
  EXPECT_EQ(Unadvise(cookie), S_OK);
}

// Ends the program when the test body has not finished in time, so that a deadlock fails the
// test instead of hanging the run.
class HangWatchdog {
 public:
  explicit HangWatchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock guard(lock_);
          if (!changed_.wait_for(guard, limit, [&] { return finished_; })) {
            std::fprintf(stderr, "watchdog: test still running after %lld s, deadlocked\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
          }
        }) {}
  HangWatchdog(const HangWatchdog&) = delete;
  HangWatchdog& operator=(const HangWatchdog&) = delete;
  ~HangWatchdog() {
    {
      std::lock_guard guard(lock_);
      finished_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool finished_ = false;  // guarded by lock_
  std::thread thread_;
};

// The thread that is announcing pumps its messages; a sink in its apartment that, while told,
// has the same collection announce again (on that same thread) is let in, not left waiting for
// the turn its own caller holds. Both announcements arrive, in order, and neither is given up.
TEST_F(PingCollectionTest, AnnouncementAskedForFromInsideTheSinkIsDeliveredNotDeadlocked) {
  HangWatchdog watchdog(60s);
  DebugCapture debug;
  ComPtr<PingCollection> direct = Make<PingCollection>();
  ComPtr<IConnectionPointContainer> container = direct.As<IConnectionPointContainer>();
  ASSERT_TRUE(container);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(ItqCollPingsEvents::kIid, point.put()), S_OK);
  ComPtr<PingDoneSink> sink = Make<PingDoneSink>();
  uint32_t cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<ItqCollPingsEvents*>(sink.get()), &cookie), S_OK);

  std::vector<HRESULT> nested;
  sink->onDone = [&](int32_t id) {
    if (id == 1) nested.push_back(direct->NotifyPingDone(2));
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(direct->NotifyPingDone(1), S_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kNotificationLimit);  // nothing was given up
  EXPECT_EQ(nested, std::vector<HRESULT>{S_OK});
  EXPECT_EQ(sink->Ids(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(sink->Threads(), (std::vector<std::thread::id>(2, std::this_thread::get_id())));

  // The turn is free again afterwards: a later announcement goes through as usual.
  sink->onDone = nullptr;
  EXPECT_EQ(direct->NotifyPingDone(3), S_OK);
  EXPECT_EQ(sink->Ids(), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(direct->NotifyPingDone(-1), S_FALSE);
  EXPECT_EQ(debug.Text().find("Fire_PingDone"), std::string::npos);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

// ------------------------------------------------------------------------- results

sockaddr_storage V4(const char* text) { return testing::Ipv4Address(text); }

EchoReply Answer(uint32_t roundTripMs, const char* from = "10.0.0.2", uint32_t status = kStatusSuccess,
                 uint8_t tos = 0) {
  const sockaddr_storage sender =
      std::string(from).find(':') == std::string::npos ? V4(from) : testing::Ipv6Address(from);
  return {.status = status, .from = sender, .roundTripMs = roundTripMs, .tos = tos, .gotReply = true};
}

PingJob Job(int32_t frames, int32_t maxTimeout, bool ipV6 = false) {
  PingJob job;
  job.sendTimes = frames;
  job.maxTimeout = maxTimeout;
  job.ipV6 = ipV6;
  return job;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += static_cast<char>(c);
  return out;
}

// A frame as the worker hands it to the tally: a reply, or none and a status. `goesOn` is what
// Reply must answer, where the case says.
struct Frame {
  std::optional<EchoReply> reply;
  uint32_t noReplyStatus = kStatusTimedOut;
  std::optional<bool> goesOn;
};
Frame Got(const EchoReply& reply, std::optional<bool> goesOn = std::nullopt) { return {reply, 0, goesOn}; }
Frame Lost(uint32_t status = kStatusTimedOut) { return {std::nullopt, status, std::nullopt}; }

// A job to 10.0.0.2 (fd00::2 over IPv6) of `sendTimes` frames fed `frames` in order, and the
// results it must come to, where the case says.
struct TallyCase {
  const char* name;
  int32_t sendTimes, maxTimeout;
  bool ipV6;
  uint8_t tos;
  bool checkTos;
  const char16_t* separator;
  std::vector<Frame> frames;
  std::optional<int16_t> percent;
  std::optional<int32_t> average;
  std::optional<std::string> message;
};

TEST(FrameTally, JudgesEachFrameAndSumsUpTheJob) {
  const std::string otherTos = "Received ping has a different TOS than the sent ping !";
  const TallyCase cases[] = {
      {"failures counted, good replies averaged (63 / 3)", 5, 5000, false, 0, false, u"#",
       {Got(Answer(10), true), Lost(), Got(Answer(20), true), Lost(), Got(Answer(33), true)}, 60, 21,
       "2: Request Timed Out#4: Request Timed Out#"},
      {"two of three", 3, 3000, false, 0, false, u"| ",
       {Got(Answer(1)), Got(Answer(1, "10.0.0.2", kStatusHostUnreachable)), Got(Answer(1))}, 66, std::nullopt,
       "2: Destination Host Unreachable (10.0.0.2)| "},
      {"all good: no separator without items", 2, 1000, false, 0, false, u"#", {Got(Answer(4)), Got(Answer(6))}, 100,
       5, ""},
      {"summed round trips past the timeout end the job: 120 > 100 at frame 2", 5, 100, false, 0, false, u"#",
       {Got(Answer(60), true), Got(Answer(60), false)}, 20, 60, "2: Timeout!#3: Timeout!#4: Timeout!#5: Timeout!#"},
      {"past the timeout only on the last frame: judged as usual", 2, 100, false, 0, false, u"#",
       {Got(Answer(60), true), Got(Answer(60), true)}, 100, 60, std::nullopt},
      {"exactly at the timeout is not past it", 2, 120, false, 0, false, u"#",
       {Got(Answer(60), true), Got(Answer(60), true)}, std::nullopt, std::nullopt, std::nullopt},
      {"a single frame past the timeout reports its own round trip", 1, 100, false, 0, false, u"#",
       {Got(Answer(150), false)}, 0, 150, "1: Timeout!#"},
      {"a stranger's reply: the single failed frame's round trip", 1, 1000, false, 0, false, u"#",
       {Got(Answer(7, "10.0.0.9"))}, 0, 7, "1: Reply expected from 10.0.0.2 but came from 10.0.0.9#"},
      {"no reply", 1, 1000, false, 0, false, u"#", {Lost()}, std::nullopt, 0, std::nullopt},
      {"TOS checked", 3, 1000, false, 0x10, true, u"#",
       {Got(Answer(1, "10.0.0.2", kStatusSuccess, 0x10)), Got(Answer(1, "10.0.0.2", kStatusSuccess, 0x00)),
        Got(Answer(1, "10.0.0.7", kStatusTtlExpiredTransit, 0x00))},
       33, std::nullopt, "2: " + otherTos + "#3: TimeToLive Expired Transit (10.0.0.7)#"},
      {"the check off, any TOS will do", 3, 1000, false, 0x10, false, u"#",
       std::vector<Frame>(3, Got(Answer(1, "10.0.0.2", kStatusSuccess, 0x00))), 100, std::nullopt, std::nullopt},
      // Another sender, another class: good; a frame without reply and success: nothing to say.
      {"IPv6 looks only at the status", 4, 4000, true, 0x20, true, u"#",
       {Got(Answer(2, "fd00::9")), Got(Answer(2, "fd00::9", kStatusPortUnreachable)), Lost(kStatusSuccess),
        Lost(kStatusTimedOut)},
       25, std::nullopt, "2: Destination Port Unreachable#3: #4: Request Timed Out#"},
  };
  for (const TallyCase& c : cases) {
    SCOPED_TRACE(c.name);
    PingJob job = Job(c.sendTimes, c.maxTimeout, c.ipV6);
    job.tos = c.tos;
    job.checkTos = c.checkTos;
    const sockaddr_storage to = c.ipV6 ? testing::Ipv6Address("fd00::2") : V4("10.0.0.2");
    const std::u16string expected = c.ipV6 ? u"fd00::2" : u"10.0.0.2";
    FrameTally tally(job, c.separator);
    for (int32_t i = 0; i < static_cast<int32_t>(c.frames.size()); ++i) {
      const Frame& frame = c.frames[i];
      if (!frame.reply) {
        tally.NoReply(i, frame.noReplyStatus);
        continue;
      }
      const bool goesOn = tally.Reply(i, *frame.reply, to, expected);
      if (frame.goesOn) { EXPECT_EQ(goesOn, *frame.goesOn) << "frame " << i + 1; }
    }
    const PingResults r = tally.Results();
    if (c.percent) { EXPECT_EQ(r.succeededPercent, *c.percent); }
    if (c.average) { EXPECT_EQ(r.averageRoundTrip, *c.average); }
    if (c.message) { EXPECT_EQ(Utf8(r.errorMessage), *c.message); }
  }
}

TEST(PingTexts, StatusResolverAndRequestData) {
  EXPECT_EQ(StatusText(0), u"Succeeded");
  EXPECT_EQ(StatusText(11010), u"Request Timed Out");
  EXPECT_EQ(StatusText(11013), u"TimeToLive Expired Transit");
  EXPECT_EQ(StatusText(11032), u"Negotiating IPSEC");
  EXPECT_EQ(StatusText(11255), u"IP Pending");
  EXPECT_EQ(StatusText(11024), u"Unknown Error");
  EXPECT_EQ(StatusText(1), u"Unknown Error");
  // No data for the name counts as no such host; the line end of the system text goes.
  EXPECT_EQ(ResolveFailureText(kResolveNoData), u"R: No such host is known.");
  EXPECT_EQ(ResolveFailureText(kResolveHostNotFound), u"R: No such host is known.");
  EXPECT_EQ(ResolveFailureText(kResolveNoRecovery), u"R: A non-recoverable error occurred during a database lookup.");
  EXPECT_EQ(ResolveFailureText(4242), u"R: Unknown Error");
  EXPECT_EQ(RequestData(30), "abcdefghijklmnopqrstuvwxyzabcd");
  EXPECT_EQ(RequestData(0), "");
}

}  // namespace
}  // namespace vorlane::ping
