// Part of every test program of the sanitizer build. While the device list is made, ALSA loads
// its plugins and unloads them again; the a52 and lavrate plugins (libasound2-plugins) bring FFmpeg's
// libraries, and what those set up at load then looks leaked to the leak checker, with no loaded
// module left to name in a suppression. Keeping FFmpeg's codec library loaded ends the false report.
#include <dlfcn.h>

#include <initializer_list>

namespace {

[[gnu::constructor]] void keepSoundPluginLibrariesLoaded() {
  if (!dlopen("libasound.so.2", RTLD_LAZY | RTLD_NOLOAD)) return;  // a program without audio
  for (const char* name : {"libavcodec.so.61", "libavcodec.so.60", "libavcodec.so.59"})
    if (dlopen(name, RTLD_LAZY | RTLD_NODELETE)) return;
}

}  // namespace
