// The TCP check collection (tqCollThTCP): creates and keys jobs, and tells its advised sinks when
// a job's check has ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/keyed_collection.h"
#include "platform/com/marshal.h"
#include "platform/com/notification_turns.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tcp_check_job.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection final
    : public com::ComObject<TcpCheckCollection, com::DispatchImpl<TcpCheckCollection, ItqCollThTCP>,
                            com::ConnectionPointContainerImpl<TcpCheckCollection>, com::ISupportErrorInfo> {
  com::HRESULT GetCount(com::DispatchCall& call);
  com::HRESULT InvokeAdd(com::DispatchCall& call);
  com::HRESULT InvokeRemove(com::DispatchCall& call);
  com::HRESULT InvokeItem(com::DispatchCall& call);
  com::HRESULT InvokeAt(com::DispatchCall& call);
  com::HRESULT InvokeClear(com::DispatchCall& call);
  com::HRESULT GetIsRunning(com::DispatchCall& call);
  com::HRESULT GetAllChecked(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<TcpCheckCollection> kDispatchMembers[] = {
      com::DispMethod("Item", kCollItem, &TcpCheckCollection::InvokeItem, 1),
      com::DispPropertyGet("Count", kCollCount, &TcpCheckCollection::GetCount),
      com::DispMethod("Add", kCollAdd, &TcpCheckCollection::InvokeAdd),
      com::DispMethod("Remove", kCollRemove, &TcpCheckCollection::InvokeRemove, 1),
      com::DispMethod("At", kCollAt, &TcpCheckCollection::InvokeAt, 1),
      com::DispMethod("Clear", kCollClear, &TcpCheckCollection::InvokeClear),
      com::DispPropertyGet("IsRunning", kCollIsRunning, &TcpCheckCollection::GetIsRunning),
      com::DispPropertyGet("AllChecked", kCollAllChecked, &TcpCheckCollection::GetAllChecked),
  };

  TcpCheckCollection();

  // ItqCollThTCP
  com::HRESULT get_Count(int32_t* count) override;
  com::HRESULT Add(ItqThTCP** job) override;
  com::HRESULT Remove(int32_t id) override;
  com::HRESULT Item(int32_t id, ItqThTCP** job) override;
  com::HRESULT At(int32_t index, ItqThTCP** job) override;
  com::HRESULT Clear() override;
  com::HRESULT get_IsRunning(com::VARIANT_BOOL* running) override;
  com::HRESULT get_AllChecked(com::VARIANT_BOOL* checked) override;

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ItqCollThTCP::kIid ? com::S_OK : com::S_FALSE;
  }

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
