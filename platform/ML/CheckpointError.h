// The error of the checkpoint packer (packCheckpoint): a checkpoint it cannot pack or a folder it
// cannot write, with `what()` naming the file at fault first, "<file>: <problem>", and the tensor
// where there is one. A std::runtime_error, so callers that catch those keep working; one that
// must tell a bad checkpoint from other failures catches this type.
//   try { packCheckpoint(from, to); } catch (const CheckpointError& e) { report(e.file(), e.what()); }
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace platform::ml {

class CheckpointError : public std::runtime_error {
 public:
  // "<file>: <problem>".
  CheckpointError(const std::filesystem::path& file, const std::string& problem)
      : std::runtime_error(file.string() + ": " + problem), file_(file) {}

  // The same for a message that names `file` first already (those of the tensor readers and
  // writers), kept as it is.
  static CheckpointError naming(const std::filesystem::path& file, const std::string& message) {
    return CheckpointError(file, message, Named{});
  }

  // The file (or folder) the error is about.
  const std::filesystem::path& file() const { return file_; }

 private:
  struct Named {};
  CheckpointError(const std::filesystem::path& file, const std::string& message, Named)
      : std::runtime_error(message), file_(file) {}
  std::filesystem::path file_;
};

}  // namespace platform::ml
