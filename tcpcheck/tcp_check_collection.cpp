#include "tcpcheck/tcp_check_collection.h"

#include <utility>
#include <vector>

#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::tcpcheck {

using com::HRESULT;
using com::VARIANT_BOOL;

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

HRESULT TcpCheckCollection::get_Count(int32_t* count) { return jobs_.Count(count); }

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

HRESULT TcpCheckCollection::Remove(int32_t id) { return jobs_.Remove(id); }
HRESULT TcpCheckCollection::Item(int32_t id, ItqThTCP** job) { return jobs_.Item(id, job); }
HRESULT TcpCheckCollection::At(int32_t index, ItqThTCP** job) { return jobs_.At(index, job); }
HRESULT TcpCheckCollection::Clear() { return jobs_.Clear(); }
HRESULT TcpCheckCollection::get_IsRunning(VARIANT_BOOL* running) { return jobs_.IsRunning(running); }
HRESULT TcpCheckCollection::get_AllChecked(VARIANT_BOOL* checked) { return jobs_.AllChecked(checked); }

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
