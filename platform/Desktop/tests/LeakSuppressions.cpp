// Leak reports the sanitizer build should not make about Qt and the X libraries: they keep process-wide
// caches (fonts, atoms, the platform plugin) that are never freed. Only these libraries are named.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libQt6Core.so\n"
         "leak:libQt6Gui.so\n"
         "leak:libQt6Widgets.so\n"
         "leak:libQt6XcbQpa.so\n"
         "leak:libqxcb.so\n"
         "leak:libfontconfig.so\n"
         "leak:libX11.so\n"
         "leak:libxcb\n"
         "leak:libxkbcommon\n"
         "leak:libdbus-1.so\n"
         "leak:libglib-2.0.so\n";
}
