#include "platform/remote/shell_quote.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <string>

#include "testing/shell_command.h"
#include "testing/temp_dir.h"

namespace vorlane::platform {
namespace {

// What /bin/sh makes of the quoted text: the argument count and the first argument as the shell
// hands them over.
std::string ShellSees(const std::string& quoted) {
  const std::string command = "set -- " + quoted + "; printf '%s|%s' \"$#\" \"$1\"";
  return testkit::RunShellCommand("/bin/sh -c " + QuoteForShell(command)).output;
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
