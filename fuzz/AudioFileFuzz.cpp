// Audio files from a scratch file: AudioFile opened and read to the end, then the speech engine's
// loader (mono, 16 kHz) on the same file.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string_view>

#include "FuzzSupport.h"
#include "Murmel/audio/AudioProcessor.h"
#include "platform/Audio/AudioFile.h"

namespace {

const std::filesystem::path& audioPath() {
  static parlet_fuzz::ScratchFolder scratch;
  static const std::filesystem::path path = scratch.path() / "input.wav";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = audioPath();
  parlet_fuzz::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    platform::audio::AudioFile file(path);
    auto buffer = platform::audio::AudioPCMBuffer::make(file.processingFormat(), 4096);
    if (buffer) {
      while (file.framePosition() < file.length()) {
        file.read(*buffer, 4096);
        if (buffer->frameLength() == 0) break;
      }
    }
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  try {
    (void)murmel::AudioProcessor::loadAudioAsFloatArray(path.string());
  } catch (const std::exception& e) {
    parlet_fuzz::refused(e);
  }
  return 0;
}
