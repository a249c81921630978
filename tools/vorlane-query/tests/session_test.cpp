// The Session class against the terminal server component, in-process: the session runs on a
// thread of its own while this thread's apartment serves the server's events.
#include "tools/vorlane-query/session.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/vorlane-query/tests/query_server.h"

namespace vorlane::query::testing {
namespace {

class QuerySession : public QueryServer {
 protected:
  struct Transcript {
    Reply connect;
    Reply login;
    std::vector<Reply> answers;
    std::string diagnostics;
  };

  Transcript Converse(Settings settings, const std::vector<std::string>& requests) {
    Transcript transcript;
    RunWhilePumping([&] {
      std::ostringstream diagnostics;
      Session session(settings, diagnostics);
      transcript.connect = session.Connect();
      if (transcript.connect.outcome == Outcome::kOk) {
        transcript.login = session.Login();
        if (transcript.login.outcome == Outcome::kOk) {
          for (const std::string& request : requests) transcript.answers.push_back(session.Request(request));
        }
      }
      transcript.diagnostics = diagnostics.str();
    });
    return transcript;
  }

  void LoginAndTwoRequestsAnsweredInOrder(Protocol protocol) {
    Start(protocol, true);
    Transcript t = Converse(ClientSettings(), {"#keycount=1#requestaction=agentinfo#", "#requestaction=x#"});
    ASSERT_EQ(t.connect.outcome, Outcome::kOk) << t.connect.text;
    ASSERT_EQ(t.login.outcome, Outcome::kOk) << t.login.text;
    EXPECT_EQ(t.login.text, "#keycount=3#responseaction=login#");
    ASSERT_EQ(t.answers.size(), 2u);
    EXPECT_EQ(t.answers[0].outcome, Outcome::kOk);
    EXPECT_EQ(t.answers[0].text, "#answer=36#");
    EXPECT_EQ(t.answers[1].outcome, Outcome::kOk);
    EXPECT_EQ(t.answers[1].text, "#answer=17#");
    const std::vector<std::string> events = echo_->Events();
    std::vector<std::string> received;
    for (const std::string& event : events) {
      if (event.rfind("Received:", 0) == 0) received.push_back(event);
    }
    EXPECT_EQ(received, (std::vector<std::string>{"Received:#keycount=1#requestaction=agentinfo#",
                                                  "Received:#requestaction=x#"}));
  }
};

TEST_F(QuerySession, SshLoginAndTwoRequestsAreAnsweredInOrder) {
  LoginAndTwoRequestsAnsweredInOrder(Protocol::kSsh);
}

TEST_F(QuerySession, TelnetLoginAndTwoRequestsAreAnsweredInOrder) {
  LoginAndTwoRequestsAnsweredInOrder(Protocol::kTelnet);
}

TEST_F(QuerySession, SshShowsTheHostKeyFingerprint) {
  Start(Protocol::kSsh, false);
  Transcript t = Converse(ClientSettings(), {});
  ASSERT_EQ(t.login.outcome, Outcome::kOk) << t.connect.text << t.login.text;
  EXPECT_NE(t.diagnostics.find("host key of 127.0.0.1 port " + std::to_string(port_) + ": SHA256:"),
            std::string::npos)
      << t.diagnostics;
}

TEST_F(QuerySession, SessionIdIsTakenFromTheLoginAnswerAndFilledIn) {
  Start(Protocol::kTelnet, false);
  Transcript t = Converse(ClientSettings(), {"#keycount=2#requestaction=agentinfo#sessionid={session}#"});
  ASSERT_EQ(t.login.outcome, Outcome::kOk) << t.connect.text << t.login.text;
  EXPECT_EQ(t.login.text, kLoginAnswer);
  const std::string sent = std::string("#keycount=2#requestaction=agentinfo#sessionid=") + kSessionId + "#";
  ASSERT_EQ(t.answers.size(), 1u);
  EXPECT_EQ(t.answers[0].text, "#answer=" + std::to_string(sent.size()) + "#");
  EXPECT_EQ(sink_->Requests(), std::vector<std::string>{sent});
}

TEST_F(QuerySession, WrongTelnetPasswordIsRefused) {
  Start(Protocol::kTelnet, true);
  Transcript t = Converse(ClientSettings("wrong"), {});
  EXPECT_EQ(t.connect.outcome, Outcome::kOk);
  EXPECT_EQ(t.login.outcome, Outcome::kFailed);
  EXPECT_EQ(t.login.text, "login refused");
}

TEST_F(QuerySession, WrongSshPasswordIsRefused) {
  Start(Protocol::kSsh, true);
  Transcript t = Converse(ClientSettings("wrong"), {});
  EXPECT_EQ(t.connect.outcome, Outcome::kFailed);
  EXPECT_EQ(t.connect.text, "login refused");
}

TEST_F(QuerySession, AnUnansweredRequestTimesOutAndTheNextIsStillAnswered) {
  Start(Protocol::kTelnet, false);
  Settings settings = ClientSettings();
  settings.timeout = std::chrono::milliseconds(500);
  Transcript t = Converse(settings, {"#requestaction=silent#", "#requestaction=x#", "#requestaction=logout#"});
  ASSERT_EQ(t.answers.size(), 3u) << t.connect.text << t.login.text;
  EXPECT_EQ(t.answers[0].outcome, Outcome::kNoAnswer);
  EXPECT_EQ(t.answers[1].outcome, Outcome::kOk);
  EXPECT_EQ(t.answers[1].text, "#answer=17#");
  EXPECT_EQ(t.answers[2].outcome, Outcome::kOk) << "a logout is not waited for";
  EXPECT_EQ(t.answers[2].text, "");
}

TEST_F(QuerySession, NothingListeningIsAConnectionFailure) {
  Start(Protocol::kTelnet, true);
  Settings settings = ClientSettings();
  (void)Call(server_.get(), kServerStop, {});
  Transcript t = Converse(settings, {});
  EXPECT_EQ(t.connect.outcome, Outcome::kFailed);
  EXPECT_NE(t.connect.text.find("cannot connect to 127.0.0.1 port"), std::string::npos) << t.connect.text;
}

}  // namespace
}  // namespace vorlane::query::testing
