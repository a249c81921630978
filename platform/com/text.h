// Conversions between UTF-8 (the agent's strings) and UTF-16 (BSTR and the interfaces' text).
// Both accept any input: what is not valid text becomes U+FFFD, so they never fail.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::com {

// Each maximal ill-formed subsequence (a stray continuation byte, a truncated or overlong
// sequence, an encoded surrogate, a value above U+10FFFF) becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace vorlane::com
