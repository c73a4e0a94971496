// Helpers shared by the C++ tests: hex, the vector files, the configured key,
// and OpenSSL as the second implementation that encrypts what we decrypt.
#ifndef ROOTCHECKER_TESTS_SUPPORT_TEST_SUPPORT_H
#define ROOTCHECKER_TESTS_SUPPORT_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "support/bytes.h"

// Decodes hex digits (either case); aborts the test binary on bad input.
Bytes from_hex(std::string_view hex);

// Path of a file in tests/vectors/.
std::string vector_path(const std::string& name);

// The key the build was configured with (read from the build tree, never
// carried by a test).
Block configured_key();

// AES-128-CBC encryption by OpenSSL's EVP interface. With `pkcs7` off the
// plaintext must be whole blocks.
Bytes openssl_cbc_encrypt(const uint8_t key[16], const uint8_t iv[16],
                          const Bytes& plaintext, bool pkcs7);

// A password blob: iv followed by the OpenSSL ciphertext.
Bytes seal_blob(const uint8_t key[16], const uint8_t iv[16],
                const Bytes& plaintext, bool pkcs7);

#endif  // ROOTCHECKER_TESTS_SUPPORT_TEST_SUPPORT_H
