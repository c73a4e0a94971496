// Must not compile in the Android build: with ANDROID_STL=none the NDK has no
// C++ library headers, only the C library's.
#include <cstring>

int cxx_header_control(char* p) {
  std::memset(p, 0, 1);
  return 0;
}
