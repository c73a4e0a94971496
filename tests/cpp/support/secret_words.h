// The 4-byte words a decryption works through, for searching memory it left
// behind: every word of the key schedule and of the state after each step of
// each block's inverse cipher. A compiler may keep or spill any single one of
// them (g++ leaves lone schedule words), so a search for whole round keys
// misses what a search for words finds.
#ifndef ROOTCHECKER_TESTS_SUPPORT_SECRET_WORDS_H
#define ROOTCHECKER_TESTS_SUPPORT_SECRET_WORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/bytes.h"

class SecretWords {
 public:
  // The words of decrypting `ciphertext` (whole blocks) under `key`. Not a
  // block's output: the password's bytes, XORed with the previous ciphertext
  // block, both of which the caller has anyway.
  SecretWords(const Block& key, const Bytes& ciphertext);

  // The same words under the configured key, computed in a child process,
  // which reads the key too. The search holds each word only XORed with a
  // mask, so this process's registers never hold one: a signal frame that
  // catches the searcher's registers shows no finding.
  static SecretWords computed_elsewhere(const Bytes& ciphertext);

  // Leaves out `word` (and every secret equal to it): a word that non-secret
  // data holds as well, such as the blob's, the password's, zero or a fill
  // pattern, is no finding.
  void forget(uint32_t word);
  void forget_words_of(const Bytes& bytes);

  size_t size() const { return words_.size(); }

  // Every secret word in the `size` bytes at `memory`, looked at every
  // `step` bytes (1: every offset; 4: aligned words). `top` is the address
  // the distances are counted from.
  std::vector<std::string> find(const uint8_t* memory, size_t size, size_t step,
                                const uint8_t* top) const;

 private:
  SecretWords() = default;
  void add(const uint8_t* bytes, size_t n, const std::string& what);
  // Keyed by word ^ kMask.
  static constexpr uint32_t kMask = 0x9e3779b9u;
  std::unordered_map<uint32_t, std::string> words_;
};

#endif  // ROOTCHECKER_TESTS_SUPPORT_SECRET_WORDS_H
