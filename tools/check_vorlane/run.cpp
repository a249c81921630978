#include "tools/check_vorlane/run.h"

#include "tools/vorlane-query/session.h"

namespace vorlane::plugin {
namespace {

constexpr std::string_view kLogout = "#keycount=2#requestaction=logout#sessionid={session}#";

// The reason a step did not bring an answer, as the status line says it.
std::string Reason(const query::Reply& reply, const PluginOptions& options) {
  if (reply.outcome == query::Outcome::kNoAnswer) return "no answer within " + options.settings.timeoutText + " s";
  return reply.text;
}

}  // namespace

int RunPlugin(const PluginOptions& options, std::ostream& out, std::ostream& err) {
  const std::string label = options.list ? std::string() : options.checkId;
  Result<std::string> request =
      options.list ? ListRequest(options.checkId) : RunCheckRequest(options.checkId, options.parameters);
  if (!request) {
    out << UnknownLine(label, request.error().message) << "\n";
    return kExitUnknown;
  }

  query::Session session(options.settings, err);
  query::Reply reply = session.Connect();
  if (reply.outcome == query::Outcome::kOk) reply = session.Login();
  if (reply.outcome == query::Outcome::kOk && !query::FieldValue(reply.text, "sessionid")) {
    reply = {query::Outcome::kFailed, "login refused: " + reply.text};
  }
  if (reply.outcome == query::Outcome::kOk) reply = session.Request(request.value());
  if (reply.outcome != query::Outcome::kOk) {
    out << UnknownLine(label, Reason(reply, options)) << "\n";
    return kExitUnknown;
  }
  // The answer is in hand: a logout that fails changes nothing of it.
  (void)session.Request(std::string(kLogout));

  if (options.list) {
    Result<std::string> text = options.checkId.empty() ? DescribeCheckList(reply.text) : DescribeDefinition(reply.text);
    if (!text) {
      out << UnknownLine(options.checkId, text.error().message) << "\n";
      return kExitUnknown;
    }
    out << text.value();
    return kExitOk;
  }
  const Verdict verdict = JudgeAnswer(options.checkId, reply.text, options.warning, options.critical);
  out << verdict.line << "\n";
  return verdict.code;
}

}  // namespace vorlane::plugin
