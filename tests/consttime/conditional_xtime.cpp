// The cipher's two exported operations with xtime written as a selection on
// the high bit, the slip check_no_conditional_ops.py must catch: g++ and
// clang compile it to a conditional move, which memcheck lets pass. xtime
// and the column mix stay separate functions, so that the check is seen to
// follow calls as well.
#include <cstring>

#include "cipher/aes.h"

namespace {

__attribute__((noinline)) uint8_t xtime(uint8_t x) {
  return static_cast<uint8_t>((x & 0x80) ? (x << 1) ^ 0x1b : x << 1);
}

uint8_t gf_multiply(uint8_t x, uint8_t c) {
  uint8_t product = 0;
  for (int k = 0; k < 4; ++k) {
    product = static_cast<uint8_t>(product ^ (((c >> k) & 1) * x));
    x = xtime(x);
  }
  return product;
}

// FIPS-197 5.3.3: row r of the matrix is {0e, 0b, 0d, 09} turned right r
// times.
__attribute__((noinline)) void inv_mix_columns(uint8_t* state) {
  static const uint8_t kRow[4] = {0x0e, 0x0b, 0x0d, 0x09};
  for (int c = 0; c < 4; ++c) {
    uint8_t* column = state + 4 * c;
    uint8_t a[4];
    std::memcpy(a, column, 4);
    for (int r = 0; r < 4; ++r) {
      uint8_t sum = 0;
      for (int j = 0; j < 4; ++j) {
        sum = static_cast<uint8_t>(sum ^ gf_multiply(a[j], kRow[(j - r) & 3]));
      }
      column[r] = sum;
    }
  }
}

}  // namespace

void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t key[16],
                     const uint8_t iv[16]) {
  for (int k = 0; k < 176; ++k) ctx->round_keys[k] = key[k % 16];
  std::memcpy(ctx->iv, iv, 16);
}

void AES_CBC_decrypt_buffer(AES_ctx* ctx, uint8_t* buf, uint32_t length) {
  for (uint32_t blocks = length / 16; blocks > 0; --blocks, buf += 16) {
    for (int k = 0; k < 16; ++k) {
      buf[k] = static_cast<uint8_t>(buf[k] ^ ctx->round_keys[k]);
    }
    inv_mix_columns(buf);
  }
}
