// A recording fake of the JNI function table, for driving the library's JNI
// entry points without a virtual machine.
//
// It implements exactly the functions the library uses (GetArrayLength,
// GetObjectArrayElement, GetStringUTFChars, ReleaseStringUTFChars,
// DeleteLocalRef, GetByteArrayElements, ReleaseByteArrayElements,
// NewByteArray, SetByteArrayRegion). Every other slot of the table prints its
// index and aborts the process.
//
// Each call is recorded as text, e.g. "GetObjectArrayElement(paths, 1)" or
// "ReleaseByteArrayElements(blob, JNI_ABORT)". References are named "paths",
// "paths[i]" (an element's local reference), "blob" and "result".
//
// The fake also checks the caller's JNI discipline and records every breach
// in violations(): a call other than a release or DeleteLocalRef while an
// exception is pending, a null, stale or wrong kind of reference, a release
// with a pointer that was not handed out for that object (or twice), an
// index out of bounds, an unknown release mode. leaks() lists what is still
// held: character buffers, array elements and element references.
//
// A fake serves one thread, as a JNIEnv does; it takes no lock.
#ifndef ROOTCHECKER_TESTS_SUPPORT_FAKE_JNI_H
#define ROOTCHECKER_TESTS_SUPPORT_FAKE_JNI_H

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class FakeJniEnv {
 public:
  FakeJniEnv();
  FakeJniEnv(const FakeJniEnv&) = delete;
  FakeJniEnv& operator=(const FakeJniEnv&) = delete;

  // The JNIEnv to hand to the code under test. Valid while the fake lives.
  JNIEnv* env() { return &env_; }

  // --- Script -------------------------------------------------------------
  // The string array; std::nullopt is a null element. Returns its reference.
  jobjectArray set_paths(std::vector<std::optional<std::string>> paths);
  // The byte array; returns its reference.
  jbyteArray set_blob(std::vector<uint8_t> bytes);
  // GetStringUTFChars on element `index` returns null and leaves an
  // OutOfMemoryError pending.
  void fail_string_chars_at(jsize index) { fail_chars_at_ = index; }
  // GetByteArrayElements / NewByteArray return null with an
  // OutOfMemoryError pending.
  void fail_byte_array_elements() { fail_elements_ = true; }
  void fail_new_byte_array() { fail_new_array_ = true; }
  // Called with true on entry to and false on exit from every implemented
  // function, so that a test can tell the fake's own allocations apart.
  void set_call_observer(void (*observer)(bool entering)) {
    observer_ = observer;
  }

  // Adds a call of something other than the JNI to the log, for a test that
  // watches where in the JNI sequence it happens.
  void note(std::string call) { calls_.push_back(std::move(call)); }

  // --- What happened ------------------------------------------------------
  const std::vector<std::string>& calls() const { return calls_; }
  const std::vector<std::string>& violations() const { return violations_; }
  std::vector<std::string> leaks() const;
  // calls, violations and leaks as one printable text.
  std::string report() const;
  bool exception_pending() const { return exception_pending_; }
  // Contents of the blob as the caller sees it now.
  const std::vector<uint8_t>& blob() const { return blob_; }
  // Contents of an array made by NewByteArray, or nullopt if `array` is not
  // one.
  std::optional<std::vector<uint8_t>> result_bytes(jbyteArray array) const;
  // The most element references / character buffers held at one moment.
  size_t max_live_element_refs() const { return max_live_refs_; }
  size_t max_live_string_chars() const { return max_live_chars_; }
  // How many paths GetStringUTFChars handed out.
  size_t strings_fetched() const { return strings_fetched_; }

 private:
  enum class Kind { kPaths, kElement, kBlob, kResult };
  struct Ref {
    Kind kind;
    std::string name;
    jsize element;  // kElement: index in the path array
    bool live;
  };
  struct CharsLease {
    jobject owner;
    std::unique_ptr<char[]> buffer;
  };
  struct ElementsLease {
    jobject owner;
    std::unique_ptr<jbyte[]> buffer;
  };
  class CallScope;
  friend class CallScope;

  static FakeJniEnv& self(JNIEnv* env);
  jobject new_ref(Kind kind, std::string name, jsize element = -1);
  // Looks `ref` up; records a violation and returns null when it is null,
  // unknown, deleted or not of kind `kind`.
  const Ref* check_ref(const char* function, jobject ref, Kind kind);
  std::string name_of(jobject ref) const;
  void violation(std::string what);
  void throw_out_of_memory() { exception_pending_ = true; }
  size_t live_element_refs() const;

  static jsize JNICALL GetArrayLength(JNIEnv* env, jarray array);
  static jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray array,
                                               jsize index);
  static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring string,
                                               jboolean* is_copy);
  static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring string,
                                            const char* chars);
  static void JNICALL DeleteLocalRef(JNIEnv* env, jobject ref);
  static jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray array,
                                             jboolean* is_copy);
  static void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray array,
                                               jbyte* elements, jint mode);
  static jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length);
  static void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array,
                                         jsize start, jsize length,
                                         const jbyte* bytes);

  JNINativeInterface_ table_;
  JNIEnv env_;

  std::map<jobject, Ref> refs_;
  uintptr_t next_handle_ = 0x1000;
  jobjectArray paths_ref_ = nullptr;
  jbyteArray blob_ref_ = nullptr;
  std::vector<std::optional<std::string>> paths_;
  std::vector<uint8_t> blob_;
  std::map<jobject, std::vector<uint8_t>> results_;
  std::map<const char*, CharsLease> chars_;
  std::map<jbyte*, ElementsLease> elements_;

  std::optional<jsize> fail_chars_at_;
  bool fail_elements_ = false;
  bool fail_new_array_ = false;
  void (*observer_)(bool entering) = nullptr;

  bool exception_pending_ = false;
  std::vector<std::string> calls_;
  std::vector<std::string> violations_;
  size_t max_live_refs_ = 0;
  size_t max_live_chars_ = 0;
  size_t strings_fetched_ = 0;
};

#endif  // ROOTCHECKER_TESTS_SUPPORT_FAKE_JNI_H
