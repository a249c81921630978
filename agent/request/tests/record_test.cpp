#include "agent/request/record.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace vorlane::agent {
namespace {

TEST(GetRecordValue, ReadsPairsInAnyOrder) {
  const std::string record =
      "#keycount=3#sessionid=6B29FC40-CA47-1067-B31D-00DD010662DA#requestaction=runcheck#checkid=DC#";
  EXPECT_EQ(GetRecordValue(record, "requestaction"), "runcheck");
  EXPECT_EQ(GetRecordValue(record, "sessionid"), "6B29FC40-CA47-1067-B31D-00DD010662DA");
  EXPECT_EQ(GetRecordValue(record, "checkid"), "DC");
  EXPECT_EQ(GetRecordValue(record, "keycount"), "3");
}

TEST(GetRecordValue, AbsentAndEmptyValuesReadTheSame) {
  EXPECT_EQ(GetRecordValue("#keycount=2#sessionid=#requestaction=agentinfo#", "sessionid"), "");
  EXPECT_EQ(GetRecordValue("#keycount=1#requestaction=agentinfo#", "sessionid"), "");
  EXPECT_EQ(GetRecordValue("", "sessionid"), "");
  EXPECT_EQ(GetRecordValue("#", "sessionid"), "");
  EXPECT_EQ(GetRecordValue("##=#", ""), "");
}

TEST(GetRecordValue, FirstOccurrenceWins) {
  EXPECT_EQ(GetRecordValue("#a=1#a=2#", "a"), "1");
}

TEST(GetRecordValue, ValueRunsToTheNextHashAndKeepsEverything) {
  EXPECT_EQ(GetRecordValue("#k=x=y#", "k"), "x=y");
  EXPECT_EQ(GetRecordValue("#Timeout (sec.)= 10 #", "Timeout (sec.)"), " 10 ");
  EXPECT_EQ(GetRecordValue("#e=line\r\nnext#", "e"), "line\r\nnext");
}

TEST(GetRecordValue, KeysMatchOnlyWholeAndWithCase) {
  const std::string record = "#*Password=c2VjcmV0#checkid1=NTSC#Requestaction=logout#";
  EXPECT_EQ(GetRecordValue(record, "Password"), "");
  EXPECT_EQ(GetRecordValue(record, "*Password"), "c2VjcmV0");
  EXPECT_EQ(GetRecordValue(record, "checkid"), "");
  EXPECT_EQ(GetRecordValue(record, "requestaction"), "");
  // A key that appears inside a value is not a key.
  EXPECT_EQ(GetRecordValue("#a=b checkid=X#c=d#", "checkid"), "");
}

TEST(GetRecordValue, UnclosedFinalPairReadsEmpty) {
  EXPECT_EQ(GetRecordValue("#keycount=1#requestaction=logout", "requestaction"), "");
  EXPECT_EQ(GetRecordValue("#requestaction=", "requestaction"), "");
  EXPECT_EQ(GetRecordValue("#requestaction", "requestaction"), "");
}

TEST(GetRecordValue, TrailingLineEndIsIgnored) {
  const std::string bare = "#keycount=2#requestaction=logout#sessionid=S#";
  for (const char* key : {"keycount", "requestaction", "sessionid", "missing"}) {
    EXPECT_EQ(GetRecordValue(bare + "\r\n", key), GetRecordValue(bare, key)) << key;
  }
}

TEST(GetRecordValue, KeyHoldingHashNeverReadsBackwards) {
  // The pair's end is searched after its opening '#'; a '#' inside the key comes first.
  EXPECT_EQ(GetRecordValue("#a#b=c#", "a#b"), "");
}

TEST(GetRecordValue, HugeRecordsAndValues) {
  std::string big(10000, 'v');
  std::string record = "#keycount=2#requestaction=" + big + "#sessionid=" + big + "x#";
  EXPECT_EQ(GetRecordValue(record, "requestaction"), big);
  EXPECT_EQ(GetRecordValue(record, "sessionid"), big + "x");
  // Binary bytes, including NUL, are ordinary value bytes.
  std::string binary("#k=\0\xff\x01#", 7);
  EXPECT_EQ(GetRecordValue(binary, "k"), std::string("\0\xff\x01", 3));
}

TEST(RecordNumberTest, LeadingDigitsSignAndLimits) {
  EXPECT_EQ(ParseRecordNumber("500"), 500);
  EXPECT_EQ(ParseRecordNumber("12abc"), 12);
  EXPECT_EQ(ParseRecordNumber("abc"), 0);
  EXPECT_EQ(ParseRecordNumber(""), 0);
  EXPECT_EQ(ParseRecordNumber("-7"), -7);
  EXPECT_EQ(ParseRecordNumber("  42"), 42);
  EXPECT_EQ(ParseRecordNumber("+3"), 3);
  EXPECT_EQ(ParseRecordNumber("2147483647"), 2147483647);
  EXPECT_EQ(ParseRecordNumber("99999999999999999999"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ParseRecordNumber("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ParseRecordNumber("-99999999999999999999"), std::numeric_limits<int32_t>::min());
}

}  // namespace
}  // namespace vorlane::agent
