// JACK is reached through dlopen and dlsym, so that it is no link dependency of ours: only an ALSA
// plugin that uses it loads it, privately (its symbols are not global), and while it is not loaded
// there is no hook to set.
#include "platform/Audio/AudioSystemLog.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "platform/System/SystemLog.h"

namespace platform::audio {
namespace {

// Never destroyed: the capture backend's own threads may still log while static objects go away
// at exit.
std::mutex& handlerMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

AudioSystemLog& handler() {
  static auto* log = new AudioSystemLog;
  return *log;
}

// "ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM default" => "ALSA: snd_pcm_open_noupdate: Unknown PCM default"
extern "C" void alsaMessage(const char* file, int line, const char* function, int err, const char* format, ...) {
  (void)file;
  (void)line;
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format ? format : "", arguments);
  va_end(arguments);
  std::string message = "ALSA: ";
  if (function && *function) message += std::string(function) + ": ";
  message += text;
  if (err != 0) message += std::string(" (error ") + std::to_string(err) + ")";
  logAudioSystem(message);
}

const char* const kJackLibrary = "libjack.so.0";

extern "C" void jackMessage(const char* text) { logAudioSystem(std::string("JACK: ") + (text ? text : "")); }

using JackSetFunction = void (*)(void (*)(const char*));

}  // namespace

void setAudioSystemLog(AudioSystemLog log) {
  std::lock_guard lock(handlerMutex());
  handler() = std::move(log);
}

void logAudioSystem(const std::string& line) {
  std::string_view text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  AudioSystemLog log;
  {
    std::lock_guard lock(handlerMutex());
    log = handler();
  }
  if (log) {
    log(std::string(text));
  } else {
    static const auto* systemLog = new system::SystemLog("parlet", "Audio");
    systemLog->write(system::LogType::debug, text);
  }
}

namespace detail {

void routeAudioSystemMessages() {
  static std::once_flag alsa;
  std::call_once(alsa, [] { snd_lib_error_set_handler(&alsaMessage); });
  // Setting a hook again is harmless, and a library loaded anew has lost the old one.
  if (void* jack = ::dlopen(kJackLibrary, RTLD_LAZY | RTLD_NOLOAD)) {
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
      if (auto set = reinterpret_cast<JackSetFunction>(::dlsym(jack, name))) set(&jackMessage);
    ::dlclose(jack);
  }
}

JackMessagesRouted::JackMessagesRouted() : library_(::dlopen(kJackLibrary, RTLD_LAZY | RTLD_LOCAL)) {
  routeAudioSystemMessages();
}

JackMessagesRouted::~JackMessagesRouted() {
  if (library_) ::dlclose(library_);
}

}  // namespace detail
}  // namespace platform::audio
