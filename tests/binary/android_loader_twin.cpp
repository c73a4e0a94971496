// The Android-loader check's twins: built like the library, each with one
// fault switched on by a define (or by a link flag), so that each rule is
// seen to fail on exactly the fault it is there for.
#include <cstring>

#if defined(TWIN_IMPORT)
#include <cstdlib>
#endif

extern "C" __attribute__((visibility("default"))) int twin_entry(char* out,
                                                                 int n) {
  std::memset(out, 0, static_cast<size_t>(n));
#if defined(TWIN_IMPORT)
  // An import the allowlist does not know.
  return std::getenv("TWIN") != nullptr;
#else
  return n;
#endif
}

#if defined(TWIN_API)
// What the NDK's crtbegin_so.o brings from API 23: an import of
// __register_atfork, and the API level in .note.android.ident (name
// "Android", type 1, the level as the first 32-bit word of the description).
extern "C" int __register_atfork(void (*prepare)(), void (*parent)(),
                                 void (*child)(), void* dso);
extern "C" __attribute__((visibility("default"))) int twin_atfork() {
  return __register_atfork(nullptr, nullptr, nullptr, nullptr);
}
#define TWIN_STR(x) #x
#define TWIN_XSTR(x) TWIN_STR(x)
__asm__(
    ".pushsection .note.android.ident, \"a\", %note\n"
    ".balign 4\n"
    ".long 8, 4, 1\n"
    ".asciz \"Android\"\n"
    ".long " TWIN_XSTR(TWIN_API) "\n"
    ".popsection\n");
#endif

#if defined(TWIN_TEXTREL)
// An absolute address in .text: the loader would have to write to code.
#if __SIZEOF_POINTER__ == 8
#define TWIN_WORD ".quad"
#else
#define TWIN_WORD ".long"
#endif
__asm__(
    ".pushsection .text\n"
    ".balign 8\n"
    "twin_anchor:\n\t" TWIN_WORD
    " twin_anchor\n"
    ".popsection\n");
#endif

#if defined(TWIN_WX)
// A section both writable and executable, so its segment is too.
__asm__(
    ".pushsection .twin_wx, \"awx\", %progbits\n"
    ".byte 0\n"
    ".popsection\n");
#endif
