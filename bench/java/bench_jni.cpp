// The JVM harness's yardsticks, reached through JNI like the library: bare
// fopen/fclose and open/close loops over paths converted once, a call that
// does nothing, and nativeDecrypt without the trace wipe (this library holds
// its own copy of the decrypter, built with
// ROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE and exporting nothing but the
// BenchNative methods).
#include <fcntl.h>
#include <jni.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "native/password_decrypter.h"

namespace {

std::vector<std::string> copy_paths(JNIEnv* env, jobjectArray paths) {
  std::vector<std::string> copies;
  const jsize n = env->GetArrayLength(paths);
  for (jsize i = 0; i < n; ++i) {
    auto path = static_cast<jstring>(env->GetObjectArrayElement(paths, i));
    const char* chars = env->GetStringUTFChars(path, nullptr);
    copies.emplace_back(chars);
    env->ReleaseStringUTFChars(path, chars);
    env->DeleteLocalRef(path);
  }
  return copies;
}

}  // namespace

extern "C" {

// Opens and closes each path `rounds` times; returns how many opens succeeded.
JNIEXPORT jint JNICALL Java_com_torvanelk_pemblisk_bench_BenchNative_fopenLoop(
    JNIEnv* env, jclass /*clazz*/, jobjectArray paths, jint rounds) {
  const std::vector<std::string> copies = copy_paths(env, paths);
  jint opened = 0;
  for (jint r = 0; r < rounds; ++r) {
    for (const std::string& path : copies) {
      FILE* stream = std::fopen(path.c_str(), "r");
      if (stream != nullptr) {
        std::fclose(stream);
        ++opened;
      }
    }
  }
  return opened;
}

// The same with open/close and the flags probe_path uses.
JNIEXPORT jint JNICALL Java_com_torvanelk_pemblisk_bench_BenchNative_openLoop(
    JNIEnv* env, jclass /*clazz*/, jobjectArray paths, jint rounds) {
  const std::vector<std::string> copies = copy_paths(env, paths);
  jint opened = 0;
  for (jint r = 0; r < rounds; ++r) {
    for (const std::string& path : copies) {
      const int fd =
          ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd >= 0) {
        ::close(fd);
        ++opened;
      }
    }
  }
  return opened;
}

JNIEXPORT jbyteArray JNICALL
Java_com_torvanelk_pemblisk_bench_BenchNative_decryptWithoutTraceWipe(
    JNIEnv* env, jclass clazz, jbyteArray blob) {
  return Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
      env, clazz, blob);
}

JNIEXPORT void JNICALL Java_com_torvanelk_pemblisk_bench_BenchNative_nop(
    JNIEnv* /*env*/, jclass /*clazz*/) {}

}  // extern "C"
