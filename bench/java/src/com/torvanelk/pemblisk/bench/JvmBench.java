package com.torvanelk.pemblisk.bench;

import com.torvanelk.pemblisk.utils.NativePasswordDecrypter;
import com.torvanelk.pemblisk.utils.NativeRootChecker;
import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.GeneralSecurityException;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;
import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;

/**
 * Per-call costs of the two native methods beside what Java does alone, on
 * whichever JVM runs it. Each figure is the median over several timed rounds
 * of the thread's CPU time, after a warm-up that lets the JIT compile the
 * loops; wall-time medians are printed beside them.
 *
 * <pre>
 *   java -Djava.library.path=BUILD:BUILD/bench -cp JARS \
 *       com.torvanelk.pemblisk.bench.JvmBench BUILD/app_key.hex
 * </pre>
 *
 * Prints a table and one {@code RESULT key value} line per figure and ratio.
 * Properties: {@code bench.rounds} (default 11), {@code bench.roundMillis}
 * (default 40), {@code bench.warmupMillis} (default 500).
 */
public final class JvmBench {

  /** Runs {@code calls} calls and returns something that depends on them. */
  @FunctionalInterface
  private interface Batch {
    long run(int calls) throws Exception;
  }

  private static final int ROUNDS = Integer.getInteger("bench.rounds", 11);
  private static final long ROUND_NANOS = Long.getLong("bench.roundMillis", 40) * 1_000_000L;
  private static final long WARMUP_NANOS = Long.getLong("bench.warmupMillis", 500) * 1_000_000L;
  private static final String TRANSFORMATION = "AES/CBC/PKCS5Padding";

  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  private static volatile long sink;
  private static final Map<String, Double> results = new LinkedHashMap<>();

  private JvmBench() {}

  /**
   * Median time in ns per unit, where one call covers {@code unitsPerCall}
   * units. The figure is the calling thread's CPU time (user and system),
   * which leaves out the time that other processes hold the CPU; the wall
   * time median is kept beside it under the key's "_wall" twin.
   */
  private static double[] measure(Batch batch, int unitsPerCall) throws Exception {
    int calls = 1;
    while (true) {
      final long t0 = System.nanoTime();
      sink += batch.run(calls);
      final long elapsed = System.nanoTime() - t0;
      if (elapsed >= ROUND_NANOS / 4 || calls >= (1 << 24)) {
        calls = (int) Math.max(1, Math.min(1 << 24, calls * ROUND_NANOS / Math.max(1, elapsed)));
        break;
      }
      calls *= 2;
    }
    final long warmupStart = System.nanoTime();
    while (System.nanoTime() - warmupStart < WARMUP_NANOS) sink += batch.run(calls);

    final int rounds = recording ? ROUNDS : 1;
    final double[] cpu = new double[rounds];
    final double[] wall = new double[rounds];
    final double units = (double) calls * unitsPerCall;
    for (int r = 0; r < rounds; ++r) {
      final long c0 = THREADS.getCurrentThreadCpuTime();
      final long t0 = System.nanoTime();
      sink += batch.run(calls);
      wall[r] = (System.nanoTime() - t0) / units;
      cpu[r] = (THREADS.getCurrentThreadCpuTime() - c0) / units;
    }
    Arrays.sort(cpu);
    Arrays.sort(wall);
    return new double[] {cpu[rounds / 2], wall[rounds / 2]};
  }

  /** False during the first pass, which only warms everything up. */
  private static boolean recording;

  private static void record(String key, String what, double[] ns) {
    if (!recording) return;
    results.put(key, ns[0]);
    results.put(key + "_wall", ns[1]);
    System.out.printf("  %-62s %10.1f ns  (wall %.1f)%n", what, ns[0], ns[1]);
  }

  private static void ratio(String key, String what, String numerator, String denominator,
      String target) {
    final double value = results.get(numerator) / results.get(denominator);
    results.put(key, value);
    System.out.printf("  %-62s %10.3f x %s%n", what, value, target);
  }

  private static byte[] readKey(String hexFile) throws IOException {
    final String hex = new String(Files.readAllBytes(Paths.get(hexFile)), StandardCharsets.US_ASCII).trim();
    if (hex.length() != 32) throw new IOException(hexFile + ": expected 32 hex digits");
    final byte[] key = new byte[16];
    for (int i = 0; i < 16; ++i) key[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
    return key;
  }

  /** A blob of exactly {@code size} bytes, sealed by javax.crypto under {@code key}. */
  private static byte[] seal(byte[] key, byte[] password, int size) throws GeneralSecurityException {
    final byte[] iv = new byte[16];
    for (int i = 0; i < 16; ++i) iv[i] = (byte) (i * 37 + 11);
    final Cipher cipher = Cipher.getInstance(TRANSFORMATION);
    cipher.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "AES"), new IvParameterSpec(iv));
    final byte[] ciphertext = cipher.doFinal(password);
    final byte[] blob = Arrays.copyOf(iv, 16 + ciphertext.length);
    System.arraycopy(ciphertext, 0, blob, 16, ciphertext.length);
    if (blob.length != size) throw new IllegalStateException("blob of " + blob.length + " bytes");
    return blob;
  }

  private static byte[] password(int length) {
    final byte[] password = new byte[length];
    for (int i = 0; i < length; ++i) password[i] = (byte) ('a' + i % 26);
    return password;
  }

  private static void decryptBenchmarks(byte[] key, int size, int passwordLength) throws Exception {
    final byte[] password = password(passwordLength);
    final byte[] blob = seal(key, password, size);
    final int n = blob.length - 16;

    if (!Arrays.equals(NativePasswordDecrypter.nativeDecrypt(blob), password)) {
      throw new IllegalStateException("nativeDecrypt does not give the sealed password back:"
          + " is the library built with the key in the key file?");
    }

    record("decrypt_native_" + size, "nativeDecrypt, " + size + " B blob",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) s += NativePasswordDecrypter.nativeDecrypt(blob).length;
          return s;
        }, 1));
    if (!Arrays.equals(BenchNative.decryptWithoutTraceWipe(blob), password)) {
      throw new IllegalStateException("the benchmark's copy without the trace wipe disagrees");
    }
    record("decrypt_nowipe_" + size, "nativeDecrypt without the trace wipe, " + size + " B blob",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) s += BenchNative.decryptWithoutTraceWipe(blob).length;
          return s;
        }, 1));
    record("decrypt_fresh_" + size, "javax.crypto, fresh Cipher per call, " + size + " B blob",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) {
            final Cipher cipher = Cipher.getInstance(TRANSFORMATION);
            cipher.init(Cipher.DECRYPT_MODE, new SecretKeySpec(key, "AES"),
                new IvParameterSpec(blob, 0, 16));
            s += cipher.doFinal(blob, 16, n).length;
          }
          return s;
        }, 1));
    final Cipher reused = Cipher.getInstance(TRANSFORMATION);
    final SecretKeySpec keySpec = new SecretKeySpec(key, "AES");
    record("decrypt_reused_" + size, "javax.crypto, one Cipher reused, " + size + " B blob",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) {
            reused.init(Cipher.DECRYPT_MODE, keySpec, new IvParameterSpec(blob, 0, 16));
            s += reused.doFinal(blob, 16, n).length;
          }
          return s;
        }, 1));
  }

  private static String[] presentPaths;

  /** {@code n} readable files in a temporary folder, made once and removed at exit. */
  private static String[] presentPaths(int n) throws IOException {
    if (presentPaths == null) {
      final Path dir = Files.createTempDirectory("rootchecker-jvm-bench");
      dir.toFile().deleteOnExit();
      presentPaths = new String[n];
      for (int i = 0; i < n; ++i) {
        final Path file = Files.write(dir.resolve("su" + i), new byte[] {'#', '!'});
        file.toFile().deleteOnExit();
        presentPaths[i] = file.toString();
      }
    }
    return presentPaths;
  }

  private static void pathBenchmarks() throws Exception {
    final String[] paths = NativeRootChecker.DEFAULT_PATHS.toArray(new String[0]);
    final int n = paths.length;
    int found = NativeRootChecker.nativeCheckForRoot(paths);
    if (recording) {
      System.out.printf("  (default path list: %d paths, %d of them readable here)%n", n, found);
      results.put("paths", (double) n);
      results.put("paths_readable", (double) found);
    }

    record("path_native", "nativeCheckForRoot(default list), per path",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) s += NativeRootChecker.nativeCheckForRoot(paths);
          return s;
        }, n));
    record("path_fopen", "bare fopen/fclose loop in C, per path",
        measure(calls -> BenchNative.fopenLoop(paths, calls), n));
    record("path_open", "bare open/close loop in C, per path",
        measure(calls -> BenchNative.openLoop(paths, calls), n));
    record("path_fis", "Java FileInputStream open+close, per path",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) {
            for (String path : paths) {
              try {
                new FileInputStream(path).close();
                ++s;
              } catch (IOException e) {
                // absent or unreadable: not counted
              }
            }
          }
          return s;
        }, n));
    record("path_canread", "Java File.canRead (no open), per path",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) {
            for (String path : paths) {
              if (new File(path).canRead()) ++s;
            }
          }
          return s;
        }, n));
    record("path_isreadable", "Java Files.isReadable (no open), per path",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) {
            for (String path : paths) {
              final Path p = Paths.get(path);
              if (Files.isReadable(p)) ++s;
            }
          }
          return s;
        }, n));
    // The same count of paths that all exist, for the root check on hits.
    final String[] present = presentPaths(n);
    record("path_native_present", "nativeCheckForRoot(existing files), per path",
        measure(calls -> {
          long s = 0;
          for (int i = 0; i < calls; ++i) s += NativeRootChecker.nativeCheckForRoot(present);
          return s;
        }, n));
    record("path_fopen_present", "bare fopen/fclose loop in C, existing files, per path",
        measure(calls -> BenchNative.fopenLoop(present, calls), n));
    record("path_open_present", "bare open/close loop in C, existing files, per path",
        measure(calls -> BenchNative.openLoop(present, calls), n));
    record("jni_nop", "an empty JNI call",
        measure(calls -> {
          for (int i = 0; i < calls; ++i) BenchNative.nop();
          return calls;
        }, 1));
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: JvmBench KEY_HEX_FILE");
      System.exit(2);
    }
    final byte[] key = readKey(args[0]);
    if (!THREADS.isCurrentThreadCpuTimeSupported()) throw new IllegalStateException("no thread CPU time");
    THREADS.setThreadCpuTimeEnabled(true);
    System.out.printf("JVM: %s %s (%s), os.arch %s; %d rounds of ~%d ms, median CPU time%n",
        System.getProperty("java.vm.name"), System.getProperty("java.vm.version"),
        System.getProperty("sun.arch.data.model", "?") + "-bit",
        System.getProperty("os.arch"), ROUNDS, ROUND_NANOS / 1_000_000);

    // A first pass over everything lets the JIT settle (javax.crypto's code
    // paths included) before any figure is taken.
    for (int pass = 0; pass < 2; ++pass) {
      recording = pass == 1;
      decryptBenchmarks(key, 48, 20);
      decryptBenchmarks(key, 1024, 1000);
      pathBenchmarks();
    }

    System.out.println("Ratios (same run):");
    ratio("ratio_native_fresh_48", "nativeDecrypt / fresh Cipher, 48 B", "decrypt_native_48",
        "decrypt_fresh_48", "(target <= 0.25)");
    ratio("ratio_nowipe_fresh_48", "nativeDecrypt without the trace wipe / fresh Cipher, 48 B",
        "decrypt_nowipe_48", "decrypt_fresh_48", "");
    ratio("ratio_native_nowipe_48", "nativeDecrypt / the same without the trace wipe, 48 B",
        "decrypt_native_48", "decrypt_nowipe_48", "(target <= 1.05)");
    ratio("ratio_native_reused_48", "nativeDecrypt / reused Cipher, 48 B", "decrypt_native_48",
        "decrypt_reused_48", "");
    ratio("ratio_native_fresh_1024", "nativeDecrypt / fresh Cipher, 1 KiB", "decrypt_native_1024",
        "decrypt_fresh_1024", "");
    ratio("ratio_native_reused_1024", "nativeDecrypt / reused Cipher, 1 KiB",
        "decrypt_native_1024", "decrypt_reused_1024", "");
    ratio("ratio_path_native_fopen", "nativeCheckForRoot / bare fopen+fclose, per path",
        "path_native", "path_fopen", "(target <= 1.25)");
    ratio("ratio_path_native_fopen_present",
        "nativeCheckForRoot / bare fopen+fclose, existing files, per path", "path_native_present",
        "path_fopen_present", "");
    ratio("ratio_path_native_open", "nativeCheckForRoot / bare open+close, per path",
        "path_native", "path_open", "");
    ratio("ratio_path_native_open_present",
        "nativeCheckForRoot / bare open+close, existing files, per path", "path_native_present",
        "path_open_present", "");
    ratio("ratio_path_native_fis", "nativeCheckForRoot / FileInputStream, per path",
        "path_native", "path_fis", "(target < 1)");
    ratio("ratio_path_native_canread", "nativeCheckForRoot / File.canRead, per path",
        "path_native", "path_canread", "");
    ratio("ratio_path_native_isreadable", "nativeCheckForRoot / Files.isReadable, per path",
        "path_native", "path_isreadable", "");

    for (Map.Entry<String, Double> e : results.entrySet()) {
      System.out.printf("RESULT %s %.4f%n", e.getKey(), e.getValue());
    }
    if (sink == 42) System.out.println();  // keeps the results alive
  }
}
