// nativeDecrypt against a failing and an inspecting allocator. This binary
// replaces the global operator new and delete; a test arms them only around
// the call under test, and the fake JNIEnv's own allocations are left out.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "glue_test_support.h"
#include "native/password_decrypter.h"
#include "support/fake_jni.h"

namespace {

// Every block carries its size in a header just before it, so that a free
// can look at the whole block.
struct Header {
  size_t size;
  size_t offset;  // from the start of the malloc'd region to the block
};
constexpr size_t kMinPad = 16;
static_assert(sizeof(Header) <= kMinPad, "header does not fit");

// The state is plain globals: the tests are single-threaded, and nothing here
// may allocate.
bool g_fail_next = false;  // the next allocation throws std::bad_alloc
bool g_inspect = false;    // count and check blocks as they come and go
int g_inside_fake = 0;     // depth of calls into the fake JNIEnv
size_t g_failures_thrown = 0;
size_t g_allocated = 0;
size_t g_freed = 0;
size_t g_dirty = 0;
uint8_t g_first_dirty[64];
size_t g_first_dirty_size = 0;

size_t g_seen = 0;  // every allocation that came through here

bool watching() { return g_inside_fake == 0; }

void* allocate(size_t size, size_t alignment) {
  if (g_fail_next && watching()) {
    g_fail_next = false;
    ++g_failures_thrown;
    throw std::bad_alloc();
  }
  ++g_seen;
  const size_t pad = std::max(alignment, kMinPad);
  void* region = nullptr;
  if (posix_memalign(&region, pad, pad + size) != 0) throw std::bad_alloc();
  uint8_t* block = static_cast<uint8_t*>(region) + pad;
  Header* header = reinterpret_cast<Header*>(block) - 1;
  header->size = size;
  header->offset = pad;
  if (g_inspect && watching()) ++g_allocated;
  return block;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  uint8_t* block = static_cast<uint8_t*>(p);
  const Header* header = reinterpret_cast<const Header*>(block) - 1;
  if (g_inspect && watching()) {
    ++g_freed;
    const bool zero = std::all_of(block, block + header->size,
                                  [](uint8_t b) { return b == 0; });
    if (!zero && g_dirty++ == 0) {
      g_first_dirty_size = header->size;
      std::memcpy(g_first_dirty, block,
                  std::min(header->size, sizeof g_first_dirty));
    }
  }
  free(block - header->offset);
}

void* allocate_nothrow(size_t size, size_t alignment) noexcept {
  try {
    return allocate(size, alignment);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

constexpr size_t kDefault = alignof(std::max_align_t);

}  // namespace

// Never inlined or cloned: a tool that swaps in its own allocator (valgrind)
// must see every call.
#if defined(__clang__)
#define REPLACEMENT __attribute__((noinline))
#else
#define REPLACEMENT __attribute__((noipa))
#endif

REPLACEMENT void* operator new(size_t size) { return allocate(size, kDefault); }
REPLACEMENT void* operator new[](size_t size) {
  return allocate(size, kDefault);
}
REPLACEMENT void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, kDefault);
}
REPLACEMENT void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, kDefault);
}
REPLACEMENT void* operator new(size_t size, std::align_val_t a) {
  return allocate(size, static_cast<size_t>(a));
}
REPLACEMENT void* operator new[](size_t size, std::align_val_t a) {
  return allocate(size, static_cast<size_t>(a));
}
REPLACEMENT void* operator new(size_t size, std::align_val_t a,
                               const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, static_cast<size_t>(a));
}
REPLACEMENT void* operator new[](size_t size, std::align_val_t a,
                                 const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, static_cast<size_t>(a));
}
REPLACEMENT void operator delete(void* p) noexcept { release(p); }
REPLACEMENT void operator delete[](void* p) noexcept { release(p); }
REPLACEMENT void operator delete(void* p, size_t) noexcept { release(p); }
REPLACEMENT void operator delete[](void* p, size_t) noexcept { release(p); }
REPLACEMENT void operator delete(void* p, const std::nothrow_t&) noexcept {
  release(p);
}
REPLACEMENT void operator delete[](void* p, const std::nothrow_t&) noexcept {
  release(p);
}
REPLACEMENT void operator delete(void* p, std::align_val_t) noexcept {
  release(p);
}
REPLACEMENT void operator delete[](void* p, std::align_val_t) noexcept {
  release(p);
}
REPLACEMENT void operator delete(void* p, size_t, std::align_val_t) noexcept {
  release(p);
}
REPLACEMENT void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  release(p);
}
REPLACEMENT void operator delete(void* p, std::align_val_t,
                                 const std::nothrow_t&) noexcept {
  release(p);
}
REPLACEMENT void operator delete[](void* p, std::align_val_t,
                                   const std::nothrow_t&) noexcept {
  release(p);
}

namespace {

void observe_fake(bool entering) { g_inside_fake += entering ? 1 : -1; }

jbyteArray decrypt(FakeJniEnv& fake, jbyteArray blob) {
  return Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
      fake.env(), nullptr, blob);
}

// Valgrind puts its own operator new and delete in place of this binary's,
// unless told not to (--soname-synonyms=somalloc=nouserintercepts).
bool replacement_is_live() {
  const size_t before = g_seen;
  delete new volatile int(0);
  return g_seen != before;
}

class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!replacement_is_live()) {
      GTEST_SKIP() << "operator new is not this binary's own (under valgrind, "
                      "add --soname-synonyms=somalloc=nouserintercepts)";
    }
    g_fail_next = g_inspect = false;
    g_inside_fake = 0;
    g_failures_thrown = g_allocated = g_freed = g_dirty = 0;
    g_first_dirty_size = 0;
    const uint32_t seed = test_seed();
    rng_.seed(seed);
    seed_ = seed_trace(seed);
  }
  void TearDown() override { g_fail_next = g_inspect = false; }

  std::mt19937 rng_;
  std::string seed_;
};

TEST_F(AllocationTest, FailedWorkingBufferReleasesAndReturnsNull) {
  SCOPED_TRACE(seed_);
  const Bytes blob = sealed_blob(rng_, plaintext_ending_in(rng_, 3, 5));
  FakeJniEnv fake;
  fake.set_call_observer(&observe_fake);
  const jbyteArray blob_ref = fake.set_blob(blob);

  jbyteArray result = nullptr;
  bool escaped = false;
  try {
    g_fail_next = true;
    result = decrypt(fake, blob_ref);
    g_fail_next = false;
  } catch (...) {
    g_fail_next = false;
    escaped = true;
  }

  EXPECT_FALSE(escaped) << "a C++ exception left nativeDecrypt";
  ASSERT_EQ(g_failures_thrown, 1u) << "the library allocated nothing to fail";
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
