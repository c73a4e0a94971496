// Must NOT compile: decrypt() returns null for a bad blob, and Kotlin must
// see that from the class file (ByteArray?), not take it as a platform type.
import com.torvanelk.pemblisk.utils.NativePasswordDecrypter

fun passwordOrCrash(blob: ByteArray): ByteArray {
    val password: ByteArray = NativePasswordDecrypter.decrypt(blob)
    return password
}
