// Linked into a control that must carry the module's static C++ runtime: a
// call into it (operator new needs no header) pulls its code in.
extern "C" __attribute__((visibility("default"))) void* cxx_runtime_control(
    decltype(sizeof 0) size) {
  return ::operator new(size);
}
