#include "tools/vorlane-query/session.h"

#include <algorithm>

namespace vorlane::query {

using Clock = std::chrono::steady_clock;

Session::Session(Settings settings, std::ostream& diagnostics)
    : settings_(std::move(settings)), diagnostics_(diagnostics) {}

Reply Session::Connect() {
  OpenResult opened =
      settings_.protocol == Protocol::kSsh ? OpenSsh(settings_, diagnostics_) : OpenTelnet(settings_);
  if (!opened.transport) return {Outcome::kFailed, opened.error};
  transport_ = std::move(opened.transport);
  return {Outcome::kOk, {}};
}

Reply Session::Login() {
  if (!transport_) return {Outcome::kFailed, "not connected"};
  reader_.Reset();
  Reply reply = ReadAnswer(true);
  if (reply.outcome == Outcome::kNoAnswer) {
    return {Outcome::kFailed, "no login answer within " + settings_.timeoutText + " s"};
  }
  if (reply.outcome == Outcome::kOk) sessionId_ = FieldValue(reply.text, "sessionid").value_or("");
  return reply;
}

Reply Session::Request(const std::string& record) {
  if (!transport_) return {Outcome::kFailed, "not connected"};
  std::string request = record;
  if (request.find("{session}") != std::string::npos) {
    if (sessionId_.empty() && !warnedNoSession_) {
      diagnostics_ << "vorlane-query: the login answer has no session id; {session} is left empty\n";
      warnedNoSession_ = true;
    }
    request = SubstituteSession(std::move(request), sessionId_);
  }
  reader_.Reset();
  if (!transport_->Send(request + "\r\n")) return {Outcome::kFailed, "connection lost"};
  if (IsLogout(request)) return {Outcome::kOk, {}};
  return ReadAnswer(false);
}

Reply Session::ReadAnswer(bool login) {
  const auto deadline = Clock::now() + settings_.timeout;
  // Over Telnet a refused password brings the prompt back, before any record.
  auto refusedAgain = [&] {
    const std::string& text = reader_.Text();
    const std::string before = text.substr(0, text.find('#'));
    return before.find("Login incorrect") != std::string::npos || before.find("login: ") != std::string::npos;
  };
  for (;;) {
    const auto now = Clock::now();
    if (auto answer = reader_.Complete(now)) return {Outcome::kOk, *answer};
    if (login && refusedAgain()) return {Outcome::kFailed, "login refused"};
    if (now >= deadline) return {Outcome::kNoAnswer, {}};
    auto until = deadline;
    if (auto quiet = reader_.QuietDeadline()) until = std::min(until, *quiet);
    const auto wait = std::max(std::chrono::ceil<std::chrono::milliseconds>(until - now), std::chrono::milliseconds(1));
    std::string data;
    const ReadStatus status = transport_->Read(data, wait);
    reader_.Add(data, Clock::now());
    if (reader_.Text().size() > AnswerReader::kMaxAnswerBytes) {
      return {Outcome::kFailed, "the answer is longer than " + std::to_string(AnswerReader::kMaxAnswerBytes) +
                                    " bytes: no agent answers so"};
    }
    if (status == ReadStatus::kClosed) {
      if (auto answer = reader_.CompleteAtEnd()) return {Outcome::kOk, *answer};
      if (!login) return {Outcome::kFailed, "connection closed by the agent"};
      return {Outcome::kFailed, settings_.protocol == Protocol::kTelnet ? "login refused"
                                                                         : "connection closed before the login answer"};
    }
  }
}

}  // namespace vorlane::query
