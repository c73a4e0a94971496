import com.torvanelk.pemblisk.utils.NativePasswordDecrypter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

/**
 * Opens each blob file (hex) with the library's nativeDecrypt and prints, one
 * line a file, "password " and the password in hex (none for an empty one),
 * or "null".
 */
public final class OpenBlob {
  private OpenBlob() {}

  public static void main(String[] args) throws Exception {
    for (String file : args) {
      String hex = new String(Files.readAllBytes(Paths.get(file)), StandardCharsets.US_ASCII)
          .replaceAll("\\s+", "");
      byte[] blob = new byte[hex.length() / 2];
      for (int i = 0; i < blob.length; i++) {
        blob[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
      }
      byte[] password = NativePasswordDecrypter.nativeDecrypt(blob);
      if (password == null) {
        System.out.println("null");
        continue;
      }
      StringBuilder out = new StringBuilder("password ");
      for (byte b : password) out.append(String.format("%02x", b & 0xff));
      System.out.println(out);
    }
  }
}
