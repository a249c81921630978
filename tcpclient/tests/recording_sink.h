// The container's side of the control's tests: a sink that records every event as a line of
// text ("Connected:0:OK", "SSLStatus:SSL handshake complete.", "Auth:<status>") and answers the
// certificate question as the test says, and the failure of a call as the caller sees it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/com/variant.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tests/kelpline_event_sink.h"

namespace vorlane::tcpclient::testing {

class RecordingSink final : public KelplineEventSink<RecordingSink> {
 public:
  std::vector<std::string> events;
  // Runs after the event is recorded, for tests that act inside a handler.
  std::function<void(com::DISPID)> onEvent;
  // The answer to SSLServerAuthentication (none: Accept is left as offered), and what the last
  // one carried.
  std::optional<bool> accept;
  std::string authEncoded, authSubject, authIssuer;

  void OnEvent(com::DISPID id, com::DispatchCall& call) {
    auto text = [&](uint32_t k) {
      std::string value;
      EXPECT_TRUE(call.Arg(k) != nullptr && (call.Arg(k)->vt & com::VT_BYREF) != 0) << "by reference";
      (void)call.Read(k, &value);
      return value;
    };
    auto number = [&](uint32_t k) {
      int32_t value = 0;
      (void)call.Read(k, &value);
      return std::to_string(value);
    };
    switch (id) {
      case kEventConnected:
        events.push_back("Connected:" + number(0) + ":" + text(1));
        break;
      case kEventConnectionStatus:
        events.push_back("Status:" + text(0) + ":" + number(1));
        break;
      case kEventDataIn: {
        bool eol = false;
        (void)call.Read(1, &eol);
        events.push_back("DataIn:" + text(0) + ":" + (eol ? "1" : "0"));
        break;
      }
      case kEventDisconnected:
        events.push_back("Disconnected:" + number(0) + ":" + text(1));
        break;
      case kEventError:
        events.push_back("Error:" + number(0) + ":" + text(1));
        break;
      case kEventReadyToSend:
        events.push_back("ReadyToSend");
        break;
      case kEventSslStatus:
        events.push_back("SSLStatus:" + text(0));
        break;
      case kEventSslServerAuthentication: {
        authEncoded = text(0);
        authSubject = text(1);
        authIssuer = text(2);
        bool offered = true;
        (void)call.Read(4, &offered);
        events.push_back("Auth:" + text(3) + (offered ? ":offered true" : ""));
        if (accept) {
          EXPECT_EQ(call.Write(4, com::Variant(*accept)), com::S_OK);
        }
        break;
      }
      default:
        events.push_back("Event" + std::to_string(id));
    }
    if (onEvent) onEvent(id);
  }

  // The events that start with `prefix`.
  std::vector<std::string> Only(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const std::string& event : events) {
      if (event.starts_with(prefix)) out.push_back(event);
    }
    return out;
  }
  bool Has(std::string_view event) const { return std::find(events.begin(), events.end(), event) != events.end(); }
  // Where `event` first stands, or events.size().
  size_t IndexOf(std::string_view event) const {
    return static_cast<size_t>(std::find(events.begin(), events.end(), event) - events.begin());
  }
};

// A failure as the caller sees it: the code carried by the HRESULT and the error text.
struct Failure {
  com::HRESULT hr = com::S_OK;
  int32_t code = 0;
  std::string text;
};

inline Failure Outcome(com::HRESULT hr) {
  Failure failure{hr, KelplineErrorCode(hr), ""};
  if (hr == com::S_OK) return failure;
  com::ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(info.put()) == com::S_OK && info) {
    com::Bstr description;
    (void)info->GetDescription(description.put());
    failure.text = description.ToUtf8();
  }
  return failure;
}

}  // namespace vorlane::tcpclient::testing
