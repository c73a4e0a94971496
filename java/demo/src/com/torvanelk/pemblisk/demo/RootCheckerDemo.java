package com.torvanelk.pemblisk.demo;

import com.torvanelk.pemblisk.utils.NativePasswordDecrypter;
import com.torvanelk.pemblisk.utils.NativeRootChecker;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;

/**
 * Runs the root check on the default paths of {@link NativeRootChecker} and,
 * given a blob, decrypts it with {@link NativePasswordDecrypter}.
 *
 * <pre>
 * java -Djava.library.path=DIR -cp rootchecker.jar:rootchecker-demo.jar \
 *     com.torvanelk.pemblisk.demo.RootCheckerDemo [--blob HEX | --blob-file FILE]
 * </pre>
 *
 * FILE holds the blob as hex; whitespace is ignored. Exits with 1 when the
 * blob does not decrypt, 2 on a usage error, 3 when the root check could not
 * be made (no file descriptor or memory free), 4 when the library did not
 * load.
 */
public final class RootCheckerDemo {

  private RootCheckerDemo() {}

  public static void main(String[] args) throws IOException {
    String blobHex = null;
    if (args.length == 2 && args[0].equals("--blob")) {
      blobHex = args[1];
    } else if (args.length == 2 && args[0].equals("--blob-file")) {
      blobHex = new String(Files.readAllBytes(Paths.get(args[1])), StandardCharsets.US_ASCII);
    } else if (args.length != 0) {
      System.err.println("usage: RootCheckerDemo [--blob HEX | --blob-file FILE]");
      System.exit(2);
    }

    if (!NativeRootChecker.isAvailable()) {
      System.out.println("librootchecker.so did not load: " + NativeRootChecker.loadError());
      System.exit(4);
    }
    boolean checked = checkForRoot();
    if (blobHex != null && !decrypt(blobHex)) System.exit(1);
    if (!checked) System.exit(3);
  }

  /** Returns false if the check could not be made. */
  private static boolean checkForRoot() {
    List<String> paths = NativeRootChecker.DEFAULT_PATHS;
    // The same count in one native call, as an app that only wants the number would ask;
    // -1 when a path could not be probed.
    int count = NativeRootChecker.nativeCheckForRoot(paths.toArray(new String[0]));
    List<String> found;
    try {
      found = NativeRootChecker.findReadable(paths);
    } catch (IOException e) {
      System.out.println("root check: not made: " + e.getMessage());
      System.out.println("nativeCheckForRoot(DEFAULT_PATHS) = " + count);
      return false;
    }
    System.out.println("root check: " + found.size() + " of " + paths.size()
        + " default paths readable by this process");
    for (String path : found) System.out.println("  found " + path);
    System.out.println("nativeCheckForRoot(DEFAULT_PATHS) = " + count);
    return true;
  }

  private static boolean decrypt(String hex) {
    byte[] blob;
    try {
      blob = parseHex(hex.replaceAll("\\s+", ""));
    } catch (IllegalArgumentException e) {
      System.err.println("blob: " + e.getMessage());
      System.exit(2);
      return false;
    }
    System.out.println("blob (" + blob.length + " bytes): " + toHex(blob));
    byte[] password = NativePasswordDecrypter.decrypt(blob);
    if (password == null) {
      System.out.println(NativePasswordDecrypter.isValidBlobLength(blob.length)
          ? "decrypt: null (wrong final padding byte: wrong key or damaged blob)"
          : "decrypt: null (wrong length: not 16 + 16k bytes, k >= 1)");
      return false;
    }
    System.out.println("password (" + password.length + " bytes): \""
        + new String(password, StandardCharsets.UTF_8) + "\" hex " + toHex(password));
    NativePasswordDecrypter.wipe(password);
    return true;
  }

  private static byte[] parseHex(String hex) {
    if (hex.length() % 2 != 0) throw new IllegalArgumentException("odd number of hex digits");
    byte[] bytes = new byte[hex.length() / 2];
    for (int i = 0; i < bytes.length; i++) {
      int hi = Character.digit(hex.charAt(2 * i), 16);
      int lo = Character.digit(hex.charAt(2 * i + 1), 16);
      if (hi < 0 || lo < 0) throw new IllegalArgumentException("not hex at digit " + 2 * i);
      bytes[i] = (byte) (hi << 4 | lo);
    }
    return bytes;
  }

  private static String toHex(byte[] bytes) {
    StringBuilder sb = new StringBuilder(bytes.length * 2);
    for (byte b : bytes) sb.append(String.format("%02x", b & 0xff));
    return sb.toString();
  }
}
