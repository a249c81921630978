// One TCP check job (tqThTCP): checks and copies the arguments of a check, starts its worker and
// holds the outcome of the last check.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/com/com_object.h"
#include "platform/com/contract_dispatch.h"
#include "platform/com/keyed_collection.h"
#include "tcpcheck/portwick.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection;

class TcpCheckJob final : public com::ComObject<TcpCheckJob, com::DispatchImpl<TcpCheckJob, ItqThTCP>,
                                                com::SupportsErrorInfoFor<ItqThTCP>>,
                          public com::KeyedElement<TcpCheckCollection> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TCP_JOB_MEMBERS, TcpCheckJob, ItqThTCP)

  // A new job, once a probe instance of the TCP client control could be created (and released)
  // on the calling thread: without the control no check could ever run. On failure the probe's
  // error, with error information "Can not create the instance of kelpline component".
  static com::HRESULT Create(com::ComPtr<TcpCheckJob>* job) noexcept;

  TcpCheckJob() = default;

  // ItqThTCP
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TCP_JOB_MEMBERS)

  // --- The worker's side, each under the property lock.
  void SetHostAddress(std::u16string text) { (void)WriteLocked(hostAddress_, std::move(text)); }
  void SetResponse(std::u16string text) { (void)WriteLocked(response_, std::move(text)); }
  void SetOutcome(bool up, std::u16string text);

 private:
  ~TcpCheckJob() override = default;

  // Guarded by the property lock. The worker writes the results while the client may read them;
  // a client reading after IsRunning turned false sees the run's last writes.
  std::u16string hostAddress_;
  std::u16string response_;
  com::VARIANT_BOOL up_ = com::VARIANT_FALSE;
  int32_t hmId_ = 0;
};

// The class object of tqThTCP: creates jobs through TcpCheckJob::Create, so that a direct
// creation reports the probe's failure as it is.
com::HRESULT TcpJobClassObject(const com::IID& iid, void** object);

}  // namespace vorlane::tcpcheck
