// fetch-model MODEL [CACHE]
// Brings a speech model ("base.en", "openai_whisper-tiny", ...) into the engine's download cache
// as the application does on its first start: from the model family's checkpoint repository,
// downloaded and packed into the model folders (or, for our own repository layout, the variant's
// folder). The download's progress and the engine's lines go to standard error, the model folder
// to standard output. CACHE defaults to the repository client's; HF_ENDPOINT and HF_TOKEN apply.
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "KestrumCore/Logging.h"
#include "Murmel/models/ModelDownload.h"
#include "tools/detail/ProgressLine.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: fetch-model MODEL [CACHE]\n");
    return 2;
  }
  const std::string model = argv[1];
  std::optional<std::filesystem::path> cache;
  if (argc == 3) cache = argv[2];

  tools::ProgressLine line;
  kestrum::Logging::shared().setLogLevel(kestrum::Logging::LogLevel::info);
  kestrum::Logging::shared().setLoggingCallback([&line](const std::string& text) { line.say(text); });
  const auto progress = [&line](const kestrum::Progress& progress) {
    // The snapshot's units are bytes.
    char text[96];
    const double fraction = progress.fractionCompleted();
    const double total = static_cast<double>(progress.totalUnitCount());
    std::snprintf(text, sizeof text, "download %5.1f%%, %s of %s", std::floor(1000 * fraction) / 10,
                  tools::megabytes(fraction * total).c_str(), tools::megabytes(total).c_str());
    std::string shown = text;
    if (const auto speed = progress.throughput()) shown += ", " + tools::megabytes(*speed) + "/s";
    line.show(shown);
  };
  try {
    const auto folder = murmel::download(model, cache, false, std::nullopt, std::nullopt, std::nullopt, progress);
    line.finish();
    kestrum::Logging::shared().setLoggingCallback({});
    std::printf("%s\n", folder.string().c_str());
    return 0;
  } catch (const std::exception& e) {
    line.finish();
    kestrum::Logging::shared().setLoggingCallback({});
    std::fprintf(stderr, "fetch-model: %s\n", e.what());
    return 1;
  }
}
