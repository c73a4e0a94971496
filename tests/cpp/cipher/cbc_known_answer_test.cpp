// AES_CBC_decrypt_buffer against SP 800-38A F.2.2 and the NIST CAVP files,
// each message in one call, block by block and in uneven chunks.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "cbc_calls.h"
#include "cipher/aes.h"
#include "cipher/aes_internal.h"
#include "support/vector_files.h"

namespace {

const char kF22[] = "sp800_38a_f22.txt";

// Decrypts `ciphertext` each way a caller may split it and compares the
// plaintext and the chain value left in the context.
void expect_decrypts(const std::string& name, const Bytes& key, const Bytes& iv,
                     const Bytes& ciphertext, const Bytes& plaintext) {
  ASSERT_EQ(key.size(), 16u) << name;
  ASSERT_EQ(iv.size(), 16u) << name;
  ASSERT_EQ(ciphertext.size(), plaintext.size()) << name;
  ASSERT_EQ(ciphertext.size() % 16, 0u) << name;
  ASSERT_FALSE(ciphertext.empty()) << name;
  for (Calls calls : {Calls::kOne, Calls::kBlockByBlock, Calls::kUneven}) {
    Bytes buffer = ciphertext;
    const AES_ctx ctx = decrypt_in_calls(key.data(), iv.data(), &buffer,
                                         call_lengths(calls, buffer.size()));
    EXPECT_EQ(to_hex(buffer), to_hex(plaintext))
        << name << ", " << calls_name(calls);
    EXPECT_EQ(to_hex(ctx.iv, 16),
              to_hex(slice(ciphertext, ciphertext.size() - 16, 16)))
        << name << ", " << calls_name(calls)
        << ": chain value is not the last ciphertext block";
  }
}

TEST(AesCbcKnownAnswer, Sp800_38aF22OneCallAndThreeCalls) {
  const VectorFile file(kF22);
  const Bytes key = file.hex("KEY"), iv = file.hex("IV");
  const Bytes ciphertext = file.hex("CIPHERTEXT");
  const Bytes plaintext = file.hex("PLAINTEXT");
  ASSERT_EQ(ciphertext.size(), 64u);
  expect_decrypts(kF22, key, iv, ciphertext, plaintext);

  // The calls the standard's example is usually split into.
  Bytes buffer = ciphertext;
  decrypt_in_calls(key.data(), iv.data(), &buffer, {16, 32, 16});
  EXPECT_EQ(to_hex(buffer), to_hex(plaintext)) << "calls of 16, 32, 16 bytes";
}

// Per block: InvCipher of the input block gives the output block, which XOR
// the previous ciphertext block (the IV for block 1) gives the plaintext.
TEST(AesCbcKnownAnswer, Sp800_38aF22EveryBlock) {
  const VectorFile file(kF22);
  const Bytes key = file.hex("KEY");
  const Bytes ciphertext = file.hex("CIPHERTEXT");
  const Bytes plaintext = file.hex("PLAINTEXT");
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());
  Bytes chaining = file.hex("IV");
  for (int n = 1; n <= 4; ++n) {
    const std::string row = "block[" + std::to_string(n) + "].";
    SCOPED_TRACE(kF22 + std::string(" ") + row + "*");
    const size_t offset = 16 * static_cast<size_t>(n - 1);
    const Bytes input = file.hex(row + "input_block");
    ASSERT_EQ(input.size(), 16u);
    EXPECT_EQ(to_hex(input), to_hex(file.hex(row + "ciphertext")));
    EXPECT_EQ(to_hex(input), to_hex(slice(ciphertext, offset, 16)));

    Bytes block = input;
    InvCipher(block.data(), schedule);
    EXPECT_EQ(to_hex(block), to_hex(file.hex(row + "output_block")))
        << "InvCipher";
    xor_chaining_value(block.data(), chaining.data());
    EXPECT_EQ(to_hex(block), to_hex(file.hex(row + "plaintext")))
        << "xor_chaining_value";
    EXPECT_EQ(to_hex(block), to_hex(slice(plaintext, offset, 16)));
    chaining = input;
  }
  EXPECT_TRUE(file.unused().empty())
      << "unchecked line: " << file.unused().front();
}

struct CavpFile {
  const char* name;
  size_t encrypt_cases, decrypt_cases;  // as SOURCES.md counts them
};

void PrintTo(const CavpFile& file, std::ostream* out) { *out << file.name; }

class AesCbcCavp : public testing::TestWithParam<CavpFile> {};

// "CBCMMT128" for CBCMMT128.rsp.
std::string cavp_test_name(const testing::TestParamInfo<CavpFile>& file) {
  const std::string name = file.param.name;
  return name.substr(0, name.find('.'));
}

// DECRYPT cases as they stand; ENCRYPT cases read backwards.
TEST_P(AesCbcCavp, EveryCaseEveryWay) {
  const CavpFile& param = GetParam();
  size_t encrypt = 0, decrypt = 0;
  for (const RspCase& test : read_rsp(param.name)) {
    if (test.section == "ENCRYPT") {
      ++encrypt;
    } else if (test.section == "DECRYPT") {
      ++decrypt;
    } else {
      ADD_FAILURE() << test.name() << ": unknown section";
      continue;
    }
    expect_decrypts(test.name(), test.hex("KEY"), test.hex("IV"),
                    test.hex("CIPHERTEXT"), test.hex("PLAINTEXT"));
  }
  EXPECT_EQ(encrypt, param.encrypt_cases) << param.name << " [ENCRYPT] cases";
  EXPECT_EQ(decrypt, param.decrypt_cases) << param.name << " [DECRYPT] cases";
}

INSTANTIATE_TEST_SUITE_P(NistFiles, AesCbcCavp,
                         testing::Values(CavpFile{"CBCGFSbox128.rsp", 7, 7},
                                         CavpFile{"CBCKeySbox128.rsp", 21, 21},
                                         CavpFile{"CBCMMT128.rsp", 10, 10},
                                         CavpFile{"CBCVarKey128.rsp", 128, 128},
                                         CavpFile{"CBCVarTxt128.rsp", 128,
                                                  128}),
                         cavp_test_name);

}  // namespace
