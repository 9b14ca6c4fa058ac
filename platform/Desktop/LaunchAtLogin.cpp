#include "platform/Desktop/LaunchAtLogin.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string_view>

#include "platform/Desktop/DesktopError.h"

namespace platform::desktop {
namespace {

// An Exec argument, quoted where the desktop entry rules ask for it, then escaped as a string value:
//   /opt/my apps/parlet => "/opt/my apps/parlet";  /a\b => "/a\\\\b";  50% => 50%%
std::string execArgument(const std::string& argument) {
  constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string text;
  if (argument.find_first_of(reserved) == std::string::npos) {
    text = argument;
  } else {
    text = "\"";
    for (char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') text += '\\';
      text += c;
    }
    text += "\"";
  }
  std::string value;
  for (char c : text) {
    if (c == '\\') value += "\\\\";
    else if (c == '%') value += "%%";
    else value += c;
  }
  return value;
}

// A plain string value: a backslash doubled, a tab escaped; nothing is quoted.
//   /opt/back\slash/parlet => /opt/back\\slash/parlet
std::string stringValue(const std::string& text) {
  std::string value;
  for (char c : text) {
    if (c == '\\') value += "\\\\";
    else if (c == '\t') value += "\\t";
    else value += c;
  }
  return value;
}

std::string trim(std::string_view s) {
  auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(" \t\r");
  return std::string(s.substr(first, last - first + 1));
}

}  // namespace

LaunchAtLogin::LaunchAtLogin(std::filesystem::path executable) : executable_(std::move(executable)) {
  if (executable_.empty()) {
    std::error_code error;
    executable_ = std::filesystem::read_symlink("/proc/self/exe", error);
  }
}

namespace {

std::filesystem::path autostartFolder() {
  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* user = getpwuid(getuid());
      home = user ? user->pw_dir : "/";
    }
    config = std::filesystem::path(home) / ".config";
  }
  return config / "autostart";
}

}  // namespace

std::filesystem::path LaunchAtLogin::entryPath() { return autostartFolder() / (std::string(kApplicationId) + ".desktop"); }

std::filesystem::path LaunchAtLogin::olderEntryPath() { return autostartFolder() / "parlet.desktop"; }

LaunchAtLogin::Status LaunchAtLogin::status() const {
  std::error_code error;
  std::ifstream in(std::filesystem::exists(entryPath(), error) ? entryPath() : olderEntryPath());
  if (!in) return Status::notRegistered;
  bool inEntry = false;
  for (std::string line; std::getline(in, line);) {
    std::string text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    if (text[0] == '[') {
      inEntry = text == "[Desktop Entry]";
      continue;
    }
    auto equals = text.find('=');
    if (!inEntry || equals == std::string::npos) continue;
    std::string key = trim(std::string_view(text).substr(0, equals));
    std::string value = trim(std::string_view(text).substr(equals + 1));
    if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
      return Status::notRegistered;
  }
  return Status::enabled;
}

void LaunchAtLogin::registerItem() {
  const std::filesystem::path path = entryPath();
  const std::string program = executable_.string();
  if (program.empty() || program.find_first_of("\n\r") != std::string::npos)
    throw DesktopError("cannot write " + path.string() + ": the program path \"" + program +
                       "\" cannot be written into a launcher entry");
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) throw DesktopError("cannot create the folder " + path.parent_path().string() + ": " + error.message());
  const std::filesystem::path partial = path.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Parlet\n"
           "Comment=Push-to-talk dictation\n"
        << "Exec=" << execArgument(program) << "\n"
        // Desktops skip an entry whose program is gone (removed with its package).
        << "TryExec=" << stringValue(program) << "\n"
        << "Icon=" << kApplicationId << "\n"
        << "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    if (!out) {
      std::filesystem::remove(partial, error);
      throw DesktopError("cannot write " + partial.string());
    }
  }
  std::filesystem::rename(partial, path, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw DesktopError("cannot write " + path.string() + ": " + error.message());
  }
  std::filesystem::remove(olderEntryPath(), error);
  if (error) throw DesktopError("cannot remove " + olderEntryPath().string() + ": " + error.message());
}

void LaunchAtLogin::unregister() {
  for (const auto& path : {entryPath(), olderEntryPath()}) {
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error) throw DesktopError("cannot remove " + path.string() + ": " + error.message());
  }
}

}  // namespace platform::desktop
