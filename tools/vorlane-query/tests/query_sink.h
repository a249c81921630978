// An agent stand-in for the terminal server, modeled on the echo application: it allows
// "monitor"/"pw", sends a login answer with a session id when the service starts, answers each
// request with "#answer=<its length>#", except requests with "requestaction=silent", which it
// leaves unanswered. It records the requests it got.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/termserver/tests/echo_application.h"

namespace vorlane::query::testing {

using namespace vorlane::com;
using namespace vorlane::termserver;
using termserver::testing::Call;

inline constexpr const char* kSessionId = "6B29FC40-CA47-1067-B31D-00DD010662DA";
inline constexpr const char* kLoginAnswer =
    "#keycount=3#responseaction=login#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#registrationlevel=standard#";

class QuerySink final : public termserver::testing::TermServerEventSink<QuerySink> {
 public:
  std::vector<std::string> Requests() {
    std::lock_guard lock(lock_);
    return requests_;
  }

  HRESULT OnEvent(DISPID id, DISPPARAMS* params) {
    auto arg = [&](uint32_t k) -> VARIANT& { return params->rgvarg[params->cArgs - 1 - k]; };
    auto text = [&](uint32_t k) { return Bstr(std::u16string_view(arg(k).bstrVal, SysStringLen(arg(k).bstrVal))).ToUtf8(); };
    IDispatch* user = arg(0).pdispVal;
    switch (id) {
      case kEventLoginPassword:
        *arg(3).plVal = (text(1) == "monitor" && text(2) == "pw") ? 1 : 0;
        break;
      case kEventServiceRequest:
        *arg(2).plVal = 0;  // served by the application
        break;
      case kEventServiceStart:
        (void)Call(user, kUserSend, {Variant::FromUtf8(kLoginAnswer), Variant(int32_t{0})});
        break;
      case kEventReceived: {
        const int32_t index = arg(1).lVal;
        Variant received;
        (void)Call(user, kUserReceive, {Variant(arg(2).lVal)}, received.get());
        std::string request;
        (void)received.ToUtf8(&request);
        {
          std::lock_guard lock(lock_);
          requests_.push_back(request);
        }
        if (request.find("requestaction=silent") == std::string::npos) {
          (void)Call(user, kUserSend, {Variant::FromUtf8("#answer=" + std::to_string(request.size()) + "#"), Variant(index)});
        }
        break;
      }
      default:
        break;
    }
    return S_OK;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> requests_;
};

}  // namespace vorlane::query::testing
