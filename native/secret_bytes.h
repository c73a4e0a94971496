// For C++ code that uses the decrypter off the device (the sealing tool,
// tests, benchmarks, fuzzers): a byte vector that wipes its block when it
// frees it, and the decrypter's steps over it. The library itself has no C++
// runtime and builds none of this.
#ifndef ROOTCHECKER_NATIVE_SECRET_BYTES_H
#define ROOTCHECKER_NATIVE_SECRET_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "native/password_decrypter.h"
#include "native/secure_wipe.h"

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

// The library's steps on a vector. `work` must hold a whole number of blocks,
// at least one.
inline int32_t open_password_blob(const uint8_t iv[16], secret_bytes& work) {
  return open_password_blob(iv, work.data(),
                            static_cast<uint32_t>(work.size()));
}
inline void decrypt_blob_ciphertext(const uint8_t key[16], const uint8_t iv[16],
                                    secret_bytes& work) {
  decrypt_blob_ciphertext(key, iv, work.data(),
                          static_cast<uint32_t>(work.size()));
}
inline int32_t password_length_from_padding(const secret_bytes& work) {
  return password_length_from_padding(work.data(),
                                      static_cast<uint32_t>(work.size()));
}

// decrypt_password_blob into `password`, which then holds the password
// (true) or nothing (false). Throws std::bad_alloc when the library cannot
// allocate its working buffer or `password` its copy; the working buffer is
// wiped and freed either way.
inline bool decrypt_password_blob(const uint8_t* blob, uint32_t blob_length,
                                  secret_bytes& password) {
  password.clear();
  uint8_t* work = nullptr;
  const int32_t length = decrypt_password_blob(blob, blob_length, &work);
  if (length == kPasswordOutOfMemory) throw std::bad_alloc();
  if (length < 0) return false;
  // The working buffer holds the password: wiped and freed also when the
  // copy cannot be allocated.
  try {
    password.assign(work, work + length);
  } catch (...) {
    free_working_buffer(work, blob_length - 16);
    throw;
  }
  free_working_buffer(work, blob_length - 16);
  return true;
}

#endif  // ROOTCHECKER_NATIVE_SECRET_BYTES_H
