// InvCipher against FIPS-197 Appendix C.1, step by step, and against OpenSSL
// encrypting back what it decrypted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cipher/aes_internal.h"
#include "support/seeded_rng.h"
#include "support/vector_files.h"

namespace {

const char kFile[] = "fips197_c1_inverse_cipher.txt";

std::string row_name(int round, const char* column) {
  char name[32];
  std::snprintf(name, sizeof name, "round[%2d].%s", round, column);
  return name;
}

// Runs the steps in InvCipher's order and compares the state with the table
// after each one. Each step starts from the table's value, not from what the
// step before produced, so a fault shows only in the step that made it.
// The table numbers the inverse rounds: round[r] uses round key 10 - r.
TEST(AesInvCipher, Fips197C1EveryIntermediateValue) {
  const VectorFile file(kFile);
  const Bytes key = file.hex("key");
  ASSERT_EQ(key.size(), 16u);
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());

  // The table's own round keys, so that AddRoundKey is tested apart from
  // KeyExpansion.
  uint8_t table_schedule[176];
  for (int round = 0; round <= 10; ++round) {
    const std::string name = row_name(round, "ik_sch");
    const Bytes round_key = file.hex(name);
    ASSERT_EQ(round_key.size(), 16u) << file.where(name);
    std::memcpy(table_schedule + 16 * (10 - round), round_key.data(), 16);
    EXPECT_EQ(to_hex(schedule + 16 * (10 - round), 16), to_hex(round_key))
        << "KeyExpansion, round key " << 10 - round << "; row " << name
        << " at " << file.where(name);
  }

  uint8_t state[16];
  const auto step_gives = [&](const char* step, int round, const char* column) {
    const std::string name = row_name(round, column);
    const Bytes want = file.hex(name);
    ASSERT_EQ(want.size(), 16u) << file.where(name);
    EXPECT_EQ(to_hex(state, 16), to_hex(want))
        << step << "; row " << name << " at " << file.where(name);
    std::memcpy(state, want.data(), 16);
  };

  const Bytes input = file.hex(row_name(0, "iinput"));
  ASSERT_EQ(input.size(), 16u);
  EXPECT_EQ(to_hex(input), to_hex(file.hex("ciphertext")));
  std::memcpy(state, input.data(), 16);
  AddRoundKey(10, state, table_schedule);
  step_gives("AddRoundKey(10)", 1, "istart");
  for (int round = 1; round <= 10; ++round) {
    const uint8_t key_round = static_cast<uint8_t>(10 - round);
    InvShiftRows(state);
    step_gives("InvShiftRows", round, "is_row");
    InvSubBytes(state);
    step_gives("InvSubBytes", round, "is_box");
    AddRoundKey(key_round, state, table_schedule);
    if (round < 10) {
      step_gives("AddRoundKey", round, "ik_add");
      InvMixColumns(state);
      step_gives("InvMixColumns", round + 1, "istart");
    } else {
      step_gives("AddRoundKey(0)", round, "ioutput");
    }
  }
  EXPECT_EQ(to_hex(state, 16), to_hex(file.hex("plaintext")));

  // Every line of the table was compared with something.
  EXPECT_TRUE(file.unused().empty())
      << "unchecked row: " << file.unused().front();
}

TEST(AesInvCipher, Fips197C1WholeBlock) {
  const VectorFile file(kFile);
  const Bytes key = file.hex("key");
  Bytes block = file.hex("ciphertext");
  ASSERT_EQ(key.size(), 16u);
  ASSERT_EQ(block.size(), 16u);
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());
  InvCipher(block.data(), schedule);
  EXPECT_EQ(to_hex(block), to_hex(file.hex("plaintext")));
}

// InvCipher may fuse its steps for speed; it must still equal the named steps
// run in FIPS-197's order, which the table above checks one by one.
TEST(AesInvCipher, EqualsItsStepsInOrder) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  for (int n = 0; n < 256; ++n) {
    const Block key = rng.block(), block = rng.block();
    uint8_t schedule[176];
    KeyExpansion(schedule, key.data());
    uint8_t whole[16], steps[16];
    std::memcpy(whole, block.data(), 16);
    std::memcpy(steps, block.data(), 16);
    InvCipher(whole, schedule);
    AddRoundKey(10, steps, schedule);
    for (uint8_t round = 9; round >= 1; --round) {
      InvShiftRows(steps);
      InvSubBytes(steps);
      AddRoundKey(round, steps, schedule);
      InvMixColumns(steps);
    }
    InvShiftRows(steps);
    InvSubBytes(steps);
    AddRoundKey(0, steps, schedule);
    ASSERT_EQ(to_hex(whole, 16), to_hex(steps, 16))
        << "key " << to_hex(key.data(), 16) << ", block "
        << to_hex(block.data(), 16);
  }
}

// A conforming AES-128 encryption (OpenSSL; CBC over one block with a zero
// vector is the bare cipher) gives back every block InvCipher decrypted, and
// the schedule reads the same after all those calls.
TEST(AesInvCipher, OpenSslEncryptsBackAndScheduleNeverChanges) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  const uint8_t zero_iv[16] = {};
  for (int k = 0; k < 16; ++k) {
    const Block key = rng.block();
    uint8_t schedule[176];
    KeyExpansion(schedule, key.data());
    uint8_t pristine[176];
    std::memcpy(pristine, schedule, sizeof schedule);
    for (int n = 0; n < 64; ++n) {
      const Bytes ciphertext = rng.bytes(16);
      Bytes block = ciphertext;
      InvCipher(block.data(), schedule);
      const Bytes again =
          openssl_cbc_encrypt(key.data(), zero_iv, block, false);
      if (to_hex(again) != to_hex(ciphertext)) {
        ADD_FAILURE() << "key " << to_hex(key.data(), 16) << ": block "
                      << to_hex(ciphertext) << " decrypts to " << to_hex(block)
                      << ", which OpenSSL encrypts to " << to_hex(again);
        return;
      }
    }
    EXPECT_EQ(to_hex(schedule, 176), to_hex(pristine, 176))
        << "schedule written by InvCipher, key " << to_hex(key.data(), 16);
  }
}

}  // namespace
