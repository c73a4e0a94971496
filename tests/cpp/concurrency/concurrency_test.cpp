// Both cores and the cipher from 8 threads at once on shared inputs. Every
// result must equal the one computed on a single thread first. Run under
// ThreadSanitizer in CI, where a data race fails the test by itself.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cipher/aes.h"
#include "cipher/aes_internal.h"
#include "native/password_decrypter.h"
#include "native/root_checker.h"
#include "native/secret_bytes.h"
#include "support/test_support.h"

namespace {

constexpr int kThreads = 8;
constexpr uint32_t kSeed = 20240611;

// $ROOTCHECKER_CONCURRENCY_ITERATIONS overrides the default for long runs.
int iterations() {
  if (const char* env = std::getenv("ROOTCHECKER_CONCURRENCY_ITERATIONS")) {
    return std::atoi(env);
  }
  return 300;
}

int open_descriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// One piece of work: it returns what it computed, in words and hex, to be
// compared with the single-threaded answer.
struct WorkItem {
  std::string name;
  std::function<std::string()> run;
};

struct Failure {
  int thread;
  int iteration;
  std::string what;
};

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rootchecker-concurrency-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& path : created_) unlink(path.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }

  std::string make_file(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) close(fd);
    created_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> created_;
};

std::string probe_answer(ProbeResult result) {
  switch (result) {
    case ProbeResult::kOpened:
      return "opened";
    case ProbeResult::kNotOpened:
      return "not opened";
    case ProbeResult::kFailed:
      break;
  }
  return "failed";
}

std::string password_answer(const uint8_t* password, size_t size) {
  return "password " + to_hex(password, size);
}

std::string decrypt_answer(const Bytes& blob) {
  secret_bytes password;
  const bool ok = decrypt_password_blob(
      blob.data(), static_cast<uint32_t>(blob.size()), password);
  return ok ? password_answer(password.data(), password.size()) : "failure";
}

TEST_F(ConcurrencyTest, EightThreadsAgreeWithOneThread) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  std::mt19937 rng(kSeed);
  auto random_bytes = [&rng](size_t n) {
    Bytes out(n);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng() & 0xff);
    return out;
  };

  std::vector<WorkItem> items;

  // probe_path: files that exist and paths that do not, on shared strings.
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    paths.push_back(make_file("present-" + std::to_string(i)));
    paths.push_back(dir_ + "/missing-" + std::to_string(i));
  }
  paths.push_back(dir_);  // a directory opens too
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string* path = &paths[i];
    items.push_back({"probe_path(" + *path + ")", [path] {
                       return probe_answer(probe_path(path->c_str()));
                     }});
  }

  // decrypt_password_blob under the configured key: valid blobs, a wrong
  // padding byte, wrong lengths and random bytes.
  const Block key = configured_key();
  std::vector<Bytes> blobs;
  std::vector<Bytes> passwords;  // for the valid ones, in order
  for (size_t length : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 47u}) {
    const Bytes iv = random_bytes(16);
    passwords.push_back(random_bytes(length));
    blobs.push_back(seal_blob(key.data(), iv.data(), passwords.back(), true));
  }
  const size_t valid_blobs = blobs.size();
  for (int last : {0x00, 0x11, 0xff}) {
    Bytes plaintext = random_bytes(32);
    plaintext.back() = static_cast<uint8_t>(last);
    const Bytes iv = random_bytes(16);
    blobs.push_back(seal_blob(key.data(), iv.data(), plaintext, false));
  }
  for (size_t length : {0u, 16u, 17u, 31u, 33u, 40u}) {
    blobs.push_back(random_bytes(length));
  }
  for (int i = 0; i < 4; ++i) blobs.push_back(random_bytes(48));
  for (size_t i = 0; i < blobs.size(); ++i) {
    const Bytes* blob = &blobs[i];
    items.push_back({"decrypt_password_blob(blob " + std::to_string(i) + ": " +
                         to_hex(*blob) + ")",
                     [blob] { return decrypt_answer(*blob); }});
  }

  // The cipher: one shared const ciphertext, copied and decrypted per thread
  // on a per-thread context, in one call and block by block.
  const Bytes cipher_key = random_bytes(16);
  const Bytes cipher_iv = random_bytes(16);
  const Bytes cipher_plaintext = random_bytes(256);
  const Bytes cipher_input = openssl_cbc_encrypt(
      cipher_key.data(), cipher_iv.data(), cipher_plaintext, false);
  items.push_back({"AES_CBC_decrypt_buffer, one call", [&] {
                     AES_ctx ctx;
                     AES_init_ctx_iv(&ctx, cipher_key.data(), cipher_iv.data());
                     Bytes buf = cipher_input;
                     AES_CBC_decrypt_buffer(&ctx, buf.data(),
                                            static_cast<uint32_t>(buf.size()));
                     return to_hex(buf);
                   }});
  items.push_back({"AES_CBC_decrypt_buffer, block by block", [&] {
                     AES_ctx ctx;
                     AES_init_ctx_iv(&ctx, cipher_key.data(), cipher_iv.data());
                     Bytes buf = cipher_input;
                     for (size_t at = 0; at < buf.size(); at += 16) {
                       AES_CBC_decrypt_buffer(&ctx, buf.data() + at, 16);
                     }
                     return to_hex(buf);
                   }});
  // One key schedule read by all threads at once: InvCipher only reads it.
  AES_ctx shared_schedule;
  AES_init_ctx_iv(&shared_schedule, cipher_key.data(), cipher_iv.data());
  const AES_ctx& schedule = shared_schedule;
  items.push_back({"InvCipher under one shared schedule", [&] {
                     Bytes buf = cipher_input;
                     for (size_t at = 0; at < buf.size(); at += 16) {
                       InvCipher(buf.data() + at, schedule.round_keys);
                     }
                     return to_hex(buf);
                   }});

  // The single-threaded answers, checked against what is known about them.
  std::vector<std::string> expected;
  for (const WorkItem& item : items) expected.push_back(item.run());
  for (size_t i = 0; i < paths.size(); ++i) {
    const bool should_open = paths[i].find("/missing-") == std::string::npos;
    EXPECT_EQ(expected[i], probe_answer(should_open ? ProbeResult::kOpened
                                                    : ProbeResult::kNotOpened))
        << items[i].name;
  }
  for (size_t i = 0; i < valid_blobs; ++i) {
    EXPECT_EQ(expected[paths.size() + i],
              password_answer(passwords[i].data(), passwords[i].size()))
        << items[paths.size() + i].name;
  }
  for (size_t i = valid_blobs; i < valid_blobs + 9; ++i) {
    EXPECT_EQ(expected[paths.size() + i], "failure")
        << items[paths.size() + i].name;
  }
  const size_t cipher_at = paths.size() + blobs.size();
  EXPECT_EQ(expected[cipher_at], to_hex(cipher_plaintext));
  EXPECT_EQ(expected[cipher_at + 1], to_hex(cipher_plaintext));
  ASSERT_FALSE(HasFailure()) << "single-threaded answers are wrong already";

  const int descriptors_before = open_descriptors();
  const int rounds = iterations();
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::mutex failures_lock;
  std::vector<Failure> failures;
  std::atomic<long> checked{0};

  auto worker = [&](int thread) {
    std::vector<Failure> mine;
    ready.fetch_add(1);
    while (!go.load()) std::this_thread::yield();
    for (int round = 0; round < rounds; ++round) {
      // Each thread starts at a different item, so that different threads
      // run different items at the same moment as well as the same ones.
      for (size_t k = 0; k < items.size(); ++k) {
        const size_t i =
            (k + static_cast<size_t>(thread) * 7 + static_cast<size_t>(round)) %
            items.size();
        const std::string got = items[i].run();
        if (got != expected[i]) {
          mine.push_back(
              {thread, round,
               items[i].name + ": expected " + expected[i] + ", got " + got});
        }
        checked.fetch_add(1, std::memory_order_relaxed);
      }
    }
    std::lock_guard<std::mutex> hold(failures_lock);
    failures.insert(failures.end(), mine.begin(), mine.end());
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  while (ready.load() < kThreads) std::this_thread::yield();
  go.store(true);
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(checked.load(), static_cast<long>(kThreads) * rounds *
                                static_cast<long>(items.size()));
  EXPECT_EQ(open_descriptors(), descriptors_before)
      << "probing leaked or closed file descriptors";
  for (size_t i = 0; i < failures.size() && i < 20; ++i) {
    ADD_FAILURE() << "thread " << failures[i].thread << ", iteration "
                  << failures[i].iteration << ": " << failures[i].what;
  }
  EXPECT_EQ(failures.size(), 0u);
  // The shared schedule is still the one KeyExpansion made.
  AES_ctx fresh;
  AES_init_ctx_iv(&fresh, cipher_key.data(), cipher_iv.data());
  EXPECT_EQ(to_hex(schedule.round_keys, 176), to_hex(fresh.round_keys, 176));
}

}  // namespace
