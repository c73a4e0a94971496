// AES-128 decryption in CBC mode (FIPS-197, NIST SP 800-38A). Decryption only:
// there is no forward cipher here.
//
// Timing: nothing in AES_init_ctx_iv or AES_CBC_decrypt_buffer branches or
// conditionally moves or sets on secret data. tests/consttime checks the two
// halves apart. Under valgrind's memcheck, with key, vector and ciphertext
// marked secret, no branch depends on them in xtime, gf_multiply,
// InvMixColumns, AddRoundKey, InvShiftRows, xor_chaining_value or the whole
// decryption; memcheck cannot see a conditional move or set, so the built
// library's machine code is read instead: nothing the two operations reach is
// a cmov or setcc. What memcheck does report is addresses: every InvSubBytes
// look-up, and every SubWord look-up in KeyExpansion, indexes an S-box with a
// secret byte. Those look-ups are NOT constant-time against cache-timing
// attacks: which cache lines are touched depends on the key and the data.
#ifndef ROOTCHECKER_CIPHER_AES_H
#define ROOTCHECKER_CIPHER_AES_H

#include <stdint.h>

#define AES_EXPORT __attribute__((visibility("default")))

// The cipher context. Plain data, owned by the caller; nothing here clears it.
struct AES_ctx {
  uint8_t round_keys[176];  // 11 round keys, round key r at bytes 16r..16r+15
  uint8_t iv[16];           // chaining value for the next block
};

// AES_init_ctx_iv expands `key` into `ctx` and copies `iv` into it. Every byte
// of `ctx` is written, so its previous contents do not matter. Neither pointer
// is kept.
AES_EXPORT void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t key[16],
                                const uint8_t iv[16]);

// AES_CBC_decrypt_buffer decrypts `length` bytes of `buf` in place in CBC mode
// and leaves the last ciphertext block in ctx->iv, so that a message may be
// decrypted in several calls. The caller must see to it that `ctx` was set up
// by AES_init_ctx_iv and that `buf` holds `length` writable bytes. `length`
// should be a multiple of 16; trailing bytes past the last whole block are left
// untouched and do not enter the chain. Nothing is checked and nothing can
// fail: a wrong key or vector just yields wrong plaintext.
AES_EXPORT void AES_CBC_decrypt_buffer(AES_ctx* ctx, uint8_t* buf,
                                       uint32_t length);

#endif  // ROOTCHECKER_CIPHER_AES_H
