#include "glue_test_support.h"

#include <cstdlib>

uint32_t test_seed() {
  const char* text = std::getenv("ROOTCHECKER_TEST_SEED");
  if (text == nullptr || *text == '\0') return 20261210u;
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

std::string seed_trace(uint32_t seed) {
  return "seed " + std::to_string(seed) +
         " (rerun with ROOTCHECKER_TEST_SEED=" + std::to_string(seed) + ")";
}

Bytes random_bytes(std::mt19937& rng, size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

Bytes plaintext_ending_in(std::mt19937& rng, size_t blocks, uint8_t last) {
  Bytes out = random_bytes(rng, 16 * blocks);
  out.back() = last;
  return out;
}

Bytes sealed_blob(std::mt19937& rng, const Bytes& plaintext) {
  const Block key = configured_key();
  const Bytes iv = random_bytes(rng, 16);
  return seal_blob(key.data(), iv.data(), plaintext, false);
}
