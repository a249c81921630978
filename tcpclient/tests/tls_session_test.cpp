// The TLS session engine against real `openssl s_server` peers and hostile plain peers on
// loopback, driven over a real socket as the control drives it: TakeOutput to the socket, what
// the socket brings into Feed. Certificates are made by the test.
#include "tcpclient/tls_session.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tcpclient/tests/proxy_servers.h"
#include "tcpclient/tests/test_certificates.h"
#include "tcpclient/tests/tls_server.h"
#include "tcpclient/tls_status.h"
#include "testing/peer_server.h"
#include "testing/poll_until.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient {
namespace {

using namespace std::chrono_literals;
using testing::ConnectLoopback;
using testing::SendAll;
using testing::TestCertificates;
using testing::TlsServer;
using testkit::PeerConnection;
using testkit::PeerServer;
using State = TlsSession::State;

// The session over one real connection, pumped by hand.
class Client {
 public:
  Client(uint16_t port, TlsSettings settings) : fd_(ConnectLoopback(port)), session_(std::move(settings)) {}

  TlsSession& Session() { return session_; }
  bool Connected() const { return fd_.valid(); }
  bool PeerEof() const { return eof_; }
  std::string& Plaintext() { return plaintext_; }
  const std::vector<std::string>& Messages() const { return messages_; }

  // Moves bytes both ways until `done` holds, the session fails, the peer ends the connection,
  // or 10 seconds pass; whether `done` held.
  template <class Done>
  bool PumpUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int round = 0; round < 100000; ++round) {
      Flush();
      if (done()) return true;
      if (session_.Current() == State::kFailed || eof_ || std::chrono::steady_clock::now() >= deadline) break;
      pollfd ready{fd_.get(), POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      char buffer[64 * 1024];
      const ssize_t count = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (count > 0) {
        plaintext_ += session_.Feed(std::string_view(buffer, static_cast<size_t>(count)));
      } else {
        eof_ = true;
        session_.PeerEnded();
      }
    }
    Flush();
    return done();
  }

  bool Handshake() {
    session_.Start();
    return PumpUntil([&] { return session_.Current() != State::kHandshaking; });
  }

  // Writes the session's output to the socket and keeps its status texts.
  void Flush() {
    const std::string output = session_.TakeOutput();
    if (!output.empty() && !SendAll(fd_.get(), output)) sendFailed_ = true;
    for (std::string& message : session_.TakeStatusMessages()) messages_.push_back(std::move(message));
  }

  bool SendFailed() const { return sendFailed_; }

 private:
  UniqueFd fd_;
  TlsSession session_;
  std::string plaintext_;
  std::vector<std::string> messages_;
  bool eof_ = false;
  bool sendFailed_ = false;
};

bool Contains(const std::vector<std::string>& messages, const std::string& text) {
  return std::find(messages.begin(), messages.end(), text) != messages.end();
}

bool ContainsPrefix(const std::vector<std::string>& messages, const std::string& prefix) {
  return std::any_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(prefix); });
}

// What `s_server -rev` answers to `lines`: each line reversed, newline kept.
std::string Reversed(const std::string& lines) {
  std::string answer;
  size_t start = 0;
  while (start < lines.size()) {
    const size_t end = lines.find('\n', start);
    std::string line = lines.substr(start, end - start);
    answer.append(line.rbegin(), line.rend());
    answer += '\n';
    start = end + 1;
  }
  return answer;
}

class TlsSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<testkit::TempDir>("vorlane-tls");
    certificates_ = std::make_unique<TestCertificates>(*folder_);
  }
  static void TearDownTestSuite() {
    certificates_.reset();
    folder_.reset();
  }
  void SetUp() override { ASSERT_TRUE(certificates_->Made()); }

  static std::unique_ptr<TlsServer> Serve(const std::filesystem::path& certificate,
                                          std::vector<std::string> options = {"-rev"}) {
    auto server = std::make_unique<TlsServer>(*folder_, certificate, certificates_->key, std::move(options));
    EXPECT_TRUE(server->Ready()) << server->Log();
    return server;
  }

  // Settings for `host`; with the test's authority trusted unless `trustAuthority` is false.
  static TlsSettings Trusting(std::string host = "localhost", bool trustAuthority = true) {
    TlsSettings settings;
    settings.host = std::move(host);
    if (trustAuthority) settings.extraTrustAnchorsPem = certificates_->AuthorityPem();
    return settings;
  }

  static inline std::unique_ptr<testkit::TempDir> folder_;
  static inline std::unique_ptr<TestCertificates> certificates_;
};

TEST_F(TlsSessionTest, ServerCertificatesAreJudgedAsThePolicyWould) {
  enum Which { kServer, kExpired, kOtherName, kSelfSigned };
  struct Case {
    const char* name;
    Which certificate;
    const char* host;
    bool trustAuthority;
    uint32_t securityFlags;
    int acceptForm;  // 0 none, 1 the presented certificate as PEM, 2 as base64 DER, 3 another one
    uint32_t status;
    State state;
  };
  const Case cases[] = {
      {"trusted by name", kServer, "localhost", true, 0, 0, kCertOk, State::kOpen},
      {"trusted by address", kServer, "127.0.0.1", true, 0, 0, kCertOk, State::kOpen},
      {"untrusted root", kServer, "localhost", false, 0, 0, kCertUntrustedRoot, State::kVerifying},
      {"self-signed", kSelfSigned, "localhost", false, 0, 0, kCertUntrustedRoot, State::kVerifying},
      {"unknown authority ignored", kServer, "localhost", false, kIgnoreUnknownCa, 0, kCertOk, State::kOpen},
      {"expired", kExpired, "localhost", true, 0, 0, kCertExpired, State::kVerifying},
      {"expiry ignored", kExpired, "localhost", true, kIgnoreDateInvalid, 0, kCertOk, State::kOpen},
      {"other name", kOtherName, "localhost", true, 0, 0, kCertNameMismatch, State::kVerifying},
      {"other address", kOtherName, "127.0.0.1", true, 0, 0, kCertNameMismatch, State::kVerifying},
      {"other name, no name check", kOtherName, "localhost", true, kNoServerName, 0, kCertOk, State::kOpen},
      {"accepted as PEM", kSelfSigned, "localhost", false, 0, 1, kCertOk, State::kOpen},
      {"accepted as base64 DER", kSelfSigned, "localhost", false, 0, 2, kCertOk, State::kOpen},
      {"another certificate accepted", kSelfSigned, "localhost", false, 0, 3, kCertUntrustedRoot, State::kVerifying},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path files[] = {certificates_->server, certificates_->expired, certificates_->otherName,
                                           certificates_->selfSigned};
    auto server = Serve(files[c.certificate]);
    TlsSettings settings = Trusting(c.host, c.trustAuthority);
    settings.securityFlags = c.securityFlags;
    const std::string presentedPem = testing::ReadPem(files[c.certificate]);
    if (c.acceptForm == 1) settings.acceptServerCert = presentedPem;
    if (c.acceptForm == 2) {
      // The body of a PEM block is the base64 of the DER, in lines.
      const size_t begin = presentedPem.find('\n') + 1;
      settings.acceptServerCert = presentedPem.substr(begin, presentedPem.find("-----END") - begin);
      ASSERT_EQ(settings.acceptServerCert.find('-'), std::string::npos);
    }
    if (c.acceptForm == 3) settings.acceptServerCert = testing::ReadPem(certificates_->server);
    Client client(server->Port(), settings);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Handshake()) << client.Session().ErrorText();
    TlsSession& session = client.Session();
    EXPECT_EQ(session.Current(), c.state) << session.ErrorText() << " / " << session.ErrorDetail();
    EXPECT_EQ(session.CertificateStatus(), c.status);
    EXPECT_EQ(session.CertificatePassed(), c.status == kCertOk);
    EXPECT_EQ(session.CertificateStatusText(), CertStatusText(c.status));
    ASSERT_TRUE(session.HasServerCertificate());
    const bool selfSigned = c.certificate == kSelfSigned;
    EXPECT_EQ(session.CertificateSubject(),
              c.certificate == kOtherName ? "CN=other.example, O=Vorlane Test, C=DE" : "CN=localhost, O=Vorlane Test, C=DE");
    EXPECT_EQ(session.CertificateIssuer(), selfSigned ? "CN=localhost, O=Vorlane Test, C=DE"
                                                      : "CN=Vorlane Test Authority, O=Vorlane Test, C=DE");
    if (c.state == State::kOpen) {
      EXPECT_EQ(client.Messages().back(), "SSL handshake complete.");
      EXPECT_TRUE(Contains(client.Messages(), "Negotiated SSL parameters:"));
    } else {
      EXPECT_FALSE(Contains(client.Messages(), "SSL handshake complete."));
      EXPECT_FALSE(session.Write("early")) << "nothing is sent before the decision";
    }
  }
}

// A certificate that did not pass holds the session for the container's word; so does one that
// passed when the container decides on every certificate. The session follows the word either way.
TEST_F(TlsSessionTest, TheSessionWaitsForTheContainerAndFollowsItsWord) {
  auto server = Serve(certificates_->server);
  struct Case {
    const char* name;
    bool askAlways;  // with the authority trusted; otherwise the root is untrusted
    bool accept;
  };
  const Case cases[] = {
      {"untrusted root, rejected", false, false},
      {"untrusted root, accepted", false, true},
      {"passed, asking always, accepted", true, true},
      {"passed, asking always, refused", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsSettings settings = Trusting("localhost", c.askAlways);
    settings.askAlways = c.askAlways;
    Client client(server->Port(), settings);
    ASSERT_TRUE(client.Handshake());
    TlsSession& session = client.Session();
    ASSERT_EQ(session.Current(), State::kVerifying);
    EXPECT_EQ(session.CertificatePassed(), c.askAlways);
    EXPECT_EQ(session.CertificateStatusText(),
              c.askAlways ? "[0x0] OK"
                          : "[0x800b0109] A certification chain processed correctly but terminated in a root "
                            "certificate not trusted by the trust provider.");
    session.Accept(c.accept);
    client.Flush();
    EXPECT_EQ(session.Current(), c.accept ? State::kOpen : State::kFailed);
    if (!c.accept) {
      EXPECT_EQ(session.ErrorCode(), kTlsErrHandshake);
      EXPECT_EQ(session.ErrorText(), "Server certificate verification failed. Connection aborted.");
      EXPECT_EQ(client.Messages().back(), "Server certificate verification failed. Aborting connection...");
      EXPECT_FALSE(session.Write("x"));
      continue;
    }
    EXPECT_EQ(client.Messages().back(), "SSL handshake complete.");
    ASSERT_TRUE(session.Write("after the decision\n"));
    ASSERT_TRUE(client.PumpUntil([&] { return client.Plaintext().size() >= 19; }));
    EXPECT_EQ(client.Plaintext(), "noisiced eht retfa\n");
  }
}

TEST_F(TlsSessionTest, AMegabyteEachWayArrivesIntact) {
  auto server = Serve(certificates_->server);
  Client client(server->Port(), Trusting());
  ASSERT_TRUE(client.Handshake());
  ASSERT_EQ(client.Session().Current(), State::kOpen) << client.Session().ErrorText();
  const std::vector<std::string>& messages = client.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "Starting secure channel handshake.");
  EXPECT_TRUE(ContainsPrefix(messages, "Sending ")) << "Sending %d handshake bytes.";
  EXPECT_TRUE(ContainsPrefix(messages, "Receiving ")) << "Receiving %d bytes of handshake data.";
  EXPECT_TRUE(Contains(messages, "Protocol: TLSv1.3"));
  EXPECT_TRUE(ContainsPrefix(messages, "Cipher: TLS_"));
  EXPECT_TRUE(ContainsPrefix(messages, "Cipher strength: "));

  // Lines of 1000 pseudo-random printable bytes, 16 at a time, each answered before the next.
  uint32_t seed = 12345;
  std::string sent;
  std::string expected;
  constexpr size_t kTotal = 1 << 20;
  for (int chunk = 0; chunk < 200 && sent.size() < kTotal; ++chunk) {
    std::string lines;
    for (int line = 0; line < 16; ++line) {
      lines += 'x';
      for (int i = 1; i < 1000; ++i) {
        seed = seed * 1103515245u + 12345u;
        lines += static_cast<char>('!' + (seed >> 16) % 90);
      }
      lines += '\n';
    }
    sent += lines;
    expected += Reversed(lines);
    ASSERT_TRUE(client.Session().Write(lines));
    ASSERT_TRUE(client.PumpUntil([&] { return client.Plaintext().size() >= expected.size(); }))
        << client.Session().ErrorText() << " after " << sent.size();
  }
  EXPECT_GE(sent.size(), kTotal);
  EXPECT_TRUE(client.Plaintext() == expected);
  EXPECT_FALSE(client.SendFailed());
}

TEST_F(TlsSessionTest, ProtocolMaskDecidesOverTls10) {
  auto server = Serve(certificates_->server, {"-rev", "-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"});
  struct Case {
    const char* name;
    uint32_t mask;
    State state;
    int32_t code;
    const char* text;
  };
  const Case cases[] = {
      {"default mask", kProtocolsDefault, State::kFailed, kTlsErrHandshake, "error during handshake[2]: 0x80090331"},
      {"TLS 1.2 and 1.3", kProtocolTls12 | kProtocolTls13, State::kFailed, kTlsErrHandshake,
       "error during handshake[2]: 0x80090331"},
      {"TLS 1.0 asked for", kProtocolTls10 | kProtocolTls12, State::kOpen, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsSettings settings = Trusting();
    settings.enabledProtocols = c.mask;
    Client client(server->Port(), settings);
    ASSERT_TRUE(client.Handshake());
    EXPECT_EQ(client.Session().Current(), c.state) << client.Session().ErrorDetail();
    EXPECT_EQ(client.Session().ErrorCode(), c.code);
    EXPECT_EQ(client.Session().ErrorText(), c.text);
    if (c.state == State::kOpen) {
      EXPECT_TRUE(Contains(client.Messages(), "Protocol: TLSv1"));
    }
  }
}

TEST_F(TlsSessionTest, SettingsThatLeaveNothingFailAtStart) {
  struct Case {
    const char* name;
    uint32_t mask;
    int32_t strength;
    int32_t code;
    const char* text;
  };
  auto server = Serve(certificates_->server);
  const Case cases[] = {
      {"SSL 3 only", 0x30, 40, kTlsErrCredentials, "Could not acquire security credentials: error 0x80090331."},
      {"SSL 2 only", 0x0C, 40, kTlsErrCredentials, "Could not acquire security credentials: error 0x80090331."},
      {"stronger cipher than any", kProtocolsDefault, 1024, kTlsErrHandshake, "error during handshake[2]: 0x80090331"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsSettings settings = Trusting();
    settings.enabledProtocols = c.mask;
    settings.cipherStrength = c.strength;
    Client client(server->Port(), settings);
    client.Handshake();
    EXPECT_EQ(client.Session().Current(), State::kFailed);
    EXPECT_EQ(client.Session().ErrorCode(), c.code);
    EXPECT_EQ(client.Session().ErrorText(), c.text);
  }
}

// A plain peer that takes the client's hello and then does `behaviour`.
TEST_F(TlsSessionTest, HostilePeersFailTheHandshakeCleanly) {
  enum Behaviour { kClose, kText, kNoise };
  struct Case {
    const char* name;
    Behaviour behaviour;
    const char* text;
  };
  const Case cases[] = {
      {"closes", kClose, "Server disconnected before handshake completion [0x80090318]"},
      {"answers text", kText, "error during handshake[2]: 0x80090326"},
      {"answers noise", kNoise, "error during handshake[2]: 0x80090326"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerServer server([&](PeerConnection& peer) {
      if (peer.Receive(5s).empty()) return;  // the client's hello
      if (c.behaviour == kText) {
        (void)peer.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
      } else if (c.behaviour == kNoise) {
        std::string noise(3000, '\0');
        uint32_t seed = 7;
        for (char& byte : noise) byte = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
        noise[0] = 0x16;  // a handshake record's type, so the noise gets past the first byte
        (void)peer.Send(noise);
      }
      ::shutdown(peer.fd(), SHUT_WR);
      // Wait for the client to go, bounded, so that nothing it sends meets a reset.
      (void)peer.WaitForClientClose(5s);
    });
    ASSERT_TRUE(server.ok());
    Client client(server.port(), Trusting("localhost", false));
    ASSERT_TRUE(client.Connected());
    EXPECT_TRUE(client.Handshake());
    EXPECT_EQ(client.Session().Current(), State::kFailed);
    EXPECT_EQ(client.Session().ErrorCode(), kTlsErrHandshake);
    EXPECT_EQ(client.Session().ErrorText(), c.text);
    EXPECT_FALSE(client.Session().Write("x"));
    EXPECT_EQ(client.Session().Feed("more bytes after the failure"), "");
  }
}

TEST_F(TlsSessionTest, CloseNotifyTravelsBothWays) {
  {
    SCOPED_TRACE("the server closes");
    auto server = Serve(certificates_->server, {"-www"});
    Client client(server->Port(), Trusting());
    ASSERT_TRUE(client.Handshake());
    ASSERT_EQ(client.Session().Current(), State::kOpen);
    ASSERT_TRUE(client.Session().Write("GET / HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(client.PumpUntil([&] { return client.Session().PeerClosed(); }));
    EXPECT_EQ(client.Session().Current(), State::kClosed);
    EXPECT_EQ(client.Plaintext().rfind("HTTP/1.0 200 ok", 0), 0u) << client.Plaintext().substr(0, 80);
    EXPECT_TRUE(Contains(client.Messages(), "Server signaled end of session."));
    client.Session().Close();
    EXPECT_FALSE(client.Session().TakeOutput().empty()) << "our close_notify answers the server's";
  }
  {
    SCOPED_TRACE("the client closes");
    auto server = Serve(certificates_->server);
    Client client(server->Port(), Trusting());
    ASSERT_TRUE(client.Handshake());
    ASSERT_TRUE(client.Session().Write("ping\n"));
    ASSERT_TRUE(client.PumpUntil([&] { return client.Plaintext() == "gnip\n"; }));
    client.Session().Close();
    client.Flush();
    EXPECT_EQ(client.Session().Current(), State::kClosed);
    EXPECT_EQ(client.Messages().back(), "SSL connection terminated.");
    EXPECT_FALSE(client.Session().Write("x"));
    // The server ends the connection on our close_notify, and says why.
    EXPECT_TRUE(client.PumpUntil([&] { return client.PeerEof(); }));
    EXPECT_TRUE(testkit::PollUntil([&] { return server->Log().find("CONNECTION CLOSED") != std::string::npos; }, 5s))
        << server->Log();
  }
}

TEST_F(TlsSessionTest, SessionsAreResumedWhenOffered) {
  auto server = Serve(certificates_->server);
  std::shared_ptr<const TlsResumption> resumption;
  {
    Client first(server->Port(), Trusting());
    ASSERT_TRUE(first.Handshake());
    ASSERT_TRUE(first.Session().Write("one\n"));
    // The server's session tickets arrive with its first answer.
    ASSERT_TRUE(first.PumpUntil([&] { return first.Plaintext() == "eno\n"; }));
    EXPECT_FALSE(first.Session().ReusedSession());
    resumption = first.Session().TakeResumption();
    ASSERT_NE(resumption, nullptr);
    first.Session().Close();
    first.Flush();
  }
  struct Case {
    const char* name;
    bool offer;
    const char* host;
    bool reused;
  };
  const Case cases[] = {
      {"offered", true, "localhost", true},
      {"not offered", false, "localhost", false},
      {"offered to another host", true, "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client next(server->Port(), Trusting(c.host));
    if (c.offer) next.Session().OfferResumption(resumption);
    ASSERT_TRUE(next.Handshake());
    ASSERT_EQ(next.Session().Current(), State::kOpen) << next.Session().ErrorText();
    EXPECT_EQ(next.Session().ReusedSession(), c.reused);
    EXPECT_EQ(next.Session().CertificateStatus(), kCertOk);
    ASSERT_TRUE(next.Session().Write("two\n"));
    EXPECT_TRUE(next.PumpUntil([&] { return next.Plaintext() == "owt\n"; }));
  }
  {
    SCOPED_TRACE("a certificate the container accepted is not resumed");
    Client accepted(server->Port(), Trusting("localhost", false));
    ASSERT_TRUE(accepted.Handshake());
    ASSERT_EQ(accepted.Session().Current(), State::kVerifying);
    accepted.Session().Accept(true);
    ASSERT_TRUE(accepted.Session().Write("three\n"));
    ASSERT_TRUE(accepted.PumpUntil([&] { return accepted.Plaintext() == "eerht\n"; }));
    EXPECT_EQ(accepted.Session().TakeResumption(), nullptr);
  }
}

TEST(TlsStatusTest, StatusTextsAndIgnoreFlags) {
  struct Case {
    uint32_t status;
    const char* text;
  };
  const Case cases[] = {
      {kCertOk, "[0x0] OK"},
      {kCertExpired, "[0x800b0101] A required certificate is not within its validity period."},
      {kCertNameMismatch, "[0x800b010f] The certificate's CN name does not match the passed value."},
      {kCertRevoked, "[0x80092010] The certificate or signature has been revoked."},
      {kCertBadSignature, "[0x80096004] The signature of the certificate cannot be verified."},
      {kCertBasicConstraints, "[0x80096019] The certificate's basic constraints are invalid or missing."},
      {kCertWrongUsage, "[0x800b0110] The certificate is not valid for the requested usage."},
      {kCertChaining, "[0x800b010a] A chain of certificates was not correctly created."},
      {kCertTrustFailure, "[0x800b010b] (unknown status code)"},
  };
  for (const Case& c : cases) EXPECT_EQ(CertStatusText(c.status), c.text);
  EXPECT_TRUE(CertStatusIgnored(kCertNameMismatch, kNoServerName));
  EXPECT_TRUE(CertStatusIgnored(kCertExpired, kIgnoreDateInvalid));
  EXPECT_FALSE(CertStatusIgnored(kCertExpired, kIgnoreUnknownCa | kNoServerName));
  EXPECT_FALSE(CertStatusIgnored(kCertBadSignature, 0xFFFFFFFF));
}

}  // namespace
}  // namespace vorlane::tcpclient
