#include <sys/stat.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "platform/profile/profile.h"
#include "platform/profile/tests/profile_test_util.h"

namespace vorlane::profile {
namespace {

using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Names = std::vector<std::string>;

class ProfileRead : public ::testing::Test {
 protected:
  // The value of section/key as GetString reports it, "<none>" when it is missing.
  std::string Value(std::string_view section, std::string_view key, size_t size = 256) {
    return GetString(file_, section, key, "<none>", size);
  }

  testing::TempDir dir_{"vorlane-profile"};
  std::filesystem::path file_ = dir_.Path() / "agent.ini";
};

TEST_F(ProfileRead, MissingFileReadsAsEmpty) {
  EXPECT_EQ(GetString(file_, "s", "k", "fallback", 64), "fallback");
  EXPECT_EQ(GetInt(file_, "s", "k", 17), 17);
  EXPECT_TRUE(GetSectionNames(file_, 1024).empty());
  EXPECT_TRUE(GetSection(file_, "s", 1024).empty());
}

TEST_F(ProfileRead, NamesMatchIgnoringAsciiCase) {
  testing::WriteText(file_, "[General]\nLogLevel=3\n");
  EXPECT_EQ(Value("general", "LOGLEVEL"), "3");
  EXPECT_EQ(Value("GENERAL", "loglevel"), "3");
  EXPECT_EQ(Value("General", "LogLeve"), "<none>");
}

TEST_F(ProfileRead, FirstSectionAndFirstKeyWin) {
  testing::WriteText(file_, "[a]\nk=1\nK=2\n[b]\nk=3\n[A]\nk=4\nonly_later=5\n");
  EXPECT_EQ(Value("a", "k"), "1");
  EXPECT_EQ(Value("b", "k"), "3");
  // Keys of a later section with the same name are not consulted.
  EXPECT_EQ(Value("a", "only_later"), "<none>");
}

TEST_F(ProfileRead, TrimsBlanksAroundNamesAndValues) {
  testing::WriteText(file_, "  [ sec ]  \n\t key \t=  two  inner  spaces \t\n[x] trailing text\nk = v\n");
  EXPECT_EQ(Value("sec", "key"), "two  inner  spaces");
  EXPECT_EQ(Value("x", "k"), "v");
}

TEST_F(ProfileRead, HeaderNameRunsToLastBracket) {
  testing::WriteText(file_, "[a]b]\nk=v\n");
  EXPECT_EQ(Value("a]b", "k"), "v");
  EXPECT_EQ(Value("a", "k"), "<none>");
}

TEST_F(ProfileRead, OnlyOneMatchingPairOfQuotesIsStripped) {
  testing::WriteText(file_,
                     "[q]\ndouble=\"quoted\"\nsingle='single'\nmixed=\"mixed'\nlone=\"\nempty=\"\"\n"
                     "nested=\"\"inner\"\"\npadded=\"  padded  \"\ninside=a\"b\"\n");
  EXPECT_EQ(Value("q", "double"), "quoted");
  EXPECT_EQ(Value("q", "single"), "single");
  EXPECT_EQ(Value("q", "mixed"), "\"mixed'");
  EXPECT_EQ(Value("q", "lone"), "\"");
  EXPECT_EQ(Value("q", "empty"), "");
  EXPECT_EQ(Value("q", "nested"), "\"inner\"");
  EXPECT_EQ(Value("q", "padded"), "  padded  ");
  EXPECT_EQ(Value("q", "inside"), "a\"b\"");
}

TEST_F(ProfileRead, CommentsAndOddLinesAreSkipped) {
  testing::WriteText(file_,
                     "[s]\n;k=commented\n  ; indented=comment\nk=real\n=no key\nno equals sign\n"
                     "[unterminated header\nafter=still s\n");
  EXPECT_EQ(Value("s", "k"), "real");
  EXPECT_EQ(Value("s", ";k"), "<none>");
  EXPECT_EQ(Value("s", "; indented"), "<none>");
  EXPECT_EQ(Value("s", "after"), "still s");
  EXPECT_EQ(Value("unterminated header", "after"), "<none>");
  EXPECT_EQ(GetSectionNames(file_, 1024), Names{"s"});
}

TEST_F(ProfileRead, KeysBeforeFirstSectionAreNeverFound) {
  testing::WriteText(file_, "orphan=1\n[s]\nk=2\n");
  EXPECT_EQ(Value("", "orphan"), "<none>");
  EXPECT_EQ(Value("s", "orphan"), "<none>");
  EXPECT_EQ(Value("s", "k"), "2");
}

TEST_F(ProfileRead, ByteOrderMarkIsSkipped) {
  testing::WriteText(file_, "\xEF\xBB\xBF[s]\nk=v\n");
  EXPECT_EQ(Value("s", "k"), "v");
  EXPECT_EQ(GetSectionNames(file_, 1024), Names{"s"});
}

TEST_F(ProfileRead, CrLfAndLfLineEndsBothRead) {
  testing::WriteText(file_, "[s]\r\na=1\r\nb=2\nc = 3 \r\n[t]\r\nd=4\r");
  EXPECT_EQ(Value("s", "a"), "1");
  EXPECT_EQ(Value("s", "b"), "2");
  EXPECT_EQ(Value("s", "c"), "3");
  EXPECT_EQ(Value("t", "d"), "4");
}

TEST_F(ProfileRead, BufferSizeCutsValueAndDefault) {
  testing::WriteText(file_, "[s]\nk=abcdef\n");
  EXPECT_EQ(GetString(file_, "s", "k", "", 100), "abcdef");
  EXPECT_EQ(GetString(file_, "s", "k", "", 7), "abcdef");
  EXPECT_EQ(GetString(file_, "s", "k", "", 6), "abcde");
  EXPECT_EQ(GetString(file_, "s", "k", "", 4), "abc");
  EXPECT_EQ(GetString(file_, "s", "k", "", 1), "");
  EXPECT_EQ(GetString(file_, "s", "k", "", 0), "");
  EXPECT_EQ(GetString(file_, "s", "missing", "default", 4), "def");
  EXPECT_EQ(GetString(file_, "s", "missing", "default", 1), "");
  EXPECT_EQ(GetString(file_, "s", "missing", "default", 0), "");
}

TEST_F(ProfileRead, EmbeddedNulEndsValue) {
  testing::WriteText(file_, "[s]\nk=ab\0cd\nnext=ok\n"s);
  EXPECT_EQ(Value("s", "k"), "ab");
  EXPECT_EQ(Value("s", "next"), "ok");
}

TEST_F(ProfileRead, GetIntParsesLeadingDecimal) {
  testing::WriteText(file_,
                     "[n]\nempty=\nword=abc\nneg=-5\nlead= 42x\nbig=99999999999\nsmall=-99999999999\nplus=+7\n"
                     "max=2147483647\nmin=-2147483648\nsign=-\nquoted=\"  12\"\nhex=0x1F\nlong=" +
                         std::string(400, '9') + "\n");
  struct Case {
    const char* key;
    int expected;
  };
  for (const Case& c : {Case{"missing", -1}, Case{"empty", -1}, Case{"word", 0}, Case{"neg", -5}, Case{"lead", 42},
                        Case{"big", INT_MAX}, Case{"small", INT_MIN}, Case{"plus", 7}, Case{"max", INT_MAX},
                        Case{"min", INT_MIN}, Case{"sign", 0}, Case{"quoted", 12}, Case{"hex", 0},
                        Case{"long", INT_MAX}}) {
    EXPECT_EQ(GetInt(file_, "n", c.key, -1), c.expected) << c.key;
  }
}

TEST_F(ProfileRead, SectionNamesInFileOrderEachOnce) {
  testing::WriteText(file_, "[b]\n[A]\nk=1\n[c]\n[a]\n[B]\n[]\n");
  EXPECT_EQ(GetSectionNames(file_, 1024), (Names{"b", "A", "c"}));
}

TEST_F(ProfileRead, SectionNamesStopAtBufferSize) {
  // Packed: "one\0two\0three\0\0" = 15 chars.
  testing::WriteText(file_, "[one]\n[two]\n[three]\n");
  EXPECT_EQ(GetSectionNames(file_, 15), (Names{"one", "two", "three"}));
  EXPECT_EQ(GetSectionNames(file_, 14), (Names{"one", "two"}));
  EXPECT_EQ(GetSectionNames(file_, 9), (Names{"one", "two"}));
  EXPECT_EQ(GetSectionNames(file_, 8), Names{"one"});
  EXPECT_EQ(GetSectionNames(file_, 5), Names{"one"});
  EXPECT_EQ(GetSectionNames(file_, 4), Names{});
  EXPECT_EQ(GetSectionNames(file_, 0), Names{});

  // A name that does not fit ends the listing even if a later, shorter one would fit.
  testing::WriteText(file_, "[long name]\n[a]\n");
  EXPECT_EQ(GetSectionNames(file_, 6), Names{});
}

TEST_F(ProfileRead, SectionListsPairsOfFirstMatch) {
  testing::WriteText(file_, "[x]\nz=0\n[s]\na = 1\n; c=3\nbb=\"22\"\nA=dup\nodd line\n[S]\nlater=4\n");
  EXPECT_EQ(GetSection(file_, "S", 1024), (Pairs{{"a", "1"}, {"bb", "22"}}));
  EXPECT_EQ(GetSection(file_, "missing", 1024), Pairs{});
}

TEST_F(ProfileRead, SectionStopsAtBufferSize) {
  // Packed: "a=1\0bb=22\0\0" = 11 chars.
  testing::WriteText(file_, "[s]\na=1\nbb=22\n");
  EXPECT_EQ(GetSection(file_, "s", 11), (Pairs{{"a", "1"}, {"bb", "22"}}));
  EXPECT_EQ(GetSection(file_, "s", 10), (Pairs{{"a", "1"}}));
  EXPECT_EQ(GetSection(file_, "s", 5), (Pairs{{"a", "1"}}));
  EXPECT_EQ(GetSection(file_, "s", 4), Pairs{});
  EXPECT_EQ(GetSection(file_, "s", 0), Pairs{});
}

TEST_F(ProfileRead, MalformedContentLeavesValidEntriesReadable) {
  std::string junk;
  unsigned state = 12345;
  for (int i = 0; i < 64 * 1024; ++i) {
    state = state * 1103515245u + 12345u;
    junk.push_back(static_cast<char>(state >> 16));
  }
  std::string text = "[before]\nk=1\n" + junk + "\n[broken header\n" + std::string(1 << 20, 'x') +
                     "\n[]]]\n\0\0\0\n[after]\nk=2\n"s;
  testing::WriteText(file_, text);
  // The junk may itself contain headers, but never one named "after" before the real one.
  EXPECT_EQ(Value("after", "k"), "2");
  EXPECT_EQ(Value("before", "k"), "1");
  EXPECT_EQ(GetInt(file_, "after", "k", 0), 2);
  Names names = GetSectionNames(file_, 1 << 20);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "before");
}

// A snapshot answers every question from the version of the file it read, even after a writer
// replaced the file, and as the functions that read the file each time would have answered then.
TEST_F(ProfileRead, SnapshotAnswersFromTheVersionItRead) {
  testing::WriteText(file_, "[Operators]\nUserName=first\nPassword=\"one\"\nTries= 7x\n[Other]\nA=1\n");
  const Snapshot snapshot(file_);
  ASSERT_TRUE(WriteString(file_, "Operators", "UserName", "second").ok());
  ASSERT_TRUE(WriteString(file_, "Added", "B", "2").ok());
  EXPECT_EQ(Value("Operators", "UserName"), "second");

  EXPECT_EQ(snapshot.GetString("operators", "username", "<none>", 256), "first");
  EXPECT_EQ(snapshot.GetString("Operators", "Password", "<none>", 4), "one");
  EXPECT_EQ(snapshot.GetString("Operators", "Missing", "fallback", 5), "fall");
  EXPECT_EQ(snapshot.GetInt("Operators", "Tries", 0), 7);
  EXPECT_EQ(snapshot.GetSectionNames(1024), (Names{"Operators", "Other"}));
  EXPECT_EQ(snapshot.GetSection("Other", 1024), (Pairs{{"A", "1"}}));

  Snapshot moved = Snapshot(file_);  // a moved snapshot keeps what it read
  EXPECT_EQ(moved.GetSectionNames(1024), (Names{"Operators", "Other", "Added"}));
}

TEST_F(ProfileRead, NonRegularFilesReadAsEmpty) {
  EXPECT_EQ(GetString(dir_.Path(), "s", "k", "dflt", 64), "dflt");
  EXPECT_TRUE(GetSectionNames(dir_.Path(), 64).empty());
  // A FIFO with no writer would block a plain open(); it must read as empty instead.
  std::filesystem::path fifo = dir_.Path() / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(GetString(fifo, "s", "k", "dflt", 64), "dflt");
}

}  // namespace
}  // namespace vorlane::profile
