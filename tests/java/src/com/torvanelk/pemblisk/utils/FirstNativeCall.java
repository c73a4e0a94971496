package com.torvanelk.pemblisk.utils;

/**
 * Calls one native method as the very first use of its class, in a JVM of
 * its own: the class must have loaded the library while it was initialised,
 * or the call fails to bind. Run by java.first_native_call.*.
 */
public final class FirstNativeCall {

  private FirstNativeCall() {}

  public static void main(String[] args) {
    if (args.length == 1 && args[0].equals("nativeDecrypt")) {
      System.out.println("nativeDecrypt: " + NativePasswordDecrypter.nativeDecrypt(new byte[16]));
    } else if (args.length == 1 && args[0].equals("nativeCheckForRoot")) {
      System.out.println("nativeCheckForRoot: " + NativeRootChecker.nativeCheckForRoot(new String[0]));
    } else {
      System.err.println("usage: FirstNativeCall nativeDecrypt|nativeCheckForRoot");
      System.exit(2);
    }
  }
}
