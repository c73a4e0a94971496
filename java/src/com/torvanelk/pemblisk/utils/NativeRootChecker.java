package com.torvanelk.pemblisk.utils;

import androidx.annotation.NonNull;
import androidx.annotation.Nullable;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collection;
import java.util.Collections;
import java.util.List;

/**
 * Looks for files that root tools leave on an Android device, through
 * {@code librootchecker.so}.
 *
 * <p>The library does one thing: given paths, it counts how many of them this
 * process can open for reading. It holds no paths and draws no conclusion;
 * this class supplies a default list ({@link #DEFAULT_PATHS}) and a way to learn
 * which paths were found ({@link #findReadable}), so that a hit can be looked
 * at before anything is done about it.
 *
 * <p><b>This is a heuristic, not a proof.</b>
 * <ul>
 *   <li>It only sees files. Magisk's DenyList (formerly MagiskHide), Zygisk
 *       modules, KernelSU and similar tools unmount or hide their files from
 *       the apps they choose, and a renamed or relocated {@code su} is not on
 *       any list; a rooted device can therefore count 0.</li>
 *   <li>A path counts when it opens for reading (the library calls
 *       {@code open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)} and
 *       closes the descriptor at once; for files and directories that is the
 *       answer {@code fopen(path, "r")} gives). A directory opens too, and so
 *       does a FIFO, without waiting for a writer; so a directory or FIFO that
 *       happens to exist at a listed path counts. Emulator and {@code userdebug} system images ship
 *       {@code su}, and some vendor images ship {@code busybox}; a device
 *       that is not rooted by its user can therefore count more than 0.</li>
 *   <li>A file that exists but that this app may not read (SELinux, file
 *       modes, another app's private data) is seen as absent. Since Android 11
 *       apps cannot see other apps' data folders at all, and {@code /data/adb}
 *       and {@code /sbin} are normally closed to apps; those entries only hit
 *       on devices whose permissions were loosened.</li>
 * </ul>
 *
 * <p>A probe that fails because the process is out of file descriptors or
 * the kernel out of memory ({@code EMFILE}, {@code ENFILE}, {@code ENOMEM})
 * says nothing about the path, so it is never counted as "not found":
 * {@link #nativeCheckForRoot} then returns -1, and the helpers throw
 * {@link IOException}. A leak of descriptors elsewhere in the app therefore
 * shows up as a failed check, not as a clean device.
 *
 * <p>Every path is probed with blocking file I/O (a slow or stuck file system
 * still holds the call up, though no FIFO does): call these methods off the
 * main thread. The methods are thread-safe and keep no state.
 *
 * <p>The first use of the class tries once to load the library.
 * {@link #DEFAULT_PATHS} needs no native code and is there without it;
 * {@link #isAvailable} tells whether it loaded. Without it, the methods that
 * probe paths throw {@link UnsatisfiedLinkError} on every call.
 */
public final class NativeRootChecker {

  // Read in this class's initialiser, so that the library is loaded before the
  // JVM binds nativeCheckForRoot, even when that is the first call. Never throws.
  private static final Throwable LOAD_ERROR = RootCheckerLibrary.LOAD_ERROR;

  /**
   * Well-known places of root tools on Android: {@code su} binaries,
   * root-manager apps, busybox, and the files of Magisk, KernelSU and APatch.
   * Unmodifiable. Pass your own list to {@link #findReadable} to add to it or
   * to leave entries out.
   */
  public static final @NonNull List<String> DEFAULT_PATHS =
      Collections.unmodifiableList(Arrays.asList(
      // su binaries: system, vendor and data folders, and SuperSU's systemless /su.
      "/system/bin/su",
      "/system/xbin/su",
      "/system/sbin/su",
      "/sbin/su",
      "/vendor/bin/su",
      "/vendor/xbin/su",
      "/odm/bin/su",
      "/product/bin/su",
      "/su/bin/su",
      "/su/xbin/su",
      "/system/sd/xbin/su",
      "/system/bin/failsafe/su",
      "/system/bin/.ext/.su",
      "/system/xbin/.ext/.su",
      "/data/local/su",
      "/data/local/bin/su",
      "/data/local/xbin/su",
      "/data/local/tmp/su",
      "/cache/su",
      "/dev/su",
      // SuperSU's daemon and its init hooks.
      "/system/xbin/daemonsu",
      "/system/xbin/sugote",
      "/system/etc/.installed_su_daemon",
      "/system/etc/.has_su_daemon",
      "/system/etc/init.d/99SuperSUDaemon",
      // Root-manager apps installed into the system image.
      "/system/app/Superuser.apk",
      "/system/app/Superuser/Superuser.apk",
      "/system/app/SuperSU.apk",
      "/system/app/SuperSU/SuperSU.apk",
      "/system/app/Kinguser.apk",
      "/system/priv-app/Superuser.apk",
      "/system/priv-app/SuperSU/SuperSU.apk",
      // Root-manager apps' data folders (visible only where permissions allow).
      "/data/data/com.topjohnwu.magisk",
      "/data/data/eu.chainfire.supersu",
      "/data/data/com.koushikdutta.superuser",
      "/data/data/com.noshufou.android.su",
      "/data/data/com.thirdparty.superuser",
      "/data/data/me.phh.superuser",
      "/data/data/com.kingroot.kinguser",
      "/data/data/com.kingouser.com",
      "/data/data/me.weishu.kernelsu",
      "/data/data/me.bmax.apatch",
      // busybox, which root setups usually install beside su.
      "/system/bin/busybox",
      "/system/xbin/busybox",
      "/sbin/busybox",
      "/vendor/bin/busybox",
      "/su/xbin/busybox",
      "/data/local/busybox",
      "/data/local/bin/busybox",
      "/data/local/xbin/busybox",
      // Magisk: its binaries, mirrors and state, old and new layouts.
      "/sbin/magisk",
      "/sbin/.magisk",
      "/sbin/.core/mirror",
      "/sbin/.core/img",
      "/system/bin/magisk",
      "/debug_ramdisk/magisk",
      "/debug_ramdisk/.magisk",
      "/dev/.magisk.unblock",
      "/data/adb/magisk",
      "/data/adb/magisk.db",
      "/data/adb/magisk.img",
      "/data/adb/modules",
      "/data/adb/post-fs-data.d",
      "/data/adb/service.d",
      "/data/magisk.img",
      "/cache/magisk.log",
      "/cache/.disable_magisk",
      "/init.magisk.rc",
      // KernelSU and APatch.
      "/data/adb/ksu",
      "/data/adb/ksud",
      "/data/adb/ap",
      "/data/adb/apd"));

  private NativeRootChecker() {}

  /**
   * Whether {@code librootchecker.so} loaded, so that paths can be probed.
   * Tried once per class loader; the answer does not change.
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
   * Returns how many of {@code paths} this process can open for reading, or
   * -1 if a path could not be probed at all: the process had no free file
   * descriptor, the system's file table was full, or the kernel was out of
   * memory ({@code EMFILE}, {@code ENFILE}, {@code ENOMEM}). The entries
   * after that one are not probed. Check for -1 before reading the count:
   * {@code count > 0} alone takes a failed check for a clean one.
   *
   * <p>Every entry is probed, duplicates included, so a count lies between 0
   * and {@code paths.length}. A null array counts 0 and a null entry adds 0.
   * A path that is absent, or that this process may not open, adds 0.
   * Paths reach {@code open} as the VM's UTF-8 form of the string. For a
   * character outside the Basic Multilingual Plane that form depends on the
   * VM: HotSpot gives modified UTF-8 (a surrogate pair, 6 bytes), which never
   * matches a file name; the Android Runtime gives standard 4-byte UTF-8,
   * which does. Blocking file I/O.
   *
   * <p>Without the library the JVM's own {@link UnsatisfiedLinkError}, naming
   * only this method, is thrown; {@link #loadError} says why it did not load.
   */
  public static native int nativeCheckForRoot(@Nullable String[] paths);

  /**
   * Returns how many of {@code paths} this process can open for reading; see
   * {@link #nativeCheckForRoot}. One native call for the whole collection.
   *
   * @throws IOException if the paths could not be probed: this process is out
   *     of file descriptors or the system out of file table entries or memory.
   *     Nothing is known then; closing descriptors and trying again may help.
   * @throws NullPointerException if {@code paths} is null
   * @throws UnsatisfiedLinkError if the library did not load; its cause is
   *     {@link #loadError}
   */
  public static int countReadable(@NonNull Collection<String> paths) throws IOException {
    RootCheckerLibrary.requireLoaded();
    return checked(nativeCheckForRoot(paths.toArray(new String[0])));
  }

  /**
   * Returns the entries of {@code paths} that this process can open for
   * reading, in their order, duplicates kept; null entries are never found.
   * Each path is probed on its own (one native call per path), which is what
   * lets the result name them. Blocking file I/O.
   *
   * @throws IOException if a path could not be probed (see
   *     {@link #countReadable}); no partial list is returned
   * @throws NullPointerException if {@code paths} is null
   * @throws UnsatisfiedLinkError if the library did not load; its cause is
   *     {@link #loadError}
   */
  public static @NonNull List<String> findReadable(@NonNull Collection<String> paths)
      throws IOException {
    RootCheckerLibrary.requireLoaded();
    List<String> found = new ArrayList<>();
    String[] one = new String[1];
    for (String path : paths) {
      if (path == null) continue;
      one[0] = path;
      if (checked(nativeCheckForRoot(one)) == 1) found.add(path);
    }
    return found;
  }

  /**
   * Returns the entries of {@link #DEFAULT_PATHS} that this process can open for reading.
   *
   * @throws IOException if a path could not be probed (see {@link #countReadable})
   * @throws UnsatisfiedLinkError if the library did not load
   */
  public static @NonNull List<String> findReadableDefaultPaths() throws IOException {
    return findReadable(DEFAULT_PATHS);
  }

  // A checked exception: "could not look" must be decided on by the caller,
  // never read as "nothing found".
  private static int checked(int count) throws IOException {
    if (count < 0) {
      throw new IOException("root check not made: no file descriptor or memory was free to "
          + "probe a path (EMFILE, ENFILE or ENOMEM); nothing is known about the paths");
    }
    return count;
  }
}
