// One TCP check job (tqThTCP): checks and copies the arguments of a check, starts its worker and
// holds the outcome of the last check.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "tcpcheck/portwick.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection;

class TcpCheckJob final : public com::ComObject<TcpCheckJob, com::DispatchImpl<TcpCheckJob, ItqThTCP>,
                                                com::ISupportErrorInfo> {
  com::HRESULT GetId(com::DispatchCall& call);
  com::HRESULT GetIsRunning(com::DispatchCall& call);
  com::HRESULT InvokeCheck(com::DispatchCall& call);
  com::HRESULT GetTcpIpHostAddress(com::DispatchCall& call);
  com::HRESULT GetTcpHostResponse(com::DispatchCall& call);
  com::HRESULT GetTcpHostUp(com::DispatchCall& call);
  com::HRESULT GetChecked(com::DispatchCall& call);
  com::HRESULT PutChecked(com::DispatchCall& call);
  com::HRESULT GetHmId(com::DispatchCall& call);
  com::HRESULT PutHmId(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<TcpCheckJob> kDispatchMembers[] = {
      com::DispPropertyGet("ID", kJobId, &TcpCheckJob::GetId),
      com::DispPropertyGet("IsRunning", kJobIsRunning, &TcpCheckJob::GetIsRunning),
      com::DispMethod("Check", kJobCheck, &TcpCheckJob::InvokeCheck, 11),
      com::DispPropertyGet("TCPIPHostAddress", kJobTcpIpHostAddress, &TcpCheckJob::GetTcpIpHostAddress),
      com::DispPropertyGet("TCPHostResponse", kJobTcpHostResponse, &TcpCheckJob::GetTcpHostResponse),
      com::DispPropertyGet("TCPHostUP", kJobTcpHostUp, &TcpCheckJob::GetTcpHostUp),
      com::DispPropertyGet("Checked", kJobChecked, &TcpCheckJob::GetChecked),
      com::DispPropertyPut("Checked", kJobChecked, &TcpCheckJob::PutChecked),
      com::DispPropertyGet("hm_ID", kJobHmId, &TcpCheckJob::GetHmId),
      com::DispPropertyPut("hm_ID", kJobHmId, &TcpCheckJob::PutHmId),
  };

  // A new job, once a probe instance of the TCP client control could be created (and released)
  // on the calling thread: without the control no check could ever run. On failure the probe's
  // error, with error information "Can not create the instance of kelpline component".
  static com::HRESULT Create(com::ComPtr<TcpCheckJob>* job) noexcept;

  TcpCheckJob() = default;

  // ItqThTCP
  com::HRESULT get_ID(int32_t* value) override;
  com::HRESULT get_IsRunning(com::VARIANT_BOOL* value) override;
  com::HRESULT Check(com::BSTR hostname, int32_t port, int32_t timeout, com::BSTR receiveOnConnect,
                     int32_t receiveOnConnectCompare, com::BSTR sendOnConnect, com::BSTR receiveAsResponse,
                     int32_t receiveAsResponseCompare, com::BSTR sendOnDisconnect, com::VARIANT_BOOL waitOnDisconnect,
                     com::VARIANT_BOOL useIpv6) override;
  com::HRESULT get_TCPIPHostAddress(com::BSTR* value) override;
  com::HRESULT get_TCPHostResponse(com::BSTR* value) override;
  com::HRESULT get_TCPHostUP(com::VARIANT_BOOL* value) override;
  com::HRESULT get_Checked(com::VARIANT_BOOL* value) override;
  com::HRESULT put_Checked(com::VARIANT_BOOL value) override;
  com::HRESULT get_hm_ID(int32_t* value) override;
  com::HRESULT put_hm_ID(int32_t value) override;

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ItqThTCP::kIid ? com::S_OK : com::S_FALSE;
  }

  // --- The collection's side: membership, each under the property lock.
  void Join(TcpCheckCollection* parent, int32_t id);
  // Leaves the collection: no parent; the id becomes `id` (-1 on Remove, kept on Clear).
  void Leave(int32_t id);
  int32_t CurrentId();
  // The owning collection with a new reference, or null.
  com::ComPtr<TcpCheckCollection> Parent();
  bool Running();
  bool Checked();

  // --- The worker's side, each under the property lock.
  void SetHostAddress(std::u16string text);
  void SetResponse(std::u16string text);
  void SetOutcome(bool up, std::u16string text);
  void SetNotRunning();

 private:
  ~TcpCheckJob() override = default;

  // A property's value (a copy of a text) under the property lock; E_POINTER for a null out.
  template <class T>
  com::HRESULT ReadLocked(const T& field, T* value);
  com::HRESULT ReadLocked(const std::u16string& field, com::BSTR* value);
  template <class T>
  com::HRESULT WriteLocked(T& field, T value);

  // Guards every field below. The worker writes the results while the client may read them; a
  // client reading after IsRunning turned false sees the run's last writes.
  std::mutex propertyLock_;
  int32_t id_ = 0;
  com::VARIANT_BOOL isRunning_ = com::VARIANT_FALSE;
  std::u16string hostAddress_;
  std::u16string response_;
  com::VARIANT_BOOL up_ = com::VARIANT_FALSE;
  com::VARIANT_BOOL checked_ = com::VARIANT_FALSE;
  int32_t hmId_ = 0;
  TcpCheckCollection* parent_ = nullptr;  // not a counted reference; cleared when the job leaves
};

// The class object of tqThTCP: creates jobs through TcpCheckJob::Create, so that a direct
// creation reports the probe's failure as it is.
com::HRESULT TcpJobClassObject(const com::IID& iid, void** object);

}  // namespace vorlane::tcpcheck
