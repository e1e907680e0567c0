// Linked into every test binary: under a sanitizer any report fails the test, and only the
// library findings listed (and explained) in this directory's suppression files are ignored.
// Options given in the environment still apply on top of these.
#ifndef TONVISTA_SUPPRESSIONS
#error "TONVISTA_SUPPRESSIONS must name the directory of the suppression files"
#endif

extern "C" {
const char* __asan_default_options() {
  return "halt_on_error=1:detect_leaks=1:exitcode=23";
}
const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}
const char* __lsan_default_options() {
  return "suppressions=" TONVISTA_SUPPRESSIONS "/lsan.supp:print_suppressions=0";
}
const char* __tsan_default_options() {
  return "halt_on_error=1:exitcode=66:"
         "suppressions=" TONVISTA_SUPPRESSIONS "/tsan.supp";
}
}
