// Stand-in for the NDK's crtbegin_so.o, written from what bionic's provides:
// the NDK's driver links it first into every shared library, so what it
// defines and imports is in every NDK-built library. Compiled per API level
// (tests/android/bionic_stubs.py), as the NDK ships one per level.

extern int __cxa_atexit(void (*func)(void*), void* arg, void* dso);
extern void __cxa_finalize(void* dso);

// Names this library to __cxa_atexit and __cxa_finalize.
__attribute__((visibility("hidden"))) void* __dso_handle = &__dso_handle;

// Runs the handlers registered with this library's handle when it unloads.
__attribute__((destructor)) static void on_dlclose(void) {
  __cxa_finalize(&__dso_handle);
}

// atexit is not exported by bionic's libc: each library gets its own, bound
// to its handle, so that dlclose runs the handler.
__attribute__((visibility("hidden"))) int atexit(void (*func)(void)) {
  return __cxa_atexit((void (*)(void*))func, (void*)0, &__dso_handle);
}

#if __ANDROID_API__ >= 23
// The same for fork handlers; __register_atfork is in bionic from API 23.
extern int __register_atfork(void (*prepare)(void), void (*parent)(void),
                             void (*child)(void), void* dso);

__attribute__((visibility("hidden"))) int pthread_atfork(void (*prepare)(void),
                                                         void (*parent)(void),
                                                         void (*child)(void)) {
  return __register_atfork(prepare, parent, child, &__dso_handle);
}
#endif

// The ABI note the NDK's crt objects carry: name "Android", type 1, and for
// its description the API level as a 32-bit int, then the NDK's version and
// build number, 64 bytes each (here the stand-in's own labels).
#define STANDIN_STR(x) #x
#define STANDIN_XSTR(x) STANDIN_STR(x)
__asm__(
    ".pushsection .note.android.ident, \"a\", %note\n"
    ".balign 4\n"
    ".long 2f - 1f\n"
    ".long 4f - 3f\n"
    ".long 1\n"
    "1: .asciz \"Android\"\n"
    "2: .balign 4\n"
    "3: .long " STANDIN_XSTR(__ANDROID_API__) "\n"
    ".ascii \"standin\"\n"
    ".fill 57, 1, 0\n"
    ".ascii \"0\"\n"
    ".fill 63, 1, 0\n"
    "4:\n"
    ".popsection\n");
