// A test fixture that hosts the terminal server component on loopback, on this thread's
// apartment, with either the echo application or the QuerySink behind it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/tests/echo_application.h"
#include "testing/loop_pump.h"
#include "testing/temp_dir.h"
#include "tools/vorlane-query/options.h"
#include "tools/vorlane-query/tests/query_sink.h"

namespace vorlane::query::testing {

using termserver::testing::GetInt;
using termserver::testing::Put;
using termserver::testing::RecordingSink;

class QueryServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    std::filesystem::create_directories(dir_ / "config");
    ::setenv("VORLANE_CONFIG_DIR", (dir_ / "config").c_str(), 1);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    loop_ = loop::MessageLoop::ForCurrentThread();
  }
  void TearDown() override {
    if (server_) (void)Call(server_.get(), kServerStop, {});
    if (point_) (void)point_->Unadvise(cookie_);
    point_.reset();
    server_.reset();
    echo_.reset();
    sink_.reset();
    CoUninitialize();
    ::unsetenv("VORLANE_CONFIG_DIR");
  }

  // Starts the server; `echo` chooses the echo application over the QuerySink.
  void Start(Protocol protocol, bool echo) {
    ASSERT_EQ(CoCreateInstance(kTermServerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, server_.put_void()),
              S_OK);
    IDispatch* application = nullptr;
    if (echo) {
      echo_ = Make<RecordingSink>();
      application = echo_.get();
    } else {
      sink_ = Make<QuerySink>();
      application = sink_.get();
    }
    ASSERT_EQ(server_.As<IConnectionPointContainer>()->FindConnectionPoint(ITermServerEvents::kIid, point_.put()), S_OK);
    ASSERT_EQ(point_->Advise(application, &cookie_), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerAuthMode, Variant(int32_t{0})), S_OK);
    if (protocol == Protocol::kSsh) {
      ASSERT_EQ(Put(server_.get(), kServerProtocol, Variant(int32_t{kProtocolSsh})), S_OK);
      Variant keys;
      ASSERT_EQ(Call(server_.get(), kServerKeys, {}, keys.get(), DISPATCH_PROPERTYGET), S_OK);
      ASSERT_EQ(Call(keys.raw().pdispVal, kKeysPrepare, {Variant(int32_t{0}), Variant()}), S_OK);
    } else {
      ASSERT_EQ(Put(server_.get(), kServerProtocol, Variant(int32_t{kProtocolTelnet})), S_OK);
    }
    ASSERT_EQ(Put(server_.get(), kServerBindAddress, Variant(u"127.0.0.1")), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerPort, Variant(int32_t{0})), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerIdleTimeout, Variant(int32_t{6000})), S_OK);
    ASSERT_EQ(Call(server_.get(), kServerStart, {Variant()}), S_OK);
    port_ = GetInt(server_.get(), kServerPort);
    ASSERT_GT(port_, 0);
    protocol_ = protocol;
  }

  // Pumps this apartment until `done` returns true or 60 s pass.
  template <class Done>
  void PumpUntil(Done done) {
    testkit::PumpUntil(*loop_, done, std::chrono::seconds(60));
  }
  // Runs `work` on a thread of its own while this apartment serves the server (60 s at most).
  template <class Work>
  void RunWhilePumping(Work work) {
    testkit::RunWhilePumping(*loop_, work, std::chrono::seconds(60));
  }

  Settings ClientSettings(std::string password = "pw") const {
    Settings settings;
    settings.protocol = protocol_;
    settings.port = port_;
    settings.user = "monitor";
    settings.password = std::move(password);
    return settings;
  }

  testkit::TempDir temp_{"vorlane-query"};
  std::filesystem::path dir_ = temp_.Path();
  std::shared_ptr<loop::MessageLoop> loop_;
  ComPtr<IDispatch> server_;
  ComPtr<RecordingSink> echo_;
  ComPtr<QuerySink> sink_;
  ComPtr<IConnectionPoint> point_;
  uint32_t cookie_ = 0;
  int port_ = 0;
  Protocol protocol_ = Protocol::kSsh;
};

}  // namespace vorlane::query::testing
