// One message decrypted in several AES_CBC_decrypt_buffer calls on one
// context, the way a caller may split it.
#ifndef ROOTCHECKER_TESTS_CPP_CIPHER_CBC_CALLS_H
#define ROOTCHECKER_TESTS_CPP_CIPHER_CBC_CALLS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cipher/aes.h"
#include "support/test_support.h"

enum class Calls { kOne, kBlockByBlock, kUneven };

inline const char* calls_name(Calls calls) {
  switch (calls) {
    case Calls::kOne:
      return "in one call";
    case Calls::kBlockByBlock:
      return "block by block";
    case Calls::kUneven:
      return "in calls of 3, 1, 2, 3, ... blocks";
  }
  return "?";
}

// The lengths of consecutive calls over `length` bytes (whole blocks).
inline std::vector<uint32_t> call_lengths(Calls calls, size_t length) {
  if (calls == Calls::kOne) return {static_cast<uint32_t>(length)};
  static const size_t kUnevenBlocks[] = {3, 1, 2};
  std::vector<uint32_t> lengths;
  for (size_t done = 0, k = 0; done < length; ++k) {
    const size_t blocks = calls == Calls::kUneven ? kUnevenBlocks[k % 3] : 1;
    const size_t step = std::min(16 * blocks, length - done);
    lengths.push_back(static_cast<uint32_t>(step));
    done += step;
  }
  return lengths;
}

// Sets one context up with key and iv, then decrypts `data` in place with one
// call for each entry of `lengths`. Returns the context as the last call
// left it.
inline AES_ctx decrypt_in_calls(const uint8_t key[16], const uint8_t iv[16],
                                Bytes* data,
                                const std::vector<uint32_t>& lengths) {
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, key, iv);
  size_t offset = 0;
  for (uint32_t length : lengths) {
    AES_CBC_decrypt_buffer(&ctx, data->data() + offset, length);
    offset += length;
  }
  return ctx;
}

inline Bytes slice(const Bytes& bytes, size_t offset, size_t size) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

#endif  // ROOTCHECKER_TESTS_CPP_CIPHER_CBC_CALLS_H
