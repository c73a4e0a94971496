// A signal that interrupts the cipher makes the kernel save every register,
// round keys and state included, in a signal frame: 1-4 KB below the stack
// pointer, past the stack wipe, or on the thread's alternate signal stack
// (SA_ONSTACK), where no stack wipe reaches. Here a timer sends SIGALRM every
// 20 us while decryptions run, one after another, on a stack this test owns;
// after every call that stack and the alternate signal stack are searched for
// each 4-byte word of the key schedule and of the cipher's state.
//
// It relies on the kernel delivering the signals to this very thread (hence
// the suite's name): under qemu-user the emulator, not the kernel, writes
// the frames.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "glue_test_support.h"
#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/fake_jni.h"
#include "support/secret_words.h"
#include "support/test_stack.h"

namespace {

alignas(64) uint8_t g_stack[256 * 1024];
alignas(64) uint8_t g_alt_stack[64 * 1024];

// Signals that arrived while a decryption was under way.
volatile sig_atomic_t g_in_call = 0;
volatile sig_atomic_t g_signals_in_call = 0;

void count_signal(int) {
  if (g_in_call) g_signals_in_call = g_signals_in_call + 1;
}

// SIGALRM reaches the thread only during a call: the test's own code, the
// search among it, holds words of the blob and the stacks in its registers.
void hold_alarm(int how) {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(how, &alarm, nullptr);
}

struct Call {
  const Bytes* blob;
  bool opened;
};

void decrypt_in_core(void* argument) {
  auto* call = static_cast<Call*>(argument);
  secret_bytes password;
  g_in_call = 1;
  hold_alarm(SIG_UNBLOCK);
  call->opened = decrypt_password_blob(
      call->blob->data(), static_cast<uint32_t>(call->blob->size()), password);
  hold_alarm(SIG_BLOCK);
  g_in_call = 0;
}

void decrypt_through_jni(void* argument) {
  auto* call = static_cast<Call*>(argument);
  FakeJniEnv fake;
  jbyteArray blob = fake.set_blob(*call->blob);
  g_in_call = 1;
  hold_alarm(SIG_UNBLOCK);
  call->opened =
      Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
          fake.env(), nullptr, blob) != nullptr;
  hold_alarm(SIG_BLOCK);
  g_in_call = 0;
}

// SIGALRM every 20 us to a handler that counts it, on the alternate signal
// stack or not, for as long as the object lives (held off but during calls);
// then the signal's old disposition and the old alternate stack come back.
class SignalStorm {
 public:
  explicit SignalStorm(bool on_alternate_stack) {
    hold_alarm(SIG_BLOCK);
    stack_t alt{};
    alt.ss_sp = g_alt_stack;
    alt.ss_size = sizeof g_alt_stack;
    EXPECT_EQ(sigaltstack(&alt, &old_alt_), 0);
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | (on_alternate_stack ? SA_ONSTACK : 0);
    EXPECT_EQ(sigaction(SIGALRM, &action, &old_action_), 0);
    itimerval every{{0, 20}, {0, 20}};
    EXPECT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
  }
  ~SignalStorm() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    // Ignoring the signal drops one still pending.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGALRM, &ignore, nullptr);
    sigaction(SIGALRM, &old_action_, nullptr);
    sigaltstack(&old_alt_, nullptr);
    hold_alarm(SIG_UNBLOCK);
  }
  SignalStorm(const SignalStorm&) = delete;
  SignalStorm& operator=(const SignalStorm&) = delete;

 private:
  stack_t old_alt_{};
  struct sigaction old_action_ {};
};

// Sealed in a child process: OpenSSL leaves round keys of the key it
// expanded in vector registers (AArch64's v16-v31 among them), and the first
// signal frame of the first call would save them (seen on an arm64 kernel).
Bytes sealed_elsewhere(std::mt19937& rng, const Bytes& plaintext) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const Bytes blob = sealed_blob(rng, plaintext);
    const bool written = write(fds[1], blob.data(), blob.size()) ==
                         static_cast<ssize_t>(blob.size());
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  Bytes blob;
  uint8_t buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
    blob.insert(blob.end(), buffer, buffer + n);
  }
  close(fds[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child that seals the blob failed";
  }
  return blob;
}

class SignalStormKernelTest : public testing::Test {
 protected:
  void SetUp() override {
#ifdef ROOTCHECKER_ASAN
    GTEST_SKIP() << "AddressSanitizer keeps locals on a fake stack of its own "
                    "and would need fiber-switch annotations: the stacks are "
                    "searched in the plain builds";
#endif
  }
};

TEST_F(SignalStormKernelTest, NoKeyMaterialWhereSignalFramesGo) {
  std::mt19937 rng(test_seed());
  SCOPED_TRACE(seed_trace(test_seed()));
  // 16 blocks: most of a call is the cipher, so most signals that arrive
  // during a call arrive mid-cipher.
  const Bytes plaintext = plaintext_ending_in(rng, 16, 5);
  const Bytes blob = sealed_elsewhere(rng, plaintext);
  // Computed elsewhere: the words, computed here, would sit in this
  // process's registers when the first signals arrive.
  SecretWords secrets =
      SecretWords::computed_elsewhere(Bytes(blob.begin() + 16, blob.end()));
  ASSERT_GT(secrets.size(), 44u);
  secrets.forget(0);
  secrets.forget(0x01010101u * kStackPattern);
  secrets.forget_words_of(blob);
  secrets.forget_words_of(plaintext);

  struct Case {
    const char* name;
    void (*body)(void*);
    bool on_alternate_stack;
  };
  const Case cases[] = {
      {"core, frames on the thread's stack", decrypt_in_core, false},
      {"core, frames on the alternate signal stack", decrypt_in_core, true},
      {"JNI, frames on the thread's stack", decrypt_through_jni, false},
      {"JNI, frames on the alternate signal stack", decrypt_through_jni, true},
  };
  // Calls stop once this many signals arrived during them, or after
  // kMaxCalls; at least kFewestSignals must have, or nothing was tried.
  constexpr int kMaxCalls = 3000;
  constexpr int kEnoughSignals = 600;
  constexpr int kFewestSignals = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::memset(g_stack, kStackPattern, sizeof g_stack);
    std::memset(g_alt_stack, kStackPattern, sizeof g_alt_stack);
    std::vector<std::string> found;
    int calls = 0;
    int opened = 0;
    g_signals_in_call = 0;
    {
      SignalStorm storm(c.on_alternate_stack);
      while (calls < kMaxCalls && g_signals_in_call < kEnoughSignals &&
             found.empty()) {
        Call call{&blob, false};
        run_on_stack(g_stack, sizeof g_stack, c.body, &call);
        ++calls;
        opened += call.opened ? 1 : 0;
        // Aligned words only: registers are saved aligned, and the many
        // searches would otherwise meet chance matches.
        for (auto [area, size, what] :
             {std::make_tuple(g_stack, sizeof g_stack, " on the stack"),
              std::make_tuple(g_alt_stack, sizeof g_alt_stack,
                              " on the alternate signal stack")}) {
          const size_t used = touched(area, size);
          for (const std::string& hit :
               secrets.find(area + size - used, used, 4, area + size)) {
            found.push_back(hit + what);
          }
          std::memset(area + size - used, kStackPattern, used);
        }
      }
    }
    const int signals = g_signals_in_call;
    EXPECT_EQ(opened, calls);
    EXPECT_GE(signals, kFewestSignals)
        << "too few signals arrived during the " << calls << " calls";
    EXPECT_TRUE(found.empty()) << "after call " << calls << " (" << signals
                               << " signals during the calls so far): "
                               << testing::PrintToString(found);
  }
}

}  // namespace
