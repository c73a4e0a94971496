// The fixture app's own native code: it uses the C++ library (std::string)
// and asserts, the way an app's code does, beside librootchecker.so.
#include <jni.h>

#include <cassert>
#include <string>

extern "C" JNIEXPORT jstring JNICALL
Java_com_example_fixture_Greeter_greet(JNIEnv* env, jclass, jstring name) {
  assert(env != nullptr);
  const char* chars = env->GetStringUTFChars(name, nullptr);
  if (chars == nullptr) return nullptr;
  std::string greeting = "hello, ";
  greeting += chars;
  env->ReleaseStringUTFChars(name, chars);
  return env->NewStringUTF(greeting.c_str());
}
