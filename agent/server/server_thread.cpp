#include "agent/server/server_thread.h"

#include <cstdlib>
#include <fstream>

#include "agent/checks/disk_free.h"
#include "agent/checks/ping_check.h"
#include "agent/checks/process_check.h"
#include "agent/checks/service_check.h"
#include "agent/checks/tcp_check.h"
#include "agent/checks/url_check.h"
#include "agent/log/agent_log.h"
#include "agent/protocol/check_catalogue.h"
#include "agent/protocol/dispatcher.h"
#include "agent/server/term_server_events.h"
#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/term_server_contract.h"

namespace vorlane::agent {

using namespace vorlane::com;
using namespace vorlane::termserver;

namespace {

constexpr int32_t kIdleTimeoutValue = 6000;

constexpr std::string_view kOleInitializeFailed = "Failed OleInitialize!";
// A stop waits this long for running requests before it closes the connections.
constexpr std::chrono::seconds kStopWaitForRequests{5};
constexpr std::string_view kServerStarted = "Server started!";

// Configures and starts; any failure is reported as one result.
HRESULT ConfigureAndStart(IDispatch* server, const std::string& bindIp, int port) {
  VORLANE_RETURN_IF_FAILED(PutProperty(server, kServerBindAddress, Variant::FromUtf8(bindIp)));
  VORLANE_RETURN_IF_FAILED(PutProperty(server, kServerPort, Variant(static_cast<int32_t>(port))));
  VORLANE_RETURN_IF_FAILED(PutProperty(server, kServerIdleTimeout, Variant(kIdleTimeoutValue)));
  return CallMethod(server, kServerStart, {Variant()});
}

}  // namespace

SessionTable::Clock AgentClock() {
  const char* file = std::getenv("VORLANE_TEST_CLOCK_FILE");
  if (file == nullptr || *file == '\0') return [] { return std::time(nullptr); };
  std::string path = file;
  return [path] {
    long long now = 0;
    if (std::ifstream(path) >> now) return static_cast<std::time_t>(now);
    return std::time(nullptr);
  };
}

AgentServer::AgentServer(ConfigPaths paths)
    : paths_(std::move(paths)),
      sessions_(AgentClock()),
      context_{sessions_, paths_, cipher_, &checks_, {}, kAgentVersion},
      sweep_(sessions_) {
  RegisterDeclaredChecks(checks_);
}

AgentServer::~AgentServer() {
  affinity_.Detach();
  StopService();
}

bool AgentServer::StartServer() {
  affinity_.Assert();
  Result<GeneralSettings> read = ReadGeneralSettings(paths_.agentConfig);
  if (!read) {
    debuglog::Write(read.error().message);
    return false;
  }
  const GeneralSettings& settings = read.value();
  debuglog::Write("Protocol: " + std::string(settings.isTelnet ? "Telnet" : "SSH") +
                  ", port: " + std::to_string(settings.port) + ". BindIP: " + settings.bindIp + " \n");

  context_.https = settings.https;

  std::lock_guard lock(lock_);
  loop_ = loop::MessageLoop::ForCurrentThread();
  HRESULT hr = CoCreateInstance(kTermServerClsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER,
                                IDispatch::kIid, server_.put_void());
  if (Failed(hr)) {
    Log("Could not create the terminal server component (error 0x" + [&] {
          char text[16];
          std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(hr));
          return std::string(text);
        }() + ")", kLogError);
    return false;
  }
  // The terminal server stops reading a connection at kMaxQueuedRequests; the lanes' own bound
  // only guards against a connection that would not.
  lanes_ = std::make_unique<RequestLanes>(settings.maxConcurrentChecks, 2 * termserver::kMaxQueuedRequests);
  sink_ = Make<CTermServerEvents>(context_, *lanes_);
  if (auto container = server_.As<IConnectionPointContainer>()) {
    if (Succeeded(container->FindConnectionPoint(ITermServerEvents::kIid, point_.put()))) {
      (void)point_->Advise(static_cast<IDispatch*>(sink_.get()), &cookie_);
    }
  }
  (void)PutProperty(server_.get(), kServerAuthMode, Variant(int32_t{0}));
  if (settings.isTelnet) {
    (void)PutProperty(server_.get(), kServerProtocol, Variant(int32_t{kProtocolTelnet}));
  } else {
    (void)PutProperty(server_.get(), kServerProtocol, Variant(int32_t{kProtocolSsh}));
    ComPtr<IDispatch> keys;
    if (Succeeded(GetProperty(server_.get(), kServerKeys, &keys)) && keys) {
      (void)CallMethod(keys.get(), kKeysPrepare, {Variant(int32_t{0}), Variant()});
    }
  }
  if (Failed(ConfigureAndStart(server_.get(), settings.bindIp, settings.port))) {
    Log("Could not bind to IP: " + settings.bindIp + ". Switching to all interfaces!", kLogInfo);
    (void)PutProperty(server_.get(), kServerBindAddress, Variant(u""));
    if (Failed(CallMethod(server_.get(), kServerStart, {Variant()}))) {
      Log("Could not start the server on port " + std::to_string(settings.port) + ".", kLogError);
      return false;
    }
  }
  debuglog::Write(kServerStarted);
  (void)sweep_.Start(kSessionSweepPeriodMs);
  return true;
}

void AgentServer::Run(const std::function<void(bool listening)>& started) {
  affinity_.Assert();
  // Everything below, the stop included, runs in this thread's apartment.
  ApartmentScope apartment;
  if (!apartment.ok()) debuglog::Write(kOleInitializeFailed);
  const bool listening = apartment.ok() && StartServer();
  std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
  bool quit;
  {
    std::lock_guard lock(lock_);
    loop_ = loop;
    quit = quit_;
  }
  started(listening);
  if (!quit) loop->Run();
  StopService();
}

void AgentServer::StopService() {
  affinity_.Assert();
  // Running requests may finish and answer (their connections are still open); waiting ones
  // are dropped, and new ones refused.
  if (lanes_ && !lanes_->Stop(kStopWaitForRequests)) {
    requestsEnded_ = false;
    Log("Stopping with " + std::to_string(lanes_->Running()) + " requests still running.", kLogInfo);
  }
  ComPtr<IDispatch> server;
  ComPtr<IConnectionPoint> point;
  uint32_t cookie = 0;
  {
    std::lock_guard lock(lock_);
    server = std::move(server_);
    point = std::move(point_);
    cookie = std::exchange(cookie_, 0);
    sink_.reset();
  }
  if (server) (void)CallMethod(server.get(), kServerStop);
  if (point && cookie != 0) (void)point->Unadvise(cookie);
  point.reset();
  server.reset();
  sweep_.Stop();
}

void AgentServer::Quit() {
  std::lock_guard lock(lock_);
  quit_ = true;
  if (loop_) loop_->PostQuit(0);
}

}  // namespace vorlane::agent
