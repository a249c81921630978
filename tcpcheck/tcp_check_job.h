// One TCP check job (tqThTCP): checks and copies the arguments of a check, starts its worker and
// holds the outcome of the last check.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/contract_dispatch.h"
#include "tcpcheck/portwick.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection;

class TcpCheckJob final : public com::ComObject<TcpCheckJob, com::DispatchImpl<TcpCheckJob, ItqThTCP>,
                                                com::ISupportErrorInfo> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TCP_JOB_MEMBERS, TcpCheckJob, ItqThTCP)


  // A new job, once a probe instance of the TCP client control could be created (and released)
  // on the calling thread: without the control no check could ever run. On failure the probe's
  // error, with error information "Can not create the instance of kelpline component".
  static com::HRESULT Create(com::ComPtr<TcpCheckJob>* job) noexcept;

  TcpCheckJob() = default;

  // ItqThTCP
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TCP_JOB_MEMBERS)

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
