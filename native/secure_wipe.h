// Wiping of secrets that the optimiser may not drop as dead stores.
#ifndef ROOTCHECKER_NATIVE_SECURE_WIPE_H
#define ROOTCHECKER_NATIVE_SECURE_WIPE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

// secure_wipe overwrites `size` bytes at `p` with zeros, also when the memory
// is freed or goes out of scope right after: the empty asm takes `p` and
// clobbers memory, so the compiler must assume the zeros are read and cannot
// drop them as dead stores.
inline void secure_wipe(void* p, size_t size) {
  std::memset(p, 0, size);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

// An allocator that wipes every block before giving it back, on every path
// out, exceptions included.
template <typename T>
struct wiping_allocator {
  using value_type = T;

  wiping_allocator() = default;
  template <typename U>
  wiping_allocator(const wiping_allocator<U>&) {}

  T* allocate(size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) {
    secure_wipe(p, n * sizeof(T));
    ::operator delete(p);
  }
};

template <typename T, typename U>
bool operator==(const wiping_allocator<T>&, const wiping_allocator<U>&) {
  return true;
}
template <typename T, typename U>
bool operator!=(const wiping_allocator<T>&, const wiping_allocator<U>&) {
  return false;
}

// Bytes that hold a secret: wiped when freed.
using secret_bytes = std::vector<uint8_t, wiping_allocator<uint8_t>>;

#endif  // ROOTCHECKER_NATIVE_SECURE_WIPE_H
