// The libraries are reached through dlsym, so that neither is a link dependency of ours: they are
// loaded as PortAudio's own dependencies, and a hook that is not there is simply not set.
#include "platform/Audio/AudioSystemLog.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "platform/System/SystemLog.h"

namespace platform::audio {
namespace {

std::mutex& handlerMutex() {
  static std::mutex mutex;
  return mutex;
}

AudioSystemLog& handler() {
  static AudioSystemLog log;
  return log;
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

extern "C" void jackMessage(const char* text) { logAudioSystem(std::string("JACK: ") + (text ? text : "")); }

using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
using AlsaSetHandler = int (*)(AlsaHandler);
using JackSetFunction = void (*)(void (*)(const char*));

template <class Function>
Function symbol(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_DEFAULT, name));
}

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
    static const system::SystemLog systemLog("parlet", "Audio");
    systemLog.write(system::LogType::debug, text);
  }
}

namespace detail {

void routeAudioSystemMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (auto set = symbol<AlsaSetHandler>("snd_lib_error_set_handler")) set(&alsaMessage);
    if (auto set = symbol<JackSetFunction>("jack_set_error_function")) set(&jackMessage);
    if (auto set = symbol<JackSetFunction>("jack_set_info_function")) set(&jackMessage);
  });
}

}  // namespace detail
}  // namespace platform::audio
