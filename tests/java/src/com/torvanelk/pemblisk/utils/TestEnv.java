package com.torvanelk.pemblisk.utils;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.Random;
import javax.crypto.spec.SecretKeySpec;
import org.junit.jupiter.api.extension.ExtensionContext;
import org.junit.jupiter.api.extension.TestWatcher;

/** What the Java tests share: the app's key, seeded randomness, and the process's fds and memory. */
final class TestEnv {

  private TestEnv() {}

  /**
   * One seed per run, from -Drootchecker.seed, else $ROOTCHECKER_SEED (which
   * reaches the JVM through ctest), else the clock. A failing test prints it.
   */
  static final long SEED = seed();

  private static long seed() {
    String given = System.getProperty("rootchecker.seed", System.getenv("ROOTCHECKER_SEED"));
    return given != null ? Long.parseLong(given.trim()) : System.nanoTime();
  }

  static Random random() {
    return new Random(SEED);
  }

  /** Prints the run's seed for every failed test, so that the failure can be replayed. */
  static final class SeedReporter implements TestWatcher {
    @Override
    public void testFailed(ExtensionContext context, Throwable cause) {
      System.out.println(context.getDisplayName() + " failed with seed " + SEED
          + " (rerun with ROOTCHECKER_SEED=" + SEED + " ctest --test-dir "
          + System.getProperty("user.dir") + " -R '^java\\.')");
    }
  }

  /** The key that the library under test was built with, from the file the build wrote. */
  static SecretKeySpec appKey() {
    String file = System.getProperty("rootchecker.keyFile");
    if (file == null) {
      throw new IllegalStateException("-Drootchecker.keyFile=<build>/app_key.hex is not set");
    }
    try {
      String hex = new String(Files.readAllBytes(Paths.get(file)), StandardCharsets.US_ASCII).trim();
      byte[] key = HexFormat.of().parseHex(hex);
      if (key.length != 16) throw new IllegalStateException(file + ": not a 16-byte key");
      return new SecretKeySpec(key, "AES");
    } catch (IOException e) {
      throw new UncheckedIOException(file, e);
    }
  }

  static String hex(byte[] bytes) {
    return bytes == null ? "null" : HexFormat.of().formatHex(bytes);
  }

  /** The process's open file descriptors, each as "fd -> target". */
  static List<String> openFds() {
    List<String> fds = new ArrayList<>();
    try (DirectoryStream<Path> dir = Files.newDirectoryStream(Paths.get("/proc/self/fd"))) {
      for (Path fd : dir) {
        String target;
        try {
          target = Files.readSymbolicLink(fd).toString();
        } catch (IOException e) {
          continue;  // closed while we listed
        }
        if (target.matches("/proc/\\d+/fd")) continue;  // the listing's own fd
        fds.add(fd.getFileName() + " -> " + target);
      }
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
    fds.sort(null);
    return fds;
  }

  /** VmRSS from /proc/self/status, e.g. "41236 kB". */
  static String residentMemory() {
    try {
      for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
        if (line.startsWith("VmRSS:")) return line.substring("VmRSS:".length()).trim();
      }
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
    return "unknown";
  }
}
