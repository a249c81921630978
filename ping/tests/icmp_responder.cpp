// Echo responder for the ICMP tests. Runs inside a network namespace (where the kernel's own
// echo replies are switched off) and answers IPv4 and IPv6 echo requests the way the flags ask:
//   --delay-ms N          wait N ms before each answer
//   --answer-pattern STR  '1' answers, '0' drops; one character per request, cycling
//   --tos N               TOS of the answers (default: the request's TOS)
//   --from ADDR           source address of the answers of ADDR's family (default: the
//                         request's destination); must be an address of the namespace
//   --error TYPE/CODE     answer with this ICMP error instead of an echo reply
//   --wrong-id            answer with an identifier that is not the request's
// Prints "ready" once listening; ends at SIGTERM.
#include <arpa/inet.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnTerm(int) { g_stop = 1; }

struct Options {
  int delayMs = 0;
  std::string pattern = "1";
  int tos = -1;
  bool haveFrom = false;
  in_addr from{};
  bool haveFrom6 = false;
  in6_addr from6{};
  int errorType = -1;
  int errorCode = 0;
  bool wrongId = false;
};

uint16_t Checksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

bool ParseInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--delay-ms") {
      const char* v = next();
      if (v == nullptr || !ParseInt(v, 0, 600000, o.delayMs)) return false;
    } else if (a == "--answer-pattern") {
      const char* v = next();
      if (v == nullptr || *v == '\0' || std::string(v).find_first_not_of("01") != std::string::npos) return false;
      o.pattern = v;
    } else if (a == "--tos") {
      const char* v = next();
      if (v == nullptr || !ParseInt(v, 0, 255, o.tos)) return false;
    } else if (a == "--from") {
      const char* v = next();
      if (v == nullptr) return false;
      if (inet_pton(AF_INET, v, &o.from) == 1) {
        o.haveFrom = true;
      } else if (inet_pton(AF_INET6, v, &o.from6) == 1) {
        o.haveFrom6 = true;
      } else {
        return false;
      }
    } else if (a == "--error") {
      const char* v = next();
      if (v == nullptr) return false;
      std::string s = v;
      auto slash = s.find('/');
      if (slash == std::string::npos) return false;
      if (!ParseInt(s.substr(0, slash).c_str(), 0, 255, o.errorType) ||
          !ParseInt(s.substr(slash + 1).c_str(), 0, 255, o.errorCode)) {
        return false;
      }
    } else if (a == "--wrong-id") {
      o.wrongId = true;
    } else {
      return false;
    }
  }
  return true;
}

// Builds the IPv4 packet answering `request` (a whole IPv4 packet holding an echo request).
std::vector<uint8_t> BuildAnswer(const Options& o, const uint8_t* request, size_t size, size_t ihl) {
  const uint8_t* reqIcmp = request + ihl;
  const size_t reqIcmpSize = size - ihl;
  std::vector<uint8_t> icmp;
  if (o.errorType >= 0) {
    // Error message: header, 4 unused bytes, then the original IP header and 8 bytes of its data.
    icmp.assign(8, 0);
    icmp[0] = static_cast<uint8_t>(o.errorType);
    icmp[1] = static_cast<uint8_t>(o.errorCode);
    icmp.insert(icmp.end(), request, request + ihl + 8);
  } else {
    icmp.assign(reqIcmp, reqIcmp + reqIcmpSize);
    icmp[0] = 0;  // echo reply
    icmp[1] = 0;
    if (o.wrongId) {
      icmp[4] ^= 0x5A;
      icmp[5] ^= 0xA5;
    }
  }
  icmp[2] = icmp[3] = 0;
  PutU16(&icmp[2], Checksum(icmp.data(), icmp.size()));

  std::vector<uint8_t> packet(20 + icmp.size());
  uint8_t* ip = packet.data();
  ip[0] = 0x45;
  ip[1] = static_cast<uint8_t>(o.tos >= 0 ? o.tos : request[1]);
  PutU16(ip + 2, static_cast<uint16_t>(packet.size()));
  ip[8] = 64;
  ip[9] = IPPROTO_ICMP;
  if (o.haveFrom) {
    std::memcpy(ip + 12, &o.from, 4);
  } else {
    std::memcpy(ip + 12, request + 16, 4);  // answer from the address that was pinged
  }
  std::memcpy(ip + 16, request + 12, 4);
  PutU16(ip + 10, Checksum(ip, 20));
  std::memcpy(packet.data() + 20, icmp.data(), icmp.size());
  return packet;
}

// The ICMPv6 answer to `icmp` (an echo request as a raw ICMPv6 socket delivers it: no IPv6
// header). Errors embed the original packet, whose IPv6 header is rebuilt from what the kernel
// told about it.
std::vector<uint8_t> BuildAnswer6(const Options& o, const uint8_t* icmp, size_t size, const in6_addr& src,
                                  const in6_addr& dst, int tclass, int hopLimit) {
  std::vector<uint8_t> out;
  if (o.errorType >= 0) {
    out.assign(8, 0);
    out[0] = static_cast<uint8_t>(o.errorType);
    out[1] = static_cast<uint8_t>(o.errorCode);
    if (o.errorType == ICMP6_PACKET_TOO_BIG) PutU16(&out[6], 1280);
    // As much of the original as fits the minimum MTU.
    const size_t keep = std::min(size, static_cast<size_t>(1280 - 40 - 8 - 40));
    uint8_t ip6[40] = {};
    ip6[0] = static_cast<uint8_t>(0x60 | (tclass >> 4));
    ip6[1] = static_cast<uint8_t>((tclass & 0x0F) << 4);
    PutU16(ip6 + 4, static_cast<uint16_t>(size));
    ip6[6] = IPPROTO_ICMPV6;
    ip6[7] = static_cast<uint8_t>(hopLimit);
    std::memcpy(ip6 + 8, &src, 16);
    std::memcpy(ip6 + 24, &dst, 16);
    out.insert(out.end(), ip6, ip6 + 40);
    out.insert(out.end(), icmp, icmp + keep);
  } else {
    out.assign(icmp, icmp + size);
    out[0] = ICMP6_ECHO_REPLY;
    out[1] = 0;
    if (o.wrongId) {
      out[4] ^= 0x5A;
      out[5] ^= 0xA5;
    }
  }
  out[2] = out[3] = 0;  // the kernel fills in the checksum
  return out;
}

// Answers one IPv6 echo request waiting on `fd`. Returns false when nothing was read.
bool HandleIpv6(int fd, const Options& o, std::vector<uint8_t>& buffer, uint64_t& requests) {
  sockaddr_in6 peer{};
  iovec iov{buffer.data(), buffer.size()};
  alignas(cmsghdr) uint8_t control[256];
  msghdr msg{.msg_name = &peer, .msg_namelen = sizeof peer, .msg_iov = &iov, .msg_iovlen = 1,
             .msg_control = control, .msg_controllen = sizeof control, .msg_flags = 0};
  ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT);
  if (got < 8) return false;
  auto size = static_cast<size_t>(got);
  if (buffer[0] != ICMP6_ECHO_REQUEST || buffer[1] != 0) return true;
  in6_addr dst{};
  int tclass = 0;
  int hopLimit = 64;
  bool haveDst = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IPV6) continue;
    if (c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      dst = info.ipi6_addr;
      haveDst = true;
    } else if (c->cmsg_type == IPV6_TCLASS) {
      std::memcpy(&tclass, CMSG_DATA(c), sizeof tclass);
    } else if (c->cmsg_type == IPV6_HOPLIMIT) {
      std::memcpy(&hopLimit, CMSG_DATA(c), sizeof hopLimit);
    }
  }
  if (!haveDst) return true;

  char answer = o.pattern[requests % o.pattern.size()];
  ++requests;
  if (answer != '1') return true;
  std::vector<uint8_t> packet = BuildAnswer6(o, buffer.data(), size, peer.sin6_addr, dst, tclass, hopLimit);
  if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));

  alignas(cmsghdr) uint8_t out[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(int))] = {};
  iovec oiov{packet.data(), packet.size()};
  msghdr omsg{.msg_name = &peer, .msg_namelen = sizeof peer, .msg_iov = &oiov, .msg_iovlen = 1,
              .msg_control = out, .msg_controllen = sizeof out, .msg_flags = 0};
  cmsghdr* c = CMSG_FIRSTHDR(&omsg);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
  in6_pktinfo info{};
  info.ipi6_addr = o.haveFrom6 ? o.from6 : dst;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  c = CMSG_NXTHDR(&omsg, c);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_TCLASS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  int replyClass = o.tos >= 0 ? o.tos : tclass;
  std::memcpy(CMSG_DATA(c), &replyClass, sizeof replyClass);
  if (sendmsg(fd, &omsg, 0) < 0) std::perror("icmp-responder: sendmsg (IPv6)");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(stderr, "icmp-responder: bad arguments\n");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    std::perror("icmp-responder: socket");
    return 1;
  }
  int on = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
    std::perror("icmp-responder: IP_HDRINCL");
    return 1;
  }
  // IPv6 as well where the system has it.
  int fd6 = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  if (fd6 >= 0) {
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
    if (setsockopt(fd6, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0 ||
        setsockopt(fd6, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd6, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on) != 0 ||
        setsockopt(fd6, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on) != 0) {
      std::perror("icmp-responder: IPv6 socket options");
      return 1;
    }
  }
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  std::vector<uint8_t> buffer(65536 + 60);
  uint64_t requests = 0;
  while (!g_stop) {
    pollfd pfds[2] = {{fd, POLLIN, 0}, {fd6, POLLIN, 0}};
    int ready = poll(pfds, fd6 >= 0 ? 2 : 1, 200);
    if (ready <= 0) continue;  // timeout, or EINTR from SIGTERM: the loop condition decides
    if (fd6 >= 0 && (pfds[1].revents & POLLIN)) HandleIpv6(fd6, o, buffer, requests);
    if (!(pfds[0].revents & POLLIN)) continue;
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    ssize_t got =
        recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &peerLen);
    if (got < 28) continue;
    auto size = static_cast<size_t>(got);
    size_t ihl = static_cast<size_t>(buffer[0] & 0x0F) * 4;
    if ((buffer[0] >> 4) != 4 || ihl < 20 || size < ihl + 8) continue;
    if (buffer[ihl] != 8 || buffer[ihl + 1] != 0) continue;  // echo requests only

    char answer = o.pattern[requests % o.pattern.size()];
    ++requests;
    if (answer != '1') continue;
    std::vector<uint8_t> packet = BuildAnswer(o, buffer.data(), size, ihl);
    if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, buffer.data() + 12, 4);
    if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
      std::perror("icmp-responder: sendto");
    }
  }
  close(fd);
  if (fd6 >= 0) close(fd6);
  return 0;
}
