// Encipherment of stored user passwords: AES-256 on one zero-filled block under a fixed key,
// kept as base64 text.
#pragma once

#include <string>
#include <string_view>

#include "cipher/aes.h"

namespace vorlane::cipher {

// The configuration writer and the agent both derive their key from this string, so changing it
// makes every stored password unreadable.
inline constexpr std::string_view kPasswordKeyString = "KoV1996";

// Longest password that fits the single cipher block.
inline constexpr size_t kMaxPasswordLength = 16;

// Length of every stored value: base64 of the 16-byte block plus one zero byte.
inline constexpr size_t kStoredPasswordLength = 24;

class PasswordCipher {
 public:
  // Expands the key once; the object is immutable afterwards and safe to share between threads.
  PasswordCipher();

  // The stored form of `plain`: always kStoredPasswordLength characters ending in one "=".
  // Characters beyond the sixteenth are dropped (the configuration dialog never lets more be
  // entered), and so is everything from an embedded zero byte on, because deciphering stops there.
  std::string EncipherPassword(std::string_view plain) const;

  // The password a stored value stands for. Never fails: malformed text deciphers to some wrong
  // password, which a login then simply refuses.
  std::string DecipherPassword(std::string_view stored) const;

 private:
  AesKeySchedule schedule_;
};

// The same operations on one process-wide cipher, built on first use.
std::string EncipherPassword(std::string_view plain);
std::string DecipherPassword(std::string_view stored);

}  // namespace vorlane::cipher
