// A test fixture that hosts the terminal server component as the agent does: created by class id
// on this thread's apartment, one application advised on its events, started late-bound on
// 127.0.0.1 at a port of the system's choosing.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/tests/echo_application.h"

namespace vorlane::termserver::testing {

class TermServerHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    loop_ = loop::MessageLoop::ForCurrentThread();
    ASSERT_EQ(CoCreateInstance(kTermServerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, server_.put_void()),
              S_OK);
  }
  void TearDown() override {
    if (server_) (void)Call(server_.get(), kServerStop, {});
    if (point_) (void)point_->Unadvise(cookie_);
    point_.reset();
    server_.reset();
    CoUninitialize();
  }

  void Advise(IDispatch* application) {
    ComPtr<IConnectionPointContainer> container = server_.As<IConnectionPointContainer>();
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(ITermServerEvents::kIid, point_.put()), S_OK);
    ASSERT_EQ(point_->Advise(application, &cookie_), S_OK);
  }

  // Starts the server for `protocol` (SSH with host keys prepared) without the system's
  // authentication; a zero `idleTimeout` keeps the server's own. Sets port_.
  void StartOnLoopback(int32_t protocol, int32_t idleTimeout = 0) {
    ASSERT_EQ(Put(server_.get(), kServerAuthMode, Variant(int32_t{0})), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerProtocol, Variant(protocol)), S_OK);
    if (protocol == kProtocolSsh) {
      Variant keys;
      ASSERT_EQ(Call(server_.get(), kServerKeys, {}, keys.get(), DISPATCH_PROPERTYGET), S_OK);
      ASSERT_EQ(Call(keys.raw().pdispVal, kKeysPrepare, {Variant(int32_t{0}), Variant()}), S_OK);
    }
    ASSERT_EQ(Put(server_.get(), kServerBindAddress, Variant(u"127.0.0.1")), S_OK);
    ASSERT_EQ(Put(server_.get(), kServerPort, Variant(int32_t{0})), S_OK);
    if (idleTimeout != 0) {
      ASSERT_EQ(Put(server_.get(), kServerIdleTimeout, Variant(idleTimeout)), S_OK);
    }
    ASSERT_EQ(Call(server_.get(), kServerStart, {Variant()}), S_OK);
    port_ = GetInt(server_.get(), kServerPort);
    ASSERT_GT(port_, 0);
  }

  std::shared_ptr<loop::MessageLoop> loop_;
  ComPtr<IDispatch> server_;
  ComPtr<IConnectionPoint> point_;
  uint32_t cookie_ = 0;
  int port_ = 0;
};

}  // namespace vorlane::termserver::testing
