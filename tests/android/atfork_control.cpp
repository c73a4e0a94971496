// Must not link at API 21 and 22: __register_atfork is in bionic from API 23,
// so the stub libc.so for those levels does not define it (the NDK's
// crtbegin_so.o for API 23 and later imports it).
extern "C" int __register_atfork(void (*prepare)(), void (*parent)(),
                                 void (*child)(), void* dso);

extern "C" __attribute__((visibility("default"))) int atfork_control() {
  return __register_atfork(nullptr, nullptr, nullptr, nullptr);
}
