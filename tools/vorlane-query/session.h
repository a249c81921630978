// One conversation with the agent: connect, read the login answer, then request and answer.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "tools/vorlane-query/options.h"
#include "tools/vorlane-query/records.h"
#include "tools/vorlane-query/transport.h"

namespace vorlane::query {

enum class Outcome { kOk, kNoAnswer, kFailed };

struct Reply {
  Outcome outcome = Outcome::kFailed;
  std::string text;  // the record (kOk), or what went wrong
};

class Session {
 public:
  // Host key notes and the like go to `diagnostics`.
  Session(Settings settings, std::ostream& diagnostics);

  // Connects and authenticates (over Telnet: through sending the password).
  Reply Connect();
  // Reads the login answer; kFailed with "login refused" when the agent asks for a login again
  // or closes instead.
  Reply Login();
  // Sends one record (with "{session}" filled in) and waits for its answer; a logout gets an
  // empty kOk at once.
  Reply Request(const std::string& record);

  const std::string& SessionId() const { return sessionId_; }

 private:
  Reply ReadAnswer(bool login);

  Settings settings_;
  std::ostream& diagnostics_;
  std::unique_ptr<Transport> transport_;
  AnswerReader reader_;
  std::string sessionId_;
  bool warnedNoSession_ = false;
};

}  // namespace vorlane::query
