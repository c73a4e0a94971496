// Randomised tests draw from one seeded generator and print the seed on
// failure, so that any failing run can be repeated exactly.
#ifndef ROOTCHECKER_TESTS_SUPPORT_SEEDED_RNG_H
#define ROOTCHECKER_TESTS_SUPPORT_SEEDED_RNG_H

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "support/test_support.h"

// $ROOTCHECKER_TEST_SEED when set, otherwise taken from the clock.
inline uint64_t test_seed() {
  if (const char* env = std::getenv("ROOTCHECKER_TEST_SEED")) {
    return std::strtoull(env, nullptr, 0);
  }
  return static_cast<uint64_t>(
      std::chrono::system_clock::now().time_since_epoch().count());
}

class SeededRng {
 public:
  SeededRng() : seed_(test_seed()), engine_(seed_) {}

  uint64_t seed() const { return seed_; }
  // For SCOPED_TRACE: how to run the same cases again.
  std::string trace() const {
    return "random seed " + std::to_string(seed_) +
           " (repeat with ROOTCHECKER_TEST_SEED=" + std::to_string(seed_) + ")";
  }

  // Uniform in [low, high].
  template <typename T>
  T uniform(T low, T high) {
    return std::uniform_int_distribution<T>(low, high)(engine_);
  }
  uint8_t byte() { return static_cast<uint8_t>(uniform<unsigned>(0, 255)); }
  Bytes bytes(size_t size) {
    Bytes out(size);
    for (uint8_t& b : out) b = byte();
    return out;
  }
  Block block() {
    Block out;
    for (uint8_t& b : out) b = byte();
    return out;
  }

 private:
  uint64_t seed_;
  std::mt19937_64 engine_;
};

#endif  // ROOTCHECKER_TESTS_SUPPORT_SEEDED_RNG_H
