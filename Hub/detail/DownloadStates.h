// Following a downloader's states to their end. Blocks the calling thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Hub/Downloader.h"

namespace hub::detail {

// Hands every Downloading state to `progress`, in order, and returns at Completed. Failed
// rethrows its error; a stream that ends without either throws HubClientError::downloadError
// naming `name`.
void awaitDownload(Downloader::Subscription& states, const std::function<void(double, std::optional<double>)>& progress,
                   const std::string& name);

}  // namespace hub::detail
