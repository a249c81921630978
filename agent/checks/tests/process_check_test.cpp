#include "agent/checks/process_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/checks/tests/check_test_support.h"
#include "agent/request/record.h"
#include "agent/request/tests/request_test_support.h"
#include "platform/process/process_table.h"

namespace vorlane::agent {
namespace {

using testing::LogCapture;
using testing::NamedProcesses;
using testing::RecordingConnector;

constexpr int32_t kServiceIndex = 3;

// ---- The decision by type ----

TEST(EvaluateProcessCount, LessThanIsDownBelowTheNumber) {
  ProcessCheckResult result = EvaluateProcessCount("less than", 0, 1, "notepad");
  EXPECT_FALSE(result.up);
  EXPECT_EQ(result.text, "There are less than 1 processes named notepad running");
  result = EvaluateProcessCount("less than", 1, 1, "notepad");
  EXPECT_TRUE(result.up) << "equality is enough";
  EXPECT_EQ(result.text, "There is/are at least 1 process(es) named notepad running");
}

TEST(EvaluateProcessCount, AtLeastIsDownFromTheNumberOn) {
  ProcessCheckResult result = EvaluateProcessCount("at least", 3, 3, "svchost");
  EXPECT_FALSE(result.up);
  EXPECT_EQ(result.text, "There is/are at least 3 process(es) named svchost running");
  result = EvaluateProcessCount("at least", 2, 3, "svchost");
  EXPECT_TRUE(result.up);
  EXPECT_EQ(result.text, "There are less than 3 processes named svchost running");
}

TEST(EvaluateProcessCount, NegativeNumbersAndOtherTypes) {
  EXPECT_TRUE(EvaluateProcessCount("less than", 0, -5, "x").up);
  EXPECT_EQ(EvaluateProcessCount("less than", 0, -5, "x").text, "There is/are at least -5 process(es) named x running");
  for (std::string_view type : {"Less Than", "less  than", "", "at_least", "AT LEAST"}) {
    const ProcessCheckResult result = EvaluateProcessCount(type, 10, 1, "x");
    EXPECT_FALSE(result.up) << type;
    EXPECT_EQ(result.text, "") << type;
  }
}

// ---- The list of names ----

ProcessNameList ListOf(const std::vector<std::string>& names, uint32_t status = platform::kProcessStatusOk) {
  return BuildProcessNameList([&](const std::function<void(std::string_view)>& visit) {
    for (const std::string& name : names) visit(name);
    return status;
  });
}

TEST(ProcessNameList, EachNameOnceInOrderOfFirstAppearanceWithoutTotal) {
  const ProcessNameList list =
      ListOf({"System", "svchost", "python3.11", "svchost", "_Total", "svchost", "sshd", "SVCHOST", "_total"});
  EXPECT_EQ(list.status, 0u);
  EXPECT_EQ(list.count, 5);
  EXPECT_EQ(list.text, "#value1=System#value2=svchost#value3=python3.11#value4=sshd#value5=SVCHOST#");
}

TEST(ProcessNameList, NamesThatWouldBreakTheAnswerAreLeftOut) {
  const ProcessNameList list = ListOf({"a#result=up", "quote\"d", "line\nend", "ok", "x=y"});
  EXPECT_EQ(list.text, "#value1=ok#value2=x=y#");
  EXPECT_EQ(list.count, 2);
}

TEST(ProcessNameList, AFailureGivesNoPartialList) {
  const ProcessNameList list = ListOf({"a", "b"}, platform::kPdhNoObject);
  EXPECT_EQ(list.text, "");
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.status, platform::kPdhNoObject);
}

TEST(ProcessNameList, ThisHostListsTheProcessesTheTestStarted) {
  const std::string name = "vqL" + std::to_string(::getpid());
  NamedProcesses processes(name, 3);
  ASSERT_EQ(processes.Running(), 3u);
  const ProcessNameList list = ListProcessNames("");
  ASSERT_EQ(list.status, 0u);
  const std::string entry = "=" + name + "#";
  const size_t at = list.text.find(entry);
  ASSERT_NE(at, std::string::npos) << list.text;
  EXPECT_EQ(list.text.find(entry, at + 1), std::string::npos) << "listed once";
  EXPECT_EQ(list.text.find("=_Total#"), std::string::npos);
  EXPECT_TRUE(list.text.starts_with("#value1=")) << list.text.substr(0, 40);
  EXPECT_NE(list.text.find("#value" + std::to_string(list.count) + "="), std::string::npos);
  EXPECT_EQ(list.text.find("#value" + std::to_string(list.count + 1) + "="), std::string::npos);
}

// ---- The check ----

class ProcessCheckTest : public ::testing::Test {
 protected:
  std::string Run(const std::string& parameters) {
    user_.sent.clear();
    SendCheckAnswer(user_, kServiceIndex, kProcessCheck.id,
                    ProcessCheckOutcome("#requestaction=runcheck#checkid=NTPC#" + parameters, connector_));
    return user_.OnlyAnswer(kServiceIndex);
  }

  LogCapture log_;
  RecordingConnector connector_;
  testing::OrderedUserHandle user_{connector_};
  const std::string name_ = "vqC" + std::to_string(::getpid());
};

TEST_F(ProcessCheckTest, CountsTheProcessesOfTheNameAgainstTheNumber) {
  NamedProcesses processes(name_, 3);
  ASSERT_EQ(processes.Running(), 3u);
  EXPECT_EQ(Run("Process name=" + name_ + "#Type=at least#Number=3#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#result=down#resultstring=There is/are at least 3 "
            "process(es) named " + name_ + " running#");
  EXPECT_EQ(Run("Process name=" + name_ + "#Type=at least#Number=4#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#result=up#resultstring=There are less than 4 "
            "processes named " + name_ + " running#");
  processes.StopOne();
  EXPECT_EQ(Run("Process name=" + name_ + "#Type=less than#Number=3#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#result=down#resultstring=There are less than 3 "
            "processes named " + name_ + " running#");
  EXPECT_EQ(Run("Process name=" + name_ + "#Type=less than#Number=2#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#result=up#resultstring=There is/are at least 2 "
            "process(es) named " + name_ + " running#");
  EXPECT_EQ(connector_.calls, std::vector<std::string>(4, "sent")) << "no host named, no connection";
}

// The name stands in the answer: a control character there would split or cut it. A name with a
// NUL inside is no process's name, so none are counted for the part before it.
TEST_F(ProcessCheckTest, TheNameIsShownAsAnswerTextAndOneHoldingANulMatchesNothing) {
  NamedProcesses processes(name_, 1);
  ASSERT_EQ(processes.Running(), 1u);
  for (const std::string& suffix : {std::string("\x1b"), std::string("\t"), std::string(1, '\0')}) {
    EXPECT_EQ(Run("Process name=" + name_ + suffix + "#Type=at least#Number=1#"),
              "#keycount=3#responseaction=runcheck#checkid=NTPC#result=up#resultstring=There are less than 1 "
              "processes named " + name_ + "  running#")  // the character shown as a space
        << static_cast<int>(suffix[0]);
  }
}

TEST_F(ProcessCheckTest, NamesMatchWithoutCaseButWhole) {
  NamedProcesses processes(name_, 2);
  std::string upper = name_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(GetRecordValue(Run("Process name=" + upper + "#Type=less than#Number=2#"), "result"), "up");
  EXPECT_EQ(Run("Process name=" + name_ + ".exe#Type=less than#Number=1#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#result=down#resultstring=There are less than 1 "
            "processes named " + name_ + ".exe running#");
  EXPECT_EQ(GetRecordValue(Run("Process name=" + name_.substr(0, name_.size() - 1) + "#Type=less than#Number=1#"), "result"), "down");
}

TEST_F(ProcessCheckTest, TotalCountsOnceAndTextNumbersReadAsTheirLeadingDigits) {
  EXPECT_EQ(GetRecordValue(Run("Process name=_total#Type=less than#Number=1#"), "resultstring"),
            "There is/are at least 1 process(es) named _total running");
  EXPECT_EQ(GetRecordValue(Run("Process name=_total#Type=at least#Number=2#"), "result"), "up") << "exactly one";
  EXPECT_EQ(GetRecordValue(Run("Process name=_Total#Type=less than#Number=abc#"), "resultstring"),
            "There is/are at least 0 process(es) named _Total running");
  EXPECT_EQ(GetRecordValue(Run("Process name=_Total#Type=at least#Number=1x5#"), "resultstring"),
            "There is/are at least 1 process(es) named _Total running");
}

TEST_F(ProcessCheckTest, AnUnknownTypeIsDownWithAnEmptyText) {
  EXPECT_EQ(Run("Process name=_Total#Type=Less Than#Number=1#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#result=down#resultstring=#");
}

TEST_F(ProcessCheckTest, AnUnreachableHostIsTheConnectionErrorAndNothingIsCounted) {
  connector_.result = kNetBadNetPath;
  EXPECT_EQ(Run("Process name=sshd#Type=less than#Number=1#Hostname=far#Use authentication=true#Username=ops#"
                "*Password=c2VjcmV0#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The network path was not found.\r\n#");
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\far ops secret", "sent"}));
}

TEST_F(ProcessCheckTest, AHostThatCannotBeEnumeratedIsAnErrorAndTheConnectionGoesAfterTheAnswer) {
  EXPECT_EQ(Run("Process name=sshd#Type=less than#Number=1#Hostname=far#"),
            "#keycount=3#responseaction=runcheck#checkid=NTPC#errormessage=ERROR: Could not get the running "
            "processes! \r\nError code: 0x800007D0. Unable to connect to the specified computer or the computer is "
            "offline.\r\n#");
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\far - -", "sent", "cancel \\\\far"}));
}

}  // namespace
}  // namespace vorlane::agent
