#include "support/test_support.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "test support: %s\n", what.c_str());
  std::abort();
}

}  // namespace

Bytes from_hex(std::string_view hex) {
  Bytes out;
  if (!parse_hex(hex, out)) die("bad hex: " + std::string(hex));
  return out;
}

std::string vector_path(const std::string& name) {
  return std::string(ROOTCHECKER_VECTORS_DIR) + "/" + name;
}

Block configured_key() {
  Block key;
  if (!read_key_file(ROOTCHECKER_KEY_HEX_FILE, key)) {
    die("cannot read a 16-byte hex key from " ROOTCHECKER_KEY_HEX_FILE);
  }
  return key;
}

Bytes openssl_cbc_encrypt(const uint8_t key[16], const uint8_t iv[16],
                          const Bytes& plaintext, bool pkcs7) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
      EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  Bytes out(plaintext.size() + 16);
  int n = 0, tail = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key, iv) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), pkcs7 ? 1 : 0) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data(), &n, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
    die("OpenSSL AES-128-CBC encryption failed");
  }
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

Bytes seal_blob(const uint8_t key[16], const uint8_t iv[16],
                const Bytes& plaintext, bool pkcs7) {
  Bytes blob(iv, iv + 16);
  const Bytes ciphertext = openssl_cbc_encrypt(key, iv, plaintext, pkcs7);
  blob.insert(blob.end(), ciphertext.begin(), ciphertext.end());
  return blob;
}
