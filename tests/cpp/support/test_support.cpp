#include "support/test_support.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "test support: %s\n", what.c_str());
  std::abort();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bytes from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) die("odd hex length: " + std::string(hex));
  Bytes out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) die("bad hex: " + std::string(hex));
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return out;
}

std::string to_hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string to_hex(const Bytes& bytes) {
  return to_hex(bytes.data(), bytes.size());
}

std::string vector_path(const std::string& name) {
  return std::string(ROOTCHECKER_VECTORS_DIR) + "/" + name;
}

Block configured_key() {
  std::ifstream in(ROOTCHECKER_KEY_HEX_FILE);
  std::string hex;
  if (!(in >> hex)) die("cannot read " ROOTCHECKER_KEY_HEX_FILE);
  const Bytes key = from_hex(hex);
  if (key.size() != 16) die("configured key is not 16 bytes");
  Block out;
  std::copy(key.begin(), key.end(), out.begin());
  return out;
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
