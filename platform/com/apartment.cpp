#include "platform/com/apartment.h"

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com/apartment_internal.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/loop/message_loop.h"

namespace vorlane::com {

// A call waiting to run in another apartment. The caller's arguments live on the caller's stack,
// so the call may only start while the caller still waits: once it is completed (done) it is
// never started, and a call that has started is never completed by anybody but itself.
class PendingCall {
 public:
  loop::Event doneEvent{loop::Event::Reset::kManual};

  bool TryBegin() {
    std::lock_guard lock(lock_);
    if (done_) return false;
    running_ = true;
    return true;
  }
  void Finish(HRESULT hr, ComPtr<IErrorInfo> errorInfo) {
    {
      std::lock_guard lock(lock_);
      hr_ = hr;
      errorInfo_ = std::move(errorInfo);
      done_ = true;
    }
    doneEvent.Set();
  }
  // Fails a call that has not started; false when it has started or ended already.
  bool Abandon(HRESULT hr) {
    {
      std::lock_guard lock(lock_);
      if (done_ || running_) return false;
      hr_ = hr;
      done_ = true;
    }
    doneEvent.Set();
    return true;
  }
  bool Done() {
    std::lock_guard lock(lock_);
    return done_;
  }
  HRESULT Result(ComPtr<IErrorInfo>* errorInfo) {
    std::lock_guard lock(lock_);
    *errorInfo = std::move(errorInfo_);
    return hr_;
  }

 private:
  std::mutex lock_;
  bool done_ = false;     // guarded by lock_
  bool running_ = false;  // guarded by lock_
  HRESULT hr_ = E_FAIL;   // guarded by lock_
  ComPtr<IErrorInfo> errorInfo_;  // guarded by lock_
};

namespace {

// Per-thread initialisation state. Its destructor ends a thread's apartment that was never
// uninitialised, so that nobody waits for a thread that is gone.
struct ThreadState {
  int initCount = 0;
  bool singleThreaded = false;
  std::shared_ptr<Apartment> apartment;

  ~ThreadState() {
    if (apartment) apartment->End();
  }
};

thread_local ThreadState t_state;

// Waits for `call` to complete; an apartment thread keeps its own messages moving meanwhile.
void WaitForCall(PendingCall& call) {
  std::shared_ptr<loop::MessageLoop> loop = t_state.apartment ? loop::MessageLoop::Current() : nullptr;
  if (!loop) {
    while (!call.Done()) call.doneEvent.Wait(std::chrono::milliseconds(-1));
    return;
  }
  while (!call.Done()) (void)loop->WaitPumping(call.doneEvent);
}

}  // namespace

Apartment::Apartment(std::shared_ptr<loop::MessageLoop> loop)
    : loop_(std::move(loop)), thread_(std::this_thread::get_id()) {}

bool Apartment::Alive() {
  std::lock_guard lock(lock_);
  return alive_;
}

bool Apartment::Post(std::function<void()> task) {
  {
    std::lock_guard lock(lock_);
    if (!alive_) return false;
  }
  return loop_->PostTask(std::move(task));
}

bool Apartment::AddPending(const std::shared_ptr<PendingCall>& call) {
  std::lock_guard lock(lock_);
  if (!alive_) return false;
  std::erase_if(pending_, [](const std::weak_ptr<PendingCall>& p) { return p.expired(); });
  pending_.push_back(call);
  return true;
}

uint64_t Apartment::AddEndAction(std::function<void()> action) {
  std::lock_guard lock(lock_);
  if (!alive_) return 0;
  uint64_t id = ++nextActionId_;
  endActions_.emplace_back(id, std::move(action));
  return id;
}

void Apartment::RemoveEndAction(uint64_t id) {
  std::function<void()> removed;  // destroyed outside the lock: it may release objects
  std::lock_guard lock(lock_);
  for (auto it = endActions_.begin(); it != endActions_.end(); ++it) {
    if (it->first == id) {
      removed = std::move(it->second);
      endActions_.erase(it);
      break;
    }
  }
}

void Apartment::End() {
  std::vector<std::weak_ptr<PendingCall>> pending;
  std::vector<std::pair<uint64_t, std::function<void()>>> actions;
  {
    std::lock_guard lock(lock_);
    if (!alive_) return;
    alive_ = false;
    pending.swap(pending_);
    actions.swap(endActions_);
  }
  for (auto& weak : pending) {
    if (auto call = weak.lock()) call->Abandon(RPC_E_DISCONNECTED);
  }
  for (auto& [id, action] : actions) action();
}

HRESULT CoInitializeEx(void* /*reserved*/, uint32_t flags) {
  const bool singleThreaded = (flags & COINIT_APARTMENTTHREADED) != 0;
  if (t_state.initCount > 0) {
    if (t_state.singleThreaded != singleThreaded) return RPC_E_CHANGED_MODE;
    ++t_state.initCount;
    return S_FALSE;
  }
  if (singleThreaded) {
    try {
      t_state.apartment = std::make_shared<Apartment>(loop::MessageLoop::ForCurrentThread());
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }
  t_state.singleThreaded = singleThreaded;
  t_state.initCount = 1;
  return S_OK;
}

void CoUninitialize() {
  if (t_state.initCount == 0) return;
  if (--t_state.initCount > 0) return;
  if (std::shared_ptr<Apartment> apartment = std::exchange(t_state.apartment, nullptr)) apartment->End();
}

HRESULT OleInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }
void OleUninitialize() { CoUninitialize(); }

std::shared_ptr<Apartment> CurrentApartment() { return t_state.apartment; }

bool PostToApartment(const std::shared_ptr<Apartment>& apartment, std::function<void()> task) {
  return apartment && apartment->Post(std::move(task));
}

HRESULT CallInApartment(const std::shared_ptr<Apartment>& apartment, const std::function<HRESULT()>& call) {
  if (!apartment) return E_POINTER;
  if (apartment->IsOwnerThread()) return call();

  auto pending = std::make_shared<PendingCall>();
  if (!apartment->AddPending(pending)) return RPC_E_DISCONNECTED;

  // Whoever drops the last copy of the ticket without the call having run (a loop that closed
  // with the task still queued, a post that failed) fails the call, so the caller never hangs.
  struct Ticket {
    explicit Ticket(std::shared_ptr<PendingCall> c) : call(std::move(c)) {}
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() { call->Abandon(RPC_E_DISCONNECTED); }
    const std::shared_ptr<PendingCall> call;
  };
  auto ticket = std::make_shared<Ticket>(pending);
  const std::function<HRESULT()>* body = &call;
  (void)apartment->Post([ticket, body] {
    if (!ticket->call->TryBegin()) return;
    (void)SetErrorInfo(nullptr);  // only what this call sets travels back
    HRESULT hr;
    try {
      hr = (*body)();
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    } catch (...) {
      hr = E_FAIL;
    }
    ComPtr<IErrorInfo> errorInfo;
    (void)GetErrorInfo(errorInfo.put());
    ticket->call->Finish(hr, std::move(errorInfo));
  });
  ticket.reset();

  WaitForCall(*pending);
  ComPtr<IErrorInfo> errorInfo;
  HRESULT hr = pending->Result(&errorInfo);
  if (errorInfo) (void)SetErrorInfo(errorInfo.get());
  return hr;
}

}  // namespace vorlane::com
