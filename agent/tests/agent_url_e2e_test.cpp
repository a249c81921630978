// The URL check end to end: the real program asked over Telnet, fetching pages through the real
// HTTP client component from the test's own HTTP server, nginx over HTTP and HTTPS with a
// certificate of a private authority, and the real proxies tinyproxy and danted, each on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/tests/agent_answers.h"
#include "agent/protocol/dispatcher.h"
#include "agent/tests/agent_process.h"
#include "cipher/base64.h"
#include "tcpclient/tests/proxy_servers.h"
#include "tcpclient/tests/test_certificates.h"
#include "testing/http_peer.h"
#include "testing/run_program.h"
#include "testing/temp_dir.h"

namespace vorlane::agent::testing {
namespace {

using namespace std::chrono_literals;
using testkit::HttpPage;
using testkit::HttpPeer;

constexpr std::string_view kAnswer = "#keycount=3#responseaction=runcheck#checkid=URL#";
const std::string kUp = std::string(kAnswer) + "result=up#resultstring=Got page and content is ok.@@RTO=#";
const std::string kDown = std::string(kAnswer) + "result=down#resultstring=Got page and content is NOT ok.@@RTO=#";
std::string StatusDown(int status) {
  return std::string(kAnswer) + "result=down#resultstring=Got page but StatusCode is not 200, is " +
         std::to_string(status) + ".@@RTO=#";
}
std::string Error(const std::string& text) { return std::string(kAnswer) + "errormessage=" + text + "#"; }

std::string Base64(const std::string& text) {
  return cipher::Base64EncodeToString(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// The response time of an answer, or -1 when it has none.
long long ResponseTime(const std::string& answer) {
  const size_t key = answer.rfind("@@RTO=");
  if (key == std::string::npos) return -1;
  return std::atoll(answer.c_str() + key + 6);
}

class AgentUrl : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(agent_.Stop(), 0) << agent_.Log();
    EXPECT_EQ(BodyFilesLeft(), 0) << "a wdH file stayed behind";
  }

  // The agent's home (its personal folder) does not exist yet: the check makes it.
  void StartAgent(std::vector<std::string> extraEnv = {}, const std::string& general = "") {
    extraEnv.push_back("HOME=" + home_.string());
    ASSERT_TRUE(agent_.Start(extraEnv, general));
  }

  // A runcheck URL with `parameters` ("key=value#" each).
  std::string Check(const std::string& url, const std::string& parameters = "") {
    const std::string answer =
        agent_.Request("runcheck", "checkid=URL#URL=" + url + "#" + parameters, 90s);
    EXPECT_EQ(BodyFilesLeft(), 0) << "after " << url;
    return answer;
  }
  static std::string Content(const std::string& type, const std::string& words, const std::string& content) {
    return "Content check type=" + type + "#Words=" + words + "#Content to check for=" + content + "#";
  }

  int BodyFilesLeft() const {
    if (!std::filesystem::exists(home_)) return 0;
    int left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home_)) {
      if (entry.path().filename().string().starts_with("wdH")) ++left;
    }
    return left;
  }

  testkit::TempDir dir_{"vorlane-url-e2e"};
  std::filesystem::path home_ = dir_.Path() / "home" / "monitor";
  LoggedInAgent agent_;
};

TEST_F(AgentUrl, EveryAnswerOfTheCheck) {
  HttpPeer peer({{"/ok", {.body = "<html>Internal Server Error</html>"}},
                 {"/moved", {.status = 302, .body = "moved", .headers = "Location: /ok\r\n"}},
                 {"/broken", {.status = 500, .body = "Server Error"}}});
  ASSERT_TRUE(peer.ok());
  StartAgent();
  const struct {
    const char* name;
    std::string url;
    std::string parameters;
    std::string answer;  // the response time left empty
  } cases[] = {
      {"200 without a content test", peer.Url("/ok"), "", kUp},
      {"200 and the content is there", peer.Url("/ok"), Content("should contain", "all words", "SERVER error"), kUp},
      {"200 and the content is not", peer.Url("/ok"), Content("should not contain", "any word", "error"), kDown},
      {"302 is not followed", peer.Url("/moved"), "", StatusDown(302)},
      {"404", peer.Url("/missing"), "", StatusDown(404)},
      {"500", peer.Url("/broken"), Content("should contain", "any word", "error"), StatusDown(500)},
      {"a failed transfer", "ftp://127.0.0.1/file", "", Error("Only http and https URLs are fetched, not \"ftp\"")},
      {"the request raised an exception", "", "", Error("Get needs a URL that is not empty")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WithoutRoundTripValue(Check(c.url, c.parameters)), c.answer) << agent_.Log();
  }
  EXPECT_TRUE(std::filesystem::is_directory(home_));
  // A connection refused comes with libcurl's text.
  const std::string refused = Check("http://127.0.0.1:" + std::to_string(testkit::ClosedPort()) + "/");
  EXPECT_TRUE(refused.starts_with(std::string(kAnswer) + "errormessage=Failed to connect to 127.0.0.1 port "))
      << refused;
  EXPECT_TRUE(refused.ends_with("Couldn't connect to server#")) << refused;
}

TEST_F(AgentUrl, ContentTableWithWordsInAnyCaseAndPagesInUtf8) {
  HttpPeer peer({{"/errors", {.body = "<p>The SERVER reported an Error</p>"}},
                 {"/reversed", {.body = "error server"}},
                 {"/failed", {.body = "job FAILED"}},
                 {"/ab", {.body = "a and b"}},
                 {"/a", {.body = "only a"}},
                 {"/utf8", {.body = "<p>GRÜSSE AUS KÖLN — Ошибка</p>"}}});
  ASSERT_TRUE(peer.ok());
  StartAgent();
  const struct {
    const char* path;
    const char* type;
    const char* words;
    const char* content;
    bool up;
  } cases[] = {
      {"/errors", "should contain", "all words", "Server Error", true},
      {"/errors", "should contain", "any word", "missing error", true},
      {"/errors", "should contain", "exact phrase", "server reported", true},
      {"/reversed", "should contain", "exact phrase", "server error", false},
      {"/errors", "should not contain", "any word", "failed timeout", true},
      {"/failed", "should not contain", "any word", "error failed", false},
      {"/ab", "should not contain", "all words", "a b", false},
      {"/a", "should not contain", "all words", "a b", true},
      {"/reversed", "should not contain", "exact phrase", "server error", true},
      {"/a", "should contain", "any word", "x  y", true},
      {"/errors", "should contain", "All Words", "server error", true},
      {"/errors", "should contain", "", "server", false},
      {"/errors", "", "", "", true},
      {"/utf8", "Should Contain", "all words", "grüsse köln ошибка", true},
      {"/utf8", "should not contain", "any word", "ÖSTERREICH", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.type + " / " + c.words + " / " + c.content);
    EXPECT_EQ(WithoutRoundTripValue(Check(peer.Url(c.path), Content(c.type, c.words, c.content))), c.up ? kUp : kDown);
  }
}

TEST_F(AgentUrl, CredentialsForThePage) {
  HttpPeer peer({{"/basic", {.body = "basic", .auth = HttpPage::Auth::kBasic}},
                 {"/digest", {.body = "digest", .auth = HttpPage::Auth::kDigest}}});
  ASSERT_TRUE(peer.ok());
  StartAgent();
  auto account = [](const std::string& use, const std::string& password) {
    return "Use authentication for URL=" + use + "#Username for URL=" + std::string(testkit::kHttpPageUser) +
           "#*Password for URL=" + Base64(password) + "#";
  };
  const std::string right = account("true", testkit::kHttpPagePassword);
  const std::string wrong = account("true", "nope");
  const std::string unused = account("false", testkit::kHttpPagePassword);
  for (const char* path : {"/basic", "/digest"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(WithoutRoundTripValue(Check(peer.Url(path), right)), kUp);
    EXPECT_EQ(WithoutRoundTripValue(Check(peer.Url(path), wrong)), StatusDown(401));
    EXPECT_EQ(WithoutRoundTripValue(Check(peer.Url(path), unused)), StatusDown(401));
  }
}

TEST_F(AgentUrl, ResponseTimeOfASlowPage) {
  HttpPeer peer({{"/slow", {.body = "late", .delay = 300ms}}});
  ASSERT_TRUE(peer.ok());
  StartAgent();
  const std::string answer = Check(peer.Url("/slow"));
  EXPECT_EQ(WithoutRoundTripValue(answer), kUp);
  EXPECT_GE(ResponseTime(answer), 300) << answer;
  // The page's delay, plus the exchange: a bound wide enough for a loaded machine, tight enough to
  // catch a time taken from the wrong moment.
  EXPECT_LT(ResponseTime(answer), 1500) << answer;
}

// Checks of different connections run side by side, each with its own completion values and
// body file: a slow page and a quick failure do not see each other's results.
TEST_F(AgentUrl, ChecksOfTwoConnectionsKeepTheirOwnResults) {
  HttpPeer slow({{"/slow", {.body = "alpha page", .delay = 500ms}}});
  HttpPeer quick({{"/quick", {.status = 500, .body = "beta"}}});
  ASSERT_TRUE(slow.ok() && quick.ok());
  StartAgent();
  TelnetClient second(agent_.Port());
  const std::string secondSession = second.Login(LoggedInAgent::kUser, LoggedInAgent::kPassword);
  ASSERT_FALSE(secondSession.empty());

  std::string slowAnswer;
  std::thread first([&] { slowAnswer = Check(slow.Url("/slow"), Content("should contain", "all words", "alpha")); });
  std::vector<std::string> quickAnswers;
  const std::string failing = "#requestaction=runcheck#sessionid=" + secondSession + "#checkid=URL#URL=";
  for (int i = 0; i < 3; ++i) {
    quickAnswers.push_back(second.Request(failing + quick.Url("/quick") + "#", 30s));
    quickAnswers.push_back(second.Request(failing + "ftp://127.0.0.1/#", 30s));
  }
  first.join();
  EXPECT_EQ(WithoutRoundTripValue(slowAnswer), kUp);
  EXPECT_GE(ResponseTime(slowAnswer), 500) << slowAnswer;
  for (size_t i = 0; i < quickAnswers.size(); i += 2) {
    EXPECT_EQ(WithoutRoundTripValue(quickAnswers[i]), StatusDown(500));
    EXPECT_EQ(quickAnswers[i + 1], Error("Only http and https URLs are fetched, not \"ftp\""));
  }
}

TEST_F(AgentUrl, ThroughRealProxies) {
  HttpPeer peer({{"/page", {.body = "through the proxy"}}});
  ASSERT_TRUE(peer.ok());
  testkit::TempDir proxyDir("vorlane-url-proxy");
  const uint16_t httpPort = static_cast<uint16_t>(FreePort());
  auto tinyproxy = tcpclient::testing::StartTinyproxy(proxyDir, httpPort, true, {});
  ASSERT_TRUE(tinyproxy->WaitReady(httpPort)) << tinyproxy->Log();
  const uint16_t socksPort = static_cast<uint16_t>(FreePort());
  auto danted = tcpclient::testing::StartDanted(proxyDir, socksPort);
  ASSERT_TRUE(danted->WaitReady(socksPort)) << danted->Log();
  StartAgent();

  const std::string account = "Use authentication for proxy=true#Username for proxy=" +
                              std::string(tcpclient::testing::kProxyUser) + "#*Password for proxy=" +
                              Base64(tcpclient::testing::kProxyPassword) + "#";
  auto proxy = [](const std::string& type, uint16_t port) {
    return "Proxy type=" + type + "#Proxy server name=127.0.0.1#Proxy server port=" + std::to_string(port) + "#";
  };
  const struct {
    const char* name;
    std::string parameters;
    bool viaTinyproxy;
  } cases[] = {
      {"HTTP proxy with credentials", proxy("ProxyWEBStandard", httpPort) + account, true},
      {"relay, name in other capitals", proxy("proxyrelay", httpPort) + account, true},
      {"SOCKS4", proxy("ProxySocks4", socksPort), false},
      {"SOCKS5 with credentials", proxy("ProxySocks5", socksPort) + account, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WithoutRoundTripValue(Check(peer.Url("/page"), c.parameters + Content("should contain", "exact phrase",
                                                                                     "Through The Proxy"))),
              kUp)
        << agent_.Log();
    const auto requests = peer.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(testkit::HeaderValue(requests.back(), "Via").find("tinyproxy") != std::string::npos, c.viaTinyproxy);
  }
  // Without the credentials tinyproxy turns the request away: a status, not the page.
  const std::string refused = WithoutRoundTripValue(Check(peer.Url("/page"), proxy("ProxyWEBStandard", httpPort)));
  EXPECT_TRUE(refused == StatusDown(401) || refused == StatusDown(407)) << refused;
  // A proxy that is not there fails the fetch.
  const std::string absent = Check(peer.Url("/page"), proxy("ProxySocks5", testkit::ClosedPort()));
  EXPECT_TRUE(absent.starts_with(std::string(kAnswer) + "errormessage=")) << absent;
}

// nginx from Debian with a certificate of the test's own authority, on loopback. The agent trusts
// the authorities its settings name (HttpsCaFile, HttpsCaPath), else only the system's store.
class AgentUrlNginx : public AgentUrl {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certificates_.Made());
    anchor_ = certDir_.WriteFile("authority.pem", certificates_.AuthorityPem());
    (void)site_.WriteFile("status.html", "<html><h1>Vorlane Status</h1><p>All Systems GO</p></html>");
    // The phrase across the border of the first piece the check reads, and a page beyond the cap.
    (void)site_.WriteFile("large.html", std::string(64 * 1024 - 5, 'x') + "Ärger im Büro" + std::string(300000, 'y'));
    (void)site_.WriteFile("huge.html", std::string(17 * 1024 * 1024, 'z'));
    httpPort_ = static_cast<uint16_t>(FreePort());
    for (int i = 0; i < 5 && (httpsPort_ == 0 || httpsPort_ == httpPort_); ++i) {
      httpsPort_ = static_cast<uint16_t>(FreePort());
    }
    nginx_ = tcpclient::testing::StartNginx(nginxDir_, site_.Path(), httpPort_, httpsPort_, certificates_.server,
                                            certificates_.key);
    ASSERT_TRUE(nginx_->WaitReady(httpPort_) && nginx_->WaitReady(httpsPort_))
        << nginx_->Log() << testkit::ReadFile(nginxDir_ / "nginx-error.log");
  }
  std::string Url(bool https, const std::string& path) const {
    const std::string origin = https ? "https://localhost:" + std::to_string(httpsPort_)
                                     : "http://127.0.0.1:" + std::to_string(httpPort_);
    return origin + path;
  }

  testkit::TempDir certDir_{"vorlane-url-certs"};
  tcpclient::testing::TestCertificates certificates_{certDir_};
  std::filesystem::path anchor_;
  testkit::TempDir site_{"vorlane-url-site"};
  testkit::TempDir nginxDir_{"vorlane-url-nginx"};
  uint16_t httpPort_ = 0;
  uint16_t httpsPort_ = 0;
  std::unique_ptr<tcpclient::testing::ProxyProcess> nginx_;
};

TEST_F(AgentUrlNginx, HttpsTrustsTheAuthoritiesOfTheSettingsElseTheSystemStore) {
  const auto folder = certDir_ / "authorities";
  std::filesystem::create_directory(folder);
  (void)testkit::WriteFile(folder / "authority.pem", certificates_.AuthorityPem());
  ASSERT_EQ(testkit::RunProgram({"/usr/bin/openssl", "rehash", folder.string()}).exitStatus, 0);
  const struct {
    const char* name;
    std::string general;
    std::string answer;
  } cases[] = {
      {"the system's store", "", Error("SSL certificate problem: unable to get local issuer certificate")},
      {"HttpsCaFile", "HttpsCaFile=" + anchor_.string() + "\r\n", kUp},
      {"HttpsCaPath", "HttpsCaPath=" + folder.string() + "\r\n", kUp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoggedInAgent agent;
    ASSERT_TRUE(agent.Start({"HOME=" + home_.string()}, c.general));
    const std::string answer = agent.Request(
        "runcheck", "checkid=URL#URL=" + Url(true, "/status.html") + "#" + Content("should contain", "all words", "GO"),
        90s);
    EXPECT_EQ(WithoutRoundTripValue(answer), c.answer) << agent.Log();
    EXPECT_EQ(agent.Stop(), 0);
  }
}

TEST_F(AgentUrlNginx, ContentOverHttpAndHttpsWithTheAgentsUserAgent) {
  StartAgent({}, "HttpsCaFile=" + anchor_.string() + "\r\n");
  const struct {
    const char* path;
    std::string parameters;
    std::string answer;
  } cases[] = {
      {"/status.html", Content("should contain", "exact phrase", "vorlane status"), kUp},
      {"/status.html", Content("should contain", "any word", "down GO"), kUp},
      {"/status.html", Content("should not contain", "any word", "error systems"), kDown},
      {"/status.html", Content("should not contain", "exact phrase", "systems down"), kUp},
      {"/large.html", Content("should contain", "exact phrase", "ärger im büro"), kUp},
      {"/large.html", Content("should not contain", "all words", "ÄRGER BÜRO"), kDown},
      {"/missing.html", "", StatusDown(404)},
      {"/huge.html", Content("should contain", "any word", "z"),
       Error("The response body is larger than the limit of 16777216 bytes")},
  };
  for (const bool https : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(Url(https, c.path) + " " + c.parameters);
      EXPECT_EQ(WithoutRoundTripValue(Check(Url(https, c.path), c.parameters)), c.answer);
    }
  }
  // Every request named the agent and its version.
  const std::string log = testkit::ReadFile(nginxDir_ / "nginx-access.log");
  const std::string userAgent = "\"Vorlane/" + std::string(kAgentVersion) + "\"";
  size_t requests = 0;
  for (size_t at = log.find("GET "); at != std::string::npos; at = log.find("GET ", at + 1)) {
    ++requests;
    EXPECT_EQ(log.compare(log.find('\n', at) - userAgent.size(), userAgent.size(), userAgent), 0) << log;
  }
  EXPECT_EQ(requests, 2 * std::size(cases)) << log;
}

TEST_F(AgentUrl, ComponentThatCannotBeCreated) {
  // A class registry whose HTTP client entry names a module that is not there.
  std::string registry = testkit::ReadFile(VORLANE_CLASS_REGISTRY_FILE);
  ASSERT_FALSE(registry.empty());
  for (size_t at = registry.find("libvorlanehttp.so"); at != std::string::npos;
       at = registry.find("libvorlanehttp.so", at + 1)) {
    registry.replace(at, 17, "libvorlanegone.so");
  }
  const auto copy = dir_.WriteFile("classes.ini", registry);
  StartAgent({"VORLANE_CLASS_REGISTRY=" + copy.string()});
  EXPECT_EQ(Check("http://127.0.0.1:1/"), Error("Could not create HttpClient object"));
}

}  // namespace
}  // namespace vorlane::agent::testing
