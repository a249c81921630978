// Conversions between UTF-8 (the agent's strings) and UTF-16 (BSTR and the interfaces' text).
// The agent's strings are bytes from the network and the file system, not always valid UTF-8:
// whatever is not text is carried through UTF-16 byte for byte (as Python's "surrogateescape"
// does), so that a file name, an argument or a password reaches the other side exactly as the
// client sent it. Neither conversion ever fails.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::com {

// Every well-formed sequence becomes its character (a surrogate pair above U+FFFF). Every byte
// that is part of no well-formed sequence (a stray continuation byte, a truncated or overlong
// sequence, an encoded surrogate such as ED B0 80, a value above U+10FFFF, C0, C1, F5..FF)
// becomes on its own the lone surrogate U+DC00 + byte, one of U+DC80..U+DCFF.
// Utf16ToUtf8(Utf8ToUtf16(bytes)) == bytes for every byte string.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Surrogate pairs and other characters become UTF-8. A lone U+DC80..U+DCFF becomes its byte
// again; any other lone surrogate becomes U+FFFD (EF BF BD), as it stands for no byte.
// Utf8ToUtf16(Utf16ToUtf8(text)) == text for every well-formed text, and for lone
// U+DC80..U+DCFF among it as long as the bytes they stand for do not together form a
// well-formed sequence: U+DCC3 U+DCA9 becomes C3 A9, which reads back as U+00E9 (Python has the
// same ambiguity). What one call of Utf8ToUtf16 made never holds such a run, as it escapes no
// byte of a well-formed sequence; text joined from pieces may.
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace vorlane::com
