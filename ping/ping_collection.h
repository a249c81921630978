// The ping collection: creates and keys elements, and tells its most recently advised sink when
// an element's ping has ended.
#pragma once

#include <chrono>
#include <cstdint>

#include "ping/ping_element.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/keyed_collection.h"
#include "platform/com/marshal.h"
#include "platform/com/notification_turns.h"

namespace vorlane::ping {

// How long a PingDone notification may take before it is given up.
inline constexpr std::chrono::milliseconds kNotificationLimit{10000};

class PingCollection final : public com::ComObject<PingCollection, com::DispatchImpl<PingCollection, ItqCollPings>,
                                                   com::ConnectionPointContainerImpl<PingCollection>,
                                                   com::ISupportErrorInfo> {
  com::HRESULT GetCount(com::DispatchCall& call);
  com::HRESULT InvokeAdd(com::DispatchCall& call);
  com::HRESULT InvokeRemove(com::DispatchCall& call);
  com::HRESULT InvokeItem(com::DispatchCall& call);
  com::HRESULT InvokeAt(com::DispatchCall& call);
  com::HRESULT InvokeClear(com::DispatchCall& call);
  com::HRESULT GetIsRunning(com::DispatchCall& call);
  com::HRESULT GetAllChecked(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<PingCollection> kDispatchMembers[] = {
      com::DispPropertyGet("Count", kCollCount, &PingCollection::GetCount),
      com::DispMethod("Add", kCollAdd, &PingCollection::InvokeAdd),
      com::DispMethod("Remove", kCollRemove, &PingCollection::InvokeRemove, 1),
      com::DispMethod("Item", kCollItem, &PingCollection::InvokeItem, 1),
      com::DispMethod("At", kCollAt, &PingCollection::InvokeAt, 1),
      com::DispMethod("Clear", kCollClear, &PingCollection::InvokeClear),
      com::DispPropertyGet("IsRunning", kCollIsRunning, &PingCollection::GetIsRunning),
      com::DispPropertyGet("AllChecked", kCollAllChecked, &PingCollection::GetAllChecked),
  };

  PingCollection();

  // ItqCollPings
  com::HRESULT get_Count(int32_t* count) override;
  com::HRESULT Add(ItqPing** element) override;
  com::HRESULT Remove(int32_t id) override;
  com::HRESULT Item(int32_t id, ItqPing** element) override;
  com::HRESULT At(int32_t index, ItqPing** element) override;
  com::HRESULT Clear() override;
  com::HRESULT get_IsRunning(com::VARIANT_BOOL* running) override;
  com::HRESULT get_AllChecked(com::VARIANT_BOOL* checked) override;

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ItqCollPings::kIid ? com::S_OK : com::S_FALSE;
  }

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
