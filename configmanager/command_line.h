// The program's command line for scripts: the dialog's checks and writes without a screen.
//
//   ostmere --list FILE
//   ostmere --set-general FILE PROTOCOL PORT
//   ostmere --set-user FILE SECTION USER [RANGE]     (the password is the first line of stdin)
//   ostmere --delete-user FILE SECTION
//   ostmere --help
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::ostmere {

// Exit codes: done, refused (the dialog's message on standard error), wrong use.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

// True when the first argument asks for the command line rather than the dialog: it begins
// with "--". Any other command line is a path for the dialog.
bool IsCommandLine(const std::vector<std::string>& args);

// The plain form: the arguments joined by single blanks are the path of the file for the dialog,
// so a path with blanks needs no quotes ("" for none).
std::string DialogPath(const std::vector<std::string>& args);

// Runs one command; `args` without the program name.
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace vorlane::ostmere
