#include "agent/checks/remote_host.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/checks/tests/check_test_support.h"
#include "cipher/base64.h"

namespace vorlane::agent {
namespace {

// Records what the networking layer is asked to do and answers with a chosen result code.
class RecordingConnector : public RemoteConnector {
 public:
  struct Added {
    std::string remoteName;
    std::optional<std::string> user;
    std::optional<std::string> password;
  };
  uint32_t result = kNetSuccess;
  std::vector<Added> added;
  std::vector<std::string> cancelled;

  uint32_t AddConnection(const std::string& remoteName, const std::optional<std::string>& user,
                         const std::optional<std::string>& password) override {
    added.push_back({remoteName, user, password});
    return result;
  }
  void CancelConnection(const std::string& remoteName) override { cancelled.push_back(remoteName); }
};

std::string Encode(std::string_view plain) {
  return cipher::Base64EncodeToString(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
}

TEST(RemoteHostPasswordTest, DecodesBase64AndEmptyStaysEmpty) {
  EXPECT_EQ(DecodeRemotePassword(Encode("s3cr#t pass")), "s3cr#t pass");
  EXPECT_EQ(DecodeRemotePassword(""), "");
}

TEST(RemoteHostPasswordTest, EndsAtTheFirstZeroByte) {
  EXPECT_EQ(DecodeRemotePassword(Encode(std::string("abc\0def", 7))), "abc");
}

TEST(RemoteHostPasswordTest, MalformedTextKeepsWhatWasDecodedBeforeTheFault) {
  // "YWJj" is "abc"; the "!" is outside the alphabet.
  EXPECT_EQ(DecodeRemotePassword("YWJj!!!!"), "abc");
}

TEST(RemoteHostPasswordTest, KeepsAtMost254Bytes) {
  const std::string longPassword(300, 'p');
  const std::string decoded = DecodeRemotePassword(Encode(longPassword));
  EXPECT_LE(decoded.size(), 254u);
  EXPECT_EQ(decoded, std::string(decoded.size(), 'p'));
  EXPECT_EQ(DecodeRemotePassword(Encode(std::string(254, 'q'))), std::string(254, 'q'));
}

TEST(RemoteHostRequestTest, ReadsTheFourParameters) {
  const std::string record = "#keycount=5#Hostname=server1#Use authentication=true#Username=DOM\\ops#*Password=" +
                             Encode("pw") + "#Password=wrong#";
  const RemoteHostRequest request = ReadRemoteHostRequest(record);
  EXPECT_EQ(request.host, "server1");
  EXPECT_TRUE(request.useAuthentication);
  EXPECT_EQ(request.user, "DOM\\ops");
  EXPECT_EQ(request.password, "pw");
  EXPECT_TRUE(request.NamesHost());
}

TEST(RemoteHostRequestTest, OnlyLowerCaseTrueAsksForAuthenticationButThePasswordIsStillDecoded) {
  const RemoteHostRequest request =
      ReadRemoteHostRequest("#keycount=2#Use authentication=True#*Password=" + Encode("pw") + "#");
  EXPECT_FALSE(request.useAuthentication);
  EXPECT_EQ(request.password, "pw");
  EXPECT_FALSE(request.NamesHost());
}

TEST(RemoteHostConnectTest, RemoteNameIsTwoBackslashesAndTheHostUnchanged) {
  EXPECT_EQ(RemoteHostName("server1"), "\\\\server1");
  EXPECT_EQ(RemoteHostName("\\\\server1"), "\\\\\\\\server1");
}

TEST(RemoteHostConnectTest, WithAuthenticationPassesUserAndPassword) {
  RecordingConnector connector;
  const RemoteConnectResult result = ConnectRemoteHost(connector, "server1", true, "ops", "pw");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.failureText, "");
  ASSERT_EQ(connector.added.size(), 1u);
  EXPECT_EQ(connector.added[0].remoteName, "\\\\server1");
  EXPECT_EQ(connector.added[0].user, "ops");
  EXPECT_EQ(connector.added[0].password, "pw");
  EXPECT_TRUE(connector.cancelled.empty());
}

TEST(RemoteHostConnectTest, WithoutAuthenticationPassesNeither) {
  RecordingConnector connector;
  EXPECT_TRUE(ConnectRemoteHost(connector, "server1", false, "ops", "pw").ok);
  ASSERT_EQ(connector.added.size(), 1u);
  EXPECT_EQ(connector.added[0].user, std::nullopt);
  EXPECT_EQ(connector.added[0].password, std::nullopt);
}

TEST(RemoteHostConnectTest, AnExistingConnectionUnderOtherCredentialsCountsAsSuccess) {
  RecordingConnector connector;
  connector.result = kNetSessionCredentialConflict;
  const RemoteConnectResult result = ConnectRemoteHost(connector, "server1", true, "ops", "pw");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.failureText, "");
}

TEST(RemoteHostConnectTest, OtherResultsFailWithTheSystemText) {
  RecordingConnector connector;
  connector.result = kNetLogonFailure;
  const RemoteConnectResult result = ConnectRemoteHost(connector, "server1", true, "ops", "bad");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failureText, "The user name or password is incorrect.\r\n");
}

TEST(RemoteHostConnectTest, TheUnreachableConnectorReachesNoHost) {
  UnreachableRemoteConnector connector;
  const RemoteConnectResult result = ConnectRemoteHost(connector, "server1", false, "", "");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failureText, "The network path was not found.\r\n");
  EXPECT_EQ(WindowsErrorText(kNetBadNetPath), "The network path was not found.\r\n");
}

TEST(RemoteHostConnectTest, DisconnectCancelsTheSameRemoteName) {
  RecordingConnector connector;
  DisconnectRemoteHost(connector, "server1");
  EXPECT_EQ(connector.cancelled, (std::vector<std::string>{"\\\\server1"}));
  EXPECT_TRUE(connector.added.empty());
}

TEST(RemoteHostFrameTest, WorkRunsOnTheConnectedHostOrOnTheLocalOne) {
  testing::RecordingConnector connector;
  testing::FakeCheckHost remote;
  testing::FakeCheckHost local;
  connector.host = &remote;
  std::vector<CheckHost*> ranOn;
  const auto work = [&](CheckHost& host) { ranOn.push_back(&host); };
  EXPECT_FALSE(WithRequestedHost(connector, ReadRemoteHostRequest("#Hostname=server1#"), work, local));
  EXPECT_FALSE(WithRequestedHost(connector, ReadRemoteHostRequest("#Hostname=#"), work, local));
  EXPECT_EQ(ranOn, (std::vector<CheckHost*>{&remote, &local}));
  EXPECT_EQ(connector.calls, (std::vector<std::string>{"add \\\\server1 - -", "cancel \\\\server1"}));

  // A connector that reaches the host but holds no host object of its own answers nothing,
  // rather than letting the work run on this host.
  connector.host = nullptr;
  EXPECT_FALSE(WithRequestedHost(connector, ReadRemoteHostRequest("#Hostname=server1#"), work, local));
  ASSERT_EQ(ranOn.size(), 3u);
  EXPECT_EQ(ranOn.back(), &UnreachableCheckHost());
}

TEST(RemoteHostFrameTest, TheConnectionIsCancelledWhenTheWorkFails) {
  testing::RecordingConnector connector;
  EXPECT_THROW(OnRequestedHost(connector, ReadRemoteHostRequest("#Hostname=server1#"),
                               [](CheckHost&) -> CheckOutcome { throw std::runtime_error("work failed"); }),
               std::runtime_error);
  EXPECT_EQ(connector.calls, (std::vector<std::string>{"add \\\\server1 - -", "cancel \\\\server1"}));
}

}  // namespace
}  // namespace vorlane::agent
