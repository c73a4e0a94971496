// Must not link in the Android build: getenv is not among the imports the
// library may have, so the stub libc.so does not define it.
#include <stdlib.h>

extern "C" __attribute__((visibility("default"))) const char* import_control() {
  return getenv("ROOTCHECKER");
}
