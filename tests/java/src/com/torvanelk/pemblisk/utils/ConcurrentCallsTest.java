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
import java.util.Collections;
import java.util.List;
import java.util.Queue;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;
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
    long heapBefore = Runtime.getRuntime().totalMemory() >> 10;
    // Resident memory through the run: a leak keeps climbing, warm-up (JIT
    // code, per-thread malloc arenas, heap pages touched for the first time)
    // levels off.
    List<Long> rssSamples = Collections.synchronizedList(new ArrayList<>());
    // Stopped by a flag, not by interrupting it: an interrupt during the read
    // of /proc would close the channel under it.
    AtomicBoolean sampling = new AtomicBoolean(true);
    Thread sampler = new Thread(() -> {
      while (sampling.get()) {
        rssSamples.add(TestEnv.residentKb());
        LockSupport.parkNanos(100_000_000L);
      }
    });
    sampler.setDaemon(true);
    Queue<String> mismatches = new ConcurrentLinkedQueue<>();
    CountDownLatch start = new CountDownLatch(1);
    ExecutorService pool = Executors.newFixedThreadPool(THREADS);
    long began = System.nanoTime();
    for (int t = 0; t < THREADS; t++) {
      final int thread = t;
      pool.execute(() -> {
        try {
          start.await();
          for (int i = 0; i < ITERATIONS; i++) {
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
        } catch (InterruptedException e) {
          mismatches.add("thread " + thread + " interrupted");
        }
      });
    }
    sampler.start();
    start.countDown();
    pool.shutdown();
    assertTrue(pool.awaitTermination(10, TimeUnit.MINUTES), "threads still running after 10 minutes");
    double seconds = (System.nanoTime() - began) / 1e9;
    sampling.set(false);
    sampler.join();
    List<String> fdsAfter = TestEnv.openFds();
    String rssAfter = TestEnv.residentMemory();
    long heapAfter = Runtime.getRuntime().totalMemory() >> 10;

    long calls = 2L * THREADS * ITERATIONS;
    // The Java heap is part of VmRSS: its committed size tells its share of any growth.
    System.out.printf("stress: %d threads x %d iterations = %d native calls in %.2f s;"
            + " VmRSS %s before, %s after (Java heap committed %d kB before, %d kB after);"
            + " %d fds before, %d after%n",
        THREADS, ITERATIONS, calls, seconds, rssBefore, rssAfter, heapBefore, heapAfter,
        fdsBefore.size(), fdsAfter.size());
    List<Long> samples = List.copyOf(rssSamples);
    if (samples.size() >= 4) {
      int n = samples.size();
      System.out.printf("stress: VmRSS at a quarter, half, three quarters and the end of the run:"
              + " %d, %d, %d, %d kB%n",
          samples.get(n / 4), samples.get(n / 2), samples.get(3 * n / 4), samples.get(n - 1));
      // After the first quarter (warm-up), a sound run moves by a few hundred
      // kB; at the default size, a leak of 100 bytes a call would add 24 MB.
      long grown = samples.get(n - 1) - samples.get(n / 4);
      assertTrue(grown < 8 * 1024, "resident memory grew by " + grown + " kB after warm-up");
    }

    assertEquals(List.of(), List.copyOf(mismatches).subList(0, Math.min(20, mismatches.size())),
        mismatches.size() + " wrong answers, the first shown");
    assertEquals(fdsBefore, fdsAfter, "open file descriptors before and after");
  }
}
