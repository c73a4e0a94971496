// Puts the key schedule's setup into a fake JNIEnv's call log, so that a test
// sees where among the JNI calls the key is built. The binary must be linked
// with --wrap for AES_init_ctx_iv (see CMakeLists.txt).
#ifndef ROOTCHECKER_TESTS_CPP_JNI_CIPHER_CALL_LOG_H
#define ROOTCHECKER_TESTS_CPP_JNI_CIPHER_CALL_LOG_H

#include <signal.h>

#include "support/fake_jni.h"

// While one lives, AES_init_ctx_iv on this thread is noted in `fake` as
// "AES_init_ctx_iv".
class CipherCallLog {
 public:
  explicit CipherCallLog(FakeJniEnv& fake);
  ~CipherCallLog();
  CipherCallLog(const CipherCallLog&) = delete;
  CipherCallLog& operator=(const CipherCallLog&) = delete;
};

// The thread's signal mask when AES_init_ctx_iv last ran on this thread, and
// whether it has run since clear_mask_at_key_setup.
bool mask_at_key_setup(sigset_t& mask);
void clear_mask_at_key_setup();

#endif  // ROOTCHECKER_TESTS_CPP_JNI_CIPHER_CALL_LOG_H
