// AES block cipher (FIPS-197) with 128-, 192- and 256-bit keys, one 16-byte block at a time.
#pragma once

#include <array>
#include <cstdint>

namespace vorlane::cipher {

// Round keys for one AES key. Words are big-endian (first key byte in the top bits), matching
// the byte order of the state so that key and state can be XORed word by word.
struct AesKeySchedule {
  static constexpr int kMaxRounds = 14;
  static constexpr int kMaxWords = 4 * (kMaxRounds + 1);

  // Encryption round keys, round 0 first.
  std::array<uint32_t, kMaxWords> encKeys{};
  // Decryption round keys in the order the equivalent inverse cipher consumes them: the last
  // encryption round key first, and the inner round keys passed through InvMixColumns so that
  // decryption can use the same table-driven round shape as encryption.
  std::array<uint32_t, kMaxWords> decKeys{};
  // 10, 12 or 14; 0 until a key has been set.
  int rounds = 0;
};

// Expands `key` (keyBits / 8 bytes) into `schedule`. Returns 0 on success and 1 when keyBits is
// not 128, 192 or 256; the schedule is left untouched in that case.
int CipherSetKey(AesKeySchedule& schedule, const uint8_t* key, int keyBits);

// One block each way. `in` and `out` may be the same buffer: the whole block is read before
// anything is written.
void CipherEncryptBlock(const AesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]);
void CipherDecryptBlock(const AesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]);

}  // namespace vorlane::cipher
