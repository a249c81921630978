// The TCP client control as a client drives it: created by class id through the build's class
// registry on the test thread's apartment, used through IKelpline and late bound through
// IDispatch, against peers the tests start on loopback. Events arrive on the test thread while
// it pumps its loop (or while the control pumps it in a blocking call).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/late_binding.h"
#include "platform/com/registry.h"
#include "platform/com/text.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tests/proxy_servers.h"
#include "tcpclient/tests/recording_sink.h"
#include "testing/agent_process.h"
#include "testing/peer_server.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient {
namespace {

using namespace std::chrono_literals;
using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::S_OK;
using com::Variant;
using testkit::PeerConnection;
using testkit::PeerServer;

// ---------------------------------------------------------------- the container's side

using Sink = testing::RecordingSink;
using testing::CodeText;
using testing::ControlUnderTest;
using testing::Failure;
using testing::MakeControl;
using testing::Outcome;

// The control with plain TCP chosen (a new control starts with TLS on).
class KelplineTest : public testing::KelplineFixture {
 protected:
  KelplineTest() : KelplineFixture(sslNone) {}

  HRESULT Put(com::DISPID id, const Variant& value) { return com::PutProperty(dispatch_.get(), id, value); }
  HRESULT ConnectTo(uint16_t port, std::string_view host = "127.0.0.1") {
    return com::CallMethod(dispatch_.get(), kKelplineConnect, {Variant::FromUtf8(host), Variant(int32_t{port})});
  }
  // A byte-array property, read through its getter, as a string of bytes.
  std::string BytesOf(HRESULT (IKelpline::*getter)(com::VARIANT*)) {
    Variant bytes;
    EXPECT_EQ((control_.get()->*getter)(bytes.put()), S_OK);
    std::vector<uint8_t> raw;
    EXPECT_EQ(bytes.ToBytes(&raw), S_OK);
    return {raw.begin(), raw.end()};
  }
  // Connections go through the firewall of `type` at 127.0.0.1:port.
  void UseFirewall(TFirewallType type, uint16_t port) {
    ASSERT_EQ(Put(kKelplineFirewallType, Variant(int32_t{type})), S_OK);
    ASSERT_EQ(Config("FirewallHost=127.0.0.1"), "");
    ASSERT_EQ(Put(kKelplineFirewallPort, Variant(int32_t{port})), S_OK);
  }
  void ConnectAndWait(uint16_t port, std::string_view host = "127.0.0.1") {
    ASSERT_EQ(ConnectTo(port, host), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Connected:").empty(); }));
    ASSERT_EQ(sink_->Only("Connected:"), std::vector<std::string>{"Connected:0:OK"});
    ASSERT_TRUE(Connected());
  }
  // Starts the test's peer with `behaviour` and connects to it, waiting.
  void ServeAndConnect(PeerServer::Behaviour behaviour) {
    server_ = std::make_unique<PeerServer>(std::move(behaviour));
    ASSERT_TRUE(server_->ok());
    ConnectAndWait(server_->port());
  }
  void TearDown() override {
    server_.reset();  // before the control, as a peer of the test body's own would go
    KelplineFixture::TearDown();
  }

  std::unique_ptr<PeerServer> server_;
};

void Echo(PeerConnection& peer) {
  for (int round = 0; round < 10'000; ++round) {
    const std::string data = peer.Receive();
    if (peer.Closed() || data.empty()) return;
    if (!peer.Send(data)) return;
  }
}

// Reads nothing until the test releases it, then everything until the client closes.
void ReadsOnlyOnceReleased(PeerConnection& peer) {
  if (!peer.WaitForRelease(20s)) return;
  (void)peer.WaitForClientClose(20s);
}

// Sends `greeting`, then waits for the client to close.
PeerServer::Behaviour Greeting(std::string greeting) {
  return [greeting](PeerConnection& peer) {
    (void)peer.Send(greeting);
    (void)peer.WaitForClientClose();
  };
}

// ---------------------------------------------------------------- registration and settings

TEST(KelplineRegistrationTest, ClassKeysAndProgIds) {
  com::ClassRegistry registry(com::ClassRegistryPath());
  const std::string classKey = "CLSID\\" + com::FormatGuidBraced(kKelplineClsid);
  const std::string module = registry.GetValue(classKey + "\\InprocServer32", "").value_or("");
  EXPECT_TRUE(module.ends_with("libkelpline.so")) << module;
  EXPECT_EQ(registry.GetValue(classKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
  for (const char* flag : {"Programmable", "Control", "Insertable"}) {
    EXPECT_TRUE(registry.KeyExists(classKey + "\\" + flag)) << flag;
  }
  EXPECT_EQ(registry.GetValue(classKey + "\\ToolboxBitmap32", ""), module + ", 101");
  EXPECT_EQ(registry.GetValue(classKey + "\\MiscStatus", ""), "0");
  EXPECT_EQ(registry.GetValue(classKey + "\\MiscStatus\\1", ""), "132497");
  EXPECT_EQ(registry.GetValue(classKey + "\\TypeLib", ""), com::FormatGuidBraced(kKelplineTypeLibId));
  EXPECT_EQ(registry.GetValue(classKey + "\\Version", ""), "1.0");
  EXPECT_EQ(registry.GetValue(classKey + "\\ProgID", ""), kKelplineProgId);
  EXPECT_EQ(registry.GetValue(classKey + "\\VersionIndependentProgID", ""), kKelplineIndependentProgId);
  for (const char* independent : {kKelplineIndependentProgId, kKelplineLegacyProgId}) {
    EXPECT_EQ(registry.GetValue(std::string(independent) + "\\CurVer", ""), kKelplineProgId) << independent;
  }
  for (const char* progId : {kKelplineProgId, kKelplineIndependentProgId, kKelplineLegacyProgId}) {
    com::CLSID clsid{};
    EXPECT_EQ(com::CLSIDFromProgID(std::string_view(progId), &clsid), S_OK) << progId;
    EXPECT_EQ(clsid, kKelplineClsid) << progId;
  }
}

TEST_F(KelplineTest, DefaultsOfANewControl) {
  ComPtr<IKelpline> fresh;
  ASSERT_EQ(com::CoCreateInstance(kKelplineClsid, &fresh), S_OK);
  ComPtr<com::IDispatch> late = fresh.As<com::IDispatch>();
  const struct {
    com::DISPID id;
    const char* value;
  } kDefaults[] = {
      {kKelplineAcceptData, "True"},    {kKelplineBytesSent, "0"},
      {kKelplineConnected, "False"},    {kKelplineEol, ""},
      {kKelplineFirewallPort, "0"},     {kKelplineFirewallType, "0"},
      {kKelplineKeepAlive, "False"},    {kKelplineLinger, "True"},
      {kKelplineLocalPort, "0"},        {kKelplineRemoteHost, ""},
      {kKelplineRemotePort, "0"},       {kKelplineSslCertStore, "MY"},
      {kKelplineSslCertStoreType, "0"}, {kKelplineSslStartMode, "0"},
      {kKelplineTimeout, "0"},
  };
  for (const auto& entry : kDefaults) {
    std::string value;
    EXPECT_EQ(com::GetProperty(late.get(), entry.id, &value), S_OK) << entry.id;
    EXPECT_EQ(value, entry.value) << entry.id;
  }
  std::string answer;
  ASSERT_EQ(com::CallMethodFor(late.get(), kKelplineConfig, {Variant(u"tcpnodelay")}, &answer), S_OK);
  EXPECT_EQ(answer, "False");
}

TEST_F(KelplineTest, ConfigThroughTheControl) {
  const Failure unknown = ConfigFailure("NoSuchSetting=1");
  EXPECT_TRUE(com::Failed(unknown.hr));
  EXPECT_EQ(unknown.text, "Unknown config setting.");
  EXPECT_EQ(Config("UseIPv6=True"), "");
  EXPECT_EQ(Config("useipv6"), "True");
  EXPECT_EQ(Config("MaxLineLength=70000"), "");
  EXPECT_EQ(Config("MaxLineLength"), "65536");
  EXPECT_EQ(Config("SocketHandle"), "-1");

  // SplitCRLF sets the delimiter, which the EOL property then shows.
  EXPECT_EQ(Config("SplitCRLF=1"), "");
  Bstr eol;
  ASSERT_EQ(control_->get_EOL(eol.put()), S_OK);
  EXPECT_EQ(eol.view(), u"\r\n");
}

TEST_F(KelplineTest, PropertyRulesWithoutAConnection) {
  // Unresolvable names fail at the put, with the resolver's code.
  EXPECT_EQ(Outcome(Put(kKelplineRemoteHost, Variant(u"no-such-host.invalid"))),
            (CodeText{11001, "[11001] Host not found"}));

  ASSERT_EQ(Put(kKelplineRemoteHost, Variant(u"127.0.0.1")), S_OK);
  EXPECT_EQ(Outcome(Put(kKelplineConnected, Variant(true))),
            (CodeText{kErrRemotePortZero, "RemotePort can't be zero. Please specify a valid service port number."}));

  ASSERT_EQ(Put(kKelplineRemoteHost, Variant(u"0.0.0.0")), S_OK);
  ASSERT_EQ(Put(kKelplineRemotePort, Variant(int32_t{7})), S_OK);
  EXPECT_EQ(Outcome(Put(kKelplineConnected, Variant(true))),
            (CodeText{kErrAddressInvalid, "The RemoteHost address is invalid (0.0.0.0)."}));

  // StartSSL without a connection connects, with TLS from the start: the same checks apply.
  EXPECT_EQ(Outcome(com::CallMethod(dispatch_.get(), kKelplineStartSsl)),
            (CodeText{kErrAddressInvalid, "The RemoteHost address is invalid (0.0.0.0)."}));

  EXPECT_EQ(Outcome(com::CallMethod(dispatch_.get(), kKelplineGetLine)), (CodeText{kErrWait, "Disconnected."}));

  const Failure send = Outcome(Put(kKelplineDataToSend, Variant(u"x")));
  EXPECT_EQ(send.code, 10057);

  // Out-of-range enumerations are refused; the firewall type stores and reads back.
  EXPECT_TRUE(com::Failed(Put(kKelplineSslStartMode, Variant(int32_t{4}))));
  ASSERT_EQ(Put(kKelplineFirewallType, Variant(int32_t{fwSOCKS5})), S_OK);
  int32_t firewall = -1;
  ASSERT_EQ(com::GetProperty(dispatch_.get(), kKelplineFirewallType, &firewall), S_OK);
  EXPECT_EQ(firewall, fwSOCKS5);
  EXPECT_TRUE(sink_->events.empty());
}

TEST_F(KelplineTest, TlsStartModesHandshakeWithAPlainPeer) {
  // A plain peer that answers the client's first bytes with text: the handshake fails and no
  // byte of the container's reaches it in the clear.
  PeerServer server([](PeerConnection& peer) {
    (void)peer.Receive();
    (void)peer.Send("220 plain text here\r\n");
    (void)peer.WaitForClientClose();
  });
  ASSERT_TRUE(server.ok());
  int attempts = 0;
  for (TSSLStartMode mode : {sslAutomatic, sslImplicit}) {
    ComPtr<IKelpline> fresh;
    ASSERT_EQ(com::CoCreateInstance(kKelplineClsid, &fresh), S_OK);
    ASSERT_EQ(fresh->put_SSLStartMode(mode), S_OK);
    ASSERT_EQ(fresh->put_Timeout(10), S_OK);
    EXPECT_EQ(Outcome(fresh->Connect(Bstr(u"127.0.0.1").get(), server.port())),
              (CodeText{276, "error during handshake[2]: 0x80090326"}))
        << mode;
    ++attempts;
    com::VARIANT_BOOL connected = com::VARIANT_TRUE;
    EXPECT_EQ(fresh->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, com::VARIANT_FALSE);
  }
  EXPECT_EQ(server.Accepted(), attempts);
  EXPECT_EQ(server.Received().find("\x16\x03"), 0u) << "a TLS record first";
}

// ---------------------------------------------------------------- connecting

TEST_F(KelplineTest, AsynchronousConnectReportsByEvent) {
  PeerServer server(Greeting(""));
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(ConnectTo(server.port()), S_OK);
  EXPECT_FALSE(Connected()) << "Timeout 0 returns while the connect is under way";
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Connected:").empty(); }));
  EXPECT_EQ(sink_->Only("Connected:"), std::vector<std::string>{"Connected:0:OK"});
  EXPECT_TRUE(sink_->Has("Status:Remote host connection complete.:0"));
  EXPECT_TRUE(Connected());
  EXPECT_NE(Config("SocketHandle"), "-1");
}

// A listener whose accept queue is full drops further connection requests: the connect stays
// under way until the wait gives up, and the attempt is abandoned.
TEST_F(KelplineTest, AConnectThatDoesNotFinishInTimeIsAbandoned) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  // Fill the accept queue: connections that complete without being accepted.
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 4; ++i) {
    UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    (void)::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), length);
    fillers.push_back(std::move(filler));
  }
  ASSERT_EQ(Config("TimeoutInMilliseconds=True"), "");
  ASSERT_EQ(control_->put_Timeout(300), S_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Outcome(ConnectTo(ntohs(address.sin_port))), (CodeText{kErrWait, "Timeout."}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Config("SocketHandle"), "-1");
  EXPECT_TRUE(sink_->Only("Connected:").empty());
}

TEST_F(KelplineTest, RefusedConnections) {
  const uint16_t port = testkit::ClosedPort();
  ASSERT_NE(port, 0);
  // Waiting: the call fails with the code and text.
  ASSERT_EQ(control_->put_Timeout(5), S_OK);
  EXPECT_EQ(Outcome(ConnectTo(port)), (CodeText{10061, "[10061] Connection refused"}));
  EXPECT_EQ(sink_->Only("Connected:"), std::vector<std::string>{"Connected:10061:[10061] Connection refused"});
  EXPECT_TRUE(sink_->Has("Status:Remote host connection failed.:10061"));
  EXPECT_FALSE(Connected());

  // Not waiting: the outcome comes by event.
  sink_->events.clear();
  ASSERT_EQ(control_->put_Timeout(0), S_OK);
  ASSERT_EQ(ConnectTo(port), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Connected:").empty(); }));
  EXPECT_EQ(sink_->Only("Connected:"), std::vector<std::string>{"Connected:10061:[10061] Connection refused"});
  EXPECT_EQ(Config("SocketHandle"), "-1");
}

TEST_F(KelplineTest, ChangesWhileConnectedAreRefused) {
  PeerServer server(Echo);
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(control_->put_Timeout(5), S_OK);
  ASSERT_EQ(ConnectTo(server.port()), S_OK);
  ASSERT_TRUE(Connected());

  const struct {
    com::DISPID id;
    Variant value;
    int32_t code;
    const char* text;
  } kCases[] = {
      {kKelplineRemoteHost, Variant(u"127.0.0.2"), kErrRemoteHostBusy,
       "You cannot change the RemoteHost at this time. A connection is in progress."},
      {kKelplineRemotePort, Variant(int32_t{1}), kErrRemotePortBusy,
       "You cannot change the RemotePort at this time. A connection is in progress."},
      {kKelplineLocalPort, Variant(int32_t{1}), kErrLocalPortBusy,
       "You cannot change the LocalPort at this time. A connection is in progress."},
      {kKelplineConnected, Variant(true), kErrAlreadyConnected,
       "Already connected. If you want to reconnect, close the current connection first."},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Outcome(Put(c.id, c.value)), (CodeText{c.code, c.text})) << c.id;
  }
  EXPECT_EQ(
      ConfigFailure("MaxLineLength=10"),
      (CodeText{kErrMaxLineLengthBusy, "You cannot change MaxLineSize at this time. A connection is in progress."}));

  // The connection is as it was.
  Bstr host;
  ASSERT_EQ(control_->get_RemoteHost(host.put()), S_OK);
  EXPECT_EQ(host.view(), u"127.0.0.1");
  EXPECT_TRUE(Connected());
  ASSERT_EQ(Put(kKelplineDataToSend, Variant(u"still here")), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink_->Has("DataIn:still here:0"); }));
}

TEST_F(KelplineTest, Ipv6Loopback) {
  PeerServer server(Echo, AF_INET6);
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(Config("UseIPv6=True"), "");
  ASSERT_EQ(control_->put_Timeout(5), S_OK);
  ASSERT_EQ(ConnectTo(server.port(), "::1"), S_OK);
  ASSERT_TRUE(Connected());
  ASSERT_EQ(com::CallMethod(dispatch_.get(), kKelplineSendLine, {Variant(u"over six")}), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return server.Received() == "over six\r\n"; }));
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("DataIn:").empty(); }));
  EXPECT_EQ(sink_->Only("DataIn:"), std::vector<std::string>{"DataIn:over six\r\n:0"});

  // Without the setting, an IPv6 literal is no IPv4 host.
  ComPtr<IKelpline> plain;
  ASSERT_EQ(com::CoCreateInstance(kKelplineClsid, &plain), S_OK);
  EXPECT_TRUE(com::Failed(plain->put_RemoteHost(Bstr(u"::1").get())));
}

TEST_F(KelplineTest, FirewallSettingsAreChecked) {
  ASSERT_EQ(Put(kKelplineFirewallType, Variant(int32_t{fwTunnel})), S_OK);
  ASSERT_EQ(Put(kKelplineRemoteHost, Variant(u"target.example")), S_OK) << "the firewall resolves the name";
  ASSERT_EQ(Put(kKelplineRemotePort, Variant(int32_t{80})), S_OK);

  EXPECT_EQ(Outcome(Put(kKelplineConnected, Variant(true))),
            (CodeText{kErrAddressInvalid,
                      "The RemoteHost address is invalid (0.0.0.0). The FirewallHost address is invalid (0.0.0.0)."}));

  ASSERT_EQ(Config("FirewallHost=127.0.0.1"), "");
  const Failure noPort = Outcome(Put(kKelplineConnected, Variant(true)));
  EXPECT_EQ(noPort.code, kErrRemotePortZero);
  EXPECT_EQ(noPort.text,
            "RemotePort can't be zero. Please specify a valid service port number. The FirewallPort is invalid (0).");

  // The firewall's own name is resolved when connecting.
  ASSERT_EQ(Config("FirewallHost=no-such-firewall.invalid"), "");
  ASSERT_EQ(Put(kKelplineFirewallPort, Variant(int32_t{1080})), S_OK);
  EXPECT_NE(Put(kKelplineFirewallPort, Variant(int32_t{70000})), S_OK) << "a port beyond 16 bits is refused";
  EXPECT_EQ(Config("FirewallPort"), "1080");
  const Failure unresolved = Outcome(Put(kKelplineConnected, Variant(true)));
  EXPECT_GE(unresolved.code, 11001);
  EXPECT_LE(unresolved.code, 11004);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Config("SocketHandle"), "-1");

  // FirewallData is taken and never shown again.
  EXPECT_EQ(Config("FirewallData=X-Extra: 1"), "");
  EXPECT_EQ(Config("FirewallData"), "");
}

// The options the properties and settings ask for, read back from the socket itself (the
// handle Config reports is a descriptor of this process).
TEST_F(KelplineTest, SocketOptionsAsAskedFor) {
  struct Expected {
    const char* name;
    int level;
    int option;
    bool set;
  };
  PeerServer server(Echo);
  ASSERT_TRUE(server.ok());
  for (const bool configure : {false, true}) {
    SCOPED_TRACE(configure ? "asked for" : "defaults");
    // Keep-alive and no-delay as asked for; out-of-band data inline always.
    const Expected options[] = {{"keep-alive", SOL_SOCKET, SO_KEEPALIVE, configure},
                                {"no-delay", IPPROTO_TCP, TCP_NODELAY, configure},
                                {"out-of-band inline", SOL_SOCKET, SO_OOBINLINE, true}};
    ControlUnderTest made;
    ASSERT_NO_FATAL_FAILURE(MakeControl(&made, sslNone));
    uint16_t localPort = 0;
    HRESULT connected = com::E_FAIL;
    // A free port can be taken by another program's connection before the control binds it:
    // then another one, a bounded number of times.
    for (int attempt = 0; attempt < 5; ++attempt) {
      localPort = testkit::ClosedPort();
      if (configure) {
        ASSERT_EQ(made.control->put_KeepAlive(com::VARIANT_TRUE), S_OK);
        ASSERT_EQ(made.control->put_Linger(com::VARIANT_FALSE), S_OK);
        ASSERT_EQ(made.control->put_LocalPort(localPort), S_OK);
        for (const char* setting : {"TcpNoDelay=True", "InBufferSize=65536", "OutBufferSize=65536"}) {
          Bstr answer;
          ASSERT_EQ(made.control->Config(Bstr::FromUtf8(setting).get(), answer.put()), S_OK) << setting;
        }
      }
      ASSERT_EQ(made.control->put_Timeout(5), S_OK);
      connected = made.control->Connect(Bstr(u"127.0.0.1").get(), server.port());
      if (connected != KelplineHresult(10048)) break;
    }
    ASSERT_EQ(connected, S_OK);
    Bstr handle;
    ASSERT_EQ(made.control->Config(Bstr(u"SocketHandle").get(), handle.put()), S_OK);
    const int fd = std::stoi(handle.ToUtf8());
    ASSERT_GE(fd, 0);
    for (const Expected& option : options) {
      int value = -1;
      socklen_t length = sizeof(value);
      ASSERT_EQ(::getsockopt(fd, option.level, option.option, &value, &length), 0) << option.name;
      EXPECT_EQ(value != 0, option.set) << option.name;
    }
    linger lingerOption{};
    socklen_t length = sizeof(lingerOption);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, &length), 0);
    EXPECT_EQ(lingerOption.l_onoff != 0, configure) << "Linger false closes with a reset";
    EXPECT_EQ(lingerOption.l_linger, 0);
    int receiveBuffer = 0;
    length = sizeof(receiveBuffer);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &length), 0);
    if (configure) {
      EXPECT_GE(receiveBuffer, 65536);
    }
    sockaddr_in local{};
    length = sizeof(local);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
    if (configure) {
      EXPECT_EQ(ntohs(local.sin_port), localPort);
    }
  }
}

// Linger decides how the control closes: gracefully, or at once with a reset.
TEST_F(KelplineTest, LingerDecidesHowTheConnectionEnds) {
  for (bool linger : {true, false}) {
    SCOPED_TRACE(linger ? "Linger true" : "Linger false");
    std::atomic<int> peerError{-1};
    PeerServer server([&](PeerConnection& peer) {
      (void)peer.WaitForClientClose();
      peerError = peer.ReceiveError();
    });
    ASSERT_TRUE(server.ok());
    ControlUnderTest made;
    ASSERT_NO_FATAL_FAILURE(MakeControl(&made, sslNone));
    ASSERT_EQ(made.control->put_Timeout(5), S_OK);
    ASSERT_EQ(made.control->Connect(Bstr(u"127.0.0.1").get(), server.port()), S_OK);
    ASSERT_EQ(made.control->put_Linger(linger ? com::VARIANT_TRUE : com::VARIANT_FALSE), S_OK);
    ASSERT_EQ(made.control->Disconnect(), S_OK);
    EXPECT_EQ(made.sink->Only("Disconnected:"), std::vector<std::string>{"Disconnected:0:OK"});
    ASSERT_TRUE(PumpUntil([&] { return peerError.load() != -1; }));
    EXPECT_EQ(peerError.load(), linger ? 0 : ECONNRESET);
  }
}

// ---------------------------------------------------------------- receiving

TEST_F(KelplineTest, LinesByDelimiter) {
  struct Case {
    const char* name;
    const char* setup;  // a Config text, or null for EOL = CR LF
    std::vector<std::string> parts;
    std::vector<std::string> expected;
  };
  const Case kCases[] = {
      {"EolCrLf", nullptr, {"ab\r\ncd"}, {"DataIn:ab:1"}},
      {"SplitCrLf", "SplitCRLF=True", {"a\rb\nc\r\n"}, {"DataIn:a:1", "DataIn:b:1", "DataIn:c:1"}},
      {"SplitCrLfAcrossReceives", "SplitCRLF=True", {"x\r", "\ny\n"}, {"DataIn:x:1", "DataIn:y:1"}},
      {"FullBuffer", "MaxLineLength=4", {"abcdef\r\n"}, {"DataIn:abcd:0", "DataIn:ef:1"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ControlUnderTest made;
    ASSERT_NO_FATAL_FAILURE(MakeControl(&made, sslNone));
    IKelpline* control = made.control.get();
    Sink* sink = made.sink.get();
    ASSERT_EQ(control->put_EOL(Bstr(u"\r\n").get()), S_OK);
    if (c.setup != nullptr) {
      Variant answer;
      ASSERT_EQ(com::CallMethod(made.late.get(), kKelplineConfig, {Variant::FromUtf8(c.setup)}, answer.put()), S_OK);
    }
    // The peer sends each part once the container has taken everything before it.
    const std::vector<std::string> parts = c.parts;
    PeerServer server([parts](PeerConnection& peer) {
      for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 && !peer.WaitForRelease()) return;
        if (!peer.Send(parts[i])) return;
      }
      (void)peer.WaitForClientClose();
    });
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(control->put_Timeout(5), S_OK);
    ASSERT_EQ(control->Connect(Bstr(u"127.0.0.1").get(), server.port()), S_OK);
    for (size_t i = 1; i < parts.size(); ++i) {
      ASSERT_TRUE(PumpUntil([&] { return !sink->Only("DataIn:").empty(); }));
      server.Release();
    }
    ASSERT_TRUE(PumpUntil([&] { return sink->Only("DataIn:").size() >= c.expected.size(); }));
    PumpFor(100ms);
    EXPECT_EQ(sink->Only("DataIn:"), c.expected);
  }
}

TEST_F(KelplineTest, AnUnfinishedLineArrivesWithTheClose) {
  PeerServer server([](PeerConnection& peer) { (void)peer.Send("ab\r\ncd"); });  // and closes
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(control_->put_EOL(Bstr(u"\r\n").get()), S_OK);
  ConnectAndWait(server.port());
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Disconnected:").empty(); }));
  EXPECT_EQ(sink_->Only("DataIn:"), (std::vector<std::string>{"DataIn:ab:1", "DataIn:cd:0"}));
  EXPECT_EQ(sink_->Only("Disconnected:"), std::vector<std::string>{"Disconnected:0:Remote host disconnected."});
  EXPECT_TRUE(sink_->Has("Status:Remote host disconnected.:0"));
  EXPECT_FALSE(Connected());
}

TEST_F(KelplineTest, HeldDataArrivesWhenAcceptingAgain) {
  ASSERT_EQ(control_->put_AcceptData(com::VARIANT_FALSE), S_OK);
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(Greeting("held")));
  PumpFor(200ms);
  EXPECT_TRUE(sink_->Only("DataIn:").empty());
  ASSERT_EQ(control_->put_AcceptData(com::VARIANT_TRUE), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("DataIn:").empty(); }));
  EXPECT_EQ(sink_->Only("DataIn:"), std::vector<std::string>{"DataIn:held:0"});
  EXPECT_EQ(BytesOf(&IKelpline::get_DataInTextB), "held");
}

TEST_F(KelplineTest, ResetByPeer) {
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect([](PeerConnection& peer) {
    (void)peer.WaitForRelease();
    peer.Reset();
  }));
  server_->Release();
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Disconnected:").empty(); }));
  EXPECT_EQ(sink_->Only("Disconnected:"),
            std::vector<std::string>{"Disconnected:10054:[10054] Connection reset by peer"});
  EXPECT_TRUE(sink_->Has("Status:socket error in recv: 10054:10054"));
  EXPECT_FALSE(Connected());
}

// A peer that sends one byte every 250 ms and a line end after eight: a blocking GetLine with a
// 400 ms timeout lives on the trickle unless the timeout is absolute.
TEST_F(KelplineTest, AbsoluteAndRestartingTimeouts) {
  for (bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute" : "restarting");
    PeerServer server([](PeerConnection& peer) {
      for (char c : std::string("trickle!\n")) {
        if (!peer.Send(std::string(1, c))) return;
        (void)peer.Receive(250ms);  // paces the trickle; ends early when the client closes
        if (peer.Closed()) return;
      }
      (void)peer.WaitForClientClose();
    });
    ASSERT_TRUE(server.ok());
    ControlUnderTest made;
    ASSERT_NO_FATAL_FAILURE(MakeControl(&made, sslNone));
    IKelpline* control = made.control.get();
    for (const char* setting :
         {"TimeoutInMilliseconds=True", absolute ? "AbsoluteTimeout=True" : "AbsoluteTimeout=no"}) {
      Bstr answer;
      ASSERT_EQ(control->Config(Bstr::FromUtf8(setting).get(), answer.put()), S_OK);
    }
    ASSERT_EQ(control->put_Timeout(400), S_OK);
    ASSERT_EQ(control->Connect(Bstr(u"127.0.0.1").get(), server.port()), S_OK);
    const auto start = std::chrono::steady_clock::now();
    Variant line;
    const HRESULT hr = com::CallMethod(made.late.get(), kKelplineGetLine, {}, line.put());
    const auto took = std::chrono::steady_clock::now() - start;
    if (absolute) {
      EXPECT_EQ(Outcome(hr), (CodeText{kErrWait, "Timeout."}));
      EXPECT_LT(took, 1500ms);
    } else {
      ASSERT_EQ(hr, S_OK);
      std::string text;
      ASSERT_EQ(com::ValueOf(line, &text), S_OK);
      EXPECT_EQ(text, "trickle!");
      EXPECT_GT(took, 1000ms) << "the line took eight intervals to arrive";
    }
  }
}

// Many small deliveries, each well inside the timeout: a restarting timeout outlasts them all,
// however many steps of the wait they take.
TEST_F(KelplineTest, ARestartingTimeoutOutlastsManySmallDeliveries) {
  PeerServer server([](PeerConnection& peer) {
    for (int i = 0; i < 400; ++i) {
      if (!peer.Send("x")) return;
      (void)peer.Receive(2ms);  // paces the bytes
      if (peer.Closed()) return;
    }
    (void)peer.Send("\n");
    (void)peer.WaitForClientClose();
  });
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(Config("TimeoutInMilliseconds=True"), "");
  ASSERT_EQ(control_->put_Timeout(200), S_OK);
  ASSERT_EQ(ConnectTo(server.port()), S_OK);
  Bstr line;
  const HRESULT hr = control_->GetLine(line.put());
  ASSERT_EQ(hr, S_OK) << Outcome(hr).text;
  EXPECT_EQ(line.ToUtf8(), std::string(400, 'x'));
}

// GetLine gathers pieces of a line that outgrows the line buffer, but never more than twenty
// buffers' worth: beyond that it starts afresh.
TEST_F(KelplineTest, GetLineBoundsWhatItGathers) {
  PeerServer server(Greeting(std::string(200, 'x') + "ok\n"));
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(Config("MaxLineLength=4"), "");
  ASSERT_EQ(control_->put_EOL(Bstr(u"\n").get()), S_OK);
  ASSERT_EQ(control_->put_Timeout(5), S_OK);
  ASSERT_EQ(ConnectTo(server.port()), S_OK);
  Bstr line;
  ASSERT_EQ(control_->GetLine(line.put()), S_OK);
  const std::string text = line.ToUtf8();
  EXPECT_TRUE(text.ends_with("xok")) << text;
  EXPECT_LE(text.size(), 4u * 20u + 4u) << text;
}

// DoEvents is one step of the control's own wait: pumping with it alone delivers the events.
TEST_F(KelplineTest, DoEventsDeliversEvents) {
  PeerServer server(Greeting("hello"));
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(ConnectTo(server.port()), S_OK);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (int step = 0; step < 1000 && !sink_->Has("DataIn:hello:0") && std::chrono::steady_clock::now() < deadline;
       ++step) {
    ASSERT_EQ(com::CallMethod(dispatch_.get(), kKelplineDoEvents), S_OK);
  }
  EXPECT_TRUE(sink_->Has("Connected:0:OK"));
  EXPECT_TRUE(sink_->Has("DataIn:hello:0"));
}

TEST_F(KelplineTest, GetLineNeedsAPositiveTimeout) {
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(Greeting("line\r\n")));
  EXPECT_EQ(Outcome(com::CallMethod(dispatch_.get(), kKelplineGetLine)),
            (CodeText{kErrWait, "GetLine requires a positive Timeout value."}));
}

// A quit message that arrives during a blocking wait ends the wait and stays queued for the
// loop that owns the thread.
TEST_F(KelplineTest, AQuitEndsABlockingWaitAndStaysQueued) {
  PeerServer server(Greeting(""));
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(control_->put_Timeout(5), S_OK);
  ASSERT_EQ(ConnectTo(server.port()), S_OK);
  ASSERT_TRUE(loop_->PostQuit(7));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Outcome(com::CallMethod(dispatch_.get(), kKelplineGetLine)), (CodeText{kErrWait, "Interrupted."}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  loop::Message message;
  ASSERT_TRUE(loop_->Peek(&message, true));
  EXPECT_EQ(message.kind, loop::Message::Kind::kQuit);
  EXPECT_EQ(message.exitCode, 7);
  EXPECT_TRUE(Connected()) << "an interrupted GetLine leaves the connection";
}

// ---------------------------------------------------------------- sending

// The peer reads nothing until released: sends queue up, the caller that does not wait hears
// 10035, and every byte arrives once the peer reads.
TEST_F(KelplineTest, APeerThatDoesNotReadLosesNothing) {
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(ReadsOnlyOnceReleased));
  sink_->events.clear();

  std::string expected;
  bool wouldBlock = false;
  for (int i = 0; i < 400 && !wouldBlock; ++i) {
    std::string block(64 * 1024, static_cast<char>('a' + i % 26));
    block += std::to_string(i);
    expected += block;
    const HRESULT hr = control_->put_DataToSend(Bstr::FromUtf8(block).get());
    if (hr != S_OK) {
      const Failure failure = Outcome(hr);
      ASSERT_EQ(failure.code, 10035) << failure.text;
      EXPECT_EQ(failure.text, "[10035] Operation would block");
      wouldBlock = true;
    }
  }
  ASSERT_TRUE(wouldBlock) << "the socket never filled up";
  server_->Release();
  ASSERT_TRUE(PumpUntil([&] { return server_->ReceivedSize() >= expected.size(); }, 20s));
  ASSERT_TRUE(PumpUntil([&] { return sink_->Has("ReadyToSend"); }));
  EXPECT_EQ(server_->ReceivedSize(), expected.size());
  EXPECT_TRUE(server_->Received() == expected) << "bytes lost, repeated or out of order";
}

// Reading is held back, sends are queued, and the peer resets: the failure is told at once
// through Error and Disconnected, not left for when reading resumes.
TEST_F(KelplineTest, AResetWhileSendingWithReadingHeldBack) {
  ASSERT_EQ(control_->put_AcceptData(com::VARIANT_FALSE), S_OK);
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect([](PeerConnection& peer) {
    if (!peer.WaitForRelease(20s)) return;
    peer.Reset();
  }));
  const std::string payload(8 * 1024 * 1024, 'r');
  ASSERT_EQ(Outcome(control_->put_DataToSend(Bstr::FromUtf8(payload).get())).code, 10035);
  server_->Release();
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Disconnected:").empty(); }));
  EXPECT_EQ(sink_->Only("Error:"), std::vector<std::string>{"Error:10054:[10054] Connection reset by peer"});
  EXPECT_EQ(sink_->Only("Disconnected:"),
            std::vector<std::string>{"Disconnected:10054:[10054] Connection reset by peer"});
  EXPECT_FALSE(Connected());
}

TEST_F(KelplineTest, DisconnectWithLingerSendsWhatIsQueued) {
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(ReadsOnlyOnceReleased));
  const std::string payload(8 * 1024 * 1024, 'z');
  const HRESULT sent = control_->put_DataToSend(Bstr::FromUtf8(payload).get());
  ASSERT_EQ(Outcome(sent).code, 10035);
  // Not waiting: the close is under way, and says so.
  EXPECT_EQ(Outcome(control_->Disconnect()),
            (CodeText{kErrWouldBlock, "Operation would block. (To force disconnection, set Linger false)."}));
  server_->Release();
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Disconnected:").empty(); }, 20s));
  EXPECT_EQ(sink_->Only("Disconnected:"), std::vector<std::string>{"Disconnected:0:OK"});
  ASSERT_TRUE(PumpUntil([&] { return server_->ReceivedSize() == payload.size(); }, 20s));
}

// With a Timeout, Disconnect waits until what was queued is out, then closes.
TEST_F(KelplineTest, DisconnectWaitsForQueuedData) {
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(ReadsOnlyOnceReleased));
  const std::string payload(8 * 1024 * 1024, 'q');
  ASSERT_EQ(Outcome(control_->put_DataToSend(Bstr::FromUtf8(payload).get())).code, 10035);
  ASSERT_EQ(control_->put_Timeout(20), S_OK);
  server_->Release();
  ASSERT_EQ(control_->Disconnect(), S_OK);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(sink_->Only("Disconnected:"), std::vector<std::string>{"Disconnected:0:OK"});
  ASSERT_TRUE(PumpUntil([&] { return server_->ReceivedSize() == payload.size(); }, 20s));
}

TEST_F(KelplineTest, ByteArraysGoOutAsTheyAre) {
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(Echo));
  const std::vector<uint8_t> bytes = {0x00, 0xFF, 0x80, 'a', '\r', '\n'};
  ASSERT_EQ(Put(kKelplineDataToSendB, Variant(bytes)), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return server_->ReceivedSize() == bytes.size(); }));
  EXPECT_EQ(server_->Received(), std::string(bytes.begin(), bytes.end()));
  int32_t bytesSent = 0;
  ASSERT_EQ(control_->get_BytesSent(&bytesSent), S_OK);
  EXPECT_EQ(bytesSent, 6);
}

// ---------------------------------------------------------------- re-entrancy

// A container that drops its last reference from inside an event handler: the control lives
// until the handler has returned and the event is over.
TEST_F(KelplineTest, ReleasedInsideItsOwnEvents) {
  for (KelplineEvent releaseIn : {kEventDataIn, kEventDisconnected}) {
    SCOPED_TRACE(releaseIn);
    PeerServer server(Greeting("first\r\nsecond\r\n"));
    ASSERT_TRUE(server.ok());
    ControlUnderTest made;
    ASSERT_NO_FATAL_FAILURE(MakeControl(&made, sslNone));
    made.late.reset();  // the test's only reference is `control`
    ComPtr<IKelpline> control = std::move(made.control);
    Sink* sink = made.sink.get();
    ASSERT_EQ(control->put_EOL(Bstr(u"\r\n").get()), S_OK);
    ASSERT_EQ(control->put_Timeout(5), S_OK);
    ASSERT_EQ(control->Connect(Bstr(u"127.0.0.1").get(), server.port()), S_OK);
    bool released = false;
    sink->onEvent = [&](com::DISPID id) {
      if (id == releaseIn && !released) {
        released = true;
        control.reset();
      }
    };
    if (releaseIn == kEventDisconnected) {
      ASSERT_EQ(control->put_Connected(com::VARIANT_FALSE), S_OK);
    }
    ASSERT_TRUE(PumpUntil([&] { return released; }));
    PumpFor(100ms);
    EXPECT_FALSE(control);
    if (releaseIn == kEventDataIn) {
      ASSERT_FALSE(sink->Only("DataIn:").empty());
      EXPECT_EQ(sink->Only("DataIn:").front(), "DataIn:first:1");
    }
  }
}

// ---------------------------------------------------------------- through a firewall

// The control behind the real proxies, talking to an echo target through them.
class KelplineFirewallTest : public KelplineTest {
 protected:
  struct Case {
    const char* name;
    TFirewallType type;
    const char* user;
    const char* password;
    bool closedTarget;      // the target is a closed port on loopback
    bool blocking;          // Timeout > 0: Connect waits for the outcome
    int32_t code;           // 0: the path opens
    std::string text;       // the failure's text
  };

  void SetUp() override {
    KelplineTest::SetUp();
    ASSERT_NE(closedPort_, 0);
  }

  // Connects through the firewall at `proxyPort` as `c` says, exchanges lines with the echo
  // target when the path opens, and disconnects.
  void RunCase(uint16_t proxyPort, const Case& c) {
    SCOPED_TRACE(c.name);
    sink_->events.clear();
    ASSERT_NO_FATAL_FAILURE(UseFirewall(c.type, proxyPort));
    ASSERT_EQ(Put(kKelplineFirewallUser, Variant::FromUtf8(c.user)), S_OK);
    ASSERT_EQ(Put(kKelplineFirewallPassword, Variant::FromUtf8(c.password)), S_OK);
    ASSERT_EQ(control_->put_EOL(Bstr(u"\r\n").get()), S_OK);
    ASSERT_EQ(control_->put_Timeout(c.blocking ? 10 : 0), S_OK);
    const uint16_t target = c.closedTarget ? closedPort_ : echo_.Port();
    const Failure connect = Outcome(ConnectTo(target));
    if (c.blocking) {
      EXPECT_EQ(connect.code, c.code) << connect.text;
      if (c.code != 0) { EXPECT_EQ(connect.text, c.text); }
    } else {
      ASSERT_EQ(connect.hr, S_OK) << connect.text;
    }
    ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Connected:").empty(); }));
    if (c.code != 0) {
      EXPECT_EQ(sink_->Only("Connected:"), std::vector<std::string>{"Connected:" + std::to_string(c.code) + ":" + c.text});
      EXPECT_EQ(sink_->Only("Status:"),
                (std::vector<std::string>{"Status:Attempting to connect to server.:0",
                                          "Status:Firewall connection failed.:" + std::to_string(c.code)}));
      EXPECT_FALSE(Connected());
      EXPECT_EQ(Config("SocketHandle"), "-1");
      return;
    }
    EXPECT_EQ(sink_->Only("Status:"), (std::vector<std::string>{"Status:Attempting to connect to server.:0",
                                                                "Status:Firewall connection complete.:0",
                                                                "Status:Remote host connection complete.:0"}));
    EXPECT_EQ(sink_->Only("Connected:"), std::vector<std::string>{"Connected:0:OK"});
    ASSERT_TRUE(Connected());
    for (const char* line : {"first line", "second line", "third line"}) {
      ASSERT_EQ(control_->SendLine(Bstr::FromUtf8(line).get()), S_OK);
    }
    ASSERT_TRUE(PumpUntil([&] { return sink_->Only("DataIn:").size() >= 3; }));
    EXPECT_EQ(sink_->Only("DataIn:"),
              (std::vector<std::string>{"DataIn:first line:1", "DataIn:second line:1", "DataIn:third line:1"}));
    ASSERT_EQ(control_->put_Timeout(5), S_OK);
    ASSERT_EQ(control_->Disconnect(), S_OK);
    EXPECT_FALSE(Connected());
    EXPECT_EQ(sink_->Only("Disconnected:"), std::vector<std::string>{"Disconnected:0:OK"});
  }

  testkit::TempDir dir_{"vorlane-kelpline-firewall"};
  testing::EchoServer echo_;
  uint16_t closedPort_ = testkit::ClosedPort();
};

TEST_F(KelplineFirewallTest, SocksThroughDante) {
  if (::access(testing::kDanted, X_OK) != 0) GTEST_SKIP() << "danted is not installed (Debian package dante-server)";
  const auto port = static_cast<uint16_t>(testkit::FreePort());
  std::unique_ptr<testing::ProxyProcess> danted = testing::StartDanted(dir_, port);
  ASSERT_TRUE(danted->WaitReady(port)) << danted->Log();
  const char* user = testing::kProxyUser;
  const char* password = testing::kProxyPassword;
  const Case cases[] = {
      {"SOCKS4", fwSOCKS4, "", "", false, false, 0, ""},
      {"SOCKS4, waiting", fwSOCKS4, "", "", false, true, 0, ""},
      {"SOCKS5", fwSOCKS5, "", "", false, false, 0, ""},
      {"SOCKS5 with user and password", fwSOCKS5, user, password, false, true, 0, ""},
      {"SOCKS5 with a wrong password", fwSOCKS5, user, "wrong", false, true, 10013,
       "firewall authentication failed: 1"},
      {"SOCKS5 with a wrong password, not waiting", fwSOCKS5, user, "wrong", false, false, 10013,
       "firewall authentication failed: 1"},
      {"SOCKS5 to a closed port", fwSOCKS5, "", "", true, true, 10061, "connection refused"},
      {"SOCKS4 to a closed port", fwSOCKS4, "", "", true, false, 10061, "firewall request rejected or failed"},
  };
  for (const Case& c : cases) RunCase(port, c);
}

TEST_F(KelplineFirewallTest, HttpTunnelThroughTinyproxy) {
  if (::access(testing::kTinyproxy, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
  const char* user = testing::kProxyUser;
  const char* password = testing::kProxyPassword;
  struct Setup {
    bool basicAuth;
    std::vector<Case> cases;
  };
  const Setup setups[] = {
      {false,
       {
           {"tunnel", fwTunnel, "", "", false, false, 0, ""},
           {"tunnel, waiting", fwTunnel, "", "", false, true, 0, ""},
           {"tunnel to a closed port", fwTunnel, "", "", true, true, 10053, "firewall request rejected or failed"},
       }},
      {true,
       {
           {"tunnel with credentials", fwTunnel, user, password, false, true, 0, ""},
           {"tunnel with a wrong password", fwTunnel, user, "wrong", false, true, 10013,
            "firewall request rejected or failed"},
           {"tunnel without credentials", fwTunnel, "", "", false, false, 10013, "firewall request rejected or failed"},
       }},
  };
  for (const Setup& setup : setups) {
    SCOPED_TRACE(setup.basicAuth ? "with BasicAuth" : "open");
    const auto port = static_cast<uint16_t>(testkit::FreePort());
    std::unique_ptr<testing::ProxyProcess> tinyproxy =
        testing::StartTinyproxy(dir_, port, setup.basicAuth, {echo_.Port(), closedPort_});
    ASSERT_TRUE(tinyproxy->WaitReady(port)) << tinyproxy->Log();
    for (const Case& c : setup.cases) RunCase(port, c);
  }
}

// Firewalls that misbehave: one that hangs up at once, one that resets, one that never answers.
// Ends its sending side at once (the client reads the end of the stream) and waits for the close.
void HangsUp(PeerConnection& peer) {
  (void)::shutdown(peer.fd(), SHUT_WR);
  (void)peer.WaitForClientClose();
}

TEST_F(KelplineTest, AFirewallThatFailsTheNegotiationIsReported) {
  struct Case {
    const char* name;
    PeerServer::Behaviour behaviour;
    int16_t timeoutMs;  // 0: not waiting
    std::vector<std::string> statuses;
    std::vector<std::string> connected;
    int32_t code;  // of the waiting call
    std::string text;
  };
  const std::vector<Case> cases = {
      {"hangs up at once", HangsUp, 0,
       {"Status:Attempting to connect to server.:0", "Status:Firewall host disconnected.:10053"},
       {"Connected:10053:Firewall host disconnected."}, 0, ""},
      {"hangs up at once, waiting", HangsUp, 5000,
       {"Status:Attempting to connect to server.:0", "Status:Firewall host disconnected.:10053"},
       {"Connected:10053:Firewall host disconnected."}, 10053, "Firewall host disconnected."},
      {"resets after the request",
       [](PeerConnection& peer) {
         (void)peer.Receive();
         peer.Reset();
       },
       5000, {"Status:Attempting to connect to server.:0", "Status:Firewall host disconnected.:10054"},
       {"Connected:10054:[10054] Connection reset by peer"}, 10054, "[10054] Connection reset by peer"},
      {"never answers", ReadsOnlyOnceReleased, 400, {"Status:Attempting to connect to server.:0"}, {}, kErrWait,
       "Timeout."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sink_->events.clear();
    PeerServer server(c.behaviour);
    ASSERT_TRUE(server.ok());
    ASSERT_NO_FATAL_FAILURE(UseFirewall(fwSOCKS5, server.port()));
    ASSERT_EQ(Config("TimeoutInMilliseconds=True"), "");
    ASSERT_EQ(control_->put_Timeout(c.timeoutMs), S_OK);
    const auto start = std::chrono::steady_clock::now();
    const Failure connect = Outcome(ConnectTo(80, "target.example"));
    EXPECT_EQ(connect.code, c.code);
    if (c.code != 0) { EXPECT_EQ(connect.text, c.text); }
    if (c.code == kErrWait) { EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms); }
    if (!c.connected.empty()) { ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("Connected:").empty(); })); }
    PumpFor(50ms);
    EXPECT_EQ(sink_->Only("Status:"), c.statuses);
    EXPECT_EQ(sink_->Only("Connected:"), c.connected);
    EXPECT_FALSE(Connected());
    EXPECT_EQ(Config("SocketHandle"), "-1");
    server.Release();
  }

  // A firewall that closes at once: whether the client sees the end of the stream or a reset
  // (its request reached a socket already closed) depends on timing; either is reported as a
  // disconnected firewall, and the waiting call returns.
  sink_->events.clear();
  PeerServer closing([](PeerConnection&) {});
  ASSERT_TRUE(closing.ok());
  ASSERT_EQ(Put(kKelplineFirewallPort, Variant(int32_t{closing.port()})), S_OK);
  ASSERT_EQ(control_->put_Timeout(5000), S_OK);
  const auto start = std::chrono::steady_clock::now();
  const Failure connect = Outcome(ConnectTo(80, "target.example"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_TRUE(connect.code == 10053 || connect.code == 10054) << connect.code << " " << connect.text;
  const std::vector<std::string> statuses = sink_->Only("Status:");
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_TRUE(statuses[1].starts_with("Status:Firewall host disconnected.:")) << statuses[1];
  EXPECT_EQ(sink_->Only("Connected:").size(), 1u);
  EXPECT_FALSE(Connected());
}

// The target's first bytes can come in the same segment as the firewall's last answer: they are
// the connection's first data, cut into lines like the rest.
TEST_F(KelplineTest, TargetDataBehindTheFirewallAnswerIsDelivered) {
  PeerServer server([](PeerConnection& peer) {
    std::string greeting;
    for (int round = 0; round < 10 && greeting.size() < 3; ++round) greeting += peer.Receive();
    if (greeting != std::string("\x05\x01\x00", 3) || !peer.Send(std::string("\x05\x00", 2))) return;
    std::string request;
    for (int round = 0; round < 10 && request.size() < 10; ++round) request += peer.Receive();
    (void)peer.Send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x12\x34", 10) + "hello\r\nwor");
    (void)peer.Send("ld\r\n");
    (void)peer.WaitForClientClose();
  });
  ASSERT_TRUE(server.ok());
  ASSERT_NO_FATAL_FAILURE(UseFirewall(fwSOCKS5, server.port()));
  ASSERT_EQ(control_->put_EOL(Bstr(u"\r\n").get()), S_OK);
  ASSERT_EQ(control_->put_Timeout(5), S_OK);
  ASSERT_EQ(ConnectTo(7, "127.0.0.1"), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink_->Only("DataIn:").size() >= 2; }));
  EXPECT_EQ(sink_->Only("DataIn:"), (std::vector<std::string>{"DataIn:hello:1", "DataIn:world:1"}));
  EXPECT_EQ(server.Received(), std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x07", 13));
}

// "FirewallData" goes into the HTTP CONNECT request as header lines; text that is no header
// line fails the connection before anything is sent.
TEST_F(KelplineTest, FirewallDataAddsHeaderLinesToTheTunnelRequest) {
  PeerServer server([](PeerConnection& peer) {
    std::string request;
    for (int round = 0; round < 10 && request.find("\r\n\r\n") == std::string::npos; ++round) {
      const std::string more = peer.Receive();
      if (more.empty()) return;
      request += more;
    }
    (void)peer.Send("HTTP/1.0 200 Connection established\r\n\r\n");
    (void)peer.WaitForClientClose();
  });
  ASSERT_TRUE(server.ok());
  ASSERT_NO_FATAL_FAILURE(UseFirewall(fwTunnel, server.port()));
  ASSERT_EQ(control_->put_Timeout(5), S_OK);

  ASSERT_EQ(Config("FirewallData=X-Evil: 1\r\n\r\nGET / HTTP/1.0"), "");
  EXPECT_EQ(Outcome(ConnectTo(25, "mail.example")),
            (CodeText{10053, "firewall request impossible: the firewall data is not a list of header lines"}));
  EXPECT_TRUE(sink_->Has("Status:Firewall connection failed.:10053"));
  EXPECT_EQ(server.ReceivedSize(), 0u);

  ASSERT_EQ(Config("FirewallData=User-Agent: probe"), "");
  ASSERT_EQ(ConnectTo(25, "mail.example"), S_OK);
  EXPECT_TRUE(Connected());
  EXPECT_EQ(server.Received(), "CONNECT mail.example:25 HTTP/1.0\r\nUser-Agent: probe\r\n\r\n");
}

// ---------------------------------------------------------------- code pages

TEST_F(KelplineTest, CodePageConvertsTextBothWays) {
  ASSERT_EQ(Config("CodePage=1252"), "");
  EXPECT_EQ(Config("CodePage"), "1252");
  ASSERT_EQ(control_->put_EOL(Bstr(u"\r\n").get()), S_OK);
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect(Echo));
  ASSERT_EQ(control_->SendLine(Bstr(u"5\u20ac caf\u00e9").get()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("DataIn:").empty(); }));
  EXPECT_EQ(server_->Received(), "5\x80 caf\xe9\r\n") << "the euro sign is 0x80 in code page 1252";
  EXPECT_EQ(sink_->Only("DataIn:"), std::vector<std::string>{"DataIn:5\u20ac caf\u00e9:1"});
  // The byte form is what came in, unconverted.
  EXPECT_EQ(BytesOf(&IKelpline::get_DataInTextB), "5\x80 caf\xe9");
  // A character the page lacks goes out as '?'.
  ASSERT_EQ(control_->SendLine(Bstr(u"\u4e2d").get()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink_->Only("DataIn:").size() >= 2; }));
  EXPECT_EQ(sink_->Only("DataIn:").back(), "DataIn:?:1");
}

TEST_F(KelplineTest, ACharacterSplitAcrossReceivesArrivesWhole) {
  // "a€b" in UTF-8, cut inside the euro sign; the second piece goes once the first has arrived.
  ASSERT_NO_FATAL_FAILURE(ServeAndConnect([](PeerConnection& peer) {
    if (!peer.Send("a\xe2\x82")) return;
    if (!peer.WaitForRelease()) return;
    (void)peer.Send("\xac" "b");
    (void)peer.WaitForClientClose();
  }));  // EOL empty: raw chunks as they come
  ASSERT_TRUE(PumpUntil([&] { return !sink_->Only("DataIn:").empty(); }));
  server_->Release();
  std::string text;
  ASSERT_TRUE(PumpUntil([&] {
    text.clear();
    for (const std::string& event : sink_->Only("DataIn:")) text += event.substr(7, event.size() - 9);
    return text.size() >= std::string("a\u20acb").size();
  }));
  EXPECT_EQ(text, "a\u20acb");
  EXPECT_EQ(sink_->Only("DataIn:").front(), "DataIn:a:0") << "the cut character waits for its rest";
}

TEST_F(KelplineTest, AnUnknownCodePageKeepsThePageInUse) {
  ASSERT_EQ(Config("CodePage=1252"), "");
  const Failure unknown = ConfigFailure("CodePage=99999");
  EXPECT_TRUE(com::Failed(unknown.hr));
  EXPECT_EQ(unknown.text, "Code page 99999 is not supported.");
  EXPECT_EQ(Config("CodePage"), "1252");
  // The EOL set as text follows the page: its bytes are searched for in what arrives.
  ASSERT_EQ(control_->put_EOL(Bstr(u"\u20ac").get()), S_OK);
  EXPECT_EQ(BytesOf(&IKelpline::get_EOLB), "\x80");
  ASSERT_EQ(Config("CodePage=0"), "");
  EXPECT_EQ(BytesOf(&IKelpline::get_EOLB), "\xe2\x82\xac");
}

}  // namespace
}  // namespace vorlane::tcpclient
