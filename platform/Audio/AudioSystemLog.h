// Where the sound libraries' own messages go. ALSA, and JACK where a device of the configuration
// brings it, print diagnostics on standard error (a machine without a sound card gets a dozen lines
// when a device is opened); the capture backend hands them, and its own notes, one line each
// ("ALSA: ...", "JACK: ..."), to this handler instead. Thread-safe; the handler may be called from
// any thread, several at once.
//   setAudioSystemLog([](const std::string& line) { kestrum::Logging::debug(line); });
#pragma once

#include <functional>
#include <string>

namespace platform::audio {

using AudioSystemLog = std::function<void(const std::string& line)>;

// Replaces the handler; nullptr restores the default, the system log at debug level.
void setAudioSystemLog(AudioSystemLog log);

// Hands one line to the handler.
void logAudioSystem(const std::string& line);

namespace detail {
// Points ALSA's and JACK's message hooks (of those libraries that are loaded) at logAudioSystem.
// Called before the audio system is first used, and after each device is opened, since a device's
// plugin may load JACK.
void routeAudioSystemMessages();

// Keeps JACK loaded, with its messages routed, while it lives, so that opening a device that brings
// JACK logs what JACK says at once instead of printing it. Nothing where JACK is not installed.
class JackMessagesRouted {
 public:
  JackMessagesRouted();
  ~JackMessagesRouted();
  JackMessagesRouted(const JackMessagesRouted&) = delete;
  JackMessagesRouted& operator=(const JackMessagesRouted&) = delete;

 private:
  void* library_;
};
}  // namespace detail

}  // namespace platform::audio
