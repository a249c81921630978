#include "tools/vorlane-query/run.h"

#include <string>

#include "tools/vorlane-query/session.h"

namespace vorlane::query {

int RunQuery(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
  Session session(options.settings, err);
  Reply reply = session.Connect();
  if (reply.outcome == Outcome::kOk) reply = session.Login();
  if (reply.outcome != Outcome::kOk) {
    err << "vorlane-query: " << reply.text << "\n";
    return kExitFailed;
  }
  out << reply.text << "\n" << std::flush;

  bool missing = false;
  auto send = [&](const std::string& record) {
    const Reply answer = session.Request(record);
    switch (answer.outcome) {
      case Outcome::kOk:
        if (!answer.text.empty()) out << answer.text << "\n" << std::flush;
        return true;
      case Outcome::kNoAnswer:
        err << "vorlane-query: no answer within " << options.settings.timeoutText << " s\n";
        missing = true;
        return true;
      case Outcome::kFailed:
        err << "vorlane-query: " << answer.text << "\n";
        return false;
    }
    return false;
  };

  if (!options.records.empty()) {
    for (const std::string& record : options.records) {
      if (!send(record)) return kExitFailed;
    }
  } else {
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      if (!send(line)) return kExitFailed;
    }
  }
  return missing ? kExitNoAnswer : kExitOk;
}

}  // namespace vorlane::query
