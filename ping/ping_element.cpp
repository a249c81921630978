#include "ping/ping_element.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "ping/icmp_echo.h"
#include "ping/ping_collection.h"
#include "ping/ping_log.h"
#include "ping/ping_worker.h"
#include "platform/com/bstr.h"
#include "platform/com/module_thread.h"
#include "platform/com/text.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::ping {

using com::Bstr;
using com::BSTR;
using com::HRESULT;
using com::VARIANT_BOOL;

namespace {

constexpr int32_t kMaxPackageSize = 512;

// Whether this process may send echo requests of `family` at all: the stand-in for the
// system's ICMP helper library being there.
bool EchoSocketsAvailable(int family) { return IcmpEchoSocket::Open(family).ok(); }

std::u16string_view View(BSTR text) { return {text != nullptr ? text : u"", com::SysStringLen(text)}; }

}  // namespace

PingElement::PingElement() {
  if (!EchoSocketsAvailable(AF_INET)) {
    debuglog::Write("Ping We didn't load the library to send echo ping!");
    throw std::runtime_error("no ICMP echo sockets");
  }
  ipv6Available_ = EchoSocketsAvailable(AF_INET6);
  ConnectionPoints().Add(ItqPingEvents::kIid);  // events of the element are accepted, never raised
  debuglog::Write("Ping Created new instance of Sondrel!");
}

PingElement::~PingElement() {
  ConnectionPoints().DisconnectAll();
  debuglog::Write("Ping Destroy the instance of Sondrel!");
}

HRESULT PingElement::Ping(BSTR hostName, int32_t packageSize, int32_t sendTimes, int32_t maxTimeout, uint8_t tos,
                          VARIANT_BOOL checkReturnedTos, VARIANT_BOOL ipV6) {
  const long pingId = pingId_.load(std::memory_order_relaxed);
  Logf(nullptr, "Sondrel ~ Enter the Ping method for the PingID: %ld", pingId);
  if (hostName == nullptr || com::SysStringLen(hostName) == 0) {
    Logf(nullptr, "Sondrel ~ FAILED to start the Ping for the PingID: %ld, empty hostname supplied", pingId);
    return com::E_INVALIDARG;
  }
  if (packageSize < 1 || packageSize > kMaxPackageSize) {
    Logf(nullptr, "Sondrel ~ FAILED to start the Ping for the PingID: %ld, invalid PackageSize supplied", pingId);
    return com::E_INVALIDARG;
  }
  if (sendTimes < 1) {
    Logf(nullptr, "Sondrel ~ FAILED to start the Ping for the PingID: %ld, invalid SendTimes supplied", pingId);
    return com::E_INVALIDARG;
  }
  maxTimeout = EffectiveMaxTimeout(maxTimeout);
  if (ipV6 != com::VARIANT_FALSE && !ipv6Available_) {
    Logf(nullptr, "Sondrel ~ FAILED to start the Ping for the PingID: %ld, The IPv6 API's are not supported!", pingId);
    return com::E_NOTIMPL;
  }
  return com::CatchReturn([&]() -> HRESULT {
    const std::string host = com::Utf16ToUtf8(View(hostName));
    std::string oldAddress;
    {
      std::lock_guard guard(propertyLock_);
      oldAddress = com::Utf16ToUtf8(hostTcpIp_);
    }
    Logf(nullptr,
         "Sondrel ~ Ping method for the PingID: %ld, hostname: %s, PackageSize: %ld, SendTimes:%ld, MaxTimeout:%ld, "
         "old IP:%s ",
         pingId, host.c_str(), static_cast<long>(packageSize), static_cast<long>(sendTimes),
         static_cast<long>(maxTimeout), oldAddress.c_str());

    auto job = std::make_unique<PingJob>();
    job->element = com::ComPtr<PingElement>(this);
    job->packageSize = packageSize;
    job->maxTimeout = maxTimeout;
    job->sendTimes = sendTimes;
    job->host = host;
    job->tos = tos;
    job->checkTos = checkReturnedTos != com::VARIANT_FALSE;
    job->ipV6 = ipV6 != com::VARIANT_FALSE;

    {
      std::lock_guard guard(propertyLock_);
      averageRoundTrip_ = 0;
      succeededPercent_ = 0;
      errorMessage_.clear();
      hostTcpIp_.clear();
      // Running from before the worker exists: the worker may finish before this returns.
      isRunning_ = com::VARIANT_TRUE;
    }
    // The lambda owns the job until a worker takes it; if none ever does, the job goes with the
    // lambda.
    auto shared = std::make_shared<std::unique_ptr<PingJob>>(std::move(job));
    const int error = com::RunModuleJob([shared] { RunPingJob(std::move(*shared)); });
    if (error != 0) {
      SetNotRunning();
      Logf(nullptr, "Sondrel ~ FAILED to start the Ping for the PingID: %ld, doserrno: %ld, errno: %ld, system error: %s",
           pingId, static_cast<long>(error), static_cast<long>(error), std::strerror(error));
      return com::E_FAIL;
    }
    Logf(nullptr, "Sondrel ~ Starting the send of Ping for the PingID: %ld", pingId);
    Logf(nullptr, "Sondrel ~ Exiting the Ping method for the PingID: %ld", pingId);
    return com::S_OK;
  });
}

HRESULT PingElement::get_ErrSeparator(BSTR* value) { return ReadLocked(errSeparator_, value); }

HRESULT PingElement::put_ErrSeparator(BSTR value) {
  return com::CatchReturn([&]() -> HRESULT {
    std::lock_guard guard(propertyLock_);
    if (value == nullptr) {
      errSeparator_.clear();
      return com::S_FALSE;
    }
    errSeparator_.assign(View(value));
    return com::S_OK;
  });
}

HRESULT PingElement::get_ID(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = CurrentId();
  return com::S_OK;
}
HRESULT PingElement::get_IsRunning(VARIANT_BOOL* value) { return ReadLocked(isRunning_, value); }

HRESULT PingElement::get_PingID(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = pingId_.load(std::memory_order_relaxed);
  return com::S_OK;
}

HRESULT PingElement::put_PingID(int32_t value) {
  pingId_.store(value, std::memory_order_relaxed);
  return com::S_OK;
}

HRESULT PingElement::get_HostTcpIp(BSTR* value) { return ReadLocked(hostTcpIp_, value); }
HRESULT PingElement::get_AverageRoundTrip(int32_t* value) { return ReadLocked(averageRoundTrip_, value); }
HRESULT PingElement::get_SucceededPercent(int16_t* value) { return ReadLocked(succeededPercent_, value); }
HRESULT PingElement::get_ErrorMessage(BSTR* value) { return ReadLocked(errorMessage_, value); }
HRESULT PingElement::get_Checked(VARIANT_BOOL* value) { return ReadLocked(checked_, value); }
HRESULT PingElement::put_Checked(VARIANT_BOOL value) { return WriteLocked(checked_, value); }

void PingElement::StoreResults(PingResults results) {
  std::lock_guard guard(propertyLock_);
  averageRoundTrip_ = results.averageRoundTrip;
  succeededPercent_ = results.succeededPercent;
  errorMessage_ = std::move(results.errorMessage);
}

}  // namespace vorlane::ping
