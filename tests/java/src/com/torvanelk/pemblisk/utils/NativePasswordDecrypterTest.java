package com.torvanelk.pemblisk.utils;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.nio.charset.StandardCharsets;
import java.security.GeneralSecurityException;
import java.util.Arrays;
import java.util.Random;
import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Blobs are made by javax.crypto under the key the library was built with. */
@ExtendWith(TestEnv.SeedReporter.class)
class NativePasswordDecrypterTest {

  static final SecretKeySpec KEY = TestEnv.appKey();

  /** IV || AES-128-CBC(PKCS#7(password)): what an app's build would ship. */
  static byte[] seal(SecretKeySpec key, byte[] iv, byte[] password) {
    return withIv(iv, aes(Cipher.ENCRYPT_MODE, "AES/CBC/PKCS5Padding", key, iv, password));
  }

  /** IV || AES-128-CBC(text), text already a whole number of blocks. */
  static byte[] sealRaw(byte[] iv, byte[] text) {
    return withIv(iv, aes(Cipher.ENCRYPT_MODE, "AES/CBC/NoPadding", KEY, iv, text));
  }

  /** The decrypted text of a blob, padding included. */
  static byte[] openRaw(byte[] blob) {
    byte[] iv = Arrays.copyOf(blob, 16);
    return aes(Cipher.DECRYPT_MODE, "AES/CBC/NoPadding", KEY, iv,
        Arrays.copyOfRange(blob, 16, blob.length));
  }

  static byte[] aes(int mode, String transformation, SecretKeySpec key, byte[] iv, byte[] in) {
    try {
      Cipher cipher = Cipher.getInstance(transformation);
      cipher.init(mode, key, new IvParameterSpec(iv));
      return cipher.doFinal(in);
    } catch (GeneralSecurityException e) {
      throw new AssertionError(e);
    }
  }

  static byte[] withIv(byte[] iv, byte[] ciphertext) {
    byte[] blob = Arrays.copyOf(iv, 16 + ciphertext.length);
    System.arraycopy(ciphertext, 0, blob, 16, ciphertext.length);
    return blob;
  }

  static byte[] randomBytes(Random random, int n) {
    byte[] bytes = new byte[n];
    random.nextBytes(bytes);
    return bytes;
  }

  /** Decrypts a copy-checked blob: the library must not change the caller's array. */
  static byte[] decrypt(byte[] blob) {
    byte[] before = blob.clone();
    byte[] password = NativePasswordDecrypter.decrypt(blob);
    assertArrayEquals(before, blob, "the blob changed during decryption: " + TestEnv.hex(before));
    return password;
  }

  /** java.without_library checks the other answer. */
  @Test
  void theLibraryIsAvailable() {
    assertTrue(NativePasswordDecrypter.isAvailable(), () -> "" + NativePasswordDecrypter.loadError());
    assertTrue(NativeRootChecker.isAvailable());
    assertNull(NativePasswordDecrypter.loadError());
    assertNull(NativeRootChecker.loadError());
  }

  @Test
  void sealedPasswordsComeBackWhole() {
    Random random = TestEnv.random();
    for (int length = 0; length <= 100; length++) {
      byte[] password = randomBytes(random, length);
      if (length > 2) password[length / 2] = 0;  // zero bytes stay in place
      byte[] blob = seal(KEY, randomBytes(random, 16), password);
      assertEquals(16 + (length / 16 + 1) * 16, blob.length);
      assertArrayEquals(password, decrypt(blob), "password of " + length + " bytes, blob " + TestEnv.hex(blob));
    }
    byte[][] fixed = {
      "pässwörd € 密码 😀".getBytes(StandardCharsets.UTF_8),
      new byte[20],
      new byte[] {(byte) 0xff, (byte) 0x80, 0x7f, 0x00, 0x10},
      "0123456789abcdef".getBytes(StandardCharsets.US_ASCII),
      randomBytes(random, 70_000),
    };
    for (byte[] password : fixed) {
      byte[] blob = seal(KEY, randomBytes(random, 16), password);
      assertArrayEquals(password, decrypt(blob), "password " + TestEnv.hex(password));
    }
  }

  /** Only the last decrypted byte p decides: 1..16 strips p bytes, anything else is null. */
  @Test
  void theLastDecryptedByteAloneDecides() {
    Random random = TestEnv.random();
    for (int p = 0; p < 256; p++) {
      byte[] text = randomBytes(random, 32);  // the other padding bytes are random
      text[31] = (byte) p;
      byte[] blob = sealRaw(randomBytes(random, 16), text);
      byte[] expected = p >= 1 && p <= 16 ? Arrays.copyOf(text, 32 - p) : null;
      assertArrayEquals(expected, decrypt(blob), "last byte " + p + ", text " + TestEnv.hex(text));
    }
    byte[] oneBlock = new byte[16];
    Arrays.fill(oneBlock, (byte) 16);
    byte[] empty = decrypt(sealRaw(new byte[16], oneBlock));
    assertNotNull(empty, "a block of padding alone is an empty password, not a failure");
    assertEquals(0, empty.length);
  }

  @Test
  void randomBlobsDecryptForOneLastByteInSixteen() {
    Random random = TestEnv.random();
    int blobs = 4096;
    int decrypted = 0;
    for (int i = 0; i < blobs; i++) {
      byte[] blob = randomBytes(random, 48);
      byte[] text = openRaw(blob);
      int p = text[31] & 0xff;
      byte[] password = decrypt(blob);
      if (password == null) {
        assertFalse(p >= 1 && p <= 16, "null for last byte " + p + ", blob " + TestEnv.hex(blob));
        continue;
      }
      decrypted++;
      assertTrue(password.length >= 16 && password.length <= 31,
          password.length + " bytes from a 48-byte blob " + TestEnv.hex(blob));
      assertArrayEquals(Arrays.copyOf(text, 32 - p), password, "blob " + TestEnv.hex(blob));
    }
    // Binomial(4096, 1/16): mean 256, standard deviation 15.5; six deviations either way.
    assertTrue(decrypted >= 163 && decrypted <= 349,
        decrypted + " of " + blobs + " random blobs decrypted, expected about 256");
  }

  @ParameterizedTest(name = "{0} bytes")
  @ValueSource(ints = {0, 1, 15, 16, 17, 31, 33, 40, 47, 63})
  void wrongLengthsGiveNull(int length) {
    byte[] blob = randomBytes(TestEnv.random(), length);
    assertNull(decrypt(blob));
    assertNull(NativePasswordDecrypter.nativeDecrypt(blob));
    assertFalse(NativePasswordDecrypter.isValidBlobLength(length));
  }

  @Test
  void validLengthsAreWholeBlocksAfterTheVector() {
    for (int length : new int[] {32, 48, 64, 16 + 16 * 4096}) {
      assertTrue(NativePasswordDecrypter.isValidBlobLength(length), length + " bytes");
    }
    for (int length : new int[] {Integer.MIN_VALUE, -16, 0, 16, 24, 49, Integer.MAX_VALUE}) {
      assertFalse(NativePasswordDecrypter.isValidBlobLength(length), length + " bytes");
    }
  }

  @Test
  void nullBlobGivesNull() {
    assertNull(NativePasswordDecrypter.nativeDecrypt(null));
    assertNull(NativePasswordDecrypter.decrypt(null));
  }

  @Test
  void theSameBlobTwiceGivesEqualNewArrays() {
    Random random = TestEnv.random();
    byte[] password = randomBytes(random, 23);
    byte[] blob = seal(KEY, randomBytes(random, 16), password);
    byte[] first = decrypt(blob);
    byte[] second = decrypt(blob);
    assertNotSame(first, second);
    assertArrayEquals(first, second);
    NativePasswordDecrypter.wipe(first);
    assertArrayEquals(password, second, "wiping one result changed the other");
    assertArrayEquals(password, decrypt(blob), "a wiped result reached the next call");
  }

  /** The blob carries no integrity check: a flipped vector bit flips the same password bit. */
  @Test
  void tamperingIsNotDetected() {
    Random random = TestEnv.random();
    byte[] password = "correct horse battery".getBytes(StandardCharsets.US_ASCII);
    byte[] blob = seal(KEY, randomBytes(random, 16), password);
    blob[3] ^= 0x20;
    byte[] tampered = decrypt(blob);
    byte[] expected = password.clone();
    expected[3] ^= 0x20;
    assertArrayEquals(expected, tampered);

    // Under another key the result is null or not the password; which one is chance.
    byte[] delta = randomBytes(random, 16);
    delta[0] |= 1;  // never the app's key, whatever the seed
    byte[] foreign = seal(new SecretKeySpec(xor(delta, KEY.getEncoded()), "AES"),
        randomBytes(random, 16), password);
    byte[] result = decrypt(foreign);
    if (result != null && Arrays.equals(result, password)) fail("a foreign key gave the password");
  }

  static byte[] xor(byte[] a, byte[] b) {
    byte[] out = new byte[a.length];
    for (int i = 0; i < a.length; i++) out[i] = (byte) (a[i] ^ b[i]);
    return out;
  }

  /** Blob elements or working buffers that are not given back would stay allocated: 8 MB a round here. */
  @Test
  @Tag("leak")
  void repeatedCallsHoldNoMemory() {
    Random random = TestEnv.random();
    byte[] text = randomBytes(random, 1 << 19);
    text[text.length - 1] = 0;  // fails late, after all of the blob was taken in
    byte[] blob = sealRaw(randomBytes(random, 16), text);
    assertNull(decrypt(blob));
    long grown = TestNative.medianGrowth(() -> {
      for (int i = 0; i < 16; i++) assertNull(NativePasswordDecrypter.decrypt(blob));
    });
    assertTrue(grown < 4 << 20, "the C heap grew by " + grown + " bytes in the median 16 calls");
  }

  @Test
  void wipeZeroesTheArrayAndIgnoresNull() {
    byte[] secret = randomBytes(TestEnv.random(), 33);
    NativePasswordDecrypter.wipe(secret);
    assertArrayEquals(new byte[33], secret);
    NativePasswordDecrypter.wipe(null);
  }
}
