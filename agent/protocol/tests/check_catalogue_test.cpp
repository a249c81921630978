#include "agent/protocol/check_catalogue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "agent/protocol/check_registry.h"
#include "agent/request/record.h"
#include "agent/checks/tests/check_test_support.h"
#include "agent/request/tests/request_test_support.h"

namespace vorlane::agent {
namespace {

const std::filesystem::path kNoTable = "/nonexistent/TCPConfig.INI";

TEST(CheckIds, EachCheckHasItsAnnouncedAndOneFurtherIdentifier) {
  const std::pair<std::string_view, std::string_view> ids[] = {
      {"NTSC1", "NTSC"}, {"NTSC", "NTSC"}, {"NTPC2", "NTPC"}, {"NTPC", "NTPC"}, {"DC__3", "DC"},
      {"DC", "DC"},      {"PING4", "PING"}, {"PING", "PING"}, {"TCP", "TCP"},   {"URL", "URL"},
  };
  for (const auto& [id, canonical] : ids) EXPECT_EQ(CanonicalCheckId(id), canonical) << id;
}

TEST(CheckIds, OtherSpellingsAreUnknown) {
  for (std::string_view id : {"ntsc", "Dc", "DC__", "DC ", "TCP5", "URL6", "PING4 ", "", "NTSC2"}) {
    EXPECT_FALSE(CanonicalCheckId(id)) << id;
  }
}

TEST(ListChecks, AnswersDifferOnlyInTheTcpFlag) {
  testing::TempConfigDir config;
  config.WriteTcpConfig("[SMTP]\r\nDPORT=25\r\n");
  EXPECT_EQ(ListChecksAnswer(config.paths().tcpConfig),
            "#keycount=17#responseaction=listchecks#checkcount=6#checkid1=NTSC#checkdescription1=NT ServiceCheck#"
            "available1=true#checkid2=NTPC#checkdescription2=NT ProcessCheck#available2=true#checkid3=DC#"
            "checkdescription3=DiskspaceCheck#available3=true#checkid4=PING#checkdescription4=PingCheck#"
            "available4=true#checkid5=TCP#checkdescription5=TCPBasedCheck#available5=true#checkid6=URL#"
            "checkdescription6=URL Check#available6=true#");
  std::string withoutTcp(ListChecksAnswer(config.paths().tcpConfig));
  withoutTcp.replace(withoutTcp.find("available5=true"), 15, "available5=false");
  EXPECT_EQ(ListChecksAnswer(kNoTable), withoutTcp);
}

TEST(DefineCheck, DiskDefinitionGoesOutWithASinglePercent) {
  const std::string answer = DefineCheckAnswer("DC", kNoTable);
  EXPECT_EQ(answer,
            "#keycount=3#responseaction=definecheck#checkid=DC#parameters=\"#paramname1=Drive letter#"
            "paramtype1=text#maxlength1=255#paramname2=Value#paramtype2=longinteger#maxlength2=10000#"
            "paramname3=Unit#paramtype3=listdrop#valuecount=6#value1=bytes#value2=kb#value3=mb#value4=gb#"
            "value5=tb#value6=%#paramname4=Hostname#paramtype4=text#maxlength4=255#"
            "paramname5=Use authentication#paramtype5=boolean#paramname6=Username#paramtype6=text#"
            "dependson6=paramname5#paramname7=*Password#paramtype7=text#dependson7=paramname5#\"#");
  EXPECT_NE(answer.find("value6=%#paramname4=Hostname"), std::string::npos);
  EXPECT_EQ(DefineCheckAnswer("DC__3", kNoTable), answer);
}

TEST(DefineCheck, PingDefinitionIsExact) {
  EXPECT_EQ(DefineCheckAnswer("PING", kNoTable),
            "#keycount=3#responseaction=definecheck#checkid=PING#parameters=\"#paramname1=Hostname#"
            "paramtype1=text#maxlength1=255#paramname2=Number of frames#paramtype2=longinteger#"
            "maxlength2=100#default2=5#paramname3=Success rate#paramtype3=longinteger#maxlength3=100#"
            "default3=95#paramname4=Timeout#paramtype4=longinteger#maxlength4=600#paramname5=TOS#"
            "paramtype5=longinteger#maxlength5=255#default5=0#paramname6=Check TOS-byte consistency#"
            "paramtype6=boolean#\"#");
  EXPECT_EQ(DefineCheckAnswer("PING4", kNoTable), DefineCheckAnswer("PING", kNoTable));
}

TEST(DefineCheck, UrlDefinitionIsExact) {
  const std::string answer = DefineCheckAnswer("URL", kNoTable);
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

TEST(DefineCheck, UnknownIdsAreNotFound) {
  constexpr std::string_view kNotFound = "#keycount=2#responseaction=definecheck#errormessage=Check not found#";
  for (std::string_view id : {"ntsc", "url", "", "TCP5", "NTSC2", "Ntpc"}) {
    EXPECT_EQ(DefineCheckAnswer(id, kNoTable), kNotFound) << id;
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

using testing::RecordingConnector;
using testing::TempConfigDir;

// Checks that `list` is "#value1=a#value2=b#...#value<count>=z#" with non-empty names.
void ExpectNumberedList(const std::string& list, int count) {
  ASSERT_TRUE(list.starts_with("#")) << list.substr(0, 40);
  size_t at = 1;
  for (int n = 1; n <= count; ++n) {
    const std::string key = "value" + std::to_string(n) + "=";
    ASSERT_EQ(list.compare(at, key.size(), key), 0) << "entry " << n << " at " << list.substr(at, 40);
    const size_t end = list.find('#', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_GT(end, at + key.size()) << "entry " << n << " has a name";
    at = end + 1;
  }
  EXPECT_EQ(at, list.size()) << "nothing after entry " << count;
}

TEST(DefineCheck, TcpDefinitionCarriesTheTableAndItsDefault) {
  TempConfigDir config;
  config.WriteTcpConfig("[SMTP]\r\nDPORT=25\r\nPROC=220\r\n[POP3]\r\nDPORT=110\r\ndefault=1\r\n");
  EXPECT_EQ(DefineCheckAnswer("TCP", config.paths().tcpConfig),
            "#keycount=3#responseaction=definecheck#checkid=TCP#parameters=\"#paramname1=Protocol#"
            "paramtype1=listdrop#valuecount=2#value1=SMTP:25#value2=POP3:110#default1=POP3:110#sorted=true#"
            "paramname2=Port#paramtype2=longinteger#maxlength2=65535#default2=110#paramname3=Hostname#"
            "paramtype3=text#maxlength3=255#paramname4=Timeout (sec.)#paramtype4=longinteger#maxlength4=600#\"#");
}

TEST(DefineCheck, TcpDefinitionWithoutADefaultHasNoDefaultPort) {
  TempConfigDir config;
  config.WriteTcpConfig("[HTTP]\nDPORT=80\n");
  EXPECT_EQ(DefineCheckAnswer("TCP", config.paths().tcpConfig),
            "#keycount=3#responseaction=definecheck#checkid=TCP#parameters=\"#paramname1=Protocol#"
            "paramtype1=listdrop#valuecount=1#value1=HTTP:80#sorted=true#paramname2=Port#paramtype2=longinteger#"
            "maxlength2=65535#paramname3=Hostname#paramtype3=text#maxlength3=255#paramname4=Timeout (sec.)#"
            "paramtype4=longinteger#maxlength4=600#\"#");
}

TEST(DefineCheck, TcpWithoutProtocolsIsTheTableError) {
  constexpr std::string_view kNoProtocols =
      "#keycount=3#responseaction=runcheck#checkid=TCP#errormessage=ERROR: Could not get the TCP protocols! "
      "\r\nWrong INI file!#";
  TempConfigDir config;
  EXPECT_EQ(DefineCheckAnswer("TCP", config.paths().tcpConfig), kNoProtocols) << "missing";
  config.WriteTcpConfig("");
  EXPECT_EQ(DefineCheckAnswer("TCP", config.paths().tcpConfig), kNoProtocols) << "empty";
  config.WriteTcpConfig("DPORT=25\n; no section\n");
  EXPECT_EQ(DefineCheckAnswer("TCP", config.paths().tcpConfig), kNoProtocols) << "no section";
}

TEST(DefineCheck, ProcessDefinitionCarriesThisHostsProcessNames) {
  const std::string name = "vqD" + std::to_string(::getpid());
  testing::NamedProcesses processes(name, 2);
  for (std::string_view id : {"NTPC", "NTPC2"}) {
    const std::string answer = DefineCheckAnswer(id, kNoTable);
    constexpr std::string_view kHead =
        "#keycount=3#responseaction=definecheck#checkid=NTPC#parameters=\"#paramname1=Process name#"
        "paramtype1=listcombo#valuecount=";
    constexpr std::string_view kTail =
        "atbutton_paramcount=4#atbutton_param1=Hostname#atbutton_param2=Use authentication#"
        "atbutton_param3=Username#atbutton_param4=*Password#sorted=true#paramname2=Type#paramtype2=listdrop#"
        "valuecount=2#value1=less than#value2=at least#paramname3=Number#paramtype3=longinteger#maxlength3=255#"
        "paramname4=Hostname#paramtype4=text#maxlength4=255#paramname5=Use authentication#paramtype5=boolean#"
        "paramname6=Username#paramtype6=text#dependson6=paramname5#paramname7=*Password#paramtype7=text#"
        "dependson7=paramname5#\"#";
    ASSERT_TRUE(answer.starts_with(kHead)) << answer.substr(0, 200);
    ASSERT_TRUE(answer.ends_with(kTail)) << id;
    const std::string middle = answer.substr(kHead.size(), answer.size() - kHead.size() - kTail.size());
    const size_t hash = middle.find('#');
    ASSERT_NE(hash, std::string::npos);
    const int count = std::stoi(middle.substr(0, hash));
    ExpectNumberedList(middle.substr(hash), count);
    EXPECT_NE(middle.find("=" + name + "#"), std::string::npos);
    EXPECT_EQ(middle.find("=_Total#"), std::string::npos);
  }
}

// ---- getcomboparamvalues ----

class ComboValuesTest : public ::testing::Test {
 protected:
  std::string Ask(const std::string& parameters) {
    user_.sent.clear();
    SendComboValues(user_, "#requestaction=getcomboparamvalues#" + parameters, 6, connector_);
    return user_.OnlyAnswer(6);
  }

  testing::LogCapture log_;
  RecordingConnector connector_;
  testing::OrderedUserHandle user_{connector_};
};

TEST_F(ComboValuesTest, ProcessNamesOfThisHost) {
  const std::string name = "vqB" + std::to_string(::getpid());
  testing::NamedProcesses processes(name, 1);
  const std::string answer = Ask("checkid=NTPC2#Hostname=#");
  constexpr std::string_view kHead =
      "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#parameters=\"#paramname1=Process name#"
      "paramtype1=listcombo#valuecount=";
  ASSERT_TRUE(answer.starts_with(kHead)) << answer.substr(0, 200);
  ASSERT_TRUE(answer.ends_with("##\"#")) << "the list's own '#' and then the closing one";
  const std::string middle = answer.substr(kHead.size(), answer.size() - kHead.size() - 3);
  const size_t hash = middle.find('#');
  ExpectNumberedList(middle.substr(hash), std::stoi(middle.substr(0, hash)));
  EXPECT_NE(middle.find("=" + name + "#"), std::string::npos);
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"sent"}));
}

TEST_F(ComboValuesTest, AnUnreachableHostIsTheConnectionErrorForEitherList) {
  connector_.result = kNetBadNetPath;
  EXPECT_EQ(Ask("checkid=NTSC1#Hostname=far#Use authentication=true#Username=ops#*Password=c2VjcmV0#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#errormessage=ERROR: could not connect to "
            "hostname. Reason: The network path was not found.\r\n#");
  EXPECT_EQ(Ask("checkid=NTPC#Hostname=far#Use authentication=TRUE#Username=ops#*Password=c2VjcmV0#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#errormessage=ERROR: could not connect to "
            "hostname. Reason: The network path was not found.\r\n#");
  EXPECT_EQ(connector_.calls,
            (std::vector<std::string>{"add \\\\far ops secret", "sent", "add \\\\far - -", "sent"}))
      << "only exactly \"true\" asks for the given credentials; nothing to cancel after a failure";
}

TEST_F(ComboValuesTest, AHostWhoseListsCannotBeBuiltIsAnsweredAndLeftAfterTheAnswer) {
  EXPECT_EQ(Ask("checkid=NTSC#Hostname=far#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTSC#errormessage=ERROR: Could not get the running "
            "services!#");
  EXPECT_EQ(Ask("checkid=NTPC#Hostname=far#"),
            "#keycount=3#responseaction=getcomboparamvalues#checkid=NTPC#errormessage=ERROR: Could not get the running "
            "processes! \n\rError code: 0x800007D0. Unable to connect to the specified computer or the computer is "
            "offline.\r\n#");
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\far - -", "sent", "cancel \\\\far", "add \\\\far - -",
                                                        "sent", "cancel \\\\far"}));
}

TEST_F(ComboValuesTest, OtherChecksAreNotFound) {
  for (std::string_view id : {"DC", "TCP", "URL", "ntpc", ""}) {
    EXPECT_EQ(Ask("checkid=" + std::string(id) + "#Hostname=far#"),
              "#keycount=2#responseaction=getcomboparamvalues#errormessage=Check not found#")
        << id;
  }
  EXPECT_EQ(connector_.calls, std::vector<std::string>(5, "sent")) << "no connection for a check without a list";
}

}  // namespace
}  // namespace vorlane::agent
