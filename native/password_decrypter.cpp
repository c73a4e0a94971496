#include "native/password_decrypter.h"

#include <cstring>

#include "cipher/aes.h"

// Generated at configure time from the app's key.
#include "key_shares.inc"

uint32_t password_blob_ciphertext_length(uint32_t blob_length) {
  // Lengths are jsize on the Java side: anything past INT32_MAX is no blob.
  if (blob_length <= 16 || blob_length > INT32_MAX ||
      (blob_length - 16) % 16 != 0) {
    return 0;
  }
  return blob_length - 16;
}

void take_password_blob(const uint8_t* blob, uint32_t ciphertext_length,
                        uint8_t iv[16], secret_bytes& work) {
  std::memcpy(iv, blob, 16);
  work.assign(blob + 16, blob + 16 + ciphertext_length);
}

void decrypt_blob_ciphertext(const uint8_t key[16], const uint8_t iv[16],
                             secret_bytes& work) {
  AES_ctx ctx;
  std::memset(&ctx, 0, sizeof ctx);
  AES_init_ctx_iv(&ctx, key, iv);
  AES_CBC_decrypt_buffer(&ctx, work.data(), static_cast<uint32_t>(work.size()));
  // Round key 0 is the key itself.
  secure_wipe(&ctx, sizeof ctx);
}

int32_t password_length_from_padding(const secret_bytes& work) {
  const uint8_t padding = work.back();
  if (padding == 0 || padding > 16) return -1;
  return static_cast<int32_t>(work.size() - padding);
}

int32_t open_password_blob(const uint8_t iv[16], secret_bytes& work) {
  // The shares are constants: left in sight, the optimiser XORs them at build
  // time and keeps the whole key in the binary. The empty asm may have changed
  // both pointers as far as the compiler knows, so their bytes are read and
  // combined here, at run time, and nowhere else.
  const uint8_t* share_a = key_share_a;
  const uint8_t* share_b = key_share_b;
  __asm__("" : "+r"(share_a), "+r"(share_b));
  uint8_t key[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(share_a[i] ^ share_b[i]);
  }
  decrypt_blob_ciphertext(key, iv, work);
  secure_wipe(key, sizeof key);
  return password_length_from_padding(work);
}

bool decrypt_password_blob(const uint8_t* blob, uint32_t blob_length,
                           secret_bytes& password) {
  const uint32_t ciphertext_length =
      password_blob_ciphertext_length(blob_length);
  if (ciphertext_length == 0) return false;
  uint8_t iv[16];
  take_password_blob(blob, ciphertext_length, iv, password);
  const int32_t password_length = open_password_blob(iv, password);
  if (password_length < 0) {
    password.clear();
    return false;
  }
  // Shrinking keeps the capacity, so the padding stays in memory that the
  // allocator wipes on release.
  password.resize(static_cast<size_t>(password_length));
  return true;
}

extern "C" JNIEXPORT jbyteArray JNICALL
Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
    JNIEnv* env, jobject /*receiver*/, jbyteArray blob) {
  if (blob == nullptr) return nullptr;
  const uint32_t ciphertext_length = password_blob_ciphertext_length(
      static_cast<uint32_t>(env->GetArrayLength(blob)));
  if (ciphertext_length == 0) return nullptr;
  jbyte* elements = env->GetByteArrayElements(blob, nullptr);
  if (elements == nullptr) return nullptr;

  uint8_t iv[16];
  secret_bytes work;
  bool taken = true;
  try {
    take_password_blob(reinterpret_cast<const uint8_t*>(elements),
                       ciphertext_length, iv, work);
  } catch (...) {  // std::bad_alloc: no C++ exception may reach the VM
    taken = false;
  }
  // JNI_ABORT: nothing is copied back, so the caller's array never changes.
  env->ReleaseByteArrayElements(blob, elements, JNI_ABORT);
  if (!taken) return nullptr;

  const int32_t password_length = open_password_blob(iv, work);
  if (password_length < 0) return nullptr;
  jbyteArray result = env->NewByteArray(password_length);
  if (result != nullptr) {
    env->SetByteArrayRegion(result, 0, password_length,
                            reinterpret_cast<const jbyte*>(work.data()));
  }
  return result;  // `work` is wiped as it is freed
}
