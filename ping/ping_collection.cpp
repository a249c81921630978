#include "ping/ping_collection.h"

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

PingCollection::PingCollection() {
  com::ConnectionPoint& point = ConnectionPoints().Add(ItqCollPingsEvents::kIid);
  // Only the most recently advised sink hears PingDone, and any Unadvise silences it.
  point.SetHooks({[this](uint32_t, com::IUnknown* sink) { return sink_.Store(ItqCollPingsEvents::kIid, sink); },
                  [this](uint32_t) { sink_.Clear(); }, nullptr});
}

PingCollection::~PingCollection() {
  // First: the hooks use sink_.
  ConnectionPoints().DisconnectAll();
  (void)elements_.Clear();
}

VORLANE_KEYED_COLLECTION_MEMBERS_OF(PingCollection, elements_, ItqPing)

HRESULT PingCollection::Add(ItqPing** element) {
  if (element == nullptr) return com::E_POINTER;
  *element = nullptr;
  com::ComPtr<PingElement> created;
  // Creation failures are the element's own (no ICMP, no memory) and come back as they are.
  const HRESULT made = com::CatchReturn([&] { created = com::Make<PingElement>(); });
  if (com::Failed(made)) return made;
  HRESULT hr = elements_.Insert(this, created);
  if (com::Succeeded(hr)) hr = Elements::HandOut(*created, element);
  if (com::Failed(hr)) {
    Logf(nullptr, "CtqCollPings::Exception in Add, m_lNextIndex: %ld", static_cast<long>(elements_.NextId()));
  }
  return hr;
}

HRESULT PingCollection::NotifyPingDone(int32_t elementId) {
  try {
    com::NotificationTurns::Turn turn(fireTurns_);
    if (elementId < 0) return com::S_FALSE;

    // Set once the delivery has returned and what it held is gone; its end comes back to this
    // thread's loop, which the wait below keeps moving (a client in this apartment may need it
    // to take the call). Every message dispatched starts a fresh limit.
    auto ended = std::make_shared<loop::Event>(loop::Event::Reset::kManual);
    const std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
    // The job holds the collection: a notification that is given up never finds it gone.
    const int started = com::RunModuleJob(
        [self = com::ComPtr<PingCollection>(this), elementId] { (void)self->FirePingDone(elementId); },
        [ended] { ended->Set(); }, [ended] { ended->Set(); });
    if (started != 0) {
      debuglog::Write("Ping The Fire_PingDone thread can not be started!");
      return com::E_FAIL;
    }
    if (!loop->WaitPumping(*ended, kNotificationLimit)) {
      debuglog::Write("Ping The Fire_PingDone was terminated by the threading Ping!");
      if (com::ComPtr<PingElement> element = elements_.Find(elementId)) {
        std::lock_guard property(element->PropertyLock());
        element->AppendErrorMessageLocked(u" The Fire_PingDone was terminated by the threading Ping!");
      }
      // Not killed: the delivery holds everything it uses and ends when the sink's call returns
      // or fails.
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
