// libFuzzer brings the C++ runtime into these programs ahead of the
// sanitizer runtime. Neither allocates before the sanitizer starts, so
// its check of the library order would only refuse to run.
extern "C" const char *__asan_default_options() { return "verify_asan_link_order=0"; }
