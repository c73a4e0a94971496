#include "support/secret_words.h"

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "cipher/aes_internal.h"
#include "support/test_support.h"

namespace {

uint32_t word_at(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

}  // namespace

void SecretWords::add(const uint8_t* bytes, size_t n, const std::string& what) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    // The first name stays: enough to tell what leaked.
    words_.emplace(word_at(bytes + i) ^ kMask,
                   what + ", word " + std::to_string(i / 4));
  }
}

SecretWords::SecretWords(const Block& key, const Bytes& ciphertext) {
  uint8_t schedule[176];
  KeyExpansion(schedule, key.data());
  add(schedule, sizeof schedule, "key schedule");
  for (size_t b = 0; b + 16 <= ciphertext.size(); b += 16) {
    const std::string block =
        "block " + std::to_string(b / 16) + ", state after ";
    uint8_t state[16];
    std::memcpy(state, ciphertext.data() + b, 16);
    AddRoundKey(10, state, schedule);
    add(state, 16, block + "AddRoundKey(10)");
    for (int round = 9; round >= 0; --round) {
      const std::string r = "(" + std::to_string(round) + ")";
      InvShiftRows(state);
      add(state, 16, block + "InvShiftRows" + r);
      InvSubBytes(state);
      add(state, 16, block + "InvSubBytes" + r);
      if (round == 0) break;
      AddRoundKey(static_cast<uint8_t>(round), state, schedule);
      add(state, 16, block + "AddRoundKey" + r);
      InvMixColumns(state);
      add(state, 16, block + "InvMixColumns" + r);
    }
  }
}

void SecretWords::forget(uint32_t word) { words_.erase(word ^ kMask); }

void SecretWords::forget_words_of(const Bytes& bytes) {
  // At every offset: the data may lie anywhere.
  for (size_t i = 0; i + 4 <= bytes.size(); ++i) forget(word_at(&bytes[i]));
}

std::vector<std::string> SecretWords::find(const uint8_t* memory, size_t size,
                                           size_t step,
                                           const uint8_t* top) const {
  std::vector<std::string> found;
  for (size_t i = 0; i + 4 <= size; i += step) {
    const auto hit = words_.find(word_at(memory + i) ^ kMask);
    if (hit == words_.end()) continue;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", hit->first ^ kMask);
    found.push_back(hit->second + " (" + hex + ") at " +
                    std::to_string(top - (memory + i)) +
                    " bytes below the top");
  }
  return found;
}

SecretWords SecretWords::computed_elsewhere(const Bytes& ciphertext) {
  SecretWords words;
  int fds[2];
  if (pipe(fds) != 0) return words;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const SecretWords computed(configured_key(), ciphertext);
    std::string text;
    for (const auto& [masked, what] : computed.words_) {
      char hex[10];
      std::snprintf(hex, sizeof hex, "%08x ", masked);
      text += hex + what + "\n";
    }
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) _exit(1);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos || end < at + 9) break;
    const auto masked =
        static_cast<uint32_t>(std::stoul(text.substr(at, 8), nullptr, 16));
    words.words_.emplace(masked, text.substr(at + 9, end - at - 9));
    at = end + 1;
  }
  return words;
}
