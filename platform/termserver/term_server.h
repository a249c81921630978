// The terminal server object: configured through its members, it listens for Telnet or
// SSH clients and raises their events on the thread that created it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract_dispatch.h"
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
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TERM_KEYS_MEMBERS, KeysObject, ITermKeys)
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TERM_KEYS_MEMBERS)

  explicit KeysObject(std::shared_ptr<HostKeyState> state) : state_(std::move(state)) {}
  static com::HRESULT PrepareKeys(HostKeyState& state);

 private:
  ~KeysObject() override = default;
  const std::shared_ptr<HostKeyState> state_;
};

class TermServer final
    : public com::ComObject<TermServer, com::DispatchImpl<TermServer, ITermServer>,
                            com::ConnectionPointContainerImpl<TermServer>> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TERM_SERVER_MEMBERS, TermServer, ITermServer)

  TermServer();

  // ITermServer, on the thread that made the server (its events are raised there); Stop is safe
  // from any thread.
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TERM_SERVER_MEMBERS)

 private:
  ~TermServer() override;
  com::HRESULT Fail(com::HRESULT hr, const std::string& description);
  com::HRESULT StartServing();
  void StopServing();

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
