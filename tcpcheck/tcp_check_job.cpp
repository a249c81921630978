#include "tcpcheck/tcp_check_job.h"

#include <cstring>
#include <memory>
#include <utility>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/error_info.h"
#include "platform/com/module_thread.h"
#include "platform/com/text.h"
#include "tcpcheck/debug_trace.h"
#include "tcpcheck/tcp_check_collection.h"
#include "tcpcheck/tcp_check_worker.h"
#include "tcpclient/kelpline.h"

namespace vorlane::tcpcheck {

using com::Bstr;
using com::BSTR;
using com::HRESULT;
using com::VARIANT_BOOL;

namespace {

constexpr std::u16string_view kNoControlText = u"Can not create the instance of kelpline component";

// A null BSTR is the empty text.
std::u16string Copy(BSTR text) { return std::u16string(text != nullptr ? text : u"", com::SysStringLen(text)); }

VARIANT_BOOL AsVariantBool(bool value) { return value ? com::VARIANT_TRUE : com::VARIANT_FALSE; }

// The class object of tqThTCP (aggregation is not offered, as for every class of the runtime).
class TcpJobFactory final : public com::ComObject<TcpJobFactory, com::IClassFactory> {
 public:
  HRESULT CreateInstance(com::IUnknown* outer, const com::IID& iid, void** object) override {
    if (object == nullptr) return com::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return com::CLASS_E_NOAGGREGATION;
    com::ComPtr<TcpCheckJob> job;
    VORLANE_RETURN_IF_FAILED(TcpCheckJob::Create(&job));
    return job->QueryInterface(iid, object);
  }
  HRESULT LockServer(int32_t lock) override {
    if (lock != 0) {
      com::ModuleLockCount().fetch_add(1, std::memory_order_relaxed);
    } else {
      com::ModuleLockCount().fetch_sub(1, std::memory_order_release);
    }
    return com::S_OK;
  }

 private:
  ~TcpJobFactory() override = default;
};

}  // namespace

HRESULT TcpJobClassObject(const com::IID& iid, void** object) {
  return com::Make<TcpJobFactory>()->QueryInterface(iid, object);
}

HRESULT TcpCheckJob::Create(com::ComPtr<TcpCheckJob>* job) noexcept {
  *job = nullptr;
  com::ComPtr<com::IUnknown> probe;
  const HRESULT created =
      com::CoCreateInstance(tcpclient::kKelplineClsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IUnknown::kIid,
                            probe.put_void());
  if (com::Failed(created) || !probe) {
    const HRESULT hr = com::Failed(created) ? created : com::E_FAIL;
    return com::SetErrorAndReturn(hr, ItqThTCP::kIid, u"tqThTCP", kNoControlText);
  }
  probe.reset();
  return com::CatchReturn([&] { *job = com::Make<TcpCheckJob>(); });
}

HRESULT TcpCheckJob::Check(BSTR hostname, int32_t port, int32_t timeout, BSTR receiveOnConnect,
                           int32_t receiveOnConnectCompare, BSTR sendOnConnect, BSTR receiveAsResponse,
                           int32_t receiveAsResponseCompare, BSTR sendOnDisconnect, VARIANT_BOOL waitOnDisconnect,
                           VARIANT_BOOL useIpv6) {
  if (hostname == nullptr || com::SysStringLen(hostname) == 0 || port <= 0 || timeout <= 0) return com::E_INVALIDARG;
  return com::CatchReturn([&]() -> HRESULT {
    auto args = std::make_unique<CheckArgs>();
    args->host = Copy(hostname);
    args->port = port;
    args->timeout = timeout;
    args->greeting = Copy(receiveOnConnect);
    args->greetingMode = receiveOnConnectCompare;
    args->send = Copy(sendOnConnect);
    args->response = Copy(receiveAsResponse);
    args->responseMode = receiveAsResponseCompare;
    args->closingLine = Copy(sendOnDisconnect);
    args->linger = waitOnDisconnect != com::VARIANT_FALSE;
    args->useIpv6 = useIpv6 != com::VARIANT_FALSE;
    args->job = com::ComPtr<TcpCheckJob>(this);
    args->collection = Collection();
    {
      std::lock_guard guard(propertyLock_);
      if (isRunning_ != com::VARIANT_FALSE) return com::E_FAIL;
      hostAddress_.clear();
      // Running from before the worker exists: the worker may finish before this returns.
      isRunning_ = com::VARIANT_TRUE;
    }
    const std::string host = com::Utf16ToUtf8(args->host);
    // The lambda owns the arguments until a worker takes them; if none ever does, they go with
    // the lambda.
    auto shared = std::make_shared<std::unique_ptr<CheckArgs>>(std::move(args));
    const int error = com::RunModuleJob([shared] { RunTcpCheck(std::move(*shared)); });
    if (error == 0) return com::S_OK;
    SetNotRunning();
    // glibc's strerror always has a text ("Unknown error N" for a code it does not know).
    DebugTrace("tqThTCP ~ FAILED to start the TCP check for the host name: %s, doserrno: %ld, errno: %ld, "
               "system error: %s",
               host.c_str(), static_cast<long>(error), static_cast<long>(error), std::strerror(error));
    return com::E_FAIL;
  });
}

HRESULT TcpCheckJob::get_ID(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = CurrentId();
  return com::S_OK;
}
HRESULT TcpCheckJob::get_IsRunning(VARIANT_BOOL* value) { return ReadLocked(isRunning_, value); }
HRESULT TcpCheckJob::get_TCPIPHostAddress(BSTR* value) { return ReadLocked(hostAddress_, value); }
HRESULT TcpCheckJob::get_TCPHostResponse(BSTR* value) { return ReadLocked(response_, value); }
HRESULT TcpCheckJob::get_TCPHostUP(VARIANT_BOOL* value) { return ReadLocked(up_, value); }
HRESULT TcpCheckJob::get_Checked(VARIANT_BOOL* value) { return ReadLocked(checked_, value); }
HRESULT TcpCheckJob::put_Checked(VARIANT_BOOL value) { return WriteLocked(checked_, value); }
HRESULT TcpCheckJob::get_hm_ID(int32_t* value) { return ReadLocked(hmId_, value); }
HRESULT TcpCheckJob::put_hm_ID(int32_t value) { return WriteLocked(hmId_, value); }

void TcpCheckJob::SetOutcome(bool up, std::u16string text) {
  std::lock_guard guard(propertyLock_);
  up_ = AsVariantBool(up);
  response_ = std::move(text);
}

}  // namespace vorlane::tcpcheck
