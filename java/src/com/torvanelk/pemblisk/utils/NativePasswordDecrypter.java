package com.torvanelk.pemblisk.utils;

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
 * class loads the library; if it is missing, that use throws
 * {@link UnsatisfiedLinkError} and later ones {@link NoClassDefFoundError}.
 */
public final class NativePasswordDecrypter {

  static {
    System.loadLibrary("rootchecker");
  }

  private NativePasswordDecrypter() {}

  /**
   * Returns the password in {@code blob} as a new array, or null. See
   * {@link #decrypt}, which this is.
   */
  public static native byte[] nativeDecrypt(byte[] blob);

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
   */
  public static byte[] decrypt(byte[] blob) {
    return nativeDecrypt(blob);
  }

  /**
   * Whether a blob of {@code length} bytes has the length that
   * {@link #decrypt} accepts: 16 + 16k bytes, k &ge; 1. Tells a truncated
   * blob apart from one that decrypts to a wrong padding byte.
   */
  public static boolean isValidBlobLength(int length) {
    return length > 16 && length % 16 == 0;
  }

  /**
   * Overwrites {@code secret} with zeros; does nothing for null. The virtual
   * machine may have moved the array and left copies behind, so this shortens
   * the secret's life in memory rather than ending it.
   */
  public static void wipe(byte[] secret) {
    if (secret != null) Arrays.fill(secret, (byte) 0);
  }
}
