#include "Parlet/core/ModelProblem.h"

namespace parlet {
namespace {

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

bool isOfflineModeProblem(const std::string& error) { return contains(error, "HF_HUB_OFFLINE"); }

bool isConnectionProblem(const std::string& error) {
  return !isOfflineModeProblem(error) &&
         (contains(error, "Download failed: ") || contains(error, "Network error: ") || contains(error, "(offline)") ||
          contains(error, "(repository unreachable)"));
}

std::string plainModelProblem(const std::string& error) {
  if (isOfflineModeProblem(error))
    return "offline mode is on (HF_HUB_OFFLINE), and the speech model has not been downloaded yet.";
  if (isConnectionProblem(error))
    return "no connection to the model repository, and the speech model has not been downloaded yet.";
  if (contains(error, "HTTP error with status code: ") || contains(error, "Authorization") ||
      contains(error, "authorization"))
    return "the model repository refused the download.";
  // Anything else: the error's first line, cut to a menu's width.
  std::string line = error.substr(0, error.find('\n'));
  if (line.size() > 120) line = line.substr(0, 117) + "...";
  return "the speech model could not be loaded (" + line + ").";
}

std::string modelProblemTitle(const std::string& problem) { return "Speech model unavailable: " + problem; }

}  // namespace parlet
