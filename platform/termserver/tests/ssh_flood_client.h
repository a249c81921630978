// A libssh client that logs in once, opens shell channels and writes one record to all of them
// as fast as their windows let it, reading the answers or leaving them unread: the load that
// must not make the server grow. For the flow tests and the agent benchmark. It also talks on
// its first channel a step at a time (Write, SendEof, ReadUntil, WaitForEnd), for tests that
// decide when the application answers.
#pragma once

#include <libssh/libssh.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::termserver::testing {

// A "Key: <number> kB" field of a /proc/<pid>/status file, in kB (0 when missing).
inline long StatusKb(const std::string& statusFile, std::string_view key) {
  std::ifstream in(statusFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0 && line.size() > key.size() && line[key.size()] == ':') {
      return std::atol(line.c_str() + key.size() + 1);
    }
  }
  return 0;
}

class SshFloodClient {
 public:
  using Clock = std::chrono::steady_clock;

  SshFloodClient(int port, const std::string& user, const std::string& password)
      : session_(ssh_new()), password_(password) {
    int verbosity = SSH_LOG_NOLOG;
    unsigned int portValue = static_cast<unsigned int>(port);
    long timeout = 10;
    ssh_options_set(session_, SSH_OPTIONS_HOST, "127.0.0.1");
    ssh_options_set(session_, SSH_OPTIONS_PORT, &portValue);
    ssh_options_set(session_, SSH_OPTIONS_USER, user.c_str());
    ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, "/dev/null");
    ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
  }
  ~SshFloodClient() {
    if (event_ != nullptr) {
      ssh_event_remove_session(event_, session_);
      ssh_event_free(event_);
    }
    for (ssh_channel channel : channels_) {
      if (!abandoned_) ssh_channel_close(channel);
      ssh_channel_free(channel);
    }
    if (!abandoned_) ssh_disconnect(session_);
    ssh_free(session_);
  }
  SshFloodClient(const SshFloodClient&) = delete;
  SshFloodClient& operator=(const SshFloodClient&) = delete;

  // Logs in and opens `count` shell channels; on the first, reads what the server sends first
  // up to `greetingEnd` (when not empty) into Greeting().
  bool Connect(int count, const std::string& greetingEnd = {}) {
    if (ssh_connect(session_) != SSH_OK) return false;
    if (ssh_userauth_password(session_, nullptr, password_.c_str()) != SSH_AUTH_SUCCESS) return false;
    for (int i = 0; i < count; ++i) {
      ssh_channel channel = ssh_channel_new(session_);
      if (channel == nullptr) return false;
      channels_.push_back(channel);
      if (ssh_channel_open_session(channel) != SSH_OK || ssh_channel_request_shell(channel) != SSH_OK) return false;
      const bool readGreeting = i == 0 && !greetingEnd.empty();
      for (int round = 0; round < 1000 && readGreeting && greeting_.find(greetingEnd) == std::string::npos; ++round) {
        char buffer[4096];
        const int got = ssh_channel_read_timeout(channel, buffer, sizeof buffer, 0, 10000);
        if (got <= 0) return false;
        greeting_.append(buffer, static_cast<size_t>(got));
      }
    }
    ssh_set_blocking(session_, 0);
    event_ = ssh_event_new();
    return event_ != nullptr && ssh_event_add_session(event_, session_) == SSH_OK;
  }

  // Writes `record` and a line end to every channel, as many whole records as each channel's
  // window takes, for `duration` or until the server ends the connection or `keepGoing()`
  // (called between rounds) says no. Answers are read when `read` is true, else left unread.
  template <class KeepGoing>
  void Flood(const std::string& record, bool read, Clock::duration duration, KeepGoing keepGoing) {
    const std::string line = record + "\n";
    std::string batch;
    while (batch.size() < 16 * 1024) batch += line;
    const auto end = Clock::now() + duration;
    for (long round = 0; round < 100'000'000 && Clock::now() < end && !ended_; ++round) {
      for (ssh_channel channel : channels_) {
        if (ChannelEnded(channel)) {
          ended_ = true;
          continue;
        }
        const size_t records = std::min<size_t>(ssh_channel_window_size(channel), batch.size()) / line.size();
        if (records > 0) {
          const int written = ssh_channel_write(channel, batch.data(), static_cast<uint32_t>(records * line.size()));
          if (written == SSH_ERROR) ended_ = true;
          if (written > 0) bytesWritten_ += static_cast<uint64_t>(written);
        }
        char buffer[16 * 1024];
        for (int reads = 0; read && reads < 64; ++reads) {
          const int got = ssh_channel_read_nonblocking(channel, buffer, sizeof buffer, 0);
          if (got <= 0) break;
          bytesRead_ += static_cast<uint64_t>(got);
        }
      }
      recordsWritten_ = bytesWritten_ / line.size();
      if (!keepGoing()) break;
      if (ssh_event_dopoll(event_, 5) == SSH_ERROR && !ssh_is_connected(session_)) ended_ = true;
      if ((ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0) ended_ = true;
    }
  }

  // Writes all of `bytes` to the first channel as its window lets it; false when the server
  // ended the channel or `wait` passed first.
  bool Write(std::string_view bytes, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    const auto end = Clock::now() + wait;
    ssh_channel channel = channels_.front();
    for (long round = 0; round < 10'000'000 && !bytes.empty() && Clock::now() < end; ++round) {
      if (ChannelEnded(channel)) return false;
      const size_t room = std::min<size_t>(ssh_channel_window_size(channel), bytes.size());
      if (room > 0) {
        const int written = ssh_channel_write(channel, bytes.data(), static_cast<uint32_t>(room));
        if (written == SSH_ERROR) return false;
        bytes.remove_prefix(static_cast<size_t>(std::max(written, 0)));
      }
      if (!bytes.empty()) (void)ssh_event_dopoll(event_, 10);
    }
    return bytes.empty();
  }

  // The first channel sends nothing more (channel EOF); the server may still answer on it.
  bool SendEof() { return ssh_channel_send_eof(channels_.front()) == SSH_OK; }

  // Reads the first channel until `needle` arrives and consumes the text up to its end; false
  // when the server ended the channel or `wait` passed first.
  bool ReadUntil(std::string_view needle, std::chrono::milliseconds wait) {
    const auto end = Clock::now() + wait;
    for (long round = 0; round < 10'000'000; ++round) {
      if (const size_t at = text_.find(needle); at != std::string::npos) {
        text_.erase(0, at + needle.size());
        return true;
      }
      if (Clock::now() >= end || !ReadSome()) return false;
    }
    return false;
  }

  // Waits up to `wait` for the server to end the first channel (what arrives meanwhile is kept
  // for ReadUntil); true when it did.
  bool WaitForEnd(std::chrono::milliseconds wait) {
    const auto end = Clock::now() + wait;
    for (long round = 0; round < 10'000'000 && Clock::now() < end; ++round) {
      if (!ReadSome()) return true;
    }
    return false;
  }

  // Leaves at once, without sending an end of input or waiting for anything: closes every
  // channel first when `closeChannels`, then disconnects.
  void Leave(bool closeChannels = true) {
    ssh_set_blocking(session_, 1);
    for (ssh_channel channel : channels_) {
      if (closeChannels) ssh_channel_close(channel);
    }
    ssh_disconnect(session_);
    channels_.clear();  // freed by the disconnect
    abandoned_ = true;  // nothing left to close
  }

  // Leaves without a word: the socket is shut down, nothing more is sent.
  void Abandon() {
    abandoned_ = true;
    ::shutdown(ssh_get_fd(session_), SHUT_RDWR);
  }

  uint64_t RecordsWritten() const { return recordsWritten_.load(); }
  uint64_t BytesRead() const { return bytesRead_; }
  // True once the server closed a channel or the connection.
  bool Ended() const { return ended_; }
  const std::string& Greeting() const { return greeting_; }

 private:
  static bool ChannelEnded(ssh_channel channel) {
    return !ssh_channel_is_open(channel) || ssh_channel_is_eof(channel);
  }

  // Takes what has come for the first channel into text_, waiting a moment when nothing has;
  // false once the server has ended the channel or the connection.
  bool ReadSome() {
    ssh_channel channel = channels_.front();
    char buffer[16 * 1024];
    const int got = ssh_channel_read_nonblocking(channel, buffer, sizeof buffer, 0);
    if (got > 0) {
      text_.append(buffer, static_cast<size_t>(got));
      return true;
    }
    if (got == SSH_ERROR || ChannelEnded(channel)) return false;
    if ((ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0) return false;
    if (ssh_event_dopoll(event_, 20) == SSH_ERROR && !ssh_is_connected(session_)) return false;
    return true;
  }

  ssh_session session_;
  std::string password_;
  std::vector<ssh_channel> channels_;
  ssh_event event_ = nullptr;
  std::string greeting_;
  std::string text_;  // read from the first channel and not yet consumed by ReadUntil
  uint64_t bytesWritten_ = 0;
  uint64_t bytesRead_ = 0;
  std::atomic<uint64_t> recordsWritten_{0};
  bool ended_ = false;
  bool abandoned_ = false;
};

}  // namespace vorlane::termserver::testing
