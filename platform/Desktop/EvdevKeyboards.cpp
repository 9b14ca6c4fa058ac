#include "platform/Desktop/EvdevKeyboards.h"

#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::desktop {
namespace {

constexpr const char* kInputFolder = "/dev/input";

// Mice and touchpads: a click or the wheel while the trigger key is held makes a chord.
bool isPointer(const libevdev* device) {
  return libevdev_has_event_code(device, EV_KEY, BTN_LEFT) || libevdev_has_event_code(device, EV_REL, REL_WHEEL);
}

bool isKeyboard(const libevdev* device) {
  if (!libevdev_has_event_type(device, EV_KEY)) return false;
  static constexpr unsigned triggerKeys[] = {KEY_RIGHTALT, KEY_LEFTALT,  KEY_RIGHTMETA,  KEY_LEFTMETA,
                                             KEY_RIGHTCTRL, KEY_LEFTCTRL, KEY_RIGHTSHIFT, KEY_LEFTSHIFT};
  for (unsigned code : triggerKeys)
    if (libevdev_has_event_code(device, EV_KEY, code)) return true;
  static constexpr unsigned letters[] = {KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O,
                                         KEY_P, KEY_A, KEY_S, KEY_D, KEY_F, KEY_G, KEY_H, KEY_J, KEY_K,
                                         KEY_L, KEY_Z, KEY_X, KEY_C, KEY_V, KEY_B, KEY_N, KEY_M};
  return std::all_of(std::begin(letters), std::end(letters),
                     [&](unsigned code) { return libevdev_has_event_code(device, EV_KEY, code); });
}

class EvdevDevice : public KeyboardDevice {
 public:
  EvdevDevice(std::string path, int fd, libevdev* device) : path_(std::move(path)), fd_(fd), device_(device) {}
  ~EvdevDevice() override {
    libevdev_free(device_);
    ::close(fd_);
  }

  const std::string& path() const override { return path_; }
  int fd() const override { return fd_; }

  std::vector<unsigned> heldKeys() const override {
    std::vector<unsigned> held;
    for (unsigned code = 0; code <= KEY_MAX; ++code)
      if (libevdev_has_event_code(device_, EV_KEY, code) && libevdev_get_event_value(device_, EV_KEY, code))
        held.push_back(code);
    return held;
  }

  bool readEvents(std::vector<input_event>& events) override {
    unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
    for (;;) {
      input_event event;
      const int status = libevdev_next_event(device_, flags, &event);
      if (status == LIBEVDEV_READ_STATUS_SUCCESS) {
        events.push_back(event);
      } else if (status == LIBEVDEV_READ_STATUS_SYNC) {
        // Events were dropped: libevdev replays the difference to the device's state as sync events.
        events.push_back(event);
        flags = LIBEVDEV_READ_FLAG_SYNC;
      } else if (status == -EAGAIN) {
        if (flags == LIBEVDEV_READ_FLAG_SYNC) {
          flags = LIBEVDEV_READ_FLAG_NORMAL;
          continue;
        }
        return true;
      } else if (status == -EINTR) {
        continue;
      } else {
        return false;  // -ENODEV: unplugged
      }
    }
  }

 private:
  std::string path_;
  int fd_;
  libevdev* device_;
};

// `pointers`: a mouse or touchpad is taken too.
std::unique_ptr<KeyboardDevice> openKeyboard(const std::string& path, const std::string& ignoredName, bool pointers) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  libevdev* device = nullptr;
  if (libevdev_new_from_fd(fd, &device) != 0) {
    ::close(fd);
    return nullptr;
  }
  const char* name = libevdev_get_name(device);
  if (!(isKeyboard(device) || (pointers && isPointer(device))) || (!ignoredName.empty() && name && ignoredName == name)) {
    libevdev_free(device);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<EvdevDevice>(path, fd, device);
}

bool isEventNode(const char* path) {
  return path && std::strncmp(path, "/dev/input/event", std::strlen("/dev/input/event")) == 0;
}

class UdevKeyboardSource : public KeyboardSource {
 public:
  explicit UdevKeyboardSource(std::string ignoredName) : ignoredName_(std::move(ignoredName)) {
    // Without udev (a container) the keyboards present are still read; only hot-plugging is not heard of.
    udev_ = udev_new();
    if (!udev_) return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr) < 0 ||
                     udev_monitor_enable_receiving(monitor_) < 0)) {
      udev_monitor_unref(monitor_);
      monitor_ = nullptr;
    }
  }
  ~UdevKeyboardSource() override {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
  }

  std::vector<std::unique_ptr<KeyboardDevice>> scan(const std::set<std::string>& open) override {
    std::vector<std::unique_ptr<KeyboardDevice>> keyboards;
    for (const std::string& path : inputEventNodes())
      if (!open.count(path))
        if (auto keyboard = openKeyboard(path, ignoredName_, true)) keyboards.push_back(std::move(keyboard));
    return keyboards;
  }

  int changesFd() const override { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

  Changes readChanges(const std::set<std::string>& open) override {
    Changes changes;
    if (!monitor_) return changes;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(device);
      const char* node = udev_device_get_devnode(device);
      if (action && isEventNode(node)) {
        if (std::strcmp(action, "remove") == 0) {
          changes.removed.emplace_back(node);
        } else if (std::strcmp(action, "add") == 0 && !open.count(node)) {
          if (auto keyboard = openKeyboard(node, ignoredName_, true)) changes.added.push_back(std::move(keyboard));
        }
      }
      udev_device_unref(device);
    }
    return changes;
  }

 private:
  std::string ignoredName_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<KeyboardSource> makeUdevKeyboardSource(std::string ignoredName) {
  return std::make_unique<UdevKeyboardSource>(std::move(ignoredName));
}

std::vector<std::string> inputEventNodes() {
  std::vector<std::string> nodes;
  DIR* folder = ::opendir(kInputFolder);
  if (!folder) return nodes;
  while (const dirent* entry = ::readdir(folder))
    if (std::strncmp(entry->d_name, "event", 5) == 0) nodes.push_back(std::string(kInputFolder) + "/" + entry->d_name);
  ::closedir(folder);
  // event2 before event10
  std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return nodes;
}

bool isReadableKeyboard(const std::string& path) { return openKeyboard(path, {}, false) != nullptr; }

}  // namespace platform::desktop
