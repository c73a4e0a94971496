#include "fuzz_support.h"

#include <openssl/evp.h>
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "fuzz support: %s\n", what);
  std::abort();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Block read_key() {
  std::ifstream in(ROOTCHECKER_KEY_HEX_FILE);
  std::string hex;
  if (!(in >> hex) || hex.size() != 32) die("cannot read the configured key");
  Block key;
  for (size_t i = 0; i < 16; ++i) {
    const int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) die("the configured key is not hex");
    key[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return key;
}

// One context per thread of use, reset on each call: creating one per input
// would cost more than the cipher itself.
Bytes openssl_run(const EVP_CIPHER* cipher, bool encrypt, const uint8_t key[16],
                  const uint8_t* iv, const uint8_t* data, size_t size) {
  static EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr || size % 16 != 0) die("bad OpenSSL call");
  Bytes out(size + 16);
  int n = 0, tail = 0;
  if (EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
      EVP_CipherUpdate(ctx, out.data(), &n, data, static_cast<int>(size)) !=
          1 ||
      EVP_CipherFinal_ex(ctx, out.data() + n, &tail) != 1) {
    die("OpenSSL AES-128 failed");
  }
  out.resize(static_cast<size_t>(n + tail));
  if (out.size() != size) die("OpenSSL returned a wrong length");
  return out;
}

void (*g_failure_hook)() = nullptr;

}  // namespace

void fuzz_at_failure(void (*hook)()) {
  g_failure_hook = hook;
  __sanitizer_set_death_callback(hook);
}

const Block& fuzz_configured_key() {
  static const Block key = read_key();
  return key;
}

Bytes openssl_cbc_encrypt(const uint8_t key[16], const uint8_t iv[16],
                          const uint8_t* data, size_t size) {
  return openssl_run(EVP_aes_128_cbc(), true, key, iv, data, size);
}

Bytes openssl_cbc_decrypt(const uint8_t key[16], const uint8_t iv[16],
                          const uint8_t* data, size_t size) {
  return openssl_run(EVP_aes_128_cbc(), false, key, iv, data, size);
}

Block openssl_ecb_decrypt_block(const uint8_t key[16],
                                const uint8_t block[16]) {
  const Bytes out =
      openssl_run(EVP_aes_128_ecb(), false, key, nullptr, block, 16);
  Block result;
  std::copy(out.begin(), out.end(), result.begin());
  return result;
}

std::string fuzz_hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

void fuzz_fail(const char* file, int line, const char* condition,
               const std::string& details) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n%s\n", file, line,
               condition, details.c_str());
  std::fflush(stderr);
  if (g_failure_hook != nullptr) g_failure_hook();
  std::abort();
}

Bytes FuzzInput::bytes(size_t n) {
  n = std::min(n, remaining());
  Bytes out(data_ + at_, data_ + at_ + n);
  at_ += n;
  return out;
}
