// Leak reports the sanitizer build should not make: the D-Bus library that Qt loads once a window is
// shown keeps a process-wide block it never frees. Only that library is named.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
