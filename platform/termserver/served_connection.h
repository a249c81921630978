// The component's side of one connection: raises the connection's events on the thread that
// created the server and carries the application's output back to the connection thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/termserver/connection.h"
#include "platform/termserver/server_core.h"

namespace vorlane::termserver {

struct EventCall;

class ServedConnection final : public Connection {
 public:
  // `place` is the connection's place among those not logged in yet: given back once its login
  // succeeds, or when it disconnects.
  ServedConnection(std::shared_ptr<ServerCore> core, std::shared_ptr<ConnectionState> state,
                   com::ComPtr<com::IDispatch> user, UnauthenticatedPlace place);
  ~ServedConnection();

  const std::string& RemoteAddress() const override { return state_->remoteAddress; }
  void SetOutput(ConnectionOutput* output) override { output_ = output; }
  int WakeFd() const override { return state_->wake.get(); }
  void DrainOutput() override;
  void SetDirectOutput(DirectOutput* output) override;
  void AwaitAnswers(bool waiting) override;
  bool ShouldClose() const override { return core_->Stopping() || state_->evicted.load(); }
  std::chrono::seconds IdleTimeout() const override { return core_->idleTimeout; }
  bool InputHeld() const override { return state_->InputHeld(); }
  bool AnswersPending() const override { return state_->AnswersPending(); }
  void Ending() override;

  bool Connecting() override;
  bool LoginPassword(std::string_view login, std::string_view password) override;
  ShellLogin LoginAndStartShell(int32_t channel, std::string_view login, std::string_view password) override;
  int32_t ServiceRequest(int32_t channel, int32_t requestedType) override;
  void ServiceStart(int32_t channel, int32_t type, std::string_view name) override;
  void Received(int32_t channel, std::string request) override;
  std::string SftpHome() override;
  bool SftpAllowed(SftpOperation operation, const std::string& path, const std::string& path2,
                   const std::string& resolved) override;
  void Disconnected() override;

 private:
  std::shared_ptr<EventCall> NewCall(int32_t id, uint32_t argCount);
  std::shared_ptr<EventCall> NewLoginCall(std::string_view login, std::string_view password);
  std::shared_ptr<EventCall> NewServiceRequestCall(int32_t channel, int32_t requestedType);
  std::shared_ptr<EventCall> NewServiceStartCall(int32_t channel, int32_t type, std::string_view name);
  // Queues the calls on the owner's thread, raised one after the other (see EventCall::raiseIf).
  // Each is done once its handlers have run or will not.
  // `wakeWhenDone`: the connection thread waits for them, so wake it when they are done.
  void Post(std::vector<std::shared_ptr<EventCall>> calls, bool wakeWhenDone);
  // Raises the calls on the owner's thread and waits for their handlers, writing the output they
  // send meanwhile. False when they were not delivered: the server is stopping or its thread gone.
  bool RaiseChain(std::vector<std::shared_ptr<EventCall>> calls);
  bool Raise(const std::shared_ptr<EventCall>& call);
  // The credential size limits and the pace of retries from the peer's address.
  bool MayTryLogin(std::string_view login, std::string_view password);
  // The outcome of a login call, counted for the throttle.
  bool LoginDecided(const EventCall& login);
  // Waits up to `delay`; false when the server stops meanwhile.
  bool Pause(std::chrono::seconds delay);

  const std::shared_ptr<ServerCore> core_;
  const std::shared_ptr<ConnectionState> state_;
  const com::ComPtr<com::IDispatch> user_;
  ConnectionOutput* output_ = nullptr;
  // Given back on the owner's thread as soon as a login is allowed, before anything the login's
  // handlers sent can reach the client; or by the connection thread when the login is over.
  struct SharedPlace {
    explicit SharedPlace(UnauthenticatedPlace p) : place(std::move(p)) {}
    void GiveBack() {
      std::lock_guard guard(lock);
      place.GiveBack();
    }
    std::mutex lock;
    UnauthenticatedPlace place;  // guarded by lock
  };
  const std::shared_ptr<SharedPlace> place_;
};

}  // namespace vorlane::termserver
