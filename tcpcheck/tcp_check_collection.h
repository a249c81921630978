// The TCP check collection (tqCollThTCP): creates and keys jobs, and tells its advised sinks when
// a job's check has ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"
#include "platform/com/keyed_collection.h"
#include "platform/com/marshal.h"
#include "platform/com/notification_turns.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tcp_check_job.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection final
    : public com::ComObject<TcpCheckCollection, com::DispatchImpl<TcpCheckCollection, ItqCollThTCP>,
                            com::ConnectionPointContainerImpl<TcpCheckCollection>, com::SupportsErrorInfoFor<ItqCollThTCP>> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TCP_COLLECTION_MEMBERS, TcpCheckCollection, ItqCollThTCP)

  TcpCheckCollection();

  // ItqCollThTCP
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TCP_COLLECTION_MEMBERS)

  // Called by a job's worker (a job runner thread) when the job's check has ended: delivers
  // JobDone(id) to every advised sink in the order they were advised, each in its own apartment,
  // and waits until each has returned. Workers that finish together deliver one after another.
  // The outcome is not reported.
  void FireJobDone(int32_t id) noexcept;

 private:
  ~TcpCheckCollection() override;

  // One JobDone delivery at a time, in the order the workers asked. A worker holds its turn while
  // it waits for the client's apartment to run the sinks; a handler there that ends up asking
  // for a turn on the same thread is let in (see NotificationTurns).
  com::NotificationTurns fireTurns_;
  // Jobs keep their ids when the collection is cleared; Item of a missing id fails.
  using Jobs = com::KeyedCollection<TcpCheckJob, ItqThTCP>;
  Jobs jobs_{{.logName = "tqCollThTCP", .missingItem = com::E_FAIL, .logBadIndex = true, .clearKeepsIds = true}};
  // Every advised sink by cookie, marshalled for the workers. A sink whose Advise succeeded
  // hears every JobDone until its own Unadvise.
  std::mutex sinkLock_;
  std::map<uint32_t, std::shared_ptr<com::MarshalledInterface>> sinks_;  // guarded by sinkLock_
};

}  // namespace vorlane::tcpcheck
