// Writes float samples to an audio file through libsndfile (the recorder's WAV files, test signals).
// Throws AudioFileError naming the file. Thread-safe (no shared state).
//   writeAudioFile("tone.wav", 44100, {left, right}, AudioFileType::wav16);
#pragma once

#include <filesystem>
#include <vector>

#include "platform/Audio/AudioFile.h"

namespace platform::audio {

enum class AudioFileType {
  wav16,     // WAV, 16-bit integer PCM
  wavFloat,  // WAV, 32-bit float
  flac16,    // FLAC, 16-bit
};

// One vector per channel, all of the same length.
void writeAudioFile(const std::filesystem::path& path, double sampleRate,
                    const std::vector<std::vector<float>>& channels, AudioFileType type);

}  // namespace platform::audio
