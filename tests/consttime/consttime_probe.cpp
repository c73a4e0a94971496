// Runs cipher code on inputs that valgrind's memcheck is told are undefined
// (ctgrind's trick): memcheck then reports every branch or conditional move
// that depends on them ("Conditional jump or move depends on uninitialised
// value(s)") and every memory address computed from them ("Use of
// uninitialised value of size N"). Run under valgrind by run_consttime.sh.
//
//   consttime_probe branch_free   xtime, gf_multiply (both arguments),
//                                 InvMixColumns, AddRoundKey, InvShiftRows,
//                                 xor_chaining_value: must report nothing
//   consttime_probe sbox          InvSubBytes: expected to report addresses
//   consttime_probe cipher        the whole CBC decryption with secret key,
//                                 vector and ciphertext: expected to report
//                                 addresses (the S-boxes) and no branch
//   consttime_probe control       a deliberate branch on a secret: expected
//                                 to report it, showing the check can fail
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cipher/aes.h"
#include "cipher/aes_internal.h"

namespace {

// Inputs come from volatile memory and every call goes through a function
// the compiler may not inline, so nothing is folded at compile time.
volatile uint8_t g_seed = 0x5a;
volatile uint8_t g_sink = 0;

void secret(void* p, size_t n) { (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n); }
void public_again(void* p, size_t n) { (void)VALGRIND_MAKE_MEM_DEFINED(p, n); }

void consume(const uint8_t* p, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum ^ p[i]);
  g_sink = static_cast<uint8_t>(g_sink ^ sum);
}

void fill(uint8_t* p, size_t n, uint8_t start) {
  for (size_t i = 0; i < n; ++i) {
    p[i] = static_cast<uint8_t>(start + 37 * i + g_seed);
  }
}

__attribute__((noinline)) uint8_t call_xtime(uint8_t x) { return xtime(x); }

__attribute__((noinline)) uint8_t call_gf_multiply(uint8_t x, uint8_t c) {
  return gf_multiply(x, c);
}

void branch_free() {
  for (unsigned v = 0; v < 256; ++v) {
    uint8_t x = static_cast<uint8_t>(v ^ g_seed ^ 0x5a);
    secret(&x, 1);
    uint8_t y = call_xtime(x);
    public_again(&y, 1);
    consume(&y, 1);
    // Every coefficient below 0x20, the secret one too.
    for (unsigned k = 0; k < 0x20; ++k) {
      uint8_t c = static_cast<uint8_t>(k ^ g_seed ^ 0x5a);
      uint8_t x2 = x;
      secret(&c, 1);
      secret(&x2, 1);
      uint8_t product = call_gf_multiply(x2, c);
      public_again(&product, 1);
      consume(&product, 1);
    }
  }

  uint8_t state[16], round_keys[176], chaining[16];
  for (uint8_t round = 0; round <= 10; ++round) {
    fill(state, sizeof state, round);
    fill(round_keys, sizeof round_keys, 3);
    fill(chaining, sizeof chaining, 7);
    secret(state, sizeof state);
    secret(round_keys, sizeof round_keys);
    secret(chaining, sizeof chaining);
    InvMixColumns(state);
    InvShiftRows(state);
    AddRoundKey(round, state, round_keys);  // the round number is public
    xor_chaining_value(state, chaining);
    public_again(state, sizeof state);
    consume(state, sizeof state);
  }
}

void sbox() {
  uint8_t state[16];
  fill(state, sizeof state, 1);
  secret(state, sizeof state);
  InvSubBytes(state);
  public_again(state, sizeof state);
  consume(state, sizeof state);
}

void cipher() {
  uint8_t key[16], iv[16], buf[64];
  fill(key, sizeof key, 11);
  fill(iv, sizeof iv, 13);
  fill(buf, sizeof buf, 17);
  secret(key, sizeof key);
  secret(iv, sizeof iv);
  secret(buf, sizeof buf);
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, key, iv);
  AES_CBC_decrypt_buffer(&ctx, buf, sizeof buf);  // the length is public
  public_again(buf, sizeof buf);
  consume(buf, sizeof buf);
}

volatile unsigned g_taken = 0;

__attribute__((noinline)) void branch_on(uint8_t x) {
  for (int k = 0; k < 8; ++k) {
    if ((x >> k) & 1) g_taken = g_taken + 1;  // a store, so it stays a branch
  }
}

void control() {
  uint8_t x = g_seed;
  secret(&x, 1);
  branch_on(x);
}

}  // namespace

int main(int argc, char** argv) {
  if (!RUNNING_ON_VALGRIND) {
    std::fprintf(stderr, "consttime_probe: run me under valgrind\n");
    return 2;
  }
  const char* mode = argc == 2 ? argv[1] : "";
  if (std::strcmp(mode, "branch_free") == 0) {
    branch_free();
  } else if (std::strcmp(mode, "sbox") == 0) {
    sbox();
  } else if (std::strcmp(mode, "cipher") == 0) {
    cipher();
  } else if (std::strcmp(mode, "control") == 0) {
    control();
  } else {
    std::fprintf(stderr,
                 "usage: consttime_probe branch_free|sbox|cipher|control\n");
    return 2;
  }
  return 0;
}
