#include "tcpcheck/tcp_check_collection.h"

#include <utility>
#include <vector>

#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::tcpcheck {

using com::HRESULT;

TcpCheckCollection::TcpCheckCollection() {
  com::ConnectionPoint& point = ConnectionPoints().Add(ItqCollThTCPEvents::kIid);
  // Each sink is marshalled as it is advised, so that any worker can reach it in its apartment;
  // a sink that cannot be marshalled is not connected.
  point.SetHooks({[this](uint32_t cookie, com::IUnknown* sink) {
                    std::unique_ptr<com::MarshalledInterface> marshalled;
                    VORLANE_RETURN_IF_FAILED(
                        com::MarshalledInterface::Create(ItqCollThTCPEvents::kIid, sink, &marshalled));
                    std::lock_guard guard(sinkLock_);
                    sinks_[cookie] = std::move(marshalled);
                    return com::S_OK;
                  },
                  [this](uint32_t cookie) {
                    std::shared_ptr<com::MarshalledInterface> leaving;  // released after the lock
                    std::lock_guard guard(sinkLock_);
                    if (auto it = sinks_.find(cookie); it != sinks_.end()) {
                      leaving = std::move(it->second);
                      sinks_.erase(it);
                    }
                  },
                  nullptr});
}

TcpCheckCollection::~TcpCheckCollection() {
  // First: the hooks use sinks_.
  ConnectionPoints().DisconnectAll();
  (void)jobs_.Clear();
}

VORLANE_KEYED_COLLECTION_MEMBERS_OF(TcpCheckCollection, jobs_, ItqThTCP)

HRESULT TcpCheckCollection::Add(ItqThTCP** job) {
  if (job == nullptr) return com::E_POINTER;
  *job = nullptr;
  return com::Guarded(jobs_.FailureLine("Add"), [&]() -> HRESULT {
    com::ComPtr<TcpCheckJob> created;
    if (com::Failed(TcpCheckJob::Create(&created))) {
      debuglog::Write(jobs_.FailureLine("Add"));
      return com::E_FAIL;
    }
    const HRESULT inserted = jobs_.Insert(this, created);
    if (inserted == com::E_OUTOFMEMORY) debuglog::Write(jobs_.FailureLine("AddItem"));
    if (com::Failed(inserted)) return com::E_FAIL;
    return Jobs::HandOut(*created, job);
  });
}

void TcpCheckCollection::FireJobDone(int32_t id) noexcept {
  try {
    com::NotificationTurns::Turn turn(fireTurns_);
    // Called outside the sink lock: a handler may Advise or Unadvise.
    std::vector<std::shared_ptr<com::MarshalledInterface>> sinks;
    {
      std::lock_guard guard(sinkLock_);
      for (const auto& [cookie, sink] : sinks_) sinks.push_back(sink);
    }
    for (const auto& marshalled : sinks) {
      com::ComPtr<com::IDispatch> events;
      if (com::Failed(marshalled->Unmarshal(ItqCollThTCPEvents::kIid, events.put_void())) || !events) continue;
      // The sink is asked for the event's id by name, as a client without the type library would.
      com::Variant result;
      (void)com::CallMethod(events.get(), kEventJobDoneName, {com::Variant(id)}, result.put());
    }
  } catch (...) {
    // Not the worker's concern: the delivery is given up.
  }
}

}  // namespace vorlane::tcpcheck
