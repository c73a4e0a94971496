// nativeDecrypt against a failing and an inspecting allocator. The library
// takes its working buffer from malloc; this binary is linked with
// --wrap=malloc and --wrap=free, so every call of either from the objects
// linked into it (the library's among them) comes here first. A test arms the
// wrappers only around the call under test, and the fake JNIEnv's own
// allocations are left out. The C++ code off the device (secret_bytes.h)
// allocates with operator new, wrapped the same way so that it can fail on
// demand.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "glue_test_support.h"
#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/fake_jni.h"

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* p);

namespace {

// The state is plain globals: the tests are single-threaded, and nothing here
// may allocate.
bool g_fail_next = false;  // the next watched malloc gives null
bool g_inspect = false;    // count and check blocks as they come and go
int g_inside_fake = 0;     // depth of calls into the fake JNIEnv
size_t g_failures_given = 0;
size_t g_allocated = 0;
size_t g_freed = 0;
size_t g_dirty = 0;
uint8_t g_first_dirty[64];
size_t g_first_dirty_size = 0;

// The blocks handed out while inspecting, with their sizes, so that free can
// look at a whole block. Other blocks pass through untouched.
struct Watched {
  void* p;
  size_t size;
};
Watched g_blocks[64];
size_t g_block_count = 0;

bool watching() { return g_inside_fake == 0; }

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  if (g_fail_next && watching()) {
    g_fail_next = false;
    ++g_failures_given;
    return nullptr;
  }
  void* p = __real_malloc(size);
  if (p != nullptr && g_inspect && watching() &&
      g_block_count < sizeof g_blocks / sizeof g_blocks[0]) {
    g_blocks[g_block_count++] = Watched{p, size};
    ++g_allocated;
  }
  return p;
}

extern "C" void __wrap_free(void* p) {
  for (size_t i = 0; p != nullptr && i < g_block_count; ++i) {
    if (g_blocks[i].p != p) continue;
    ++g_freed;
    const auto* bytes = static_cast<const uint8_t*>(p);
    const size_t size = g_blocks[i].size;
    const bool zero =
        std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
    if (!zero && g_dirty++ == 0) {
      g_first_dirty_size = size;
      std::memcpy(g_first_dirty, bytes, std::min(size, sizeof g_first_dirty));
    }
    g_blocks[i] = g_blocks[--g_block_count];
    break;
  }
  __real_free(p);
}

// operator new(size_t) by its linker name, wrapped like malloc (the build
// passes --wrap for it), for the C++ code off the device (secret_bytes.h).
#if __SIZEOF_SIZE_T__ == __SIZEOF_LONG__ && __SIZEOF_LONG__ != __SIZEOF_INT__
#define ROOTCHECKER_REAL_NEW __real__Znwm
#define ROOTCHECKER_WRAP_NEW __wrap__Znwm
#else
#define ROOTCHECKER_REAL_NEW __real__Znwj
#define ROOTCHECKER_WRAP_NEW __wrap__Znwj
#endif
extern "C" void* ROOTCHECKER_REAL_NEW(size_t size);

namespace {
bool g_fail_next_new = false;  // the next operator new throws
}  // namespace

extern "C" void* ROOTCHECKER_WRAP_NEW(size_t size) {
  if (g_fail_next_new) {
    g_fail_next_new = false;
    throw std::bad_alloc();
  }
  return ROOTCHECKER_REAL_NEW(size);
}

namespace {

void observe_fake(bool entering) { g_inside_fake += entering ? 1 : -1; }

jbyteArray decrypt(FakeJniEnv& fake, jbyteArray blob) {
  return Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
      fake.env(), nullptr, blob);
}

class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fail_next = g_inspect = false;
    g_inside_fake = 0;
    g_failures_given = g_allocated = g_freed = g_dirty = 0;
    g_block_count = 0;
    g_first_dirty_size = 0;
    const uint32_t seed = test_seed();
    rng_.seed(seed);
    seed_ = seed_trace(seed);
  }
  void TearDown() override {
    g_fail_next = g_inspect = g_fail_next_new = false;
  }

  std::mt19937 rng_;
  std::string seed_;
};

TEST_F(AllocationTest, FailedWorkingBufferReleasesAndReturnsNull) {
  SCOPED_TRACE(seed_);
  const Bytes blob = sealed_blob(rng_, plaintext_ending_in(rng_, 3, 5));
  FakeJniEnv fake;
  fake.set_call_observer(&observe_fake);
  const jbyteArray blob_ref = fake.set_blob(blob);

  g_fail_next = true;
  const jbyteArray result = decrypt(fake, blob_ref);
  g_fail_next = false;

  ASSERT_EQ(g_failures_given, 1u) << "the library allocated nothing to fail";
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(fake.calls(),
            (std::vector<std::string>{
                "GetArrayLength(blob)", "GetByteArrayElements(blob)",
                "ReleaseByteArrayElements(blob, JNI_ABORT)"}))
      << fake.report();
  EXPECT_EQ(fake.blob(), blob) << "caller's array now " << to_hex(fake.blob());
  EXPECT_TRUE(fake.violations().empty()) << fake.report();
  EXPECT_TRUE(fake.leaks().empty()) << fake.report();
  EXPECT_FALSE(fake.exception_pending());
}

// The core reports the failure as its own result, and hands out nothing.
TEST_F(AllocationTest, CoreReportsAFailedWorkingBuffer) {
  SCOPED_TRACE(seed_);
  const Bytes blob = sealed_blob(rng_, plaintext_ending_in(rng_, 2, 4));
  uint8_t sentinel = 0;
  uint8_t* password = &sentinel;

  g_fail_next = true;
  const int32_t result = decrypt_password_blob(
      blob.data(), static_cast<uint32_t>(blob.size()), &password);
  g_fail_next = false;

  ASSERT_EQ(g_failures_given, 1u) << "the core allocated nothing to fail";
  EXPECT_EQ(result, kPasswordOutOfMemory);
  EXPECT_EQ(password, nullptr);
}

// secret_bytes' decrypt_password_blob when the password's own copy cannot be
// allocated: the exception comes through, and the working buffer, which
// holds the password, is wiped and freed all the same.
TEST_F(AllocationTest, FailedPasswordCopyWipesTheWorkingBuffer) {
  SCOPED_TRACE(seed_);
  const Bytes blob = sealed_blob(rng_, plaintext_ending_in(rng_, 2, 4));
  secret_bytes password;
  bool threw = false;
  g_inspect = true;
  g_fail_next_new = true;
  try {
    decrypt_password_blob(blob.data(), static_cast<uint32_t>(blob.size()),
                          password);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  const bool new_failed = !g_fail_next_new;
  g_fail_next_new = g_inspect = false;

  ASSERT_TRUE(new_failed) << "the password's copy allocated nothing to fail";
  EXPECT_TRUE(threw);
  EXPECT_TRUE(password.empty());
  EXPECT_EQ(g_allocated, 1u) << "one working buffer";
  EXPECT_EQ(g_freed, g_allocated) << "the working buffer was never freed";
  EXPECT_EQ(g_dirty, 0u) << "freed unwiped, " << g_first_dirty_size
                         << " bytes: "
                         << to_hex(g_first_dirty,
                                   std::min(g_first_dirty_size,
                                            sizeof g_first_dirty));
}

// Every block the library frees during a call holds only zeros by then: the
// decrypted password and the padding do not stay behind in the heap.
TEST_F(AllocationTest, FreedBlocksAreWiped) {
  SCOPED_TRACE(seed_);
  struct Case {
    const char* name;
    size_t blocks;
    uint8_t last;
    bool succeeds;
  };
  for (const Case& c : {Case{"success, 43-byte password", 3, 5, true},
                        Case{"success, empty password", 1, 16, true},
                        Case{"padding byte 0", 2, 0, false},
                        Case{"padding byte 200", 4, 200, false}}) {
    SCOPED_TRACE(c.name);
    const Bytes blob =
        sealed_blob(rng_, plaintext_ending_in(rng_, c.blocks, c.last));
    FakeJniEnv fake;
    fake.set_call_observer(&observe_fake);
    const jbyteArray blob_ref = fake.set_blob(blob);
    g_allocated = g_freed = g_dirty = 0;
    g_block_count = 0;

    g_inspect = true;
    const jbyteArray result = decrypt(fake, blob_ref);
    g_inspect = false;

    EXPECT_EQ(result != nullptr, c.succeeds) << fake.report();
    EXPECT_GE(g_freed, 1u) << "the working buffer was never freed";
    EXPECT_EQ(g_freed, g_allocated) << "blocks left allocated";
    EXPECT_EQ(g_dirty, 0u) << "first dirty block, " << g_first_dirty_size
                           << " bytes: "
                           << to_hex(g_first_dirty,
                                     std::min(g_first_dirty_size,
                                              sizeof g_first_dirty));
    EXPECT_TRUE(fake.violations().empty()) << fake.report();
    EXPECT_TRUE(fake.leaks().empty()) << fake.report();
  }
}

}  // namespace
