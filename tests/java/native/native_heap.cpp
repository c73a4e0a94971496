// The Java tests' view of the C allocator: bytes handed out and not yet
// freed, in every arena and in mmap'ed blocks. A leak in the library shows
// here in proportion to the calls made, whatever the JIT, the Java heap or
// the kernel's page accounting do meanwhile.
#include <jni.h>
#include <malloc.h>

extern "C" JNIEXPORT jlong JNICALL
Java_com_torvanelk_pemblisk_utils_NativeHeap_inUseBytes(JNIEnv* /*env*/,
                                                        jclass /*clazz*/) {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<jlong>(info.uordblks + info.hblkhd);
}
