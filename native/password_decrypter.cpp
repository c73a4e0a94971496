#include "native/password_decrypter.h"

#include <stdlib.h>
#include <string.h>

#include "cipher/aes.h"
#include "native/signal_mask.h"

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

uint8_t* take_password_blob(const uint8_t* blob, uint32_t ciphertext_length,
                            uint8_t iv[16]) {
  memcpy(iv, blob, 16);
  auto* work = static_cast<uint8_t*>(malloc(ciphertext_length));
  if (work == nullptr) return nullptr;
  memcpy(work, blob + 16, ciphertext_length);
  return work;
}

void free_working_buffer(uint8_t* work, uint32_t size) {
  if (work == nullptr) return;
  secure_wipe(work, size);
  free(work);
}

namespace {

// Zeroes the vector registers that calls may clobber. The cipher leaves round
// keys in them, and the next signal frame or lazy binding that saves them
// would write those keys onto the stack.
inline void wipe_vector_registers() {
#if defined(__x86_64__)
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\t"
      "pxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
      "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
      "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\t"
      "pxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
      "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\t"
      "pxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
          : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",
            "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14",
            "xmm15");
#elif defined(__i386__) && defined(__SSE2__)
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\t"
      "pxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
      "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7" ::
          : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
#elif defined(__aarch64__)
  // The low halves of v8 to v15 are the callee's to restore.
  __asm__ __volatile__(
      "movi v0.16b, #0\n\tmovi v1.16b, #0\n\tmovi v2.16b, #0\n\t"
      "movi v3.16b, #0\n\tmovi v4.16b, #0\n\tmovi v5.16b, #0\n\t"
      "movi v6.16b, #0\n\tmovi v7.16b, #0\n\tmovi v16.16b, #0\n\t"
      "movi v17.16b, #0\n\tmovi v18.16b, #0\n\tmovi v19.16b, #0\n\t"
      "movi v20.16b, #0\n\tmovi v21.16b, #0\n\tmovi v22.16b, #0\n\t"
      "movi v23.16b, #0\n\tmovi v24.16b, #0\n\tmovi v25.16b, #0\n\t"
      "movi v26.16b, #0\n\tmovi v27.16b, #0\n\tmovi v28.16b, #0\n\t"
      "movi v29.16b, #0\n\tmovi v30.16b, #0\n\tmovi v31.16b, #0" ::
          : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18",
            "v19", "v20", "v21", "v22", "v23", "v24", "v25", "v26", "v27",
            "v28", "v29", "v30", "v31");
  // Only their low halves: the high halves are anyone's to clobber.
  __asm__ __volatile__(
      "mov v8.d[1], xzr\n\tmov v9.d[1], xzr\n\tmov v10.d[1], xzr\n\t"
      "mov v11.d[1], xzr\n\tmov v12.d[1], xzr\n\tmov v13.d[1], xzr\n\t"
      "mov v14.d[1], xzr\n\tmov v15.d[1], xzr" ::
          : "v8", "v9", "v10", "v11", "v12", "v13", "v14", "v15");
#elif defined(__arm__) && defined(__ARM_FP)
  // d8 to d15 are the callee's to restore. With Neon (the NDK's default)
  // there are d16 to d31 as well, and clang keeps cipher state there; a
  // VFPv3-D16 build has no d16 and up.
  const uint32_t zero = 0;
  __asm__ __volatile__(
      "vmov d0, %0, %0\n\tvmov d1, %0, %0\n\tvmov d2, %0, %0\n\t"
      "vmov d3, %0, %0\n\tvmov d4, %0, %0\n\tvmov d5, %0, %0\n\t"
      "vmov d6, %0, %0\n\tvmov d7, %0, %0"
      :
      : "r"(zero)
      : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7");
#if defined(__ARM_NEON)
  __asm__ __volatile__(
      "vmov.i32 q8, #0\n\tvmov.i32 q9, #0\n\tvmov.i32 q10, #0\n\t"
      "vmov.i32 q11, #0\n\tvmov.i32 q12, #0\n\tvmov.i32 q13, #0\n\t"
      "vmov.i32 q14, #0\n\tvmov.i32 q15, #0" ::
          : "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24",
            "d25", "d26", "d27", "d28", "d29", "d30", "d31");
#endif
#endif
}

// Wipes the stack below the caller's stack pointer, where the cipher's frames
// were: its caller runs the cipher out of line (run_cipher) and calls this
// right after from the same place. Inlining cannot move cipher code above
// that point: with -flto the optimiser may inline the cipher into any caller
// it sees, and noinline is what keeps it in run_cipher. The frames' depth is
// up to the compiler: clang's 32-bit x86 build leaves the key between 384
// and 416 bytes below the call, the other x86 builds (the -flto ones among
// them) within 128 (found with stack_residue_test at smaller sizes). A frame of
// 512 bytes covers that, for a few percent of a call.
__attribute__((noinline)) void wipe_cipher_traces() {
  // Registers first, so that nothing the wipe calls can save them.
  wipe_vector_registers();
#ifndef ROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE  // only the benchmark's copy
  uint8_t below[512];
  secure_wipe(below, sizeof below);
#endif
}

// The cipher, out of line: whatever the optimiser inlines into it (with
// -flto, all of the cipher) keeps its round keys and spills in this frame and
// the ones below it, where wipe_cipher_traces goes next. The context and the
// key are the caller's, which wipes them itself.
__attribute__((noinline)) void run_cipher(AES_ctx* ctx, const uint8_t key[16],
                                          const uint8_t iv[16], uint8_t* work,
                                          uint32_t size) {
  AES_init_ctx_iv(ctx, key, iv);
  AES_CBC_decrypt_buffer(ctx, work, size);
}

// decrypt_blob_ciphertext for a caller that holds the asynchronous signals
// off already.
void decrypt_with_signals_blocked(const uint8_t key[16], const uint8_t iv[16],
                                  uint8_t* work, uint32_t size) {
  AES_ctx ctx;
  memset(&ctx, 0, sizeof ctx);
  run_cipher(&ctx, key, iv, work, size);
  wipe_cipher_traces();
  // Round key 0 is the key itself.
  secure_wipe(&ctx, sizeof ctx);
}

}  // namespace

void decrypt_blob_ciphertext(const uint8_t key[16], const uint8_t iv[16],
                             uint8_t* work, uint32_t size) {
  const kernel_sigset caller_mask = block_asynchronous_signals();
  decrypt_with_signals_blocked(key, iv, work, size);
  restore_signal_mask(caller_mask);
}

int32_t password_length_from_padding(const uint8_t* work, uint32_t size) {
  const uint8_t padding = work[size - 1];
  if (padding == 0 || padding > 16) return -1;
  return static_cast<int32_t>(size - padding);
}

int32_t open_password_blob(const uint8_t iv[16], uint8_t* work, uint32_t size) {
  // The shares are constants: left in sight, the optimiser XORs them at build
  // time and keeps the whole key in the binary. The empty asm may have changed
  // both pointers as far as the compiler knows, so their bytes are read and
  // combined here, at run time, and nowhere else.
  // One mask over building the key, the cipher and every wipe: the loop
  // below holds key bytes in registers too.
  const kernel_sigset caller_mask = block_asynchronous_signals();
  const uint8_t* share_a = key_share_a;
  const uint8_t* share_b = key_share_b;
  __asm__("" : "+r"(share_a), "+r"(share_b));
  uint8_t key[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(share_a[i] ^ share_b[i]);
  }
  decrypt_with_signals_blocked(key, iv, work, size);
  secure_wipe(key, sizeof key);
  restore_signal_mask(caller_mask);
  return password_length_from_padding(work, size);
}

int32_t decrypt_password_blob(const uint8_t* blob, uint32_t blob_length,
                              uint8_t** password) {
  *password = nullptr;
  const uint32_t ciphertext_length =
      password_blob_ciphertext_length(blob_length);
  if (ciphertext_length == 0) return kPasswordRejected;
  uint8_t iv[16];
  uint8_t* work = take_password_blob(blob, ciphertext_length, iv);
  if (work == nullptr) return kPasswordOutOfMemory;
  const int32_t password_length =
      open_password_blob(iv, work, ciphertext_length);
  if (password_length < 0) {
    free_working_buffer(work, ciphertext_length);
    return kPasswordRejected;
  }
  *password = work;
  return password_length;
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
  uint8_t* work = take_password_blob(reinterpret_cast<const uint8_t*>(elements),
                                     ciphertext_length, iv);
  // JNI_ABORT: nothing is copied back, so the caller's array never changes.
  env->ReleaseByteArrayElements(blob, elements, JNI_ABORT);
  if (work == nullptr) return nullptr;

  jbyteArray result = nullptr;
  const int32_t password_length =
      open_password_blob(iv, work, ciphertext_length);
  if (password_length >= 0) {
    result = env->NewByteArray(password_length);
    if (result != nullptr) {
      env->SetByteArrayRegion(result, 0, password_length,
                              reinterpret_cast<const jbyte*>(work));
    }
  }
  free_working_buffer(work, ciphertext_length);
  return result;
}
