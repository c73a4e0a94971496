// Byte strings, hex and the configured key, with no dependency: the tests
// and the fuzzers (which link neither GoogleTest nor the plain core) share it.
#ifndef ROOTCHECKER_TESTS_SUPPORT_BYTES_H
#define ROOTCHECKER_TESTS_SUPPORT_BYTES_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Block = std::array<uint8_t, 16>;

// Decodes hex digits of either case; false on an odd length or a non-digit.
inline bool parse_hex(std::string_view hex, Bytes& out) {
  const auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return false;
  out.assign(hex.size() / 2, 0);
  for (size_t i = 0; i < out.size(); ++i) {
    const int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

inline std::string to_hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

inline std::string to_hex(const Bytes& bytes) {
  return to_hex(bytes.data(), bytes.size());
}

// Reads the key the build was configured with from the hex file the build
// writes; false if it is missing or not 16 bytes of hex.
inline bool read_key_file(const char* path, Block& key) {
  std::ifstream in(path);
  std::string hex;
  Bytes bytes;
  if (!(in >> hex) || !parse_hex(hex, bytes) || bytes.size() != key.size()) {
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return true;
}

#endif  // ROOTCHECKER_TESTS_SUPPORT_BYTES_H
