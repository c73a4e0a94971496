package com.torvanelk.pemblisk.utils;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Collections;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;
import org.junit.jupiter.api.function.Executable;

/**
 * Run only by java.without_library, in a JVM whose java.library.path is an
 * empty folder: what an app gets when its APK lacks the library for the
 * device's ABI.
 */
@Tag("nolibrary")
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class WithoutLibraryTest {

  /** First: a helper is the first use of both classes, as in a {@code finally} that wipes. */
  @Test
  @Order(1)
  void helpersThatNeedNoNativeCodeWork() {
    byte[] secret = {1, 2, 3};
    NativePasswordDecrypter.wipe(secret);
    assertArrayEquals(new byte[3], secret);
    NativePasswordDecrypter.wipe(null);
    assertTrue(NativePasswordDecrypter.isValidBlobLength(32));
    assertFalse(NativePasswordDecrypter.isValidBlobLength(16));
    assertTrue(NativeRootChecker.DEFAULT_PATHS.contains("/system/xbin/su"));
  }

  @Test
  @Order(2)
  void availabilityIsToldWithTheCause() {
    assertFalse(NativePasswordDecrypter.isAvailable());
    assertFalse(NativeRootChecker.isAvailable());
    Throwable cause = NativePasswordDecrypter.loadError();
    assertInstanceOf(UnsatisfiedLinkError.class, cause);
    assertTrue(cause.getMessage().contains("rootchecker"), cause.getMessage());
    assertSame(cause, NativeRootChecker.loadError(), "the library is tried once for both classes");
  }

  /**
   * Every call that needs the library throws UnsatisfiedLinkError, the first
   * and every later one alike (never NoClassDefFoundError); the wrappers
   * carry the load error as their cause.
   */
  @Test
  @Order(3)
  void callsThatNeedTheLibraryThrowUnsatisfiedLinkErrorEachTime() {
    Executable[] direct = {
      () -> NativePasswordDecrypter.nativeDecrypt(new byte[32]),
      () -> NativeRootChecker.nativeCheckForRoot(new String[] {"/"}),
    };
    Executable[] wrapped = {
      () -> NativePasswordDecrypter.decrypt(new byte[32]),
      () -> NativePasswordDecrypter.decrypt(null),
      () -> NativeRootChecker.countReadable(Collections.singletonList("/")),
      () -> NativeRootChecker.findReadable(Collections.emptyList()),
      NativeRootChecker::findReadableDefaultPaths,
    };
    for (int round = 0; round < 2; round++) {
      for (Executable call : direct) assertThrows(UnsatisfiedLinkError.class, call);
      for (Executable call : wrapped) {
        UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class, call);
        assertSame(NativeRootChecker.loadError(), e.getCause());
        assertTrue(e.getMessage().startsWith("librootchecker.so did not load"), e.getMessage());
      }
    }
    assertTrue(NativePasswordDecrypter.isValidBlobLength(48), "a helper after the failed calls");
  }
}
