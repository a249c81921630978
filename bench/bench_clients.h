// Clients for the loopback benchmarks: a Telnet client (it ignores option negotiation) and an
// SSH client (libssh, with a password or a key), each logging in once and then making
// request/answer round trips; and the timing of repeated logins.
#pragma once

#include <arpa/inet.h>
#include <libssh/libssh.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vorlane::bench {

// What ends the agent's login answer and its agentinfo answer: the texts the clients wait for.
inline const std::string kAgentLoginEnd = "registrationlevel=standard#";
inline const std::string kAgentInfoEnd = "#protocolversion=1.9#";

// A request record for the agent: `action` in the session `session`.
inline std::string AgentRequest(const std::string& action, const std::string& session) {
  return "#keycount=2#requestaction=" + action + "#sessionid=" + session + "#";
}

// The session id in a login answer ("" when there is none).
inline std::string SessionFrom(const std::string& text) {
  const std::string key = "#sessionid=";
  size_t at = text.find(key);
  if (at == std::string::npos) return {};
  size_t end = text.find('#', at + key.size());
  return end == std::string::npos ? std::string() : text.substr(at + key.size(), end - at - key.size());
}

class TelnetClient {
 public:
  // `loginEnd` is the text that ends the server's login answer. `noDelay` turns Nagle's
  // algorithm off, as a client tuned for small messages does.
  TelnetClient(int port, std::string user, std::string password, std::string loginEnd = kAgentLoginEnd,
               bool noDelay = true)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
        user_(std::move(user)),
        password_(std::move(password)),
        loginEnd_(std::move(loginEnd)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    if (noDelay) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TelnetClient() { ::close(fd_); }
  TelnetClient(const TelnetClient&) = delete;
  TelnetClient& operator=(const TelnetClient&) = delete;

  bool Login() {
    if (!ok_ || !ReadUntil("login: ")) return false;
    // A request to suppress go-ahead, as a client in character mode sends, then its name: two
    // small writes back to back, as Telnet clients send them.
    if (!Send("\xff\xfd\x03") || !Send(user_ + "\r\n") || !ReadUntil("Password: ")) return false;
    // And so for the server's offer to echo, before the password.
    if (!Send("\xff\xfd\x01") || !Send(password_ + "\r\n") || !ReadUntil(loginEnd_)) return false;
    session_ = SessionFrom(consumed_);
    return true;
  }
  // Sends `request` and reads up to and including `answerEnd`.
  bool RoundTrip(const std::string& request, const std::string& answerEnd) {
    return SendLine(request) && ReadUntil(answerEnd);
  }
  // The two halves of a round trip, for requests whose answers come later (or never, as for
  // logout). False when the server has taken none of it for 10 s.
  bool SendLine(const std::string& request) { return Send(request + "\r\n"); }
  // A round trip of a record sent as it is, without a line end.
  bool BareRoundTrip(const std::string& request, const std::string& answerEnd) {
    return Send(request) && ReadUntil(answerEnd);
  }
  bool Await(const std::string& answerEnd) { return ReadUntil(answerEnd); }
  // What the last successful read took, up to and including what it waited for.
  const std::string& LastRead() const { return consumed_; }
  const std::string& SessionId() const { return session_; }

 private:
  // Writes all of `text` without ever blocking for good: a server that stops reading (its
  // answers unread, say) makes this fail after 10 s instead of hanging the client.
  bool Send(const std::string& text) {
    size_t sent = 0;
    for (int rounds = 0; rounds < 100000 && sent < text.size(); ++rounds) {
      const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      pollfd pfd{fd_, POLLOUT, 0};
      if (::poll(&pfd, 1, 10000) <= 0) return false;
    }
    return sent == text.size();
  }
  bool ReadUntil(const std::string& needle) {
    for (int rounds = 0; rounds < 1000; ++rounds) {
      if (size_t at = text_.find(needle); at != std::string::npos) {
        consumed_ = text_.substr(0, at + needle.size());
        text_.erase(0, at + needle.size());
        return true;
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 10000) <= 0) return false;
      char buffer[4096];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return false;
      for (ssize_t i = 0; i < n; ++i) {
        if (skip_ > 0) {
          --skip_;
        } else if (static_cast<unsigned char>(buffer[i]) == 0xFF) {
          skip_ = 2;
        } else {
          text_ += buffer[i];
        }
      }
    }
    return false;
  }

  int fd_;
  std::string user_;
  std::string password_;
  std::string loginEnd_;
  bool ok_ = false;
  int skip_ = 0;
  std::string text_;
  std::string consumed_;
  std::string session_;
};

class SshClient {
 public:
  // As TelnetClient; libssh leaves Nagle's algorithm on unless told.
  SshClient(int port, const std::string& user, std::string password,
            std::string loginEnd = kAgentLoginEnd, bool noDelay = false)
      : session_(ssh_new()), password_(std::move(password)), loginEnd_(std::move(loginEnd)) {
    int verbosity = SSH_LOG_NOLOG;
    unsigned int portValue = static_cast<unsigned int>(port);
    ssh_options_set(session_, SSH_OPTIONS_HOST, "127.0.0.1");
    ssh_options_set(session_, SSH_OPTIONS_PORT, &portValue);
    ssh_options_set(session_, SSH_OPTIONS_USER, user.c_str());
    ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, "/dev/null");
    const int noDelayValue = noDelay ? 1 : 0;
    ssh_options_set(session_, SSH_OPTIONS_NODELAY, &noDelayValue);
  }
  ~SshClient() {
    if (channel_) {
      ssh_channel_close(channel_);
      ssh_channel_free(channel_);
    }
    ssh_disconnect(session_);
    ssh_free(session_);
  }
  SshClient(const SshClient&) = delete;
  SshClient& operator=(const SshClient&) = delete;

  // Logs in with the private key in `file` (no passphrase) instead of the password.
  void UseKeyFile(std::string file) { keyFile_ = std::move(file); }

  bool Login() {
    if (ssh_connect(session_) != SSH_OK) return false;
    if (!Authenticate()) return false;
    channel_ = ssh_channel_new(session_);
    if (channel_ == nullptr || ssh_channel_open_session(channel_) != SSH_OK) return false;
    if (ssh_channel_request_shell(channel_) != SSH_OK) return false;
    if (!ReadUntil(loginEnd_)) return false;
    sessionId_ = SessionFrom(consumed_);
    return true;
  }
  bool RoundTrip(const std::string& request, const std::string& answerEnd) {
    return SendLine(request) && ReadUntil(answerEnd);
  }
  // A request whose answer is not awaited (logout has none).
  bool SendLine(const std::string& request) {
    const std::string line = request + "\n";
    return ssh_channel_write(channel_, line.data(), static_cast<uint32_t>(line.size())) >= 0;
  }
  // Ends the conversation as a well-behaved client does: tells the server it sends nothing more
  // and waits (10 s at most) for the server to end its side. (Closing the channel at once has a
  // last request served too; a connection dropped without closing its channel does not.)
  bool Finish() {
    if (channel_ == nullptr || ssh_channel_send_eof(channel_) != SSH_OK) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buffer[4096];
    for (int rounds = 0; rounds < 1000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
      if (ssh_channel_is_eof(channel_) || ssh_channel_is_closed(channel_)) return true;
      if (ssh_channel_read_timeout(channel_, buffer, sizeof buffer, 0, 1000) < 0) return false;
    }
    return false;
  }
  const std::string& SessionId() const { return sessionId_; }

 private:
  bool Authenticate() {
    if (keyFile_.empty()) return ssh_userauth_password(session_, nullptr, password_.c_str()) == SSH_AUTH_SUCCESS;
    ssh_key key = nullptr;
    if (ssh_pki_import_privkey_file(keyFile_.c_str(), nullptr, nullptr, nullptr, &key) != SSH_OK) return false;
    const bool ok = ssh_userauth_publickey(session_, nullptr, key) == SSH_AUTH_SUCCESS;
    ssh_key_free(key);
    return ok;
  }
  bool ReadUntil(const std::string& needle) {
    for (int rounds = 0; rounds < 1000; ++rounds) {
      if (size_t at = text_.find(needle); at != std::string::npos) {
        consumed_ += text_.substr(0, at + needle.size());
        text_.erase(0, at + needle.size());
        return true;
      }
      char buffer[4096];
      int n = ssh_channel_read_timeout(channel_, buffer, sizeof buffer, 0, 10000);
      if (n <= 0) return false;
      text_.append(buffer, static_cast<size_t>(n));
    }
    return false;
  }

  ssh_session session_;
  std::string password_;
  std::string loginEnd_;
  std::string keyFile_;
  ssh_channel channel_ = nullptr;
  std::string text_;
  std::string consumed_;
  std::string sessionId_;
};

// Times `login()` one after another, `count` times at most and for `limit` at most; the
// microseconds of each successful login, up to the first failure. `login()` returns the logged-in
// client (null on failure), which leaves after the time is taken.
template <class Login>
std::vector<double> TimeLogins(Login login, int count, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> micros;
  const auto deadline = Clock::now() + limit;
  for (int i = 0; i < count && Clock::now() < deadline; ++i) {
    const auto before = Clock::now();
    const auto client = login();
    if (!client) break;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  return micros;
}

// A client made with `args`, logged in; null when the login failed.
template <class Client, class... Args>
std::unique_ptr<Client> LoggedIn(Args&&... args) {
  auto client = std::make_unique<Client>(std::forward<Args>(args)...);
  return client->Login() ? std::move(client) : nullptr;
}

}  // namespace vorlane::bench
