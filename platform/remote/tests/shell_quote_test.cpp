#include "platform/remote/shell_quote.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "testing/temp_dir.h"

namespace vorlane::platform {
namespace {

// What /bin/sh makes of `word` followed by the quoted text: the argument count and the first
// argument as the shell hands it over, printed by printf with a terminator.
std::string ShellSees(const std::string& quoted) {
  const std::string command = "set -- " + quoted + "; printf '%s|%s' \"$#\" \"$1\"";
  FILE* pipe = ::popen(("/bin/sh -c " + QuoteForShell(command)).c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[256];
  for (int rounds = 0; rounds < 1000; ++rounds) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, pipe);
    if (n == 0) break;
    output.append(buffer, n);
  }
  ::pclose(pipe);
  return output;
}

TEST(ShellQuoteTest, EveryTextStaysOneArgumentAndRunsNothing) {
  testkit::TempDir dir("vorlane-quote");
  const std::string marker = (dir / "ran").string();
  const std::string texts[] = {
      "plain",
      "",
      "two words",
      "it's",
      "'",
      "''",
      "\"double\"",
      "; touch " + marker,
      "'; touch " + marker + "; '",
      "$(touch " + marker + ")",
      "`touch " + marker + "`",
      "a\\b\\\\c",
      "line\nbreak",
      "*",
      "-n",
      "$HOME ${PATH} $1",
      "&& touch " + marker + " || touch " + marker,
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(ShellSees(QuoteForShell(text)), "1|" + text) << text;
  }
  EXPECT_FALSE(std::filesystem::exists(marker)) << "a quoted text ran a command";
}

TEST(ShellQuoteTest, WritesSingleQuotesOutside) {
  EXPECT_EQ(QuoteForShell("abc"), "'abc'");
  EXPECT_EQ(QuoteForShell(""), "''");
  EXPECT_EQ(QuoteForShell("it's"), "'it'\\''s'");
}

}  // namespace
}  // namespace vorlane::platform
