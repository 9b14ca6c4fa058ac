#include "platform/Desktop/EvdevAccessibility.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Desktop/EvdevKeyboards.h"

namespace platform::desktop {
namespace {

constexpr const char* kUinput = "/dev/uinput";
constexpr const char* kInputGroup = "input";

}  // namespace

AccessibilityStatus evdevAccessibilityStatus(const InputAccess& access) {
  if (access.keyboardReadable && access.uinputWritable) return {true, ""};
  if (access.inputGroupListed && !access.inputGroupActive)
    return {false,
            "You are in the input group, but this login began before you joined it. Log out and log in again, "
            "then Parlet can read the keyboard and paste."};
  std::vector<std::string> missing;
  if (!access.keyboardReadable) missing.push_back("cannot read any keyboard in /dev/input");
  if (!access.uinputPresent)
    missing.push_back("finds no /dev/uinput (the uinput module is not loaded), which it needs to paste");
  else if (!access.uinputWritable)
    missing.push_back("cannot write to /dev/uinput, which it needs to paste");
  std::string reason = "Parlet ";
  for (std::size_t i = 0; i < missing.size(); ++i) reason += (i ? " and " : "") + missing[i];
  return {false, reason + ". Choose \"Grant Accessibility…\" in Parlet's menu for the one-time steps."};
}

InputAccess probeInputAccess() {
  InputAccess access;
  const auto nodes = inputEventNodes();
  access.keyboardReadable = std::any_of(nodes.begin(), nodes.end(), isReadableKeyboard);
  access.uinputPresent = ::access(kUinput, F_OK) == 0;
  if (const int fd = ::open(kUinput, O_WRONLY | O_CLOEXEC); fd >= 0) {
    access.uinputWritable = true;
    ::close(fd);
  }
  if (const group* input = ::getgrnam(kInputGroup)) {
    const gid_t inputId = input->gr_gid;
    const std::string user = currentUserName();
    for (char** member = input->gr_mem; member && *member; ++member)
      if (user == *member) access.inputGroupListed = true;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_gid == inputId) access.inputGroupListed = true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    access.inputGroupActive = ::getegid() == inputId ||
                              std::find(groups.begin(), groups.begin() + std::max(count, 0), inputId) !=
                                  groups.begin() + std::max(count, 0);
  }
  return access;
}

AccessibilityStatus evdevAccessibilityStatus() { return evdevAccessibilityStatus(probeInputAccess()); }

std::string currentUserName() {
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_name) return entry->pw_name;
  return "$USER";
}

std::string grantAccessSteps(const std::string& user) {
  return "Parlet watches the trigger key by reading your keyboards, and pastes by typing Ctrl+V through a\n"
         "virtual keyboard. On a Wayland session both go through the kernel's input devices. Do this once:\n"
         "\n"
         "1. Join the input group, which may read the keyboards:\n"
         "\n"
         "   sudo usermod -aG input " + user + "\n"
         "\n"
         "2. Give the input group the virtual keyboard device /dev/uinput, loaded at every start:\n"
         "\n"
         "   echo 'KERNEL==\"uinput\", SUBSYSTEM==\"misc\", GROUP=\"input\", MODE=\"0660\", "
         "OPTIONS+=\"static_node=uinput\"' | sudo tee /etc/udev/rules.d/60-parlet-uinput.rules\n"
         "   echo uinput | sudo tee /etc/modules-load.d/parlet-uinput.conf\n"
         "   sudo modprobe uinput\n"
         "   sudo udevadm control --reload-rules\n"
         "   sudo udevadm trigger --sysname-match=uinput\n"
         "\n"
         "3. Log out and log in again, so that the new group counts. Parlet notices the access by itself.\n"
         "\n"
         "Every program you run can then read the keyboard and type, as Parlet does.\n";
}

}  // namespace platform::desktop
