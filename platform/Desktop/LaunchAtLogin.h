// Launch at login through an XDG autostart entry, $XDG_CONFIG_HOME/autostart/<application id>.desktop
// (default ~/.config/autostart), that starts this executable, wherever it runs from (installed, or in
// the build tree), with the launcher entry's icon; its TryExec names the same program, so that
// desktops skip the entry once the program is removed. Enabled while the entry exists and is neither
// hidden nor switched off by the desktop (Hidden=true, X-GNOME-Autostart-enabled=false); an older
// entry named parlet.desktop counts too until the next change, which removes it. Register and
// unregister throw DesktopError naming the file when it cannot be written or removed. Not thread-safe.
//   LaunchAtLogin login;  if (login.status() == LaunchAtLogin::Status::enabled) login.unregister();
#pragma once

#include <filesystem>

namespace platform::desktop {

// The application id: the launcher entry's and the icon's name.
inline constexpr const char* kApplicationId = PARLET_APP_ID;

class LaunchAtLogin {
 public:
  enum class Status { notRegistered, enabled };

  // `executable`: the program the entry starts; default this process's own executable.
  explicit LaunchAtLogin(std::filesystem::path executable = {});

  Status status() const;
  // Writes the entry (replacing any earlier one).
  void registerItem();
  // Removes the entry; nothing to do when there is none.
  void unregister();
  // Where the entry lives, from the environment at the time of the call.
  static std::filesystem::path entryPath();
  // Where entries of earlier versions were written.
  static std::filesystem::path olderEntryPath();

 private:
  std::filesystem::path executable_;
};

}  // namespace platform::desktop
