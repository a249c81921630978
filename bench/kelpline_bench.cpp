// The TCP client control beside a plain non-blocking socket, both driven on the same message loop
// against an echo server this program runs on loopback: (a) connect, exchange one short line and
// close, per second; (b) the throughput of one connection echoing a large amount. CPU is the
// whole process's (getrusage), the echo server's thread included, so the two columns differ by
// what the client side costs. A plain program, run by hand:
//   bench_kelpline [connections] [megabytes]
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/base/unique_fd.h"
#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/interfaces.h"
#include "platform/loop/message_loop.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tests/echo_server.h"
#include "tcpclient/tests/kelpline_event_sink.h"
#include "testing/loop_pump.h"

namespace {

using namespace vorlane;
using namespace std::chrono_literals;
using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::S_OK;

constexpr std::string_view kLine = "ping\r\n";

double CpuSeconds() {
  rusage usage{};
  (void)::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measure {
  int done = 0;  // rounds that worked
  double wall = 0;
  double cpu = 0;
};

// Runs `round` `count` times (stopping at the first failure) and measures wall and CPU time.
Measure Time(int count, const std::function<bool()>& round) {
  Measure measure;
  const double cpuStart = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count && round(); ++i) ++measure.done;
  measure.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  measure.cpu = CpuSeconds() - cpuStart;
  return measure;
}

// Counts the bytes DataIn delivers.
class CountingSink final : public tcpclient::testing::KelplineEventSink<CountingSink> {
 public:
  size_t received = 0;
  bool disconnected = false;

  void OnEvent(com::DISPID id, com::DispatchCall& call) {
    if (id == tcpclient::kEventDataIn) {
      Bstr text;
      (void)call.Read(0, &text);
      received += text.Length();
    } else if (id == tcpclient::kEventDisconnected) {
      disconnected = true;
    }
  }

 private:
  ~CountingSink() override = default;
};

ComPtr<tcpclient::IKelpline> NewControl() {
  ComPtr<tcpclient::IKelpline> control;
  if (com::CoCreateInstance(tcpclient::kKelplineClsid, &control) != S_OK) return nullptr;
  if (control->put_SSLStartMode(tcpclient::sslNone) != S_OK || control->put_Timeout(10) != S_OK) return nullptr;
  return control;
}

// Connect (waiting), one line out, its echo in through GetLine, disconnect.
bool ControlExchange(tcpclient::IKelpline* control, uint16_t port) {
  if (control == nullptr || control->Connect(Bstr(u"127.0.0.1").get(), port) != S_OK) return false;
  Bstr line;
  const bool echoed = control->SendLine(Bstr(u"ping").get()) == S_OK && control->GetLine(line.put()) == S_OK &&
                      line.ToUtf8() == "ping";
  return control->Disconnect() == S_OK && echoed;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A non-blocking socket connected to loopback `port`, the connect under way or done.
UniqueFd StartConnect(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const sockaddr_in address = Loopback(port);
  if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    fd.reset();
  }
  return fd;
}

// The same work as ControlExchange with a plain socket watched on the loop.
bool PlainExchange(loop::MessageLoop& loop, uint16_t port) {
  UniqueFd fd = StartConnect(port);
  if (!fd) return false;
  std::string got;
  bool failed = false, sent = false;
  loop::FdWatch* self = nullptr;
  std::unique_ptr<loop::FdWatch> watch = loop.WatchFd(fd.get(), EPOLLOUT, [&](uint32_t events) {
    if ((events & EPOLLERR) != 0) {
      failed = true;
    } else if (!sent && (events & EPOLLOUT) != 0) {
      sent = ::send(fd.get(), kLine.data(), kLine.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(kLine.size());
      failed = !sent;
      self->SetEvents(EPOLLIN);
    } else if ((events & (EPOLLIN | EPOLLHUP)) != 0) {
      char buffer[256];
      const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      failed = n == 0 || (n < 0 && errno != EAGAIN);
    }
  });
  if (!watch) return false;
  self = watch.get();
  const bool done = testkit::PumpUntil(loop, [&] { return failed || got.size() >= kLine.size(); }, 10s);
  watch.reset();
  return done && !failed && got == kLine;
}

// `total` bytes through one control in 64 KB pieces, all echoed back; `config` is a Config text
// applied first ("" for none).
bool ControlThroughput(loop::MessageLoop& loop, uint16_t port, size_t total, std::string_view config) {
  ComPtr<tcpclient::IKelpline> control = NewControl();
  if (!control) return false;
  Bstr answer;
  if (!config.empty() && control->Config(Bstr::FromUtf8(config).get(), answer.put()) != S_OK) return false;
  ComPtr<CountingSink> sink = com::Make<CountingSink>();
  ComPtr<com::IConnectionPoint> point;
  uint32_t cookie = 0;
  ComPtr<com::IConnectionPointContainer> container = control.As<com::IConnectionPointContainer>();
  if (!container || container->FindConnectionPoint(tcpclient::IKelplineEvents::kIid, point.put()) != S_OK ||
      point->Advise(sink.get(), &cookie) != S_OK) {
    return false;
  }
  bool ok = control->put_Timeout(30) == S_OK && control->Connect(Bstr(u"127.0.0.1").get(), port) == S_OK;
  const Bstr piece = Bstr::FromUtf8(std::string(64 * 1024, 'x'));
  for (size_t sent = 0; ok && sent < total; sent += 64 * 1024) ok = control->put_DataToSend(piece.get()) == S_OK;
  ok = ok && testkit::PumpUntil(loop, [&] { return sink->received >= total || sink->disconnected; }, 60s);
  ok = ok && sink->received == total;
  (void)control->Disconnect();
  (void)point->Unadvise(cookie);
  return ok;
}

// The same with a plain socket: written while it takes more, read as the echo comes.
bool PlainThroughput(loop::MessageLoop& loop, uint16_t port, size_t total) {
  UniqueFd fd = StartConnect(port);
  if (!fd) return false;
  const std::string piece(64 * 1024, 'x');
  std::string buffer(64 * 1024, '\0');
  size_t sent = 0, received = 0;
  bool failed = false;
  loop::FdWatch* self = nullptr;
  std::unique_ptr<loop::FdWatch> watch = loop.WatchFd(fd.get(), EPOLLIN | EPOLLOUT, [&](uint32_t events) {
    if ((events & EPOLLERR) != 0) failed = true;
    for (int round = 0; round < 16 && sent < total && (events & EPOLLOUT) != 0; ++round) {
      const ssize_t n = ::send(fd.get(), piece.data(), std::min(piece.size(), total - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    for (int round = 0; round < 16 && (events & (EPOLLIN | EPOLLHUP)) != 0; ++round) {
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        failed = failed || n == 0 || errno != EAGAIN;
        break;
      }
      received += static_cast<size_t>(n);
    }
    self->SetEvents(sent < total ? EPOLLIN | EPOLLOUT : EPOLLIN);
  });
  if (!watch) return false;
  self = watch.get();
  const bool done = testkit::PumpUntil(loop, [&] { return failed || received >= total; }, 60s);
  watch.reset();
  return done && !failed && received == total;
}

void PrintRate(const char* kind, int count, const Measure& m) {
  if (m.done < count) {
    std::printf("%-36s FAILED after %d of %d\n", kind, m.done, count);
    return;
  }
  std::printf("%-36s %10.0f %14.1f %14.1f\n", kind, m.done / m.wall, m.wall / m.done * 1e6, m.cpu / m.done * 1e6);
}

void PrintThroughput(const char* kind, double megabytes, bool ok, const Measure& m) {
  if (!ok) {
    std::printf("%-36s FAILED\n", kind);
    return;
  }
  std::printf("%-36s %10.1f %14.2f\n", kind, megabytes / m.wall, m.cpu / megabytes * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  const int connections = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int megabytes = argc > 2 ? std::atoi(argv[2]) : 64;
  if (connections <= 0 || megabytes <= 0) {
    std::fprintf(stderr, "usage: bench_kelpline [connections] [megabytes]\n");
    return 2;
  }
  com::ApartmentScope apartment;
  if (!apartment.ok()) return 1;
  std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
  tcpclient::testing::EchoServer server;
  if (!server.ok()) return 1;
  const uint16_t port = server.port();
  // The component's library loaded before anything is timed.
  if (!ControlExchange(NewControl().get(), port)) {
    std::fprintf(stderr, "the control does not work against the echo server\n");
    return 1;
  }

  std::printf("connect, one line echoed, close: %d connections each\n", connections);
  std::printf("%-36s %10s %14s %14s\n", "client", "per second", "us wall each", "us CPU each");
  PrintRate("control, created per connection", connections,
            Time(connections, [&] { return ControlExchange(NewControl().get(), port); }));
  ComPtr<tcpclient::IKelpline> reused = NewControl();
  PrintRate("control, created once", connections, Time(connections, [&] { return ControlExchange(reused.get(), port); }));
  reused.reset();
  PrintRate("plain socket on the loop", connections, Time(connections, [&] { return PlainExchange(*loop, port); }));

  const size_t total = static_cast<size_t>(megabytes) * 1024 * 1024;
  std::printf("\none connection, %d MB echoed\n", megabytes);
  std::printf("%-36s %10s %14s\n", "client", "MB/s", "CPU ms per MB");
  bool ok = false;
  // DataIn carries at most MaxLineLength bytes (2048 unless set), and the control reads that much
  // at a time: the second row shows what the largest setting buys.
  Measure m = Time(1, [&] { return ok = ControlThroughput(*loop, port, total, ""); });
  PrintThroughput("control (DataToSend, DataIn)", megabytes, ok, m);
  m = Time(1, [&] { return ok = ControlThroughput(*loop, port, total, "MaxLineLength=65536"); });
  PrintThroughput("control, MaxLineLength=65536", megabytes, ok, m);
  m = Time(1, [&] { return ok = PlainThroughput(*loop, port, total); });
  PrintThroughput("plain socket on the loop", megabytes, ok, m);
  return 0;
}
