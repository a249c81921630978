// An application for the terminal server, for tests and benchmarks: it allows the login
// "monitor"/"pw", serves every shell channel itself, sends a login answer when the service starts
// and answers each request with "#answer=<its length>#". It records the events in order.
#pragma once

#include <mutex>
#include <string_view>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/termserver/term_server_contract.h"

namespace vorlane::termserver::testing {

using namespace vorlane::com;

inline HRESULT Put(IDispatch* target, DISPID id, const Variant& value) { return PutProperty(target, id, value); }

inline HRESULT Call(IDispatch* target, DISPID id, std::vector<Variant> args, VARIANT* result = nullptr,
                    uint16_t flags = DISPATCH_METHOD) {
  return InvokeMember(target, id, flags, args, result);
}

inline int32_t GetInt(IDispatch* target, DISPID id) {
  int32_t value = -1;
  return Succeeded(GetProperty(target, id, &value)) ? value : -1;
}

// What every application sink shares: it is reached late-bound only, as the event interface,
// and each call goes to `Derived::OnEvent(id, params)`.
template <class Derived>
class TermServerEventSink : public ComObject<Derived, IDispatch> {
 public:
  HRESULT QueryInterfaceExtra(const IID& iid, void** object) override {
    if (iid != ITermServerEvents::kIid) return E_NOINTERFACE;
    this->AddRef();
    *object = static_cast<IDispatch*>(this);
    return S_OK;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, S_OK; }
  HRESULT GetTypeInfo(uint32_t, LCID, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t, DISPPARAMS* params, VARIANT*, EXCEPINFO*, uint32_t*) override {
    return static_cast<Derived*>(this)->OnEvent(id, params);
  }
};

// What the test applications answer to the login and service events: "monitor"/"pw" may log in,
// and the application serves every shell channel itself. False for any other event.
inline bool AnswerLoginOrService(DISPID id, DispatchCall& call) {
  namespace args = event_args;
  if (id == kEventLoginPassword) {
    std::string login, password;
    (void)call.Read(args::LoginPassword::kName, &login);
    (void)call.Read(args::LoginPassword::kPassword, &password);
    (void)call.Write(args::LoginPassword::kAllow, Variant(int32_t{login == "monitor" && password == "pw" ? 1 : 0}));
    return true;
  }
  if (id == kEventServiceRequest) {
    (void)call.Write(args::ServiceRequest::kType, Variant(kServiceApplication));
    return true;
  }
  return false;
}

// The application side: answers the events as the agent does and records them in order.
class RecordingSink final : public TermServerEventSink<RecordingSink> {
 public:
  std::vector<std::string> Events() {
    std::lock_guard lock(lock_);
    return events_;
  }

  HRESULT OnEvent(DISPID id, DISPPARAMS* params) {
    namespace args = event_args;
    DispatchCall call(*params, nullptr, nullptr);
    auto number = [&](uint32_t k) {
      int32_t value = 0;
      (void)call.Read(k, &value);
      return value;
    };
    auto text = [&](uint32_t k) {
      std::string value;
      (void)call.Read(k, &value);
      return value;
    };
    ComPtr<IDispatch> user;
    (void)call.Read(args::kUser, &user);
    switch (id) {
      case kEventConnecting:
        Record("Connecting");
        break;
      case kEventLoginPassword: {
        const std::string login = text(args::LoginPassword::kName);
        const bool allowed = login == "monitor" && text(args::LoginPassword::kPassword) == "pw";
        Record("LoginPassword:" + login);
        (void)call.Write(args::LoginPassword::kAllow, Variant(int32_t{allowed ? 1 : 0}));
        break;
      }
      case kEventServiceRequest: {
        const int32_t type = number(args::ServiceRequest::kType);
        Record("ServiceRequest:" + std::to_string(type));
        if (type == kServiceSftp) {
          (void)Put(user.get(), kUserSftpHome, Variant::FromUtf8(sftpHome));
        } else {
          (void)call.Write(args::ServiceRequest::kType, Variant(shellType));
          (void)call.Write(args::ServiceRequest::kAccept, Variant(shellAccept));
        }
        break;
      }
      case kEventServiceStart:
        Record("ServiceStart:" + std::to_string(number(args::ServiceStart::kType)));
        (void)Call(user.get(), kUserSend, {Variant(u"#keycount=3#responseaction=login#"), Variant(int32_t{0})});
        break;
      case kEventReceived: {
        const int32_t index = number(args::Received::kChannel);
        std::string request;
        (void)CallMethodFor(user.get(), kUserReceive, {Variant(number(args::Received::kLength))}, &request);
        Record("Received:" + request);
        (void)Call(user.get(), kUserSend, {Variant::FromUtf8("#answer=" + std::to_string(request.size()) + "#"), Variant(index)});
        break;
      }
      case kEventSftpUploadFile:
      case kEventSftpDownloadFile:
        Record("Sftp:" + std::to_string(id) + ":" + text(args::Sftp::kPath));
        break;
      case kEventDisconnected:
        Record("Disconnected");
        break;
      default:
        Record("Event:" + std::to_string(id));
    }
    return S_OK;
  }

  // The folder SFTP channels are confined to.
  std::string sftpHome;
  // The answer to a shell's service request: the type decided and whether it is accepted.
  int32_t shellType = kServiceApplication;
  int32_t shellAccept = 1;

 private:
  void Record(std::string event) {
    std::lock_guard lock(lock_);
    events_.push_back(std::move(event));
  }
  std::mutex lock_;
  std::vector<std::string> events_;
};

}  // namespace vorlane::termserver::testing
