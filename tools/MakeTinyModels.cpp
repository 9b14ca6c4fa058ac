// make-tiny-models OUT [--name=value ...]
// Writes MelSpectrogram, AudioEncoder, TextDecoder and TextDecoderContextPrefill model folders with
// random weights into OUT. Dimensions default to a tiny model; any of them can be set:
//   make-tiny-models /tmp/tiny --n_mels=80 --n_audio_ctx=1500 --n_state=64 --n_vocab=51864
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "platform/ML/ModelFolders.h"

using namespace platform::ml;

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]).rfind("--", 0) == 0) {
    std::cerr << "usage: make-tiny-models OUT [--n_mels=N] [--n_audio_ctx=N] [--n_state=N] [--n_head=N]\n"
                 "       [--n_audio_layer=N] [--n_text_layer=N] [--n_vocab=N] [--n_text_ctx=N] [--n_ff=N]\n"
                 "       [--kv_cache=N] [--prefill=N] [--seed=N]\n";
    return 2;
  }
  WhisperDimensions d;
  d.nMels = 8, d.nAudioCtx = 12, d.nAudioState = d.nTextState = 16, d.nAudioHead = d.nTextHead = 4;
  d.nAudioLayer = d.nTextLayer = 2, d.nVocab = 64, d.nTextCtx = 32, d.nFf = 64, d.kvCacheLength = 24;
  std::int64_t prefill = 3, seed = 1;
  std::map<std::string, std::int64_t*> options{
      {"n_mels", &d.nMels},           {"n_audio_ctx", &d.nAudioCtx},     {"n_state", &d.nAudioState},
      {"n_head", &d.nAudioHead},      {"n_audio_layer", &d.nAudioLayer}, {"n_text_layer", &d.nTextLayer},
      {"n_vocab", &d.nVocab},         {"n_text_ctx", &d.nTextCtx},       {"n_ff", &d.nFf},
      {"kv_cache", &d.kvCacheLength}, {"prefill", &prefill},             {"seed", &seed}};
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    auto it = arg.rfind("--", 0) == 0 && eq != std::string::npos ? options.find(arg.substr(2, eq - 2)) : options.end();
    if (it == options.end()) {
      std::cerr << "make-tiny-models: unknown option " << arg << "\n";
      return 2;
    }
    char* end = nullptr;
    const long long value = std::strtoll(arg.c_str() + eq + 1, &end, 10);
    if (*end || value < 0) {
      std::cerr << "make-tiny-models: " << arg << " is not a non-negative integer\n";
      return 2;
    }
    *it->second = value;
  }
  d.nTextState = d.nAudioState;
  d.nTextHead = d.nAudioHead;
  try {
    ModelFolderOptions folderOptions;
    folderOptions.alignmentHeads = defaultAlignmentHeads(d);
    // Prefill tables for the first language token of the multilingual vocabulary layout, clamped to the vocabulary.
    if (prefill > 0) folderOptions.prefill = randomPrefill(d, {std::min<std::int64_t>(50259, d.nVocab - 1)}, prefill, static_cast<std::uint32_t>(seed + 1));
    writeModelFolders(argv[1], d, randomWeights(d, static_cast<std::uint32_t>(seed)), folderOptions);
  } catch (const std::exception& e) {
    std::cerr << "make-tiny-models: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
