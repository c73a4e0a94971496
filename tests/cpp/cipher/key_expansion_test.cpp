// KeyExpansion against FIPS-197 Appendix A.1, word by word and through the
// intermediate columns of the standard's table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cipher/aes_internal.h"
#include "support/seeded_rng.h"
#include "support/vector_files.h"

namespace {

const char kFile[] = "fips197_a1_key_expansion.txt";

std::string word_hex(const uint8_t* word) { return to_hex(word, 4); }

TEST(AesKeyExpansion, Fips197A1AllScheduleWords) {
  const VectorFile file(kFile);
  const Bytes key = file.hex("key");
  ASSERT_EQ(key.size(), 16u);
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());

  EXPECT_EQ(to_hex(schedule, 16), to_hex(key)) << "round key 0 is the key";
  for (int i = 0; i < 44; ++i) {
    const std::string name = "w[" + std::to_string(i) + "]";
    EXPECT_EQ(word_hex(schedule + 4 * i), to_hex(file.hex(name)))
        << name << " at " << file.where(name);
  }
}

// Each row with i mod 4 = 0, checked step by step through RotWord, SubWord
// and Rcon themselves, so that a fault shows in the step that made it.
TEST(AesKeyExpansion, Fips197A1IntermediateColumns) {
  const VectorFile file(kFile);
  const Bytes key = file.hex("key");
  ASSERT_EQ(key.size(), 16u);
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());

  int rows = 0;
  for (const VectorEntry& row : file.entries()) {
    if (row.name.rfind("step[", 0) != 0) continue;
    ++rows;
    const int i = std::atoi(row.name.c_str() + 5);
    SCOPED_TRACE(file.file() + ":" + std::to_string(row.line) + " " + row.name);
    ASSERT_TRUE(i >= 4 && i < 44 && i % 4 == 0) << "i = " << i;
    const auto fields = split_fields(row.value);
    const auto column = [&](const char* name) {
      const auto it = fields.find(name);
      if (it == fields.end()) {
        ADD_FAILURE() << "the row has no column " << name;
        return std::string();
      }
      return to_hex(from_hex(it->second));
    };

    uint8_t t[4];
    std::memcpy(t, schedule + 4 * (i - 1), 4);
    EXPECT_EQ(word_hex(t), column("temp")) << "w[i-1]";
    RotWord(t);
    EXPECT_EQ(word_hex(t), column("rotword")) << "after RotWord";
    SubWord(t);
    EXPECT_EQ(word_hex(t), column("subword")) << "after SubWord";
    EXPECT_EQ(to_hex(&Rcon[i / 4 - 1], 1), column("rcon").substr(0, 2))
        << "Rcon[" << i / 4 << "]";
    t[0] = static_cast<uint8_t>(t[0] ^ Rcon[i / 4 - 1]);
    EXPECT_EQ(word_hex(t), column("xor_rcon")) << "after XOR with Rcon";
    EXPECT_EQ(word_hex(schedule + 4 * (i - 4)), column("w_i_minus_nk"))
        << "w[i-4]";
    for (int k = 0; k < 4; ++k) {
      t[k] = static_cast<uint8_t>(t[k] ^ schedule[4 * (i - 4) + k]);
    }
    EXPECT_EQ(word_hex(t), column("w_i")) << "w[i-4] XOR the column";
    EXPECT_EQ(word_hex(schedule + 4 * i), column("w_i")) << "w[i]";
  }
  EXPECT_EQ(rows, 40 / 4) << "rows i = 4, 8, ..., 40 in " << kFile;
}

// Whatever the schedule held before, KeyExpansion writes all 176 bytes, and
// round key 0 is the key itself.
TEST(AesKeyExpansion, RoundKeyZeroIsTheKeyAndEveryByteIsWritten) {
  SeededRng rng;
  SCOPED_TRACE(rng.trace());
  for (int n = 0; n < 64; ++n) {
    const Block key = rng.block();
    uint8_t from_zeros[176] = {};
    uint8_t from_garbage[176];
    for (uint8_t& b : from_garbage) b = rng.byte();
    KeyExpansion(from_zeros, key.data());
    KeyExpansion(from_garbage, key.data());
    SCOPED_TRACE("key " + to_hex(key.data(), 16));
    EXPECT_EQ(to_hex(from_zeros, 16), to_hex(key.data(), 16));
    EXPECT_EQ(to_hex(from_garbage, 176), to_hex(from_zeros, 176));
  }
}

}  // namespace
