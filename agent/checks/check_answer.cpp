#include "agent/checks/check_declaration.h"

#include "agent/log/agent_log.h"
#include "agent/request/reply.h"

namespace vorlane::agent {

std::string FormatCheckAnswer(std::string_view checkId, const CheckOutcome& outcome) {
  // The identifier is a constant of the program: it goes into the template, so only the text can
  // be shortened to fit the buffer.
  std::string tmpl = "#keycount=3#responseaction=runcheck#checkid=";
  tmpl.append(checkId);
  if (outcome.kind == CheckOutcome::Kind::kError) {
    tmpl.append("#errormessage=%s#");
    return FormatAnswer(tmpl, {outcome.text}, outcome.bufferSize);
  }
  tmpl.append(outcome.kind == CheckOutcome::Kind::kUp ? "#result=up#resultstring=%s" : "#result=down#resultstring=%s");
  if (!outcome.responseTime) return FormatAnswer(tmpl + "#", {outcome.text}, outcome.bufferSize);
  return FormatAnswer(tmpl + "@@RTO=%ld#", {outcome.text, *outcome.responseTime}, outcome.bufferSize);
}

void SendCheckAnswer(UserHandle& user, int32_t serviceIndex, std::string_view checkId, const CheckOutcome& outcome) {
  const std::string answer = FormatCheckAnswer(checkId, outcome);
  if (!outcome.logBeforeSending) {
    Reply(user, answer, serviceIndex);
    return;
  }
  Log(answer, kLogOutgoing);
  user.Send(answer, serviceIndex);
}

}  // namespace vorlane::agent
