// The container's side of the control's tests: a sink that records every event as a line of
// text ("Connected:0:OK", "SSLStatus:SSL handshake complete.", "Auth:<status>") and answers the
// certificate question as the test says, the failure of a call as the caller sees it, and a
// fixture holding a control made by class id on the test thread's apartment with the sink advised.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tests/kelpline_event_sink.h"
#include "testing/loop_pump.h"

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
  // Every one of `sequence` stands among the events, each after the one before it.
  void ExpectInOrder(std::initializer_list<std::string> sequence) const {
    size_t previous = 0;
    for (const std::string& event : sequence) {
      const size_t at = IndexOf(event);
      EXPECT_LT(at, events.size()) << "missing: " << event;
      if (&event != sequence.begin()) {
        EXPECT_LT(previous, at) << "out of order: " << event;
      }
      previous = at;
    }
  }
};

// The code and the text of a failure, to compare both at once.
struct CodeText {
  int32_t code = 0;
  std::string text;
  friend void PrintTo(const CodeText& value, std::ostream* out) { *out << value.code << " \"" << value.text << '"'; }
};

// A failure as the caller sees it: the code carried by the HRESULT and the error text.
struct Failure {
  com::HRESULT hr = com::S_OK;
  int32_t code = 0;
  std::string text;

  // Compared by what the caller sees: the code and the text.
  bool operator==(const CodeText& expected) const { return code == expected.code && text == expected.text; }
  friend void PrintTo(const Failure& value, std::ostream* out) { PrintTo(CodeText{value.code, value.text}, out); }
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

// A control made by class id, as a client makes it, with a recording sink advised; `startMode`
// replaces the TLS start mode a new control begins with.
struct ControlUnderTest {
  com::ComPtr<IKelpline> control;
  com::ComPtr<com::IDispatch> late;
  com::ComPtr<RecordingSink> sink = com::Make<RecordingSink>();
  com::ComPtr<com::IConnectionPoint> point;
  uint32_t cookie = 0;

  ~ControlUnderTest() {
    if (point) (void)point->Unadvise(cookie);
  }
  // Drops every reference the test holds on the control.
  void Release() {
    late.reset();
    control.reset();
  }
};

inline void MakeControl(ControlUnderTest* made, std::optional<TSSLStartMode> startMode = std::nullopt) {
  ASSERT_EQ(com::CoCreateInstance(kKelplineClsid, &made->control), com::S_OK);
  made->late = made->control.As<com::IDispatch>();
  ASSERT_TRUE(made->late);
  com::ComPtr<com::IConnectionPointContainer> container = made->control.As<com::IConnectionPointContainer>();
  ASSERT_TRUE(container);
  ASSERT_EQ(container->FindConnectionPoint(IKelplineEvents::kIid, made->point.put()), com::S_OK);
  ASSERT_EQ(made->point->Advise(made->sink.get(), &made->cookie), com::S_OK);
  if (startMode) {
    ASSERT_EQ(made->control->put_SSLStartMode(*startMode), com::S_OK);
  }
}

// One control on the test thread's apartment, driven early and late bound; its events arrive while
// the test pumps the thread's loop (or while the control pumps it in a blocking call).
class KelplineFixture : public ::testing::Test {
 protected:
  explicit KelplineFixture(std::optional<TSSLStartMode> startMode = std::nullopt) : startMode_(startMode) {}

  void SetUp() override {
    ASSERT_TRUE(apartment_.ok());
    ASSERT_NO_FATAL_FAILURE(MakeControl(&main_, startMode_));
    control_ = main_.control;
    dispatch_ = main_.late;
    sink_ = main_.sink;
  }
  void TearDown() override {
    dispatch_.reset();
    control_.reset();
    main_.Release();
  }

  std::string Config(std::string_view text) {
    std::string answer;
    EXPECT_EQ(com::CallMethodFor(dispatch_.get(), kKelplineConfig, {com::Variant::FromUtf8(text)}, &answer), com::S_OK)
        << text;
    return answer;
  }
  Failure ConfigFailure(std::string_view text) {
    com::Variant result;
    return Outcome(com::CallMethod(dispatch_.get(), kKelplineConfig, {com::Variant::FromUtf8(text)}, result.put()));
  }
  bool Connected() {
    com::VARIANT_BOOL value = com::VARIANT_FALSE;
    EXPECT_EQ(control_->get_Connected(&value), com::S_OK);
    return value != com::VARIANT_FALSE;
  }
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return testkit::PumpUntil(*loop_, done, limit);
  }
  // Pumps for a while to show that nothing more arrives (bounded, not a wait for an outcome).
  void PumpFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    (void)testkit::PumpUntil(
        *loop_, [&] { return std::chrono::steady_clock::now() >= end; }, span + std::chrono::seconds(1));
  }

  std::optional<TSSLStartMode> startMode_;
  com::ApartmentScope apartment_;
  std::shared_ptr<loop::MessageLoop> loop_ = loop::MessageLoop::ForCurrentThread();
  ControlUnderTest main_;
  com::ComPtr<IKelpline> control_;
  com::ComPtr<com::IDispatch> dispatch_;
  com::ComPtr<RecordingSink> sink_;
};

}  // namespace vorlane::tcpclient::testing
