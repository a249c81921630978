// The plugin's pure parts: threshold ranges, the status line and exit code of each answer, the
// request it sends, its command line, and what --list makes of a definition.
#include <gtest/gtest.h>

#include "tools/check_vorlane/plugin.h"

namespace vorlane::plugin {
namespace {

TEST(PluginRange, AlertsAsMonitoringPluginsRead) {
  struct Row {
    const char* range;
    double value;
    bool alerts;
  };
  const Row rows[] = {
      {"10", -0.5, true},   {"10", 0, false},     {"10", 10, false},   {"10", 10.001, true},
      {"10:", 9.99, true},  {"10:", 10, false},   {"10:", 1e9, false}, {"~:10", -1e9, false},
      {"~:10", 10.5, true}, {"10:20", 9, true},   {"10:20", 15, false}, {"10:20", 21, true},
      {"@10:20", 15, true}, {"@10:20", 10, true}, {"@10:20", 21, false}, {"0.5", 0.501, true},
      {"1.5:2.5", 2, false}, {":5", 6, true},
  };
  for (const Row& row : rows) {
    const std::optional<Range> range = ParseRange(row.range);
    ASSERT_TRUE(range) << row.range;
    EXPECT_EQ(range->Alerts(row.value), row.alerts) << row.range << " at " << row.value;
  }
  for (const char* bad : {"", "@", "20:10", "abc", "1:x", "~", "1e", "--1"}) {
    EXPECT_FALSE(ParseRange(bad)) << bad;
  }
}

TEST(PluginVerdict, LineAndExitCodeOfEachAnswer) {
  struct Row {
    const char* answer;
    const char* warning;
    const char* critical;
    ExitCode code;
    const char* line;
  };
  const Row rows[] = {
      {"#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than 1 mb free#", "", "",
       kExitOk, "VORLANE DC OK - There is more than 1 mb free"},
      {"#keycount=3#responseaction=runcheck#checkid=DC#result=down#resultstring=less | than\tthat#", "", "",
       kExitCritical, "VORLANE DC CRITICAL - less / than that"},
      {"#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=ok@@RTO=1250#", "1", "2", kExitWarning,
       "VORLANE DC WARNING - ok (response time 1.250 s, warning range 1)|time=1.250s;1;2;0;"},
      {"#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=ok@@RTO=2001#", "1", "2", kExitCritical,
       "VORLANE DC CRITICAL - ok (response time 2.001 s, critical range 2)|time=2.001s;1;2;0;"},
      {"#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=ok@@RTO=7#", "", "", kExitOk,
       "VORLANE DC OK - ok|time=0.007s;;;0;"},
      // A slow down stays CRITICAL, and the thresholds judge only a check that is up.
      {"#keycount=3#responseaction=runcheck#checkid=DC#result=down#resultstring=no@@RTO=10#", "@0:1", "", kExitCritical,
       "VORLANE DC CRITICAL - no|time=0.010s;@0:1;;0;"},
      {"#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: bad value#", "", "", kExitUnknown,
       "VORLANE DC UNKNOWN - ERROR: bad value"},
      {"#keycount=2#responseaction=runcheck#result=maybe#resultstring=x#", "", "", kExitUnknown,
       "VORLANE DC UNKNOWN - the agent's answer holds no result: #keycount=2#responseaction=runcheck#result=maybe#"
       "resultstring=x#"},
  };
  for (const Row& row : rows) {
    auto range = [](const char* text) { return *text ? ParseRange(text) : std::nullopt; };
    const Verdict verdict = JudgeAnswer("DC", row.answer, range(row.warning), range(row.critical));
    EXPECT_EQ(verdict.code, row.code) << row.answer;
    EXPECT_EQ(verdict.line, row.line);
  }
}

TEST(PluginRequest, PairsCountedSecretsEncodedAndBadTextRefused) {
  Result<std::string> request =
      RunCheckRequest("URL", {{"URL", "http://a/b?c=d"}, {"*Password for URL", "pa55 word"}, {"Words", ""}});
  ASSERT_TRUE(request);
  EXPECT_EQ(request.value(),
            "#keycount=6#requestaction=runcheck#sessionid={session}#checkid=URL#URL=http://a/b?c=d#"
            "*Password for URL=cGE1NSB3b3Jk#Words=#");
  // A secret may hold what a record cannot: it travels encoded.
  EXPECT_TRUE(RunCheckRequest("X", {{"*Password", "a#b\n"}}));
  for (const std::vector<Parameter>& bad : std::vector<std::vector<Parameter>>{
           {{"URL", "http://a/#top"}}, {{"Na#me", "v"}}, {{"A", "1"}, {"A", "2"}}, {{"", "v"}}, {{"A", "x\ry"}}}) {
    EXPECT_FALSE(RunCheckRequest("X", bad)) << bad.front().name << "=" << bad.front().value;
  }
  EXPECT_FALSE(RunCheckRequest("D#C", {}));
}

TEST(PluginOptions, CommandLine) {
  auto env = [](const char* name) -> const char* { return std::string(name) == "VORLANE_PASSWORD" ? "pw" : nullptr; };
  PluginParse parsed = ParsePluginOptions(
      {"-H", "db1", "--telnet", "-uop", "-t", "3", "-w", "~:1", "--critical=@2:3", "TCP", "Port=25", "A=b=c"}, env);
  ASSERT_TRUE(parsed.options) << parsed.error;
  const PluginOptions& options = *parsed.options;
  EXPECT_EQ(options.settings.host, "db1");
  EXPECT_EQ(options.settings.port, 23);
  EXPECT_EQ(options.settings.user, "op");
  EXPECT_EQ(options.settings.password, "pw");
  EXPECT_EQ(options.settings.timeout, std::chrono::seconds(3));
  EXPECT_EQ(options.warning->text, "~:1");
  EXPECT_TRUE(options.critical->alertInside);
  ASSERT_EQ(options.parameters.size(), 2u);
  EXPECT_EQ(options.parameters[1].name, "A");
  EXPECT_EQ(options.parameters[1].value, "b=c");

  struct Row {
    std::vector<std::string> args;
    const char* error;
  };
  const Row rows[] = {
      {{"-u", "op", "DC"}, "no host: use -H HOST"},
      {{"-H", "h", "DC"}, "no user: use -u USER"},
      {{"-H", "h", "-u", "op"}, "no check id (see --list for the agent's checks)"},
      {{"-H", "h", "-u", "op", "--password", "x", "DC"}, "a password is never taken on the command line"},
      {{"-H", "h", "-u", "op", "-w", "5:1", "DC"}, "bad range 5:1"},
      {{"-H", "h", "-u", "op", "-t", "0", "DC"}, "bad timeout 0"},
      {{"-H", "h", "-u", "op", "DC", "novalue"}, "a parameter is NAME=VALUE, not novalue"},
      {{"-H", "h", "-u", "op", "--password-env", "NONE", "DC"}, "no password: use --password-file F, or set NONE"},
      {{"-H", "h", "-u", "op", "-x", "DC"}, "unknown option -x"},
  };
  for (const Row& row : rows) {
    const PluginParse bad = ParsePluginOptions(row.args, env);
    EXPECT_FALSE(bad.options);
    EXPECT_EQ(bad.error.rfind(row.error, 0), 0u) << bad.error;
  }
}

TEST(PluginList, DefinitionAndCheckListReadable) {
  const Result<std::string> definition = DescribeDefinition(
      "#keycount=3#responseaction=definecheck#checkid=NTPC#parameters=\"#paramname1=Process name#paramtype1=listcombo#"
      "valuecount=2#value1=sshd#value2=cron#atbutton_paramcount=1#atbutton_param1=Hostname#sorted=true#"
      "paramname2=Number#paramtype2=longinteger#maxlength2=255#default2=1#paramname3=Use authentication#"
      "paramtype3=boolean#paramname4=*Password#paramtype4=text#dependson4=paramname3#\"#");
  ASSERT_TRUE(definition) << definition.error().message;
  EXPECT_EQ(definition.value(),
            "Parameters of NTPC (give each as 'NAME=VALUE'):\n"
            "  'Process name'  one of (or another text) the host's values: sshd | cron; the list is of the host "
            "named by 'Hostname'\n"
            "  'Number'  number up to 255, default 1\n"
            "  'Use authentication'  true or false\n"
            "  '*Password'  text, secret (give it in plain text; it is sent encoded), used when 'Use authentication' "
            "is true\n");
  EXPECT_FALSE(DescribeDefinition("#keycount=2#responseaction=definecheck#errormessage=Check not found#"));

  const Result<std::string> list = DescribeCheckList(
      "#keycount=17#responseaction=listchecks#checkcount=2#checkid1=DC#checkdescription1=DiskspaceCheck#"
      "available1=true#checkid2=TCP#checkdescription2=TCPBasedCheck#available2=false#");
  ASSERT_TRUE(list);
  EXPECT_EQ(list.value(), "Checks of the agent (check id, description):\n  DC  DiskspaceCheck\n"
                          "  TCP  TCPBasedCheck (not available)\n");
}

}  // namespace
}  // namespace vorlane::plugin
