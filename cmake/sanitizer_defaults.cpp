// Default options of the sanitizer runtimes, linked into every executable of
// the sanitized test build. Environment variables still override them.

extern "C" {

// The simulated drive of the tests is preloaded ahead of the runtime; it is
// built without the sanitizers, so the order does not matter.
const char* __asan_default_options() {  // NOLINT(bugprone-reserved-identifier)
  return "detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0:"
         "verify_asan_link_order=0";
}

const char* __ubsan_default_options() {  // NOLINT(bugprone-reserved-identifier)
  return "print_stacktrace=1:halt_on_error=1";
}

// Allocations that system libraries keep for the life of the process.
const char* __lsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n";
}

}
