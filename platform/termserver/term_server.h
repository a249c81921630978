// The terminal server object: configured through its dispatch members, it listens for Telnet or
// SSH clients and raises their events on the thread that created it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"
#include "platform/loop/thread_affinity.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/ssh_session.h"

namespace vorlane::termserver {

struct Runner;

// The SSH host keys, prepared once and used by every start.
struct HostKeyState {
  std::mutex lock;
  std::optional<HostKeyFiles> files;  // guarded by lock
};

class KeysObject final : public com::ComObject<KeysObject, com::DispatchImpl<KeysObject, ITermKeys>> {
  // prepare(0, empty): loads the host keys from the configuration folder, or creates them.
  com::HRESULT InvokePrepare(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<KeysObject> kDispatchMembers[] = {
      com::DispMethod("Prepare", kKeysPrepare, &KeysObject::InvokePrepare, 0, 2),
  };
  explicit KeysObject(std::shared_ptr<HostKeyState> state) : state_(std::move(state)) {}
  static com::HRESULT Prepare(HostKeyState& state);

 private:
  ~KeysObject() override = default;
  const std::shared_ptr<HostKeyState> state_;
};

class TermServer final
    : public com::ComObject<TermServer, com::DispatchImpl<TermServer, ITermServer>,
                            com::ConnectionPointContainerImpl<TermServer>> {
  com::HRESULT InvokeStart(com::DispatchCall& call);
  com::HRESULT InvokeStop(com::DispatchCall& call);
  com::HRESULT PutBindAddress(com::DispatchCall& call);
  com::HRESULT GetBindAddress(com::DispatchCall& call);
  com::HRESULT GetKeys(com::DispatchCall& call);
  com::HRESULT PutIdleTimeout(com::DispatchCall& call);
  com::HRESULT GetIdleTimeout(com::DispatchCall& call);
  com::HRESULT PutPort(com::DispatchCall& call);
  com::HRESULT GetPort(com::DispatchCall& call);
  com::HRESULT PutAuthMode(com::DispatchCall& call);
  com::HRESULT GetAuthMode(com::DispatchCall& call);
  com::HRESULT PutProtocol(com::DispatchCall& call);
  com::HRESULT GetProtocol(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<TermServer> kDispatchMembers[] = {
      com::DispMethod("Start", kServerStart, &TermServer::InvokeStart, 0, 1),
      com::DispMethod("Stop", kServerStop, &TermServer::InvokeStop),
      com::DispPropertyPut("BindAddress", kServerBindAddress, &TermServer::PutBindAddress),
      com::DispPropertyGet("BindAddress", kServerBindAddress, &TermServer::GetBindAddress),
      com::DispPropertyGet("Keys", kServerKeys, &TermServer::GetKeys),
      com::DispPropertyPut("IdleTimeout", kServerIdleTimeout, &TermServer::PutIdleTimeout),
      com::DispPropertyGet("IdleTimeout", kServerIdleTimeout, &TermServer::GetIdleTimeout),
      com::DispPropertyPut("Port", kServerPort, &TermServer::PutPort),
      com::DispPropertyGet("Port", kServerPort, &TermServer::GetPort),
      com::DispPropertyPut("AuthMode", kServerAuthMode, &TermServer::PutAuthMode),
      com::DispPropertyGet("AuthMode", kServerAuthMode, &TermServer::GetAuthMode),
      com::DispPropertyPut("Protocol", kServerProtocol, &TermServer::PutProtocol),
      com::DispPropertyGet("Protocol", kServerProtocol, &TermServer::GetProtocol),
  };

  TermServer();

  // On the thread that made the server, as every member but Stop: its events are raised there.
  com::HRESULT Start();
  // Closes the listener and every connection; returns within the stop deadline whatever the
  // clients do. Safe from any thread.
  void Stop();

 private:
  ~TermServer() override;
  com::HRESULT Fail(com::HRESULT hr, const std::string& description);

  std::mutex lock_;  // guards the settings and runner_ (Stop may come from another thread)
  int32_t authMode_ = 0;
  int32_t protocol_ = 0;
  std::string bindAddress_;
  int32_t port_ = 0;
  int32_t idleTimeoutSeconds_ = 0;
  std::shared_ptr<Runner> runner_;
  const std::shared_ptr<HostKeyState> keyState_ = std::make_shared<HostKeyState>();
  com::ComPtr<KeysObject> keys_;
  const loop::ThreadAffinity affinity_{"TermServer"};
};

}  // namespace vorlane::termserver
