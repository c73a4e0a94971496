// The password decrypter: a blob is a 16-byte IV followed by AES-128-CBC
// ciphertext of whole blocks; the last decrypted byte p (1..16) gives the
// padding length, and the password is all bytes before the padding. Only that
// last byte is examined. The key is the library's own.
//
// No C++ runtime: the working buffer is a plain heap block, and a failed
// allocation is a null pointer, never an exception.
#ifndef ROOTCHECKER_NATIVE_PASSWORD_DECRYPTER_H
#define ROOTCHECKER_NATIVE_PASSWORD_DECRYPTER_H

#include <jni.h>

#include <stdint.h>

#include "native/secure_wipe.h"

// The key is never stored whole: it is the byte-wise XOR of these two shares,
// built on every call and wiped after use. Their bytes come from the build.
extern const uint8_t key_share_a[16];
extern const uint8_t key_share_b[16];

// The length rule: a blob must be 16 + 16k bytes, k >= 1, and fit a Java
// array. Returns the ciphertext length 16k, or 0 for a wrong length.
uint32_t password_blob_ciphertext_length(uint32_t blob_length);

// Intake, the only stage that reads the blob: copies its first 16 bytes into
// `iv` and returns a new working buffer holding the `ciphertext_length` bytes
// after them, or null when it cannot be allocated. `ciphertext_length` must
// come from password_blob_ciphertext_length. Give the buffer back with
// free_working_buffer.
uint8_t* take_password_blob(const uint8_t* blob, uint32_t ciphertext_length,
                            uint8_t iv[16]);

// Wipes all `size` bytes of a working buffer, then frees it. Null is allowed.
void free_working_buffer(uint8_t* work, uint32_t size);

// Decryption: builds the key, decrypts the `size` bytes of `work` in place
// under it and `iv` as decrypt_blob_ciphertext does, wipes the key and returns
// password_length_from_padding, all with the asynchronous signals blocked.
// `size` is a whole number of blocks, at least one.
int32_t open_password_blob(const uint8_t iv[16], uint8_t* work, uint32_t size);

// The two steps of decryption, for callers that bring their own key (the
// sealing tool). decrypt_blob_ciphertext decrypts `work` in place, then wipes
// its cipher context, the stack below it that the cipher used and the vector
// registers. Meanwhile every signal but the synchronous ones (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS) is blocked, so that no signal
// frame catches the round keys in the registers; the caller's mask is
// restored before it returns. password_length_from_padding reads the last byte
// p of the non-empty `work` and returns the password length, size - p, or -1
// when p is 0 or above 16. The other padding bytes are not examined.
void decrypt_blob_ciphertext(const uint8_t key[16], const uint8_t iv[16],
                             uint8_t* work, uint32_t size);
int32_t password_length_from_padding(const uint8_t* work, uint32_t size);

// decrypt_password_blob's results besides a password length.
constexpr int32_t kPasswordRejected = -1;     // wrong length or padding byte
constexpr int32_t kPasswordOutOfMemory = -2;  // no working buffer

// decrypt_password_blob runs the length rule and both stages on `blob_length`
// bytes at `blob`. On success it returns the password length n >= 0 and
// `*password` points to a working buffer of blob_length - 16 bytes that
// starts with the password; the caller frees it with free_working_buffer.
// Otherwise it returns kPasswordRejected (for a wrong length without reading
// the blob) or kPasswordOutOfMemory, and `*password` is null.
int32_t decrypt_password_blob(const uint8_t* blob, uint32_t blob_length,
                              uint8_t** password);

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
