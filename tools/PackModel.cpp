// pack-model CHECKPOINT OUT
// Turns a checkpoint folder of the model family (config.json + model.safetensors, optionally
// generation_config.json with "alignment_heads") into the MelSpectrogram, AudioEncoder and
// TextDecoder model folders in OUT, which must not exist yet; a failed pack leaves no OUT. No
// context-prefill folder is written: without audio a prefill cannot equal what the decoder
// computes, so the engine feeds the prompt through the decoder. Progress (bytes written so far,
// then each model's check) goes to standard error.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/ML/MLModel.h"
#include "platform/ML/ModelFolders.h"
#include "tools/detail/ProgressLine.h"

namespace {

namespace fs = std::filesystem;

// Bytes in the packer's working folders of this process beside `out` (".<name>.partial-<pid>-…").
std::uintmax_t bytesWritten(const fs::path& out) {
  std::string prefix = ".";
  prefix += out.filename().string();
  prefix += ".partial-";
  prefix += std::to_string(getpid());
  prefix += '-';
  std::uintmax_t total = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(out.parent_path().empty() ? "." : out.parent_path(), error)) {
    if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
    for (const auto& file : fs::recursive_directory_iterator(entry.path(), error))
      if (file.is_regular_file(error)) total += file.file_size(error);
  }
  return total;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string elapsed(std::chrono::steady_clock::time_point start) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", secondsSince(start));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: pack-model CHECKPOINT OUT\n";
    return 2;
  }
  const fs::path checkpoint = argv[1], out = fs::absolute(argv[2]);
  tools::ProgressLine line;
  const auto start = std::chrono::steady_clock::now();
  std::error_code error;
  const auto weights = fs::file_size(checkpoint / "model.safetensors", error);
  line.say("pack-model: packing " + checkpoint.string() + (error ? "" : " (" + tools::megabytes(double(weights)) + " of weights)") +
           " into " + out.string());

  // The packer says nothing while it works: a watcher reports what it has written so far.
  std::mutex mutex;
  std::condition_variable stop;
  bool packed = false;
  std::thread watcher([&] {
    std::unique_lock lock(mutex);
    while (!stop.wait_for(lock, std::chrono::milliseconds(500), [&] { return packed; }))
      line.show("packing: " + tools::megabytes(double(bytesWritten(out))) + " written, " + elapsed(start));
  });
  auto endWatch = [&] {
    {
      std::lock_guard lock(mutex);
      packed = true;
    }
    stop.notify_all();
    watcher.join();
    line.finish();
  };
  try {
    platform::ml::packCheckpoint(checkpoint, out);
    endWatch();
    line.say("pack-model: packed in " + elapsed(start) + "; checking the models");
    // Loading the result checks every tensor against the description.
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
      const auto loadStart = std::chrono::steady_clock::now();
      platform::ml::MLModel::load(out / (std::string(name) + ".mlmodelc"));
      line.say(std::string("pack-model: ") + name + " loads (" + elapsed(loadStart) + ")");
    }
  } catch (const std::exception& e) {
    if (watcher.joinable()) endWatch();
    std::cerr << "pack-model: " << e.what() << "\n";
    return 1;
  }
  line.say("pack-model: done in " + elapsed(start));
  return 0;
}
