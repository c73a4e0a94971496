// A library that builds the key the naive way: with the shares in plain
// sight the optimiser XORs them at build time and keeps the whole key as a
// constant. check_key_material.py must find it here.
#include <cstdint>

#include "key_shares.inc"

void use_key(const uint8_t key[16]);

extern "C" __attribute__((visibility("default"))) void folded_key_entry() {
  uint8_t key[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(key_share_a[i] ^ key_share_b[i]);
  }
  use_key(key);
}
