// What AES_CBC_decrypt_buffer does to its context and buffer: the chain value
// it leaves, what it never touches, and how errors in the vector or the
// ciphertext spread (SP 800-38A 6.2, Appendix E).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cbc_calls.h"
#include "cipher/aes.h"
#include "support/seeded_rng.h"

namespace {

std::string ctx_hex(const AES_ctx& ctx) {
  return to_hex(ctx.round_keys, sizeof ctx.round_keys) + " iv " +
         to_hex(ctx.iv, sizeof ctx.iv);
}

// A random message of `blocks` blocks with its OpenSSL ciphertext.
struct Message {
  Block key, iv;
  Bytes plaintext, ciphertext;
};

Message random_message(SeededRng& rng, size_t blocks) {
  Message m{rng.block(), rng.block(), rng.bytes(16 * blocks), {}};
  m.ciphertext =
      openssl_cbc_encrypt(m.key.data(), m.iv.data(), m.plaintext, false);
  return m;
}

// After every call above 0 bytes the chain value is the last 16 bytes the
// buffer held before the call, and the schedule is as AES_init_ctx_iv left it.
TEST(AesCbcContext, ChainValueIsLastCiphertextBlockAndScheduleStays) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const Message m = random_message(rng, 12);
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, m.key.data(), m.iv.data());
  const std::string schedule = to_hex(ctx.round_keys, 176);
  EXPECT_EQ(to_hex(ctx.iv, 16), to_hex(m.iv.data(), 16));

  Bytes buffer = m.ciphertext;
  size_t offset = 0;
  const size_t kCallBlocks[] = {1, 3, 2, 1, 5};
  for (size_t blocks : kCallBlocks) {
    const size_t length = 16 * blocks;
    SCOPED_TRACE("call over bytes " + std::to_string(offset) + ".." +
                 std::to_string(offset + length - 1));
    const Bytes before = slice(buffer, offset, length);
    AES_CBC_decrypt_buffer(&ctx, buffer.data() + offset,
                           static_cast<uint32_t>(length));
    EXPECT_EQ(to_hex(ctx.iv, 16), to_hex(slice(before, length - 16, 16)));
    EXPECT_EQ(to_hex(ctx.round_keys, 176), schedule);
    offset += length;
  }
  ASSERT_EQ(offset, buffer.size());
  EXPECT_EQ(to_hex(buffer), to_hex(m.plaintext));
}

// Length 0 changes nothing, neither at the start of a chain nor in its middle.
TEST(AesCbcContext, ZeroLengthChangesNothing) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const Message m = random_message(rng, 4);
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, m.key.data(), m.iv.data());
  Bytes buffer = m.ciphertext;
  const size_t kOffsets[] = {0, 16, 48};
  for (size_t offset : kOffsets) {
    SCOPED_TRACE("at offset " + std::to_string(offset));
    AES_CBC_decrypt_buffer(&ctx, buffer.data(), static_cast<uint32_t>(offset));
    const AES_ctx before = ctx;
    const Bytes buffer_before = buffer;
    AES_CBC_decrypt_buffer(&ctx, buffer.data() + offset, 0);
    EXPECT_EQ(ctx_hex(ctx), ctx_hex(before));
    EXPECT_EQ(to_hex(buffer), to_hex(buffer_before));
    // Restart the chain for the next offset.
    buffer = m.ciphertext;
    AES_init_ctx_iv(&ctx, m.key.data(), m.iv.data());
  }
}

// AES_init_ctx_iv writes the whole record: garbage, a used context or zeros
// before it make no difference.
TEST(AesCbcContext, InitOverwritesWhateverTheRecordHeld) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const Block key = rng.block(), iv = rng.block();
  AES_ctx zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  AES_init_ctx_iv(&zeroed, key.data(), iv.data());

  AES_ctx garbage;
  const Bytes noise = rng.bytes(sizeof garbage);
  std::memcpy(&garbage, noise.data(), sizeof garbage);
  AES_init_ctx_iv(&garbage, key.data(), iv.data());
  EXPECT_EQ(ctx_hex(garbage), ctx_hex(zeroed)) << "record of random bytes";

  AES_ctx ones;
  std::memset(&ones, 0xff, sizeof ones);
  AES_init_ctx_iv(&ones, key.data(), iv.data());
  EXPECT_EQ(ctx_hex(ones), ctx_hex(zeroed)) << "record of 0xff bytes";

  AES_ctx used;
  AES_init_ctx_iv(&used, rng.block().data(), rng.block().data());
  Bytes data = rng.bytes(64);
  AES_CBC_decrypt_buffer(&used, data.data(), 64);
  AES_init_ctx_iv(&used, key.data(), iv.data());
  EXPECT_EQ(ctx_hex(used), ctx_hex(zeroed)) << "record used under another key";
}

// Another vector changes plaintext block 1 by exactly the bits in which the
// vectors differ, and nothing else.
TEST(AesCbcContext, VectorChangesOnlyFirstBlockBitForBit) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const Message m = random_message(rng, 4);
  for (int n = 0; n < 8; ++n) {
    Block other_iv = rng.block();
    if (n == 0) {  // one single bit
      other_iv = m.iv;
      other_iv[5] ^= 0x10;
    }
    SCOPED_TRACE("vector " + to_hex(other_iv.data(), 16));
    Bytes buffer = m.ciphertext;
    decrypt_in_calls(m.key.data(), other_iv.data(), &buffer,
                     call_lengths(Calls::kOne, buffer.size()));
    Bytes want = m.plaintext;
    for (size_t k = 0; k < 16; ++k) {
      want[k] = static_cast<uint8_t>(want[k] ^ m.iv[k] ^ other_iv[k]);
    }
    EXPECT_EQ(to_hex(buffer), to_hex(want));
  }
}

// A bit flipped in ciphertext block j garbles plaintext block j, flips the
// same bit of block j + 1 and leaves every other block as it was.
TEST(AesCbcContext, FlippedCiphertextBitSpreadsToTwoBlocksOnly) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const size_t kBlocks = 5;
  const Message m = random_message(rng, kBlocks);
  for (size_t j = 0; j < kBlocks; ++j) {
    for (int n = 0; n < 4; ++n) {
      const size_t byte = 16 * j + rng.uniform<size_t>(0, 15);
      const uint8_t bit = static_cast<uint8_t>(1u << rng.uniform(0, 7));
      SCOPED_TRACE("block " + std::to_string(j) + ", byte " +
                   std::to_string(byte) + ", bit mask " + std::to_string(bit));
      Bytes buffer = m.ciphertext;
      buffer[byte] ^= bit;
      decrypt_in_calls(m.key.data(), m.iv.data(), &buffer,
                       call_lengths(Calls::kOne, buffer.size()));
      for (size_t b = 0; b < kBlocks; ++b) {
        const Bytes got = slice(buffer, 16 * b, 16);
        Bytes want = slice(m.plaintext, 16 * b, 16);
        if (b == j) {
          EXPECT_NE(to_hex(got), to_hex(want)) << "block " << b << " intact";
          continue;
        }
        if (b == j + 1) want[byte % 16] ^= bit;
        EXPECT_EQ(to_hex(got), to_hex(want)) << "block " << b;
      }
    }
  }
}

// Lengths that are not a multiple of 16 are outside the contract; cipher/aes.h
// promises that only whole blocks are decrypted, the 1 to 15 bytes after them
// are left alone and the chain ends at the last whole block.
TEST(AesCbcContext, TrailingPartialBlockIsLeftUntouched) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const Message m = random_message(rng, 3);
  for (size_t whole = 0; whole <= 2; ++whole) {
    for (size_t tail = 1; tail <= 15; ++tail) {
      const size_t length = 16 * whole + tail;
      SCOPED_TRACE("length " + std::to_string(length));
      Bytes buffer = m.ciphertext;
      AES_ctx ctx;
      AES_init_ctx_iv(&ctx, m.key.data(), m.iv.data());
      AES_CBC_decrypt_buffer(&ctx, buffer.data(),
                             static_cast<uint32_t>(length));
      EXPECT_EQ(to_hex(slice(buffer, 0, 16 * whole)),
                to_hex(slice(m.plaintext, 0, 16 * whole)))
          << "whole blocks";
      EXPECT_EQ(
          to_hex(slice(buffer, 16 * whole, buffer.size() - 16 * whole)),
          to_hex(slice(m.ciphertext, 16 * whole, buffer.size() - 16 * whole)))
          << "bytes from the partial block on";
      const std::string chain =
          whole == 0 ? to_hex(m.iv.data(), 16)
                     : to_hex(slice(m.ciphertext, 16 * (whole - 1), 16));
      EXPECT_EQ(to_hex(ctx.iv, 16), chain) << "chain value";
    }
  }
}

// A wrong key is not an error: every byte of the buffer is still rewritten.
TEST(AesCbcContext, WrongKeyYieldsOtherPlaintextOfTheSameLength) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const Message m = random_message(rng, 4);
  Block wrong = m.key;
  wrong[0] ^= 1;
  Bytes buffer = m.ciphertext;
  decrypt_in_calls(wrong.data(), m.iv.data(), &buffer,
                   call_lengths(Calls::kOne, buffer.size()));
  for (size_t b = 0; b < 4; ++b) {
    EXPECT_NE(to_hex(slice(buffer, 16 * b, 16)),
              to_hex(slice(m.plaintext, 16 * b, 16)))
        << "block " << b;
    EXPECT_NE(to_hex(slice(buffer, 16 * b, 16)),
              to_hex(slice(m.ciphertext, 16 * b, 16)))
        << "block " << b << " not decrypted";
  }
}

}  // namespace
