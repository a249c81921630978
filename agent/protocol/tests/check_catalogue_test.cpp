#include "agent/protocol/check_catalogue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "agent/protocol/check_registry.h"
#include "agent/protocol/record.h"
#include "agent/protocol/tests/protocol_test_support.h"

namespace vorlane::agent {
namespace {

TEST(CheckIds, EachCheckHasItsAnnouncedAndOneFurtherIdentifier) {
  EXPECT_EQ(CanonicalCheckId("NTSC1"), "NTSC");
  EXPECT_EQ(CanonicalCheckId("NTSC"), "NTSC");
  EXPECT_EQ(CanonicalCheckId("NTPC2"), "NTPC");
  EXPECT_EQ(CanonicalCheckId("NTPC"), "NTPC");
  EXPECT_EQ(CanonicalCheckId("DC__3"), "DC");
  EXPECT_EQ(CanonicalCheckId("DC"), "DC");
  EXPECT_EQ(CanonicalCheckId("PING4"), "PING");
  EXPECT_EQ(CanonicalCheckId("PING"), "PING");
  EXPECT_EQ(CanonicalCheckId("TCP"), "TCP");
  EXPECT_EQ(CanonicalCheckId("URL"), "URL");
}

TEST(CheckIds, OtherSpellingsAreUnknown) {
  for (std::string_view id : {"ntsc", "Dc", "DC__", "DC ", "TCP5", "URL6", "PING4 ", "", "NTSC2"}) {
    EXPECT_FALSE(CanonicalCheckId(id)) << id;
  }
}

TEST(ListChecks, AnswersDifferOnlyInTheTcpFlag) {
  EXPECT_EQ(ListChecksAnswer(true),
            "#keycount=17#responseaction=listchecks#checkcount=6#checkid1=NTSC#checkdescription1=NT ServiceCheck#"
            "available1=true#checkid2=NTPC#checkdescription2=NT ProcessCheck#available2=true#checkid3=DC#"
            "checkdescription3=DiskspaceCheck#available3=true#checkid4=PING#checkdescription4=PingCheck#"
            "available4=true#checkid5=TCP#checkdescription5=TCPBasedCheck#available5=true#checkid6=URL#"
            "checkdescription6=URL Check#available6=true#");
  std::string withoutTcp(ListChecksAnswer(true));
  withoutTcp.replace(withoutTcp.find("available5=true"), 15, "available5=false");
  EXPECT_EQ(ListChecksAnswer(false), withoutTcp);
}

TEST(ProtocolTable, AvailableOnlyAsANonEmptyReadableFile) {
  testing::TempConfigDir config;
  const auto& table = config.paths().tcpConfig;
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "missing";
  config.WriteTcpConfig("");
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "empty";
  config.WriteTcpConfig("[SMTP]\nDPORT=25\n");
  EXPECT_TRUE(ProtocolTableAvailable(table));
  std::filesystem::remove(table);
  std::filesystem::create_directory(table);
  EXPECT_FALSE(ProtocolTableAvailable(table)) << "a folder";
}

TEST(ProtocolTable, UnreadableFileIsNotAvailable) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  testing::TempConfigDir config;
  config.WriteTcpConfig("[SMTP]\nDPORT=25\n");
  ASSERT_EQ(::chmod(config.paths().tcpConfig.c_str(), 0), 0);
  EXPECT_FALSE(ProtocolTableAvailable(config.paths().tcpConfig));
}

TEST(DefineCheck, DiskDefinitionGoesOutWithASinglePercent) {
  const std::string answer = DefineCheckAnswer("DC");
  EXPECT_EQ(answer,
            "#keycount=3#responseaction=definecheck#checkid=DC#parameters=\"#paramname1=Drive letter#"
            "paramtype1=text#maxlength1=255#paramname2=Value#paramtype2=longinteger#maxlength2=10000#"
            "paramname3=Unit#paramtype3=listdrop#valuecount=6#value1=bytes#value2=kb#value3=mb#value4=gb#"
            "value5=tb#value6=%#paramname4=Hostname#paramtype4=text#maxlength4=255#"
            "paramname5=Use authentication#paramtype5=boolean#paramname6=Username#paramtype6=text#"
            "dependson6=paramname5#paramname7=*Password#paramtype7=text#dependson7=paramname5#\"#");
  EXPECT_NE(answer.find("value6=%#paramname4=Hostname"), std::string::npos);
  EXPECT_EQ(DefineCheckAnswer("DC__3"), answer);
}

TEST(DefineCheck, PingDefinitionIsExact) {
  EXPECT_EQ(DefineCheckAnswer("PING"),
            "#keycount=3#responseaction=definecheck#checkid=PING#parameters=\"#paramname1=Hostname#"
            "paramtype1=text#maxlength1=255#paramname2=Number of frames#paramtype2=longinteger#"
            "maxlength2=100#default2=5#paramname3=Success rate#paramtype3=longinteger#maxlength3=100#"
            "default3=95#paramname4=Timeout#paramtype4=longinteger#maxlength4=600#paramname5=TOS#"
            "paramtype5=longinteger#maxlength5=255#default5=0#paramname6=Check TOS-byte consistency#"
            "paramtype6=boolean#\"#");
  EXPECT_EQ(DefineCheckAnswer("PING4"), DefineCheckAnswer("PING"));
}

TEST(DefineCheck, UrlDefinitionIsExact) {
  const std::string answer = DefineCheckAnswer("URL");
  EXPECT_EQ(answer,
            "#keycount=3#responseaction=definecheck#checkid=URL#parameters=\"#paramname1=URL#paramtype1=text#"
            "maxlength1=10000#paramname2=Content check type#paramtype2=listdrop#valuecount=3#"
            "value1=no content check#value2=should contain#value3=should not contain#paramname3=Words#"
            "paramtype3=listdrop#valuecount=3#value1=all words#value2=any word#value3=exact phrase#"
            "paramname4=Content to check for#paramtype4=text#maxlength4=255#"
            "paramname5=Use authentication for URL#paramtype5=boolean#paramname6=Username for URL#"
            "paramtype6=text#dependson6=paramname5#paramname7=*Password for URL#paramtype7=text#"
            "dependson7=paramname5#paramname8=Proxy type#paramtype8=listdrop#valuecount=7#value1=ProxyNone#"
            "value2=ProxySocks4#value3=ProxySocks5#value4=ProxyWEBStandard#value5=ProxyRelay#"
            "value6=ProxySocks4a#value7=ProxyWindows#paramname9=Proxy server name#paramtype9=text#"
            "maxlength9=255#paramname10=Proxy server port#paramtype10=longinteger#maxlength10=65535#"
            "default10=0#paramname11=Use authentication for proxy#paramtype11=boolean#"
            "paramname12=Username for proxy#paramtype12=text#dependson12=paramname11#"
            "paramname13=*Password for proxy#paramtype13=text#dependson13=paramname11#\"#");
  EXPECT_EQ(GetRecordValue(answer, "keycount"), "3");
  EXPECT_EQ(GetRecordValue(answer, "responseaction"), "definecheck");
  EXPECT_TRUE(answer.ends_with("#paramname13=*Password for proxy#paramtype13=text#dependson13=paramname11#\"#"));
}

TEST(DefineCheck, ChecksWithoutADefinitionYetAndUnknownIdsAreNotFound) {
  constexpr std::string_view kNotFound = "#keycount=2#responseaction=definecheck#errormessage=Check not found#";
  for (std::string_view id : {"NTSC", "NTSC1", "NTPC", "NTPC2", "TCP", "ntsc", "url", ""}) {
    EXPECT_EQ(DefineCheckAnswer(id), kNotFound) << id;
  }
}

void NoCheck(AgentContext&, UserHandle&, const std::string&, int32_t) {}

TEST(CheckRegistry, FindsAHandlerByEitherIdentifier) {
  CheckRegistry registry;
  EXPECT_TRUE(registry.Empty());
  EXPECT_EQ(registry.Find("DC"), nullptr);
  registry.Register("DC__3", NoCheck);
  EXPECT_FALSE(registry.Empty());
  EXPECT_NE(registry.Find("DC"), nullptr);
  EXPECT_EQ(registry.Find("DC"), registry.Find("DC__3"));
  EXPECT_EQ(registry.Find("PING"), nullptr);
  EXPECT_EQ(registry.Find("dc"), nullptr);
}

TEST(CheckRegistry, LaterRegistrationReplacesTheHandler) {
  CheckRegistry registry;
  int calls = 0;
  registry.Register("TCP", NoCheck);
  registry.Register("TCP", [&](AgentContext&, UserHandle&, const std::string&, int32_t) { ++calls; });
  const CheckHandler* handler = registry.Find("TCP");
  ASSERT_NE(handler, nullptr);
  testing::ContextOnFakeClock agent;
  testing::FakeUserHandle user;
  (*handler)(agent.context, user, "", 0);
  EXPECT_EQ(calls, 1);
}

TEST(CheckRegistry, RefusesUncataloguedChecksAndEmptyHandlers) {
  CheckRegistry registry;
  EXPECT_THROW(registry.Register("DISK", NoCheck), std::invalid_argument);
  EXPECT_THROW(registry.Register("URL", CheckHandler()), std::invalid_argument);
  EXPECT_TRUE(registry.Empty());
}

}  // namespace
}  // namespace vorlane::agent
