// Differential test: OpenSSL's AES-128-CBC encrypts random messages, and the
// library must decrypt them whatever the calls they are split into.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cbc_calls.h"
#include "cipher/aes.h"
#include "support/seeded_rng.h"

namespace {

// Random keys, vectors and lengths of 0 to 4096 bytes in whole blocks; each
// message decrypted on one context in calls of random size (0 included).
TEST(AesCbcOpenSsl, RandomMessagesInRandomCalls) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  for (int n = 0; n < 300; ++n) {
    const Block key = rng.block(), iv = rng.block();
    const size_t blocks = rng.uniform<size_t>(0, 4096 / 16);
    const Bytes plaintext = rng.bytes(16 * blocks);
    const Bytes ciphertext =
        openssl_cbc_encrypt(key.data(), iv.data(), plaintext, false);
    ASSERT_EQ(ciphertext.size(), plaintext.size());

    // Calls of at most 1, 2, 4, ... 256 blocks, picked for each message.
    const size_t most = size_t{1} << rng.uniform(0, 8);
    std::vector<uint32_t> lengths;
    for (size_t left = blocks; left > 0;) {
      const size_t take = rng.uniform<size_t>(0, std::min(most, left));
      lengths.push_back(static_cast<uint32_t>(16 * take));
      left -= take;
    }
    std::string calls;
    for (uint32_t length : lengths) calls += std::to_string(length) + " ";

    Bytes buffer = ciphertext;
    const AES_ctx ctx =
        decrypt_in_calls(key.data(), iv.data(), &buffer, lengths);
    const bool ok = buffer == plaintext;
    const size_t first_bad = static_cast<size_t>(
        std::mismatch(buffer.begin(), buffer.end(), plaintext.begin()).first -
        buffer.begin());
    const std::string chain =
        blocks == 0 ? to_hex(iv.data(), 16)
                    : to_hex(slice(ciphertext, ciphertext.size() - 16, 16));
    EXPECT_TRUE(ok) << "message " << n << ": key " << to_hex(key.data(), 16)
                    << " iv " << to_hex(iv.data(), 16) << ", " << blocks
                    << " blocks in calls of " << calls
                    << "bytes; first wrong byte " << first_bad << "\n  got  "
                    << to_hex(buffer) << "\n  want " << to_hex(plaintext);
    EXPECT_EQ(to_hex(ctx.iv, 16), chain) << "message " << n << " chain value";
    if (!ok) return;
  }
}

}  // namespace
