// Sanitizer runtime defaults compiled into every program of the sanitizer build.
//
// The clang 14 runtime guesses the size of a dynamic TLS block (the thread_local data of a
// dlopen'ed library) from a header that only glibc 2.19 to 2.24 wrote. With today's glibc a block
// that happens to start 16 bytes into a page gets a "size" and "start" read from unrelated heap
// bytes, and the leak check at exit then scans that bogus range and crashes its own tracer. The
// suite's libraries keep only plain numbers in thread_local storage, never heap pointers, so
// leaving dynamic TLS out of the scan loses no leak report and removes the crash.
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}
