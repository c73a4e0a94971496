// The FIPS-197 transformations behind cipher/aes.h. Internal to the library:
// none of these is exported; tests reach them by linking the static core.
#ifndef ROOTCHECKER_CIPHER_AES_INTERNAL_H
#define ROOTCHECKER_CIPHER_AES_INTERNAL_H

#include <stdint.h>

// FIPS-197 4.2.1. Reduction by multiplying with bit 7, not by branching on it.
inline uint8_t xtime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ (0x1b * (x >> 7)));
}

// Product of x and c in GF(2^8), for c < 0x20. Each term is selected by
// multiplying with its bit of c, so nothing branches on x or c. With a
// constant c the compiler drops the zero terms.
inline uint8_t gf_multiply(uint8_t x, uint8_t c) {
  uint8_t product = 0;
  for (int k = 0; k < 5; ++k) {
    product = static_cast<uint8_t>(product ^ (((c >> k) & 1) * x));
    x = xtime(x);
  }
  return product;
}

void KeyExpansion(uint8_t round_keys[176], const uint8_t key[16]);
void InvCipher(uint8_t state[16], const uint8_t round_keys[176]);

void AddRoundKey(uint8_t round, uint8_t state[16],
                 const uint8_t round_keys[176]);
void InvShiftRows(uint8_t state[16]);
void InvSubBytes(uint8_t state[16]);
void InvMixColumns(uint8_t state[16]);
void SubWord(uint8_t word[4]);
void RotWord(uint8_t word[4]);
void xor_chaining_value(uint8_t block[16], const uint8_t chaining_value[16]);

extern const uint8_t Rcon[10];  // Rcon[j - 1] holds FIPS-197 Rcon[j], j = 1..10

#endif  // ROOTCHECKER_CIPHER_AES_INTERNAL_H
