// The TCP client control with TLS, as a client drives it: created by class id on the test
// thread's apartment, against `openssl s_server` and small peers on loopback, with certificates
// the test makes. The private authority is trusted, where a case needs it, through the standard
// SSL_CERT_FILE variable that OpenSSL's default trust paths honour; otherwise the certificate is
// accepted by the container (SSLServerAuthentication, SSLAcceptServerCert).
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cipher/base64.h"
#include "platform/com/bstr.h"
#include "platform/com/late_binding.h"
#include "platform/net/openssl_handles.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tests/proxy_servers.h"
#include "tcpclient/tests/recording_sink.h"
#include "tcpclient/tests/test_certificates.h"
#include "tcpclient/tests/tls_server.h"
#include "testing/agent_process.h"
#include "testing/peer_server.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient {
namespace {

using namespace std::chrono_literals;
using com::Bstr;
using com::HRESULT;
using com::S_OK;
using testing::TestCertificates;
using testing::TlsServer;
using testkit::PeerConnection;
using testkit::PeerServer;

constexpr char kUntrustedRoot[] =
    "[0x800b0109] A certification chain processed correctly but terminated in a root certificate not trusted by "
    "the trust provider.";

using testing::CodeText;
using testing::Failure;
using testing::Outcome;

// The base64 body of a PEM certificate, on one line: the control's form of a certificate.
std::string PemBody(const std::string& pem) {
  const size_t begin = pem.find('\n') + 1;
  std::string body;
  for (char c : pem.substr(begin, pem.find("-----END") - begin)) {
    if (c != '\n' && c != '\r') body += c;
  }
  return body;
}

// What `s_server -rev` answers to one line: reversed.
std::string Reverse(std::string line) { return {line.rbegin(), line.rend()}; }

class KelplineTlsTest : public testing::KelplineFixture {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<testkit::TempDir>("vorlane-kelpline-tls");
    certificates_ = std::make_unique<TestCertificates>(*folder_);
    authorityFile_ = folder_->WriteFile("authority.pem", certificates_->AuthorityPem());
  }
  static void TearDownTestSuite() {
    certificates_.reset();
    folder_.reset();
  }

  void SetUp() override {
    ASSERT_TRUE(certificates_->Made());
    ASSERT_NO_FATAL_FAILURE(KelplineFixture::SetUp());
  }

  static std::unique_ptr<TlsServer> Serve(const std::filesystem::path& certificate,
                                          std::vector<std::string> options = {"-rev"}) {
    auto server = std::make_unique<TlsServer>(*folder_, certificate, certificates_->key, std::move(options));
    EXPECT_TRUE(server->Ready()) << server->Log();
    return server;
  }
  // The test's authority among the trusted ones while the result lives.
  static std::unique_ptr<testkit::ScopedEnv> TrustAuthority() {
    return std::make_unique<testkit::ScopedEnv>("SSL_CERT_FILE", authorityFile_.string());
  }

  Failure Connect(uint16_t port, std::string_view host = "localhost") {
    return Outcome(control_->Connect(Bstr::FromUtf8(host).get(), port));
  }
  std::string Text(HRESULT (IKelpline::*getter)(com::BSTR*)) {
    Bstr value;
    EXPECT_EQ((control_.get()->*getter)(value.put()), S_OK);
    return value.ToUtf8();
  }
  // The Timeout, and the EOL ("\n" unless given) that cuts what arrives into lines.
  void SetTimeoutAndEol(int16_t timeout, const char16_t* eol = u"\n") {
    ASSERT_EQ(control_->put_Timeout(timeout), S_OK);
    ASSERT_EQ(control_->put_EOL(Bstr(eol).get()), S_OK);
  }
  // Sends `line` and waits for the reversed answer of `s_server -rev` (EOL "\n").
  void ExpectEcho(const std::string& line) {
    const size_t before = sink_->Only("DataIn:").size();
    ASSERT_EQ(control_->Send(Bstr::FromUtf8(line + "\n").get()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return sink_->Only("DataIn:").size() > before; }));
    EXPECT_EQ(sink_->Only("DataIn:").back(), "DataIn:" + Reverse(line) + ":1");
  }

  static inline std::unique_ptr<testkit::TempDir> folder_;
  static inline std::unique_ptr<TestCertificates> certificates_;
  static inline std::filesystem::path authorityFile_;
};

TEST_F(KelplineTlsTest, ImplicitTlsCarriesLinesBothWays) {
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server);
  for (TSSLStartMode mode : {sslAutomatic, sslImplicit}) {
    SCOPED_TRACE(mode);
    sink_->events.clear();
    ASSERT_EQ(control_->put_SSLStartMode(mode), S_OK);
    ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(10));
    const Failure connect = Connect(server->Port());
    ASSERT_EQ(connect.code, 0) << connect.text << "\n" << server->Log();
    EXPECT_TRUE(Connected());
    // The TCP connection first, then the handshake, the container's word on the certificate
    // (offered as accepted: it passed), then Connected.
    sink_->ExpectInOrder({"Status:Remote host connection complete.:0", "SSLStatus:Socket connection established.",
                          "SSLStatus:Starting secure channel handshake.", "Auth:[0x0] OK:offered true",
                          "SSLStatus:SSL handshake complete.", "Connected:0:OK"});
    EXPECT_EQ(sink_->Only("Auth:").size(), 1u);
    EXPECT_EQ(Text(&IKelpline::get_SSLServerCertStatus), "[0x0] OK");
    EXPECT_EQ(Text(&IKelpline::get_SSLServerCert), PemBody(testing::ReadPem(certificates_->server)));

    ExpectEcho("hello over tls");
    ExpectEcho("second line");
    // GetLine reads the decrypted stream too.
    ASSERT_EQ(control_->Send(Bstr(u"by getline\n").get()), S_OK);
    Bstr line;
    ASSERT_EQ(control_->GetLine(line.put()), S_OK);
    EXPECT_EQ(line.ToUtf8(), Reverse("by getline"));

    ASSERT_EQ(control_->Disconnect(), S_OK);
    EXPECT_FALSE(Connected());
    sink_->ExpectInOrder({"SSLStatus:SSL connection terminated.", "Disconnected:0:OK"});
  }
}

TEST_F(KelplineTlsTest, DataQueuedWhileConnectingWaitsForTheSession) {
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server);
  ASSERT_EQ(control_->put_EOL(Bstr(u"\n").get()), S_OK);
  // Without Timeout the connect and the send report by events; the line is kept until the
  // session is open, and goes encrypted.
  ASSERT_EQ(Connect(server->Port()).code, 0);
  EXPECT_FALSE(Connected());
  const Failure send = Outcome(control_->Send(Bstr(u"queued early\n").get()));
  EXPECT_EQ(send.code, 10035) << "the line waits: " << send.text;
  ASSERT_TRUE(PumpUntil([&] { return sink_->Has("DataIn:" + Reverse("queued early") + ":1"); }))
      << server->Log();
  sink_->ExpectInOrder({"Connected:0:OK", "DataIn:" + Reverse("queued early") + ":1"});
  ASSERT_EQ(control_->Disconnect(), S_OK);
}

TEST_F(KelplineTlsTest, TheServersCloseNotifyEndsTheConnection) {
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server, {"-www"});
  ASSERT_EQ(control_->put_Timeout(10), S_OK);
  ASSERT_EQ(Connect(server->Port()).code, 0);
  // -www answers one request with a page, then sends close_notify and closes.
  ASSERT_EQ(control_->Send(Bstr(u"GET / HTTP/1.0\r\n\r\n").get()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Disconnected:").empty(); }));
  EXPECT_FALSE(Connected());
  EXPECT_FALSE(sink_->Only("DataIn:HTTP/1.0 200 ok").empty());
  sink_->ExpectInOrder({"SSLStatus:Server signaled end of session.", "SSLStatus:SSL connection terminated.",
                        "Status:Remote host disconnected.:0", "Disconnected:0:Remote host disconnected."});
}

TEST_F(KelplineTlsTest, TheHandshakeFollowsTheFirewallNegotiation) {
  if (::access(testing::kDanted, X_OK) != 0) GTEST_SKIP() << "danted is not installed (Debian package dante-server)";
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server);
  const auto port = static_cast<uint16_t>(testkit::FreePort());
  std::unique_ptr<testing::ProxyProcess> danted = testing::StartDanted(*folder_, port);
  ASSERT_TRUE(danted->WaitReady(port)) << danted->Log();
  ASSERT_EQ(control_->put_FirewallType(fwSOCKS5), S_OK);
  ASSERT_EQ(Config("FirewallHost=127.0.0.1"), "");
  ASSERT_EQ(control_->put_FirewallPort(port), S_OK);
  ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(10));
  const Failure connect = Connect(server->Port(), "127.0.0.1");
  ASSERT_EQ(connect.code, 0) << connect.text << "\n" << danted->Log();
  sink_->ExpectInOrder(
      {"Status:Firewall connection complete.:0", "SSLStatus:Socket connection established.", "Connected:0:OK"});
  ExpectEcho("through the firewall");
  ASSERT_EQ(control_->Disconnect(), S_OK);
}

// Every server certificate is put to the container, with Accept as decided so far: true for one
// that passed or is the one accepted in advance; the container's answer decides.
TEST_F(KelplineTlsTest, TheServerCertificateIsDecidedAsTheContainerSays) {
  enum Which { kServer, kExpired, kOtherName };
  struct Case {
    const char* name;
    Which certificate;
    bool trustAuthority;
    std::optional<bool> answer;  // the container's; none leaves Accept as offered
    bool acceptProperty;         // SSLAcceptServerCert = the presented certificate
    const char* securityFlags;
    const char* status;          // the event's status text begins so ("" when not checked)
    bool offered;                // Accept as the event offers it
    bool connects;
  };
  const Case cases[] = {
      {"trusted", kServer, true, std::nullopt, false, "0", "[0x0] OK", true, true},
      {"trusted, refused by the container", kServer, true, false, false, "0", "[0x0] OK", true, false},
      {"untrusted root refused", kServer, false, std::nullopt, false, "0", kUntrustedRoot, false, false},
      {"untrusted root accepted", kServer, false, true, false, "0", kUntrustedRoot, false, true},
      {"accepted by property", kServer, false, std::nullopt, true, "0", "", true, true},
      {"expired", kExpired, true, std::nullopt, false, "0", "[0x800b0101] ", false, false},
      {"other name", kOtherName, true, std::nullopt, false, "0", "[0x800b010f] ", false, false},
      {"other name, no name check", kOtherName, true, std::nullopt, false, "0x80000000", "[0x0] OK", true, true},
  };
  const std::filesystem::path files[] = {certificates_->server, certificates_->expired, certificates_->otherName};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = Serve(files[c.certificate]);
    std::unique_ptr<testkit::ScopedEnv> trust;
    if (c.trustAuthority) trust = TrustAuthority();
    sink_->events.clear();
    sink_->accept = c.answer;
    const std::string presented = testing::ReadPem(files[c.certificate]);
    ASSERT_EQ(control_->put_SSLAcceptServerCert(Bstr::FromUtf8(c.acceptProperty ? presented : "").get()), S_OK);
    ASSERT_EQ(Config(std::string("SSLSecurityFlags=") + c.securityFlags), "");
    ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(10));

    const Failure connect = Connect(server->Port());
    const std::vector<std::string> questions = sink_->Only("Auth:");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].starts_with(std::string("Auth:") + c.status)) << questions[0];
    EXPECT_EQ(questions[0].ends_with(":offered true"), c.offered) << questions[0];
    EXPECT_EQ(sink_->authSubject.find("CN="), 0u) << sink_->authSubject;
    EXPECT_NE(sink_->authIssuer.find("CN="), std::string::npos) << sink_->authIssuer;
    EXPECT_EQ(sink_->authEncoded, PemBody(presented));
    EXPECT_TRUE(questions[0].starts_with("Auth:" + Text(&IKelpline::get_SSLServerCertStatus))) << questions[0];
    EXPECT_EQ(Text(&IKelpline::get_SSLServerCert), PemBody(presented));
    if (c.connects) {
      ASSERT_EQ(connect.code, 0) << connect.text;
      EXPECT_TRUE(Connected());
      ExpectEcho("decided");
      ASSERT_EQ(control_->Disconnect(), S_OK);
    } else {
      EXPECT_EQ(connect, (CodeText{276, "Server certificate verification failed. Connection aborted."}));
      EXPECT_FALSE(Connected());
      EXPECT_TRUE(sink_->Has("SSLStatus:Server certificate verification failed. Aborting connection..."));
      EXPECT_TRUE(sink_->Has("SSLStatus:SSL handshake failed."));
      EXPECT_TRUE(sink_->Has("Connected:276:Server certificate verification failed. Connection aborted."));
      EXPECT_TRUE(sink_->Only("DataIn:").empty());
    }
  }
}

TEST_F(KelplineTlsTest, ATls10OnlyServerIsRefusedByDefault) {
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server, {"-rev", "-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"});
  ASSERT_EQ(control_->put_Timeout(10), S_OK);
  const Failure connect = Connect(server->Port());
  EXPECT_EQ(connect.code, 276) << connect.text;
  EXPECT_FALSE(Connected());
  ASSERT_EQ(sink_->Only("Connected:").size(), 1u);
  EXPECT_TRUE(sink_->Only("Connected:")[0].starts_with("Connected:276:")) << sink_->Only("Connected:")[0];
  EXPECT_TRUE(sink_->Has("SSLStatus:SSL handshake failed."));
}

TEST_F(KelplineTlsTest, HostilePeersFailTheConnectCleanly) {
  struct Case {
    const char* name;
    PeerServer::Behaviour behaviour;
    const char* text;
  };
  const Case cases[] = {
      {"closes during the handshake", [](PeerConnection& peer) { (void)peer.Receive(); },
       "Server disconnected before handshake completion [0x80090318]"},
      {"answers garbage",
       [](PeerConnection& peer) {
         (void)peer.Receive();
         (void)peer.Send(std::string(300, '\x07') + "not a handshake");
         (void)peer.WaitForClientClose();
       },
       "error during handshake[2]: 0x80090326"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerServer server(c.behaviour);
    ASSERT_TRUE(server.ok());
    sink_->events.clear();
    ASSERT_EQ(control_->put_Timeout(10), S_OK);
    EXPECT_EQ(Connect(server.port(), "127.0.0.1"), (CodeText{276, c.text}));
    EXPECT_FALSE(Connected());
    sink_->ExpectInOrder({std::string("Error:276:") + c.text, "SSLStatus:SSL handshake failed.",
                          std::string("Connected:276:") + c.text});
    EXPECT_TRUE(sink_->Only("Disconnected:").empty());
  }
}

TEST_F(KelplineTlsTest, AFailedConnectIsToldThroughSslStatusBeforeConnected) {
  ASSERT_EQ(control_->put_Timeout(10), S_OK);
  const std::string connected = "Connected:10061:" + Connect(testkit::ClosedPort(), "127.0.0.1").text;
  sink_->ExpectInOrder({"SSLStatus:Connection to host failed.", connected});
}

TEST_F(KelplineTlsTest, AHandshakeThatDoesNotFinishInTimeIsAbandoned) {
  // The server takes the connection and never answers the client's hello.
  PeerServer server([](PeerConnection& peer) { (void)peer.WaitForClientClose(); });
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(Config("TimeoutInMilliseconds=true"), "");
  ASSERT_EQ(control_->put_Timeout(300), S_OK);
  const auto start = std::chrono::steady_clock::now();
  const Failure connect = Connect(server.port(), "127.0.0.1");
  EXPECT_EQ(connect.code, 301) << connect.text;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(Connected());
  EXPECT_TRUE(sink_->Has("SSLStatus:Starting secure channel handshake."));
  EXPECT_TRUE(sink_->Only("Connected:").empty());
  // The abandoned attempt leaves nothing behind that a second connect would trip over.
  EXPECT_EQ(Connect(server.port(), "127.0.0.1").code, 301);
}

// A server that greets in plain text, waits for "STARTTLS", agrees, and then speaks TLS on the
// same connection with the OpenSSL library, answering each line with "secure: " and the line.
void StartTlsPeer(SSL_CTX* context, PeerConnection& peer) {
  timeval limit{10, 0};  // every blocking read of the TLS part ends within 10 s
  (void)::setsockopt(peer.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (!peer.Send("220 plain greeting\r\n")) return;
  // The client sends nothing more before the answer, so no byte of its handshake is read here.
  std::string command;
  for (int round = 0; round < 100 && !command.ends_with("\r\n") && !peer.Closed(); ++round) command += peer.Receive();
  if (command != "STARTTLS\r\n" || !peer.Send("220 go ahead\r\n")) return;
  net::SslPtr ssl(SSL_new(context));
  SSL_set_fd(ssl.get(), peer.fd());
  if (SSL_accept(ssl.get()) != 1) return;
  char buffer[1024];
  std::string line;
  for (int round = 0; round < 100; ++round) {
    const int count = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (count <= 0) break;
    line.append(buffer, static_cast<size_t>(count));
    if (!line.ends_with("\r\n")) continue;
    const std::string answer = "secure: " + line;
    if (SSL_write(ssl.get(), answer.data(), static_cast<int>(answer.size())) <= 0) break;
    line.clear();
  }
  (void)SSL_shutdown(ssl.get());
}

TEST_F(KelplineTlsTest, ExplicitStartAfterAPlainGreeting) {
  net::SslContextPtr context(SSL_CTX_new(TLS_server_method()));
  ASSERT_TRUE(context);
  ASSERT_EQ(SSL_CTX_use_certificate_file(context.get(), certificates_->server.c_str(), SSL_FILETYPE_PEM), 1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(context.get(), certificates_->key.c_str(), SSL_FILETYPE_PEM), 1);
  PeerServer peer([&](PeerConnection& connection) { StartTlsPeer(context.get(), connection); });
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(control_->put_SSLStartMode(sslExplicit), S_OK);
  ASSERT_EQ(control_->put_SSLAcceptServerCert(Bstr::FromUtf8(testing::ReadPem(certificates_->server)).get()), S_OK);
  ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(10, u"\r\n"));
  const Failure connect = Connect(peer.port(), "127.0.0.1");
  ASSERT_EQ(connect.code, 0) << connect.text;
  EXPECT_TRUE(sink_->Has("Connected:0:OK"));
  EXPECT_TRUE(sink_->Only("SSLStatus:").empty()) << "plain until StartSSL";
  ASSERT_TRUE(PumpUntil([&] { return sink_->Has("DataIn:220 plain greeting:1"); }));

  ASSERT_EQ(control_->SendLine(Bstr(u"STARTTLS").get()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink_->Has("DataIn:220 go ahead:1"); }));
  const Failure start = Outcome(com::CallMethod(dispatch_.get(), kKelplineStartSsl));
  ASSERT_EQ(start.code, 0) << start.text;
  EXPECT_TRUE(Connected());
  EXPECT_TRUE(sink_->Has("SSLStatus:SSL handshake complete."));
  EXPECT_EQ(sink_->Only("Connected:").size(), 2u) << "once for TCP, once for the secured connection";

  ASSERT_EQ(control_->SendLine(Bstr(u"over tls").get()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink_->Has("DataIn:secure: over tls:1"); }));
  ASSERT_EQ(control_->Disconnect(), S_OK);
  EXPECT_TRUE(sink_->Has("SSLStatus:SSL connection terminated."));
}

TEST_F(KelplineTlsTest, AMegabyteEachWayArrivesIntact) {
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server);
  ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(20));
  ASSERT_EQ(Connect(server->Port()).code, 0);
  std::string received;
  sink_->onEvent = [&](com::DISPID id) {
    // "DataIn:<line>:1"
    if (id == kEventDataIn) received += sink_->events.back().substr(7, sink_->events.back().size() - 9) + "\n";
  };

  // Lines of 1000 pseudo-random printable bytes, 16 at a time, each batch answered before the next.
  uint32_t seed = 4711;
  std::string expected;
  size_t sent = 0;
  constexpr size_t kTotal = 1 << 20;
  for (int chunk = 0; chunk < 200 && sent < kTotal; ++chunk) {
    std::string lines;
    for (int line = 0; line < 16; ++line) {
      std::string text = "x";
      for (int i = 1; i < 1000; ++i) {
        seed = seed * 1103515245u + 12345u;
        text += static_cast<char>('!' + (seed >> 16) % 90);
      }
      lines += text + "\n";
      expected += Reverse(text) + "\n";
    }
    sent += lines.size();
    ASSERT_EQ(control_->Send(Bstr::FromUtf8(lines).get()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= expected.size(); })) << "after " << sent;
  }
  sink_->onEvent = nullptr;
  EXPECT_GE(sent, kTotal);
  EXPECT_TRUE(received == expected);
  ASSERT_EQ(control_->Disconnect(), S_OK);
}

TEST_F(KelplineTlsTest, ReuseSslSessionResumesTheNextConnection) {
  auto trust = TrustAuthority();
  auto server = Serve(certificates_->server);
  constexpr char kResumed[] = "SSLStatus:Resumed the SSL session of the previous connection.";
  struct Case {
    const char* name;
    const char* reuse;
    bool resumed;
  };
  const Case cases[] = {{"kept", "ReuseSSLSession=true", true}, {"not kept", "ReuseSSLSession=false", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Config(c.reuse), "");
    ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(10));
    for (int connection = 0; connection < 2; ++connection) {
      sink_->events.clear();
      ASSERT_EQ(Connect(server->Port()).code, 0);
      // The server's session tickets come with its first answer.
      ExpectEcho("ticket please");
      ASSERT_EQ(control_->Disconnect(), S_OK);
      EXPECT_EQ(sink_->Has(kResumed), connection == 1 && c.resumed) << connection;
    }
  }
}

TEST_F(KelplineTlsTest, AServerThatAsksForACertificateGetsTheOneTheContainerChose) {
  constexpr char kAlice[] = "CN=Alice Client, O=Vorlane Test, C=DE";
  constexpr char kBob[] = "CN=Bob Client, O=Vorlane Test, C=DE";
  constexpr char kRequested[] = "SSLStatus:Client certificate requested from server.";
  // The per-user store "MY": Bob, then Alice's certificate without its key, then Alice.
  testkit::TempDir home("vorlane-kelpline-stores");
  const std::filesystem::path store = home.Path() / "vorlane" / "certificates" / "MY";
  std::filesystem::create_directories(store);
  ASSERT_TRUE(testkit::WriteFile(store / "1-bob.pem", testkit::ReadFile(certificates_->bobBundle)));
  ASSERT_TRUE(testkit::WriteFile(store / "2-alice-alone.pem", testkit::ReadFile(certificates_->aliceCertificate)));
  ASSERT_TRUE(testkit::WriteFile(store / "3-alice.pem", testkit::ReadFile(certificates_->aliceBundle)));
  testkit::ScopedEnv config("XDG_CONFIG_HOME", home.Path().string());
  auto trust = TrustAuthority();
  // The server insists on a certificate by the test's authority, and names that authority.
  auto server = Serve(certificates_->server, {"-rev", "-Verify", "1", "-CAfile", authorityFile_.string()});
  const std::string pkcs12 = cipher::Base64EncodeToString(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(certificates_->alicePkcs12.data()), certificates_->alicePkcs12.size()));

  struct Case {
    const char* name;
    TSSLCertStoreType type;
    std::string store;
    const char* subject;
    const char* config;        // further Config settings
    const char* error;         // the Error event that tells why no certificate was offered, or null
    const char* chosen;        // SSLCertSubject afterwards; null: the server refuses the connection
  };
  const Case cases[] = {
      {"PEM text", sstPEMKey, testkit::ReadFile(certificates_->aliceBundle), "*", "", nullptr, kAlice},
      {"the user's store, by a part of the name", sstUser, "MY", "Bob", "", nullptr, kBob},
      {"the user's store, the first", sstUser, "MY", "*", "", nullptr, kBob},
      {"PKCS#12 image", sstPFXBlob, pkcs12, "Alice Client", "", nullptr, kAlice},
      {"none chosen, the default offered", sstUser, "MY", "", "UseDefaultCredentials=true", nullptr, kBob},
      {"none chosen", sstUser, "MY", "", "", nullptr, nullptr},
      {"none chosen, over TLS 1.2", sstUser, "MY", "", "SSLEnabledProtocols=3072", nullptr, nullptr},
      {"none found", sstUser, "MY", "Nobody", "", "Error:272:The certificate could not be found (0x80092004).",
       nullptr},
      {"store not there", sstUser, "NOSUCH", "*", "", "Error:271:The certificate store could not be opened (2).",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Config("UseDefaultCredentials=false"), "");
    ASSERT_EQ(Config("SSLEnabledProtocols=255"), "");
    if (*c.config != '\0') {
      ASSERT_EQ(Config(c.config), "");
    }
    ASSERT_EQ(control_->put_SSLCertStoreType(c.type), S_OK);
    ASSERT_EQ(control_->put_SSLCertStore(Bstr::FromUtf8(c.store).get()), S_OK);
    ASSERT_EQ(control_->put_SSLCertStorePassword(Bstr::FromUtf8(TestCertificates::kPkcs12Password).get()), S_OK);
    ASSERT_EQ(control_->put_SSLCertSubject(Bstr::FromUtf8(c.subject).get()), S_OK);
    ASSERT_NO_FATAL_FAILURE(SetTimeoutAndEol(10));
    sink_->events.clear();

    const Failure connect = Connect(server->Port());
    EXPECT_TRUE(sink_->Has(kRequested));
    if (c.error != nullptr) {
      EXPECT_TRUE(sink_->Has(c.error)) << ::testing::PrintToString(sink_->events);
    }
    if (c.chosen != nullptr) {
      ASSERT_EQ(connect.code, 0) << connect.text;
      EXPECT_TRUE(sink_->Only("Error:").empty()) << ::testing::PrintToString(sink_->events);
      EXPECT_EQ(Text(&IKelpline::get_SSLCertSubject), *c.subject ? c.chosen : "");
      ExpectEcho("known client");
      ASSERT_EQ(control_->Disconnect(), S_OK);
      // What the server saw.
      const std::string commonName = std::string(c.chosen).substr(3, std::string(c.chosen).find(',') - 3);
      EXPECT_TRUE(PumpUntil([&] { return server->Log().find(commonName) != std::string::npos; })) << server->Log();
    } else {
      // Refused by the server: at once over TLS 1.2; over TLS 1.3 the client's part of the handshake
      // is over before the server has looked, so its refusal ends the connection that just opened.
      ASSERT_TRUE(PumpUntil([&] { return !Connected(); }));
      EXPECT_TRUE(connect.code == 276 || !sink_->Only("Disconnected:276:").empty()) << connect.text;
      EXPECT_FALSE(sink_->Only("Error:276:").empty()) << ::testing::PrintToString(sink_->events);
      EXPECT_TRUE(sink_->Only("DataIn:").empty());
      (void)control_->Disconnect();
    }
  }
  // A chosen certificate whose key the store does not hold cannot be offered at all.
  sink_->events.clear();
  ASSERT_EQ(control_->put_SSLCertStore(Bstr(u"MY").get()), S_OK);
  ASSERT_EQ(control_->put_SSLCertSubject(Bstr::FromUtf8(kAlice).get()), S_OK);
  EXPECT_EQ(Connect(server->Port()), (CodeText{273, "Could not acquire security credentials: error 0x8009030e."}));
  EXPECT_FALSE(Connected());
}

TEST_F(KelplineTlsTest, TwoHundredConnectionsLeaveNoDescriptor) {
  auto server = Serve(certificates_->server);
  ASSERT_EQ(control_->put_SSLAcceptServerCert(Bstr::FromUtf8(testing::ReadPem(certificates_->server)).get()), S_OK);
  ASSERT_EQ(control_->put_Timeout(10), S_OK);
  // One connection first, so that what OpenSSL sets up once per process is in the baseline.
  ASSERT_EQ(Connect(server->Port()).code, 0);
  ASSERT_EQ(control_->Disconnect(), S_OK);
  const int baseline = testkit::OpenDescriptors();
  ASSERT_GT(baseline, 0);
  for (int round = 0; round < 200; ++round) {
    const Failure connect = Connect(server->Port());
    ASSERT_EQ(connect.code, 0) << "round " << round << ": " << connect.text;
    ASSERT_EQ(control_->Disconnect(), S_OK) << round;
  }
  EXPECT_EQ(testkit::OpenDescriptors(), baseline);
  EXPECT_EQ(sink_->Only("Connected:0:OK").size(), 201u);
  EXPECT_TRUE(sink_->Only("Error:").empty());
}

}  // namespace
}  // namespace vorlane::tcpclient
