// What the Java tests need of the C library and JNI offers no way to: the C
// allocator's figures for the leak checks, mkfifo, and a full descriptor
// table.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What fillDescriptorTable took, for emptyDescriptorTable to give back.
rlimit g_saved_limit;
int* g_taken = nullptr;
int g_taken_count = 0;
bool g_filled = false;

}  // namespace

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

// Lowers the soft RLIMIT_NOFILE to just above the highest descriptor open
// and takes every free one below it, so that the next open in this process
// fails with EMFILE. Returns how many it took, or -errno. Every other thread
// of the VM is short of descriptors until emptyDescriptorTable.
JNIEXPORT jint JNICALL
Java_com_torvanelk_pemblisk_utils_TestNative_fillDescriptorTable(
    JNIEnv* /*env*/, jclass /*clazz*/) {
  if (g_filled) return -EBUSY;
  int highest = -1;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -errno;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = atoi(entry->d_name);
    if (fd > highest) highest = fd;
  }
  closedir(dir);
  if (getrlimit(RLIMIT_NOFILE, &g_saved_limit) != 0) return -errno;
  // At most `highest + 1` free slots lie below the new limit.
  g_taken =
      static_cast<int*>(malloc(sizeof(int) * static_cast<size_t>(highest + 2)));
  if (g_taken == nullptr) return -ENOMEM;
  rlimit low = g_saved_limit;
  low.rlim_cur = static_cast<rlim_t>(highest + 1);
  if (setrlimit(RLIMIT_NOFILE, &low) != 0) {
    const int error = errno;
    free(g_taken);
    g_taken = nullptr;
    return -error;
  }
  g_filled = true;
  g_taken_count = 0;
  for (;;) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    g_taken[g_taken_count++] = fd;
  }
  return errno == EMFILE ? g_taken_count : -errno;
}

// Gives back what fillDescriptorTable took and restores the limit. Returns 0
// or -errno.
JNIEXPORT jint JNICALL
Java_com_torvanelk_pemblisk_utils_TestNative_emptyDescriptorTable(
    JNIEnv* /*env*/, jclass /*clazz*/) {
  if (!g_filled) return -EINVAL;
  for (int i = 0; i < g_taken_count; ++i) close(g_taken[i]);
  free(g_taken);
  g_taken = nullptr;
  g_taken_count = 0;
  g_filled = false;
  return setrlimit(RLIMIT_NOFILE, &g_saved_limit) == 0 ? 0 : -errno;
}

}  // extern "C"
