// Right after a decryption returns, no vector register may still hold a word
// of the key schedule or of the cipher's state between its steps: the next
// signal frame or context switch that saves the registers would put them in
// memory. The registers are read at once, by a function that touches nothing
// else, and searched for every such word at every byte offset.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "cipher/aes_internal.h"
#include "native/password_decrypter.h"
#include "support/test_support.h"

// Under memcheck a register that nothing has written reads as undefined.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_DEFINED(p, n) 0
#endif

namespace {

// Every vector register that the build can use, stored as it is; returns the
// number of bytes. Nothing before the asm uses a vector register.
__attribute__((noinline)) size_t read_vector_registers(uint8_t* out) {
#if defined(__x86_64__)
  __asm__ __volatile__(
      "movdqu %%xmm0, 0(%0)\n\tmovdqu %%xmm1, 16(%0)\n\t"
      "movdqu %%xmm2, 32(%0)\n\tmovdqu %%xmm3, 48(%0)\n\t"
      "movdqu %%xmm4, 64(%0)\n\tmovdqu %%xmm5, 80(%0)\n\t"
      "movdqu %%xmm6, 96(%0)\n\tmovdqu %%xmm7, 112(%0)\n\t"
      "movdqu %%xmm8, 128(%0)\n\tmovdqu %%xmm9, 144(%0)\n\t"
      "movdqu %%xmm10, 160(%0)\n\tmovdqu %%xmm11, 176(%0)\n\t"
      "movdqu %%xmm12, 192(%0)\n\tmovdqu %%xmm13, 208(%0)\n\t"
      "movdqu %%xmm14, 224(%0)\n\tmovdqu %%xmm15, 240(%0)" ::"r"(out)
      : "memory");
  return 256;
#elif defined(__i386__) && defined(__SSE2__)
  __asm__ __volatile__(
      "movdqu %%xmm0, 0(%0)\n\tmovdqu %%xmm1, 16(%0)\n\t"
      "movdqu %%xmm2, 32(%0)\n\tmovdqu %%xmm3, 48(%0)\n\t"
      "movdqu %%xmm4, 64(%0)\n\tmovdqu %%xmm5, 80(%0)\n\t"
      "movdqu %%xmm6, 96(%0)\n\tmovdqu %%xmm7, 112(%0)" ::"r"(out)
      : "memory");
  return 128;
#elif defined(__aarch64__)
  uint8_t* p = out;
  __asm__ __volatile__(
      "st1 {v0.16b, v1.16b, v2.16b, v3.16b}, [%0], #64\n\t"
      "st1 {v4.16b, v5.16b, v6.16b, v7.16b}, [%0], #64\n\t"
      "st1 {v8.16b, v9.16b, v10.16b, v11.16b}, [%0], #64\n\t"
      "st1 {v12.16b, v13.16b, v14.16b, v15.16b}, [%0], #64\n\t"
      "st1 {v16.16b, v17.16b, v18.16b, v19.16b}, [%0], #64\n\t"
      "st1 {v20.16b, v21.16b, v22.16b, v23.16b}, [%0], #64\n\t"
      "st1 {v24.16b, v25.16b, v26.16b, v27.16b}, [%0], #64\n\t"
      "st1 {v28.16b, v29.16b, v30.16b, v31.16b}, [%0], #64"
      : "+r"(p)
      :
      : "memory");
  return 512;
#elif defined(__arm__) && defined(__ARM_NEON)
  __asm__ __volatile__(
      "vstmia %0, {d0-d15}\n\tadd %0, %0, #128\n\tvstmia %0, {d16-d31}"
      :
      : "r"(out)
      : "memory");
  return 256;
#elif defined(__arm__) && defined(__ARM_FP)
  __asm__ __volatile__("vstmia %0, {d0-d15}" : : "r"(out) : "memory");
  return 128;
#else
  (void)out;
  return 0;
#endif
}

uint32_t word_at(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

void add_words(std::vector<uint32_t>& to, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) to.push_back(word_at(bytes + i));
}

// The words the decryption of `ciphertext` works through: the key schedule
// and the state after each step of each block's inverse cipher, the last
// block's too, but not a block's output (the password's bytes, XORed with
// the previous ciphertext block, both of which the caller has anyway).
struct Secret {
  uint32_t word;
  std::string what;
};

void add_words(std::vector<Secret>& to, const uint8_t* bytes, size_t n,
               const std::string& what) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    to.push_back(
        {word_at(bytes + i), what + ", word " + std::to_string(i / 4)});
  }
}

std::vector<Secret> secret_words(const Block& key, const Bytes& ciphertext) {
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());
  std::vector<Secret> words;
  add_words(words, schedule, sizeof schedule, "key schedule");
  for (size_t b = 0; b + 16 <= ciphertext.size(); b += 16) {
    const std::string block =
        "block " + std::to_string(b / 16) + ", state after ";
    uint8_t state[16];
    std::memcpy(state, ciphertext.data() + b, 16);
    AddRoundKey(10, state, schedule);
    add_words(words, state, 16, block + "AddRoundKey(10)");
    for (int round = 9; round >= 0; --round) {
      const std::string r = "(" + std::to_string(round) + ")";
      InvShiftRows(state);
      add_words(words, state, 16, block + "InvShiftRows" + r);
      InvSubBytes(state);
      add_words(words, state, 16, block + "InvSubBytes" + r);
      if (round == 0) break;
      AddRoundKey(static_cast<uint8_t>(round), state, schedule);
      add_words(words, state, 16, block + "AddRoundKey" + r);
      InvMixColumns(state);
      add_words(words, state, 16, block + "InvMixColumns" + r);
    }
  }
  return words;
}

struct Case {
  const char* name;
  size_t password_length;  // PKCS#7-padded to whole blocks
  bool break_padding;  // a final byte of 0x00: rejected, decrypted all the same
  bool whole_blob;  // decrypt_password_blob, or decrypt_blob_ciphertext alone
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class VectorRegisterTest : public ::testing::TestWithParam<Case> {};

TEST_P(VectorRegisterTest, HoldNoKeyScheduleOrCipherState) {
  const Case& c = GetParam();
  const Block key = configured_key();
  Block iv;
  for (size_t i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0x30 + 7 * i);
  Bytes password(c.password_length);
  for (size_t i = 0; i < password.size(); ++i)
    password[i] = static_cast<uint8_t>('a' + i % 26);
  Bytes plaintext = password;
  if (c.break_padding) plaintext.resize((password.size() / 16 + 1) * 16, 0);
  const Bytes blob =
      seal_blob(key.data(), iv.data(), plaintext, !c.break_padding);
  const Bytes ciphertext(blob.begin() + 16, blob.end());

  uint8_t registers[512];
  size_t n = 0;
  uint8_t* opened = nullptr;
  Bytes work = ciphertext;
  if (c.whole_blob) {
    const int32_t length = decrypt_password_blob(
        blob.data(), static_cast<uint32_t>(blob.size()), &opened);
    n = read_vector_registers(registers);
    ASSERT_EQ(length, c.break_padding ? kPasswordRejected
                                      : static_cast<int32_t>(password.size()));
  } else {
    decrypt_blob_ciphertext(key.data(), iv.data(), work.data(),
                            static_cast<uint32_t>(work.size()));
    n = read_vector_registers(registers);
  }
  if (opened != nullptr)
    free_working_buffer(opened, static_cast<uint32_t>(ciphertext.size()));
  if (n == 0) GTEST_SKIP() << "no vector registers on this build";
  (void)VALGRIND_MAKE_MEM_DEFINED(registers, n);

  // Words anyone holding the blob and the password has are no finding; nor
  // is zero.
  std::vector<uint32_t> known{0};
  add_words(known, blob.data(), blob.size());
  add_words(known, plaintext.data(), plaintext.size());
  std::string found;
  const std::vector<Secret> secrets = secret_words(key, ciphertext);
  for (size_t offset = 0; offset + 4 <= n; ++offset) {
    const uint32_t w = word_at(registers + offset);
    bool is_known = false;
    for (uint32_t k : known) is_known = is_known || k == w;
    if (is_known) continue;
    for (const Secret& secret : secrets) {
      if (secret.word != w) continue;
      found += "\n  register bytes " + std::to_string(offset) + ".." +
               std::to_string(offset + 3) + ": " + secret.what;
      break;
    }
  }
  EXPECT_TRUE(found.empty())
      << "left in the vector registers (" << n << " bytes read):" << found;
}

const Case kCases[] = {
    {"one_block", 5, false, true},
    {"four_blocks", 60, false, true},
    {"bad_padding", 40, true, true},
    {"ciphertext_only", 44, false, false},
};

std::string case_name(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(AfterDecryption, VectorRegisterTest,
                         ::testing::ValuesIn(kCases), case_name);

}  // namespace
