// The HTTP client component as a client drives it: created by ProgID through the build's class
// registry, reached late-bound only, its events taken by a recording sink, against the tests'
// own HTTP server, `openssl s_server` with certificates of a private authority, and the real
// proxies tinyproxy and danted on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/error_info.h"
#include "platform/com/late_binding.h"
#include "platform/com/variant.h"
#include "platform/httpclient/httpclient.h"
#include "platform/loop/message_loop.h"
#include "tcpclient/tests/proxy_servers.h"
#include "tcpclient/tests/test_certificates.h"
#include "tcpclient/tests/tls_server.h"
#include "testing/agent_process.h"
#include "testing/http_peer.h"
#include "testing/loop_pump.h"
#include "testing/run_program.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::httpclient {
namespace {

using namespace std::chrono_literals;
using com::ComPtr;
using com::HRESULT;
using com::S_OK;
using com::Variant;
using testkit::HttpPage;
using testkit::HttpPeer;

// Records the events as lines ("HeadersDone", "Done:<code>:<text>") and, at HeadersDone, points
// the response's body at `bodyFile` as a client keeping the body would.
class RecordingSink final : public com::ComObject<RecordingSink, com::IDispatch> {
 public:
  std::vector<std::string> events;
  com::IDispatch* client = nullptr;
  std::string bodyFile;

  HRESULT QueryInterfaceExtra(const com::IID& iid, void** object) override {
    if (iid != IHttpClientEvents::kIid) return com::E_NOINTERFACE;
    AddRef();
    *object = static_cast<com::IDispatch*>(this);
    return S_OK;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, S_OK; }
  HRESULT GetTypeInfo(uint32_t, com::LCID, void**) override { return com::E_NOTIMPL; }
  HRESULT GetIDsOfNames(const com::IID&, com::OLECHAR**, uint32_t, com::LCID, com::DISPID*) override {
    return com::E_NOTIMPL;
  }
  HRESULT Invoke(com::DISPID id, const com::IID&, com::LCID, uint16_t, com::DISPPARAMS* params, com::VARIANT*,
                 com::EXCEPINFO*, uint32_t*) override {
    com::DispatchCall call(*params, nullptr, nullptr);
    if (id == kEventHeadersDone) {
      events.push_back("HeadersDone");
      ComPtr<com::IDispatch> response;
      EXPECT_EQ(com::GetProperty(client, kClientResponse, &response), S_OK);
      if (response && !bodyFile.empty()) {
        EXPECT_EQ(com::PutProperty(response.get(), kResponseFileName, Variant::FromUtf8(bodyFile)), S_OK);
      }
    } else if (id == kEventDone) {
      int32_t code = -1;
      std::string text;
      EXPECT_EQ(call.Read(0, &code), S_OK);
      EXPECT_EQ(call.Read(1, &text), S_OK);
      events.push_back("Done:" + std::to_string(code) + ":" + text);
    } else {
      events.push_back("Other:" + std::to_string(id));
    }
    return S_OK;
  }

 private:
  ~RecordingSink() override = default;
  friend class com::ComObject<RecordingSink, com::IDispatch>;
};

struct Fetched {
  HRESULT hr = com::E_FAIL;
  std::vector<std::string> events;
  int32_t status = -1;
  std::string text;
  std::chrono::milliseconds took{0};
};

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(apartment_.ok());
    ASSERT_EQ(com::CreateInstanceByProgId(kHttpClientProgId, com::IDispatch::kIid, client_.put_void()), S_OK);
    ASSERT_TRUE(client_);
    sink_->client = client_.get();
    sink_->bodyFile = (dir_ / "body.out").string();
    ComPtr<com::IConnectionPointContainer> container = client_.As<com::IConnectionPointContainer>();
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(IHttpClientEvents::kIid, point_.put()), S_OK);
    ASSERT_EQ(point_->Advise(static_cast<com::IDispatch*>(sink_.get()), &cookie_), S_OK);
    ASSERT_EQ(com::PutProperty(client_.get(), kClientBlocking, Variant(true)), S_OK);
  }
  void TearDown() override {
    if (point_) {
      EXPECT_EQ(point_->Unadvise(cookie_), S_OK);
    }
  }

  void Put(com::DISPID id, const Variant& value) { EXPECT_EQ(com::PutProperty(client_.get(), id, value), S_OK) << id; }

  Fetched Fetch(const std::string& url) {
    sink_->events.clear();
    Fetched fetched;
    const auto start = std::chrono::steady_clock::now();
    fetched.hr = com::CallMethod(client_.get(), kClientGet, {Variant::FromUtf8(url)});
    fetched.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    fetched.events = sink_->events;
    ComPtr<com::IDispatch> response;
    if (com::GetProperty(client_.get(), kClientResponse, &response) == S_OK && response) {
      EXPECT_EQ(com::GetProperty(response.get(), kResponseStatusCode, &fetched.status), S_OK);
      EXPECT_EQ(com::GetProperty(response.get(), kResponseText, &fetched.text), S_OK);
    }
    return fetched;
  }
  std::string BodyFile() const { return testkit::ReadFile(sink_->bodyFile); }
  static std::vector<std::string> Succeeded() { return {"HeadersDone", "Done:0:"}; }

  com::ApartmentScope apartment_;
  testkit::TempDir dir_{"vorlane-http"};
  ComPtr<com::IDispatch> client_;
  ComPtr<RecordingSink> sink_ = com::Make<RecordingSink>();
  ComPtr<com::IConnectionPoint> point_;
  uint32_t cookie_ = 0;
};

TEST_F(HttpClientTest, ProgIdNamesTheClass) {
  com::CLSID clsid{};
  ASSERT_EQ(com::CLSIDFromProgID(std::string_view(kHttpClientProgId), &clsid), S_OK);
  EXPECT_EQ(clsid, kHttpClientClsid);
  bool blocking = false;
  EXPECT_EQ(com::GetProperty(client_.get(), kClientBlocking, &blocking), S_OK);
  EXPECT_TRUE(blocking);
  int32_t timeout = 0, cap = 0;
  EXPECT_EQ(com::GetProperty(client_.get(), kClientTimeout, &timeout), S_OK);
  EXPECT_EQ(com::GetProperty(client_.get(), kClientMaxBodySize, &cap), S_OK);
  EXPECT_EQ(timeout, 60);
  EXPECT_EQ(cap, 16 * 1024 * 1024);
}

TEST_F(HttpClientTest, EveryStatusIsReportedAsItCameAndNoRedirectIsFollowed) {
  HttpPeer peer({{"/ok", {.body = "<p>all fine</p>"}},
                 {"/moved", {.status = 302, .body = "moved", .headers = "Location: /ok\r\n"}},
                 {"/broken", {.status = 500, .body = "Server Error"}}});
  ASSERT_TRUE(peer.ok());
  const struct {
    const char* path;
    int32_t status;
    const char* body;
  } cases[] = {
      {"/ok", 200, "<p>all fine</p>"},
      {"/moved", 302, "moved"},
      {"/broken", 500, "Server Error"},
      {"/missing", 404, "<html><body>not found</body></html>"},
  };
  for (const auto& c : cases) {
    const Fetched fetched = Fetch(peer.Url(c.path));
    EXPECT_EQ(fetched.hr, S_OK) << c.path;
    EXPECT_EQ(fetched.events, Succeeded()) << c.path;
    EXPECT_EQ(fetched.status, c.status) << c.path;
    EXPECT_EQ(fetched.text, c.body) << c.path;
    EXPECT_EQ(BodyFile(), c.body) << c.path;
  }
  // One request each: the 302 was not followed to /ok.
  EXPECT_EQ(peer.Requests().size(), std::size(cases));
}

TEST_F(HttpClientTest, BodyComesAsUtf8TextAndIntoTheFileByteForByte) {
  const std::string page = "Grüße aus Köln: ÄÖÜ € \xF0\x9F\x98\x80 and a stray \xFF byte";
  HttpPeer peer({{"/utf8", {.body = page}}});
  const Fetched fetched = Fetch(peer.Url("/utf8"));
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_EQ(fetched.text, page);
  EXPECT_EQ(BodyFile(), page);
}

TEST_F(HttpClientTest, NoFileNamedKeepsTheBodyInTheResponseOnly) {
  HttpPeer peer({{"/ok", {.body = "text"}}});
  sink_->bodyFile.clear();
  const Fetched fetched = Fetch(peer.Url("/ok"));
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_EQ(fetched.text, "text");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "body.out"));
}

TEST_F(HttpClientTest, FileThatCannotBeWrittenEndsWithAWriteFailure) {
  HttpPeer peer({{"/ok", {.body = "text"}}});
  sink_->bodyFile = (dir_ / "no-such-folder" / "body.out").string();
  const Fetched fetched = Fetch(peer.Url("/ok"));
  ASSERT_EQ(fetched.events.size(), 2u);
  EXPECT_EQ(fetched.events[0], "HeadersDone");
  EXPECT_TRUE(fetched.events[1].starts_with("Done:23:The response body could not be written to \"" + sink_->bodyFile +
                                            "\": No such file or directory"))
      << fetched.events[1];
}

TEST_F(HttpClientTest, BasicAndDigestCredentialsReachThePage) {
  HttpPeer peer({{"/basic", {.body = "basic ok", .auth = HttpPage::Auth::kBasic}},
                 {"/digest", {.body = "digest ok", .auth = HttpPage::Auth::kDigest}}});
  const struct {
    const char* path;
    const char* user;
    const char* password;
    int32_t status;
  } cases[] = {
      {"/basic", testkit::kHttpPageUser, testkit::kHttpPagePassword, 200},
      {"/basic", testkit::kHttpPageUser, "wrong", 401},
      {"/basic", "", "", 401},
      {"/digest", testkit::kHttpPageUser, testkit::kHttpPagePassword, 200},
      {"/digest", testkit::kHttpPageUser, "wrong", 401},
      {"/digest", "", "", 401},
  };
  for (const auto& c : cases) {
    Put(kClientUserName, Variant::FromUtf8(c.user));
    Put(kClientPassword, Variant::FromUtf8(c.password));
    const Fetched fetched = Fetch(peer.Url(c.path));
    EXPECT_EQ(fetched.events, Succeeded()) << c.path << " " << c.password;
    EXPECT_EQ(fetched.status, c.status) << c.path << " " << c.password;
    if (c.status == 200) {
      EXPECT_EQ(fetched.text, std::string(c.path + 1) + " ok");
    }
  }
  bool sawDigest = false;
  for (const std::string& head : peer.Requests()) {
    sawDigest = sawDigest || testkit::HeaderValue(head, "Authorization").starts_with("Digest ");
  }
  EXPECT_TRUE(sawDigest);
}

TEST_F(HttpClientTest, OnlyHttpAndHttpsAreFetched) {
  const struct {
    const char* url;
    const char* done;
  } cases[] = {
      {"ftp://127.0.0.1/file", "Done:1:Only http and https URLs are fetched, not \"ftp\""},
      {"file:///etc/passwd", "Done:1:Only http and https URLs are fetched, not \"file\""},
      {"gopher://127.0.0.1/", "Done:1:Only http and https URLs are fetched, not \"gopher\""},
  };
  for (const auto& c : cases) {
    const Fetched fetched = Fetch(c.url);
    EXPECT_EQ(fetched.hr, S_OK) << c.url;
    EXPECT_EQ(fetched.events, std::vector<std::string>{c.done}) << c.url;
    EXPECT_EQ(fetched.text, "");
  }
}

TEST_F(HttpClientTest, MalformedCallRaisesAnExceptionWithItsText) {
  sink_->events.clear();
  const HRESULT hr = com::CallMethod(client_.get(), kClientGet, {});
  EXPECT_TRUE(com::Failed(hr));
  ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(com::GetErrorInfo(info.put()), S_OK);
  ASSERT_TRUE(info);
  com::Bstr description;
  ASSERT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(description.ToUtf8(), "Get needs the URL as its argument");
  EXPECT_EQ(sink_->events, std::vector<std::string>{"Done:3:Get needs the URL as its argument"});

  sink_->events.clear();
  EXPECT_TRUE(com::Failed(com::CallMethod(client_.get(), kClientGet, {Variant::FromUtf8("")})));
  ASSERT_EQ(com::GetErrorInfo(info.put()), S_OK);
  ASSERT_TRUE(info);
  ASSERT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(description.ToUtf8(), "Get needs a URL that is not empty");
  EXPECT_EQ(sink_->events, std::vector<std::string>{"Done:3:Get needs a URL that is not empty"});

  EXPECT_EQ(com::CallMethod(client_.get(), kClientGet, {Variant(int32_t{1}), Variant(int32_t{2})}),
            com::DISP_E_BADPARAMCOUNT);
}

TEST_F(HttpClientTest, PropertiesRefuseValuesOutOfRange) {
  const struct {
    com::DISPID id;
    int32_t value;
  } cases[] = {{kClientProxyType, 7}, {kClientProxyType, -1}, {kClientProxyPort, 65536}, {kClientTimeout, 0},
               {kClientMaxBodySize, 0}, {kClientMaxBodySize, kDefaultMaxBodyBytes + 1}};
  for (const auto& c : cases) {
    EXPECT_TRUE(com::Failed(com::PutProperty(client_.get(), c.id, Variant(c.value)))) << c.id << " " << c.value;
  }
}

TEST_F(HttpClientTest, SlowPageIsWaitedFor) {
  HttpPeer peer({{"/slow", {.body = "late", .delay = 300ms}}});
  const Fetched fetched = Fetch(peer.Url("/slow"));
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_EQ(fetched.text, "late");
  EXPECT_GE(fetched.took, 300ms);
  EXPECT_LT(fetched.took, 5s);
}

TEST_F(HttpClientTest, ServerThatNeverAnswersEndsWithATimeOut) {
  HttpPeer peer({{"/silent", {.silent = true}}});
  Put(kClientTimeout, Variant(int32_t{1}));
  const Fetched fetched = Fetch(peer.Url("/silent"));
  ASSERT_EQ(fetched.events.size(), 1u);
  EXPECT_TRUE(fetched.events[0].starts_with("Done:28:Operation timed out after")) << fetched.events[0];
  EXPECT_TRUE(fetched.events[0].ends_with(" (the limit of a transfer is 1 seconds)")) << fetched.events[0];
  EXPECT_GE(fetched.took, 1s);
  EXPECT_LT(fetched.took, 10s);
}

TEST_F(HttpClientTest, BodyBeyondTheCapEndsTheTransfer) {
  constexpr size_t kMiB = 1024 * 1024;
  HttpPeer peer({{"/exact", {.streamBytes = kMiB}},
                 {"/stream", {.streamBytes = 2 * kMiB}},
                 {"/announced", {.streamBytes = 2 * kMiB, .announceStream = true}},
                 {"/huge", {.streamBytes = 17 * kMiB}}});
  Put(kClientMaxBodySize, Variant(static_cast<int32_t>(kMiB)));
  Fetched fetched = Fetch(peer.Url("/exact"));
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_EQ(fetched.text.size(), kMiB);
  for (const char* path : {"/stream", "/announced"}) {
    fetched = Fetch(peer.Url(path));
    EXPECT_EQ(fetched.events,
              std::vector<std::string>{"Done:63:The response body is larger than the limit of 1048576 bytes"})
        << path;
  }
  Put(kClientMaxBodySize, Variant(kDefaultMaxBodyBytes));
  fetched = Fetch(peer.Url("/huge"));
  EXPECT_EQ(fetched.events,
            std::vector<std::string>{"Done:63:The response body is larger than the limit of 16777216 bytes"});
}

TEST_F(HttpClientTest, NonBlockingRequestReportsOnTheCallersLoop) {
  HttpPeer peer({{"/slow", {.body = "later", .delay = 200ms}}});
  Put(kClientBlocking, Variant(false));
  sink_->events.clear();
  ASSERT_EQ(com::CallMethod(client_.get(), kClientGet, {Variant::FromUtf8(peer.Url("/slow"))}), S_OK);
  EXPECT_TRUE(sink_->events.empty());
  // A second request while the first runs is refused.
  EXPECT_TRUE(com::Failed(com::CallMethod(client_.get(), kClientGet, {Variant::FromUtf8(peer.Url("/slow"))})));
  auto loop = loop::MessageLoop::Current();
  ASSERT_TRUE(loop);
  ASSERT_TRUE(testkit::PumpUntil(*loop, [&] { return sink_->events.size() >= 2; }));
  EXPECT_EQ(sink_->events, Succeeded());
  EXPECT_EQ(BodyFile(), "later");
}

// The module goes when nothing of it is left, libcurl with it, and comes back for the next client.
TEST(HttpClientModuleTest, UnloadsWhenUnusedAndServesAgain) {
  com::ApartmentScope apartment;
  ASSERT_TRUE(apartment.ok());
  HttpPeer peer({{"/ok", {.body = "again"}}});
  for (int round = 0; round < 3; ++round) {
    {
      ComPtr<com::IDispatch> client;
      ASSERT_EQ(com::CreateInstanceByProgId(kHttpClientProgId, com::IDispatch::kIid, client.put_void()), S_OK);
      ASSERT_EQ(com::PutProperty(client.get(), kClientBlocking, Variant(true)), S_OK);
      ASSERT_EQ(com::CallMethod(client.get(), kClientGet, {Variant::FromUtf8(peer.Url("/ok"))}), S_OK);
      ComPtr<com::IDispatch> response;
      ASSERT_EQ(com::GetProperty(client.get(), kClientResponse, &response), S_OK);
      std::string text;
      EXPECT_EQ(com::GetProperty(response.get(), kResponseText, &text), S_OK);
      EXPECT_EQ(text, "again") << round;
      EXPECT_NE(testkit::ReadFile("/proc/self/maps").find("libvorlanehttp.so"), std::string::npos);
    }
    com::CoFreeUnusedLibraries();
    EXPECT_EQ(testkit::ReadFile("/proc/self/maps").find("libvorlanehttp.so"), std::string::npos) << round;
  }
}

// ---------------------------------------------------------------- https

class HttpClientTlsTest : public HttpClientTest {
 protected:
  void SetUp() override {
    HttpClientTest::SetUp();
    ASSERT_TRUE(certificates_.Made());
    caFile_ = dir_.WriteFile("authority.pem", certificates_.AuthorityPem());
  }
  std::string Url(const tcpclient::testing::TlsServer& server, const char* host = "127.0.0.1") const {
    return std::string("https://") + host + ":" + std::to_string(server.Port()) + "/";
  }

  testkit::TempDir certDir_{"vorlane-http-certs"};
  tcpclient::testing::TestCertificates certificates_{certDir_};
  std::filesystem::path caFile_;
};

TEST_F(HttpClientTlsTest, CertificateOfAnUntrustedAuthorityIsRefused) {
  tcpclient::testing::TlsServer server(dir_, certificates_.server, certificates_.key, {"-www"});
  ASSERT_TRUE(server.Ready()) << server.Log();
  const Fetched fetched = Fetch(Url(server));
  EXPECT_EQ(fetched.events,
            std::vector<std::string>{"Done:60:SSL certificate problem: unable to get local issuer certificate"});
}

TEST_F(HttpClientTlsTest, TrustedCertificateForTheNameIsAccepted) {
  tcpclient::testing::TlsServer server(dir_, certificates_.server, certificates_.key, {"-www"});
  ASSERT_TRUE(server.Ready()) << server.Log();
  // The authority as a file, then as a folder of hashed names (and no file).
  const std::filesystem::path folder = dir_ / "authorities";
  std::filesystem::create_directory(folder);
  (void)testkit::WriteFile(folder / "authority.pem", certificates_.AuthorityPem());
  ASSERT_EQ(testkit::RunProgram({"/usr/bin/openssl", "rehash", folder.string()}).exitStatus, 0);
  const struct {
    std::string caFile;
    std::string caPath;
  } anchors[] = {{caFile_.string(), ""}, {"", folder.string()}};
  for (const auto& anchor : anchors) {
    Put(kClientCaFile, Variant::FromUtf8(anchor.caFile));
    Put(kClientCaPath, Variant::FromUtf8(anchor.caPath));
    for (const char* host : {"127.0.0.1", "localhost"}) {
      const Fetched fetched = Fetch(Url(server, host));
      EXPECT_EQ(fetched.events, Succeeded()) << host << " " << anchor.caPath;
      EXPECT_EQ(fetched.status, 200) << host;
      EXPECT_NE(fetched.text.find("s_server"), std::string::npos) << fetched.text;
    }
  }
}

TEST_F(HttpClientTlsTest, CertificateForAnotherNameOrExpiredIsRefused) {
  Put(kClientCaFile, Variant::FromUtf8(caFile_.string()));
  const struct {
    std::filesystem::path certificate;
    const char* done;
  } cases[] = {
      {certificates_.otherName,
       "Done:60:SSL: no alternative certificate subject name matches target host name '127.0.0.1'"},
      {certificates_.expired, "Done:60:SSL certificate problem: certificate has expired"},
  };
  for (const auto& c : cases) {
    tcpclient::testing::TlsServer server(dir_, c.certificate, certificates_.key, {"-www"});
    ASSERT_TRUE(server.Ready()) << server.Log();
    const Fetched fetched = Fetch(Url(server));
    EXPECT_EQ(fetched.events, std::vector<std::string>{c.done});
  }
}

// ---------------------------------------------------------------- proxies

class HttpClientProxyTest : public HttpClientTest {
 protected:
  void SetUp() override {
    HttpClientTest::SetUp();
    ASSERT_TRUE(peer_.ok());
  }
  void UseProxy(int32_t type, uint16_t port, const char* user = "", const char* password = "") {
    Put(kClientProxyType, Variant(type));
    Put(kClientProxyHost, Variant::FromUtf8("127.0.0.1"));
    Put(kClientProxyPort, Variant(static_cast<int32_t>(port)));
    Put(kClientProxyUserName, Variant::FromUtf8(user));
    Put(kClientProxyPassword, Variant::FromUtf8(password));
  }
  // Whether the last request reached the page through tinyproxy, which names itself in Via.
  bool CameThroughTinyproxy() {
    const auto requests = peer_.Requests();
    return !requests.empty() && testkit::HeaderValue(requests.back(), "Via").find("tinyproxy") != std::string::npos;
  }

  testkit::TempDir proxyDir_{"vorlane-http-proxy"};
  HttpPeer peer_{{{"/page", {.body = "through"}}}};
};

TEST_F(HttpClientProxyTest, HttpProxyWithAndWithoutCredentials) {
  const uint16_t openPort = static_cast<uint16_t>(testkit::FreePort());
  auto open = tcpclient::testing::StartTinyproxy(proxyDir_, openPort, false, {});
  ASSERT_TRUE(open->WaitReady(openPort)) << open->Log();
  for (int32_t type : {kProxyWebStandard, kProxyRelay}) {
    UseProxy(type, openPort);
    const Fetched fetched = Fetch(peer_.Url("/page"));
    EXPECT_EQ(fetched.events, Succeeded()) << type;
    EXPECT_EQ(fetched.text, "through");
    EXPECT_TRUE(CameThroughTinyproxy()) << type;
  }

  const uint16_t authPort = static_cast<uint16_t>(testkit::FreePort());
  auto guarded = tcpclient::testing::StartTinyproxy(proxyDir_, authPort, true, {});
  ASSERT_TRUE(guarded->WaitReady(authPort)) << guarded->Log();
  UseProxy(kProxyWebStandard, authPort, tcpclient::testing::kProxyUser, tcpclient::testing::kProxyPassword);
  Fetched fetched = Fetch(peer_.Url("/page"));
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_EQ(fetched.status, 200);
  EXPECT_TRUE(CameThroughTinyproxy());
  // The proxy's refusal is a response like any other; the page is not reached.
  const size_t before = peer_.Requests().size();
  UseProxy(kProxyWebStandard, authPort, tcpclient::testing::kProxyUser, "wrong");
  fetched = Fetch(peer_.Url("/page"));
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_TRUE(fetched.status == 401 || fetched.status == 407) << fetched.status;
  EXPECT_EQ(peer_.Requests().size(), before);
}

TEST_F(HttpClientProxyTest, SocksProxiesOfEveryKind) {
  const uint16_t port = static_cast<uint16_t>(testkit::FreePort());
  auto danted = tcpclient::testing::StartDanted(proxyDir_, port);
  ASSERT_TRUE(danted->WaitReady(port)) << danted->Log();
  const std::string pagePort = std::to_string(peer_.port());
  const struct {
    int32_t type;
    const char* host;
    const char* user;
    const char* password;
    bool through;
  } cases[] = {
      {kProxySocks4, "127.0.0.1", "", "", true},
      {kProxySocks5, "localhost", "", "", true},
      {kProxySocks5, "127.0.0.1", tcpclient::testing::kProxyUser, tcpclient::testing::kProxyPassword, true},
      {kProxySocks5, "127.0.0.1", tcpclient::testing::kProxyUser, "wrong", false},
  };
  for (const auto& c : cases) {
    UseProxy(c.type, port, c.user, c.password);
    const size_t before = peer_.Requests().size();
    const Fetched fetched = Fetch("http://" + std::string(c.host) + ":" + pagePort + "/page");
    if (c.through) {
      EXPECT_EQ(fetched.events, Succeeded()) << c.type << " " << c.host << " " << danted->Log();
      EXPECT_EQ(fetched.text, "through");
      EXPECT_EQ(peer_.Requests().size(), before + 1);
    } else {
      ASSERT_EQ(fetched.events.size(), 1u);
      EXPECT_TRUE(fetched.events[0].starts_with("Done:97:")) << fetched.events[0];
      EXPECT_EQ(peer_.Requests().size(), before);
    }
  }
  // Without the proxy there is no way to the page: every type goes through it.
  for (int32_t type : {kProxySocks4, kProxySocks5}) {
    UseProxy(type, testkit::ClosedPort());
    const Fetched fetched = Fetch("http://127.0.0.1:" + pagePort + "/page");
    ASSERT_EQ(fetched.events.size(), 1u);
    EXPECT_TRUE(fetched.events[0].starts_with("Done:7:")) << fetched.events[0];
  }
}

// danted takes a SOCKS4a request's address 0.0.0.x literally and refuses it, so SOCKS4a meets a
// small peer of the test's own: it checks the request, grants it and then serves the page itself.
TEST_F(HttpClientProxyTest, Socks4aHandsTheHostNameToTheProxy) {
  std::string named;
  testkit::PeerServer socks4a([&named](testkit::PeerConnection& connection) {
    std::string request;
    // version 4, connect, port, 0.0.0.x, user id NUL, host name NUL
    auto complete = [&request] {
      const size_t user = request.size() > 8 ? request.find('\0', 8) : std::string::npos;
      return user != std::string::npos && request.find('\0', user + 1) != std::string::npos;
    };
    for (int round = 0; round < 100 && !complete(); ++round) {
      const std::string data = connection.Receive(5s);
      if (data.empty()) return;
      request += data;
    }
    if (request.size() < 10 || request[0] != 4 || request[1] != 1 || request.substr(4, 3) != std::string(3, '\0')) {
      return;
    }
    const size_t user = request.find('\0', 8);
    named = request.substr(user + 1, request.find('\0', user + 1) - user - 1);
    if (!connection.Send(std::string("\0\x5a\0\0\0\0\0\0", 8))) return;
    if (connection.Receive(5s).find("\r\n\r\n") == std::string::npos) return;
    (void)connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: close\r\n\r\nthrough");
  });
  ASSERT_TRUE(socks4a.ok());
  UseProxy(kProxySocks4a, socks4a.port());
  const Fetched fetched = Fetch("http://somewhere.invalid:8080/page");
  EXPECT_EQ(fetched.events, Succeeded());
  EXPECT_EQ(fetched.text, "through");
  EXPECT_EQ(named, "somewhere.invalid");
}

TEST_F(HttpClientProxyTest, EnvironmentProxyIsTakenUnlessTheHostIsExempt) {
  const uint16_t port = static_cast<uint16_t>(testkit::FreePort());
  auto tinyproxy = tcpclient::testing::StartTinyproxy(proxyDir_, port, false, {});
  ASSERT_TRUE(tinyproxy->WaitReady(port)) << tinyproxy->Log();
  testkit::ScopedEnv proxy("http_proxy", "http://127.0.0.1:" + std::to_string(port));
  testkit::ScopedEnv all("all_proxy", std::nullopt);
  Put(kClientProxyType, Variant(int32_t{kProxyEnvironment}));
  {
    testkit::ScopedEnv exempt("no_proxy", std::nullopt);
    testkit::ScopedEnv exemptUpper("NO_PROXY", std::nullopt);
    EXPECT_EQ(Fetch(peer_.Url("/page")).events, Succeeded());
    EXPECT_TRUE(CameThroughTinyproxy());
  }
  {
    testkit::ScopedEnv exempt("no_proxy", "127.0.0.1");
    EXPECT_EQ(Fetch(peer_.Url("/page")).events, Succeeded());
    EXPECT_FALSE(CameThroughTinyproxy());
  }
  // ProxyNone ignores the environment.
  Put(kClientProxyType, Variant(int32_t{kProxyNone}));
  EXPECT_EQ(Fetch(peer_.Url("/page")).events, Succeeded());
  EXPECT_FALSE(CameThroughTinyproxy());
}

TEST_F(HttpClientProxyTest, ProxyThatIsNotThereFailsTheTransfer) {
  UseProxy(kProxyWebStandard, testkit::ClosedPort());
  const Fetched fetched = Fetch(peer_.Url("/page"));
  ASSERT_EQ(fetched.events.size(), 1u);
  EXPECT_TRUE(fetched.events[0].starts_with("Done:7:")) << fetched.events[0];
}

}  // namespace
}  // namespace vorlane::httpclient
