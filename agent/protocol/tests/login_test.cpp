#include "agent/protocol/login.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "agent/request/record.h"
#include "agent/request/tests/request_test_support.h"

namespace vorlane::agent {
namespace {

using testing::ContextOnFakeClock;
using testing::FakeUserHandle;
using testing::LogCapture;

class LoginTest : public ::testing::Test {
 protected:
  // One user section as the configuration dialog writes it.
  std::string Section(const std::string& name, const std::string& user, const std::string& plainPassword,
                      const std::string& range = "") {
    return "[" + name + "]\r\nUserName=" + user + "\r\nPassword=" + agent_.cipher.EncipherPassword(plainPassword) +
           "\r\nRange=" + range + "\r\n";
  }

  // Runs ValidateLogin and returns what it logged.
  std::vector<std::string> Validate(std::string_view user, std::string_view password, std::string_view address,
                                    bool* admitted) {
    LogCapture log;
    *admitted = ValidateLogin(agent_.context.paths.agentConfig, agent_.cipher, user, password, address);
    return log.Lines();
  }

  bool Admits(std::string_view user, std::string_view password, std::string_view address) {
    bool admitted = false;
    Validate(user, password, address, &admitted);
    return admitted;
  }

  // The single line logged by a refusal.
  std::string Refusal(std::string_view user, std::string_view password, std::string_view address) {
    bool admitted = true;
    const auto lines = Validate(user, password, address, &admitted);
    EXPECT_FALSE(admitted);
    return lines.size() == 1 ? lines[0] : "(" + std::to_string(lines.size()) + " lines)";
  }

  LogCapture quiet_;  // keeps the lines that a test does not look at off the terminal
  ContextOnFakeClock agent_;
};

TEST(AddressValue, ConvertsEachPartByItsLeadingDigits) {
  EXPECT_EQ(AddressValue("192.168.1.10"), 0xC0A8010Au);
  EXPECT_EQ(AddressValue("0.0.0.0"), 0u);
  EXPECT_EQ(AddressValue("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(AddressValue("10.0.0.7x"), 0x0A000007u);
  EXPECT_EQ(AddressValue("10.a.0.1"), 0x0A000001u);
  EXPECT_EQ(AddressValue(" 10.0.0.1"), 0x0A000001u);
  EXPECT_EQ(AddressValue("1.2.3.4.5"), 0x01020304u);
}

TEST(AddressValue, FewerThanThreeDotsIsTheHighestAddress) {
  EXPECT_EQ(AddressValue(""), 0xFFFFFFFFu);
  EXPECT_EQ(AddressValue("10.0.1"), 0xFFFFFFFFu);
  EXPECT_EQ(AddressValue("localhost"), 0xFFFFFFFFu);
}

TEST_F(LoginTest, NameIgnoresCasePasswordDoesNot) {
  agent_.config.WriteAgentConfig(Section("u1", "admin", "Secret"));
  EXPECT_TRUE(Admits("ADMIN", "Secret", "10.1.1.1"));
  EXPECT_TRUE(Admits("admin", "Secret", "10.1.1.1"));
  EXPECT_EQ(Refusal("admin", "secret", "10.1.1.1"), "-- i -- Wrong password!");
  EXPECT_EQ(Refusal("admin", "Secret ", "10.1.1.1"), "-- i -- Wrong password!");
  EXPECT_EQ(Refusal("admin", "", "10.1.1.1"), "-- i -- Wrong password!");
  EXPECT_EQ(Refusal("root", "Secret", "10.1.1.1"), "-- i -- Wrong user!");
}

TEST_F(LoginTest, SixteenCharacterPasswordFillsTheBlockAndIsAccepted) {
  agent_.config.WriteAgentConfig(Section("u1", "op", "0123456789abcdef"));
  EXPECT_TRUE(Admits("op", "0123456789abcdef", ""));
  EXPECT_EQ(Refusal("op", "0123456789abcde", ""), "-- i -- Wrong password!");
  EXPECT_EQ(Refusal("op", "0123456789abcdefg", ""), "-- i -- Wrong password!");
}

TEST_F(LoginTest, RangesAdmitOnlyTheIpv4AddressesTheyHold) {
  struct Case {
    std::string range;
    std::string peer;
    bool admitted;
    std::string refusal;
  };
  const Case cases[] = {
      // A range is inclusive at both ends; an unknown address is the highest one.
      {"192.168.1.10-192.168.1.20", "192.168.1.10", true, ""},
      {"192.168.1.10-192.168.1.20", "192.168.1.15", true, ""},
      {"192.168.1.10-192.168.1.20", "192.168.1.20", true, ""},
      {"192.168.1.10-192.168.1.20", "192.168.1.21", false, "-- i -- Wrong IP!"},
      {"192.168.1.10-192.168.1.20", "192.168.1.9", false, "-- i -- Wrong IP!"},
      {"192.168.1.10-192.168.1.20", "", false, "-- i -- Wrong IP!"},
      // Compared unsigned across the upper half.
      {"10.0.0.0-200.0.0.0", "150.1.1.1", true, ""},
      {"10.0.0.0-200.0.0.0", "10.0.0.0", true, ""},
      {"10.0.0.0-200.0.0.0", "200.0.0.1", false, "-- i -- Wrong IP!"},
      // Address zero is never in a range.
      {"0.0.0.0-255.255.255.255", "8.8.8.8", true, ""},
      {"0.0.0.0-255.255.255.255", "0.0.0.0", false, "-- i -- Wrong IP!"},
      // A single address must match exactly.
      {"192.168.1.10", "192.168.1.10", true, ""},
      {"192.168.1.10", "192.168.1.11", false, "-- i -- Wrong IP address!"},
      {"192.168.1.10", "192.168.1.100", false, "-- i -- Wrong IP address!"},
      // A native IPv6 peer once read as 255.255.255.255 and got into the upper ranges.
      {"200.0.0.0-255.255.255.255", "::1", false, "-- i -- Wrong IP!"},
      {"0.0.0.1-255.255.255.255", "2001:db8::7", false, "-- i -- Wrong IP!"},
      {"0.0.0.1-255.255.255.255", "fe80::1%lo", false, "-- i -- Wrong IP!"},
      {"0.0.0.1-255.255.255.255", "", false, "-- i -- Wrong IP!"},
      {"0.0.0.1-255.255.255.255", "::ffff:", false, "-- i -- Wrong IP!"},
      {"0.0.0.1-255.255.255.255", "::ffff:7f00:1", false, "-- i -- Wrong IP!"},
      {"::1", "::1", false, "-- i -- Wrong IP address!"},
      {"255.255.255.255", "::1", false, "-- i -- Wrong IP address!"},
      // An IPv4-mapped peer is the IPv4 address it carries.
      {"127.0.0.1-127.0.0.9", "::ffff:127.0.0.1", true, ""},
      {"127.0.0.1-127.0.0.9", "::FFFF:127.0.0.9", true, ""},
      {"127.0.0.1-127.0.0.9", "::ffff:127.0.0.10", false, "-- i -- Wrong IP!"},
      {"0.0.0.0-255.255.255.255", "::ffff:0.0.0.0", false, "-- i -- Wrong IP!"},
      {"127.0.0.1", "::ffff:127.0.0.1", true, ""},
      {"127.0.0.1", "::ffff:127.0.0.2", false, "-- i -- Wrong IP address!"},
      // And plain IPv4 is unchanged.
      {"200.0.0.0-255.255.255.255", "255.255.255.255", true, ""},
      {"200.0.0.0-255.255.255.255", "127.0.0.1", false, "-- i -- Wrong IP!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("Range=" + c.range + " peer=" + c.peer);
    agent_.config.WriteAgentConfig(Section("u1", "op", "pw", c.range));
    if (c.admitted) {
      EXPECT_TRUE(Admits("op", "pw", c.peer));
    } else {
      EXPECT_EQ(Refusal("op", "pw", c.peer), c.refusal);
    }
  }
  // With no range, any peer gets in, IPv6 included.
  agent_.config.WriteAgentConfig(Section("u1", "op", "pw"));
  EXPECT_TRUE(Admits("op", "pw", "::1"));
}

TEST_F(LoginTest, NameOrPasswordHoldingANulIsAWrongPassword) {
  agent_.config.WriteAgentConfig(Section("u1", "op", "s3cret"));
  ASSERT_TRUE(Admits("op", "s3cret", "10.1.1.1"));
  const std::string nul(1, '\0');
  const std::pair<std::string, std::string> credentials[] = {
      {"op", "s3cret" + nul + "junk"},
      {"op", "s3cret" + nul},
      {"op", nul + "s3cret"},
      {"op" + nul + "junk", "s3cret"},
      {"op" + nul, "s3cret"},
      {nul, nul},
  };
  for (const auto& [user, password] : credentials) {
    EXPECT_EQ(Refusal(user, password, "10.1.1.1"), "-- i -- Wrong password!");
  }
  FakeUserHandle user;
  user.address = "10.1.1.1";
  LogCapture log;
  EXPECT_EQ(OnLoginPassword(agent_.context, user, "op", "s3cret" + nul + "junk"), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"-- i -- Wrong password!", "-- i -- Login NOT allowed!"}));
}

TEST_F(LoginTest, OnlyTheFirstSectionWithTheNameCounts) {
  agent_.config.WriteAgentConfig("[GeneralInfo]\r\nProtocol=Telnet\r\nPort=23\r\n" + Section("first", "Op", "one") +
                                 Section("second", "op", "two"));
  EXPECT_TRUE(Admits("op", "one", "1.2.3.4"));
  EXPECT_EQ(Refusal("op", "two", "1.2.3.4"), "-- i -- Wrong password!");
}

TEST_F(LoginTest, MissingConfigurationKnowsNoUser) {
  ASSERT_FALSE(std::filesystem::exists(agent_.context.paths.agentConfig));
  EXPECT_EQ(Refusal("admin", "pw", "1.2.3.4"), "-- i -- Wrong user!");
}

TEST_F(LoginTest, MalformedStoredPasswordIsAWrongPassword) {
  agent_.config.WriteAgentConfig("[u1]\r\nUserName=op\r\nPassword=!!not base64!!\r\n");
  EXPECT_EQ(Refusal("op", "pw", "1.2.3.4"), "-- i -- Wrong password!");
}

TEST_F(LoginTest, EmptyStoredPasswordAdmitsNobody) {
  // The bytes that an empty stored value deciphers to would otherwise be a valid password.
  const std::string emptyDeciphered = agent_.cipher.DecipherPassword("");
  ASSERT_FALSE(emptyDeciphered.empty());
  agent_.config.WriteAgentConfig("[u1]\r\nUserName=op\r\nPassword=\r\n[u2]\r\nUserName=nopw\r\n");
  EXPECT_EQ(Refusal("op", emptyDeciphered, "1.2.3.4"), "-- i -- Wrong password!");
  EXPECT_EQ(Refusal("op", "", "1.2.3.4"), "-- i -- Wrong password!");
  EXPECT_EQ(Refusal("nopw", emptyDeciphered, "1.2.3.4"), "-- i -- Wrong password!");
}

TEST_F(LoginTest, LoginEventAllowsAndLogs) {
  agent_.config.WriteAgentConfig(Section("u1", "op", "pw", "10.0.0.1-10.0.0.9"));
  FakeUserHandle user;
  user.address = "10.0.0.5";
  LogCapture log;
  EXPECT_EQ(OnLoginPassword(agent_.context, user, "OP", "pw"), 1);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"-- i -- Login allowed"});
  EXPECT_TRUE(user.sent.empty());
}

TEST_F(LoginTest, LoginEventRefusesWithTheReasonFirst) {
  agent_.config.WriteAgentConfig(Section("u1", "op", "pw", "10.0.0.1-10.0.0.9"));
  FakeUserHandle user;
  user.address = "10.0.0.10";
  LogCapture log;
  EXPECT_EQ(OnLoginPassword(agent_.context, user, "op", "pw"), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"-- i -- Wrong IP!", "-- i -- Login NOT allowed!"}));
}

TEST_F(LoginTest, EmptyNameAndPasswordAreRefusedWithoutReadingTheConfiguration) {
  // An entry that would admit the empty name with the empty password, were the file read.
  agent_.config.WriteAgentConfig("[u1]\r\nUserName=\r\nPassword=" + agent_.cipher.EncipherPassword("") + "\r\n");
  ASSERT_TRUE(Admits("", "", "1.2.3.4"));
  FakeUserHandle user;
  LogCapture log;
  EXPECT_EQ(OnLoginPassword(agent_.context, user, "", ""), 0);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"-- i -- ****"});
}

TEST_F(LoginTest, ServiceStartOpensASessionAndSendsTheLoginAnswer) {
  FakeUserHandle user;
  LogCapture log;
  OnServiceStart(agent_.context, user, 4, 1, "shell");
  ASSERT_EQ(user.sent.size(), 1u);
  const std::string& answer = user.sent[0].text;
  EXPECT_EQ(user.sent[0].serviceIndex, 4) << "the login answer goes out on the channel that was started";
  const std::string id = GetRecordValue(answer, "sessionid");
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(answer, "#keycount=3#responseaction=login#sessionid=" + id + "#registrationlevel=standard#");
  EXPECT_EQ(agent_.sessions.Lookup(id), agent_.now);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"-- i -- ServiceStart", "---> " + answer,
                                                   "-- i -- Add sessionid = " + id + " to the sessions list."}));
}

TEST_F(LoginTest, EachServiceStartOpensAnotherSession) {
  FakeUserHandle user;
  LogCapture log;
  OnServiceStart(agent_.context, user, 0, 1, "shell");
  OnServiceStart(agent_.context, user, 0, 1, "shell");
  ASSERT_EQ(user.sent.size(), 2u);
  EXPECT_NE(GetRecordValue(user.sent[0].text, "sessionid"), GetRecordValue(user.sent[1].text, "sessionid"));
  EXPECT_EQ(agent_.sessions.Size(), 2u);
}

TEST_F(LoginTest, SftpServiceStartOpensNoSession) {
  FakeUserHandle user;
  LogCapture log;
  OnServiceStart(agent_.context, user, 1, 3, "sftp");
  EXPECT_TRUE(user.sent.empty());
  EXPECT_EQ(agent_.sessions.Size(), 0u);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"-- i -- SFTP service request"});
}

}  // namespace
}  // namespace vorlane::agent
