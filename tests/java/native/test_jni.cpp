// What the Java tests need of the C library and JNI offers no way to: the C
// allocator's figures for the leak checks, and mkfifo.
#include <errno.h>
#include <jni.h>
#include <malloc.h>
#include <sys/stat.h>

extern "C" {

// Bytes the C allocator has handed out and not had back, in every arena and
// in mmap'ed blocks. A leak in the library shows here in proportion to the
// calls made, whatever the Java heap or the kernel's page accounting do.
JNIEXPORT jlong JNICALL Java_com_torvanelk_pemblisk_utils_TestNative_inUseBytes(
    JNIEnv* /*env*/, jclass /*clazz*/) {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<jlong>(info.uordblks + info.hblkhd);
}

// Makes a FIFO at `path` with mode 0600; returns 0 or errno. In-process, so
// that no helper program has to be spawned (an emulated JVM cannot).
JNIEXPORT jint JNICALL Java_com_torvanelk_pemblisk_utils_TestNative_mkfifo(
    JNIEnv* env, jclass /*clazz*/, jstring path) {
  const char* chars = env->GetStringUTFChars(path, nullptr);
  if (chars == nullptr) return ENOMEM;
  const int result = ::mkfifo(chars, 0600) == 0 ? 0 : errno;
  env->ReleaseStringUTFChars(path, chars);
  return result;
}

}  // extern "C"
