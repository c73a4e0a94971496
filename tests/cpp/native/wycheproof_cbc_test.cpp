// Wycheproof's AES-CBC-PKCS5 cases with 128-bit keys, decrypted through the
// cipher operations by decrypt_blob_ciphertext and judged by the decrypter's
// own rule: only the last byte p is examined, 1..16 is accepted. Wycheproof's
// verdicts assume full PKCS#7 checking, so some of its "invalid" cases are
// accepted here by design; OpenSSL (padding off) says what they must give.
#include <openssl/evp.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/test_support.h"

namespace {

// Raw AES-128-CBC decryption of whole blocks by OpenSSL.
Bytes openssl_cbc_decrypt_raw(const Bytes& key, const Bytes& iv,
                              const Bytes& ciphertext) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
      EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  Bytes out(ciphertext.size() + 16);
  int n = 0, tail = 0;
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(),
                         iv.data()) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_DecryptUpdate(ctx.get(), out.data(), &n, ciphertext.data(),
                        static_cast<int>(ciphertext.size())) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
    ADD_FAILURE() << "OpenSSL AES-128-CBC decryption failed";
    return {};
  }
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

std::string hex_prefix(const secret_bytes& bytes, size_t size) {
  return to_hex(bytes.data(), size);
}

TEST(WycheproofAesCbcPkcs5, Aes128CasesByTheLastByteRule) {
  const std::string path = vector_path("aes_cbc_pkcs5_test.json");
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << "cannot read " << path;
  // Checked access throughout (at, get): a missing member or a wrong type
  // throws, and GoogleTest fails the test naming it.
  const nlohmann::json doc = nlohmann::json::parse(file, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << path << " is not valid JSON";
  ASSERT_EQ(doc.at("algorithm").get<std::string>(), "AES-CBC-PKCS5");

  int listed = 0, valid = 0, invalid = 0, invalid_accepted = 0,
      wrong_length = 0;
  for (const nlohmann::json& group : doc.at("testGroups")) {
    listed += static_cast<int>(group.at("tests").size());
    if (group.at("keySize").get<int>() != 128) continue;
    for (const nlohmann::json& test : group.at("tests")) {
      const int id = test.at("tcId").get<int>();
      const std::string verdict = test.at("result").get<std::string>();
      SCOPED_TRACE("tcId " + std::to_string(id) + " (" + verdict + ", " +
                   test.at("comment").get<std::string>() + ")");
      const Bytes key = from_hex(test.at("key").get<std::string>());
      const Bytes iv = from_hex(test.at("iv").get<std::string>());
      const Bytes msg = from_hex(test.at("msg").get<std::string>());
      const Bytes ct = from_hex(test.at("ct").get<std::string>());
      ASSERT_EQ(key.size(), 16u);
      ASSERT_EQ(iv.size(), 16u);
      if (verdict == "valid") {
        ++valid;
      } else {
        ++invalid;
      }

      // The blob is the IV followed by the ciphertext.
      Bytes blob = iv;
      blob.insert(blob.end(), ct.begin(), ct.end());
      const uint32_t c =
          password_blob_ciphertext_length(static_cast<uint32_t>(blob.size()));
      if (ct.empty() || ct.size() % 16 != 0) {
        ++wrong_length;
        EXPECT_NE(verdict, "valid") << "a valid case of a wrong length";
        EXPECT_EQ(c, 0u) << "ciphertext of " << ct.size() << " bytes passed "
                         << "the length rule";
        secret_bytes password;
        EXPECT_FALSE(decrypt_password_blob(
            blob.data(), static_cast<uint32_t>(blob.size()), password));
        continue;
      }
      ASSERT_EQ(c, ct.size());

      const Bytes reference = openssl_cbc_decrypt_raw(key, iv, ct);
      ASSERT_EQ(reference.size(), ct.size());
      secret_bytes work(ct.begin(), ct.end());
      decrypt_blob_ciphertext(key.data(), iv.data(), work);
      ASSERT_EQ(to_hex(work.data(), work.size()), to_hex(reference))
          << "decryption differs from OpenSSL's";

      const int32_t length = password_length_from_padding(work);
      const uint8_t p = reference.back();
      if (verdict == "valid") {
        ASSERT_EQ(length, static_cast<int32_t>(msg.size()))
            << "padded plaintext " << to_hex(reference);
        EXPECT_EQ(hex_prefix(work, msg.size()), to_hex(msg));
      } else if (p == 0 || p > 16) {
        EXPECT_EQ(length, -1)
            << "last byte " << int{p} << " accepted; padded plaintext "
            << to_hex(reference);
      } else {
        ++invalid_accepted;
        const size_t expected = ct.size() - p;
        ASSERT_EQ(length, static_cast<int32_t>(expected))
            << "last byte " << int{p} << "; padded plaintext "
            << to_hex(reference);
        EXPECT_EQ(hex_prefix(work, expected),
                  to_hex(reference.data(), expected));
      }
    }
  }
  // Every case in the file was seen, and the 128-bit groups were not empty.
  EXPECT_EQ(listed, doc.at("numberOfTests").get<int>());
  EXPECT_GT(valid, 0);
  EXPECT_GT(invalid, 0);
  EXPECT_GT(wrong_length, 0) << "the empty-ciphertext case is missing";

  RecordProperty("aes128_valid", valid);
  RecordProperty("aes128_invalid", invalid);
  RecordProperty("aes128_invalid_accepted_by_last_byte", invalid_accepted);
  std::cout << "AES-128 cases: " << valid << " valid, " << invalid
            << " invalid (" << wrong_length << " of a wrong length); the "
            << "last-byte rule accepts " << invalid_accepted
            << " of the invalid ones\n";
}

}  // namespace
