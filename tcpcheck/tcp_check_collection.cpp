#include "tcpcheck/tcp_check_collection.h"

#include <iterator>
#include <utility>
#include <vector>

#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::tcpcheck {

using com::HRESULT;
using com::VARIANT_BOOL;

namespace {

// Runs `body` (returning an HRESULT) so that no exception escapes: on one, writes `line` and
// answers E_FAIL.
template <class F>
HRESULT Guarded(const char* line, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    debuglog::Write(line);
    return com::E_FAIL;
  }
}

HRESULT HandOut(TcpCheckJob& job, ItqThTCP** out) {
  return job.QueryInterface(ItqThTCP::kIid, reinterpret_cast<void**>(out));
}

}  // namespace

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
  std::map<int32_t, com::ComPtr<TcpCheckJob>> leaving;
  std::lock_guard guard(tableLock_);
  leaving = TakeAllLocked();
}

HRESULT TcpCheckCollection::get_Count(int32_t* count) {
  if (count == nullptr) return com::E_POINTER;
  std::lock_guard guard(tableLock_);
  *count = static_cast<int32_t>(jobs_.size());
  return com::S_OK;
}

HRESULT TcpCheckCollection::Add(ItqThTCP** job) {
  if (job == nullptr) return com::E_POINTER;
  *job = nullptr;
  return Guarded("tqCollThTCP::Exception in Add\n", [&]() -> HRESULT {
    com::ComPtr<TcpCheckJob> created;
    if (com::Failed(TcpCheckJob::Create(&created))) {
      debuglog::Write("tqCollThTCP::Exception in Add\n");
      return com::E_FAIL;
    }
    std::lock_guard guard(tableLock_);
    const HRESULT inserted = Guarded("tqCollThTCP::Exception in AddItem\n", [&]() -> HRESULT {
      // Ids in use are skipped; the bound is the number of ids there are.
      for (uint32_t round = 0; round <= jobs_.size(); ++round) {
        const int32_t candidate = nextId_;
        nextId_ = static_cast<int32_t>(static_cast<uint32_t>(nextId_) + 1);
        if (jobs_.emplace(candidate, created).second) {
          created->Join(this, candidate);
          return com::S_OK;
        }
      }
      return com::E_FAIL;
    });
    if (com::Failed(inserted)) return inserted;
    return HandOut(*created, job);
  });
}

HRESULT TcpCheckCollection::Remove(int32_t id) {
  return Guarded("tqCollThTCP::Exception in Remove\n", [&]() -> HRESULT {
    com::ComPtr<TcpCheckJob> removed;  // released after the lock
    std::lock_guard guard(tableLock_);
    auto it = jobs_.find(id);
    if (it == jobs_.end()) return com::S_FALSE;
    it->second->Leave(-1);
    removed = std::move(it->second);
    jobs_.erase(it);
    if (jobs_.empty()) nextId_ = 0;
    return com::S_OK;
  });
}

HRESULT TcpCheckCollection::Item(int32_t id, ItqThTCP** job) {
  if (job == nullptr) return com::E_POINTER;
  *job = nullptr;
  return Guarded("tqCollThTCP::Exception in Item\n", [&]() -> HRESULT {
    std::lock_guard guard(tableLock_);
    auto it = jobs_.find(id);
    if (it == jobs_.end()) return com::E_FAIL;
    return HandOut(*it->second, job);
  });
}

HRESULT TcpCheckCollection::At(int32_t index, ItqThTCP** job) {
  if (job == nullptr) return com::E_POINTER;
  *job = nullptr;
  std::lock_guard guard(tableLock_);
  if (index < 0 || static_cast<size_t>(index) >= jobs_.size()) {
    debuglog::Write("tqCollThTCP::Exception in At\n");
    return com::DISP_E_BADINDEX;
  }
  return HandOut(*std::next(jobs_.begin(), index)->second, job);
}

HRESULT TcpCheckCollection::Clear() {
  return Guarded("tqCollThTCP::Exception in Clear\n", [&] {
    std::map<int32_t, com::ComPtr<TcpCheckJob>> leaving;  // released after the lock
    std::lock_guard guard(tableLock_);
    leaving = TakeAllLocked();
    return com::S_OK;
  });
}

std::map<int32_t, com::ComPtr<TcpCheckJob>> TcpCheckCollection::TakeAllLocked() {
  for (auto& [id, job] : jobs_) job->Leave(id);
  nextId_ = 0;
  return std::exchange(jobs_, {});
}

HRESULT TcpCheckCollection::get_IsRunning(VARIANT_BOOL* running) {
  if (running == nullptr) return com::E_POINTER;
  std::lock_guard guard(tableLock_);
  bool any = false;
  for (auto it = jobs_.begin(); it != jobs_.end() && !any; ++it) any = it->second->Running();
  *running = any ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return com::S_OK;
}

HRESULT TcpCheckCollection::get_AllChecked(VARIANT_BOOL* checked) {
  if (checked == nullptr) return com::E_POINTER;
  std::lock_guard guard(tableLock_);
  bool all = true;
  for (auto it = jobs_.begin(); it != jobs_.end() && all; ++it) all = it->second->Checked();
  *checked = all ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return com::S_OK;
}

void TcpCheckCollection::FireJobDone(int32_t id) noexcept {
  try {
    std::lock_guard turn(fireLock_);
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
