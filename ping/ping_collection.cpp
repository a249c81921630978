#include "ping/ping_collection.h"

#include <iterator>
#include <memory>
#include <utility>

#include "ping/ping_log.h"
#include "ping/ping_worker.h"
#include "platform/com/apartment.h"
#include "platform/com/late_binding.h"
#include "platform/com/module_thread.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"
#include "platform/loop/message_loop.h"

namespace vorlane::ping {

using com::HRESULT;
using com::VARIANT_BOOL;

namespace {

// Runs `body` so that no failure escapes: on one, writes `line` and answers E_FAIL.
template <class F>
HRESULT Guarded(const char* line, F&& body) noexcept {
  const HRESULT hr = com::CatchReturn(std::forward<F>(body));
  if (hr == com::E_FAIL || hr == com::E_OUTOFMEMORY) debuglog::Write(line);
  return hr == com::E_OUTOFMEMORY ? com::E_FAIL : hr;
}

// Walks the elements in ascending id order, each read under its property lock, until `found`
// says yes; whether it did.
template <class Found>
bool AnyElement(const std::map<int32_t, com::ComPtr<PingElement>>& elements, Found found) {
  for (const auto& [id, element] : elements) {
    std::lock_guard property(element->PropertyLock());
    if (found(*element)) return true;
  }
  return false;
}

}  // namespace

PingCollection::PingCollection() {
  com::ConnectionPoint& point = ConnectionPoints().Add(ItqCollPingsEvents::kIid);
  // Only the most recently advised sink hears PingDone, and any Unadvise silences it.
  point.SetHooks({[this](uint32_t, com::IUnknown* sink) { return sink_.Store(ItqCollPingsEvents::kIid, sink); },
                  [this](uint32_t) { sink_.Clear(); }, nullptr});
}

PingCollection::~PingCollection() {
  // First: the hooks use sink_.
  ConnectionPoints().DisconnectAll();
  std::map<int32_t, com::ComPtr<PingElement>> leaving;
  std::lock_guard guard(elementsLock_);
  leaving = TakeAllLocked();
}

HRESULT PingCollection::get_Count(int32_t* count) {
  if (count == nullptr) return com::E_POINTER;
  std::lock_guard guard(elementsLock_);
  *count = static_cast<int32_t>(elements_.size());
  return com::S_OK;
}

HRESULT PingCollection::Add(ItqPing** element) {
  if (element == nullptr) return com::E_POINTER;
  std::unique_lock guard(elementsLock_);
  *element = nullptr;
  com::ComPtr<PingElement> created;
  // Creation failures are the element's own (no ICMP, no memory) and come back as they are.
  const HRESULT made = com::CatchReturn([&] { created = com::Make<PingElement>(); });
  if (com::Failed(made)) return made;
  const HRESULT hr = com::CatchReturn([&]() -> HRESULT {
    for (;;) {
      const int32_t candidate = nextIndex_.fetch_add(1);
      if (elements_.find(candidate) != elements_.end()) continue;
      elements_.emplace(candidate, created);
      created->SetID(candidate);
      created->SetParent(this);
      return QueryElement(*created, element);
    }
  });
  if (com::Failed(hr)) {
    guard.unlock();
    Logf(nullptr, "CtqCollPings::Exception in Add, m_lNextIndex: %ld", static_cast<long>(nextIndex_.load()));
  }
  return hr;
}

HRESULT PingCollection::Remove(int32_t id) {
  return Guarded("CtqCollPings::Exception in Remove\n", [&]() -> HRESULT {
    com::ComPtr<PingElement> removed;  // released after the lock: its destructor logs
    {
      std::lock_guard guard(elementsLock_);
      auto it = elements_.find(id);
      if (it == elements_.end()) return com::S_FALSE;
      removed = std::move(it->second);
      removed->SetID(-1);
      removed->SetParent(nullptr);
      elements_.erase(it);
      if (elements_.empty()) nextIndex_ = 0;
    }
    return com::S_OK;
  });
}

HRESULT PingCollection::Item(int32_t id, ItqPing** element) {
  if (element == nullptr) return com::E_POINTER;
  return Guarded("CtqCollPings::Exception in Item\n", [&]() -> HRESULT {
    std::lock_guard guard(elementsLock_);
    *element = nullptr;
    auto it = elements_.find(id);
    if (it == elements_.end()) return com::DISP_E_BADINDEX;
    return QueryElement(*it->second, element);
  });
}

HRESULT PingCollection::At(int32_t index, ItqPing** element) {
  if (element == nullptr) return com::E_POINTER;
  return Guarded("CtqCollPings::Exception in At\n", [&]() -> HRESULT {
    std::lock_guard guard(elementsLock_);
    *element = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= elements_.size()) return com::DISP_E_BADINDEX;
    auto it = std::next(elements_.begin(), index);
    ItqPing* found = nullptr;
    const HRESULT hr = it->second->QueryInterface(ItqPing::kIid, reinterpret_cast<void**>(&found));
    *element = found;
    return hr;
  });
}

HRESULT PingCollection::Clear() {
  return Guarded("CtqCollPings::Exception in Clear\n", [&] {
    std::map<int32_t, com::ComPtr<PingElement>> leaving;  // released after the lock
    {
      std::lock_guard guard(elementsLock_);
      leaving = TakeAllLocked();
    }
    return com::S_OK;
  });
}

std::map<int32_t, com::ComPtr<PingElement>> PingCollection::TakeAllLocked() {
  for (auto& [id, element] : elements_) {
    element->SetID(-1);
    element->SetParent(nullptr);
  }
  nextIndex_ = 0;
  return std::exchange(elements_, {});
}

HRESULT PingCollection::get_IsRunning(VARIANT_BOOL* running) {
  if (running == nullptr) return com::E_POINTER;
  return Guarded("CtqCollPings::Exception in get_IsRunning\n", [&] {
    std::lock_guard guard(elementsLock_);
    *running = AnyElement(elements_, [](PingElement& e) { return e.RunningLocked(); }) ? com::VARIANT_TRUE
                                                                                       : com::VARIANT_FALSE;
    return com::S_OK;
  });
}

HRESULT PingCollection::get_AllChecked(VARIANT_BOOL* checked) {
  if (checked == nullptr) return com::E_POINTER;
  return Guarded("CtqCollPings::Exception in get_AllChecked\n", [&] {
    std::lock_guard guard(elementsLock_);
    *checked = AnyElement(elements_, [](PingElement& e) { return !e.CheckedLocked(); }) ? com::VARIANT_FALSE
                                                                                        : com::VARIANT_TRUE;
    return com::S_OK;
  });
}

HRESULT PingCollection::QueryElement(PingElement& element, ItqPing** out) {
  ItqPing* found = nullptr;
  const HRESULT hr = element.QueryInterface(ItqPing::kIid, reinterpret_cast<void**>(&found));
  if (com::Failed(hr) || found == nullptr) return com::E_FAIL;
  *out = found;
  return com::S_OK;
}

void NotificationTurns::Acquire() {
  std::unique_lock guard(lock_);
  const std::thread::id self = std::this_thread::get_id();
  if (depth_ > 0 && holder_ == self) {
    ++depth_;
    return;
  }
  const uint64_t ticket = nextTicket_++;
  released_.wait(guard, [&] { return depth_ == 0 && serving_ == ticket; });
  holder_ = self;
  depth_ = 1;
}

void NotificationTurns::Release() noexcept {
  {
    std::lock_guard guard(lock_);
    if (--depth_ > 0) return;
    holder_ = {};
    ++serving_;
  }
  released_.notify_all();
}

HRESULT PingCollection::NotifyPingDone(int32_t elementId) {
  try {
    NotificationTurns::Turn turn(fireTurns_);
    if (elementId < 0) return com::S_FALSE;

    std::unique_ptr<loop::WaitableThread> thread;
    try {
      // The thread holds the collection: a notification that is given up never finds it gone.
      thread = com::MakeModuleThread(
          [self = com::ComPtr<PingCollection>(this), elementId] { (void)self->FirePingDone(elementId); },
          kThreadStackSize);
    } catch (...) {
      debuglog::Write("Ping The Fire_PingDone thread can not be started!");
      return com::E_FAIL;
    }

    // Wait for the thread, keeping this thread's messages moving: a client in this apartment
    // may need them to take the call. Every message dispatched starts a fresh limit.
    const bool ended = loop::MessageLoop::ForCurrentThread()->WaitPumping(thread->Ended(), kNotificationLimit);
    if (!ended) {
      debuglog::Write("Ping The Fire_PingDone was terminated by the threading Ping!");
      {
        std::lock_guard guard(elementsLock_);
        auto it = elements_.find(elementId);
        if (it != elements_.end()) {
          std::lock_guard property(it->second->PropertyLock());
          it->second->AppendErrorMessageLocked(u" The Fire_PingDone was terminated by the threading Ping!");
        }
      }
      // Not killed: the thread holds everything it uses and ends when the sink's call
      // returns or fails.
      thread->Abandon();
    }
    return com::S_OK;
  } catch (...) {
    debuglog::Write("Ping Exception enter critical section");
    return com::S_OK;
  }
}

HRESULT PingCollection::FirePingDone(int32_t elementId) {
  return com::CatchReturn([&]() -> HRESULT {
    com::ApartmentScope apartment;
    com::ComPtr<com::IDispatch> sink;
    HRESULT hr = sink_.Get(ItqCollPingsEvents::kIid, sink.put_void());
    if (com::Failed(hr) || !sink) return hr;
    com::ComPtr<com::IDispatch> events;
    hr = sink->QueryInterface(ItqCollPingsEvents::kIid, events.put_void());
    if (com::Failed(hr) || !events) return hr;
    // The sink is asked for the event's id by name, as a client without the type library would.
    com::Variant result;
    return com::CallMethod(events.get(), u"PingDone", {com::Variant(elementId)}, result.put());
  });
}

}  // namespace vorlane::ping
