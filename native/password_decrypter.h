// The password decrypter: a blob is a 16-byte IV followed by AES-128-CBC
// ciphertext of whole blocks; the last decrypted byte p (1..16) gives the
// padding length, and the password is all bytes before the padding. Only that
// last byte is examined. The key is the library's own.
#ifndef ROOTCHECKER_NATIVE_PASSWORD_DECRYPTER_H
#define ROOTCHECKER_NATIVE_PASSWORD_DECRYPTER_H

#include <jni.h>

#include <cstdint>

#include "native/secure_wipe.h"

// The key is never stored whole: it is the byte-wise XOR of these two shares,
// built on every call and wiped after use. Their bytes come from the build.
extern const uint8_t key_share_a[16];
extern const uint8_t key_share_b[16];

// The length rule: a blob must be 16 + 16k bytes, k >= 1, and fit a Java
// array. Returns the ciphertext length 16k, or 0 for a wrong length.
uint32_t password_blob_ciphertext_length(uint32_t blob_length);

// Intake, the only stage that reads the blob: copies its first 16 bytes into
// `iv` and the `ciphertext_length` bytes after them into `work`, which then
// holds exactly those bytes. `ciphertext_length` must come from
// password_blob_ciphertext_length. Throws std::bad_alloc if `work` cannot grow.
void take_password_blob(const uint8_t* blob, uint32_t ciphertext_length,
                        uint8_t iv[16], secret_bytes& work);

// Decryption: builds the key, decrypts `work` in place under it and `iv` with
// decrypt_blob_ciphertext, wipes the key and returns
// password_length_from_padding. `work` holds a whole number of blocks, at
// least one.
int32_t open_password_blob(const uint8_t iv[16], secret_bytes& work);

// The two steps of decryption, for callers that bring their own key (the
// sealing tool). decrypt_blob_ciphertext decrypts `work` in place, then wipes
// its cipher context, the stack below it that the cipher used and the vector
// registers; password_length_from_padding reads the last byte p of
// non-empty `work` and returns the password length, size - p, or -1 when p is
// 0 or above 16. The other padding bytes are not examined.
void decrypt_blob_ciphertext(const uint8_t key[16], const uint8_t iv[16],
                             secret_bytes& work);
int32_t password_length_from_padding(const secret_bytes& work);

// decrypt_password_blob runs the length rule and both stages on `blob_length`
// bytes at `blob`. On success `password` holds the password (possibly empty)
// and true is returned; on a wrong length or padding byte it returns false,
// and for a wrong length the blob is not read. Throws std::bad_alloc.
bool decrypt_password_blob(const uint8_t* blob, uint32_t blob_length,
                           secret_bytes& password);

extern "C" {

// Returns a new byte array holding the password, or null for a null blob, a
// wrong length or padding byte, or when the VM or the allocator fails. The
// caller's array is never changed. Raises no exception of its own; one that
// the VM raised stays pending.
JNIEXPORT jbyteArray JNICALL
Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
    JNIEnv* env, jobject receiver, jbyteArray blob);

}  // extern "C"

#endif  // ROOTCHECKER_NATIVE_PASSWORD_DECRYPTER_H
