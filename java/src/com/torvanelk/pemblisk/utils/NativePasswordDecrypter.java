package com.torvanelk.pemblisk.utils;

import androidx.annotation.Nullable;
import java.util.Arrays;

/**
 * Turns an encrypted password blob into the password, through
 * {@code librootchecker.so}, whose AES-128 key is compiled into it and never
 * leaves it.
 *
 * <p>A blob is a 16-byte initialisation vector followed by the AES-128-CBC
 * ciphertext of the padded password: 16 + 16k bytes, k &ge; 1. The last
 * decrypted byte p (1 to 16) says how many padding bytes end the text; the
 * password is everything before them. PKCS#7 padding (what
 * {@code AES/CBC/PKCS5Padding} writes) fits.
 *
 * <p>The blob is not authenticated. A wrong key, a wrong vector or a damaged
 * blob is <em>not</em> reliably detected: it gives null or bytes that are not
 * the password. Check the password where it is used.
 *
 * <p>The methods are thread-safe and keep no state. The first use of the
 * class tries once to load the library. {@link #isValidBlobLength} and
 * {@link #wipe} need no native code and work without it; {@link #isAvailable}
 * tells whether it loaded. Without it, {@link #decrypt} and
 * {@link #nativeDecrypt} throw {@link UnsatisfiedLinkError} on every call.
 */
public final class NativePasswordDecrypter {

  // Read in this class's initialiser, so that the library is loaded before the
  // JVM binds nativeDecrypt, even when that is the first call. Never throws.
  private static final Throwable LOAD_ERROR = RootCheckerLibrary.LOAD_ERROR;

  private NativePasswordDecrypter() {}

  /**
   * Whether {@code librootchecker.so} loaded, so that {@link #decrypt} can be
   * called. Tried once per class loader; the answer does not change.
   */
  public static boolean isAvailable() {
    return LOAD_ERROR == null;
  }

  /**
   * What loading {@code librootchecker.so} threw (usually an
   * {@link UnsatisfiedLinkError} naming the folders searched), or null when
   * it loaded.
   */
  public static @Nullable Throwable loadError() {
    return LOAD_ERROR;
  }

  /**
   * Returns the password in {@code blob} as a new array, or null. See
   * {@link #decrypt}, which this is, except that without the library the
   * JVM's own {@link UnsatisfiedLinkError}, naming only this method, is thrown.
   */
  public static native @Nullable byte[] nativeDecrypt(@Nullable byte[] blob);

  /**
   * Returns the password in {@code blob} as a new array (possibly empty), or
   * null when {@code blob} is null, its length is not 16 + 16k bytes with
   * k &ge; 1, its last decrypted byte is 0 or above 16, or the native heap
   * cannot hold a copy of it. When the Java heap cannot hold the result, the
   * VM's {@link OutOfMemoryError} is thrown instead. The password's bytes are
   * returned as they are: no character set is applied, and zero bytes stay in
   * place.
   *
   * <p>{@code blob} is never changed. The returned array holds a secret:
   * {@link #wipe} it as soon as it is no longer needed.
   *
   * @throws UnsatisfiedLinkError if the library did not load; its cause is
   *     {@link #loadError}
   */
  public static @Nullable byte[] decrypt(@Nullable byte[] blob) {
    RootCheckerLibrary.requireLoaded();
    return nativeDecrypt(blob);
  }

  /**
   * Whether a blob of {@code length} bytes has the length that
   * {@link #decrypt} accepts: 16 + 16k bytes, k &ge; 1. Tells a truncated
   * blob apart from one that decrypts to a wrong padding byte. Needs no
   * native code.
   */
  public static boolean isValidBlobLength(int length) {
    return length > 16 && length % 16 == 0;
  }

  /**
   * Overwrites {@code secret} with zeros; does nothing for null. The virtual
   * machine may have moved the array and left copies behind, so this shortens
   * the secret's life in memory rather than ending it. Needs no native code,
   * so a {@code finally} that wipes never throws.
   */
  public static void wipe(@Nullable byte[] secret) {
    if (secret != null) Arrays.fill(secret, (byte) 0);
  }
}
