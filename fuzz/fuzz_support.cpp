#include "fuzz_support.h"

#include <openssl/evp.h>
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "fuzz support: %s\n", what);
  std::abort();
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
  static const Block key = [] {
    Block k;
    if (!read_key_file(ROOTCHECKER_KEY_HEX_FILE, k)) {
      die("cannot read the configured key");
    }
    return k;
  }();
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
