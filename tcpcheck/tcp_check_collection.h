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
#include "platform/com/marshal.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tcp_check_job.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection final
    : public com::ComObject<TcpCheckCollection, com::DispatchImpl<TcpCheckCollection, ItqCollThTCP>,
                            com::ConnectionPointContainerImpl<TcpCheckCollection>, com::ISupportErrorInfo> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TCP_COLLECTION_MEMBERS, TcpCheckCollection, ItqCollThTCP)


  TcpCheckCollection();

  // ItqCollThTCP
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TCP_COLLECTION_MEMBERS)

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ItqCollThTCP::kIid ? com::S_OK : com::S_FALSE;
  }

  // Called by a job's worker on its own thread when the job's check has ended: delivers
  // JobDone(id) to every advised sink in the order they were advised, each in its own apartment,
  // and waits until each has returned. Workers that finish together deliver one after another.
  // The outcome is not reported.
  void FireJobDone(int32_t id) noexcept;

 private:
  ~TcpCheckCollection() override;

  // Empties the table; every job leaves with its id as it is. Under tableLock_.
  std::map<int32_t, com::ComPtr<TcpCheckJob>> TakeAllLocked();

  // One JobDone delivery at a time. Only workers take it, never the client's thread: a worker
  // holds it while it waits for the client's apartment to run the sink, so a client method that
  // took it would deadlock against its own pending event.
  std::mutex fireLock_;
  // Guards jobs_ and nextId_. The client calls from its apartment's thread only, but the last
  // reference (and with it the destructor) may be a worker's.
  std::mutex tableLock_;
  std::map<int32_t, com::ComPtr<TcpCheckJob>> jobs_;
  int32_t nextId_ = 0;
  // Every advised sink by cookie, marshalled for the workers. A sink whose Advise succeeded
  // hears every JobDone until its own Unadvise.
  std::mutex sinkLock_;
  std::map<uint32_t, std::shared_ptr<com::MarshalledInterface>> sinks_;  // guarded by sinkLock_
};

}  // namespace vorlane::tcpcheck
