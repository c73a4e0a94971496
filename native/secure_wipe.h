// Wiping of secrets that the optimiser may not drop as dead stores.
#ifndef ROOTCHECKER_NATIVE_SECURE_WIPE_H
#define ROOTCHECKER_NATIVE_SECURE_WIPE_H

#include <stddef.h>
#include <string.h>

// secure_wipe overwrites `size` bytes at `p` with zeros, also when the memory
// is freed or goes out of scope right after: the empty asm takes `p` and
// clobbers memory, so the compiler must assume the zeros are read and cannot
// drop them as dead stores.
inline void secure_wipe(void* p, size_t size) {
  memset(p, 0, size);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

#endif  // ROOTCHECKER_NATIVE_SECURE_WIPE_H
