// After a decryption returns, nothing of the key may be left in stack memory
// it used: no 4-byte word of the key schedule or of the cipher's state
// between its steps, at any offset. Each decryption runs on a stack this test
// owns (makecontext), filled with a pattern first, and the whole stack is
// searched afterwards: the core and the JNI entry point, on a blob that opens
// and on one whose padding byte is wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cipher/aes.h"
#include "glue_test_support.h"
#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/fake_jni.h"
#include "support/secret_words.h"
#include "support/test_stack.h"

namespace {

alignas(64) uint8_t g_stack[256 * 1024];

// Runs body(argument) on g_stack, filled with the pattern first; returns how
// many bytes of it the run touched, counted from the top.
size_t run_on_test_stack(void (*body)(void*), void* argument) {
  std::memset(g_stack, kStackPattern, sizeof g_stack);
  run_on_stack(g_stack, sizeof g_stack, body, argument);
  return touched(g_stack, sizeof g_stack);
}

// Every place in g_stack where a word of the key schedule, or of the state
// between the cipher's steps, lies at any offset. Words that the blob, the
// plaintext or the fill pattern hold are no finding.
std::vector<std::string> residue(const Bytes& blob, const Bytes& plaintext) {
  SecretWords secrets(configured_key(), Bytes(blob.begin() + 16, blob.end()));
  secrets.forget(0);
  secrets.forget(0x01010101u * kStackPattern);
  secrets.forget_words_of(blob);
  secrets.forget_words_of(plaintext);
  return secrets.find(g_stack, sizeof g_stack, 1, g_stack + sizeof g_stack);
}

struct Call {
  Bytes blob;
  bool opened;
};

void decrypt_in_core(void* argument) {
  auto* call = static_cast<Call*>(argument);
  secret_bytes password;
  call->opened = decrypt_password_blob(
      call->blob.data(), static_cast<uint32_t>(call->blob.size()), password);
}

void decrypt_through_jni(void* argument) {
  auto* call = static_cast<Call*>(argument);
  FakeJniEnv fake;
  jbyteArray blob = fake.set_blob(call->blob);
  call->opened =
      Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
          fake.env(), nullptr, blob) != nullptr;
}

// Leaves a copy of the key in its frame, as a spill or a missing wipe would.
__attribute__((noinline)) void leave_key_behind(void*) {
  const Block key = configured_key();
  uint8_t copy[16];
  std::memcpy(copy, key.data(), sizeof copy);
  __asm__ __volatile__("" : : "r"(copy) : "memory");
}

// A decryption under a key of the test's choosing (the sealing tool's entry,
// over the same cipher and wipe). Everything but the key's bytes is the same
// from call to call, pointers included: the key always lies in g_key, the
// ciphertext in g_work.
uint8_t g_key[16];
uint8_t g_iv[16];
alignas(16) uint8_t g_work[4 * 16];

void decrypt_under_g_key(void*) {
  decrypt_blob_ciphertext(g_key, g_iv, g_work, sizeof g_work);
}

// Copies the key into its frame, as a spill or a missing wipe would, one byte
// in every 8 (a lone spilled byte is what a search for words misses).
__attribute__((noinline)) void leave_key_bytes_behind(void*) {
  uint8_t slots[16 * 8];
  std::memset(slots, 0, sizeof slots);
  for (size_t i = 0; i < 16; ++i) slots[8 * i] = g_key[i];
  __asm__ __volatile__("" : : "r"(slots) : "memory");
}

// The two keys, the ciphertext, and the stack as the first call left it.
Block g_keys[2];
uint8_t g_ciphertext[sizeof g_work];
uint8_t g_first_stack[sizeof g_stack];

__attribute__((noinline)) void load_key(size_t which) {
  std::memcpy(g_key, g_keys[which].data(), sizeof g_key);
  std::memcpy(g_work, g_ciphertext, sizeof g_work);
}

// Runs `body` under each key, both from the same place and with only memory
// telling the two calls apart. Returns the stack the second call used.
__attribute__((noinline)) size_t run_under_both_keys(void (*body)(void*)) {
  load_key(0);
  run_on_test_stack(body, nullptr);
  std::memcpy(g_first_stack, g_stack, sizeof g_stack);
  load_key(1);
  const size_t used = run_on_test_stack(body, nullptr);
  std::memset(g_key, 0, sizeof g_key);
  return used;
}

// Where the two calls left different stacks: bytes there depend on the key.
std::vector<std::string> key_dependent_bytes() {
  std::vector<std::string> found;
  for (size_t i = 0; i < sizeof g_stack;) {
    if (g_first_stack[i] == g_stack[i]) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < sizeof g_stack && g_first_stack[end] != g_stack[end]) ++end;
    found.push_back(std::to_string(end - i) + " byte(s) at " +
                    std::to_string(sizeof g_stack - i) +
                    " bytes below the top");
    i = end;
  }
  return found;
}

class StackResidue : public testing::Test {
 protected:
  void SetUp() override {
#ifdef ROOTCHECKER_ASAN
    GTEST_SKIP() << "AddressSanitizer keeps locals on a fake stack of its own "
                    "and would need fiber-switch annotations: the stack is "
                    "searched in the plain builds";
#endif
  }
};

TEST_F(StackResidue, SearchFindsAKeyLeftBehind) {
  const size_t used = run_on_test_stack(leave_key_behind, nullptr);
  EXPECT_GT(used, 0u);
  const std::vector<std::string> found = residue(Bytes(32, 0), Bytes());
  EXPECT_FALSE(found.empty()) << "the search missed a key left on the stack";
}

TEST_F(StackResidue, NoKeyMaterialAfterDecryption) {
  std::mt19937 rng(test_seed());
  SCOPED_TRACE(seed_trace(test_seed()));
  const Bytes opening = plaintext_ending_in(rng, 3, 5);
  const Bytes opens = sealed_blob(rng, opening);
  const Bytes rejected = plaintext_ending_in(rng, 3, 0);
  const Bytes bad_padding = sealed_blob(rng, rejected);
  struct Case {
    const char* name;
    void (*body)(void*);
    const Bytes& blob;
    const Bytes& plaintext;
    bool opens;
  };
  const Case cases[] = {
      {"core, blob opens", decrypt_in_core, opens, opening, true},
      {"core, wrong padding byte", decrypt_in_core, bad_padding, rejected,
       false},
      {"JNI, blob opens", decrypt_through_jni, opens, opening, true},
      {"JNI, wrong padding byte", decrypt_through_jni, bad_padding, rejected,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call{c.blob, !c.opens};
    const size_t used = run_on_test_stack(c.body, &call);
    EXPECT_EQ(call.opened, c.opens);
    // The decryption ran on the test's stack, or the search means nothing:
    // its cipher context alone takes this much.
    EXPECT_GT(used, sizeof(AES_ctx));
    const std::vector<std::string> found = residue(c.blob, c.plaintext);
    EXPECT_TRUE(found.empty()) << testing::PrintToString(found) << " (" << used
                               << " bytes of stack used)";
  }
}

// Two random keys, and a ciphertext and IV for both.
void choose_keys_and_ciphertext() {
  std::mt19937 rng(test_seed());
  for (Block& key : g_keys) {
    const Bytes bytes = random_bytes(rng, key.size());
    std::copy(bytes.begin(), bytes.end(), key.begin());
  }
  const Bytes iv = random_bytes(rng, sizeof g_iv);
  std::memcpy(g_iv, iv.data(), sizeof g_iv);
  const Bytes ciphertext = random_bytes(rng, sizeof g_ciphertext);
  std::memcpy(g_ciphertext, ciphertext.data(), sizeof g_ciphertext);
}

TEST_F(StackResidue, KeyComparisonFindsKeyBytesLeftBehind) {
  choose_keys_and_ciphertext();
  run_under_both_keys(leave_key_bytes_behind);
  EXPECT_FALSE(key_dependent_bytes().empty())
      << "the comparison missed key bytes left behind";
}

// What the word search cannot see: lone bytes. g++ -O3 on x86-64 spills four
// bytes of the last round's state, one per 8-byte slot, in the red zone below
// InvCipher; with the plaintext they give four bytes of the key. Two calls
// that differ only in the key must leave the same stack, byte for byte.
TEST_F(StackResidue, NothingOnTheStackDependsOnTheKey) {
  SCOPED_TRACE(seed_trace(test_seed()));
  choose_keys_and_ciphertext();
  const size_t used = run_under_both_keys(decrypt_under_g_key);
  // The cipher ran, on the test's stack, or the comparison means nothing.
  EXPECT_NE(0, std::memcmp(g_work, g_ciphertext, sizeof g_work));
  EXPECT_GT(used, sizeof(AES_ctx));
  const std::vector<std::string> found = key_dependent_bytes();
  EXPECT_TRUE(found.empty()) << testing::PrintToString(found) << " (" << used
                             << " bytes of stack used)";
}

}  // namespace
