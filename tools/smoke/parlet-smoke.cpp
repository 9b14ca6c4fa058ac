// parlet-smoke: runs what exists of Parlet without a display or a microphone and prints what it
// sees, so a person can check a build at a glance: this machine as the engine identifies it, the
// model it would choose, the trigger keys, the folders, the engine's default decoding options, a
// tokenizer (when the shared tokenizer files lie beside the project) and the speech models' CPU
// runtime on a small random-weight model fed a 1 kHz tone.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Hub/JSONParser.h"
#include "KestrumCore/Extensions.h"
#include "Murmel/data/Constants.h"
#include "Murmel/data/DecodingOptions.h"
#include "Parlet/core/HotkeyManager.h"
#include "Parlet/core/TranscriptArchive.h"
#include "platform/ML/MLModel.h"
#include "platform/ML/ModelFolders.h"
#include "platform/System/Folders.h"
#include "platform/System/Json.h"
#include "Tokenizers/PreTrainedTokenizer.h"

namespace {

void section(const char* title) { std::printf("\n== %s\n", title); }

void row(const char* name, const std::string& value) { std::printf("  %-22s %s\n", name, value.c_str()); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void tokenizerSection(const std::filesystem::path& sourceDir) {
  section("Tokenizer (GPT-2 files from ../shared/fixtures)");
  const auto folder = sourceDir / ".." / "shared" / "fixtures" / "tokenizers" / "gpt2";
  if (!std::filesystem::exists(folder / "tokenizer.json")) {
    row("skipped", "no tokenizer files beside the project");
    return;
  }
  tokenizers::PreTrainedTokenizer tokenizer(hub::JSONParser::parseToConfig(readFile(folder / "tokenizer_config.json")),
                                            hub::JSONParser::parseToConfig(readFile(folder / "tokenizer.json")), false);
  const std::string text = "Hold the key, speak, and let go.";
  std::string ids;
  for (auto id : tokenizer.encode(text)) {
    if (!ids.empty()) ids += ' ';
    ids += std::to_string(id);
  }
  row("text", text);
  row("token ids", ids);
  row("decoded", tokenizer.decode(tokenizer.encode(text), false));
}

void speechModelSection() {
  section("Speech models on the CPU (small random-weight model, 1 kHz tone)");
  using namespace platform::ml;
  WhisperDimensions dims;
  dims.nAudioState = dims.nTextState = 64;
  dims.nAudioHead = dims.nTextHead = 2;
  dims.nAudioLayer = dims.nTextLayer = 2;
  dims.nFf = 128;
  dims.nVocab = 512;
  const auto folder = std::filesystem::temp_directory_path() / "parlet-smoke-models";
  writeModelFolders(folder, dims, randomWeights(dims, 1));
  auto mel = MLModel::load((folder / "MelSpectrogram.mlmodelc").string());
  auto encoder = MLModel::load((folder / "AudioEncoder.mlmodelc").string());

  auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
  for (std::int64_t i = 0; i < 480000; ++i) audio->setValue(i, 0.5 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 16000));
  const auto start = std::chrono::steady_clock::now();
  auto features = mel->prediction(MLDictionaryFeatureProvider({{"audio", MLFeatureValue(audio)}}))
                      ->featureValue("melspectrogram_features")->multiArrayValue();
  const auto melDone = std::chrono::steady_clock::now();
  auto encoded = encoder->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(features)}}))
                     ->featureValue("encoder_output_embeds")->multiArrayValue();
  const auto encoderDone = std::chrono::steady_clock::now();

  // The loudest mel band of the middle frame: 1 kHz lies in band 26 of the 80.
  const std::int64_t frames = features->shape().back();
  std::int64_t loudest = 0;
  for (std::int64_t band = 1; band < dims.nMels; ++band)
    if ((*features)[band * frames + frames / 2] > (*features)[loudest * frames + frames / 2]) loudest = band;
  auto ms = [](auto from, auto to) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", std::chrono::duration<double, std::milli>(to - from).count());
    return std::string(text);
  };
  row("log-mel features", std::to_string(features->shape()[1]) + " bands x " + std::to_string(frames) + " frames, " + ms(start, melDone));
  row("loudest band", std::to_string(loudest) + " (1 kHz)");
  row("encoder output", std::to_string(encoded->shape()[1]) + " x " + std::to_string(encoded->shape().back()) + ", " +
                            ms(melDone, encoderDone));
  std::filesystem::remove_all(folder);
}

}  // namespace

int main() {
  try {
    std::printf("Parlet smoke run: push-to-talk dictation libraries on this machine\n");

    section("This machine");
    row("device", kestrum::ProcessInfo::hwModel());
    row("processor", kestrum::ProcessInfo::processor());
    row("logical processors", kestrum::ProcessInfo::threads());

    section("Speech model for this device");
    auto support = murmel::Constants::fallbackModelSupportConfig().modelSupport(kestrum::ProcessInfo::hwModel());
    row("default model", support.defaultModel);
    row("supported models", std::to_string(support.supported.size()));

    section("Trigger keys");
    for (const auto& key : parlet::HotkeyManager::presets)
      row(std::to_string(key.keyCode).c_str(), key.title);

    section("Folders");
    row("recordings and log", platform::system::privateTemporaryDirectory().string());
    row("archive", parlet::TranscriptArchive::defaultLocation().string());
    row("settings", platform::system::settingsDirectory().string());

    section("Default decoding options");
    std::printf("%s\n", platform::json::write(murmel::DecodingOptions().toJson(), {.pretty = true, .sortedKeys = true}).c_str());

    tokenizerSection(PARLET_SOURCE_DIR);
    speechModelSection();

    std::printf("\nsmoke run finished\n");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "smoke run failed: %s\n", error.what());
    return 1;
  }
}
