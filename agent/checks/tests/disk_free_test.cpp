#include "agent/checks/disk_free.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "agent/checks/tests/check_test_support.h"
#include "agent/request/tests/request_test_support.h"
#include "cipher/base64.h"

namespace vorlane::agent {
namespace {

using namespace std::string_literals;
using testing::FakeUserHandle;
using testing::LogCapture;

constexpr uint64_t kMb = uint64_t{1} << 20;
constexpr uint64_t kGb = uint64_t{1} << 30;
constexpr uint64_t kTb = uint64_t{1} << 40;
constexpr int32_t kServiceIndex = 4;

// ---- EvaluateFreeSpace ----

// A row without a text checks only up or down.
TEST(EvaluateFreeSpaceTest, UpOrDownWithItsText) {
  constexpr uint64_t kEverything = std::numeric_limits<uint64_t>::max() - 1;
  struct Row {
    const char* what;
    const char* drive;
    const char* unit;
    uint64_t freeBytes, totalBytes;
    int32_t value;
    bool up;
    std::string text;
  };
  const Row rows[] = {
      {"absolute threshold met exactly", "D:", "mb", 500 * kMb, 1000 * kMb, 500, true,
       "There is more than 500 mb free on drive D:"},
      {"one byte below", "D:", "mb", 500 * kMb - 1, 1000 * kMb, 500, false, "There is less than 500 mb free on drive D:"},
      // Percent is truncated: 10.9 % free against 10 is up, 9.99 % is down.
      {"10.9 %", "C:\\", "%", 109, 1000, 10, true, "There is more than 10 % free on drive C:\\"},
      {"9.99 %", "C:\\", "%", 999, 10000, 10, false, "There is less than 10 % free on drive C:\\"},
      // 8 TB free of 16 TB: the product free * 100 fits 64 bits and gives exactly 50 %.
      {"terabytes at 50 %", "/", "%", 8 * kTb, 16 * kTb, 50, true, ""},
      {"terabytes at 51 %", "/", "%", 8 * kTb, 16 * kTb, 51, false, ""},
      {"units are case sensitive", "D:", "MB", 1000 * kGb, 2000 * kGb, 1, false, "ERROR: wrong unit (MB)"},
      {"no unit", "D:", "", 1, 2, 0, false, "ERROR: wrong unit ()"},
      {"negative absolute threshold", "/var", "bytes", kEverything, kEverything, -1, false,
       "There is less than -1 bytes free on drive /var"},
      {"negative gigabytes", "/var", "gb", 100 * kGb, 100 * kGb, -5, false, ""},
      {"negative percent", "/var", "%", 0, 100 * kGb, -5, true, "There is more than -5 % free on drive /var"},
      // A volume of size zero counts as no free space.
      {"zero-sized volume at 0 %", "/proc", "%", 0, 0, 0, true, ""},
      {"zero-sized volume at 1 %", "/proc", "%", 0, 0, 1, false, "There is less than 1 % free on drive /proc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const FreeSpaceResult result = EvaluateFreeSpace(row.drive, row.unit, row.freeBytes, row.totalBytes, row.value);
    EXPECT_EQ(result.up, row.up);
    if (!row.text.empty()) {
      EXPECT_EQ(result.text, row.text);
    }
  }
}

TEST(EvaluateFreeSpaceTest, EachAbsoluteUnitIsItsBinaryMultiple) {
  struct Row {
    const char* unit;
    uint64_t bytes;
  };
  for (const Row& row : {Row{"bytes", 1}, Row{"kb", 1024}, Row{"mb", kMb}, Row{"gb", kGb}, Row{"tb", kTb}}) {
    EXPECT_TRUE(EvaluateFreeSpace("/", row.unit, 3 * row.bytes, 10 * kTb, 3).up) << row.unit;
    EXPECT_FALSE(EvaluateFreeSpace("/", row.unit, 3 * row.bytes - 1, 10 * kTb, 3).up) << row.unit;
  }
}

// ---- the check through a fake connection ----

using FakeConnector = testing::RecordingConnector;

class DiskCheckTest : public ::testing::Test {
 protected:
  // Runs the check; the measurement records the path it was asked for and, in `calls`, when.
  std::vector<testing::SentAnswer> Run(const std::string& record) {
    user_.sent.clear();
    // The same fake stands for this host and for a connected one.
    host_.volume = [this](const std::string& path) -> std::optional<VolumeSpace> {
      measured_.push_back(path);
      connector_.calls.push_back("measure " + path + " after " + std::to_string(user_.sent.size()) + " sent");
      return space_;
    };
    connector_.host = &host_;
    SendCheckAnswer(user_, kServiceIndex, kDiskCheck.id, DiskCheckOutcome(record, host_, connector_));
    for (const auto& answer : user_.sent) EXPECT_EQ(answer.serviceIndex, kServiceIndex);
    return user_.sent;
  }
  // The one answer the check sent on `record`.
  std::string Answer(const std::string& record) {
    Run(record);
    return user_.OnlyAnswer(kServiceIndex);
  }

  FakeUserHandle user_;
  FakeConnector connector_;
  testing::FakeCheckHost host_;
  std::optional<VolumeSpace> space_ = VolumeSpace{100 * kGb, 20 * kGb};
  std::vector<std::string> measured_;
};

TEST_F(DiskCheckTest, UpAnswerByteForByteAndLoggedAsOutgoing) {
  LogCapture log;
  const auto sent = Run("#keycount=6#requestaction=runcheck#checkid=DC#Drive letter=/var#Value=20#Unit=gb#");
  const std::string expected =
      "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than 20 gb free on "
      "drive /var#";
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text, expected);
  EXPECT_EQ(measured_, (std::vector<std::string>{"/var"}));
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ(log.Lines().back(), "---> " + expected);
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"measure /var after 0 sent"}));
}

TEST_F(DiskCheckTest, DownAnswerByteForByteOnPercent) {
  EXPECT_EQ(Answer("#keycount=6#requestaction=runcheck#checkid=DC#Drive letter=/#Value=21#Unit=%#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#result=down#resultstring=There is less than 21 % free "
            "on drive /#");
}

TEST_F(DiskCheckTest, WrongUnitIsADownAnswer) {
  EXPECT_EQ(Answer("#keycount=6#requestaction=runcheck#checkid=DC#Drive letter=/#Value=1#Unit=MB#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#result=down#resultstring=ERROR: wrong unit (MB)#");
}

TEST_F(DiskCheckTest, NonNumericValueReadsAsZero) {
  space_ = VolumeSpace{100, 0};
  EXPECT_EQ(Answer("#keycount=6#requestaction=runcheck#checkid=DC#Drive letter=/#Value=abc#Unit=bytes#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than 0 bytes free "
            "on drive /#");
}

TEST_F(DiskCheckTest, UnreadablePathGivesTheFreeSpaceError) {
  space_ = std::nullopt;
  EXPECT_EQ(Answer("#keycount=6#requestaction=runcheck#checkid=DC#Drive letter=/no/such#Value=1#Unit=gb#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: Could not get the free space for "
            "/no/such#");
}

TEST_F(DiskCheckTest, LineEndsAndOtherControlCharactersOfEchoedValuesBecomeSpaces) {
  // The request's values stand in the answer; a line end there would split the answer for the
  // server that reads it line by line, and a NUL would cut it.
  struct Row {
    std::string record;
    bool measurable;
    std::string answer;
  };
  const std::string nulDrive = "#checkid=DC#Drive letter=/v\0r#Value=1#Unit=gb#"s;
  const Row rows[] = {
      {"#checkid=DC#Drive letter=/a\r\nb#Value=20#Unit=gb#", true,
       "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than 20 gb free on "
       "drive /a  b#"},
      {"#checkid=DC#Drive letter=/#Value=1#Unit=g\nb#", true,
       "#keycount=3#responseaction=runcheck#checkid=DC#result=down#resultstring=ERROR: wrong unit (g b)#"},
      {"#checkid=DC#Drive letter=/x\ty\r#Value=1#Unit=gb#", false,
       "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: Could not get the free space for "
       "/x y #"},
      {nulDrive, false,
       "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: Could not get the free space for "
       "/v r#"},
  };
  for (const Row& row : rows) {
    space_ = row.measurable ? std::optional<VolumeSpace>(VolumeSpace{100 * kGb, 20 * kGb}) : std::nullopt;
    EXPECT_EQ(Answer(row.record), row.answer) << row.record;
  }
}

TEST_F(DiskCheckTest, NamedHostThatCannotBeReachedIsNotMeasuredNorDisconnected) {
  connector_.result = kNetBadNetPath;
  EXPECT_EQ(Answer("#keycount=9#requestaction=runcheck#checkid=DC#Drive letter=/#Value=1#Unit=gb#Hostname=server1#"
                   "Use authentication=false#Username=ops#*Password=#"),
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The network path was not found.\r\n#");
  EXPECT_TRUE(measured_.empty());
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\server1 - -"}));
}

TEST_F(DiskCheckTest, ConnectedHostIsMeasuredThenDisconnectedAfterTheAnswer) {
  const std::string password = cipher::Base64EncodeToString(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>("pw"), 2));
  const auto sent = Run(
      "#keycount=9#requestaction=runcheck#checkid=DC#Drive letter=/mnt/share#Value=1#Unit=gb#Hostname=server1#"
      "Use authentication=true#Username=ops#*Password=" + password + "#");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\server1 ops pw", "measure /mnt/share after 0 sent",
                                                        "cancel \\\\server1"}));
}

TEST_F(DiskCheckTest, ConnectedHostIsDisconnectedAfterTheFreeSpaceErrorToo) {
  space_ = std::nullopt;
  connector_.result = kNetSessionCredentialConflict;
  const auto sent = Run("#keycount=5#requestaction=runcheck#checkid=DC#Drive letter=/x#Hostname=server1#");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text,
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: Could not get the free space for /x#");
  EXPECT_EQ(connector_.calls, (std::vector<std::string>{"add \\\\server1 - -", "measure /x after 0 sent",
                                                        "cancel \\\\server1"}));
}

// ---- the real handler and the real measurement ----

TEST(DiskFreeHandlerTest, MeasuresTheRootVolume) {
  const std::optional<VolumeSpace> root = QueryVolumeSpace("/");
  ASSERT_TRUE(root.has_value());
  EXPECT_GT(root->totalBytes, 0u);
  EXPECT_LE(root->freeBytes, root->totalBytes);
  EXPECT_FALSE(QueryVolumeSpace("/no/such/path/for/vorlane").has_value());
  // A path with a NUL inside names no file; it is not measured as the part before the NUL.
  EXPECT_FALSE(QueryVolumeSpace("/\0etc"s).has_value());
}

TEST(DiskFreeHandlerTest, RealHandlerAnswersForTheRootAndRefusesANamedHost) {
  testing::ContextOnFakeClock agent;
  FakeUserHandle user;
  const auto run = [&](const std::string& record) {
    SendCheckAnswer(user, 2, kDiskCheck.id, kDiskCheck.run(agent.context, record));
  };
  run("#keycount=4#checkid=DC#Drive letter=/#Value=0#Unit=bytes#");
  ASSERT_EQ(user.sent.size(), 1u);
  EXPECT_EQ(user.sent[0].text,
            "#keycount=3#responseaction=runcheck#checkid=DC#result=up#resultstring=There is more than 0 bytes free "
            "on drive /#");
  EXPECT_EQ(user.sent[0].serviceIndex, 2);

  user.sent.clear();
  run("#keycount=5#checkid=DC#Drive letter=/#Value=0#Unit=bytes#Hostname=h#");
  ASSERT_EQ(user.sent.size(), 1u);
  EXPECT_EQ(user.sent[0].text,
            "#keycount=3#responseaction=runcheck#checkid=DC#errormessage=ERROR: could not connect to hostname. "
            "Reason: The network path was not found.\r\n#");
}

}  // namespace
}  // namespace vorlane::agent
