// Holding off asynchronous signals while key material is in registers.
//
// A signal that interrupts the cipher makes the kernel save every register,
// round keys included, into a frame below the stack pointer (1-4 KB deep,
// past any fixed stack wipe) or on the thread's alternate signal stack, where
// no stack wipe reaches. Blocked, the signal waits until the mask is
// restored, when the registers and the stack are clean again.
//
// The mask is set with the raw rt_sigprocmask system call and a 64-bit set:
// bionic's pthread_sigmask on 32-bit ABIs takes a 32-bit sigset_t below API
// 28 and could not block the real-time signals there.
#ifndef ROOTCHECKER_NATIVE_SIGNAL_MASK_H
#define ROOTCHECKER_NATIVE_SIGNAL_MASK_H

#include <signal.h>
#include <stdint.h>
#include <unistd.h>

// Elsewhere than Linux (a host build of the tools on macOS, say) POSIX's
// pthread_sigmask; ROOTCHECKER_POSIX_ONLY, for tests only, takes that branch
// on Linux too.
#if defined(__linux__) && !defined(ROOTCHECKER_POSIX_ONLY)
#define ROOTCHECKER_RAW_SIGPROCMASK 1
#include <sys/syscall.h>
#else
#define ROOTCHECKER_RAW_SIGPROCMASK 0
#endif

// The kernel's signal set: 64 signals on every ABI the library builds for.
using kernel_sigset = uint64_t;

constexpr kernel_sigset signal_bit(int signal) {
  return kernel_sigset{1} << (signal - 1);
}

// Every signal but the synchronous ones: a fault in the call must still
// reach the app's handlers (blocked, the kernel would kill the process
// instead). SIGKILL and SIGSTOP the kernel never blocks.
constexpr kernel_sigset kAsynchronousSignals =
    ~(signal_bit(SIGSEGV) | signal_bit(SIGBUS) | signal_bit(SIGILL) |
      signal_bit(SIGFPE) | signal_bit(SIGTRAP) | signal_bit(SIGABRT) |
      signal_bit(SIGSYS));

// Adds the asynchronous signals to the thread's mask; returns the mask as it
// was, for restore_signal_mask.
#if ROOTCHECKER_RAW_SIGPROCMASK
inline kernel_sigset block_asynchronous_signals() {
  kernel_sigset caller_mask = 0;
#ifndef ROOTCHECKER_TEST_WITHOUT_SIGNAL_MASK  // only for showing the fault
  const kernel_sigset block = kAsynchronousSignals;
  syscall(__NR_rt_sigprocmask, SIG_BLOCK, &block, &caller_mask,
          sizeof caller_mask);
#endif
  return caller_mask;
}

// Sets the thread's mask back; a signal that came meanwhile arrives now.
inline void restore_signal_mask(kernel_sigset caller_mask) {
#ifndef ROOTCHECKER_TEST_WITHOUT_SIGNAL_MASK
  syscall(__NR_rt_sigprocmask, SIG_SETMASK, &caller_mask, nullptr,
          sizeof caller_mask);
#else
  (void)caller_mask;
#endif
}
#else
// The same with sigset_t, converted signal by signal (its layout is the C
// library's own).
inline sigset_t to_sigset(kernel_sigset bits) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal = 1; signal <= 64 && signal < NSIG; ++signal) {
    if ((bits & signal_bit(signal)) != 0) sigaddset(&set, signal);
  }
  return set;
}

inline kernel_sigset block_asynchronous_signals() {
  kernel_sigset caller_mask = 0;
#ifndef ROOTCHECKER_TEST_WITHOUT_SIGNAL_MASK
  const sigset_t block = to_sigset(kAsynchronousSignals);
  sigset_t old;
  sigemptyset(&old);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  for (int signal = 1; signal <= 64 && signal < NSIG; ++signal) {
    if (sigismember(&old, signal) == 1) caller_mask |= signal_bit(signal);
  }
#endif
  return caller_mask;
}

inline void restore_signal_mask(kernel_sigset caller_mask) {
#ifndef ROOTCHECKER_TEST_WITHOUT_SIGNAL_MASK
  const sigset_t set = to_sigset(caller_mask);
  pthread_sigmask(SIG_SETMASK, &set, nullptr);
#else
  (void)caller_mask;
#endif
}
#endif

#endif  // ROOTCHECKER_NATIVE_SIGNAL_MASK_H
