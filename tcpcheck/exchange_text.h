// The pure text work of a TCP check: the escapes that let a protocol table write control
// characters, and the trimming used when received data is compared and reported.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::tcpcheck {

// Replaces every \xHH, then every \XHH (a second pass over the result of the first), by the
// character with that code. The two characters after the marker are read as a hexadecimal
// number as strtol reads one (leading white space and a sign accepted, reading stops at the
// first other character); the code is kept to 16 bits and a code of 0 contributes nothing. A
// marker with fewer than two characters after it ends the text: "A\x4" becomes "A".
std::u16string DecodeEscapes(std::u16string_view text);

// Removes leading and trailing spaces (U+0020 only; tabs, CR and LF stay).
std::u16string_view TrimBlanks(std::u16string_view text);

// Removes one trailing CR LF pair, when there is one.
std::u16string_view StripTrailingCrLf(std::u16string_view text);

}  // namespace vorlane::tcpcheck
