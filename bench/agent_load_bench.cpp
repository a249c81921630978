// The real agent under load, beside the programs monitoring users would run instead:
// zabbix_agentd for checks and quick requests, OpenSSH's sshd for SSH logins.
//
//  (a) agentinfo latency on an idle connection while other connections each run one 3 s check
//      of a dead host; zabbix_agentd: agent.version on new connections while others run
//      net.tcp.port of the dead host (a TCP connect that waits out its 3 s Timeout);
//  (b) the time from sending those checks to the last answer;
//  (c) agentinfo requests per second over 1, 8 and 32 connections at once, server CPU per
//      request and the spread between clients; zabbix_agentd the same with agent.version;
//  (d) Telnet logins, with and without TCP_NODELAY on the client, one at a time and 8 at once;
//  (e) SSH logins, the agent beside sshd, with the server's CPU per login;
//  (f) agentinfo round trips of records with and without a line end after them;
//  (g) 64 clients from one address connecting at once, over Telnet and SSH: the time to the last
//      login answer, and how many got one.
//
// Runs as root: it moves itself into a private network first (the dead host lives there, and
// every server it starts inherits it).
//
//   bench_agent_load [rate seconds=5] [login seconds=3] [agentinfo requests=20] [checks=4,16,64]
//                    [parts=abcdefg: which of the tables to print; a and b come together]
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clients.h"
#include "bench/bench_processes.h"
#include "bench/peer_servers.h"

namespace {

using namespace vorlane::bench;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::string AgentInfoRequest(const std::string& session) { return AgentRequest("agentinfo", session); }

// A ping of `host`: one frame, `timeout` seconds for it.
std::string PingRequest(const std::string& session, const std::string& host, int timeout) {
  return "#keycount=2#requestaction=runcheck#sessionid=" + session + "#checkid=PING#Hostname=" + host +
         "#Number of frames=1#Success rate=95#Timeout=" + std::to_string(timeout) +
         "#TOS=#Check TOS-byte consistency=false#";
}

std::unique_ptr<TelnetClient> TelnetLogin(int port, bool noDelay = true) {
  return LoggedIn<TelnetClient>(port, "monitor", "pw", kAgentLoginEnd, noDelay);
}

// ---- (a) and (b): quick requests while slow checks run ----

struct CheckRun {
  Latencies quick;       // the quick requests on the idle side, in microseconds
  double allDone = 0;    // seconds from sending the checks to the last answer
  int answered = 0;      // checks answered as a dead host
  std::string failure;   // what went wrong, if anything
};

void PrintCheckHeader() {
  std::printf("%-13s %-29s %6s | %-30s | %s\n", "server", "setup", "checks", "quick requests ms: median  worst",
              "checks: last answer, ok");
}

void PrintCheckRun(const char* server, const std::string& setup, int checks, const CheckRun& run) {
  if (!run.failure.empty()) {
    std::printf("%-13s %-29s %6d | failed: %s\n", server, setup.c_str(), checks, run.failure.c_str());
    return;
  }
  std::printf("%-13s %-29s %6d | n=%-3zu %11.2f %10.2f   | %8.2f s   %3d/%d\n", server, setup.c_str(), checks,
              run.quick.count, run.quick.median / 1000, run.quick.worst / 1000, run.allDone, run.answered, checks);
}

// `checks` connections each send a 3 s ping of `dead`; once the agent has taken up the first
// `taken` of them, `requests` agentinfo round trips on one more, idle connection.
CheckRun AgentChecks(Agent& agent, int port, int checks, int taken, int requests, const std::string& dead) {
  CheckRun run;
  auto failed = [&](const std::string& why) {
    run.failure = why;
    return run;
  };
  std::vector<std::unique_ptr<TelnetClient>> checking;
  for (int i = 0; i < checks; ++i) {
    checking.push_back(TelnetLogin(port));
    if (!checking.back()) return failed("login " + std::to_string(i) + " failed");
  }
  const auto idle = TelnetLogin(port);
  if (!idle) return failed("idle login failed");
  const std::string pingTaken = "Hostname=" + dead + "#";
  const long takenBefore = agent.Occurrences(pingTaken);
  const auto start = Clock::now();
  for (auto& client : checking) client->SendLine(PingRequest(client->SessionId(), dead, 3));
  WaitFor([&] { return agent.Occurrences(pingTaken) >= takenBefore + taken; }, Millis(5000));
  std::vector<double> micros;
  for (int i = 0; i < requests; ++i) {
    const auto before = Clock::now();
    if (!idle->RoundTrip(AgentInfoRequest(idle->SessionId()), kAgentInfoEnd)) break;
    micros.push_back(MicrosSince(before));
  }
  run.quick = Summarize(micros);
  for (auto& client : checking) {
    if (client->Await("#resultstring=") && client->LastRead().find("result=down#") != std::string::npos &&
        client->Await("#") && client->LastRead().find("Request Timed Out") != std::string::npos) {
      ++run.answered;
    }
  }
  run.allDone = SecondsSince(start);
  return run;
}

// The same for zabbix_agentd: `checks` connections each ask for net.tcp.port of `dead`, then
// `requests` agent.version requests, each on a connection of its own.
CheckRun ZabbixChecks(int port, int checks, int requests, const std::string& dead) {
  CheckRun run;
  const std::string key = "net.tcp.port[" + dead + ",80]";
  std::vector<int> waiting;
  const auto start = Clock::now();
  for (int i = 0; i < checks; ++i) waiting.push_back(ZabbixSend(port, key));
  std::vector<double> micros;
  for (int i = 0; i < requests; ++i) {
    const auto before = Clock::now();
    if (ZabbixGet(port, "agent.version").empty()) break;
    micros.push_back(MicrosSince(before));
  }
  run.quick = Summarize(micros);
  const auto deadline = start + std::chrono::seconds(20);
  for (int fd : waiting) run.answered += ZabbixReceive(fd, deadline) == "0" ? 1 : 0;
  run.allDone = SecondsSince(start);
  return run;
}

void QuickRequestsBesideChecks(const std::vector<int>& checkCounts, int requests, const std::string& dead) {
  const int most = *std::max_element(checkCounts.begin(), checkCounts.end());
  std::printf(
      "\n(a)+(b) quick requests on an idle connection while other connections each run one check that waits 3 s\n"
      "        on a dead host (agent: Telnet with TCP_NODELAY, ping with Timeout=3, agentinfo once the agent has\n"
      "        taken up the pings; zabbix_agentd: net.tcp.port[dead,80] with Timeout=3, then agent.version, each\n"
      "        on a connection of its own, as its passive protocol has it). Checks beyond MaxConcurrentChecks\n"
      "        or StartAgents wait for a place; an agent's quick request never waits for one of the checks'\n"
      "        places, zabbix_agentd's waits behind the checks queued before it when every listener is busy.\n");
  PrintCheckHeader();
  // The default bound, then as many as the largest load (and as many as zabbix_agentd's listeners).
  for (const int bound : {32, most, most + 8}) {
    if (bound != 32 && most <= 32) break;
    const int port = FreePort();
    const std::string setup = "MaxConcurrentChecks=" + std::to_string(bound) + (bound == 32 ? " (dflt)" : "");
    Agent agent("Telnet", port, bound == 32 ? "" : "MaxConcurrentChecks=" + std::to_string(bound) + "\n");
    if (!agent.Started()) {
      std::printf("agent with %s did not start:\n%s\n", setup.c_str(), agent.Log().c_str());
      continue;
    }
    for (const int checks : checkCounts) {
      if (bound != 32 && checks <= 32) continue;  // the same as the default bound
      PrintCheckRun("agent", setup, checks, AgentChecks(agent, port, checks, std::min(checks, bound), requests, dead));
    }
  }
  // As many listeners as the largest load needs, and then fewer than its checks.
  for (const int listeners : {most + 8, most / 2}) {
    if (listeners == most / 2 && most <= 8) break;
    const int port = FreePort(kZabbixPortsBelow);
    const std::string setup = "StartAgents=" + std::to_string(listeners);
    ZabbixAgentd zabbix(port, listeners);
    if (!zabbix.Started()) {
      std::printf("zabbix_agentd with %s did not start:\n%s\n", setup.c_str(), zabbix.Log().c_str());
      continue;
    }
    for (const int checks : checkCounts) {
      if (listeners != most + 8 && checks != most) continue;
      PrintCheckRun("zabbix_agentd", setup, checks, ZabbixChecks(port, checks, requests, dead));
    }
  }
}

// ---- (c): quick requests per second from many clients at once ----

// Runs `clients` threads, each calling `roundTrip(client index)` (true: answered) until `seconds`
// have passed; prints the rate, the server's CPU (`cpu()` before and after) per request and the
// spread of answers between the clients.
void RateRun(const char* server, int clients, int seconds, const std::function<bool(int)>& roundTrip,
             const std::function<double()>& cpu) {
  std::vector<long> answered(static_cast<size_t>(clients), 0);
  std::atomic<int> failed{0};
  const double cpuBefore = cpu();
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (long i = 0; i < 10'000'000 && Clock::now() < deadline; ++i) {
        if (!roundTrip(c)) {
          ++failed;
          return;
        }
        ++answered[static_cast<size_t>(c)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double elapsed = SecondsSince(start);
  const double cpuSeconds = cpu() - cpuBefore;
  long total = 0;
  for (long n : answered) total += n;
  const double mean = static_cast<double>(total) / clients;
  const long least = *std::min_element(answered.begin(), answered.end());
  const long most = *std::max_element(answered.begin(), answered.end());
  const double deviation =
      mean > 0 ? 100 * std::max(mean - static_cast<double>(least), static_cast<double>(most) - mean) / mean : 0;
  std::printf("%-15s %7d | %9.0f | %8.1f | %8ld %8ld %10.1f %7.1f%%%s\n", server, clients, total / elapsed,
              total > 0 ? cpuSeconds * 1e6 / static_cast<double>(total) : 0.0, least, most, mean, deviation,
              failed > 0 ? (" (" + std::to_string(failed.load()) + " clients failed)").c_str() : "");
}

void QuickRequestRates(int seconds) {
  std::printf(
      "\n(c) quick requests per second, each client on a thread of its own doing round trips for %d s\n"
      "    (agent: agentinfo on one logged-in Telnet connection per client, TCP_NODELAY; zabbix_agentd:\n"
      "    agent.version on a new connection per request, its passive protocol; server CPU: the agent's\n"
      "    process, zabbix_agentd's whole process tree; clients and servers share the machine's cores)\n",
      seconds);
  std::printf("%-15s %7s | %9s | %8s | %8s %8s %10s %8s\n", "server", "clients", "answers/s", "CPU us/r", "min/cli",
              "max/cli", "mean/cli", "max dev");
  const int agentPort = FreePort();
  Agent agent("Telnet", agentPort);
  const int zabbixPort = FreePort(kZabbixPortsBelow);
  ZabbixAgentd zabbix(zabbixPort, 40);
  for (const int clients : {1, 8, 32}) {
    if (agent.Started()) {
      std::vector<std::unique_ptr<TelnetClient>> connections;
      for (int c = 0; c < clients; ++c) connections.push_back(TelnetLogin(agentPort));
      if (std::all_of(connections.begin(), connections.end(), [](const auto& c) { return c != nullptr; })) {
        RateRun(
            "agent", clients, seconds,
            [&](int c) {
              auto& client = *connections[static_cast<size_t>(c)];
              return client.RoundTrip(AgentInfoRequest(client.SessionId()), kAgentInfoEnd);
            },
            [&] { return CpuSeconds(agent.pid()); });
      } else {
        std::printf("%-15s %7d | logins failed\n", "agent", clients);
      }
    }
    if (zabbix.Started()) {
      RateRun(
          "zabbix_agentd", clients, seconds, [&](int) { return !ZabbixGet(zabbixPort, "agent.version").empty(); },
          [&] { return TreeCpuSeconds(zabbix.pid()); });
    }
  }
  if (!agent.Started()) std::printf("the agent did not start:\n%s\n", agent.Log().c_str());
  if (!zabbix.Started()) std::printf("zabbix_agentd did not start:\n%s\n", zabbix.Log().c_str());
}

// ---- (d) and (e): logins ----

// Logs in with `login` (see TimeLogins) one at a time for `seconds`, then from `parallel` threads
// at once for `seconds`; prints connect-to-login times and logins per second, and the server CPU
// per login when `cpu` is given (read after `settled()` holds, bounded).
void LoginRuns(const char* server, const std::string& setup, int seconds, int parallel,
               const std::function<std::unique_ptr<void, void (*)(void*)>()>& login,
               const std::function<double()>& cpu = {}, const std::function<bool()>& settled = {}) {
  for (const int threads : {1, parallel}) {
    const double cpuBefore = cpu ? cpu() : 0;
    std::mutex lock;
    std::vector<double> all;  // guarded by lock
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        const std::vector<double> micros = TimeLogins(login, 1'000'000, Millis(seconds * 1000));
        std::lock_guard<std::mutex> guard(lock);
        all.insert(all.end(), micros.begin(), micros.end());
      });
    }
    for (auto& worker : workers) worker.join();
    const double elapsed = SecondsSince(start);
    if (settled) WaitFor(settled, Millis(5000));
    const Latencies summary = Summarize(all);
    char cpuText[32] = "";
    if (cpu && summary.count > 0) {
      std::snprintf(cpuText, sizeof cpuText, "%9.0f", (cpu() - cpuBefore) * 1e6 / static_cast<double>(summary.count));
    }
    std::printf("%-8s %-28s %7d | %6zu %9.2f %9.2f | %8.1f | %9s\n", server, setup.c_str(), threads, summary.count,
                summary.median / 1000, summary.p99 / 1000, static_cast<double>(summary.count) / elapsed, cpuText);
  }
}

void PrintLoginHeader() {
  std::printf("%-8s %-28s %7s | %6s %9s %9s | %8s | %9s\n", "server", "setup", "clients", "logins", "median ms",
              "p99 ms", "logins/s", "CPU us/l");
}

template <class Client>
std::unique_ptr<void, void (*)(void*)> Erased(std::unique_ptr<Client> client) {
  return {client.release(), [](void* p) { delete static_cast<Client*>(p); }};
}

void TelnetLogins(int seconds) {
  std::printf("\n(d) Telnet: connect to the login answer (the agent's login dialogue, user and password)\n");
  PrintLoginHeader();
  const int port = FreePort();
  Agent agent("Telnet", port);
  if (!agent.Started()) return (void)std::printf("the agent did not start:\n%s\n", agent.Log().c_str());
  for (const bool noDelay : {true, false}) {
    LoginRuns(
        "agent", noDelay ? "client TCP_NODELAY" : "client Nagle on", seconds, 8,
        [&] { return Erased(TelnetLogin(port, noDelay)); }, [&] { return CpuSeconds(agent.pid()); });
  }
}

void SshLogins(int seconds) {
  std::printf(
      "\n(e) SSH: connect, key exchange, authentication, session channel, shell, first answer (libssh client,\n"
      "    TCP_NODELAY). The agent authenticates with a password and answers the shell with its login record;\n"
      "    sshd with an ed25519 public key, and its shell runs ForceCommand `echo ready` (a fork and exec of the\n"
      "    user's shell the agent does not do; SHLVL=1 keeps bash from reading the user's .bashrc). Both\n"
      "    offer ed25519 host keys; checking a password or one ed25519 signature is a small part of either.\n"
      "    Server CPU: the agent's process; sshd's master with the children it has reaped (it forks and\n"
      "    re-executes itself per connection), read once its children have gone.\n");
  PrintLoginHeader();
  const int agentPort = FreePort();
  Agent agent("SSH", agentPort);
  if (agent.Started()) {
    (void)LoggedIn<SshClient>(agentPort, "monitor", "pw", kAgentLoginEnd, true);  // the first login makes no figure
    LoginRuns(
        "agent", "password", seconds, 8,
        [&] { return Erased(LoggedIn<SshClient>(agentPort, "monitor", "pw", kAgentLoginEnd, true)); },
        [&] { return CpuSeconds(agent.pid()); });
  } else {
    std::printf("the agent did not start:\n%s\n", agent.Log().c_str());
  }
  const int sshdPort = FreePort();
  Sshd sshd(sshdPort);
  if (!sshd.Started()) return (void)std::printf("sshd did not start:\n%s\n", sshd.Log().c_str());
  const passwd* user = ::getpwuid(::geteuid());
  const std::string name = user != nullptr ? user->pw_name : "root";
  auto login = [&] {
    auto client = std::make_unique<SshClient>(sshdPort, name, "", "ready", true);
    client->UseKeyFile(sshd.KeyFile());
    return Erased(client->Login() ? std::move(client) : nullptr);
  };
  if (!login()) return (void)std::printf("sshd: the key login failed:\n%s\n", sshd.Log().c_str());
  LoginRuns(
      "sshd", "ed25519 key", seconds, 8, login, [&] { return CpuSeconds(sshd.pid(), true); },
      [&] { return Descendants(sshd.pid()).empty(); });
}

// ---- (f) and (g): records without line ends, bursts of logins ----

void BareAndLineEndedRecords(int seconds) {
  std::printf("\n(f) agentinfo round trips on one Telnet connection for %d s each, the record sent with CR LF after\n"
              "    it and without (a monitoring server that ends its records with the closing '#')\n",
              seconds);
  std::printf("%-22s | %8s %9s %9s\n", "records", "answers", "median us", "p99 us");
  const int port = FreePort();
  Agent agent("Telnet", port);
  if (!agent.Started()) return (void)std::printf("the agent did not start:\n%s\n", agent.Log().c_str());
  for (const bool bare : {false, true}) {
    // A connection each: a client that has ended its records with line ends is taken to go on
    // doing so.
    auto client = TelnetLogin(port);
    if (!client) return (void)std::printf("the login failed\n");
    std::vector<double> micros;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (int i = 0; i < 1'000'000 && Clock::now() < deadline; ++i) {
      const auto before = Clock::now();
      const std::string request = AgentInfoRequest(client->SessionId());
      if (!(bare ? client->BareRoundTrip(request, kAgentInfoEnd) : client->RoundTrip(request, kAgentInfoEnd))) break;
      micros.push_back(MicrosSince(before));
    }
    const Latencies summary = Summarize(micros);
    std::printf("%-22s | %8zu %9.1f %9.1f\n", bare ? "bare" : "CR LF", summary.count, summary.median, summary.p99);
  }
}

// `count` clients made by `login()` at once, each on a thread of its own; prints how many logged
// in and when the last login answer came.
template <class Login>
void Burst(const char* setup, int count, Login login) {
  std::atomic<int> loggedIn{0};
  std::mutex lock;
  double last = 0;  // guarded by lock
  const auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < count; ++i) {
    clients.emplace_back([&] {
      if (auto client = login()) {
        ++loggedIn;
        std::lock_guard<std::mutex> guard(lock);
        last = std::max(last, SecondsSince(start));
      }
    });
  }
  for (auto& client : clients) client.join();
  std::printf("%-22s | %7d | %9d | %10.0f\n", setup, count, loggedIn.load(), last * 1000);
}

void LoginBursts() {
  constexpr int kClients = 64;
  std::printf("\n(g) %d clients from 127.0.0.1 connecting at once (beyond 10 not logged in from one address the\n"
              "    agent holds a connection un-served until a place frees)\n",
              kClients);
  std::printf("%-22s | %7s | %9s | %10s\n", "setup", "clients", "logged in", "last ms");
  const int telnetPort = FreePort();
  Agent telnet("Telnet", telnetPort);
  if (telnet.Started()) Burst("agent, Telnet", kClients, [&] { return TelnetLogin(telnetPort); });
  const int sshPort = FreePort();
  Agent ssh("SSH", sshPort);
  if (ssh.Started()) {
    (void)LoggedIn<SshClient>(sshPort, "monitor", "pw", kAgentLoginEnd, true);  // the host keys are made first
    Burst("agent, SSH (libssh)", kClients,
          [&] { return LoggedIn<SshClient>(sshPort, "monitor", "pw", kAgentLoginEnd, true); });
  }
}

std::vector<int> ParseCounts(const char* text) {
  std::vector<int> counts;
  std::stringstream in(text);
  for (std::string item; counts.size() < 16 && std::getline(in, item, ',');) {
    if (const int n = std::atoi(item.c_str()); n > 0 && n <= 512) counts.push_back(n);
  }
  return counts.empty() ? std::vector<int>{4, 16, 64} : counts;
}

std::string FirstLine(const std::vector<std::string>& command) {
  const std::string output = RunCommand(command).output;
  return output.substr(0, output.find('\n'));
}

}  // namespace

int main(int argc, char** argv) {
  const int rateSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int loginSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const int requests = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
  const std::vector<int> checkCounts = ParseCounts(argc > 4 ? argv[4] : "4,16,64");
  const std::string parts = argc > 5 ? argv[5] : "abcdefg";
  auto wanted = [&](char part) { return parts.find(part) != std::string::npos; };

  // Before any thread starts: the private network that the dead host and every server live in.
  if (const std::string why = vorlane::ping::testing::EnterPrivateNetwork(); !why.empty()) {
    std::fprintf(stderr, "cannot enter a private network: %s\n", why.c_str());
    return 1;
  }
  std::printf("agent load benchmark: %ld cores, load average %s", ::sysconf(_SC_NPROCESSORS_ONLN),
              ReadText("/proc/loadavg").c_str());
  std::printf("peers: %s; %s\n", FirstLine({"/usr/sbin/zabbix_agentd", "-V"}).c_str(),
              FirstLine({"/usr/sbin/sshd", "-V"}).c_str());

  if (wanted('a') || wanted('b')) {
    DeadHost dead;
    if (const std::string why = dead.Verify(Millis(1500)); !why.empty()) {
      std::printf("dead host %s is not dead (%s): (a) and (b) skipped\n", dead.address().c_str(), why.c_str());
    } else {
      std::printf("dead host %s: TCP connect and ICMP echo unanswered for 1.5 s\n", dead.address().c_str());
      QuickRequestsBesideChecks(checkCounts, requests, dead.address());
    }
  }
  if (wanted('c')) QuickRequestRates(rateSeconds);
  if (wanted('d')) TelnetLogins(loginSeconds);
  if (wanted('e')) SshLogins(loginSeconds);
  if (wanted('f')) BareAndLineEndedRecords(rateSeconds);
  if (wanted('g')) LoginBursts();
  return 0;
}
