// The fake JNIEnv catches the faults the glue tests rely on it to catch.
#include "support/fake_jni.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& line : lines) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST(FakeJniDeathTest, UnimplementedSlotAbortsNamingItsIndex) {
  FakeJniEnv fake;
  // GetVersion is slot 4 of the JNI function table.
  EXPECT_DEATH(fake.env()->GetVersion(), "slot 4,");
  EXPECT_DEATH(fake.env()->ExceptionCheck(), "slot 228,");
}

TEST(FakeJni, CallWithExceptionPendingIsAViolation) {
  FakeJniEnv fake;
  fake.fail_string_chars_at(0);
  JNIEnv* env = fake.env();
  const jobjectArray paths = fake.set_paths({"/a"});
  const auto element =
      static_cast<jstring>(env->GetObjectArrayElement(paths, 0));
  EXPECT_EQ(env->GetStringUTFChars(element, nullptr), nullptr);
  EXPECT_TRUE(fake.exception_pending());
  env->DeleteLocalRef(element);  // allowed
  EXPECT_TRUE(fake.violations().empty()) << fake.report();
  env->GetArrayLength(paths);  // not allowed
  EXPECT_TRUE(
      contains(fake.violations(),
               "GetArrayLength(paths) called with an exception pending"))
      << fake.report();
}

TEST(FakeJni, LeaksAndBadReleasesAreReported) {
  FakeJniEnv fake;
  JNIEnv* env = fake.env();
  const jobjectArray paths = fake.set_paths({"/a", "/b"});
  const auto a = static_cast<jstring>(env->GetObjectArrayElement(paths, 0));
  const auto b = static_cast<jstring>(env->GetObjectArrayElement(paths, 1));
  const char* a_chars = env->GetStringUTFChars(a, nullptr);
  EXPECT_STREQ(a_chars, "/a");
  env->GetStringUTFChars(b, nullptr);
  env->ReleaseStringUTFChars(b, a_chars);  // wrong owner
  env->ReleaseStringUTFChars(a, a_chars);  // already released
  env->DeleteLocalRef(a);
  env->DeleteLocalRef(a);              // twice
  env->GetStringUTFChars(a, nullptr);  // stale
  EXPECT_EQ(fake.max_live_element_refs(), 2u);
  EXPECT_EQ(fake.max_live_string_chars(), 2u);
  const auto& v = fake.violations();
  EXPECT_TRUE(contains(v, "given the characters of paths[0]")) << fake.report();
  EXPECT_TRUE(contains(
      v, "ReleaseStringUTFChars(paths[0]) given characters that are not held"))
      << fake.report();
  EXPECT_TRUE(contains(v, "DeleteLocalRef of paths[0], which is not a live"))
      << fake.report();
  EXPECT_TRUE(contains(v, "GetStringUTFChars given deleted reference paths[0]"))
      << fake.report();
  EXPECT_EQ(fake.leaks(),
            (std::vector<std::string>{"characters of paths[1] not released",
                                      "local reference paths[1] not deleted"}))
      << fake.report();
}

// The elements are a copy: only a release that copies back changes the
// caller's array, so a wrong mode shows.
TEST(FakeJni, ReleaseModesDecideWhatReachesTheArray) {
  struct Case {
    jint mode;
    bool copied_back;
    bool still_held;
  };
  for (const Case& c : {Case{JNI_ABORT, false, false}, Case{0, true, false},
                        Case{JNI_COMMIT, true, true}}) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    FakeJniEnv fake;
    JNIEnv* env = fake.env();
    const std::vector<uint8_t> original = {1, 2, 3};
    const jbyteArray blob = fake.set_blob(original);
    jbyte* elements = env->GetByteArrayElements(blob, nullptr);
    elements[0] = 9;
    env->ReleaseByteArrayElements(blob, elements, c.mode);
    EXPECT_EQ(fake.blob()[0], c.copied_back ? 9 : 1);
    EXPECT_EQ(fake.leaks().size(), c.still_held ? 1u : 0u) << fake.report();
    EXPECT_TRUE(fake.violations().empty()) << fake.report();
  }
}

TEST(FakeJni, ArraysAreBoundsChecked) {
  FakeJniEnv fake;
  JNIEnv* env = fake.env();
  const jbyteArray result = env->NewByteArray(2);
  const jbyte bytes[3] = {1, 2, 3};
  env->SetByteArrayRegion(result, 1, 2, bytes);
  EXPECT_TRUE(contains(fake.violations(), "out of bounds")) << fake.report();
  EXPECT_TRUE(fake.exception_pending());
  EXPECT_EQ(fake.result_bytes(result), (std::vector<uint8_t>{0, 0}));
}

}  // namespace
