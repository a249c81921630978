// One ping element: checks and copies the arguments of a ping job, starts its worker and holds
// the results of the last job.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "ping/ping_worker.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"
#include "platform/com/keyed_collection.h"

namespace vorlane::ping {

class PingCollection;

class PingElement final : public com::ComObject<PingElement, com::DispatchImpl<PingElement, ItqPing>,
                                                com::ConnectionPointContainerImpl<PingElement>,
                                                com::SupportsErrorInfoFor<ItqPing>>,
                          public com::KeyedElement<PingCollection> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_PING_MEMBERS, PingElement, ItqPing)

  // Throws when this system offers no ICMP echo socket to the process (so creation fails
  // with E_FAIL), std::bad_alloc when memory runs out.
  PingElement();

  // ItqPing
  VORLANE_CONTRACT_OVERRIDES(VORLANE_PING_MEMBERS)

  // --- The collection's and the worker's side (and KeyedElement's).
  // Under the property lock, taken by the caller.
  void AppendErrorMessageLocked(std::u16string_view text) { errorMessage_.append(text); }

  // The worker's writes, each under the property lock.
  std::u16string ErrSeparator() { return Locked(errSeparator_); }
  void SetHostTcpIp(std::u16string text) { (void)WriteLocked(hostTcpIp_, std::move(text)); }
  void SetErrorMessage(std::u16string text) { (void)WriteLocked(errorMessage_, std::move(text)); }
  void StoreResults(PingResults results);

 private:
  ~PingElement() override;

  std::u16string errSeparator_ = u"#";  // guarded by propertyLock_, as every field down to errorMessage_
  int32_t averageRoundTrip_ = 0;
  int16_t succeededPercent_ = 0;
  std::u16string hostTcpIp_;
  std::u16string errorMessage_;
  std::atomic<int32_t> pingId_{0};
  bool ipv6Available_ = false;
};

}  // namespace vorlane::ping
