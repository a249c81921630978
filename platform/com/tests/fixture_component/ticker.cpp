// The ticker component: built on the runtime's object helpers (ComObject, DispatchImpl, the
// connection point helpers and MarshalledSlot), as a real event source would be.
#include "platform/com/tests/fixture_component/ticker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/marshal.h"
#include "platform/com/module_export.h"
#include "platform/com/module_registration.h"
#include "platform/loop/message_loop.h"

namespace vorlane::com::testing {
namespace {

// The worker threads of this module. The module may only be unloaded once none of them runs
// its code any more: a thread's Ended() event is set by the runtime after the body and what it
// captured (the last reference on a ticker, possibly) are gone, so from then on the thread only
// runs runtime code. Threads are owned here and never by a ticker, because the last reference
// on a ticker may be dropped on a worker thread, which cannot join itself.
class Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // At process exit a worker may still wait for an apartment that will never pump again;
  // joining it would hang the exit.
  ~Workers() {
    std::lock_guard lock(lock_);
    for (const std::shared_ptr<loop::WaitableThread>& thread : threads_) {
      if (!thread->Ended().IsSet()) thread->Abandon();
    }
  }

  void Launch(std::function<void()> body) {
    auto thread = std::make_shared<loop::WaitableThread>(std::move(body));
    std::lock_guard lock(lock_);
    ReapLocked();
    threads_.push_back(std::move(thread));
  }

  // True when no worker is left; joins those that ended.
  bool Idle() {
    std::lock_guard lock(lock_);
    ReapLocked();
    return threads_.empty();
  }

  bool WaitIdle(std::chrono::milliseconds timeout) {
    std::vector<std::shared_ptr<loop::WaitableThread>> running;
    {
      std::lock_guard lock(lock_);
      running = threads_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (const std::shared_ptr<loop::WaitableThread>& thread : running) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!thread->Ended().Wait(std::max(left, std::chrono::milliseconds(0)))) return false;
    }
    return true;
  }

 private:
  void ReapLocked() {
    std::erase_if(threads_, [](const std::shared_ptr<loop::WaitableThread>& t) { return t->Ended().IsSet(); });
  }

  std::mutex lock_;
  std::vector<std::shared_ptr<loop::WaitableThread>> threads_;  // guarded by lock_
};

Workers& ModuleWorkers() {
  static Workers workers;
  return workers;
}

class Ticker final
    : public ComObject<Ticker, DispatchImpl<Ticker, ITicker>, ConnectionPointContainerImpl<Ticker>> {
  HRESULT InvokeStart(DispatchCall& call) {
    int32_t count;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &count));
    return Start(count);
  }
  HRESULT InvokeFired(DispatchCall& call) { return call.Return(fired_.load()); }
  HRESULT InvokeAdd(DispatchCall& call) {
    int32_t a;
    int32_t b;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &a));
    VORLANE_RETURN_IF_FAILED(call.Read(1, &b));
    int32_t sum;
    VORLANE_RETURN_IF_FAILED(Add(a, b, &sum));
    return call.Return(sum);
  }
  HRESULT InvokeWaitIdle(DispatchCall& call) {
    int32_t timeoutMs;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &timeoutMs));
    VARIANT_BOOL idle;
    VORLANE_RETURN_IF_FAILED(WaitIdle(timeoutMs, &idle));
    return call.Return(idle == VARIANT_TRUE);
  }
  HRESULT InvokeLastEventResult(DispatchCall& call) { return call.Return(lastEventResult_.load()); }

 public:
  static constexpr DispatchMember<Ticker> kDispatchMembers[] = {
      DispMethod("Start", kTickerStart, &Ticker::InvokeStart, 1),
      DispPropertyGet("Fired", kTickerFired, &Ticker::InvokeFired),
      DispMethod("Add", kTickerAdd, &Ticker::InvokeAdd, 2),
      DispMethod("WaitIdle", kTickerWaitIdle, &Ticker::InvokeWaitIdle, 1),
      DispPropertyGet("LastEventResult", kTickerLastEventResult, &Ticker::InvokeLastEventResult),
  };

  Ticker() {
    ConnectionPoint& point = ConnectionPoints().Add(ITickerEvents::kIid);
    // The hooks run one at a time on the advising thread, so slotCookie_ needs no lock. The
    // sink is marshalled there, in the client's apartment, which is where its calls must run.
    point.SetHooks(ConnectionHooks{
        [this](uint32_t cookie, IUnknown* sink) {
          slotCookie_ = Succeeded(sink_.Store(ITickerEvents::kIid, sink)) ? cookie : 0;
          return S_OK;  // the connection stands even when the slot could not take it
        },
        nullptr,
        [this](uint32_t cookie) {
          if (cookie != slotCookie_) return;  // an older sink: the slot holds a newer one
          sink_.Clear();
          slotCookie_ = 0;
        },
    });
  }

  HRESULT Start(int32_t count) override {
    if (count < 0) return E_INVALIDARG;
    return CatchReturn([&] {
      // The worker's own reference keeps the object (and so the module) alive while it fires.
      ModuleWorkers().Launch([self = ComPtr<Ticker>(this), count] { self->Fire(count); });
    });
  }
  HRESULT get_Fired(int32_t* fired) override {
    if (fired == nullptr) return E_POINTER;
    *fired = fired_.load();
    return S_OK;
  }
  HRESULT Add(int32_t a, int32_t b, int32_t* sum) override {
    if (sum == nullptr) return E_POINTER;
    *sum = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));  // wraps, never UB
    return S_OK;
  }
  HRESULT WaitIdle(int32_t timeoutMs, VARIANT_BOOL* idle) override {
    if (idle == nullptr) return E_POINTER;
    if (timeoutMs < 0) return E_INVALIDARG;
    *idle = ModuleWorkers().WaitIdle(std::chrono::milliseconds(timeoutMs)) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT get_LastEventResult(int32_t* hr) override {
    if (hr == nullptr) return E_POINTER;
    *hr = lastEventResult_.load();
    return S_OK;
  }


 private:
  // First: disconnecting waits for running hooks, which use the members below.
  ~Ticker() override { ConnectionPoints().DisconnectAll(); }

  // Runs on the worker thread, in an apartment of its own: the sink is reached through a proxy
  // whose calls wait until the client's thread pumps its loop.
  void Fire(int32_t count) {
    const bool initialised = Succeeded(CoInitialize(nullptr));
    for (int32_t n = 1; n <= count; ++n) Deliver(kTickerEventTick, {Variant(n)});
    Deliver(kTickerEventDone, {});
    if (initialised) CoUninitialize();
  }

  void Deliver(DISPID id, std::initializer_list<Variant> args) {
    ComPtr<IDispatch> sink;
    HRESULT hr = sink_.Get(ITickerEvents::kIid, sink.put_void());
    if (hr == E_FAIL && sink_.Empty()) return;  // nobody listens
    if (Succeeded(hr)) hr = InvokeEvent(sink.get(), ITickerEvents::kIid, id, args);
    if (Succeeded(hr)) {
      fired_.fetch_add(1);
    } else {
      lastEventResult_.store(hr);
    }
  }

  std::atomic<int32_t> fired_{0};
  std::atomic<HRESULT> lastEventResult_{S_OK};
  MarshalledSlot sink_;
  uint32_t slotCookie_ = 0;
};

constexpr ModuleClass kClasses[] = {
    {.clsid = kTickerClsid,
     .classObject = &ClassObjectOf<Ticker>,
     .description = kTickerDescription,
     .progId = kTickerProgId,
     .versionIndependentProgId = kTickerIndependentProgId,
     .programmable = true},
};

constexpr ModuleRegistration kModule{.classes = kClasses};

}  // namespace
}  // namespace vorlane::com::testing

using namespace vorlane::com;
using namespace vorlane::com::testing;

VORLANE_MODULE_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  return GetModuleClassObject(kModule, clsid, iid, object);
}

// A worker that still runs keeps the module, even after its ticker is gone.
VORLANE_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  if (!ModuleWorkers().Idle()) return S_FALSE;
  return DllCanUnloadNowHelper();
}

VORLANE_MODULE_EXPORT HRESULT DllRegisterServer() { return RegisterModule(kModule); }

VORLANE_MODULE_EXPORT HRESULT DllUnregisterServer() { return UnregisterModule(kModule); }
