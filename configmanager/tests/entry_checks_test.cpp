#include "configmanager/entry_checks.h"

#include <gtest/gtest.h>

#include <string>

#include "configmanager/texts.h"

namespace vorlane::ostmere {
namespace {

TEST(OstmerePortTest, TakesDecimalPortsOnly) {
  struct Case {
    const char* text;
    int port;  // 0: refused
  };
  const Case cases[] = {
      {"1", 1},   {"22", 22}, {"65535", 65535}, {"0080", 80}, {"0", 0},    {"65536", 0},
      {"", 0},    {"-1", 0},  {"+22", 0},       {"80x", 0},   {" 80", 0},  {"99999999999999999999", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParsePort(c.text), c.port == 0 ? std::nullopt : std::optional<int>(c.port));
  }
}

TEST(OstmereRangeTest, AcceptsOnlyAddressesAndUpwardRanges) {
  struct Case {
    const char* range;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"10.0.0.1", true},
      {"10.0.0.1-10.0.0.9", true},
      {"0.0.0.0-255.255.255.255", true},
      {"10.0.0.1-10.0.0.1", true},
      {"010.0.0.1-10.0.0.9", true},  // the agent reads each number of a range by its digits
      {"10.0.0.256", false},
      {"10.0.0.1-10.0.0", false},
      {"10.0.0.999-10.0.1.1", false},
      {"10.0.0.1 - 10.0.0.9", false},
      {" 10.0.0.1", false},
      {"10.0.0.1-", false},
      {"-10.0.0.1", false},
      {"10.0.0.1-10.0.0.9-10.0.0.10", false},
      {"10.0.0", false},
      {"10.0.0.1.", false},
      {"10..0.1", false},            // an empty number
      {"...", false},
      {"010.0.0.1", false},          // compared as text with the client's address: never equal
      {"10.0.0.01", false},
      {"1234.0.0.1", false},
      {"a.b.c.d", false},
      {"10.0.0.9-10.0.0.1", false},  // reversed: admits nobody
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    EXPECT_EQ(IsValidRange(c.range), c.valid);
  }
}

TEST(OstmereGeneralCheckTest, RefusesPortsOutsideOneTo65535) {
  EXPECT_FALSE(CheckGeneral({0, "65535"}).has_value());
  for (const char* port : {"0", "65536", ""}) {
    SCOPED_TRACE(port);
    const auto refusal = CheckGeneral({1, port});
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->field, Field::kPort);
    EXPECT_EQ(refusal->message, kBadPort);
  }
}

TEST(OstmereUserCheckTest, FirstFailingCheckWinsInTheDialogsOrder) {
  struct Case {
    const char* name;
    UserFields user;
    Field field;
    std::string_view message;
  };
  const std::string longName(kAgentUserFieldLength + 1, 'u');
  const std::string longType(kMaxTypeLength + 1, 't');
  const Case cases[] = {
      {"all empty", {"", "", "", ""}, Field::kType, kNoType},
      {"type and bad range", {"", "x", "", ""}, Field::kType, kNoType},
      {"no user name", {"Ops", "", "", "pw"}, Field::kUserName, kNoUserName},
      {"no password", {"Ops", "1.2.3", "joe", ""}, Field::kPassword, kNoPassword},
      {"bad range", {"Ops", "1.2.3", "joe", "pw"}, Field::kRange, kBadRange},
      {"general section", {"generalinfo", "", "joe", "pw"}, Field::kType, kReservedType},
      {"long type", {longType, "", "joe", "pw"}, Field::kType, kLongType},
      {"type with a leading blank", {" Ops", "", "joe", "pw"}, Field::kType, kUnstorableType},
      {"type with a trailing tab", {"Ops\t", "", "joe", "pw"}, Field::kType, kUnstorableType},
      {"type with a bracket", {"Op]s", "", "joe", "pw"}, Field::kType, kUnstorableType},
      {"type with a line break", {"Op\ns", "", "joe", "pw"}, Field::kType, kUnstorableType},
      {"user name the agent cuts", {"Ops", "", longName, "pw"}, Field::kUserName, kLongUserName},
      {"17-byte password", {"Ops", "", "joe", std::string(17, 'p')}, Field::kPassword, kLongPassword},
      {"16 bytes of UTF-8 plus one", {"Ops", "", "joe", "\xc3\xa9" + std::string(15, 'p')}, Field::kPassword,
       kLongPassword},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto refusal = CheckUser(c.user);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->field, c.field);
    EXPECT_EQ(refusal->message, c.message);
  }
}

TEST(OstmereUserCheckTest, AcceptsCompleteEntries) {
  const UserFields accepted[] = {
      {"Ops", "", "joe", "pw"},
      {"Ops", "10.0.0.1", "joe", std::string(16, 'p')},
      {"Ops team", "10.0.0.1-10.0.0.9", std::string(kAgentUserFieldLength, 'u'), "pw"},
      {std::string(kMaxTypeLength, 't'), "", "joe", "pw"},
  };
  for (const UserFields& user : accepted) {
    SCOPED_TRACE(user.type + " " + user.userName);
    EXPECT_FALSE(CheckUser(user).has_value());
  }
}

}  // namespace
}  // namespace vorlane::ostmere
