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
#include "platform/com/variant.h"
#include "platform/termserver/ids.h"

namespace vorlane::termserver::testing {

using namespace vorlane::com;

inline HRESULT Put(IDispatch* target, DISPID id, Variant value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{value.get(), &named, 1, 1};
  return target->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

inline HRESULT Call(IDispatch* target, DISPID id, std::vector<Variant> args, VARIANT* result = nullptr,
             uint16_t flags = DISPATCH_METHOD) {
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<uint32_t>(reversed.size()), 0};
  return target->Invoke(id, IID_NULL, 0, flags, &params, result, nullptr, nullptr);
}

inline int32_t GetInt(IDispatch* target, DISPID id) {
  Variant result;
  int32_t value = -1;
  if (Failed(Call(target, id, {}, result.get(), DISPATCH_PROPERTYGET)) || Failed(result.ToInt32(&value))) return -1;
  return value;
}

// The application side: answers the events as the agent does and records them in order.
class RecordingSink final : public ComObject<RecordingSink, IDispatch> {
 public:
  std::vector<std::string> Events() {
    std::lock_guard lock(lock_);
    return events_;
  }

  HRESULT QueryInterfaceExtra(const IID& iid, void** object) override {
    if (iid != ITermServerEvents::kIid) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IDispatch*>(this);
    return S_OK;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, S_OK; }
  HRESULT GetTypeInfo(uint32_t, LCID, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t, DISPPARAMS* params, VARIANT*, EXCEPINFO*, uint32_t*) override {
    // Arguments arrive last first; argument k of n is rgvarg[n - 1 - k].
    auto arg = [&](uint32_t k) -> VARIANT& { return params->rgvarg[params->cArgs - 1 - k]; };
    IDispatch* user = arg(0).pdispVal;
    switch (id) {
      case kEventConnecting:
        Record("Connecting");
        break;
      case kEventLoginPassword: {
        std::string login = Bstr(std::u16string_view(arg(1).bstrVal, SysStringLen(arg(1).bstrVal))).ToUtf8();
        std::string password = Bstr(std::u16string_view(arg(2).bstrVal, SysStringLen(arg(2).bstrVal))).ToUtf8();
        Record("LoginPassword:" + login);
        *arg(3).plVal = (login == "monitor" && password == "pw") ? 1 : 0;
        break;
      }
      case kEventServiceRequest:
        Record("ServiceRequest:" + std::to_string(*arg(2).plVal));
        if (*arg(2).plVal == 3) {
          (void)Put(user, kUserSftpHome, Variant::FromUtf8(sftpHome));
        } else {
          *arg(2).plVal = 0;
        }
        break;
      case kEventServiceStart:
        Record("ServiceStart:" + std::to_string(arg(2).lVal));
        (void)Call(user, kUserSend, {Variant(u"#keycount=3#responseaction=login#"), Variant(int32_t{0})});
        break;
      case kEventReceived: {
        const int32_t index = arg(1).lVal;
        const int32_t count = arg(2).lVal;
        Variant text;
        (void)Call(user, kUserReceive, {Variant(count)}, text.get());
        std::string request;
        (void)text.ToUtf8(&request);
        Record("Received:" + request);
        (void)Call(user, kUserSend, {Variant::FromUtf8("#answer=" + std::to_string(request.size()) + "#"), Variant(index)});
        break;
      }
      case kEventSftpUploadFile:
      case kEventSftpDownloadFile:
        Record("Sftp:" + std::to_string(id) + ":" +
               Bstr(std::u16string_view(arg(1).bstrVal, SysStringLen(arg(1).bstrVal))).ToUtf8());
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

 private:
  void Record(std::string event) {
    std::lock_guard lock(lock_);
    events_.push_back(std::move(event));
  }
  std::mutex lock_;
  std::vector<std::string> events_;
};

}  // namespace vorlane::termserver::testing
