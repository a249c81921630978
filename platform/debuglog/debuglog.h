// The debug output: every call becomes exactly one line on standard error, which the journal
// captures when the agent runs under systemd.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::debuglog {

// Writes `text` as one whole line. A trailing line end (CR, LF or both, as the message formats
// carry them) is dropped and a single LF written instead; control characters inside the text
// are written as escapes (\r, \n, \xHH), and so are the Unicode next-line, line and paragraph separators
// (\u0085, \u2028, \u2029), so that text from the network can never forge a second log line. Bytes
// that are part of no well-formed UTF-8 sequence are written as \xHH too, so that every line is
// valid UTF-8; valid text other than the above is written as it is. Safe to call from any
// thread; lines never interleave.
void Write(std::string_view text);

// The line that Write would emit for `text`, without the final LF.
std::string ToLine(std::string_view text);

// Sends the output to another descriptor (tests); returns the previous one.
int RedirectForTesting(int fd);

}  // namespace vorlane::debuglog
