// A library that breaks every rule check_library.py enforces, so that the
// checks are seen to fail. Built with the opposite hardening flags.
#include <cstdio>
#include <cstring>

extern "C" __attribute__((visibility("default"))) int JNI_OnLoad(void*, void*) {
  return 0x00010006;  // JNI_VERSION_1_6
}

__attribute__((visibility("default"))) void KeyExpansion(
    unsigned char* out, const unsigned char* in) {
  char name[32];  // a local array: the stack protector would guard it
  std::strncpy(name, reinterpret_cast<const char*>(in), sizeof name - 1);
  name[sizeof name - 1] = '\0';
  std::printf("%s\n", name);
  out[0] = static_cast<unsigned char>(name[0]);
}

namespace {
int announce() {
  std::puts("loaded");
  // A call to its own exported function, through the PLT without -Bsymbolic.
  unsigned char out[1];
  KeyExpansion(out, reinterpret_cast<const unsigned char*>("x"));
  return out[0];
}
}  // namespace

// A static initialiser: code that runs when the library is loaded.
__attribute__((visibility("default"))) int announced = announce();
