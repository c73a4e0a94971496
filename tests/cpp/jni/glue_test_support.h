// Blobs for the JNI glue tests, sealed by OpenSSL under the configured key.
#ifndef ROOTCHECKER_TESTS_CPP_JNI_GLUE_TEST_SUPPORT_H
#define ROOTCHECKER_TESTS_CPP_JNI_GLUE_TEST_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "support/test_support.h"

// The seed for this run: $ROOTCHECKER_TEST_SEED if set, else a fixed one.
// Tests put it in a SCOPED_TRACE so that a failure prints it.
uint32_t test_seed();
std::string seed_trace(uint32_t seed);

Bytes random_bytes(std::mt19937& rng, size_t size);

// `blocks` whole blocks of random bytes whose last byte is `last`.
Bytes plaintext_ending_in(std::mt19937& rng, size_t blocks, uint8_t last);

// A random IV followed by `plaintext` (whole blocks, no padding added)
// encrypted under the configured key.
Bytes sealed_blob(std::mt19937& rng, const Bytes& plaintext);

#endif  // ROOTCHECKER_TESTS_CPP_JNI_GLUE_TEST_SUPPORT_H
