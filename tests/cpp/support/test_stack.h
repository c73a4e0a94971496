// A stack of the test's own (makecontext), filled with a pattern, on which a
// decryption runs and which the test then searches for what it left behind.
#ifndef ROOTCHECKER_TESTS_SUPPORT_TEST_STACK_H
#define ROOTCHECKER_TESTS_SUPPORT_TEST_STACK_H

#include <stddef.h>
#include <stdint.h>

// AddressSanitizer keeps locals on a fake stack of its own: such a run
// leaves nothing on the test's stack to search.
#if defined(__SANITIZE_ADDRESS__)
#define ROOTCHECKER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROOTCHECKER_ASAN 1
#endif
#endif

constexpr uint8_t kStackPattern = 0xa5;

// Runs body(argument) on the `size` bytes at `stack`, always from the same
// registers (taken once, zeroed first): two runs then differ in nothing the
// test's own code happened to hold in a register. Under memcheck the stack
// is registered as one for the run.
void run_on_stack(uint8_t* stack, size_t size, void (*body)(void*),
                  void* argument);

// How many bytes of `area`, counted from its top (stacks grow down), are no
// longer kStackPattern. Makes the area readable for memcheck first, which
// marks what lay below a stack pointer as unaddressable.
size_t touched(const uint8_t* area, size_t size);

#endif  // ROOTCHECKER_TESTS_SUPPORT_TEST_STACK_H
