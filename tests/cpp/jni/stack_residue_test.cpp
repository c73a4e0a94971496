// After a decryption returns, nothing of the key may be left in stack memory
// it used: no 4-byte word of the key schedule or of the cipher's state
// between its steps, at any offset. Each decryption runs on a stack this test
// owns (makecontext), filled with a pattern first, and the whole stack is
// searched afterwards: the core and the JNI entry point, on a blob that opens
// and on one whose padding byte is wrong.
#include <gtest/gtest.h>
#include <ucontext.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cipher/aes.h"
#include "glue_test_support.h"
#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/fake_jni.h"
#include "support/secret_words.h"

// Under memcheck the stack is registered as one, and made readable again
// once the run has left it (memcheck marks what lies below the stack pointer
// as unaddressable).
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_STACK_REGISTER(start, end) 0u
#define VALGRIND_STACK_DEREGISTER(id) (void)(id)
#define VALGRIND_MAKE_MEM_DEFINED(p, n) 0
#endif

#if defined(__SANITIZE_ADDRESS__)
#define ROOTCHECKER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROOTCHECKER_ASAN 1
#endif
#endif

namespace {

constexpr uint8_t kPattern = 0xa5;
alignas(64) uint8_t g_stack[256 * 1024];
ucontext_t g_caller;
void (*g_body)(void*);
void* g_argument;

void trampoline() { g_body(g_argument); }

// Runs body(argument) on g_stack, filled with kPattern first; returns how
// many bytes of it the run touched, counted from the top.
size_t run_on_test_stack(void (*body)(void*), void* argument) {
  std::memset(g_stack, kPattern, sizeof g_stack);
  g_body = body;
  g_argument = argument;
  ucontext_t fiber;
  if (getcontext(&fiber) != 0) ADD_FAILURE() << "getcontext";
  fiber.uc_stack.ss_sp = g_stack;
  fiber.uc_stack.ss_size = sizeof g_stack;
  fiber.uc_link = &g_caller;
  makecontext(&fiber, trampoline, 0);
  const unsigned stack_id =
      VALGRIND_STACK_REGISTER(g_stack, g_stack + sizeof g_stack);
  if (swapcontext(&g_caller, &fiber) != 0) ADD_FAILURE() << "swapcontext";
  VALGRIND_STACK_DEREGISTER(stack_id);
  (void)VALGRIND_MAKE_MEM_DEFINED(g_stack, sizeof g_stack);
  const uint8_t* first = std::find_if(g_stack, g_stack + sizeof g_stack,
                                      [](uint8_t b) { return b != kPattern; });
  return static_cast<size_t>(g_stack + sizeof g_stack - first);
}

// Every place in g_stack where a word of the key schedule, or of the state
// between the cipher's steps, lies at any offset. Words that the blob, the
// plaintext or the fill pattern hold are no finding.
std::vector<std::string> residue(const Bytes& blob, const Bytes& plaintext) {
  SecretWords secrets(configured_key(), Bytes(blob.begin() + 16, blob.end()));
  secrets.forget(0);
  secrets.forget(0x01010101u * kPattern);
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

}  // namespace
