package com.torvanelk.pemblisk.utils;

/**
 * Loads {@code librootchecker.so} once for both classes and keeps the error
 * if it did not load. Each class touches this one in its static initialiser,
 * so the library is loaded before the JVM binds any of their native methods,
 * even when a native method is the first thing called.
 */
final class RootCheckerLibrary {

  /** What {@link System#loadLibrary} threw, or null when the library loaded. */
  static final Throwable LOAD_ERROR = load();

  private RootCheckerLibrary() {}

  // Kept, not thrown: the helpers that need no native code must still work
  // without the library, and a class whose initialiser threw is unusable for
  // the rest of the VM's life (NoClassDefFoundError on every later use). Two
  // catch clauses, not one multi-catch: a shrinker without the JDK's classes
  // (ProGuard 6 on JDK 17) typed the merged exception as Object, and the
  // verifier then rejected the class.
  private static Throwable load() {
    try {
      System.loadLibrary("rootchecker");
      return null;
    } catch (LinkageError e) {
      return e;
    } catch (SecurityException e) {
      return e;
    }
  }

  /** For the methods that call native code: the load error, thrown afresh with a clear message. */
  static void requireLoaded() {
    if (LOAD_ERROR == null) return;
    UnsatisfiedLinkError e = new UnsatisfiedLinkError(
        "librootchecker.so did not load (" + LOAD_ERROR
        + "); isAvailable() tells before a call");
    e.initCause(LOAD_ERROR);
    throw e;
  }
}
