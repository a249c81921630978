// A Connection for tests: answers events as configured, records them in order, and lets the
// test queue output as the application would, outside an event or from inside one.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/termserver/connection.h"

namespace vorlane::termserver::testing {

class FakeConnection final : public Connection {
 public:
  FakeConnection() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~FakeConnection() { ::close(wake_); }

  // --- Configuration (set before serving).
  std::string remoteAddress = "127.0.0.1";
  std::string password = "secret";      // LoginPassword allows exactly this password
  std::string user = "monitor";         // ... for this login name
  int32_t serviceAnswer = kServiceApplication;  // what ServiceRequest decides for a shell
  std::string sftpHome;
  bool sftpAllow = true;
  std::chrono::seconds idleTimeout{600};
  // Called inside Received (on the connection thread); may Send.
  std::function<void(int32_t channel, const std::string& request)> onReceived;
  // Called inside ServiceStart; may Send.
  std::function<void(int32_t channel, int32_t type)> onServiceStart;

  // --- What happened, in order: "LoginPassword:user:pass", "ServiceRequest:ch:type",
  // "ServiceStart:ch:type:name", "Received:ch:text", "Sftp:op:path:path2:resolved".
  std::vector<std::string> Events() {
    std::lock_guard lock(lock_);
    return events_;
  }

  // Queues output for the peer, as the application's send would; safe from any thread.
  void Send(int32_t channel, std::string text) {
    {
      std::lock_guard lock(lock_);
      queued_.emplace_back(channel, std::move(text));
    }
    uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }
  void Close() {
    close_ = true;
    uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

  // --- Connection
  const std::string& RemoteAddress() const override { return remoteAddress; }
  void SetOutput(ConnectionOutput* output) override { output_ = output; }
  int WakeFd() const override { return wake_; }
  void DrainOutput() override {
    uint64_t count;
    (void)!::read(wake_, &count, sizeof count);
    std::vector<std::pair<int32_t, std::string>> queued;
    {
      std::lock_guard lock(lock_);
      queued.swap(queued_);
    }
    for (auto& [channel, text] : queued) {
      if (output_) output_->Write(channel, text);
    }
  }
  // Output always goes through the connection thread here, which the tests watch.
  void SetDirectOutput(DirectOutput*) override {}
  void AwaitAnswers(bool) override {}
  bool ShouldClose() const override { return close_.load(); }
  std::chrono::seconds IdleTimeout() const override { return idleTimeout; }
  bool InputHeld() const override { return false; }
  bool AnswersPending() const override { return false; }
  void Ending() override {}
  bool Connecting() override { return Record("Connecting"), true; }
  bool LoginPassword(std::string_view login, std::string_view pass) override {
    Record("LoginPassword:" + std::string(login) + ":" + std::string(pass));
    return login == user && pass == password;
  }
  ShellLogin LoginAndStartShell(int32_t channel, std::string_view login, std::string_view pass) override {
    if (!LoginPassword(login, pass)) return ShellLogin::kRefused;
    if (ServiceRequest(channel, kServiceShell) != kServiceApplication) return ShellLogin::kNoShell;
    ServiceStart(channel, kServiceApplication, "shell");
    return ShellLogin::kStarted;
  }
  int32_t ServiceRequest(int32_t channel, int32_t requestedType) override {
    Record("ServiceRequest:" + std::to_string(channel) + ":" + std::to_string(requestedType));
    return requestedType == kServiceSftp ? kServiceSftp : serviceAnswer;
  }
  void ServiceStart(int32_t channel, int32_t type, std::string_view name) override {
    Record("ServiceStart:" + std::to_string(channel) + ":" + std::to_string(type) + ":" + std::string(name));
    if (onServiceStart) onServiceStart(channel, type);
    DrainOutput();
  }
  void Received(int32_t channel, std::string request) override {
    Record("Received:" + std::to_string(channel) + ":" + request);
    if (onReceived) onReceived(channel, request);
    DrainOutput();  // output sent inside an event goes out before the event returns
  }
  std::string SftpHome() override { return sftpHome; }
  bool SftpAllowed(SftpOperation op, const std::string& path, const std::string& path2,
                   const std::string& resolved) override {
    Record("Sftp:" + std::to_string(static_cast<int>(op)) + ":" + path + ":" + path2 + ":" + resolved);
    return sftpAllow;
  }
  void Disconnected() override { Record("Disconnected"); }

 private:
  void Record(std::string event) {
    std::lock_guard lock(lock_);
    events_.push_back(std::move(event));
  }

  int wake_;
  std::atomic<bool> close_{false};
  ConnectionOutput* output_ = nullptr;
  std::mutex lock_;
  std::vector<std::string> events_;                              // guarded by lock_
  std::vector<std::pair<int32_t, std::string>> queued_;          // guarded by lock_
};

}  // namespace vorlane::termserver::testing
