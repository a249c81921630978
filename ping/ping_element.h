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
#include "platform/com/dispatch_table.h"

namespace vorlane::ping {

class PingCollection;

class PingElement final : public com::ComObject<PingElement, com::DispatchImpl<PingElement, ItqPing>,
                                                com::ConnectionPointContainerImpl<PingElement>,
                                                com::ISupportErrorInfo> {
  com::HRESULT InvokePing(com::DispatchCall& call);
  com::HRESULT GetErrSeparator(com::DispatchCall& call);
  com::HRESULT PutErrSeparator(com::DispatchCall& call);
  com::HRESULT GetId(com::DispatchCall& call);
  com::HRESULT GetIsRunning(com::DispatchCall& call);
  com::HRESULT GetPingId(com::DispatchCall& call);
  com::HRESULT PutPingId(com::DispatchCall& call);
  com::HRESULT GetHostTcpIp(com::DispatchCall& call);
  com::HRESULT GetAverageRoundTrip(com::DispatchCall& call);
  com::HRESULT GetSucceededPercent(com::DispatchCall& call);
  com::HRESULT GetErrorMessage(com::DispatchCall& call);
  com::HRESULT GetChecked(com::DispatchCall& call);
  com::HRESULT PutChecked(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<PingElement> kDispatchMembers[] = {
      com::DispMethod("Ping", kPingPing, &PingElement::InvokePing, 4, 3),
      com::DispPropertyGet("ErrSeparator", kPingErrSeparator, &PingElement::GetErrSeparator),
      com::DispPropertyPut("ErrSeparator", kPingErrSeparator, &PingElement::PutErrSeparator),
      com::DispPropertyGet("ID", kPingId, &PingElement::GetId),
      com::DispPropertyGet("IsRunning", kPingIsRunning, &PingElement::GetIsRunning),
      com::DispPropertyGet("PingID", kPingPingId, &PingElement::GetPingId),
      com::DispPropertyPut("PingID", kPingPingId, &PingElement::PutPingId),
      com::DispPropertyGet("HostTcpIp", kPingHostTcpIp, &PingElement::GetHostTcpIp),
      com::DispPropertyGet("AverageRoundTrip", kPingAverageRoundTrip, &PingElement::GetAverageRoundTrip),
      com::DispPropertyGet("SucceededPercent", kPingSucceededPercent, &PingElement::GetSucceededPercent),
      com::DispPropertyGet("ErrorMessage", kPingErrorMessage, &PingElement::GetErrorMessage),
      com::DispPropertyGet("Checked", kPingChecked, &PingElement::GetChecked),
      com::DispPropertyPut("Checked", kPingChecked, &PingElement::PutChecked),
  };

  // Throws when this system offers no ICMP echo socket to the process (so creation fails
  // with E_FAIL), std::bad_alloc when memory runs out.
  PingElement();

  // ItqPing
  com::HRESULT Ping(com::BSTR hostName, int32_t packageSize, int32_t sendTimes, int32_t maxTimeout, uint8_t tos,
                    com::VARIANT_BOOL checkReturnedTos, com::VARIANT_BOOL ipV6) override;
  com::HRESULT get_ErrSeparator(com::BSTR* value) override;
  com::HRESULT put_ErrSeparator(com::BSTR value) override;
  com::HRESULT get_ID(int32_t* value) override;
  com::HRESULT get_IsRunning(com::VARIANT_BOOL* value) override;
  com::HRESULT get_PingID(int32_t* value) override;
  com::HRESULT put_PingID(int32_t value) override;
  com::HRESULT get_HostTcpIp(com::BSTR* value) override;
  com::HRESULT get_AverageRoundTrip(int32_t* value) override;
  com::HRESULT get_SucceededPercent(int16_t* value) override;
  com::HRESULT get_ErrorMessage(com::BSTR* value) override;
  com::HRESULT get_Checked(com::VARIANT_BOOL* value) override;
  com::HRESULT put_Checked(com::VARIANT_BOOL value) override;

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
