// The ping collection: creates and keys elements, and tells its most recently advised sink when
// an element's ping has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "ping/ping_element.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"
#include "platform/com/marshal.h"

namespace vorlane::ping {

// How long a PingDone notification may take before it is given up.
inline constexpr std::chrono::milliseconds kNotificationLimit{10000};

// Turns to deliver a notification: one at a time, in the order they were asked for.
//
// The holder of a turn pumps its own messages while its notification thread runs, and holds no
// mutex meanwhile: a mutex held across that pump deadlocks as soon as a message dispatched there
// asks for a turn on the same thread. The mutex guards the counters only. A request from the
// thread that holds the turn (a handler running inside its pump) is let in at once, as a
// re-entrant lock lets its owner in again: it cannot wait for a turn that only its own caller,
// further down the stack, can end. Other threads wait for their turn without pumping (a pump
// there could be re-entered the same way while a turn behind its own is pending), first come
// first served.
class NotificationTurns {
 public:
  // Holds a turn for its lifetime; the constructor blocks until it is the caller's turn and
  // throws what the standard locks throw.
  class Turn {
   public:
    explicit Turn(NotificationTurns& turns) : turns_(turns) { turns_.Acquire(); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() { turns_.Release(); }

   private:
    NotificationTurns& turns_;
  };

 private:
  void Acquire();
  void Release() noexcept;

  std::mutex lock_;
  std::condition_variable released_;
  uint64_t nextTicket_ = 0;  // guarded by lock_
  uint64_t serving_ = 0;     // guarded by lock_: the ticket whose turn it is
  std::thread::id holder_;   // guarded by lock_
  int depth_ = 0;            // guarded by lock_: 0 when nobody holds the turn
};

class PingCollection final : public com::ComObject<PingCollection, com::DispatchImpl<PingCollection, ItqCollPings>,
                                                   com::ConnectionPointContainerImpl<PingCollection>,
                                                   com::ISupportErrorInfo> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_COLL_PINGS_MEMBERS, PingCollection, ItqCollPings)

  PingCollection();

  // ItqCollPings
  VORLANE_CONTRACT_OVERRIDES(VORLANE_COLL_PINGS_MEMBERS)

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ItqCollPings::kIid ? com::S_OK : com::S_FALSE;
  }

  // Called by an element's worker when its job has ended: delivers PingDone(elementId) to the
  // advised sink on a thread of its own and waits for it (dispatching the calling thread's
  // messages) at most kNotificationLimit after the last message. S_FALSE for an element that
  // has left the collection (negative id): nothing is delivered.
  com::HRESULT NotifyPingDone(int32_t elementId);

 private:
  ~PingCollection() override;

  // The notification thread's body.
  com::HRESULT FirePingDone(int32_t elementId);
  // The element with `id` as ItqPing into *out (E_FAIL when that fails or yields nothing).
  static com::HRESULT QueryElement(PingElement& element, ItqPing** out);
  // Empties the map and hands its elements over; they have left the collection (id -1, no
  // parent). Under elementsLock_.
  std::map<int32_t, com::ComPtr<PingElement>> TakeAllLocked();

  NotificationTurns fireTurns_;  // one notification at a time, in order
  std::mutex elementsLock_;  // guards elements_ and nextIndex_
  std::map<int32_t, com::ComPtr<PingElement>> elements_;
  std::atomic<int32_t> nextIndex_{0};
  // The most recently advised sink, marshalled for the notification threads.
  com::MarshalledSlot sink_;
};

}  // namespace vorlane::ping
