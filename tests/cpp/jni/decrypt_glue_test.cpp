// nativeDecrypt through the fake JNIEnv: every row of the failure table as
// an exact call sequence, on blobs that OpenSSL sealed.
#include <gtest/gtest.h>

#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "cipher_call_log.h"
#include "glue_test_support.h"
#include "native/password_decrypter.h"
#include "support/fake_jni.h"

namespace {

using Calls = std::vector<std::string>;

enum class Failure { kNone, kElements, kNewArray };

jbyteArray decrypt(FakeJniEnv& fake, jbyteArray blob) {
  CipherCallLog log(fake);
  return Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
      fake.env(), nullptr, blob);
}

const Calls kLengthOnly = {"GetArrayLength(blob)"};
const Calls kFetch = {"GetArrayLength(blob)", "GetByteArrayElements(blob)"};
// The elements go back before the key is built: the VM's array is never
// pinned while the key exists.
const Calls kFetchReleaseDecrypt = {
    "GetArrayLength(blob)", "GetByteArrayElements(blob)",
    "ReleaseByteArrayElements(blob, JNI_ABORT)", "AES_init_ctx_iv"};

Calls new_array_calls(size_t length) {
  Calls out = kFetchReleaseDecrypt;
  out.push_back("NewByteArray(" + std::to_string(length) + ")");
  return out;
}

Calls success_calls(size_t length) {
  Calls out = new_array_calls(length);
  out.push_back("SetByteArrayRegion(result, 0, " + std::to_string(length) +
                ")");
  return out;
}

Bytes prefix(const Bytes& bytes, size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(length));
}

std::string hex_or_null(const std::optional<Bytes>& bytes) {
  return bytes ? to_hex(*bytes) : "null";
}

TEST(DecryptGlue, NullBlobMakesNoCall) {
  FakeJniEnv fake;
  EXPECT_EQ(decrypt(fake, nullptr), nullptr);
  EXPECT_TRUE(fake.calls().empty()) << fake.report();
}

// One row per line of the failure table, plus the successful shapes. For
// every row: the exact calls, the result, the caller's array unchanged,
// nothing forbidden and nothing left held.
TEST(DecryptGlue, FailureTableAndResults) {
  const uint32_t seed = test_seed();
  SCOPED_TRACE(seed_trace(seed));
  std::mt19937 rng(seed);

  struct Case {
    std::string name;
    Bytes blob;
    Failure failure;
    Calls calls;
    std::optional<Bytes> result;
  };
  std::vector<Case> cases;
  for (size_t length : {0u, 1u, 16u, 17u, 31u, 33u, 40u}) {
    cases.push_back({"length " + std::to_string(length),
                     random_bytes(rng, length), Failure::kNone, kLengthOnly,
                     std::nullopt});
  }
  const Bytes two_blocks = plaintext_ending_in(rng, 2, 4);
  cases.push_back({"GetByteArrayElements gives null",
                   sealed_blob(rng, two_blocks), Failure::kElements, kFetch,
                   std::nullopt});
  for (int last : {0, 17, 255}) {
    cases.push_back({"last byte " + std::to_string(last),
                     sealed_blob(rng, plaintext_ending_in(
                                          rng, 2, static_cast<uint8_t>(last))),
                     Failure::kNone, kFetchReleaseDecrypt, std::nullopt});
  }
  cases.push_back({"NewByteArray gives null", sealed_blob(rng, two_blocks),
                   Failure::kNewArray, new_array_calls(28), std::nullopt});

  // Successes: the password is the plaintext OpenSSL sealed, minus p bytes.
  struct Shape {
    const char* name;
    size_t blocks;
    uint8_t last;
  };
  for (const Shape& s :
       {Shape{"one block, p = 16: empty password", 1, 16},
        Shape{"one block, p = 1", 1, 1}, Shape{"three blocks, p = 16", 3, 16},
        Shape{"three blocks, p = 3, other padding random", 3, 3},
        Shape{"three blocks, p = 1", 3, 1}}) {
    const Bytes plaintext = plaintext_ending_in(rng, s.blocks, s.last);
    const size_t length = plaintext.size() - s.last;
    cases.push_back({s.name, sealed_blob(rng, plaintext), Failure::kNone,
                     success_calls(length), prefix(plaintext, length)});
  }
  // PKCS#7 padding added by OpenSSL itself, around zero bytes.
  const Bytes with_zeros = {'p', 0, 'w', 0, 0, 'd', 0};
  const Block key = configured_key();
  const Bytes iv = random_bytes(rng, 16);
  cases.push_back({"PKCS#7 from OpenSSL, zeros inside",
                   seal_blob(key.data(), iv.data(), with_zeros, true),
                   Failure::kNone, success_calls(with_zeros.size()),
                   with_zeros});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + ", blob " + to_hex(c.blob));
    FakeJniEnv fake;
    if (c.failure == Failure::kElements) fake.fail_byte_array_elements();
    if (c.failure == Failure::kNewArray) fake.fail_new_byte_array();
    const jbyteArray blob = fake.set_blob(c.blob);

    const jbyteArray result = decrypt(fake, blob);

    EXPECT_EQ(fake.calls(), c.calls) << fake.report();
    const std::optional<Bytes> got =
        result == nullptr ? std::nullopt : fake.result_bytes(result);
    EXPECT_EQ(got, c.result) << "expected " << hex_or_null(c.result)
                             << "\n     got " << hex_or_null(got);
    EXPECT_EQ(fake.blob(), c.blob)
        << "caller's array now " << to_hex(fake.blob());
    EXPECT_TRUE(fake.violations().empty()) << fake.report();
    EXPECT_TRUE(fake.leaks().empty()) << fake.report();
    // Only the VM's own failures leave an exception; the library raises none.
    EXPECT_EQ(fake.exception_pending(), c.failure != Failure::kNone);
  }
}

// Blobs of random bytes: a result exactly when the last decrypted byte is 1 to
// 16, and the same answer from a second call on the same bytes.
TEST(DecryptGlue, RandomBlobsAgreeWithOpenSsl) {
  const uint32_t seed = test_seed();
  SCOPED_TRACE(seed_trace(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 200; ++i) {
    const size_t blocks = 1 + static_cast<size_t>(i % 4);
    const Bytes plaintext = random_bytes(rng, 16 * blocks);
    const Bytes blob = sealed_blob(rng, plaintext);
    const uint8_t p = plaintext.back();
    const std::optional<Bytes> expected =
        p >= 1 && p <= 16
            ? std::optional<Bytes>(prefix(plaintext, plaintext.size() - p))
            : std::nullopt;
    for (int call = 0; call < 2; ++call) {
      SCOPED_TRACE("case " + std::to_string(i) + " call " +
                   std::to_string(call) + ", blob " + to_hex(blob));
      FakeJniEnv fake;
      const jbyteArray result = decrypt(fake, fake.set_blob(blob));
      const std::optional<Bytes> got =
          result == nullptr ? std::nullopt : fake.result_bytes(result);
      ASSERT_EQ(got, expected) << "expected " << hex_or_null(expected)
                               << "\n     got " << hex_or_null(got);
      ASSERT_EQ(fake.calls(), expected ? success_calls(expected->size())
                                       : kFetchReleaseDecrypt)
          << fake.report();
      ASSERT_TRUE(fake.violations().empty() && fake.leaks().empty())
          << fake.report();
    }
  }
}

// While the key is built (and so while the cipher runs) every asynchronous
// signal is held off, the real-time ones too, and the synchronous ones are
// not: a fault must still reach the app's handler. Afterwards the caller's
// mask is back as it was, its own blocked signal included.
TEST(DecryptGlue, SignalMaskWhileTheKeyIsBuilt) {
  std::mt19937 rng(test_seed());
  SCOPED_TRACE(seed_trace(test_seed()));
  const Bytes blob = sealed_blob(rng, plaintext_ending_in(rng, 2, 4));
  const Block key = configured_key();
  struct Entry {
    const char* name;
    void (*call)(const Bytes& blob, const Block& key);
  };
  const Entry entries[] = {
      {"nativeDecrypt",
       [](const Bytes& b, const Block&) {
         FakeJniEnv fake;
         EXPECT_NE(decrypt(fake, fake.set_blob(b)), nullptr);
       }},
      {"decrypt_password_blob",
       [](const Bytes& b, const Block&) {
         uint8_t* password = nullptr;
         EXPECT_GE(decrypt_password_blob(
                       b.data(), static_cast<uint32_t>(b.size()), &password),
                   0);
         free_working_buffer(password, static_cast<uint32_t>(b.size() - 16));
       }},
      {"decrypt_blob_ciphertext (the sealing tool's)",
       [](const Bytes& b, const Block& k) {
         Bytes work(b.begin() + 16, b.end());
         decrypt_blob_ciphertext(k.data(), b.data(), work.data(),
                                 static_cast<uint32_t>(work.size()));
       }},
  };
  // Not the last two: qemu-user (7.2) has no host signals left for the
  // guest's 63 and 64 and never blocks them; a real kernel does.
  const int held_off[] = {SIGALRM, SIGTERM, SIGINT,  SIGHUP,   SIGUSR1,
                          SIGCHLD, SIGPIPE, SIGPROF, SIGRTMIN, SIGRTMAX - 2};
  const int let_through[] = {SIGSEGV, SIGBUS,  SIGILL, SIGFPE,
                             SIGTRAP, SIGABRT, SIGSYS};
  sigset_t callers;
  sigemptyset(&callers);
  sigaddset(&callers, SIGUSR2);
  sigset_t before;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &callers, &before), 0);
  for (const Entry& entry : entries) {
    SCOPED_TRACE(entry.name);
    clear_mask_at_key_setup();
    entry.call(blob, key);
    sigset_t during, after;
    ASSERT_TRUE(mask_at_key_setup(during)) << "the key was not built";
    for (int s : held_off) {
      EXPECT_EQ(sigismember(&during, s), 1) << "signal " << s;
    }
    for (int s : let_through) {
      EXPECT_EQ(sigismember(&during, s), 0) << "signal " << s;
    }
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &after), 0);
    for (int s = 1; s <= SIGRTMAX; ++s) {
      EXPECT_EQ(sigismember(&after, s), s == SIGUSR2 ? 1 : 0)
          << "signal " << s << " after the call";
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
