#include "cipher/aes.h"

#include <string.h>

#include "cipher/aes_internal.h"

// The vectorisation request below is a hint: builds that cannot honour it
// (-O1, sanitizers) run the same loop plainly, and should not warn about it
// wherever the loop is inlined.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpass-failed"
#endif

namespace {

// FIPS-197 Figure 7.
// clang-format off
const uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// FIPS-197 Figure 14.
const uint8_t kInvSbox[256] = {
    0x52, 0x09, 0x6a, 0xd5, 0x30, 0x36, 0xa5, 0x38, 0xbf, 0x40, 0xa3, 0x9e, 0x81, 0xf3, 0xd7, 0xfb,
    0x7c, 0xe3, 0x39, 0x82, 0x9b, 0x2f, 0xff, 0x87, 0x34, 0x8e, 0x43, 0x44, 0xc4, 0xde, 0xe9, 0xcb,
    0x54, 0x7b, 0x94, 0x32, 0xa6, 0xc2, 0x23, 0x3d, 0xee, 0x4c, 0x95, 0x0b, 0x42, 0xfa, 0xc3, 0x4e,
    0x08, 0x2e, 0xa1, 0x66, 0x28, 0xd9, 0x24, 0xb2, 0x76, 0x5b, 0xa2, 0x49, 0x6d, 0x8b, 0xd1, 0x25,
    0x72, 0xf8, 0xf6, 0x64, 0x86, 0x68, 0x98, 0x16, 0xd4, 0xa4, 0x5c, 0xcc, 0x5d, 0x65, 0xb6, 0x92,
    0x6c, 0x70, 0x48, 0x50, 0xfd, 0xed, 0xb9, 0xda, 0x5e, 0x15, 0x46, 0x57, 0xa7, 0x8d, 0x9d, 0x84,
    0x90, 0xd8, 0xab, 0x00, 0x8c, 0xbc, 0xd3, 0x0a, 0xf7, 0xe4, 0x58, 0x05, 0xb8, 0xb3, 0x45, 0x06,
    0xd0, 0x2c, 0x1e, 0x8f, 0xca, 0x3f, 0x0f, 0x02, 0xc1, 0xaf, 0xbd, 0x03, 0x01, 0x13, 0x8a, 0x6b,
    0x3a, 0x91, 0x11, 0x41, 0x4f, 0x67, 0xdc, 0xea, 0x97, 0xf2, 0xcf, 0xce, 0xf0, 0xb4, 0xe6, 0x73,
    0x96, 0xac, 0x74, 0x22, 0xe7, 0xad, 0x35, 0x85, 0xe2, 0xf9, 0x37, 0xe8, 0x1c, 0x75, 0xdf, 0x6e,
    0x47, 0xf1, 0x1a, 0x71, 0x1d, 0x29, 0xc5, 0x89, 0x6f, 0xb7, 0x62, 0x0e, 0xaa, 0x18, 0xbe, 0x1b,
    0xfc, 0x56, 0x3e, 0x4b, 0xc6, 0xd2, 0x79, 0x20, 0x9a, 0xdb, 0xc0, 0xfe, 0x78, 0xcd, 0x5a, 0xf4,
    0x1f, 0xdd, 0xa8, 0x33, 0x88, 0x07, 0xc7, 0x31, 0xb1, 0x12, 0x10, 0x59, 0x27, 0x80, 0xec, 0x5f,
    0x60, 0x51, 0x7f, 0xa9, 0x19, 0xb5, 0x4a, 0x0d, 0x2d, 0xe5, 0x7a, 0x9f, 0x93, 0xc9, 0x9c, 0xef,
    0xa0, 0xe0, 0x3b, 0x4d, 0xae, 0x2a, 0xf5, 0xb0, 0xc8, 0xeb, 0xbb, 0x3c, 0x83, 0x53, 0x99, 0x61,
    0x17, 0x2b, 0x04, 0x7e, 0xba, 0x77, 0xd6, 0x26, 0xe1, 0x69, 0x14, 0x63, 0x55, 0x21, 0x0c, 0x7d,
};
// clang-format on

// The steps of InvCipher, forced inline so that InvCipher compiles into one
// body: the State stays in registers between steps and the constant
// coefficients of InvMixColumns fold. The named functions below wrap them.
// `state` and `round_key` never overlap, which __restrict tells the compiler.
#define AES_INLINE __attribute__((always_inline)) inline

AES_INLINE void add_round_key(uint8_t* __restrict state,
                              const uint8_t* __restrict round_key) {
  for (int k = 0; k < 16; ++k) {
    state[k] = static_cast<uint8_t>(state[k] ^ round_key[k]);
  }
}

// FIPS-197 5.3.1: row r moves right by r columns.
AES_INLINE void inv_shift_rows(uint8_t* state) {
  uint8_t t = state[13];
  state[13] = state[9];
  state[9] = state[5];
  state[5] = state[1];
  state[1] = t;

  t = state[2];
  state[2] = state[10];
  state[10] = t;
  t = state[6];
  state[6] = state[14];
  state[14] = t;

  t = state[3];
  state[3] = state[7];
  state[7] = state[11];
  state[11] = state[15];
  state[15] = t;
}

// FIPS-197 5.3.2.
AES_INLINE void inv_sub_bytes(uint8_t* state) {
  for (int k = 0; k < 16; ++k) state[k] = kInvSbox[state[k]];
}

// InvShiftRows then InvSubBytes in one pass over the State: InvSubBytes works
// on each byte alone, so it can be applied as each byte moves.
AES_INLINE void inv_shift_sub_bytes(uint8_t* state) {
  state[0] = kInvSbox[state[0]];
  state[4] = kInvSbox[state[4]];
  state[8] = kInvSbox[state[8]];
  state[12] = kInvSbox[state[12]];

  uint8_t t = state[13];
  state[13] = kInvSbox[state[9]];
  state[9] = kInvSbox[state[5]];
  state[5] = kInvSbox[state[1]];
  state[1] = kInvSbox[t];

  t = state[2];
  state[2] = kInvSbox[state[10]];
  state[10] = kInvSbox[t];
  t = state[6];
  state[6] = kInvSbox[state[14]];
  state[14] = kInvSbox[t];

  t = state[3];
  state[3] = kInvSbox[state[7]];
  state[7] = kInvSbox[state[11]];
  state[11] = kInvSbox[state[15]];
  state[15] = kInvSbox[t];
}

// FIPS-197 5.3.3 for one column whose bytes a0..a3 were read before any is
// written. With constant coefficients the compiler shares the xtime chains of
// each byte among its four products.
AES_INLINE void mix_column(uint8_t* column, uint8_t a0, uint8_t a1, uint8_t a2,
                           uint8_t a3) {
  column[0] =
      static_cast<uint8_t>(gf_multiply(a0, 0x0e) ^ gf_multiply(a1, 0x0b) ^
                           gf_multiply(a2, 0x0d) ^ gf_multiply(a3, 0x09));
  column[1] =
      static_cast<uint8_t>(gf_multiply(a0, 0x09) ^ gf_multiply(a1, 0x0e) ^
                           gf_multiply(a2, 0x0b) ^ gf_multiply(a3, 0x0d));
  column[2] =
      static_cast<uint8_t>(gf_multiply(a0, 0x0d) ^ gf_multiply(a1, 0x09) ^
                           gf_multiply(a2, 0x0e) ^ gf_multiply(a3, 0x0b));
  column[3] =
      static_cast<uint8_t>(gf_multiply(a0, 0x0b) ^ gf_multiply(a1, 0x0d) ^
                           gf_multiply(a2, 0x09) ^ gf_multiply(a3, 0x0e));
}

// FIPS-197 5.3.3.
AES_INLINE void inv_mix_columns(uint8_t* state) {
  for (int c = 0; c < 4; ++c) {
    uint8_t* column = state + 4 * c;
    const uint8_t a0 = column[0], a1 = column[1], a2 = column[2],
                  a3 = column[3];
    mix_column(column, a0, a1, a2, a3);
  }
}

// InvSubBytes, AddRoundKey and InvMixColumns of one round, a column at a
// time: each acts within a column once InvShiftRows has moved the bytes, so
// the column is read once and written once. Vectorised across the four
// columns, the S-box results land in the lanes InvMixColumns needs.
AES_INLINE void inv_sub_add_mix_columns(uint8_t* __restrict state,
                                        const uint8_t* __restrict round_key) {
#if defined(__clang__)
#pragma clang loop vectorize(enable)
#endif
  for (int c = 0; c < 4; ++c) {
    uint8_t* column = state + 4 * c;
    const uint8_t* key = round_key + 4 * c;
    const uint8_t a0 = static_cast<uint8_t>(kInvSbox[column[0]] ^ key[0]),
                  a1 = static_cast<uint8_t>(kInvSbox[column[1]] ^ key[1]),
                  a2 = static_cast<uint8_t>(kInvSbox[column[2]] ^ key[2]),
                  a3 = static_cast<uint8_t>(kInvSbox[column[3]] ^ key[3]);
    mix_column(column, a0, a1, a2, a3);
  }
}

AES_INLINE void sub_word(uint8_t* word) {
  for (int k = 0; k < 4; ++k) word[k] = kSbox[word[k]];
}

AES_INLINE void rot_word(uint8_t* word) {
  const uint8_t first = word[0];
  word[0] = word[1];
  word[1] = word[2];
  word[2] = word[3];
  word[3] = first;
}

// FIPS-197 5.3, the straightforward inverse cipher: round keys are used as
// KeyExpansion made them.
AES_INLINE void inv_cipher(uint8_t* __restrict state,
                           const uint8_t* __restrict round_keys) {
  add_round_key(state, round_keys + 16 * 10);
  for (uint8_t round = 9; round >= 1; --round) {
    inv_shift_rows(state);
    inv_sub_add_mix_columns(state, round_keys + 16 * round);
  }
  inv_shift_sub_bytes(state);
  add_round_key(state, round_keys);
}

#undef AES_INLINE

}  // namespace

// Only the first byte of each round-constant word; the other three are zero.
const uint8_t Rcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10,
                          0x20, 0x40, 0x80, 0x1b, 0x36};

void SubWord(uint8_t word[4]) { sub_word(word); }

void RotWord(uint8_t word[4]) { rot_word(word); }

// FIPS-197 5.2, for Nk = 4, one round key (four words) per pass: of each
// four words only the first takes RotWord, SubWord and Rcon; the others XOR
// in the word before them as it stands.
void KeyExpansion(uint8_t round_keys[176], const uint8_t key[16]) {
  memcpy(round_keys, key, 16);
  for (int i = 4; i < 44; i += 4) {
    uint8_t* __restrict w = round_keys + 4 * i;  // words i to i + 3
    const uint8_t* before = w - 16;              // words i - 4 to i - 1
    uint8_t t[4];
    memcpy(t, w - 4, 4);
    rot_word(t);
    sub_word(t);
    t[0] = static_cast<uint8_t>(t[0] ^ Rcon[i / 4 - 1]);
    // XOR acts on each byte alone, so XORing whole words gives the same
    // bytes in fewer steps.
    uint32_t word = 0, previous = 0;
    memcpy(&previous, t, 4);
    for (int j = 0; j < 16; j += 4) {
      memcpy(&word, before + j, 4);
      word ^= previous;
      memcpy(w + j, &word, 4);
      previous = word;
    }
  }
}

// FIPS-197 5.1.4.
void AddRoundKey(uint8_t round, uint8_t state[16],
                 const uint8_t round_keys[176]) {
  add_round_key(state, round_keys + 16 * round);
}

void InvShiftRows(uint8_t state[16]) { inv_shift_rows(state); }

void InvSubBytes(uint8_t state[16]) { inv_sub_bytes(state); }

void InvMixColumns(uint8_t state[16]) { inv_mix_columns(state); }

void InvCipher(uint8_t state[16], const uint8_t round_keys[176]) {
  inv_cipher(state, round_keys);
}

void xor_chaining_value(uint8_t block[16], const uint8_t chaining_value[16]) {
  for (int k = 0; k < 16; ++k) {
    block[k] = static_cast<uint8_t>(block[k] ^ chaining_value[k]);
  }
}

void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t key[16],
                     const uint8_t iv[16]) {
  KeyExpansion(ctx->round_keys, key);
  memcpy(ctx->iv, iv, 16);
}

// SP 800-38A 6.2. Only whole blocks are decrypted; the saved ciphertext keeps
// the chain going although the buffer is overwritten in place.
void AES_CBC_decrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  for (uint32_t blocks = length / 16; blocks > 0; --blocks, buf += 16) {
    uint8_t ciphertext[16];
    memcpy(ciphertext, buf, 16);
    InvCipher(buf, ctx->round_keys);
    xor_chaining_value(buf, ctx->iv);
    memcpy(ctx->iv, ciphertext, 16);
  }
}
