// Sanitizer settings for the tests that search in private networks; the
// runtime looks these hooks up by name, so they are exported.
#include "sanitizer_checks.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
// Leaks of the UPnP stack itself, a few dozen bytes per search: GSSDP 1.6.2
// drops a local-address object for each client it sets up, and GUPnP 1.6.3
// the body of each description fetch that failed.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libgssdp-1.6.so\n"
           "leak:g_memory_output_stream_steal_as_bytes\n";
}
// The suppressions match frames inside libraries built without frame pointers.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
#endif
#if defined(__SANITIZE_THREAD__)
// The namespace children end with _exit, which would skip the failing exit
// status of a race report: stop at the report instead.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "halt_on_error=1";
}
#endif

namespace seekwell::test {

bool LeakCheckPasses() {
#if defined(__SANITIZE_ADDRESS__)
    return __lsan_do_recoverable_leak_check() == 0;
#else
    return true;
#endif
}

}  // namespace seekwell::test
