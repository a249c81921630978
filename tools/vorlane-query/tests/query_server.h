// A test fixture that hosts the terminal server component on loopback, on this thread's
// apartment, with either the echo application or the QuerySink behind it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/termserver/tests/term_server_host.h"
#include "testing/loop_pump.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "tools/vorlane-query/options.h"
#include "tools/vorlane-query/tests/query_sink.h"

namespace vorlane::query::testing {

using termserver::testing::RecordingSink;

class QueryServer : public termserver::testing::TermServerHost {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    std::filesystem::create_directories(dir_ / "config");
    TermServerHost::SetUp();
  }

  // Starts the server; `echo` chooses the echo application over the QuerySink.
  void Start(Protocol protocol, bool echo) {
    if (echo) {
      echo_ = Make<RecordingSink>();
      ASSERT_NO_FATAL_FAILURE(Advise(echo_.get()));
    } else {
      sink_ = Make<QuerySink>();
      ASSERT_NO_FATAL_FAILURE(Advise(sink_.get()));
    }
    StartOnLoopback(protocol == Protocol::kSsh ? kProtocolSsh : kProtocolTelnet, 6000);
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
  testkit::ScopedEnv configDir_{"VORLANE_CONFIG_DIR", (dir_ / "config").string()};
  ComPtr<RecordingSink> echo_;
  ComPtr<QuerySink> sink_;
  Protocol protocol_ = Protocol::kSsh;
};

}  // namespace vorlane::query::testing
