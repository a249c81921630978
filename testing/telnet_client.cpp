#include "testing/telnet_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "platform/termserver/telnet_codes.h"

namespace vorlane::testkit {

using Clock = std::chrono::steady_clock;

std::string TelnetCommand(uint8_t verb, uint8_t option) {
  return {static_cast<char>(telnet::kIac), static_cast<char>(verb), static_cast<char>(option)};
}

TelnetClient::TelnetClient(int port) : TelnetClient("127.0.0.1", port) {}

namespace {

// The numeric IPv4 or IPv6 `address` with `port`; its length, 0 for any other text.
socklen_t SocketAddress(const std::string& address, int port, sockaddr_storage* out) {
  *out = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *v4;
  }
  if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof *v6;
  }
  return 0;
}

}  // namespace

TelnetClient::TelnetClient(const std::string& address, int port) : TelnetClient(address, port, "") {}

TelnetClient::TelnetClient(const std::string& address, int port, const std::string& source) : fd_(-1) {
  sockaddr_storage peer;
  const socklen_t length = SocketAddress(address, port, &peer);
  if (length == 0) return;
  fd_ = ::socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!source.empty()) {
    sockaddr_storage local;
    const socklen_t localLength = SocketAddress(source, 0, &local);
    if (localLength == 0 || local.ss_family != peer.ss_family ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
      return;
    }
  }
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&peer), length) == 0;
}

TelnetClient::~TelnetClient() {
  if (fd_ >= 0) ::close(fd_);
}

void TelnetClient::Send(std::string_view bytes) { (void)!::write(fd_, bytes.data(), bytes.size()); }

void TelnetClient::ShutdownSending() { ::shutdown(fd_, SHUT_WR); }

bool TelnetClient::ReadUntil(std::string_view needle, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  while (Clock::now() < deadline) {
    if (size_t at = text_.find(needle); at != std::string::npos) {
      text_.erase(0, at + needle.size());
      return true;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (!Fill(std::min<std::chrono::milliseconds>(100ms, left)) && closed_) return false;
  }
  return false;
}

std::string TelnetClient::ReadRecord(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  while (Clock::now() < deadline) {
    const size_t start = text_.find('#');
    const size_t last = text_.rfind('#');
    if (start != std::string::npos && last > start && text_.find_first_not_of("\r\n", last + 1) == std::string::npos) {
      // A record is complete when nothing more arrives for a moment.
      if (!Fill(100ms)) {
        std::string record = text_.substr(start, last + 1 - start);
        text_.clear();
        return record;
      }
      continue;
    }
    if (!Fill(100ms) && closed_) return {};
  }
  return {};
}

std::vector<std::string> TelnetClient::ReadRecords(size_t count, std::chrono::milliseconds wait) {
  constexpr std::string_view kRecordStart = "#keycount=";
  std::vector<std::string> records;
  const auto deadline = Clock::now() + wait;
  // Takes the records that are whole by now off the front of the text; `last` says the record
  // at the end is whole too.
  const auto take = [&](bool last) {
    size_t start = text_.find(kRecordStart);
    while (start != std::string::npos && records.size() < count) {
      const size_t next = text_.find(kRecordStart, start + 1);
      if (next == std::string::npos && !last) break;
      std::string record = text_.substr(start, next == std::string::npos ? std::string::npos : next - start);
      while (!record.empty() && (record.back() == '\r' || record.back() == '\n')) record.pop_back();
      if (next == std::string::npos && (record.empty() || record.back() != '#')) break;
      records.push_back(std::move(record));
      text_.erase(0, next == std::string::npos ? text_.size() : next);
      start = text_.find(kRecordStart);
    }
  };
  while (records.size() < count && Clock::now() < deadline) {
    take(false);
    if (records.size() >= count) break;
    // Quiet or closed: the record at the end is as whole as it will get.
    if (!Fill(100ms)) {
      take(true);
      if (closed_) break;
    }
  }
  return records;
}

bool TelnetClient::HasText(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  // Each round reads what the socket holds; a read of only Telnet commands adds no text.
  for (int round = 0; round < 1000 && text_.empty(); ++round) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!Fill(std::max(left, 0ms)) || Clock::now() >= deadline) break;
  }
  return !text_.empty();
}

std::string TelnetClient::Request(std::string_view record, std::chrono::milliseconds wait) {
  SendLine(record);
  return ReadRecord(wait);
}

bool TelnetClient::AnswerLoginPrompts(std::string_view user, std::string_view password) {
  if (!connected_ || !ReadUntil("login: ")) return false;
  SendLine(user);
  if (!ReadUntil("Password: ")) return false;
  SendLine(password);
  return true;
}

std::string TelnetClient::Login(std::string_view user, std::string_view password) {
  if (!AnswerLoginPrompts(user, password)) return {};
  // The login answer, or a refusal (the server says so and prompts again).
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    if (text_.find("Login incorrect") != std::string::npos) {
      text_.clear();
      return {};
    }
    const std::string key = "responseaction=login#sessionid=";
    size_t at = text_.find(key);
    size_t end = at == std::string::npos ? at : text_.find("#registrationlevel=standard#", at);
    if (end != std::string::npos) {
      std::string id = text_.substr(at + key.size(), end - at - key.size());
      text_.clear();
      return id;
    }
    if (!Fill(100ms) && closed_) return {};
  }
  return {};
}

void TelnetClient::Abort() {
  const linger reset{1, 0};
  (void)::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd_);
  fd_ = -1;
  connected_ = false;
  closed_ = true;
}

bool TelnetClient::Closed() {
  Fill(2s);
  return closed_;
}

bool TelnetClient::Fill(std::chrono::milliseconds wait) {
  pollfd pfd{fd_, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(wait.count())) <= 0) return false;
  unsigned char buffer[4096];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  // The negotiation the filter would answer is left unanswered: the server's defaults hold.
  text_ += filter_.Feed(std::string_view(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n))).data;
  return true;
}

}  // namespace vorlane::testkit
