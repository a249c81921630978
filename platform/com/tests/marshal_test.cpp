#include "platform/com/marshal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/com_ptr.h"
#include "platform/com/late_binding.h"
#include "platform/loop/message_loop.h"

namespace vorlane::com {
namespace {

using namespace std::chrono_literals;

constexpr IID kIidTestEvents = GuidLiteral("5D2D6E0A-8B0B-4F5E-9E61-2A4C7E0B9A11");
constexpr DISPID kAdd = 1;         // (long a, long b) -> a + b
constexpr DISPID kSetOut = 2;      // (long* out): *out = 42
constexpr DISPID kRecord = 3;      // (long thread, long seq): checks per-thread order
constexpr DISPID kCallPeer = 4;    // () -> calls kAdd(20, 22) on the peer set by SetPeer

// What the object observed, shared with the test (it outlives the object).
struct Observations {
  std::atomic<int> calls{0};
  std::atomic<int> destroyed{0};
  std::thread::id lastCallThread;
  std::thread::id destroyThread;
  std::vector<int32_t> nextSeq = std::vector<int32_t>(16, 0);
  std::atomic<int> outOfOrder{0};
};

// A dispatch object with a hand-made reference count that reports its calls and its end.
class RecordingDispatch final : public IDispatch {
 public:
  explicit RecordingDispatch(std::shared_ptr<Observations> seen) : seen_(std::move(seen)) {}
  // Answers for IAgileObject: callable on any thread.
  bool agile = false;

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IUnknown::kIid || iid == IDispatch::kIid || iid == kIidTestEvents || (agile && iid == IAgileObject::kIid)) {
      AddRef();
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) {
      seen_->destroyThread = std::this_thread::get_id();
      seen_->destroyed++;
      delete this;
    }
    return left;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, LCID, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR** names, uint32_t, LCID, DISPID* ids) override {
    *ids = std::u16string_view(names[0]) == u"Add" ? kAdd : DISPID_UNKNOWN;
    return *ids == kAdd ? S_OK : DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 uint32_t*) override {
    seen_->calls++;
    seen_->lastCallThread = std::this_thread::get_id();
    switch (id) {
      case kAdd:
        result->vt = VT_I4;
        result->lVal = params->rgvarg[1].lVal + params->rgvarg[0].lVal;  // arguments come reversed
        return S_OK;
      case kSetOut:
        *params->rgvarg[0].plVal = 42;
        return S_OK;
      case kRecord: {
        int32_t thread = params->rgvarg[1].lVal;
        int32_t seq = params->rgvarg[0].lVal;
        if (seen_->nextSeq[thread] != seq) seen_->outOfOrder++;
        seen_->nextSeq[thread] = seq + 1;
        return S_OK;
      }
      case kCallPeer:
        return CallMethod(peer.get(), kAdd, {Variant(20), Variant(22)}, result);
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  ComPtr<IDispatch> peer;

 private:
  ~RecordingDispatch() = default;
  uint32_t refs_ = 1;  // only ever touched on the owning apartment's thread
  std::shared_ptr<Observations> seen_;
};

// Calls Add(a, b) through `target`; a call that succeeds must bring back the sum.
HRESULT CallAdd(IDispatch* target, int32_t a, int32_t b) {
  int32_t sum = 0;
  const HRESULT hr = CallMethodFor(target, kAdd, {Variant(a), Variant(b)}, &sum);
  if (hr == S_OK) { EXPECT_EQ(sum, a + b); }
  return hr;
}

// A thread with a single-threaded apartment that owns one RecordingDispatch, lends it out as a
// marshalled pointer and pumps its messages until told to stop.
class ApartmentThread {
 public:
  ApartmentThread() : seen(std::make_shared<Observations>()) {
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] {
      EXPECT_EQ(CoInitialize(nullptr), S_OK);
      loop_ = loop::MessageLoop::ForCurrentThread();
      object = new RecordingDispatch(seen);
      EXPECT_EQ(MarshalledInterface::Create(kIidTestEvents, object, &token), S_OK);
      id = std::this_thread::get_id();
      ready.set_value();
      loop_->Run();
      object->Release();
      if (endWithoutUninitialize) return;
      CoUninitialize();
    });
    started.wait();
  }
  ~ApartmentThread() { Stop(); }

  void Stop() {
    if (!thread_.joinable()) return;
    loop_->PostQuit(0);
    thread_.join();
  }
  void RunOnThread(std::function<void()> task) { loop_->PostTask(std::move(task)); }

  std::shared_ptr<Observations> seen;
  RecordingDispatch* object = nullptr;
  std::unique_ptr<MarshalledInterface> token;
  std::thread::id id;
  bool endWithoutUninitialize = false;

 private:
  std::shared_ptr<loop::MessageLoop> loop_;
  std::thread thread_;
};

TEST(Apartment, InitialisationCountsAndModes) {
  std::thread([] {
    EXPECT_EQ(CurrentApartment(), nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_NE(CurrentApartment(), nullptr);
    EXPECT_EQ(OleInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    OleUninitialize();
    EXPECT_NE(CurrentApartment(), nullptr) << "one initialisation is still open";
    CoUninitialize();
    EXPECT_EQ(CurrentApartment(), nullptr);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CurrentApartment(), nullptr);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
  }).join();
}

TEST(Marshal, InTheOwnApartmentThePointerIsTheObject) {
  ApartmentThread owner;
  std::promise<bool> same;
  owner.RunOnThread([&] {
    ComPtr<IDispatch> back;
    EXPECT_EQ(owner.token->Unmarshal(IDispatch::kIid, back.put_void()), S_OK);
    same.set_value(back.get() == static_cast<IDispatch*>(owner.object));
  });
  EXPECT_TRUE(same.get_future().get());
}

TEST(Marshal, CallsFromAnotherThreadRunOnTheOwnerAndReturnResults) {
  ApartmentThread owner;
  ComPtr<IDispatch> proxy;
  ASSERT_EQ(owner.token->Unmarshal(kIidTestEvents, proxy.put_void()), S_OK);
  EXPECT_NE(proxy.get(), static_cast<IDispatch*>(owner.object));

  EXPECT_EQ(CallAdd(proxy.get(), 40, 2), S_OK);
  EXPECT_EQ(owner.seen->lastCallThread, owner.id);

  // By-reference arguments are written where the caller can see them.
  int32_t out = 0;
  EXPECT_EQ(CallMethod(proxy.get(), kSetOut, {Variant::ByRef(&out)}), S_OK);
  EXPECT_EQ(out, 42);

  // Names are resolved in the owner's apartment too.
  DISPID id = 0;
  EXPECT_EQ(GetIdOfName(proxy.get(), u"Add", &id), S_OK);
  EXPECT_EQ(id, kAdd);

  ComPtr<IUnknown> other;
  EXPECT_EQ(proxy->QueryInterface(IClassFactory::kIid, other.put_void()), E_NOINTERFACE);
}

TEST(Marshal, ACallArrivesOnlyWhenTheOwnerPumps) {
  // This thread owns the object and pumps by hand.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  auto seen = std::make_shared<Observations>();
  auto* object = new RecordingDispatch(seen);
  std::unique_ptr<MarshalledInterface> token;
  ASSERT_EQ(MarshalledInterface::Create(kIidTestEvents, object, &token), S_OK);
  object->Release();

  std::atomic<bool> returned{false};
  std::thread caller([&] {
    ComPtr<IDispatch> proxy;
    ASSERT_EQ(token->Unmarshal(kIidTestEvents, proxy.put_void()), S_OK);
    EXPECT_EQ(CallAdd(proxy.get(), 1, 2), S_OK);
    returned = true;
  });

  auto loop = loop::MessageLoop::Current();
  ASSERT_EQ(loop->WaitForHandleOrMessage({}, 10s), loop::MessageLoop::WaitResult::kMessage);
  EXPECT_EQ(seen->calls.load(), 0) << "the call waits in the queue";
  EXPECT_FALSE(returned.load());
  loop::Message message;
  ASSERT_TRUE(loop->Peek(&message, true));
  loop->Dispatch(message);
  EXPECT_EQ(seen->calls.load(), 1);
  caller.join();
  EXPECT_TRUE(returned.load());

  token.reset();
  EXPECT_EQ(seen->destroyed.load(), 1);
  CoUninitialize();
}

TEST(Marshal, AnAgileObjectIsCalledDirectlyFromAnyThread) {
  // This thread owns the object but never pumps: only a direct call can arrive.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  auto seen = std::make_shared<Observations>();
  auto* object = new RecordingDispatch(seen);
  object->agile = true;
  std::unique_ptr<MarshalledInterface> token;
  ASSERT_EQ(MarshalledInterface::Create(kIidTestEvents, object, &token), S_OK);
  std::thread::id callerId;
  std::thread caller([&] {
    callerId = std::this_thread::get_id();
    ComPtr<IDispatch> direct;
    ASSERT_EQ(token->Unmarshal(kIidTestEvents, direct.put_void()), S_OK);
    EXPECT_EQ(direct.get(), static_cast<IDispatch*>(object));
    EXPECT_EQ(CallAdd(direct.get(), 1, 2), S_OK);
  });
  caller.join();
  EXPECT_EQ(seen->calls.load(), 1);
  EXPECT_EQ(seen->lastCallThread, callerId);
  token.reset();
  object->Release();
  CoUninitialize();
}

TEST(Marshal, TokenKeepsTheObjectAliveAndReleasesItOnTheOwnerThread) {
  ApartmentThread owner;
  ComPtr<IDispatch> proxy;
  ASSERT_EQ(owner.token->Unmarshal(IDispatch::kIid, proxy.put_void()), S_OK);
  owner.RunOnThread([&] { owner.token.reset(); });  // the proxy still holds the object
  EXPECT_EQ(CallAdd(proxy.get(), 2, 3), S_OK);
  proxy.reset();  // the last holder lets go on this thread; the release runs over there
  owner.Stop();
  EXPECT_EQ(owner.seen->destroyed.load(), 1);
  EXPECT_EQ(owner.seen->destroyThread, owner.id);
}

TEST(Marshal, CallsIntoAnEndedApartmentFailAndNeverHang) {
  auto owner = std::make_unique<ApartmentThread>();
  ComPtr<IDispatch> proxy;
  ASSERT_EQ(owner->token->Unmarshal(kIidTestEvents, proxy.put_void()), S_OK);
  std::unique_ptr<MarshalledInterface> token = std::move(owner->token);
  owner->Stop();
  EXPECT_EQ(CallAdd(proxy.get(), 1, 1), RPC_E_DISCONNECTED);
  ComPtr<IDispatch> late;
  EXPECT_EQ(token->Unmarshal(IDispatch::kIid, late.put_void()), RPC_E_DISCONNECTED);
  // The apartment released the object when it ended.
  EXPECT_EQ(owner->seen->destroyed.load(), 1);
  EXPECT_EQ(owner->seen->destroyThread, owner->id);
}

TEST(Marshal, AThreadEndingWithoutUninitialisingStillDisconnects) {
  auto owner = std::make_unique<ApartmentThread>();
  owner->endWithoutUninitialize = true;
  ComPtr<IDispatch> proxy;
  ASSERT_EQ(owner->token->Unmarshal(kIidTestEvents, proxy.put_void()), S_OK);
  owner->Stop();
  EXPECT_EQ(CallAdd(proxy.get(), 1, 1), RPC_E_DISCONNECTED);
}

TEST(Marshal, ACallQueuedWhenTheApartmentEndsFails) {
  std::promise<std::unique_ptr<MarshalledInterface>> tokenReady;
  std::promise<void> callQueued;
  auto queued = callQueued.get_future();
  auto seen = std::make_shared<Observations>();
  std::thread owner([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    auto* object = new RecordingDispatch(seen);
    std::unique_ptr<MarshalledInterface> token;
    ASSERT_EQ(MarshalledInterface::Create(kIidTestEvents, object, &token), S_OK);
    object->Release();
    tokenReady.set_value(std::move(token));
    auto loop = loop::MessageLoop::Current();
    // Wait for the call to be queued, then end the apartment without ever dispatching it.
    EXPECT_EQ(loop->WaitForHandleOrMessage({}, 10s), loop::MessageLoop::WaitResult::kMessage);
    CoUninitialize();
    queued.wait();
  });
  std::unique_ptr<MarshalledInterface> token = tokenReady.get_future().get();
  ComPtr<IDispatch> proxy;
  ASSERT_EQ(token->Unmarshal(kIidTestEvents, proxy.put_void()), S_OK);
  EXPECT_EQ(CallAdd(proxy.get(), 1, 1), RPC_E_DISCONNECTED);
  EXPECT_EQ(seen->calls.load(), 0);
  callQueued.set_value();
  owner.join();
}

TEST(Marshal, TwoApartmentsCallingEachOtherDoNotDeadlock) {
  ApartmentThread other;
  // This thread is an apartment too, with its own object that the other one calls back.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  auto seen = std::make_shared<Observations>();
  auto* mine = new RecordingDispatch(seen);
  std::unique_ptr<MarshalledInterface> myToken;
  ASSERT_EQ(MarshalledInterface::Create(IDispatch::kIid, mine, &myToken), S_OK);
  std::promise<void> peerSet;
  other.RunOnThread([&] {
    EXPECT_EQ(myToken->Unmarshal(IDispatch::kIid, other.object->peer.put_void()), S_OK);
    peerSet.set_value();
  });
  peerSet.get_future().wait();

  ComPtr<IDispatch> proxy;
  ASSERT_EQ(other.token->Unmarshal(IDispatch::kIid, proxy.put_void()), S_OK);
  int32_t result = 0;
  // Our call runs over there, which calls back here while we wait: we must serve it.
  EXPECT_EQ(CallMethodFor(proxy.get(), kCallPeer, {}, &result), S_OK);
  EXPECT_EQ(result, 42);
  EXPECT_EQ(seen->lastCallThread, std::this_thread::get_id());

  other.RunOnThread([&] { other.object->peer.reset(); });
  other.Stop();
  mine->Release();
  myToken.reset();
  CoUninitialize();
  EXPECT_EQ(seen->destroyed.load(), 1);
}

TEST(Marshal, AQuitSeenWhileWaitingIsPostedAgain) {
  ApartmentThread other;
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  auto loop = loop::MessageLoop::Current();
  loop->PostQuit(7);
  ComPtr<IDispatch> proxy;
  ASSERT_EQ(other.token->Unmarshal(IDispatch::kIid, proxy.put_void()), S_OK);
  EXPECT_EQ(CallAdd(proxy.get(), 3, 4), S_OK);
  EXPECT_EQ(loop->Run(), 7);
  CoUninitialize();
}

TEST(Marshal, ManyThreadsManyCallsAllArriveInOrder) {
  ApartmentThread owner;
  constexpr int kThreads = 8;
  constexpr int kCalls = 10000;
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      ComPtr<IDispatch> proxy;
      if (Failed(owner.token->Unmarshal(kIidTestEvents, proxy.put_void()))) {
        failures++;
        return;
      }
      for (int i = 0; i < kCalls; ++i) {
        if (CallMethod(proxy.get(), kRecord, {Variant(t), Variant(i)}) != S_OK) {
          failures++;
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  owner.Stop();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(owner.seen->calls.load(), kThreads * kCalls);
  EXPECT_EQ(owner.seen->outOfOrder.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(owner.seen->nextSeq[t], kCalls);
}

TEST(MarshalledSlot, HoldsOneInterfaceReplacedByTheLatest) {
  ApartmentThread first;
  ApartmentThread second;
  MarshalledSlot slot;
  EXPECT_TRUE(slot.Empty());
  ComPtr<IDispatch> none;
  EXPECT_EQ(slot.Get(IDispatch::kIid, none.put_void()), E_FAIL);

  std::promise<void> stored;
  first.RunOnThread([&] {
    EXPECT_EQ(slot.Store(kIidTestEvents, first.object), S_OK);
    EXPECT_EQ(slot.Store(kIidTestEvents, first.object), S_OK);  // replacing keeps one reference
    stored.set_value();
  });
  stored.get_future().wait();
  std::promise<void> replaced;
  second.RunOnThread([&] {
    EXPECT_EQ(slot.Store(kIidTestEvents, second.object), S_OK);
    replaced.set_value();
  });
  replaced.get_future().wait();

  ComPtr<IDispatch> sink;
  ASSERT_EQ(slot.Get(kIidTestEvents, sink.put_void()), S_OK);
  EXPECT_EQ(CallAdd(sink.get(), 5, 6), S_OK);
  EXPECT_EQ(second.seen->calls.load(), 1);
  EXPECT_EQ(first.seen->calls.load(), 0);
  sink.reset();
  slot.Clear();
  EXPECT_TRUE(slot.Empty());
  first.Stop();
  second.Stop();
  EXPECT_EQ(first.seen->destroyed.load(), 1);
  EXPECT_EQ(second.seen->destroyed.load(), 1);
}

}  // namespace
}  // namespace vorlane::com
