// pack-model CHECKPOINT OUT
// Turns a checkpoint folder of the model family (config.json + model.safetensors, optionally
// generation_config.json with "alignment_heads") into the MelSpectrogram, AudioEncoder and
// TextDecoder model folders in OUT, which must not exist yet; a failed pack leaves no OUT. No
// context-prefill folder is written: without audio a prefill cannot equal what the decoder
// computes, so the engine feeds the prompt through the decoder.
#include <iostream>

#include "platform/ML/MLModel.h"
#include "platform/ML/ModelFolders.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: pack-model CHECKPOINT OUT\n";
    return 2;
  }
  try {
    platform::ml::packCheckpoint(argv[1], argv[2]);
    // Loading the result checks every tensor against the description.
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
      platform::ml::MLModel::load(std::filesystem::path(argv[2]) / (std::string(name) + ".mlmodelc"));
  } catch (const std::exception& e) {
    std::cerr << "pack-model: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
