// Sanitizer settings for host programs that load the finder plugin; the
// sanitizer runtime looks these hooks up by name.
#if defined(__SANITIZE_ADDRESS__)
// Leaks of the UPnP stack itself, a few dozen bytes per search: GSSDP 1.6.2
// drops a local-address object for each client it sets up, and GUPnP 1.6.3 the
// body of each description fetch that failed.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:libgssdp-1.6.so\n"
           "leak:g_memory_output_stream_steal_as_bytes\n";
}
// Nothing but a real report may reach stderr, which the tests expect empty.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_options()
{
    return "print_suppressions=0";
}
// The suppressions match frames inside libraries built without frame pointers.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
#endif
