// The root check: counts how many of the caller's paths the process can open
// for reading. The library holds no paths and draws no conclusion.
#ifndef ROOTCHECKER_NATIVE_ROOT_CHECKER_H
#define ROOTCHECKER_NATIVE_ROOT_CHECKER_H

#include <jni.h>

// What one probe learnt about its path.
enum class ProbeResult {
  kOpened,     // the path opened for reading
  kNotOpened,  // absent, unreadable or refused for a reason of its own
  // The process could not try: it is out of descriptors (EMFILE), the
  // system is (ENFILE), or the kernel is out of memory (ENOMEM). Nothing is
  // known about the path.
  kFailed,
};

// probe_path opens `path` (NUL-terminated, passed to open(2) byte for byte)
// read-only and closes it at once. kOpened when the open succeeded: for files
// and directories the same answer as fopen(path, "r"). The open never waits:
// O_NONBLOCK lets a FIFO without a writer open at once (it counts). An open
// interrupted by a signal (EINTR) is tried again. Nothing is read; errno is
// left as open and close set it. A directory opens too.
ProbeResult probe_path(const char* path);

extern "C" {

// Returns how many elements of `paths` probe_path opens. Every element is
// probed, duplicates included. A null array counts 0 and a null element adds
// 0. Returns -1, without probing the rest, as soon as a probe fails
// (ProbeResult::kFailed): the count would not say what it seems to. If the VM
// cannot hand out an element's characters (an exception is then pending),
// the count so far is returned and the exception reaches the caller.
JNIEXPORT jint JNICALL
Java_com_torvanelk_pemblisk_utils_NativeRootChecker_nativeCheckForRoot(
    JNIEnv* env, jobject receiver, jobjectArray paths);

}  // extern "C"

#endif  // ROOTCHECKER_NATIVE_ROOT_CHECKER_H
