#include "agent/checks/url_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/request/tests/request_test_support.h"
#include "cipher/base64.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/variant.h"
#include "platform/httpclient/httpclient.h"
#include "testing/temp_dir.h"

namespace vorlane::agent {
namespace {

using testing::FakeUserHandle;

constexpr int32_t kServiceIndex = 4;

// ---- CheckContent ----

struct ContentCase {
  const char* page;
  const char* type;
  const char* words;
  const char* content;
  bool passes;
};

TEST(CheckContentTest, EveryRowOfTheTable) {
  const ContentCase cases[] = {
      // no content check: always
      {"anything", "no content check", "", "", true},
      {"anything", "No Content Check", "exact phrase", "missing", true},
      // should contain / all words: every word found
      {"Internal Server Error", "should contain", "all words", "Server Error", true},
      {"server said: an ERROR", "should contain", "all words", "Server Error", true},
      {"server only", "should contain", "all words", "Server Error", false},
      // should contain / any word: one is enough
      {"only error here", "should contain", "any word", "server error", true},
      {"nothing", "should contain", "any word", "server error", false},
      // should contain / exact phrase
      {"a server error happened", "should contain", "exact phrase", "Server Error", true},
      {"error server", "should contain", "exact phrase", "server error", false},
      // should not contain / all words: passes when one is missing
      {"only a here", "should not contain", "all words", "a b", true},
      {"a and b", "should not contain", "all words", "a b", false},
      {"neither", "should not contain", "all words", "x y", true},
      // should not contain / any word: passes when none is there
      {"all is well", "should not contain", "any word", "error failed", true},
      {"the job FAILED", "should not contain", "any word", "error failed", false},
      // should not contain / exact phrase
      {"error server", "should not contain", "exact phrase", "server error", true},
      {"a server error", "should not contain", "exact phrase", "Server Error", false},
      // other words: never
      {"server error", "should contain", "", "server", false},
      {"server error", "should contain", "some words", "server", false},
      {"nothing", "should not contain", "", "server", false},
      // other types: never
      {"server", "must contain", "all words", "server", false},
      {"server", "", "all words", "server", false},
      // words and types in any case
      {"Server Error", "SHOULD CONTAIN", "All Words", "server error", true},
      {"Server Error", "Should Not Contain", "Any Word", "ERROR", false},
      // the empty word is always found
      {"no blanks", "should contain", "any word", "x  y", true},
      {"no blanks", "should contain", "all words", "", true},
      {"no blanks", "should not contain", "any word", "x  y", false},
      {"nothing", "should contain", "all words", " ", true},
      // pages and words in UTF-8, any case
      {"GRÜSSE AUS KÖLN", "should contain", "all words", "grüsse köln", true},
      {"Ошибка сервера", "should contain", "any word", "ОШИБКА", true},
      {"ΣΦΑΛΜΑ", "should contain", "exact phrase", "σφαλμα", true},
      {"Straße", "should not contain", "any word", "STRASSE", true},
      {"résumé", "should contain", "all words", "RÉSUMÉ", true},
  };
  for (const ContentCase& c : cases) {
    EXPECT_EQ(CheckContent(c.page, c.type, c.words, c.content), c.passes)
        << '"' << c.page << "\" " << c.type << " / " << c.words << " / \"" << c.content << '"';
  }
}

TEST(CheckContentTest, LowerCaseIsPerCharacterAndKeepsOtherBytes) {
  EXPECT_EQ(LowerUtf8("ABC xyz ÄÖÜ ÉÈ ΣΩ ЖЯ"), "abc xyz äöü éè σω жя");
  EXPECT_EQ(LowerUtf8("A\xFF" "B\xC3"), "a\xFF" "b\xC3");
  EXPECT_EQ(LowerUtf8(""), "");
}

TEST(CheckContentTest, WordsSplitAtSingleBlanks) {
  const struct {
    const char* content;
    std::vector<std::string> words;
  } cases[] = {
      {"", {""}},
      {"a", {"a"}},
      {"a b", {"a", "b"}},
      {"a  b", {"a", "", "b"}},
      {" a", {"", "a"}},
      {"a ", {"a"}},
      {" ", {""}},
      {"  ", {"", ""}},
      {"server\terror", {"server\terror"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ContentWords(c.content), c.words) << '"' << c.content << '"';
}

// A page is judged piece by piece: the same outcome whatever the pieces, with words, characters
// and bytes that are no UTF-8 cut at every place.
TEST(CheckContentTest, SameOutcomeWhereverThePageIsCut) {
  const ContentCase cases[] = {
      {"The SERVER reported an Error", "should contain", "all words", "server error", true},
      {"error server", "should contain", "exact phrase", "server error", false},
      {"<p>Internal Server Error</p>", "should contain", "exact phrase", "SERVER ERROR", true},
      {"job FAILED at night", "should not contain", "any word", "error failed", false},
      {"a and b", "should not contain", "all words", "a b", false},
      {"nothing here", "should contain", "any word", "missing absent", false},
      {"GRÜSSE AUS KÖLN", "should contain", "exact phrase", "grüsse aus köln", true},
      {"Ошибка сервера", "should contain", "any word", "СЕРВЕРА", true},
      {"\u212A-ELVIN", "should contain", "exact phrase", "k-elvin", true},  // the Kelvin sign lowers to one byte
      {"ab\xC3(cd", "should contain", "exact phrase", "\xC3(c", true},     // a lead byte that never completes
      {"x\xF0\x9F\x98\x80Y", "should contain", "exact phrase", "\xF0\x9F\x98\x80y", true},
      {"x\xF0\x9F\x98\x80Y", "should not contain", "exact phrase", "\x9F\x98", false},
  };
  testkit::TempDir dir("vorlane-url");
  for (const ContentCase& c : cases) {
    const std::string page = c.page;
    SCOPED_TRACE(page + " / " + c.content);
    ASSERT_EQ(CheckContent(page, c.type, c.words, c.content), c.passes);
    for (size_t cut = 0; cut <= page.size(); ++cut) {
      PageContentTest test(c.type, c.words, c.content);
      test.Feed(std::string_view(page).substr(0, cut));
      test.Feed(std::string_view(page).substr(cut));
      EXPECT_EQ(test.Passes(), c.passes) << "cut at " << cut;
    }
    const auto file = dir.WriteFile("page", page);
    for (size_t chunk = 1; chunk <= page.size(); ++chunk) {
      EXPECT_EQ(CheckFileContent(file, c.type, c.words, c.content, chunk), c.passes) << "pieces of " << chunk;
    }
  }
  // Without a content test the page is not read; with one, a page that cannot be read gives none.
  EXPECT_EQ(CheckFileContent(dir.Path() / "missing", "no content check", "", ""), true);
  EXPECT_EQ(CheckFileContent(dir.Path() / "missing", "should contain", "any word", "x"), std::nullopt);
}

// ---- the request ----

TEST(UrlRequestTest, ProxyTypeNamesWithoutRegardToCase) {
  const struct {
    const char* name;
    std::optional<int32_t> code;
  } cases[] = {
      {"ProxyNone", 0},   {"proxysocks4", 1},  {"PROXYSOCKS5", 2}, {"ProxyWEBStandard", 3}, {"ProxyRelay", 4},
      {"ProxySocks4a", 5}, {"proxywindows", 6}, {"Proxy", std::nullopt}, {"ProxySocks", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ProxyTypeCode(c.name), c.code) << c.name;
}

TEST(UrlRequestTest, ReadsEveryParameterAndDecodesThePasswords) {
  const std::string record = "#keycount=13#URL=http://h/p#Content check type=#Words=any word#Content to check for=a b#"
                             "Use authentication for URL=true#Username for URL=me#*Password for URL=" +
                             cipher::Base64EncodeToString(std::span<const uint8_t>(
                                 reinterpret_cast<const uint8_t*>("pass word"), 9)) +
                             "#Proxy type=#Proxy server name=proxy#Proxy server port=3128x#"
                             "Use authentication for proxy=True#Username for proxy=pu#*Password for proxy=#";
  const UrlRequest request = ReadUrlRequest(record);
  EXPECT_EQ(request.url, "http://h/p");
  EXPECT_EQ(request.contentCheckType, "no content check");
  EXPECT_EQ(request.words, "any word");
  EXPECT_EQ(request.content, "a b");
  EXPECT_TRUE(request.useUrlAuthentication);
  EXPECT_EQ(request.user, "me");
  EXPECT_EQ(request.password, "pass word");
  EXPECT_EQ(request.proxyType, "ProxyNone");
  EXPECT_EQ(request.proxyServer, "proxy");
  EXPECT_EQ(request.proxyPort, 3128);
  EXPECT_FALSE(request.useProxyAuthentication);  // exactly "true" only
  EXPECT_EQ(request.proxyUser, "pu");
  EXPECT_EQ(request.proxyPassword, "");

  for (const char* port : {"", "abc", " 80", "-1"}) {
    EXPECT_EQ(ReadUrlRequest(std::string("#keycount=1#Proxy server port=") + port + "#").proxyPort, 0) << port;
  }
}

// ---- the body file ----

TEST(UrlBodyFileTest, MadeInTheFolderWithPrefixAndExtensionAndRemoved) {
  testkit::TempDir dir("vorlane-url");
  const std::filesystem::path folder = dir.Path() / "missing" / "home";
  std::string made;
  {
    const UrlBodyFile first(folder);
    const UrlBodyFile second(folder);
    made = first.path();
    ASSERT_FALSE(made.empty());
    ASSERT_FALSE(second.path().empty());
    EXPECT_NE(made, second.path());
    const std::string name = std::filesystem::path(made).filename().string();
    EXPECT_TRUE(name.starts_with("wdH")) << name;
    EXPECT_TRUE(name.ends_with(".tmp")) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 3), name.size() - 4) << name;
    EXPECT_EQ(std::filesystem::file_size(made), 0u);
    EXPECT_EQ(std::filesystem::path(made).parent_path(), folder);
  }
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST(UrlBodyFileTest, FolderThatCannotBeMadeGivesNoFile) {
  testkit::TempDir dir("vorlane-url");
  const auto blocker = dir.WriteFile("plain-file", "x");
  const UrlBodyFile file(blocker / "below");
  EXPECT_EQ(file.path(), "");
}

// ---- the check without a component ----

TEST(RunUrlCheckTest, ClientThatCannotBeCreatedIsAnswered) {
  testkit::TempDir dir("vorlane-url");
  FakeUserHandle user;
  SendCheckAnswer(user, kServiceIndex, kUrlCheck.id,
                  UrlCheckOutcome("#keycount=1#URL=http://127.0.0.1/#",
                                  [](com::ComPtr<com::IDispatch>*) { return com::REGDB_E_CLASSNOTREG; }, dir.Path()));
  EXPECT_EQ(user.OnlyAnswer(kServiceIndex),
            "#keycount=3#responseaction=runcheck#checkid=URL#errormessage=Could not create HttpClient object#");
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

// A client whose Get fires Done with the code and text the test chose and returns its result.
class ScriptedClient final
    : public com::ComObject<ScriptedClient, com::IDispatch, com::ConnectionPointContainerImpl<ScriptedClient>> {
 public:
  std::optional<std::pair<int32_t, std::string>> done;
  com::HRESULT getResult = com::S_OK;

  ScriptedClient() { ConnectionPoints().Add(httpclient::IHttpClientEvents::kIid); }
  size_t Connections() const { return ConnectionPoints().Find(httpclient::IHttpClientEvents::kIid)->ConnectionCount(); }

  com::HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, com::S_OK; }
  com::HRESULT GetTypeInfo(uint32_t, com::LCID, void**) override { return com::E_NOTIMPL; }
  com::HRESULT GetIDsOfNames(const com::IID&, com::OLECHAR**, uint32_t, com::LCID, com::DISPID*) override {
    return com::E_NOTIMPL;
  }
  com::HRESULT Invoke(com::DISPID id, const com::IID&, com::LCID, uint16_t, com::DISPPARAMS*, com::VARIANT*,
                      com::EXCEPINFO*, uint32_t*) override {
    if (id != httpclient::kClientGet) return com::S_OK;
    if (done) {
      for (const auto& sink : ConnectionPoints().Find(httpclient::IHttpClientEvents::kIid)->Snapshot()) {
        (void)com::InvokeEvent(sink.get(), httpclient::IHttpClientEvents::kIid, httpclient::kEventDone,
                               {com::Variant(done->first), com::Variant::FromUtf8(done->second)});
      }
    }
    return getResult;
  }

 private:
  ~ScriptedClient() override { ConnectionPoints().DisconnectAll(); }
  friend class com::ComObject<ScriptedClient, com::IDispatch, com::ConnectionPointContainerImpl<ScriptedClient>>;
};

TEST(RunUrlCheckTest, CompletionTextCannotForgePairsNorOverflowTheAnswer) {
  const std::string kError = "#keycount=3#responseaction=runcheck#checkid=URL#errormessage=";
  std::string accents;
  for (int i = 0; i < 1500; ++i) accents += "\xC3\xA9";  // é, two bytes each
  const struct {
    const char* name;
    std::optional<std::pair<int32_t, std::string>> done;
    com::HRESULT getResult;
    std::string message;
  } cases[] = {
      {"pairs and line ends", std::pair{7, std::string("bad #result=up# text\r\nnext\x7f")}, com::S_OK,
       "bad  result=up  text  next "},
      {"kept to 1023 bytes, between characters", std::pair{7, accents}, com::S_OK, accents.substr(0, 1022)},
      {"an exception with the stored text", std::pair{3, std::string("Get needs a URL")}, com::E_INVALIDARG,
       "Get needs a URL"},
      {"an exception without any text", std::nullopt, com::E_FAIL, "The HttpClient request failed"},
      {"a failure code without a text", std::pair{5, std::string()}, com::S_OK, "The HttpClient request failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testkit::TempDir dir("vorlane-url");
    FakeUserHandle user;
    const com::ComPtr<ScriptedClient> client = com::Make<ScriptedClient>();
    client->done = c.done;
    client->getResult = c.getResult;
    const HttpClientFactory create = [&](com::ComPtr<com::IDispatch>* made) {
      *made = client.As<com::IDispatch>();
      return com::S_OK;
    };
    SendCheckAnswer(user, kServiceIndex, kUrlCheck.id,
                    UrlCheckOutcome("#keycount=1#URL=http://127.0.0.1/#", create, dir.Path()));
    EXPECT_EQ(user.OnlyAnswer(kServiceIndex), kError + c.message + "#");
    EXPECT_EQ(client->Connections(), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
  }
}

}  // namespace
}  // namespace vorlane::agent
