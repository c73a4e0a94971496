#include "support/fake_jni.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

using Slot = void (*)();

// Every slot the fake does not implement lands here. The JNI specification
// numbers the function table, so the index says which function was called.
// The trap is reached through pointers of other types; it takes and returns
// nothing, so UBSan's function check is switched off for it alone.
#if defined(__clang__)
#define FAKE_JNI_TRAP_ATTRIBUTES \
  [[noreturn]] __attribute__((no_sanitize("function")))
#else
#define FAKE_JNI_TRAP_ATTRIBUTES [[noreturn]]
#endif

template <size_t kIndex>
FAKE_JNI_TRAP_ATTRIBUTES void trap() {
  std::fprintf(stderr,
               "FakeJniEnv: call through JNI function table slot %zu, which "
               "the fake does not implement\n",
               kIndex);
  std::abort();
}

template <size_t... kIndex>
constexpr std::array<Slot, sizeof...(kIndex)> make_traps(
    std::index_sequence<kIndex...>) {
  return {&trap<kIndex>...};
}

constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(Slot);
static_assert(sizeof(JNINativeInterface_) == kSlots * sizeof(Slot),
              "the JNI function table is not an array of pointers");

constexpr jbyte kReleasedPoison = static_cast<jbyte>(0xdb);

std::string mode_name(jint mode) {
  switch (mode) {
    case 0:
      return "0";
    case JNI_COMMIT:
      return "JNI_COMMIT";
    case JNI_ABORT:
      return "JNI_ABORT";
    default:
      return "mode " + std::to_string(mode);
  }
}

}  // namespace

// Brackets one fake JNI function: tells the observer, and records the call,
// noting a breach when it is not one of the functions the JNI allows while
// an exception is pending.
class FakeJniEnv::CallScope {
 public:
  CallScope(JNIEnv* env, bool allowed_with_exception, const char* function)
      : fake_(self(env)),
        function_(function),
        allowed_(allowed_with_exception) {
    if (fake_.observer_ != nullptr) fake_.observer_(true);
  }
  ~CallScope() {
    if (fake_.observer_ != nullptr) fake_.observer_(false);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  FakeJniEnv& fake() { return fake_; }

  void record(const std::string& arguments) {
    const std::string call = std::string(function_) + "(" + arguments + ")";
    if (fake_.exception_pending_ && !allowed_) {
      fake_.violation(call + " called with an exception pending");
    }
    fake_.calls_.push_back(call);
  }

 private:
  FakeJniEnv& fake_;
  const char* function_;
  bool allowed_;
};

FakeJniEnv::FakeJniEnv() : table_(), env_() {
  static constexpr std::array<Slot, kSlots> kTraps =
      make_traps(std::make_index_sequence<kSlots>());
  std::memcpy(static_cast<void*>(&table_), kTraps.data(), sizeof table_);
  table_.reserved0 = this;
  table_.reserved1 = nullptr;
  table_.reserved2 = nullptr;
  table_.reserved3 = nullptr;
  table_.GetArrayLength = &FakeJniEnv::GetArrayLength;
  table_.GetObjectArrayElement = &FakeJniEnv::GetObjectArrayElement;
  table_.GetStringUTFChars = &FakeJniEnv::GetStringUTFChars;
  table_.ReleaseStringUTFChars = &FakeJniEnv::ReleaseStringUTFChars;
  table_.DeleteLocalRef = &FakeJniEnv::DeleteLocalRef;
  table_.GetByteArrayElements = &FakeJniEnv::GetByteArrayElements;
  table_.ReleaseByteArrayElements = &FakeJniEnv::ReleaseByteArrayElements;
  table_.NewByteArray = &FakeJniEnv::NewByteArray;
  table_.SetByteArrayRegion = &FakeJniEnv::SetByteArrayRegion;
  env_.functions = &table_;
}

FakeJniEnv& FakeJniEnv::self(JNIEnv* env) {
  return *static_cast<FakeJniEnv*>(env->functions->reserved0);
}

jobjectArray FakeJniEnv::set_paths(
    std::vector<std::optional<std::string>> paths) {
  paths_ = std::move(paths);
  paths_ref_ = static_cast<jobjectArray>(new_ref(Kind::kPaths, "paths"));
  return paths_ref_;
}

jbyteArray FakeJniEnv::set_blob(std::vector<uint8_t> bytes) {
  blob_ = std::move(bytes);
  blob_ref_ = static_cast<jbyteArray>(new_ref(Kind::kBlob, "blob"));
  return blob_ref_;
}

// Handles are never dereferenced by JNI callers, so made-up addresses that
// fault if anyone tries are good enough.
jobject FakeJniEnv::new_ref(Kind kind, std::string name, jsize element) {
  const auto ref = reinterpret_cast<jobject>(next_handle_);
  next_handle_ += 16;
  refs_[ref] = Ref{kind, std::move(name), element, true};
  return ref;
}

const FakeJniEnv::Ref* FakeJniEnv::check_ref(const char* function, jobject ref,
                                             Kind kind) {
  const auto it = refs_.find(ref);
  std::string problem;
  if (ref == nullptr) {
    problem = "a null reference";
  } else if (it == refs_.end()) {
    problem = "an unknown reference";
  } else if (!it->second.live) {
    problem = "deleted reference " + it->second.name;
  } else if (it->second.kind != kind) {
    problem = "the wrong kind of reference, " + it->second.name;
  } else {
    return &it->second;
  }
  violation(std::string(function) + " given " + problem);
  return nullptr;
}

std::string FakeJniEnv::name_of(jobject ref) const {
  if (ref == nullptr) return "null";
  const auto it = refs_.find(ref);
  return it == refs_.end() ? "?" : it->second.name;
}

void FakeJniEnv::violation(std::string what) {
  violations_.push_back(std::move(what));
}

size_t FakeJniEnv::live_element_refs() const {
  size_t live = 0;
  for (const auto& [handle, ref] : refs_) {
    if (ref.kind == Kind::kElement && ref.live) ++live;
  }
  return live;
}

std::vector<std::string> FakeJniEnv::leaks() const {
  std::vector<std::string> out;
  for (const auto& [chars, lease] : chars_) {
    out.push_back("characters of " + name_of(lease.owner) + " not released");
  }
  for (const auto& [elements, lease] : elements_) {
    out.push_back("elements of " + name_of(lease.owner) + " not released");
  }
  for (const auto& [handle, ref] : refs_) {
    if (ref.kind == Kind::kElement && ref.live) {
      out.push_back("local reference " + ref.name + " not deleted");
    }
  }
  return out;
}

std::string FakeJniEnv::report() const {
  std::string out = "JNI calls:\n";
  for (const auto& call : calls_) out += "  " + call + "\n";
  for (const auto& v : violations_) out += "violation: " + v + "\n";
  for (const auto& leak : leaks()) out += "leak: " + leak + "\n";
  if (exception_pending_) out += "an exception is pending\n";
  return out;
}

std::optional<std::vector<uint8_t>> FakeJniEnv::result_bytes(
    jbyteArray array) const {
  const auto it = results_.find(array);
  if (it == results_.end()) return std::nullopt;
  return it->second;
}

jsize JNICALL FakeJniEnv::GetArrayLength(JNIEnv* env, jarray array) {
  CallScope call(env, false, "GetArrayLength");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(array));
  const auto it = f.refs_.find(array);
  if (it != f.refs_.end() && it->second.live) {
    switch (it->second.kind) {
      case Kind::kPaths:
        return static_cast<jsize>(f.paths_.size());
      case Kind::kBlob:
        return static_cast<jsize>(f.blob_.size());
      case Kind::kResult:
        return static_cast<jsize>(f.results_[array].size());
      case Kind::kElement:
        break;
    }
  }
  f.violation("GetArrayLength given " + f.name_of(array) +
              ", which is not a live array");
  return 0;
}

jobject JNICALL FakeJniEnv::GetObjectArrayElement(JNIEnv* env,
                                                  jobjectArray array,
                                                  jsize index) {
  CallScope call(env, false, "GetObjectArrayElement");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(array) + ", " + std::to_string(index));
  if (f.check_ref("GetObjectArrayElement", array, Kind::kPaths) == nullptr) {
    return nullptr;
  }
  if (index < 0 || static_cast<size_t>(index) >= f.paths_.size()) {
    f.violation("GetObjectArrayElement index " + std::to_string(index) +
                " out of bounds");
    f.exception_pending_ = true;  // ArrayIndexOutOfBoundsException
    return nullptr;
  }
  if (!f.paths_[static_cast<size_t>(index)]) return nullptr;
  const jobject element =
      f.new_ref(Kind::kElement, "paths[" + std::to_string(index) + "]", index);
  f.max_live_refs_ = std::max(f.max_live_refs_, f.live_element_refs());
  return element;
}

const char* JNICALL FakeJniEnv::GetStringUTFChars(JNIEnv* env, jstring string,
                                                  jboolean* is_copy) {
  CallScope call(env, false, "GetStringUTFChars");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(string));
  const Ref* ref = f.check_ref("GetStringUTFChars", string, Kind::kElement);
  if (ref == nullptr) return nullptr;
  if (f.fail_chars_at_ == ref->element) {
    f.throw_out_of_memory();
    return nullptr;
  }
  const std::string& path = *f.paths_[static_cast<size_t>(ref->element)];
  auto buffer = std::make_unique<char[]>(path.size() + 1);
  std::memcpy(buffer.get(), path.c_str(), path.size() + 1);
  const char* chars = buffer.get();
  f.chars_[chars] = CharsLease{string, std::move(buffer)};
  f.max_live_chars_ = std::max(f.max_live_chars_, f.chars_.size());
  ++f.strings_fetched_;
  if (is_copy != nullptr) *is_copy = JNI_TRUE;
  return chars;
}

void JNICALL FakeJniEnv::ReleaseStringUTFChars(JNIEnv* env, jstring string,
                                               const char* chars) {
  CallScope call(env, true, "ReleaseStringUTFChars");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(string));
  f.check_ref("ReleaseStringUTFChars", string, Kind::kElement);
  const auto it = f.chars_.find(chars);
  if (it == f.chars_.end()) {
    f.violation("ReleaseStringUTFChars(" + f.name_of(string) +
                ") given characters that are not held");
    return;
  }
  if (it->second.owner != string) {
    f.violation("ReleaseStringUTFChars(" + f.name_of(string) +
                ") given the characters of " + f.name_of(it->second.owner));
  }
  f.chars_.erase(it);
}

void JNICALL FakeJniEnv::DeleteLocalRef(JNIEnv* env, jobject ref) {
  CallScope call(env, true, "DeleteLocalRef");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(ref));
  if (ref == nullptr) return;  // allowed, and does nothing
  const auto it = f.refs_.find(ref);
  if (it != f.refs_.end() && it->second.live &&
      it->second.kind != Kind::kElement) {
    // Legal JNI, but the library must leave the caller's references alone.
    f.violation("DeleteLocalRef of " + it->second.name +
                ", which the library did not create");
  }
  if (it == f.refs_.end() || !it->second.live) {
    f.violation("DeleteLocalRef of " + f.name_of(ref) +
                ", which is not a live reference");
    return;
  }
  it->second.live = false;
}

jbyte* JNICALL FakeJniEnv::GetByteArrayElements(JNIEnv* env, jbyteArray array,
                                                jboolean* is_copy) {
  CallScope call(env, false, "GetByteArrayElements");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(array));
  if (f.check_ref("GetByteArrayElements", array, Kind::kBlob) == nullptr) {
    return nullptr;
  }
  if (f.fail_elements_) {
    f.throw_out_of_memory();
    return nullptr;
  }
  // A copy, so that only a release with copy-back can change the array.
  auto buffer = std::make_unique<jbyte[]>(f.blob_.size() + 1);
  std::memcpy(buffer.get(), f.blob_.data(), f.blob_.size());
  jbyte* elements = buffer.get();
  f.elements_[elements] = ElementsLease{array, std::move(buffer)};
  if (is_copy != nullptr) *is_copy = JNI_TRUE;
  return elements;
}

void JNICALL FakeJniEnv::ReleaseByteArrayElements(JNIEnv* env, jbyteArray array,
                                                  jbyte* elements, jint mode) {
  CallScope call(env, true, "ReleaseByteArrayElements");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(array) + ", " + mode_name(mode));
  f.check_ref("ReleaseByteArrayElements", array, Kind::kBlob);
  const auto it = f.elements_.find(elements);
  if (it == f.elements_.end() || it->second.owner != array) {
    f.violation("ReleaseByteArrayElements(" + f.name_of(array) +
                ") given elements that are not held for it");
    return;
  }
  if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) {
    f.violation("ReleaseByteArrayElements with unknown " + mode_name(mode));
  }
  if (mode == 0 || mode == JNI_COMMIT) {
    std::memcpy(f.blob_.data(), elements, f.blob_.size());
  }
  if (mode != JNI_COMMIT) {
    // Poisoned, so that a read after the release shows up in the result.
    std::memset(elements, kReleasedPoison, f.blob_.size());
    f.elements_.erase(it);
  }
}

jbyteArray JNICALL FakeJniEnv::NewByteArray(JNIEnv* env, jsize length) {
  CallScope call(env, false, "NewByteArray");
  FakeJniEnv& f = call.fake();
  call.record(std::to_string(length));
  if (length < 0) {
    f.violation("NewByteArray with negative length " + std::to_string(length));
    f.exception_pending_ = true;  // NegativeArraySizeException
    return nullptr;
  }
  if (f.fail_new_array_) {
    f.throw_out_of_memory();
    return nullptr;
  }
  const std::string name = f.results_.empty()
                               ? "result"
                               : "result" + std::to_string(f.results_.size());
  const auto array = static_cast<jbyteArray>(f.new_ref(Kind::kResult, name));
  f.results_[array].assign(static_cast<size_t>(length), 0);
  return array;
}

void JNICALL FakeJniEnv::SetByteArrayRegion(JNIEnv* env, jbyteArray array,
                                            jsize start, jsize length,
                                            const jbyte* bytes) {
  CallScope call(env, false, "SetByteArrayRegion");
  FakeJniEnv& f = call.fake();
  call.record(f.name_of(array) + ", " + std::to_string(start) + ", " +
              std::to_string(length));
  if (f.check_ref("SetByteArrayRegion", array, Kind::kResult) == nullptr) {
    return;
  }
  std::vector<uint8_t>& target = f.results_[array];
  if (start < 0 || length < 0 ||
      static_cast<size_t>(start) + static_cast<size_t>(length) >
          target.size()) {
    f.violation("SetByteArrayRegion range out of bounds");
    f.exception_pending_ = true;  // ArrayIndexOutOfBoundsException
    return;
  }
  if (length > 0 && bytes == nullptr) {
    f.violation("SetByteArrayRegion given a null buffer");
    return;
  }
  if (length > 0) {
    std::memcpy(target.data() + start, bytes, static_cast<size_t>(length));
  }
}
