#include "agent/server/server_thread.h"

#include <cstdlib>
#include <fstream>

#include "agent/checks/disk_free.h"
#include "agent/checks/ping_check.h"
#include "agent/checks/process_check.h"
#include "agent/checks/service_check.h"
#include "agent/log/agent_log.h"
#include "agent/protocol/check_catalogue.h"
#include "agent/server/term_server_events.h"
#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"
#include "platform/loop/message_loop.h"

namespace vorlane::agent {

using namespace vorlane::com;

namespace {

constexpr CLSID kTermServerClsid = GuidLiteral("B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E0");

// The terminal server's members.
constexpr DISPID kStart = 1;
constexpr DISPID kStop = 2;
constexpr DISPID kBindAddress = 5;
constexpr DISPID kKeys = 7;
constexpr DISPID kKeysPrepare = 4;
constexpr DISPID kIdleTimeout = 10;
constexpr DISPID kPort = 15;
constexpr DISPID kAuthMode = 17;
constexpr DISPID kProtocol = 18;
constexpr int32_t kTelnet = 1;
constexpr int32_t kSsh = 3;
constexpr int32_t kIdleTimeoutValue = 6000;

constexpr std::string_view kCannotReadIni = "Could not read from INI file!";
constexpr std::string_view kOleInitializeFailed = "Failed OleInitialize!";
constexpr std::string_view kServerStarted = "Server started!";

HRESULT Put(IDispatch* target, DISPID id, Variant value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{value.get(), &named, 1, 1};
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

HRESULT Call(IDispatch* target, DISPID id, std::vector<Variant> args, VARIANT* result = nullptr,
             uint16_t flags = DISPATCH_METHOD) {
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<uint32_t>(reversed.size()), 0};
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

// Configures and starts; any failure is reported as one result.
HRESULT ConfigureAndStart(IDispatch* server, const std::string& bindIp, int port) {
  VORLANE_RETURN_IF_FAILED(Put(server, kBindAddress, Variant::FromUtf8(bindIp)));
  VORLANE_RETURN_IF_FAILED(Put(server, kPort, Variant(static_cast<int32_t>(port))));
  VORLANE_RETURN_IF_FAILED(Put(server, kIdleTimeout, Variant(kIdleTimeoutValue)));
  return Call(server, kStart, {Variant()});
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
    : paths_(std::move(paths)), sessions_(AgentClock()), context_{sessions_, paths_, cipher_, &checks_}, sweep_(sessions_) {
  checks_.Register(kCheckIdService, HandleServiceCheck);
  checks_.Register(kCheckIdProcess, HandleProcessCheck);
  checks_.Register(kCheckIdDisk, HandleDiskFreeCheck);
  checks_.Register(kCheckIdPing, HandlePingCheck);
}

AgentServer::~AgentServer() { StopService(); }

bool AgentServer::StartServer() {
  std::optional<GeneralSettings> settings = ReadGeneralSettings(paths_.agentConfig);
  if (!settings) {
    debuglog::Write(kCannotReadIni);
    return false;
  }
  debuglog::Write("Protocol: " + std::string(settings->isTelnet ? "Telnet" : "SSH") +
                  ", port: " + std::to_string(settings->port) + ". BindIP: " + settings->bindIp + " \n");
  if (Failed(OleInitialize(nullptr))) {
    debuglog::Write(kOleInitializeFailed);
    return false;
  }
  (void)CoInitialize(nullptr);

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
  sink_ = Make<CTermServerEvents>(context_);
  if (auto container = server_.As<IConnectionPointContainer>()) {
    if (Succeeded(container->FindConnectionPoint(kTermServerEventsIid, point_.put()))) {
      (void)point_->Advise(static_cast<IDispatch*>(sink_.get()), &cookie_);
    }
  }
  (void)Put(server_.get(), kAuthMode, Variant(int32_t{0}));
  if (settings->isTelnet) {
    (void)Put(server_.get(), kProtocol, Variant(kTelnet));
  } else {
    (void)Put(server_.get(), kProtocol, Variant(kSsh));
    Variant keys;
    if (Succeeded(Call(server_.get(), kKeys, {}, keys.get(), DISPATCH_PROPERTYGET)) && keys.type() == VT_DISPATCH) {
      (void)Call(keys.raw().pdispVal, kKeysPrepare, {Variant(int32_t{0}), Variant()});
    }
  }
  if (Failed(ConfigureAndStart(server_.get(), settings->bindIp, settings->port))) {
    Log("Could not bind to IP: " + settings->bindIp + ". Switching to all interfaces!", kLogInfo);
    (void)Put(server_.get(), kBindAddress, Variant(u""));
    if (Failed(Call(server_.get(), kStart, {Variant()}))) {
      Log("Could not start the server on port " + std::to_string(settings->port) + ".", kLogError);
      return false;
    }
  }
  debuglog::Write(kServerStarted);
  (void)sweep_.Start(kSessionSweepPeriodMs);
  return true;
}

void AgentServer::Run(const std::function<void(bool listening)>& started) {
  const bool listening = StartServer();
  std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
  bool quit;
  {
    std::lock_guard lock(lock_);
    loop_ = loop;
    quit = quit_;
  }
  started(listening);
  if (!quit) loop->Run();
  StopService();  // nothing left to do when it already ran
  CoUninitialize();
}

void AgentServer::StopService() {
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
  if (server) (void)Call(server.get(), kStop, {});
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
