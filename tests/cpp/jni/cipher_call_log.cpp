#include "cipher_call_log.h"

#include <pthread.h>

#include "cipher/aes.h"

namespace {
thread_local FakeJniEnv* t_log = nullptr;
thread_local sigset_t t_mask;
thread_local bool t_mask_taken = false;
}  // namespace

bool mask_at_key_setup(sigset_t& mask) {
  mask = t_mask;
  return t_mask_taken;
}

void clear_mask_at_key_setup() { t_mask_taken = false; }

CipherCallLog::CipherCallLog(FakeJniEnv& fake) { t_log = &fake; }
CipherCallLog::~CipherCallLog() { t_log = nullptr; }

// The linker sends the core's calls of AES_init_ctx_iv (by its C++ symbol)
// here, and __real_ names the original.
extern "C" void __real__Z15AES_init_ctx_ivP7AES_ctxPKhS2_(AES_ctx* ctx,
                                                          const uint8_t* key,
                                                          const uint8_t* iv);
extern "C" void __wrap__Z15AES_init_ctx_ivP7AES_ctxPKhS2_(AES_ctx* ctx,
                                                          const uint8_t* key,
                                                          const uint8_t* iv) {
  if (t_log != nullptr) t_log->note("AES_init_ctx_iv");
  t_mask_taken = pthread_sigmask(SIG_BLOCK, nullptr, &t_mask) == 0;
  __real__Z15AES_init_ctx_ivP7AES_ctxPKhS2_(ctx, key, iv);
}
