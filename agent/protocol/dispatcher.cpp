#include "agent/protocol/dispatcher.h"

#include <memory>
#include <string>
#include <string_view>

#include "agent/checks/file_actions.h"
#include "agent/checks/protocol_table.h"
#include "agent/checks/remote_host.h"
#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/reply.h"
#include "agent/protocol/check_catalogue.h"
#include "agent/protocol/os_description.h"
#include "agent/request/record.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kReceivedFormat = "Received from %s, %d chars: %s";
constexpr std::string_view kRemovedSessionFormat = "Remove sessionid = %s from sessions list.";

constexpr std::string_view kUnknownSessionAnswer =
    "#keycount=4#responseaction=%s#sessionid=%s#sessionvalue=false#errormessage=Unknown session#";
constexpr std::string_view kTimedOutSessionAnswer =
    "#keycount=4#responseaction=%s#sessionid=%s#sessionvalue=false#errormessage=Session has timed out#";
constexpr std::string_view kUnknownActionAnswer = "#keycount=2#responseaction=%s#errormessage=Unknown request action#";
constexpr std::string_view kUnknownCheckAnswer = "#keycount=2#responseaction=%s#errormessage=Unknown check#";
constexpr std::string_view kAgentInfoAnswer =
    "#keycount=4#responseaction=ageninfo#agentversion=%s#agentos=%s#protocolversion=1.9#";

constexpr std::string_view kKeyRequestAction = "requestaction";
constexpr std::string_view kKeySessionId = "sessionid";
// The actions, in the order in which they are compared.
constexpr std::string_view kActionListChecks = "listchecks";
constexpr std::string_view kActionDefineCheck = "definecheck";
constexpr std::string_view kActionComboValues = "getcomboparamvalues";
constexpr std::string_view kActionRunCheck = "runcheck";
constexpr std::string_view kActionLogout = "logout";
constexpr std::string_view kActionAgentInfo = "agentinfo";
constexpr std::string_view kActionExecuteFile = "executefile";
constexpr std::string_view kActionDeleteFile = "deletefile";

// Sends the session-error answer and says whether the request may go on. The action and the
// session id are echoed as answer text: a line end or NUL in them would split or cut the answer.
bool AcceptSession(AgentContext& context, UserHandle& user, int32_t serviceIndex, const std::string& action,
                   const std::string& sessionId) {
  switch (context.sessions.CheckAndRenew(sessionId, context.sessions.Now())) {
    case SessionState::kValid:
      return true;
    case SessionState::kUnknown:
      Reply(user,
            FormatAnswer(kUnknownSessionAnswer, {AsAnswerText(action), AsAnswerText(sessionId)}, kShortAnswerBuffer),
            serviceIndex);
      return false;
    case SessionState::kTimedOut:
      // The table has already removed the expired session.
      Reply(user,
            FormatAnswer(kTimedOutSessionAnswer, {AsAnswerText(action), AsAnswerText(sessionId)}, kShortAnswerBuffer),
            serviceIndex);
      return false;
  }
  return false;
}

void RunCheck(AgentContext& context, const CheckRegistry& checks, UserHandle& user, const std::string& record,
              const std::string& action, int32_t serviceIndex) {
  if (const CheckHandler* handler = checks.Find(GetRecordValue(record, kKeyCheckId))) {
    (*handler)(context, user, record, serviceIndex);
    return;
  }
  Reply(user, FormatAnswer(kUnknownCheckAnswer, {AsAnswerText(action)}, kShortAnswerBuffer), serviceIndex);
}

void SendUnknownAction(UserHandle& user, const std::string& action, int32_t serviceIndex) {
  Reply(user, FormatAnswer(kUnknownActionAnswer, {AsAnswerText(action)}, kShortAnswerBuffer), serviceIndex);
}

void Logout(AgentContext& context, const std::string& sessionId) {
  if (context.sessions.Remove(sessionId)) Log(FormatAnswer(kRemovedSessionFormat, {sessionId}), kLogInfo);
}

}  // namespace

void DispatchRequest(AgentContext& context, const CheckRegistry& checks, UserHandle& user, int32_t serviceIndex,
                     int32_t charCount) {
  if (charCount <= 0) return;
  const std::string record = user.Receive(charCount);
  Log(FormatAnswer(kReceivedFormat, {user.RemoteAddress(), charCount, record}), kLogIncoming);

  const std::string action = GetRecordValue(record, kKeyRequestAction);
  const std::string sessionId = GetRecordValue(record, kKeySessionId);
  if (!AcceptSession(context, user, serviceIndex, action, sessionId)) return;

  if (action == kActionListChecks) {
    Reply(user, ListChecksAnswer(context.paths.tcpConfig), serviceIndex);
  } else if (action == kActionDefineCheck) {
    Reply(user, DefineCheckAnswer(GetRecordValue(record, kKeyCheckId), context.paths.tcpConfig), serviceIndex);
  } else if (action == kActionComboValues) {
    const std::unique_ptr<RemoteConnector> connector = NewRemoteConnector();
    SendComboValues(user, record, serviceIndex, *connector);
  } else if (action == kActionRunCheck) {
    RunCheck(context, checks, user, record, action, serviceIndex);
  } else if (action == kActionLogout) {
    Logout(context, sessionId);
  } else if (action == kActionAgentInfo) {
    Reply(user, FormatAnswer(kAgentInfoAnswer, {kAgentVersion, CurrentOsDescription()}, kAgentInfoAnswerBuffer),
               serviceIndex);
  } else if (action == kActionExecuteFile) {
    HandleExecuteFile(context, user, record, serviceIndex);
  } else if (action == kActionDeleteFile) {
    HandleDeleteFile(context, user, record, serviceIndex);
  } else {
    SendUnknownAction(user, action, serviceIndex);
  }
}

bool MayWait(std::string_view record) {
  const std::string_view action = FindRecordValue(record, kKeyRequestAction);
  return action == kActionRunCheck || action == kActionComboValues;
}

void DispatchRequest(AgentContext& context, UserHandle& user, int32_t serviceIndex, int32_t charCount) {
  static const CheckRegistry kNoChecks;
  DispatchRequest(context, context.checks != nullptr ? *context.checks : kNoChecks, user, serviceIndex, charCount);
}

}  // namespace vorlane::agent
