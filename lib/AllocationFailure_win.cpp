#include <windows.h>

#include <cstdlib>
#include <cxxabi.h>
#include <new>

// How the programs end when memory runs out: at once, with status 3, as an
// uncaught std::bad_alloc ended them through abort(), and with no exit
// handler run and nothing more written. Linked into each program itself, so
// that these definitions come before the C++ runtime's.

namespace {

// Not abort(): the C runtime may report the abnormal end first, and in a
// GUI program it does so in a box that waits to be closed.
[[noreturn]] void EndAtOnce() {
  TerminateProcess(GetCurrentProcess(), 3);
  __builtin_unreachable();
}

} // namespace

// A failed allocation ends the process here, not through a throw that some
// frame on the way up might catch.
void *operator new(std::size_t size) {
  void *block = std::malloc(size != 0 ? size : 1);
  if (block == nullptr)
    EndAtOnce();
  return block;
}

// The default terminate handler, which a thrown std::bad_alloc (or any
// exception nothing catches) reaches. The C++ runtime's own names the
// exception first, through a demangler of about 45 KB.
namespace __gnu_cxx {
void __verbose_terminate_handler() { EndAtOnce(); }
} // namespace __gnu_cxx
