// nativeCheckForRoot through the fake JNIEnv, on real files in a temp dir.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "native/root_checker.h"
#include "support/fake_jni.h"
#include "support/probe_support.h"

namespace {

using Paths = std::vector<std::optional<std::string>>;
using Calls = std::vector<std::string>;

// The calls for one element that is fetched, probed and given back.
Calls element_calls(int index) {
  const std::string ref = "paths[" + std::to_string(index) + "]";
  return {"GetObjectArrayElement(paths, " + std::to_string(index) + ")",
          "GetStringUTFChars(" + ref + ")",
          "ReleaseStringUTFChars(" + ref + ")", "DeleteLocalRef(" + ref + ")"};
}

Calls concat(std::initializer_list<Calls> parts) {
  Calls out;
  for (const Calls& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

size_t open_descriptors() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

class RootCheckGlue : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "rootchecker-jni-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    dir_ = pattern;
    readable_ = make_file("readable");
    // Bytes passed as they are: a space and a two-byte UTF-8 character.
    unusual_ = make_file("r\xc3\xa9 adable");
    missing_ = dir_ + "/missing";
  }
  void TearDown() override {
    for (const auto& path : created_) std::remove(path.c_str());
    rmdir(dir_.c_str());
  }

  std::string make_file(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    EXPECT_NE(f, nullptr) << path;
    if (f != nullptr) {
      std::fputs("x", f);
      std::fclose(f);
    }
    created_.push_back(path);
    return path;
  }

  static jint check(FakeJniEnv& fake, jobjectArray paths) {
    return Java_com_torvanelk_pemblisk_utils_NativeRootChecker_nativeCheckForRoot(
        fake.env(), nullptr, paths);
  }

  std::string dir_, readable_, unusual_, missing_;
  std::vector<std::string> created_;
};

TEST_F(RootCheckGlue, EmptyArrayOnlyAsksTheLength) {
  FakeJniEnv fake;
  EXPECT_EQ(check(fake, fake.set_paths({})), 0);
  EXPECT_EQ(fake.calls(), Calls{"GetArrayLength(paths)"}) << fake.report();
  EXPECT_TRUE(fake.violations().empty()) << fake.report();
}

TEST_F(RootCheckGlue, TwoElementsMakeTheExactCallSequence) {
  FakeJniEnv fake;
  EXPECT_EQ(check(fake, fake.set_paths({readable_, missing_})), 1);
  EXPECT_EQ(
      fake.calls(),
      concat({{"GetArrayLength(paths)"}, element_calls(0), element_calls(1)}))
      << fake.report();
  EXPECT_TRUE(fake.violations().empty()) << fake.report();
  EXPECT_TRUE(fake.leaks().empty()) << fake.report();
}

TEST_F(RootCheckGlue, NullArrayMakesNoCall) {
  FakeJniEnv fake;
  EXPECT_EQ(check(fake, nullptr), 0);
  EXPECT_TRUE(fake.calls().empty()) << fake.report();
}

TEST_F(RootCheckGlue, NullElementIsSkippedAndTheLoopGoesOn) {
  FakeJniEnv fake;
  EXPECT_EQ(check(fake, fake.set_paths({readable_, std::nullopt, readable_})),
            2);
  EXPECT_EQ(fake.calls(), concat({{"GetArrayLength(paths)"},
                                  element_calls(0),
                                  {"GetObjectArrayElement(paths, 1)"},
                                  element_calls(2)}))
      << fake.report();
  EXPECT_TRUE(fake.violations().empty()) << fake.report();
  EXPECT_TRUE(fake.leaks().empty()) << fake.report();
}

TEST_F(RootCheckGlue, FailedCharsDeleteTheElementAndStop) {
  FakeJniEnv fake;
  fake.fail_string_chars_at(1);
  EXPECT_EQ(check(fake, fake.set_paths({readable_, readable_, readable_})), 1);
  EXPECT_EQ(fake.calls(), concat({{"GetArrayLength(paths)"},
                                  element_calls(0),
                                  {"GetObjectArrayElement(paths, 1)",
                                   "GetStringUTFChars(paths[1])",
                                   "DeleteLocalRef(paths[1])"}}))
      << fake.report();
  // The OutOfMemoryError stays pending for the caller; nothing forbidden
  // followed it.
  EXPECT_TRUE(fake.exception_pending());
  EXPECT_TRUE(fake.violations().empty()) << fake.report();
  EXPECT_TRUE(fake.leaks().empty()) << fake.report();
}

// Counts, and the JNI discipline on every path: nothing forbidden, nothing
// left held, one element and one character buffer at a time, no descriptor
// left open.
TEST_F(RootCheckGlue, CountsAndDiscipline) {
  struct Case {
    const char* name;
    Paths paths;
    std::optional<jsize> fail_chars_at;
    jint count;
    size_t probed;
  };
  // clang-format off
  const std::vector<Case> cases = {
      // name                            paths                                 fail at  count probed
      {"readable, missing, readable",   {readable_, missing_, readable_},      {},      2,    3},
      {"one readable path three times", {readable_, readable_, readable_},     {},      3,    3},
      {"only missing",                  {missing_, missing_},                  {},      0,    2},
      {"bytes passed as they are",      {unusual_},                            {},      1,    1},
      {"no trimming",                   {readable_ + " ", " " + readable_},    {},      0,    2},
      {"nulls around",                  {std::nullopt, readable_, std::nullopt}, {},    1,    1},
      {"only nulls",                    {std::nullopt, std::nullopt},          {},      0,    0},
      {"chars fail at the first",       {readable_, readable_},                0,       0,    0},
      {"chars fail at the last",        {readable_, missing_, readable_},      2,       1,    2},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeJniEnv fake;
    if (c.fail_chars_at) fake.fail_string_chars_at(*c.fail_chars_at);
    const jobjectArray paths = fake.set_paths(c.paths);
    const size_t descriptors = open_descriptors();
    EXPECT_EQ(check(fake, paths), c.count) << fake.report();
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(fake.strings_fetched(), c.probed) << fake.report();
    EXPECT_TRUE(fake.violations().empty()) << fake.report();
    EXPECT_TRUE(fake.leaks().empty()) << fake.report();
    EXPECT_LE(fake.max_live_element_refs(), 1u);
    EXPECT_LE(fake.max_live_string_chars(), 1u);
  }
}

TEST_F(RootCheckGlue, LongArrayHoldsOneElementAtATime) {
  Paths paths;
  jint readable = 0;
  for (int i = 0; i < 2000; ++i) {
    switch (i % 3) {
      case 0:
        paths.emplace_back(readable_);
        ++readable;
        break;
      case 1:
        paths.emplace_back(missing_);
        break;
      default:
        paths.emplace_back(std::nullopt);
        break;
    }
  }
  FakeJniEnv fake;
  EXPECT_EQ(check(fake, fake.set_paths(paths)), readable);
  EXPECT_EQ(fake.max_live_element_refs(), 1u);
  EXPECT_EQ(fake.max_live_string_chars(), 1u);
  EXPECT_TRUE(fake.violations().empty()) << fake.violations().front();
  EXPECT_TRUE(fake.leaks().empty()) << fake.leaks().front();
}

// Relies on the kernel's RLIMIT_NOFILE, in a child with every descriptor
// taken: the first probe fails, so the call answers -1, after giving back
// that element's characters and reference and without fetching another.
// With one descriptor free again the same array counts as it should.
class RootCheckGlueKernelTest : public RootCheckGlue {};

TEST_F(RootCheckGlueKernelTest, OutOfDescriptorsAnswersMinusOne) {
  struct Case {
    const char* name;
    Paths paths;
    jint count;   // with a descriptor free
    Calls calls;  // with none
  };
  const std::vector<Case> cases = {
      {"readable, missing, readable",
       {readable_, missing_, readable_},
       2,
       concat({{"GetArrayLength(paths)"}, element_calls(0)})},
      {"a null element, then only missing paths",
       {std::nullopt, missing_, missing_},
       0,
       concat({{"GetArrayLength(paths)", "GetObjectArrayElement(paths, 0)"},
               element_calls(1)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string> report = report_of_child([&] {
      FakeJniEnv exhausted, spared;
      const jobjectArray paths = exhausted.set_paths(c.paths);
      const jobjectArray same = spared.set_paths(c.paths);
      const int spare = exhaust_descriptors();
      if (spare < 0) {
        return std::string("cannot fill the descriptor table: ") +
               std::strerror(errno);
      }
      std::string out = "count " + std::to_string(check(exhausted, paths));
      for (const std::string& call : exhausted.calls()) out += "\n" + call;
      for (const std::string& v : exhausted.violations()) out += "\n! " + v;
      for (const std::string& l : exhausted.leaks()) out += "\n! leak " + l;
      ::close(spare);
      out += "\n| one free: count " + std::to_string(check(spared, same));
      return out;
    });
    ASSERT_TRUE(report);
    std::string expected = "count -1";
    for (const std::string& call : c.calls) expected += "\n" + call;
    expected += "\n| one free: count " + std::to_string(c.count);
    EXPECT_EQ(*report, expected);
  }
}

}  // namespace
