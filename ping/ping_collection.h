// The ping collection: creates and keys elements, and tells its most recently advised sink when
// an element's ping has ended.
#pragma once

#include <chrono>
#include <cstdint>

#include "ping/ping_element.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"
#include "platform/com/keyed_collection.h"
#include "platform/com/marshal.h"
#include "platform/com/notification_turns.h"

namespace vorlane::ping {

// How long a PingDone notification may take before it is given up.
inline constexpr std::chrono::milliseconds kNotificationLimit{10000};

class PingCollection final : public com::ComObject<PingCollection, com::DispatchImpl<PingCollection, ItqCollPings>,
                                                   com::ConnectionPointContainerImpl<PingCollection>,
                                                   com::SupportsErrorInfoFor<ItqCollPings>> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_COLL_PINGS_MEMBERS, PingCollection, ItqCollPings)

  PingCollection();

  // ItqCollPings
  VORLANE_CONTRACT_OVERRIDES(VORLANE_COLL_PINGS_MEMBERS)

  // Called by an element's worker when its job has ended: delivers PingDone(elementId) to the
  // advised sink as a job of the runtime's job runner and waits for it (dispatching the calling
  // thread's messages) at most kNotificationLimit after the last message. S_FALSE for an element that
  // has left the collection (negative id): nothing is delivered.
  com::HRESULT NotifyPingDone(int32_t elementId);

 private:
  ~PingCollection() override;

  // The notification job's body.
  com::HRESULT FirePingDone(int32_t elementId);

  com::NotificationTurns fireTurns_;  // one notification at a time, in order
  using Elements = com::KeyedCollection<PingElement, ItqPing>;
  Elements elements_{{.logName = "CtqCollPings", .missingItem = com::DISP_E_BADINDEX}};
  // The most recently advised sink, marshalled for the notification jobs.
  com::MarshalledSlot sink_;
};

}  // namespace vorlane::ping
