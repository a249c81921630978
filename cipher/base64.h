// base64 (RFC 4648, standard alphabet, "=" padding, no line breaks) with a strict decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorlane::cipher {

// Writes the encoding of src[0, srcLen) and a terminating zero to dst. Returns the length of the
// text (the terminator not counted), or -1 with nothing written when text and terminator do not
// fit in dstSize bytes.
int Base64Encode(const uint8_t* src, size_t srcLen, char* dst, size_t dstSize);

// Decodes `text` into dst and returns the number of bytes stored, or -1 for malformed text or
// when the decoded bytes do not fit in dstSize. Only the decoded bytes are written, no
// terminator. Bytes are stored as they are completed, so dst may hold a partial result even
// when -1 is returned; callers that use dst regardless zero-fill it first.
//
// Rules: 7-bit white space is skipped anywhere; decoding stops at the end of the text or at the
// first "="; any other character outside the alphabet is an error. Padding must complete the
// last group (white space may separate two "="), only white space may follow it, and the unused
// low bits of the last data character must be zero. Unpadded text must be whole groups of four.
int Base64Decode(std::string_view text, uint8_t* dst, size_t dstSize);

// Convenience forms that size the buffers themselves.
std::string Base64EncodeToString(std::span<const uint8_t> src);
// The decoded bytes, or nothing when the text is malformed.
std::optional<std::string> Base64DecodeToString(std::string_view text);

}  // namespace vorlane::cipher
