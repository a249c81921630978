// Starting a program detached from the agent, and the system's texts for the errors of that and of
// deleting a file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorlane::agent {

// The words of a command line, or the errno value that says why it has none.
struct CommandWords {
  std::vector<std::string> words;
  int error = 0;
};

// Splits `commandLine` into words as a POSIX shell does, without running one and without any
// expansion: blanks (space, tab, line end) separate words; a backslash outside quotes takes the
// next character literally (a backslash before a line end joins the lines); single quotes take
// everything up to the closing quote literally; double quotes take everything literally except
// that a backslash escapes '$', '`', '"', '\' and a line end. Quotes may yield an empty word ("").
// An open quote or a trailing backslash leave the line unfinished: EINVAL. A line without words:
// ENOENT, as there is no program to find.
CommandWords SplitCommandLine(std::string_view commandLine);

// Starts the program named by the first word of `commandLine` (looked up on PATH when it has no
// '/') with the words as its arguments, in a session of its own, with its standard streams on
// /dev/null and no other descriptor of the agent; environment and current folder are the agent's.
// The agent does not wait for the program; a watcher reaps it when it ends, so no zombie stays.
// Returns 0 when the program runs, else the errno value of the failure (of the command line, of
// finding the program or of executing it).
int StartDetachedProcess(std::string_view commandLine);

// The system's message text for an errno value, as strerror gives it.
std::string SystemMessageText(int errnum);

}  // namespace vorlane::agent
