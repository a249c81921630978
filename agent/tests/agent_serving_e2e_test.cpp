// The real agent served as monitoring servers really talk to it: records written with and
// without line ends, in one write or paused, over Telnet and over the OpenSSH client; and bursts
// of logins from one address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "agent/tests/agent_process.h"
#include "testing/run_program.h"

namespace vorlane::agent::testing {
namespace {

// One write of the client, then a pause before the next; "{session}" stands for the session id
// of the login answer.
struct Write {
  std::string text;
  std::chrono::milliseconds pause{0};
};

std::string Record(const std::string& action) { return "#keycount=2#requestaction=" + action + "#sessionid={session}#"; }

struct FramingCase {
  const char* name;
  std::vector<Write> writes;
  std::vector<std::string> answered;  // the actions answered, in order
};

// Every action but logout is unknown to the agent: its answer names it, so the order shows.
const std::vector<FramingCase>& FramingCases() {
  static const std::vector<FramingCase> cases = {
      {"bare records one per write", {{Record("a"), 50ms}, {Record("b"), 50ms}, {Record("c")}}, {"a", "b", "c"}},
      {"two bare records in one write", {{Record("a") + Record("b")}}, {"a", "b"}},
      {"bare, then line-ended", {{Record("a"), 50ms}, {Record("b") + "\r\n", 50ms}, {Record("c") + "\r\n"}}, {"a", "b", "c"}},
      {"line-ended, then bare", {{Record("a") + "\r\n", 50ms}, {Record("b"), 50ms}, {Record("c")}}, {"a", "b", "c"}},
      {"the first record paused before its pairs, ended bare",
       {{"#keycount=2#", 300ms}, {"requestaction=a#", 300ms}, {"sessionid={session}#"}},
       {"a"}},
      {"the first record paused before its pairs, ended with a line end",
       {{"#keycount=2#requestaction=a#", 300ms}, {"sessionid={session}#\r\n"}},
       {"a"}},
      {"a line-ended client's record paused after a '#'",
       {{Record("a") + "\r\n#keycount=2#requestaction=b#", 300ms}, {"sessionid={session}#", 300ms}, {"\r\n"}},
       {"a", "b"}},
  };
  return cases;
}

std::vector<std::string> AnsweredActions(const std::string& output) {
  static const std::regex answer("#keycount=2#responseaction=([^#]*)#errormessage=([^#]*)#");
  std::vector<std::string> actions;
  for (std::sregex_iterator it(output.begin(), output.end(), answer), end; it != end; ++it) {
    actions.push_back((*it)[1].str() + ((*it)[2] == "Unknown request action" ? "" : ": " + (*it)[2].str()));
  }
  return actions;
}

std::string WithSession(std::string text, const std::string& session) {
  for (size_t at = text.find("{session}"); at != std::string::npos; at = text.find("{session}", at)) {
    text.replace(at, 9, session);
  }
  return text;
}

// Drives the OpenSSH client through `writes` (as printf %b texts, one per line, with the pause
// after each in seconds) once it has its login answer, and prints what came until `count`
// answers are in (or 20 s pass), then a moment more.
constexpr const char* kSshDriver = R"(set -u
coproc client { $1 2>&1; }
to=${client[1]} from=${client[0]}
seen=
until [[ $seen == *'registrationlevel=standard#'* ]]; do
  IFS= read -r -t 20 -d '#' part <&"$from" || exit 1
  seen+="$part#"
done
session=${seen#*responseaction=login#sessionid=}
session=${session%%#*}
while IFS=$'\t' read -r text pause; do
  printf '%b' "${text//\{session\}/$session}" >&"$to"
  sleep "$pause"
done < "$3"
answers=0
out=
while ((answers < $2)); do
  IFS= read -r -t 20 -d '#' part <&"$from" || break
  out+="$part#"
  [[ $part == responseaction=* ]] && ((++answers))
done
while IFS= read -r -t 0.3 -d '#' part <&"$from"; do out+="$part#"; done
printf '%s' "$out"
)";

class AgentServing : public ::testing::Test {
 protected:
  void Start(const std::string& protocol) {
    port_ = FreePort();
    agent_.WriteConfig(Config(protocol, port_, User("Operators", "monitor", "pw")));
    ASSERT_TRUE(agent_.Start());
    ASSERT_TRUE(agent_.WaitForLog("Server started!")) << agent_.Log();
  }
  void TearDown() override { EXPECT_EQ(agent_.Stop(), 0) << agent_.Log(); }

  std::string OverTelnet(const FramingCase& c) {
    TelnetClient client(port_);
    const std::string session = client.Login("monitor", "pw");
    EXPECT_FALSE(session.empty()) << agent_.Log();
    for (const Write& write : c.writes) {
      client.Send(WithSession(write.text, session));
      std::this_thread::sleep_for(write.pause);  // the client's own pause, not a wait for the agent
    }
    std::string output;
    for (const std::string& record : client.ReadRecords(c.answered.size())) output += record;
    if (client.HasText(300ms)) output += client.ReadRecord();
    return output;
  }

  std::string OverSsh(const FramingCase& c) {
    const std::filesystem::path script = agent_.Dir() / "driver.sh";
    const std::filesystem::path writes = agent_.Dir() / "writes.txt";
    std::ofstream(script) << kSshDriver;
    std::ofstream list(writes);
    for (const Write& write : c.writes) {
      std::string text = write.text;
      for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.replace(at, 2, "\\r\\n");
      }
      list << text << '\t' << std::chrono::duration<double>(write.pause).count() << '\n';
    }
    list.close();
    const std::string ssh = SshClientCommand(port_, "127.0.0.1", "monitor", "pw", 60);
    return testkit::RunProgram({"/bin/bash", script.string(), ssh, std::to_string(c.answered.size()), writes.string()},
                               "", {}, 60s)
        .out;
  }

  AgentProcess agent_;
  int port_ = 0;
};

class AgentServingFraming : public AgentServing, public ::testing::WithParamInterface<const char*> {};

TEST_P(AgentServingFraming, RecordsAreAnsweredOnceInOrderHoweverTheyAreWritten) {
  const bool ssh = std::string(GetParam()) == "SSH";
  Start(GetParam());
  for (const FramingCase& c : FramingCases()) {
    SCOPED_TRACE(c.name);
    const std::string output = ssh ? OverSsh(c) : OverTelnet(c);
    EXPECT_EQ(AnsweredActions(output), c.answered) << output;
  }
  EXPECT_EQ(agent_.Log().find("Unknown session"), std::string::npos) << agent_.Log();
}

INSTANTIATE_TEST_SUITE_P(Protocols, AgentServingFraming, ::testing::Values("Telnet", "SSH"));

// A monitoring server polling in parallel: 64 clients from one address at once all log in and
// get their answers, the connections beyond the address's share waiting their turn.
constexpr int kBurst = 64;

TEST_F(AgentServing, ABurstOfTelnetLoginsFromOneAddressIsServedWhole) {
  Start("telnet");
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kBurst; ++i) {
    clients.emplace_back([&] {
      TelnetClient client(port_);
      const std::string session = client.Login("monitor", "pw");
      if (session.empty()) return;
      const std::string answer = client.Request(WithSession(Record("agentinfo"), session), 30s);
      if (answer.find("#responseaction=ageninfo#") != std::string::npos) ++answered;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(answered.load(), kBurst) << agent_.Log();
}

TEST_F(AgentServing, ABurstOfOpenSshLoginsFromOneAddressIsServedWhole) {
  Start("SSH");
  const std::filesystem::path folder = agent_.Dir() / "burst";
  std::filesystem::create_directory(folder);
  const std::string logout = "#keycount=2#requestaction=logout#sessionid=0#";
  const std::string command = "for i in $(seq " + std::to_string(kBurst) + "); do printf '" + logout + "\\r\\n' | " +
                              SshClientCommand(port_, "127.0.0.1", "monitor", "pw", 60) + " > " + folder.string() + "/$i 2>&1 & done; wait";
  (void)testkit::RunProgram({"/bin/sh", "-c", command}, "", {}, 90s);
  int served = 0;
  for (int i = 1; i <= kBurst; ++i) {
    const std::string output = ReadFile(folder / std::to_string(i));
    served += output.find("responseaction=login#") != std::string::npos &&
              output.find("responseaction=logout#sessionid=0#sessionvalue=false#") != std::string::npos;
  }
  EXPECT_EQ(served, kBurst) << agent_.Log();
}

// A person at Debian's stock telnet client, in a terminal that tmux keeps: the user name, the
// password prompt and each typed request read as lines, with no "^M" for a typed line end.
class TerminalClient {
 public:
  explicit TerminalClient(int port) {
    (void)Tmux({"new-session", "-d", "-x", "160", "-y", "24", "telnet 127.0.0.1 " + std::to_string(port)});
  }
  ~TerminalClient() { (void)Tmux({"kill-server"}); }
  void Type(const std::string& keys) {
    (void)Tmux({"send-keys", "-t", "0", "-l", keys});
    (void)Tmux({"send-keys", "-t", "0", "Enter"});
  }
  // The screen once it shows `text` (bounded), or as it is then.
  std::string ScreenWith(const std::string& text) {
    std::string screen;
    for (int i = 0; i < 100 && screen.find(text) == std::string::npos; ++i) {
      if (i > 0) std::this_thread::sleep_for(100ms);
      screen = Tmux({"capture-pane", "-p", "-J", "-t", "0"});
    }
    return screen;
  }

 private:
  std::string Tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tmux", "-L", socket_, "-f", "/dev/null"});
    return testkit::RunProgram(args, "", {"TERM=xterm"}, 10s).out;
  }
  const std::string socket_ = "vorlane-test-" + std::to_string(::getpid());
};

TEST_F(AgentServing, APersonAtTheStockTelnetClientSeesLines) {
  Start("telnet");
  TerminalClient terminal(port_);
  ASSERT_NE(terminal.ScreenWith("login: ").find("login: "), std::string::npos);
  terminal.Type("monitor");
  EXPECT_NE(terminal.ScreenWith("Password:").find("login: monitor\nPassword:"), std::string::npos);
  terminal.Type("pw");
  const std::string login = terminal.ScreenWith("registrationlevel=standard#");
  const std::smatch found = [&] {
    std::smatch match;
    std::regex_search(login, match, std::regex("sessionid=([0-9A-F-]{36})#"));
    return match;
  }();
  ASSERT_EQ(found.size(), 2u) << login;
  terminal.Type(WithSession(Record("typed"), found[1]));
  const std::string screen = terminal.ScreenWith("Unknown request action#");
  EXPECT_NE(screen.find("#requestaction=typed#sessionid=" + found[1].str() + "#\n#keycount=2#responseaction=typed#"),
            std::string::npos)
      << screen;
  EXPECT_EQ(screen.find("^M"), std::string::npos) << screen;
}

}  // namespace
}  // namespace vorlane::agent::testing
