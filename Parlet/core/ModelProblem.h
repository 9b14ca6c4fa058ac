// Why the speech model could not be loaded, in the plain words the menu and the pill share. The
// input is a load error's description; nothing here throws.
//   modelProblemTitle(plainModelProblem("Download failed: …")) => "Speech model unavailable: no connection …"
#pragma once

#include <string>

namespace parlet {

// "Download failed: Could not resolve host: huggingface.co" => "no connection to the model
// repository, and the speech model has not been downloaded yet."
std::string plainModelProblem(const std::string& error);
// "Speech model unavailable: " + the problem.
std::string modelProblemTitle(const std::string& problem);

// The repository could not be reached: no connection, or the client judged itself offline.
bool isConnectionProblem(const std::string& error);
// Offline mode was chosen (HF_HUB_OFFLINE): trying again cannot help.
bool isOfflineModeProblem(const std::string& error);

}  // namespace parlet
