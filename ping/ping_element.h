// One ping element: checks and copies the arguments of a ping job, starts its worker and holds
// the results of the last job.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ping/ping_worker.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"

namespace vorlane::ping {

class PingCollection;

class PingElement final : public com::ComObject<PingElement, com::DispatchImpl<PingElement, ItqPing>,
                                                com::ConnectionPointContainerImpl<PingElement>,
                                                com::ISupportErrorInfo> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_PING_MEMBERS, PingElement, ItqPing)

  // Throws when this system offers no ICMP echo socket to the process (so creation fails
  // with E_FAIL), std::bad_alloc when memory runs out.
  PingElement();

  // ItqPing
  VORLANE_CONTRACT_OVERRIDES(VORLANE_PING_MEMBERS)

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ItqPing::kIid ? com::S_OK : com::S_FALSE;
  }

  // --- The collection's and the worker's side.
  // Membership, under the property lock: Leave clears the parent and sets the id (-1).
  void Join(PingCollection* parent, int32_t id);
  void Leave(int32_t id);
  int32_t CurrentId() const noexcept { return id_.load(std::memory_order_relaxed); }
  // The owning collection with a new reference, or null.
  com::ComPtr<PingCollection> Parent();

  std::mutex& PropertyLock() noexcept { return propertyLock_; }
  // Each under the property lock.
  bool Running();
  bool Checked();
  // Under the property lock, taken by the caller.
  void AppendErrorMessageLocked(std::u16string_view text) { errorMessage_.append(text); }

  // The worker's writes, each under the property lock.
  std::u16string ErrSeparator();
  void SetHostTcpIp(std::u16string text);
  void SetErrorMessage(std::u16string text);
  void StoreResults(PingResults results);
  void SetNotRunning();

 private:
  ~PingElement() override;

  std::mutex propertyLock_;
  std::u16string errSeparator_ = u"#";  // guarded by propertyLock_, as every field down to parent_
  int32_t averageRoundTrip_ = 0;
  int16_t succeededPercent_ = 0;
  std::u16string hostTcpIp_;
  std::u16string errorMessage_;
  com::VARIANT_BOOL isRunning_ = com::VARIANT_FALSE;
  com::VARIANT_BOOL checked_ = com::VARIANT_FALSE;
  PingCollection* parent_ = nullptr;  // not a counted reference; cleared when the element leaves
  std::atomic<int32_t> id_{0};
  std::atomic<int32_t> pingId_{0};
  bool ipv6Available_ = false;
};

}  // namespace vorlane::ping
