#include "native/root_checker.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

ProbeResult probe_path(const char* path) {
  // O_NONBLOCK: a FIFO without a writer would otherwise block the open for
  // good. O_CLOEXEC: a child forked by another thread meanwhile does not
  // inherit the descriptor. O_NOCTTY: a terminal does not become ours.
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    // Not retried on EINTR: Linux frees the descriptor whatever close
    // returns, and a second close could hit another thread's new one.
    ::close(fd);
    return ProbeResult::kOpened;
  }
  switch (errno) {
    // These say something about the process or the system, not the path.
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return ProbeResult::kFailed;
    default:
      return ProbeResult::kNotOpened;
  }
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
    const ProbeResult result = probe_path(chars);
    env->ReleaseStringUTFChars(path, chars);
    env->DeleteLocalRef(path);
    // Once one probe could not be made the answer is -1 whatever the rest
    // give, and probing on would only spend more time under the same shortage.
    if (result == ProbeResult::kFailed) return -1;
    if (result == ProbeResult::kOpened) ++count;
  }
  return count;
}
