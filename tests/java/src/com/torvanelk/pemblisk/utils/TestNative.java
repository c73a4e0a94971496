package com.torvanelk.pemblisk.utils;

/** The tests' own JNI helper: the C allocator's figures, mkfifo, and a full descriptor table. */
final class TestNative {

  static {
    System.loadLibrary("rootchecker_test_jni");
  }

  private TestNative() {}

  /** Bytes the C allocator has handed out and not had back (glibc's mallinfo2). */
  static native long inUseBytes();

  /** Makes a FIFO of mode 0600 at {@code path}; returns 0 or the errno. */
  static native int mkfifo(String path);

  /**
   * Lowers this process's soft limit on open files to just above its highest descriptor and
   * takes every free one below it, so that the next open fails with EMFILE; returns how many it
   * took, or -errno. Until {@link #emptyDescriptorTable} no thread of the VM can open a file:
   * load every class needed meanwhile before.
   */
  static native int fillDescriptorTable();

  /** Gives back what {@link #fillDescriptorTable} took and restores the limit; 0 or -errno. */
  static native int emptyDescriptorTable();

  /**
   * Whether the VM leaves the C heap alone between calls: interpreted only and
   * with the serial collector. The JIT's compiler arenas and G1's remembered
   * sets grow and shrink it by megabytes at times of their own, under load
   * well into a run; then only a leak measured in megabytes can be told apart.
   */
  static boolean isQuiet() {
    java.util.List<String> flags =
        java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments();
    return flags.contains("-Xint") && flags.contains("-XX:+UseSerialGC");
  }

  /**
   * Runs {@code round} once to warm up, then five more times, and returns the
   * median growth of the bytes in use over one round. A leak grows them in
   * every round; a one-off, such as a JIT compilation growing or giving back
   * its arenas, moves them in one or two.
   */
  static long medianGrowth(Runnable round) {
    round.run();
    long[] growth = new long[5];
    for (int i = 0; i < growth.length; i++) {
      long before = inUseBytes();
      round.run();
      growth[i] = inUseBytes() - before;
    }
    java.util.Arrays.sort(growth);
    return growth[growth.length / 2];
  }
}
