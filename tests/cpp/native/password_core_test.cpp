// The password decrypter's core, without a VM: blobs sealed by OpenSSL under
// the configured key, decrypted by decrypt_password_blob and its two stages.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/test_support.h"

namespace {

// Random cases are reproducible: set ROOTCHECKER_TEST_SEED to the seed that a
// failure printed.
uint32_t test_seed() {
  static const uint32_t seed = [] {
    if (const char* env = std::getenv("ROOTCHECKER_TEST_SEED")) {
      return static_cast<uint32_t>(std::strtoul(env, nullptr, 0));
    }
    return std::random_device{}();
  }();
  return seed;
}

std::string seed_note() {
  return "seed " + std::to_string(test_seed()) +
         " (rerun with ROOTCHECKER_TEST_SEED=" + std::to_string(test_seed()) +
         ")";
}

Bytes random_bytes(std::mt19937& rng, size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out(size);
  for (uint8_t& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

Block random_block(std::mt19937& rng) {
  const Bytes bytes = random_bytes(rng, 16);
  Block out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

// decrypt_password_blob's verdict: the password, or nothing on failure.
std::optional<Bytes> decrypt(const Bytes& blob) {
  secret_bytes password;
  if (!decrypt_password_blob(blob.data(), static_cast<uint32_t>(blob.size()),
                             password)) {
    return std::nullopt;
  }
  return Bytes(password.begin(), password.end());
}

std::string show(const std::optional<Bytes>& result) {
  return result ? "password " + to_hex(*result) : "failure";
}

Bytes prefix(const Bytes& bytes, size_t size) {
  return Bytes(bytes.begin(),
               bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// Seals whole blocks of `plaintext` as they are (no padding added) under the
// configured key and a random IV.
Bytes seal_raw(std::mt19937& rng, const Bytes& plaintext) {
  const Block key = configured_key();
  const Block iv = random_block(rng);
  return seal_blob(key.data(), iv.data(), plaintext, /*pkcs7=*/false);
}

// A page that may not be touched: any read of a blob placed there crashes.
class NoAccessPage {
 public:
  NoAccessPage() {
    size_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* p =
        ::mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    page_ = p == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(p);
  }
  ~NoAccessPage() {
    if (page_ != nullptr) ::munmap(const_cast<uint8_t*>(page_), size_);
  }
  NoAccessPage(const NoAccessPage&) = delete;
  NoAccessPage& operator=(const NoAccessPage&) = delete;

  const uint8_t* data() const { return page_; }

 private:
  const uint8_t* page_ = nullptr;
  size_t size_ = 0;
};

// The blob lies on a PROT_NONE page: if this test dies with SIGSEGV, a blob of
// a wrong length was read.
TEST(PasswordLengthRule, WrongLengthsFailWithoutReadingTheBlob) {
  NoAccessPage page;
  ASSERT_NE(page.data(), nullptr) << "mmap PROT_NONE failed";
  // 0x80000010 passes the multiple-of-16 test and fails only as too long for
  // a Java array.
  const uint32_t lengths[] = {0,  1,  15, 16,          17,         31,
                              33, 40, 47, 0x80000010u, 0xffffffffu};
  for (const uint32_t length : lengths) {
    SCOPED_TRACE("blob length " + std::to_string(length));
    EXPECT_EQ(password_blob_ciphertext_length(length), 0u);
    secret_bytes password;
    EXPECT_FALSE(decrypt_password_blob(page.data(), length, password));
  }
}

TEST(PasswordLengthRule, ValidLengthsDecryptTheWholeCiphertext) {
  SCOPED_TRACE(seed_note());
  std::mt19937 rng(test_seed());
  const uint32_t lengths[] = {32, 48, 64, 4096 + 16};
  for (const uint32_t length : lengths) {
    SCOPED_TRACE("blob length " + std::to_string(length));
    const uint32_t c = length - 16;
    EXPECT_EQ(password_blob_ciphertext_length(length), c);
    // Padding byte 5: exactly c - 5 bytes come back, so all c were decrypted.
    Bytes plaintext = random_bytes(rng, c);
    plaintext.back() = 5;
    const Bytes blob = seal_raw(rng, plaintext);
    ASSERT_EQ(blob.size(), length);
    const std::optional<Bytes> result = decrypt(blob);
    const Bytes expected = prefix(plaintext, c - 5);
    EXPECT_EQ(result, expected)
        << "got " << show(result) << "\nwant " << to_hex(expected);
  }
}

struct ShapeCase {
  const char* name;
  Bytes plaintext;  // whole blocks, sealed without added padding
  size_t password_length;
};

TEST(PasswordPadding, OnlyTheLastByteCounts) {
  SCOPED_TRACE(seed_note());
  std::mt19937 rng(test_seed());
  auto ending_in = [&](size_t size, std::initializer_list<uint8_t> tail) {
    Bytes out = random_bytes(rng, size - tail.size());
    out.insert(out.end(), tail);
    return out;
  };
  const ShapeCase cases[] = {
      {"one block ending in 16: empty password", ending_in(16, {16}), 0},
      {"one block of PKCS#7 padding", Bytes(16, 16), 0},
      {"one block ending in 1", ending_in(16, {1}), 15},
      {"ends in 3 after bytes that are not 3", ending_in(16, {0xa5, 0x00, 3}),
       13},
      {"two blocks ending in 3 after bytes that are not 3",
       ending_in(32, {0x10, 0xff, 3}), 29},
      {"padding byte 16 after garbage", ending_in(32, {0x01, 16}), 16},
      {"zero bytes inside the password",
       Bytes{'p', 0, 'w', 0, 0, 'd', 0, 9, 9, 9, 9, 9, 9, 9, 9, 9}, 7},
      {"password of zero bytes only", ending_in(32, {0, 0, 0, 0, 0, 0, 0, 8}),
       24},
      {"zero byte at the start, padding 2",
       Bytes{0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
             2, 2},
       14},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes blob = seal_raw(rng, c.plaintext);
    const std::optional<Bytes> result = decrypt(blob);
    const Bytes expected = prefix(c.plaintext, c.password_length);
    EXPECT_EQ(result, expected)
        << "plaintext " << to_hex(c.plaintext) << "\ngot  " << show(result)
        << "\nwant " << to_hex(expected);
  }
}

TEST(PasswordPadding, EveryFinalByteOfATwoBlockBlob) {
  SCOPED_TRACE(seed_note());
  std::mt19937 rng(test_seed());
  int accepted = 0;
  for (int p = 0; p <= 255; ++p) {
    Bytes plaintext = random_bytes(rng, 32);
    plaintext.back() = static_cast<uint8_t>(p);
    const Bytes blob = seal_raw(rng, plaintext);
    const std::optional<Bytes> result = decrypt(blob);
    if (p >= 1 && p <= 16) {
      ++accepted;
      const Bytes expected = prefix(plaintext, static_cast<size_t>(32 - p));
      EXPECT_EQ(result, expected)
          << "final byte " << p << ", plaintext " << to_hex(plaintext)
          << "\ngot  " << show(result) << "\nwant " << to_hex(expected);
    } else {
      EXPECT_FALSE(result) << "final byte " << p << " must fail, plaintext "
                           << to_hex(plaintext) << "\ngot " << show(result);
    }
  }
  EXPECT_EQ(accepted, 16);
}

TEST(PasswordRoundTrip, Pkcs7SealedPasswordsOfEveryLength) {
  SCOPED_TRACE(seed_note());
  std::mt19937 rng(test_seed());
  const Block key = configured_key();
  std::vector<size_t> sizes;
  for (size_t m = 0; m <= 100; ++m) sizes.push_back(m);
  sizes.push_back(16 * 1024);
  for (const size_t m : sizes) {
    const Bytes password = random_bytes(rng, m);
    const Block iv = random_block(rng);
    const Bytes blob =
        seal_blob(key.data(), iv.data(), password, /*pkcs7=*/true);
    // A whole block of padding follows a password of whole blocks.
    EXPECT_EQ(blob.size(), 16 + (m / 16 + 1) * 16) << "password length " << m;
    const std::optional<Bytes> result = decrypt(blob);
    EXPECT_EQ(result, password)
        << "password length " << m << "\ngot  " << show(result).substr(0, 300)
        << "\nwant " << to_hex(password).substr(0, 300);
  }
}

TEST(PasswordRoundTrip, RepeatedAndStagedCallsAgree) {
  SCOPED_TRACE(seed_note());
  std::mt19937 rng(test_seed());
  const Block key = configured_key();
  std::vector<Bytes> blobs;
  for (const size_t m : {size_t{0}, size_t{5}, size_t{16}, size_t{33}}) {
    const Block iv = random_block(rng);
    blobs.push_back(
        seal_blob(key.data(), iv.data(), random_bytes(rng, m), true));
  }
  Bytes bad_padding = random_bytes(rng, 32);
  bad_padding.back() = 0x80;
  blobs.push_back(seal_raw(rng, bad_padding));

  for (const Bytes& blob : blobs) {
    SCOPED_TRACE("blob " + to_hex(blob));
    const std::optional<Bytes> first = decrypt(blob);
    const std::optional<Bytes> second = decrypt(blob);
    EXPECT_EQ(first, second)
        << "first " << show(first) << "\nsecond " << show(second);

    // A result buffer holding old bytes is replaced, not appended to.
    secret_bytes reused(40, 0xee);
    const bool ok = decrypt_password_blob(
        blob.data(), static_cast<uint32_t>(blob.size()), reused);
    EXPECT_EQ(ok, first.has_value());
    if (ok && first) {
      EXPECT_EQ(Bytes(reused.begin(), reused.end()), *first)
          << "into a used buffer: " << to_hex(reused.data(), reused.size());
    }

    const uint32_t c =
        password_blob_ciphertext_length(static_cast<uint32_t>(blob.size()));
    ASSERT_EQ(c, blob.size() - 16);
    uint8_t iv[16];
    uint8_t* work = take_password_blob(blob.data(), c, iv);
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(to_hex(iv, 16), to_hex(blob.data(), 16));
    EXPECT_EQ(to_hex(work, c), to_hex(blob.data() + 16, c));
    const int32_t n = open_password_blob(iv, work, c);
    if (first) {
      EXPECT_EQ(n, static_cast<int32_t>(first->size()));
      if (n == static_cast<int32_t>(first->size())) {
        EXPECT_EQ(to_hex(work, first->size()), to_hex(*first));
      }
    } else {
      EXPECT_EQ(n, -1) << "staged decryption accepted what the one-shot "
                          "call rejected: "
                       << to_hex(work, c);
    }
    free_working_buffer(work, c);
  }
}

TEST(PasswordKey, ABlobSealedUnderAnotherKeyDoesNotOpen) {
  SCOPED_TRACE(seed_note());
  std::mt19937 rng(test_seed());
  const Block key = configured_key();
  const Bytes password = {'c', 'o', 'r', 'r', 'e', 'c', 't', ' ', 'h', 'o',
                          'r', 's', 'e', ' ', 'b', 'a', 't', 't', 'e', 'r',
                          'y', ' ', 's', 't', 'a', 'p', 'l', 'e'};
  const Block iv = random_block(rng);
  // Control: under the configured key the password comes back.
  ASSERT_EQ(decrypt(seal_blob(key.data(), iv.data(), password, true)),
            password);

  std::vector<Block> other_keys;
  Block one_bit = key;
  one_bit[15] ^= 0x01;
  other_keys.push_back(one_bit);
  while (other_keys.size() < 9) {
    const Block k = random_block(rng);
    if (k != key) other_keys.push_back(k);
  }
  for (const Block& other : other_keys) {
    const Bytes blob = seal_blob(other.data(), iv.data(), password, true);
    const std::optional<Bytes> result = decrypt(blob);
    EXPECT_NE(result, password)
        << "sealed under " << to_hex(other.data(), 16) << " but opened under "
        << "the configured key: " << show(result);
  }
}

TEST(PasswordKey, SharesXorToTheConfiguredKey) {
  const Block key = configured_key();
  Block joined{};
  for (size_t i = 0; i < 16; ++i) {
    joined[i] = static_cast<uint8_t>(key_share_a[i] ^ key_share_b[i]);
  }
  const std::string key_hex = to_hex(key.data(), 16);
  EXPECT_EQ(to_hex(joined.data(), 16), key_hex)
      << "share a " << to_hex(key_share_a, 16) << ", share b "
      << to_hex(key_share_b, 16);
  EXPECT_NE(to_hex(key_share_a, 16), key_hex) << "share a is the key itself";
  EXPECT_NE(to_hex(key_share_b, 16), key_hex) << "share b is the key itself";
}

}  // namespace
