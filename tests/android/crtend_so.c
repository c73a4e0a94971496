// Stand-in for the NDK's crtend_so.o, which the driver links last into every
// shared library. Bionic's adds no code or data that a library runs; this one
// holds only the non-executable-stack marker the compiler gives every object.
typedef int crtend_so_is_empty;
