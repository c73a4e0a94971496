#include "cipher_call_log.h"

#include "cipher/aes.h"

namespace {
thread_local FakeJniEnv* t_log = nullptr;
}  // namespace

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
  __real__Z15AES_init_ctx_ivP7AES_ctxPKhS2_(ctx, key, iv);
}
