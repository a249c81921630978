// The request dispatcher on arbitrary request records, through a connection that hands the input
// out as the received text and collects what is sent back.
//
// Input: the whole request record. One session with a known identifier lives in the table from
// the start, so records that quote it get past the session check into every action. Before a
// record is dispatched, what would leave this process is taken out: executefile and deletefile
// (a program started, a file removed), and getcomboparamvalues or runcheck naming another host
// (an SSH connection). runcheck reaches the handlers that stay on this host and answer at once:
// the disk free check (a statvfs of the requested path) and the service check. The ping, TCP and
// URL checks create components and reach the network, and the process check lists this host's
// processes, which takes milliseconds per request, so they are not registered and answer
// "Unknown check"; for the same reason the definitions and value lists of the process check are
// left out. The service manager is looked for on a system bus address in the run's own folder
// where none listens, so the service check and the service lists fail at once (and alike on
// every host) instead of asking systemd thousands of times a second.
//
// Properties: at most one answer per record, none only for a logout that the session check let
// through; every answer is one well-formed record (AnswerDefect) and goes out on the service the
// request came from; what an answer echoes of the request (its action as responseaction, its
// session id) is a beginning of that value as answer text; the known session stays in the table
// unless the record logged it out, and the table never grows.
#include <fcntl.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "agent/checks/disk_free.h"
#include "agent/checks/remote_host.h"
#include "agent/checks/service_check.h"
#include "agent/protocol/check_catalogue.h"
#include "agent/protocol/check_registry.h"
#include "agent/protocol/dispatcher.h"
#include "agent/request/agent_context.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "agent/request/user_handle.h"
#include "fuzz/fuzz_check.h"
#include "platform/debuglog/debuglog.h"

namespace {

using vorlane::agent::FindRecordValue;

constexpr std::string_view kSession = "6B29FC40-CA47-1067-B31D-00DD010662DA";
constexpr int32_t kServiceIndex = 7;
constexpr std::time_t kNow = 1'700'000'000;

// A protocol table with entries, so that listchecks offers the TCP check and its definition
// lists protocols.
constexpr std::string_view kTcpConfig =
    "[SMTP]\r\nDPORT=25\r\n[HTTP]\r\nDPORT=80\r\n[POP3]\r\nDPORT=110\r\nDEFAULT=1\r\n";

constexpr std::string_view kKeyRequestAction = "requestaction";
constexpr std::string_view kKeySessionId = "sessionid";
constexpr std::string_view kKeyResponseAction = "responseaction";
constexpr std::string_view kKeyResult = "result";
constexpr std::string_view kKeyCount = "#keycount=";
// The one key whose value is a nested record written between double quotes.
constexpr std::string_view kNestedKey = "parameters";

struct SentAnswer {
  std::string text;
  int32_t serviceIndex;
};

class CollectingUser : public vorlane::agent::UserHandle {
 public:
  std::string request;
  std::vector<SentAnswer> sent;

  std::string RemoteAddress() override { return "192.168.1.15"; }
  std::string Receive(int32_t count) override { return request.substr(0, static_cast<size_t>(count)); }
  void Send(const std::string& text, int32_t serviceIndex) override { sent.push_back({text, serviceIndex}); }
  void SetSftpHome(const std::string&) override {}
};

// The agent's state for the whole run: a configuration folder of its own (removed at exit), the
// session table on a clock that stands still, and the known session in it. The debug log goes
// to /dev/null; its escaping still runs on every request.
class Agent {
 public:
  Agent() {
    char folder[] = "/tmp/vorlane-fuzz-dispatcher-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder) != nullptr);
    folder_ = folder;
    // Anything the agent keeps beside its configuration (the SSH known-hosts file) is looked for
    // here, never beside the fuzzer binary.
    setenv("VORLANE_CONFIG_DIR", folder, 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder_ / "no-bus").string()).c_str(), 1);
    context_.paths = vorlane::agent::LocateConfigFiles(folder_);
    std::ofstream(context_.paths.tcpConfig, std::ios::binary) << kTcpConfig;
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    FUZZ_CHECK(devNull >= 0);
    vorlane::debuglog::RedirectForTesting(devNull);
    sessions_.Add(std::string(kSession), kNow);
    checks_.Register(vorlane::agent::kCheckIdDisk, vorlane::agent::DeclaredHandler(vorlane::agent::kDiskCheck));
    checks_.Register(vorlane::agent::kCheckIdService, vorlane::agent::DeclaredHandler(vorlane::agent::kServiceCheck));
  }
  ~Agent() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  vorlane::agent::SessionTable& sessions() { return sessions_; }
  vorlane::agent::AgentContext& context() { return context_; }
  const vorlane::agent::CheckRegistry& checks() const { return checks_; }

 private:
  std::filesystem::path folder_;
  vorlane::agent::SessionTable sessions_{[] { return kNow; }};
  vorlane::cipher::PasswordCipher cipher_;
  vorlane::agent::CheckRegistry checks_;
  vorlane::agent::AgentContext context_{sessions_, {}, cipher_, &checks_};
};

// Whether dispatching `record` would start a program, remove a file or reach another host, or
// read this host's whole process table.
bool IsLeftOut(std::string_view record) {
  const std::string_view action = FindRecordValue(record, kKeyRequestAction);
  if (action == "executefile" || action == "deletefile") return true;
  if ((action == "getcomboparamvalues" || action == "runcheck") &&
      !FindRecordValue(record, vorlane::agent::kKeyHostname).empty()) {
    return true;
  }
  return (action == "getcomboparamvalues" || action == "definecheck") &&
         vorlane::agent::CanonicalCheckId(FindRecordValue(record, vorlane::agent::kKeyCheckId)) ==
             vorlane::agent::kCheckIdProcess;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Answers whose keycount has always differed from the number of pairs that follow: listchecks
// says 17 for its 20 pairs, and a check's result (runcheck with result and resultstring after
// its checkid) says 3 for its 4 pairs.
bool IsLegacyKeyCount(std::string_view responseAction, bool hasResult, size_t stated, size_t pairs) {
  if (responseAction == "listchecks") return stated == 17 && pairs == 20;
  return responseAction == "runcheck" && hasResult && stated == 3 && pairs == 4;
}

// What is wrong with `answer` as one record: "#keycount=N#" and then the pairs "key=value#", no
// key empty, no '#' in a key or value (a "parameters" value is a nested record "\"#...#\"" with
// no '"' inside), nothing after the last '#', no CR, LF or NUL anywhere. Empty when nothing is.
std::string AnswerDefect(std::string_view answer) {
  if (answer.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return "CR, LF or NUL";
  if (!answer.starts_with(kKeyCount)) return "no keycount";
  size_t pos = kKeyCount.size();
  size_t stated = 0;
  const size_t digitsStart = pos;
  while (pos < answer.size() && IsDigit(answer[pos]) && pos - digitsStart < 6) stated = stated * 10 + (answer[pos++] - '0');
  if (pos == digitsStart || pos >= answer.size() || answer[pos] != '#') return "keycount not a number";
  ++pos;

  size_t pairs = 0;
  std::string_view responseAction;
  bool hasResult = false;
  while (pos < answer.size()) {
    const size_t equals = answer.find('=', pos);
    const size_t hash = answer.find('#', pos);
    if (equals == std::string_view::npos || (hash != std::string_view::npos && hash < equals)) return "pair without '='";
    const std::string_view key = answer.substr(pos, equals - pos);
    if (key.empty()) return "empty key";
    size_t end;
    if (key == kNestedKey) {
      if (answer.substr(equals + 1, 2) != "\"#") return "nested record not opened by \"#";
      const size_t close = answer.find('"', equals + 2);
      if (close == std::string_view::npos || answer[close - 1] != '#') return "nested record not closed by #\"";
      end = close + 1;
      if (end >= answer.size() || answer[end] != '#') return "nested record not followed by '#'";
    } else {
      end = hash;
      if (end == std::string_view::npos) return "last pair not closed by '#'";
    }
    if (key == kKeyResponseAction) responseAction = answer.substr(equals + 1, end - equals - 1);
    if (key == kKeyResult) hasResult = true;
    ++pairs;
    pos = end + 1;
  }
  if (pairs != stated && !IsLegacyKeyCount(responseAction, hasResult, stated, pairs)) return "keycount does not match the pairs";
  return {};
}

// Whether the responseaction of an answer to `action` is the action echoed (cut at the end at
// most), or one of the fixed words some answers carry instead: agentinfo has always answered
// "ageninfo", and a definition that cannot be built answers as "runcheck".
bool EchoesAction(std::string_view responseAction, std::string_view action) {
  if (action == "agentinfo" && responseAction == "ageninfo") return true;
  if (action == "definecheck" && responseAction == "runcheck") return true;
  return vorlane::agent::AsAnswerText(std::string(action)).starts_with(responseAction);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Agent agent;
  if (size == 0) return 0;
  const std::string_view record(reinterpret_cast<const char*>(data), size);
  if (IsLeftOut(record)) return 0;

  CollectingUser user;
  user.request.assign(record);
  const size_t sessionsBefore = agent.sessions().Size();
  vorlane::agent::DispatchRequest(agent.context(), agent.checks(), user, kServiceIndex, static_cast<int32_t>(size));

  const std::string_view action = FindRecordValue(record, kKeyRequestAction);
  const bool loggedOut = action == "logout" && FindRecordValue(record, kKeySessionId) == kSession;
  FUZZ_CHECK(user.sent.size() <= 1);
  FUZZ_CHECK(user.sent.size() == (loggedOut ? 0u : 1u));
  for (const SentAnswer& answer : user.sent) {
    FUZZ_CHECK(answer.serviceIndex == kServiceIndex);
    const std::string defect = AnswerDefect(answer.text);
    if (!defect.empty()) std::fprintf(stderr, "answer: %s\ndefect: %s\n", answer.text.c_str(), defect.c_str());
    FUZZ_CHECK(defect.empty());
    FUZZ_CHECK(EchoesAction(FindRecordValue(answer.text, kKeyResponseAction), action));
    const std::string_view echoedSession = FindRecordValue(answer.text, kKeySessionId);
    FUZZ_CHECK(vorlane::agent::AsAnswerText(std::string(FindRecordValue(record, kKeySessionId)))
                   .starts_with(echoedSession));
  }

  FUZZ_CHECK(agent.sessions().Size() <= sessionsBefore);
  if (loggedOut) {
    FUZZ_CHECK(!agent.sessions().Lookup(std::string(kSession)));
    agent.sessions().Add(std::string(kSession), kNow);
  }
  FUZZ_CHECK(agent.sessions().Lookup(std::string(kSession)) == kNow);
  return 0;
}
