#include "Hub/HubApi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "Hub/NetworkMonitor.h"
#include "Hub/detail/SafeNames.h"
#include "platform/Net/Url.h"
#include "platform/System/Environment.h"
#include "platform/System/Folders.h"

namespace hub {
namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char* name) { return platform::system::environmentVariable(name); }

fs::path expandTilde(const std::string& path) {
  if (path == "~") return platform::system::homeDirectory();
  if (path.starts_with("~/")) return platform::system::homeDirectory() / path.substr(2);
  return path;
}

// The whole file, less one trailing line end ("\n", "\r\n" or "\r"); nothing when unreadable or
// too long to be a token.
std::optional<std::string> readTokenFile(const fs::path& path) {
  constexpr std::uintmax_t kMaxTokenFileSize = 64 * 1024;
  std::error_code error;
  if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxTokenFileSize || error) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // Still used, as the user may mean it; the log says what another user could do with it.
  if (auto problem = platform::system::foreignFileProblem(path))
    HubApi::log(platform::system::LogType::error, "Token file " + path.string() + " " + *problem);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  if (text.ends_with("\r\n")) text.resize(text.size() - 2);
  else if (text.ends_with('\n') || text.ends_with('\r')) text.pop_back();
  return text;
}

bool hasControlCharacters(std::string_view token) {
  for (unsigned char c : token)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// The first source that yields a usable token. A token with control characters would break the
// Authorization header, so its source counts as yielding nothing.
std::optional<std::string> discoverToken() {
  fs::path home = platform::system::homeDirectory();
  std::vector<std::function<std::optional<std::string>()>> sources = {
      [] { return environment("HF_TOKEN"); },
      [] { return environment("HUGGING_FACE_HUB_TOKEN"); },
      [] {
        auto path = environment("HF_TOKEN_PATH");
        return path ? readTokenFile(expandTilde(*path)) : std::nullopt;
      },
      [] {
        auto folder = environment("HF_HOME");
        return folder ? readTokenFile(expandTilde(*folder) / "token") : std::nullopt;
      },
      [home] { return readTokenFile(home / ".cache" / "huggingface" / "token"); },
      [home] { return readTokenFile(home / ".huggingface" / "token"); },
  };
  for (const auto& source : sources) {
    auto token = source();
    if (token && !token->empty() && !hasControlCharacters(*token)) return token;
  }
  return std::nullopt;
}

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

HubApi::LogHandler& logHandler() {
  static HubApi::LogHandler handler;
  return handler;
}

}  // namespace

HubApi::HubApi(std::optional<fs::path> downloadBase, std::optional<std::string> hfToken,
               std::optional<std::string> endpoint, bool useBackgroundSession, std::optional<bool> useOfflineMode)
    : useBackgroundSession_(useBackgroundSession), useOfflineMode_(useOfflineMode) {
  // Every value shares the process-wide monitor: a monitor of its own would have no reader.
  networkMonitor_ = NetworkMonitor::shared();
  hfToken_ = hfToken ? std::move(hfToken) : discoverToken();
  if (auto notice = environment("CI_DISABLE_NETWORK_MONITOR"); notice && *notice == "1") {
    std::fputs(hfToken_ ? "✅ got token\n" : "🔴 NO TOKEN **\n", stdout);
    std::fflush(stdout);
  }
  downloadBase_ = downloadBase ? std::move(*downloadBase) : platform::system::cacheDirectory() / "huggingface";
  if (endpoint) endpoint_ = std::move(*endpoint);
  else endpoint_ = environment("HF_ENDPOINT").value_or(kDefaultEndpoint);
  networkMonitor_->startMonitoring();
}

const HubApi& HubApi::shared() {
  static const HubApi instance;
  return instance;
}

bool HubApi::isOffline() const { return offlineDecision(useOfflineMode_, NetworkMonitor::shared()->state()); }

void HubApi::setLogHandler(LogHandler handler) {
  std::lock_guard lock(logMutex());
  logHandler() = std::move(handler);
}

void HubApi::log(platform::system::LogType type, const std::string& rawMessage) {
  // A line may name a URL (its user information and query never show) or a name from the network
  // (its line breaks never split the line).
  const std::string message = detail::oneLine(platform::net::redactUrls(rawMessage));
  LogHandler handler;
  {
    std::lock_guard lock(logMutex());
    handler = logHandler();
  }
  if (handler) {
    handler(type, message);
    return;
  }
  static const platform::system::SystemLog logger("Parlet", "HubApi");
  logger.write(type, message);
}

}  // namespace hub
