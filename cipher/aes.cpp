#include "cipher/aes.h"

namespace vorlane::cipher {
namespace {

// Multiplication by x in GF(2^8) modulo the AES polynomial x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t XTime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return product;
}

constexpr uint32_t RotateRight8(uint32_t w) { return (w >> 8) | (w << 24); }

constexpr uint32_t Word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | uint32_t{b3};
}

// All lookup tables, derived from the field arithmetic at compile time so that there is no
// start-up work and no question of which thread initialises them.
//
// The round tables fold SubBytes (or InvSubBytes) and one column of MixColumns (or
// InvMixColumns) into one lookup: enc[0][x] is the column that state byte x in row 0 contributes
// after both steps, and enc[r] is the same column rotated for row r. ShiftRows is then just the
// choice of which state word each row's byte comes from.
struct Tables {
  std::array<uint8_t, 256> sbox{};
  std::array<uint8_t, 256> invSbox{};
  std::array<std::array<uint32_t, 256>, 4> enc{};
  std::array<std::array<uint32_t, 256>, 4> dec{};
};

constexpr Tables BuildTables() {
  Tables t;

  // Powers of the generator 3 enumerate every non-zero field element, which gives the
  // multiplicative inverse as exp[255 - log[a]] without a search.
  std::array<uint8_t, 256> exp{};
  std::array<uint8_t, 256> log{};
  uint8_t power = 1;
  for (int i = 0; i < 255; ++i) {
    exp[i] = power;
    log[power] = static_cast<uint8_t>(i);
    power = static_cast<uint8_t>(power ^ XTime(power));  // power * 3
  }

  for (int x = 0; x < 256; ++x) {
    const uint8_t inverse = x == 0 ? 0 : exp[(255 - log[x]) % 255];
    // The affine transform of FIPS-197 5.1.1: b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^
    // 0x63.
    uint8_t s = inverse;
    for (int shift = 1; shift <= 4; ++shift) {
      s ^= static_cast<uint8_t>((inverse << shift) | (inverse >> (8 - shift)));
    }
    s ^= 0x63;
    t.sbox[x] = s;
    t.invSbox[s] = static_cast<uint8_t>(x);
  }

  for (int x = 0; x < 256; ++x) {
    const uint8_t s = t.sbox[x];
    const uint8_t i = t.invSbox[x];
    t.enc[0][x] = Word(GfMul(s, 2), s, s, GfMul(s, 3));
    t.dec[0][x] = Word(GfMul(i, 14), GfMul(i, 9), GfMul(i, 13), GfMul(i, 11));
    for (int r = 1; r < 4; ++r) {
      t.enc[r][x] = RotateRight8(t.enc[r - 1][x]);
      t.dec[r][x] = RotateRight8(t.dec[r - 1][x]);
    }
  }
  return t;
}

constexpr Tables kTables = BuildTables();

static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xed &&
                  kTables.sbox[0xff] == 0x16,
              "S-box differs from FIPS-197 Figure 7");
static_assert(kTables.invSbox[0x63] == 0x00 && kTables.invSbox[0x00] == 0x52,
              "inverse S-box differs from FIPS-197 Figure 14");

constexpr uint8_t Byte(uint32_t w, int index) {
  return static_cast<uint8_t>(w >> (24 - 8 * index));
}

uint32_t SubWord(uint32_t w) {
  const auto& s = kTables.sbox;
  return Word(s[Byte(w, 0)], s[Byte(w, 1)], s[Byte(w, 2)], s[Byte(w, 3)]);
}

// InvMixColumns of one column. dec[r] includes InvSubBytes, so the bytes are sent through the
// forward S-box first to cancel it.
uint32_t InvMixColumn(uint32_t w) {
  const auto& s = kTables.sbox;
  const auto& d = kTables.dec;
  return d[0][s[Byte(w, 0)]] ^ d[1][s[Byte(w, 1)]] ^ d[2][s[Byte(w, 2)]] ^ d[3][s[Byte(w, 3)]];
}

uint32_t LoadWord(const uint8_t* p) { return Word(p[0], p[1], p[2], p[3]); }

void StoreWord(uint32_t w, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = Byte(w, i);
}

// The rounds shared by encryption and decryption; they differ only in tables, keys and the
// direction of the row shift. `shift` is 1 for ShiftRows (row r takes its byte from the word r
// columns to the right) and 3 for InvShiftRows (r columns to the left); as a template argument
// it folds into constant word indices.
template <int shift>
void RunRounds(const std::array<std::array<uint32_t, 256>, 4>& table,
               const std::array<uint8_t, 256>& box, const uint32_t* keys, int rounds,
               const uint8_t in[16], uint8_t out[16]) {
  uint32_t state[4];
  for (int c = 0; c < 4; ++c) state[c] = LoadWord(in + 4 * c) ^ keys[c];

  uint32_t next[4];
  for (int round = 1; round < rounds; ++round) {
    keys += 4;
    // Unrolled so that the state stays in registers; -O2 leaves this loop rolled otherwise and
    // runs at well under half the speed.
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
      next[c] = table[0][Byte(state[c], 0)] ^ table[1][Byte(state[(c + shift) & 3], 1)] ^
                table[2][Byte(state[(c + 2 * shift) & 3], 2)] ^
                table[3][Byte(state[(c + 3 * shift) & 3], 3)] ^ keys[c];
    }
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) state[c] = next[c];
  }

  // The last round has no (Inv)MixColumns, so it substitutes bytes directly.
  keys += 4;
  for (int c = 0; c < 4; ++c) {
    next[c] =
        Word(box[Byte(state[c], 0)], box[Byte(state[(c + shift) & 3], 1)],
             box[Byte(state[(c + 2 * shift) & 3], 2)], box[Byte(state[(c + 3 * shift) & 3], 3)]) ^
        keys[c];
  }
  for (int c = 0; c < 4; ++c) StoreWord(next[c], out + 4 * c);
}

}  // namespace

int CipherSetKey(AesKeySchedule& schedule, const uint8_t* key, int keyBits) {
  if (keyBits != 128 && keyBits != 192 && keyBits != 256) return 1;

  const int keyWords = keyBits / 32;
  const int rounds = keyWords + 6;
  const int totalWords = 4 * (rounds + 1);
  uint32_t* w = schedule.encKeys.data();

  for (int i = 0; i < keyWords; ++i) w[i] = LoadWord(key + 4 * i);
  uint8_t rcon = 0x01;
  for (int i = keyWords; i < totalWords; ++i) {
    uint32_t temp = w[i - 1];
    if (i % keyWords == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ (uint32_t{rcon} << 24);
      rcon = XTime(rcon);
    } else if (keyWords > 6 && i % keyWords == 4) {
      temp = SubWord(temp);
    }
    w[i] = w[i - keyWords] ^ temp;
  }

  // Equivalent inverse cipher (FIPS-197 5.3.5): round keys in reverse round order, with
  // InvMixColumns applied to every round key except the first and last one used.
  uint32_t* dk = schedule.decKeys.data();
  for (int round = 0; round <= rounds; ++round) {
    const uint32_t* source = w + 4 * (rounds - round);
    const bool inner = round != 0 && round != rounds;
    for (int c = 0; c < 4; ++c) dk[4 * round + c] = inner ? InvMixColumn(source[c]) : source[c];
  }

  schedule.rounds = rounds;
  return 0;
}

void CipherEncryptBlock(const AesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
  RunRounds<1>(kTables.enc, kTables.sbox, schedule.encKeys.data(), schedule.rounds, in, out);
}

void CipherDecryptBlock(const AesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
  RunRounds<3>(kTables.dec, kTables.invSbox, schedule.decKeys.data(), schedule.rounds, in, out);
}

}  // namespace vorlane::cipher
