// page_size_load LIBRARY ALIGNMENT: dlopen's verdict on LIBRARY, whose LOAD
// segments are aligned to ALIGNMENT bytes, under this kernel's page size. The
// loader must take it when the page size is no larger, and refuse it with its
// own error when it is: on a 16 KB kernel a 4 KiB-aligned library cannot map.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: page_size_load LIBRARY ALIGNMENT\n");
    return 2;
  }
  const long page = sysconf(_SC_PAGESIZE);
  const long alignment = strtol(argv[2], nullptr, 10);
  void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  const char* error = handle == nullptr ? dlerror() : nullptr;
  printf("page size %ld, %s aligned to %ld: %s\n", page, argv[1], alignment,
         handle != nullptr ? "loaded" : error);
  if (alignment >= page) {
    if (handle == nullptr) {
      printf("FAIL: the loader refused a library aligned to its page size\n");
      return 1;
    }
    return 0;
  }
  // glibc's words; the point is that the loader itself said no.
  if (handle != nullptr || strstr(error, "not page-aligned") == nullptr) {
    printf("FAIL: expected the loader's \"not page-aligned\" refusal\n");
    return 1;
  }
  return 0;
}
