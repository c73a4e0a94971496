// What the fuzzers share: the configured key, OpenSSL as the second
// implementation, and a check that aborts loudly so that libFuzzer keeps the
// input that broke an invariant.
#ifndef ROOTCHECKER_FUZZ_FUZZ_SUPPORT_H
#define ROOTCHECKER_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/bytes.h"

// The key the build was configured with, read once from the build tree.
const Block& fuzz_configured_key();

// AES-128-CBC by OpenSSL's EVP interface, padding off: `size` must be a
// multiple of 16. Abort if OpenSSL fails.
Bytes openssl_cbc_encrypt(const uint8_t key[16], const uint8_t iv[16],
                          const uint8_t* data, size_t size);
Bytes openssl_cbc_decrypt(const uint8_t key[16], const uint8_t iv[16],
                          const uint8_t* data, size_t size);
// One block through OpenSSL's AES-128-ECB decryption.
Block openssl_ecb_decrypt_block(const uint8_t key[16], const uint8_t block[16]);

// Runs `hook` before the process dies of a broken invariant or a sanitizer
// report, e.g. to remove the files a fuzzer made.
void fuzz_at_failure(void (*hook)());

// Prints the broken invariant with its details and aborts.
[[noreturn]] void fuzz_fail(const char* file, int line, const char* condition,
                            const std::string& details);

#define FUZZ_CHECK(condition, details)                                    \
  do {                                                                    \
    if (!(condition)) fuzz_fail(__FILE__, __LINE__, #condition, details); \
  } while (0)

// Reads an input front to back; once it runs dry every read gives zeros.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to `n` bytes, fewer if the input runs out.
  Bytes bytes(size_t n);
  Bytes rest() { return bytes(remaining()); }
  size_t remaining() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

#endif  // ROOTCHECKER_FUZZ_FUZZ_SUPPORT_H
