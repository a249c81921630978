// The pure byte work of a TCP check: the escapes that let a protocol table write any byte, the
// trimming used when received data is compared and reported, and the reading of a server's reply
// (when it is complete, whether it holds what the table expects). The exchange is 8-bit
// throughout: table texts become bytes once, received bytes are compared as they came.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorlane::tcpcheck {

// The bytes a table text stands for: its characters in UTF-8, and in their place every \xHH, then
// every \XHH (a second pass over the result of the first), the one byte HH. The two characters
// after the marker are read as a hexadecimal number as strtol reads one (leading white space and a
// sign accepted, reading stops at the first other character); the code is kept to 8 bits and a
// code of 0 contributes nothing. A marker with fewer than two characters after it ends the text:
// "A\x4" becomes "A".
std::string DecodeEscapes(std::u16string_view text);

// Removes leading and trailing spaces (0x20 only; tabs, CR and LF stay).
std::string_view TrimBlanks(std::string_view bytes);

// Removes one trailing CR LF pair, when there is one.
std::string_view StripTrailingCrLf(std::string_view bytes);

// The expected bytes of a table text for `mode`: trimmed, then decoded. In mode 3, which compares
// a received line without its line end, one line end at the end of the text goes too.
std::string ExpectedBytes(int32_t mode, std::u16string_view text);

// Where the first complete reply in `received` ends, or nothing while it is still arriving. Text
// replies are lines: a reply ends with its first line end, or, when its first line opens a
// multi-line reply ("ddd-"), with the end of the line that closes it ("ddd " or "ddd"). Data
// whose first line holds control bytes (other than tab and CR) has no lines: all of it is the
// reply.
std::optional<size_t> ReplyEnd(std::string_view received);

// Compare modes are those of portwick.h.

// Whether a wait for a reply compared in `mode` with `expected` can end on what has arrived: the
// reply is complete, or, for data that is not text, it holds what mode 2 looks for. Pieces that
// arrive meanwhile are joined, so a reply written in segments is judged whole.
bool ReplyReady(int32_t mode, std::string_view expected, std::string_view received);

// Whether `received` fails the comparison `mode` with `expected` (as ExpectedBytes gives it):
// mode 2 wants the bytes somewhere in it, mode 3 its first line, without line end and blanks,
// equal to them. Other modes compare nothing.
bool Mismatch(int32_t mode, std::string_view expected, std::string_view received);

}  // namespace vorlane::tcpcheck
