// Terminal server round trips on loopback. Starts the component (created by class id, as the
// agent does) with a small application that answers every request, then measures from clients
// of its own: a 100-byte request and its answer over one open Telnet connection and over one
// open SSH connection, and the time from TCP connect to the login answer.
//
//   bench_termserver [requests=2000] [logins=20]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/loop/message_loop.h"
#include "bench/bench_clients.h"
#include "platform/termserver/tests/echo_application.h"

using namespace vorlane::com;
using namespace vorlane::termserver;
using namespace vorlane::termserver::testing;
using vorlane::bench::SshClient;
using vorlane::bench::TelnetClient;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRequest = "#keycount=2#requestaction=agentinfo#sessionid=" + std::string(100 - 47, 'S') + "#";
const std::string kAnswer = "#answer=" + std::to_string(kRequest.size()) + "#";

// Hosts one server on a thread of its own (its apartment), until destroyed.
class Host {
 public:
  explicit Host(int32_t protocol) {
    std::promise<int> ready;
    auto port = ready.get_future();
    thread_ = std::thread([this, protocol, &ready] {
      (void)CoInitialize(nullptr);
      loop_ = vorlane::loop::MessageLoop::ForCurrentThread();
      ComPtr<IDispatch> server;
      if (Failed(CoCreateInstance(kTermServerClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, server.put_void()))) {
        ready.set_value(-1);
        return;
      }
      auto sink = Make<RecordingSink>();
      ComPtr<IConnectionPoint> point;
      uint32_t cookie = 0;
      (void)server.As<IConnectionPointContainer>()->FindConnectionPoint(ITermServerEvents::kIid, point.put());
      (void)point->Advise(static_cast<IDispatch*>(sink.get()), &cookie);
      (void)Put(server.get(), kServerProtocol, Variant(protocol));
      (void)Put(server.get(), kServerBindAddress, Variant(u"127.0.0.1"));
      (void)Put(server.get(), kServerPort, Variant(int32_t{0}));
      if (protocol == kProtocolSsh) {
        Variant keys;
        (void)Call(server.get(), kServerKeys, {}, keys.get(), DISPATCH_PROPERTYGET);
        (void)Call(keys.raw().pdispVal, kKeysPrepare, {Variant(int32_t{0}), Variant()});
      }
      if (Failed(Call(server.get(), kServerStart, {Variant()}))) {
        ready.set_value(-1);
        return;
      }
      ready.set_value(GetInt(server.get(), kServerPort));
      loop_->Run();
      (void)Call(server.get(), kServerStop, {});
      (void)point->Unadvise(cookie);
      point.reset();
      server.reset();
      CoUninitialize();
    });
    port_ = port.get();
  }
  ~Host() {
    if (loop_) loop_->PostQuit(0);
    thread_.join();
  }
  int Port() const { return port_; }

 private:
  std::thread thread_;
  std::shared_ptr<vorlane::loop::MessageLoop> loop_;
  int port_ = -1;
};

void Report(const char* what, std::vector<double> micros, double seconds) {
  if (micros.empty()) {
    std::printf("%-34s failed\n", what);
    return;
  }
  std::sort(micros.begin(), micros.end());
  const double median = micros[micros.size() / 2];
  const double p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  std::printf("%-34s n=%-6zu median %8.1f us   p99 %8.1f us   %8.0f /s\n", what, micros.size(), median, p99,
              static_cast<double>(micros.size()) / seconds);
}

template <class Client>
void MeasureRoundTrips(const char* what, int port, int requests) {
  Client client(port, "monitor", "pw", "responseaction=login#");
  if (!client.Login()) {
    Report(what, {}, 1);
    return;
  }
  for (int i = 0; i < 50; ++i) client.RoundTrip(kRequest, kAnswer);  // warm-up
  std::vector<double> micros;
  const auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    const auto before = Clock::now();
    if (!client.RoundTrip(kRequest, kAnswer)) break;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  Report(what, micros, std::chrono::duration<double>(Clock::now() - start).count());
}

template <class Client>
void MeasureLogins(const char* what, int port, int logins) {
  std::vector<double> micros;
  const auto start = Clock::now();
  for (int i = 0; i < logins; ++i) {
    const auto before = Clock::now();
    Client client(port, "monitor", "pw", "responseaction=login#");
    if (!client.Login()) break;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  Report(what, micros, std::chrono::duration<double>(Clock::now() - start).count());
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int logins = argc > 2 ? std::atoi(argv[2]) : 20;
  // Host keys go to a folder of the run's own.
  char folder[] = "/tmp/vorlane-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  ::setenv("VORLANE_CONFIG_DIR", folder, 1);
  {
    Host telnet(kProtocolTelnet);
    Host ssh(kProtocolSsh);
    if (telnet.Port() <= 0 || ssh.Port() <= 0) {
      std::fprintf(stderr, "cannot start the servers (is the component built and registered?)\n");
      return 1;
    }
    MeasureRoundTrips<TelnetClient>("telnet: 100-byte request round trip", telnet.Port(), requests);
    MeasureRoundTrips<SshClient>("ssh: 100-byte request round trip", ssh.Port(), requests);
    MeasureLogins<TelnetClient>("telnet: connect to login answer", telnet.Port(), logins);
    MeasureLogins<SshClient>("ssh: connect to login answer", ssh.Port(), logins);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
