package com.torvanelk.pemblisk.utils;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Queue;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/**
 * Many threads call both native methods at once; every answer must equal the
 * single-threaded one. Sized by -Drootchecker.stress.iterations (calls of each
 * method per thread) and -Drootchecker.stress.threads, or through ctest by
 * $ROOTCHECKER_STRESS_ITERATIONS and $ROOTCHECKER_STRESS_THREADS.
 */
@Tag("stress")
@ExtendWith(TestEnv.SeedReporter.class)
class ConcurrentCallsTest {

  static final int THREADS = setting("rootchecker.stress.threads", 16);
  static final int ITERATIONS = setting("rootchecker.stress.iterations", 10000);
  static final int BATCHES = 20;

  static int setting(String property, int fallback) {
    String variable = property.toUpperCase().replace('.', '_');
    String given = System.getProperty(property, System.getenv(variable));
    return given != null ? Integer.parseInt(given.trim()) : fallback;
  }

  @TempDir Path dir;

  @Test
  void threadsCallingBothMethodsGetTheSingleThreadedAnswers() throws Exception {
    String readable = Files.writeString(dir.resolve("readable"), "x").toString();
    String missing = dir.resolve("missing").toString();
    String[][] pathSets = {
      {readable, missing, readable},
      {missing},
      {readable, dir.toString(), null, missing, readable},
      {},
    };

    Random random = TestEnv.random();
    List<byte[]> blobs = new ArrayList<>();
    for (int length : new int[] {0, 1, 15, 16, 31, 64, 100}) {
      byte[] password = new byte[length];
      random.nextBytes(password);
      byte[] iv = new byte[16];
      random.nextBytes(iv);
      blobs.add(NativePasswordDecrypterTest.seal(NativePasswordDecrypterTest.KEY, iv, password));
    }
    for (int length : new int[] {48, 48, 48, 48, 33, 16}) {  // random bytes: mostly null
      byte[] blob = new byte[length];
      random.nextBytes(blob);
      blobs.add(blob);
    }

    // The single-threaded answers, which also load the library before the first snapshot.
    int[] counts = new int[pathSets.length];
    for (int i = 0; i < pathSets.length; i++) counts[i] = NativeRootChecker.nativeCheckForRoot(pathSets[i]);
    assertArrayEquals(new int[] {2, 0, 3, 0}, counts);
    byte[][] passwords = new byte[blobs.size()][];
    for (int i = 0; i < blobs.size(); i++) passwords[i] = NativePasswordDecrypter.nativeDecrypt(blobs.get(i));
    assertNull(passwords[blobs.size() - 1]);

    List<String> fdsBefore = TestEnv.openFds();
    String rssBefore = TestEnv.residentMemory();
    Queue<String> mismatches = new ConcurrentLinkedQueue<>();
    ExecutorService pool = Executors.newFixedThreadPool(THREADS);
    // The calls run in batches on the same threads, and the C allocator's
    // bytes in use are read around each. A leak grows them in every batch, in
    // proportion to its calls. They are judged only on a quiet VM (the
    // java.leaks run): elsewhere the JIT moves them by megabytes.
    int perBatch = Math.max(1, ITERATIONS / BATCHES);
    long began = System.nanoTime();
    long[] growth = new long[BATCHES];
    for (int batch = 0; batch < BATCHES; batch++) {
      long before = TestNative.inUseBytes();
      CountDownLatch done = new CountDownLatch(THREADS);
      for (int t = 0; t < THREADS; t++) {
        final int thread = t;
        final int first = batch * perBatch;
        pool.execute(() -> {
          try {
            for (int i = first; i < first + perBatch; i++) {
              int s = (thread + i) % pathSets.length;
              int count = NativeRootChecker.nativeCheckForRoot(pathSets[s]);
              if (count != counts[s]) {
                mismatches.add("thread " + thread + " call " + i + ": path set " + s
                    + " counted " + count + ", expected " + counts[s]);
              }
              int b = (thread + i) % passwords.length;
              byte[] password = NativePasswordDecrypter.nativeDecrypt(blobs.get(b));
              if (!Arrays.equals(password, passwords[b])) {
                mismatches.add("thread " + thread + " call " + i + ": blob " + b + " gave "
                    + TestEnv.hex(password) + ", expected " + TestEnv.hex(passwords[b]));
              }
            }
          } finally {
            done.countDown();
          }
        });
      }
      assertTrue(done.await(10, TimeUnit.MINUTES), "threads still running after 10 minutes");
      growth[batch] = TestNative.inUseBytes() - before;
    }
    double seconds = (System.nanoTime() - began) / 1e9;
    pool.shutdown();
    assertTrue(pool.awaitTermination(1, TimeUnit.MINUTES));
    List<String> fdsAfter = TestEnv.openFds();

    long calls = 2L * THREADS * perBatch * BATCHES;
    System.out.printf("stress: %d threads x %d batches x %d iterations = %d native calls in %.2f s;"
            + " C heap growth in each batch: %s bytes; VmRSS %s before, %s after;"
            + " %d fds before, %d after%n",
        THREADS, BATCHES, perBatch, calls, seconds, Arrays.toString(growth), rssBefore,
        TestEnv.residentMemory(), fdsBefore.size(), fdsAfter.size());
    // At the default size a batch makes 8000 calls of each method; a leak of
    // 100 bytes a decryption adds 800 kB to each. On a quiet VM a sound
    // library's late batches grow by nothing at all (measured: 0 bytes in all
    // of the last 17 batches, under load); the median of the second half
    // leaves room for a few that the VM itself moves.
    if (TestNative.isQuiet()) {
      long[] late = Arrays.copyOfRange(growth, growth.length / 2, growth.length);
      Arrays.sort(late);
      long median = late[late.length / 2];
      long decryptions = (long) THREADS * perBatch;
      assertTrue(median < 16 * decryptions,
          "the C heap grew by " + median + " bytes in the median late batch of " + decryptions
              + " calls of each method");
    }

    assertEquals(List.of(), List.copyOf(mismatches).subList(0, Math.min(20, mismatches.size())),
        mismatches.size() + " wrong answers, the first shown");
    assertEquals(fdsBefore, fdsAfter, "open file descriptors before and after");
  }
}
