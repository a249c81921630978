// base64 and the password cipher on arbitrary bytes: decoding never overruns and only accepts
// what encodes back to itself, encoding always decodes back, and a deciphered password never
// exceeds the block.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/base64.h"
#include "cipher/password.h"
#include "fuzz/fuzz_check.h"

namespace {

using vorlane::cipher::Base64Decode;
using vorlane::cipher::Base64DecodeToString;
using vorlane::cipher::Base64Encode;
using vorlane::cipher::Base64EncodeToString;

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void CheckDecode(std::string_view text) {
  const std::optional<std::string> decoded = Base64DecodeToString(text);
  if (!decoded) return;
  // Every 4 characters give at most 3 bytes, and the text encodes back after its white space
  // and padding rules are applied: the decoding of the canonical text is the same bytes.
  FUZZ_CHECK(decoded->size() <= text.size() / 4 * 3);
  const std::string canonical = Base64EncodeToString(Bytes(*decoded));
  FUZZ_CHECK(Base64DecodeToString(canonical) == decoded);

  // Into a buffer one byte too small: refused, and nothing written past the end.
  if (!decoded->empty()) {
    std::vector<uint8_t> tight(decoded->size() - 1);
    FUZZ_CHECK(Base64Decode(text, tight.data(), tight.size()) == -1);
  }
  std::vector<uint8_t> exact(decoded->size());
  FUZZ_CHECK(Base64Decode(text, exact.data(), exact.size()) == static_cast<int>(decoded->size()));
  FUZZ_CHECK(std::string(exact.begin(), exact.end()) == *decoded);
}

void CheckEncode(std::string_view bytes) {
  const std::string text = Base64EncodeToString(Bytes(bytes));
  FUZZ_CHECK(text.size() == (bytes.size() + 2) / 3 * 4);
  FUZZ_CHECK(Base64DecodeToString(text) == std::string(bytes));

  // The sized form: exact room succeeds, one byte less (no room for the terminator) writes nothing.
  std::vector<char> room(text.size() + 1, 'x');
  FUZZ_CHECK(Base64Encode(Bytes(bytes).data(), bytes.size(), room.data(), room.size()) ==
             static_cast<int>(text.size()));
  FUZZ_CHECK(std::string_view(room.data(), text.size()) == text && room.back() == '\0');
  std::vector<char> small(text.size(), 'x');
  FUZZ_CHECK(Base64Encode(Bytes(bytes).data(), bytes.size(), small.data(), small.size()) == -1);
  FUZZ_CHECK(std::string_view(small.data(), small.size()) == std::string(small.size(), 'x'));
}

void CheckPassword(std::string_view bytes) {
  using vorlane::cipher::kMaxPasswordLength;
  using vorlane::cipher::kStoredPasswordLength;
  // Whatever is stored, deciphering gives at most one block of password.
  const std::string deciphered = vorlane::cipher::DecipherPassword(bytes);
  FUZZ_CHECK(deciphered.size() <= kMaxPasswordLength);

  const std::string stored = vorlane::cipher::EncipherPassword(bytes);
  FUZZ_CHECK(stored.size() == kStoredPasswordLength && stored.back() == '=');
  FUZZ_CHECK(Base64DecodeToString(stored).has_value());
  const std::string_view kept = bytes.substr(0, std::min(bytes.find('\0'), kMaxPasswordLength));
  FUZZ_CHECK(vorlane::cipher::DecipherPassword(stored) == kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckDecode(input);
  CheckEncode(input);
  CheckPassword(input);
  return 0;
}
