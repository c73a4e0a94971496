package com.torvanelk.pemblisk.utils;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;

class NativeRootCheckerTest {

  @TempDir Path dir;
  String readable;
  String otherReadable;
  String missing;
  String directory;

  @BeforeEach
  void makeFiles() throws IOException {
    readable = Files.writeString(dir.resolve("readable"), "x").toString();
    otherReadable = Files.createFile(dir.resolve("other readable")).toString();
    missing = dir.resolve("missing").toString();
    directory = Files.createDirectory(dir.resolve("sub")).toString();
  }

  /** The JVM's own answer to "can this process open the path for reading?". */
  static boolean jvmCanOpen(String path) {
    try {
      FileChannel.open(Paths.get(path), StandardOpenOption.READ).close();
      return true;
    } catch (IOException | RuntimeException e) {
      return false;
    }
  }

  static int count(String... paths) {
    return NativeRootChecker.nativeCheckForRoot(paths);
  }

  @Test
  void countsThePathsThatOpen() {
    String[] many = new String[100_000];
    for (int i = 0; i < many.length; i++) many[i] = i % 4 == 0 ? readable : missing;

    Object[][] cases = {
      {"empty array", new String[0], 0},
      {"readable, missing, readable", new String[] {readable, missing, readable}, 2},
      {"one readable path three times", new String[] {readable, readable, readable}, 3},
      {"every path is probed after a hit", new String[] {readable, otherReadable, missing}, 2},
      {"only missing paths", new String[] {missing, missing + "/below", ""}, 0},
      {"a directory opens for reading", new String[] {directory}, 1},
      {"null elements add 0", new String[] {null, readable, null, missing, otherReadable}, 2},
      {"only null elements", new String[] {null, null}, 0},
      {"null array", null, 0},
      {"100,000 paths, one in four readable", many, 25_000},
    };
    assertAll(Arrays.stream(cases).map(c ->
        (Executable) () -> assertEquals((int) c[2], count((String[]) c[1]), (String) c[0])));
  }

  @Test
  void aNameOutsideAsciiIsFound() throws IOException {
    assumeTrue(Charset.defaultCharset().equals(StandardCharsets.UTF_8)
            && "UTF-8".equals(System.getProperty("sun.jnu.encoding")),
        "file names are not UTF-8 in this locale (run with LC_ALL=C.UTF-8)");
    String name = Files.createFile(dir.resolve("süß €")).toString();
    assertEquals(1, count(name), name);
    assertEquals(0, count(name + "x"), name + "x");
  }

  /** Makes a FIFO with the mkfifo tool: the JDK has no call for it. */
  static String mkfifo(Path path) throws IOException {
    assertEquals(0, TestNative.mkfifo(path.toString()), "mkfifo " + path + ": errno");
    int mode = (Integer) Files.getAttribute(path, "unix:mode", LinkOption.NOFOLLOW_LINKS);
    assertEquals(0010000, mode & 0170000, path + " is not a FIFO");  // S_IFIFO
    return path.toString();
  }

  /**
   * Nobody writes to the FIFO, so an open that waits for a writer never returns. The call runs
   * in another thread that JUnit abandons after the deadline: a thread stuck in native code
   * cannot be interrupted, but the test fails instead of hanging the run.
   */
  @Test
  void aFifoWithoutWriterCountsAtOnce() throws IOException {
    String fifo = mkfifo(dir.resolve("fifo"));
    String[] paths = {readable, fifo, readable};
    count(readable);  // loads the library before the first snapshot
    List<String> before = TestEnv.openFds();
    int n = assertTimeoutPreemptively(Duration.ofSeconds(10), () -> count(paths),
        "nativeCheckForRoot did not return: the FIFO open blocked");
    assertEquals(3, n);
    assertEquals(List.of(readable, fifo, readable),
        assertTimeoutPreemptively(Duration.ofSeconds(10),
            () -> NativeRootChecker.findReadable(Arrays.asList(paths))));
    assertEquals(before, TestEnv.openFds(), "open file descriptors before and after");
  }

  @Test
  void anExistingFileThatCannotBeReadCountsZero() throws IOException {
    List<String> unreadable = new ArrayList<>();
    Path noRights = Files.createFile(dir.resolve("no rights"));
    Files.setPosixFilePermissions(noRights, PosixFilePermissions.fromString("---------"));
    // Root reads any file whatever its mode, but not a write-only sysfs attribute.
    for (String p : List.of(noRights.toString(), "/sys/bus/pci/rescan", "/sys/bus/cpu/uevent",
        "/sys/bus/platform/drivers_probe")) {
      if (Files.exists(Paths.get(p)) && !jvmCanOpen(p)) unreadable.add(p);
    }
    assumeFalse(unreadable.isEmpty(), "no existing file here that this process cannot read");
    for (String p : unreadable) assertEquals(0, count(p), p);
    assertEquals(List.of(), NativeRootChecker.findReadable(unreadable));
  }

  @Test
  void findReadableNamesExactlyTheFoundPaths() throws IOException {
    List<String> paths = Arrays.asList(
        readable, missing, directory, otherReadable, readable, null, missing + "/below");
    List<String> found = NativeRootChecker.findReadable(paths);
    assertEquals(List.of(readable, directory, otherReadable, readable), found);
    assertEquals(found.size(), NativeRootChecker.countReadable(paths));
    assertEquals(List.of(), NativeRootChecker.findReadable(List.of()));
    assertThrows(NullPointerException.class, () -> NativeRootChecker.findReadable(null));
  }

  @Test
  void agreesWithTheJvmOnTheDefaultPathsAndSomeSystemPaths() throws IOException {
    List<String> paths = new ArrayList<>(NativeRootChecker.DEFAULT_PATHS);
    paths.addAll(List.of("/", "/etc/passwd", "/etc/shadow", "/proc/self/status", "/root",
        "/sys/bus/pci/rescan", "/dev/null", "/nonexistent/su", readable, missing, directory));
    List<String> expected = paths.stream().filter(NativeRootCheckerTest::jvmCanOpen)
        .collect(Collectors.toList());
    assertEquals(expected, NativeRootChecker.findReadable(paths));
    assertEquals(expected.size(), NativeRootChecker.countReadable(paths));
    assertEquals(
        NativeRootChecker.findReadable(NativeRootChecker.DEFAULT_PATHS),
        NativeRootChecker.findReadableDefaultPaths());
  }

  /**
   * With no descriptor free the paths cannot be probed: the raw call answers -1, not 0, and every
   * helper throws instead of returning an empty result. The table is filled in this process, so
   * everything that runs meanwhile is loaded before and checked after.
   */
  @Test
  void withNoFreeDescriptorTheCheckFailsInsteadOfFindingNothing() throws IOException {
    String[] paths = {readable, directory, missing};
    List<String> list = Arrays.asList(paths);
    assertEquals(2, count(paths));
    assertEquals(List.of(readable, directory), NativeRootChecker.findReadable(list));
    assertFalse(jvmCanOpen(missing));
    List<String> fdsBefore = TestEnv.openFds();

    int raw;
    boolean jvmOpened;
    Object[] helpers = new Object[3];
    int taken = TestNative.fillDescriptorTable();
    try {
      raw = count(paths);
      jvmOpened = jvmCanOpen(readable);
      helpers[0] = outcome(() -> NativeRootChecker.countReadable(list));
      helpers[1] = outcome(() -> NativeRootChecker.findReadable(list));
      helpers[2] = outcome(NativeRootChecker::findReadableDefaultPaths);
    } finally {
      if (taken >= 0) assertEquals(0, TestNative.emptyDescriptorTable(), "restoring the limit");
    }
    assertTrue(taken >= 0, "could not fill the descriptor table: errno " + -taken);
    assertFalse(jvmOpened, "the JVM still opened a file: the table was not full");

    String[] names = {"countReadable", "findReadable", "findReadableDefaultPaths"};
    System.out.println("nativeCheckForRoot with no free descriptor: " + raw);
    for (int i = 0; i < helpers.length; i++) {
      System.out.println(names[i] + " with no free descriptor: " + helpers[i]);
    }
    assertEquals(-1, raw, "nativeCheckForRoot with no free descriptor");
    for (int i = 0; i < helpers.length; i++) {
      Object h = helpers[i];
      assertTrue(h instanceof IOException, names[i] + " gave " + h + " instead of IOException");
      String message = ((IOException) h).getMessage();
      assertTrue(message.contains("EMFILE"), names[i] + ": " + message);
    }

    assertEquals(2, count(paths), "after the table was emptied");
    assertEquals(fdsBefore, TestEnv.openFds(), "open file descriptors before and after");
  }

  interface Call {
    Object run() throws IOException;
  }

  /** What {@code call} returned, or the exception it threw. */
  static Object outcome(Call call) {
    try {
      return call.run();
    } catch (IOException | RuntimeException e) {
      return e;
    }
  }

  @Test
  void theDefaultListIsAbsoluteUniqueAndUnmodifiable() {
    List<String> paths = NativeRootChecker.DEFAULT_PATHS;
    assertTrue(paths.size() > 20, "only " + paths.size() + " default paths");
    for (String p : paths) assertTrue(p.startsWith("/") && !p.endsWith("/"), p);
    assertEquals(paths.size(), new HashSet<>(paths).size(), "duplicates in " + paths);
    assertTrue(paths.contains("/system/xbin/su") && paths.contains("/data/adb/magisk"));
    assertThrows(UnsupportedOperationException.class, () -> paths.add("/x"));
  }

  /** A path's characters that are not given back would stay allocated: 80 MB a round here. */
  @Test
  @Tag("leak")
  void repeatedCallsHoldNoMemory() {
    String[] paths = new String[2000];
    Arrays.fill(paths, dir + "/" + "m".repeat(4000));  // too long to open: fails fast
    long grown = TestNative.medianGrowth(() -> {
      for (int i = 0; i < 10; i++) assertEquals(0, count(paths));
    });
    assertTrue(grown < 16 << 20, "the C heap grew by " + grown + " bytes in the median 10 calls");
  }

  @Test
  void leavesNoFileDescriptorOpen() throws IOException {
    String[] paths = {readable, missing, directory, otherReadable, "/sys/bus/pci/rescan"};
    count(paths);  // loads the library and warms up before the first snapshot
    List<String> before = TestEnv.openFds();
    int total = 0;
    for (int i = 0; i < 1000; i++) total += count(paths);
    List<String> found = NativeRootChecker.findReadable(Arrays.asList(paths));
    List<String> after = TestEnv.openFds();
    assertEquals(1000 * count(paths), total);
    assertFalse(found.isEmpty());
    assertEquals(before, after, "open file descriptors before and after 1000 calls");
  }
}
