// Writing answer records from fixed templates.
//
// Every answer is a printf-style template whose literal text already holds the '#', the keys and
// the keycount; only the values are filled in. Some answers echo values of the request
// (`requestaction`, `sessionid`) into a buffer of fixed size. Those echoed texts are cut so that
// the whole answer fits its buffer: the template itself is never cut, so the answer always stays
// one well-formed record with every pair and the closing '#'. Values read from a request can
// never hold '#', so an echoed value can never add or split a pair.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace vorlane::agent {

// Buffer sizes of the answers that echo request values (terminator included).
inline constexpr size_t kShortAnswerBuffer = 256;
inline constexpr size_t kAgentInfoAnswerBuffer = 1024;
inline constexpr size_t kUnboundedAnswer = 0;

// One value for a template conversion: a text for %s, a number for %d %i %u %ld %lu %x %X %lX.
using AnswerArg = std::variant<std::string_view, long long>;

// Formats `tmpl` with `args`. With a bufferSize other than kUnboundedAnswer the result is at most
// bufferSize - 1 bytes long, reached by shortening the %s texts (the longest first, never inside a
// UTF-8 sequence). Conversions and arguments must agree; a template is a constant of the program,
// so a mismatch is a programming error and is reported by a std::logic_error.
std::string FormatAnswer(std::string_view tmpl, std::initializer_list<AnswerArg> args,
                         size_t bufferSize = kUnboundedAnswer);

// Whether a name taken from the host (a service, a process, a protocol section) can stand as a
// value in an answer: no '#' (it would end the value and forge pairs), no '"' (it would end a
// nested record) and no control characters (line ends split the answer for the reader).
bool FitsInAnswerValue(std::string_view name);

// Text from outside (a peer's words, a component's message) made fit to stand as an answer value:
// a '#' would end the value and start a forged pair, a line end would split the answer for its
// reader, so both, and every other control character, become spaces.
std::string AsAnswerText(std::string text);

}  // namespace vorlane::agent
