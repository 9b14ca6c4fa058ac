#include "Hub/detail/DownloadStates.h"

#include <exception>
#include <type_traits>
#include <variant>

#include "Hub/Hub.h"

namespace hub::detail {

void awaitDownload(Downloader::Subscription& states, const std::function<void(double, std::optional<double>)>& progress,
                   const std::string& name) {
  while (auto state = states.next()) {
    if (auto* downloading = std::get_if<Downloader::Downloading>(&*state)) {
      if (progress) progress(downloading->progress, downloading->speed);
    } else if (std::holds_alternative<Downloader::Completed>(*state)) {
      return;
    } else if (auto* failed = std::get_if<Downloader::Failed>(&*state)) {
      std::rethrow_exception(failed->error);
    }
  }
  // The downloader went away without saying how the transfer ended: nothing proves the file.
  throw Hub::HubClientError::downloadError("the transfer of " + name + " ended without a result");
}

}  // namespace hub::detail
