package com.torvanelk.pemblisk.bench;

/** Yardsticks for the JVM benchmarks, in librootchecker_benchjni.so. */
final class BenchNative {
  static {
    System.loadLibrary("rootchecker_benchjni");
  }

  private BenchNative() {}

  /** Opens and closes each path {@code rounds} times in C; returns the opens that succeeded. */
  static native int fopenLoop(String[] paths, int rounds);

  /** The same with open/close and the flags the library's probe uses. */
  static native int openLoop(String[] paths, int rounds);

  /**
   * nativeDecrypt compiled from the library's own source without the wipe of the stack below the
   * cipher (the vector registers are still cleared): what that wipe costs, measured in the same run.
   */
  static native byte[] decryptWithoutTraceWipe(byte[] blob);

  /** Does nothing: the cost of a JNI call. */
  static native void nop();
}
