#include "cipher/password.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "cipher/base64.h"

namespace vorlane::cipher {
namespace {

constexpr int kKeyBits = 256;
constexpr size_t kBlockSize = 16;
// One byte past the block stays zero: it terminates a 16-character password and is part of the
// stored form, which is why that form is base64 of 17 bytes.
constexpr size_t kBufferSize = kBlockSize + 1;

}  // namespace

PasswordCipher::PasswordCipher() {
  std::array<uint8_t, kKeyBits / 8> key{};
  std::memcpy(key.data(), kPasswordKeyString.data(), kPasswordKeyString.size());
  CipherSetKey(schedule_, key.data(), kKeyBits);
}

std::string PasswordCipher::EncipherPassword(std::string_view plain) const {
  std::array<uint8_t, kBufferSize> buffer{};
  std::copy_n(plain.data(), std::min(plain.size(), kMaxPasswordLength), buffer.data());
  CipherEncryptBlock(schedule_, buffer.data(), buffer.data());
  return Base64EncodeToString(buffer);
}

std::string PasswordCipher::DecipherPassword(std::string_view stored) const {
  std::array<uint8_t, kBufferSize> buffer{};
  // The result is deliberately ignored: a malformed value leaves whatever was decoded before the
  // fault (never more than the buffer holds) over the zero fill, and that deciphers to a wrong
  // password.
  Base64Decode(stored, buffer.data(), buffer.size());
  CipherDecryptBlock(schedule_, buffer.data(), buffer.data());
  // Byte 16 is zero in every value we write, but a foreign value can decode to a non-zero one;
  // a password never extends past the block, so the search for its end stops there.
  const auto* begin = buffer.data();
  const auto* end = std::find(begin, begin + kBlockSize, uint8_t{0});
  return std::string(begin, end);
}

namespace {

const PasswordCipher& SharedCipher() {
  static const PasswordCipher cipher;
  return cipher;
}

}  // namespace

std::string EncipherPassword(std::string_view plain) {
  return SharedCipher().EncipherPassword(plain);
}

std::string DecipherPassword(std::string_view stored) {
  return SharedCipher().DecipherPassword(stored);
}

}  // namespace vorlane::cipher
