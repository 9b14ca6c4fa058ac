// Where the sound libraries' own messages go. ALSA and JACK print diagnostics on standard error
// while PortAudio looks for devices (a machine without a sound card or a JACK server gets a dozen
// lines at each recording start); the PortAudio backend hands them, one line each ("ALSA: ...",
// "JACK: ...", "PortAudio: ..."), to this handler instead. Thread-safe; the handler may be called
// from any thread, several at once.
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
// Points ALSA's and JACK's message hooks (when those libraries are loaded) at logAudioSystem; once
// per process, before the audio system is first opened.
void routeAudioSystemMessages();
}  // namespace detail

}  // namespace platform::audio
