// Default options of the sanitizers, linked into every binary of a sanitizer build (the server
// included), so that a report fails the run wherever it happens, also in a server whose
// environment a test chose itself: the first report ends the process with status 66, which no test
// expects, after printing it to standard error.

#define VARN_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used)) const char*

VARN_SANITIZER_HOOK __asan_default_options() {
  return "halt_on_error=1:exitcode=66:detect_leaks=1:detect_stack_use_after_return=1:"
         "strict_init_order=1:check_initialization_order=1";
}

VARN_SANITIZER_HOOK __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}

VARN_SANITIZER_HOOK __lsan_default_options() {
  return "exitcode=66";
}

// report_thread_leaks=0: the server ends on a signal with _exit while threads run by design, and
// a thread that has just finished may not be joined yet (an idle pool worker, a cancelled watch);
// ThreadSanitizer would count that as a leak at _exit.
VARN_SANITIZER_HOOK __tsan_default_options() {
  return "halt_on_error=1:exitcode=66:second_deadlock_stack=1:report_thread_leaks=0";
}

// libstdc++ is not instrumented: the reference count of an exception carried through a
// std::promise (set_exception, then get() rethrowing it on another thread) is invisible to
// ThreadSanitizer, which then takes the release of the last reference for a race with the catch.
//
// cpp-httplib, the tests' local HTTP server, comes as Debian's uninstrumented shared library: its
// worker threads copy and compare shared buffers under synchronisation that ThreadSanitizer cannot
// see. Only the library's own calls of intercepted functions (memcpy, memcmp) are ignored; our code,
// also when the library calls it, is still checked.
VARN_SANITIZER_HOOK __tsan_default_suppressions() {
  return "race:std::__exception_ptr::exception_ptr::_M_release\n"
         "called_from_lib:libcpp-httplib.so\n";
}
