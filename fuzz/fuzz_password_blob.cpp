// decrypt_password_blob on arbitrary bytes, against OpenSSL.
//
// Invariants: the result is failure exactly when the length is not 16 + 16k
// (k >= 1) or, for a valid length, when the last decrypted byte p is 0 or
// above 16; p is computed independently, by OpenSSL's AES-128-ECB on the
// last block XOR the block before it. A blob of a wrong length is not even
// read (a copy poisoned for ASan is refused all the same). A password is
// c - p bytes long (so never more than L - 17) and equals the first bytes of
// OpenSSL's CBC decryption. The same blob twice gives the same result.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "native/password_decrypter.h"
#include "native/secret_bytes.h"

namespace {

// Lengths are Java array lengths, signed 32-bit: above INT32_MAX is no blob.
uint32_t expected_ciphertext_length(uint32_t length) {
  const auto signed_length = static_cast<int32_t>(length);
  return signed_length > 16 && (signed_length - 16) % 16 == 0 ? length - 16 : 0;
}

std::string describe(const uint8_t* data, size_t size) {
  return "blob (" + std::to_string(size) + " bytes): " + to_hex(data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xffffffffu) return 0;

  // The length rule on its own, over the whole 32-bit range: the first four
  // bytes, read as a length the blob itself cannot have.
  if (size >= 4) {
    uint32_t any_length;
    std::memcpy(&any_length, data, 4);
    FUZZ_CHECK(password_blob_ciphertext_length(any_length) ==
                   expected_ciphertext_length(any_length),
               "length " + std::to_string(any_length));
  }

  const uint32_t length = static_cast<uint32_t>(size);
  // Stale contents must be replaced, not appended to.
  secret_bytes password(5, 0xee);
  const bool ok = decrypt_password_blob(data, length, password);

  if (expected_ciphertext_length(length) == 0) {
    FUZZ_CHECK(!ok, describe(data, size));
    Bytes unreadable(data, data + size);
    ASAN_POISON_MEMORY_REGION(unreadable.data(), unreadable.size());
    const bool ok_unread =
        decrypt_password_blob(unreadable.data(), length, password);
    ASAN_UNPOISON_MEMORY_REGION(unreadable.data(), unreadable.size());
    FUZZ_CHECK(!ok_unread, describe(data, size));
    FUZZ_CHECK(password_blob_ciphertext_length(length) == 0,
               describe(data, size));
    return 0;
  }
  FUZZ_CHECK(password_blob_ciphertext_length(length) == length - 16,
             describe(data, size));

  const uint8_t* key = fuzz_configured_key().data();
  const Block last = openssl_ecb_decrypt_block(key, data + size - 16);
  const uint8_t padding = static_cast<uint8_t>(last[15] ^ data[size - 17]);
  const bool padding_ok = padding >= 1 && padding <= 16;
  FUZZ_CHECK(ok == padding_ok, "padding byte " + std::to_string(padding) +
                                   ", " + describe(data, size));

  secret_bytes again(3, 0x11);
  const bool ok_again = decrypt_password_blob(data, length, again);
  FUZZ_CHECK(ok_again == ok, describe(data, size));
  if (!ok) return 0;

  const size_t ciphertext_length = size - 16;
  FUZZ_CHECK(password.size() == ciphertext_length - padding,
             "got " + std::to_string(password.size()) + " bytes, padding " +
                 std::to_string(padding) + ", " + describe(data, size));
  FUZZ_CHECK(password.size() <= size - 17, describe(data, size));

  const Bytes plain =
      openssl_cbc_decrypt(key, data, data + 16, ciphertext_length);
  FUZZ_CHECK(plain.back() == padding, describe(data, size));
  FUZZ_CHECK(std::equal(password.begin(), password.end(), plain.begin()),
             "library " + to_hex(password.data(), password.size()) +
                 "\nopenssl " + to_hex(plain) + "\n" + describe(data, size));
  FUZZ_CHECK(again.size() == password.size() &&
                 std::equal(again.begin(), again.end(), password.begin()),
             describe(data, size));
  return 0;
}
