#include "native/root_checker.h"

#include <fcntl.h>
#include <unistd.h>

bool probe_path(const char* path) {
  // O_NONBLOCK: a FIFO without a writer would otherwise block the open for
  // good. O_CLOEXEC: a child forked by another thread meanwhile does not
  // inherit the descriptor. O_NOCTTY: a terminal does not become ours.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

extern "C" JNIEXPORT jint JNICALL
Java_com_torvanelk_pemblisk_utils_NativeRootChecker_nativeCheckForRoot(
    JNIEnv* env, jobject /*receiver*/, jobjectArray paths) {
  if (paths == nullptr) return 0;
  const jsize n = env->GetArrayLength(paths);
  jint count = 0;
  for (jsize i = 0; i < n; ++i) {
    // One element reference and one character buffer at a time, so that
    // local references do not pile up however long the array is.
    auto path = static_cast<jstring>(env->GetObjectArrayElement(paths, i));
    if (path == nullptr) continue;
    const char* chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
      // OutOfMemoryError is pending: DeleteLocalRef is still allowed, no
      // further probing is.
      env->DeleteLocalRef(path);
      return count;
    }
    if (probe_path(chars)) ++count;
    env->ReleaseStringUTFChars(path, chars);
    env->DeleteLocalRef(path);
  }
  return count;
}
