#include "support/test_stack.h"

#include <gtest/gtest.h>
#include <ucontext.h>

#include <algorithm>
#include <cstring>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_STACK_REGISTER(start, end) 0u
#define VALGRIND_STACK_DEREGISTER(id) (void)(id)
#define VALGRIND_MAKE_MEM_DEFINED(p, n) 0
#endif

namespace {

ucontext_t g_caller;
void (*g_body)(void*);
void* g_argument;

void trampoline() { g_body(g_argument); }

// setcontext loads registers that getcontext does not fill: zeroed first.
const ucontext_t& starting_context() {
  static ucontext_t context;
  static bool taken = false;
  if (!taken) {
    std::memset(&context, 0, sizeof context);
    if (getcontext(&context) != 0) ADD_FAILURE() << "getcontext";
    taken = true;
  }
  return context;
}

}  // namespace

void run_on_stack(uint8_t* stack, size_t size, void (*body)(void*),
                  void* argument) {
  g_body = body;
  g_argument = argument;
  ucontext_t fiber = starting_context();
  fiber.uc_stack.ss_sp = stack;
  fiber.uc_stack.ss_size = size;
  fiber.uc_link = &g_caller;
  makecontext(&fiber, trampoline, 0);
  const unsigned stack_id = VALGRIND_STACK_REGISTER(stack, stack + size);
  if (swapcontext(&g_caller, &fiber) != 0) ADD_FAILURE() << "swapcontext";
  VALGRIND_STACK_DEREGISTER(stack_id);
}

size_t touched(const uint8_t* area, size_t size) {
  (void)VALGRIND_MAKE_MEM_DEFINED(area, size);
  const uint8_t* first = std::find_if(
      area, area + size, [](uint8_t b) { return b != kStackPattern; });
  return static_cast<size_t>(area + size - first);
}
