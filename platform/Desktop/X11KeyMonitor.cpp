#include "platform/Desktop/X11KeyMonitor.h"

// Qt before X11: Xlib's macros (Bool, Status, None) break Qt's headers.
#include <QGuiApplication>
#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/detail/SyntheticKeys.h"
#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {
namespace {

struct DesktopKey {
  std::uint16_t code;
  std::uint64_t flag;  // the modifier bit, 0 for other keys
};

using ModifierFlag::command;
using ModifierFlag::control;
using ModifierFlag::option;
using ModifierFlag::shift;

// Keyboard key names (the keyboard's own names for key positions) to desktop key codes, which are
// positional too: "AB04" is the key right of C on the bottom letter row, V on a US layout, code 9.
constexpr std::pair<std::string_view, DesktopKey> kNamedKeys[] = {
    {"RALT", {61, option}},  {"LALT", {58, option}},  {"RWIN", {54, command}}, {"LWIN", {55, command}},
    {"RCTL", {62, control}}, {"LCTL", {59, control}}, {"RTSH", {60, shift}},   {"LFSH", {56, shift}},
    {"ESC", {53, 0}},   {"TLDE", {50, 0}}, {"BKSL", {42, 0}}, {"RTRN", {36, 0}}, {"TAB", {48, 0}},
    {"SPCE", {49, 0}},  {"BKSP", {51, 0}},
    {"AE01", {18, 0}},  {"AE02", {19, 0}}, {"AE03", {20, 0}}, {"AE04", {21, 0}}, {"AE05", {23, 0}},
    {"AE06", {22, 0}},  {"AE07", {26, 0}}, {"AE08", {28, 0}}, {"AE09", {25, 0}}, {"AE10", {29, 0}},
    {"AE11", {27, 0}},  {"AE12", {24, 0}},
    {"AD01", {12, 0}},  {"AD02", {13, 0}}, {"AD03", {14, 0}}, {"AD04", {15, 0}}, {"AD05", {17, 0}},
    {"AD06", {16, 0}},  {"AD07", {32, 0}}, {"AD08", {34, 0}}, {"AD09", {31, 0}}, {"AD10", {35, 0}},
    {"AD11", {33, 0}},  {"AD12", {30, 0}},
    {"AC01", {0, 0}},   {"AC02", {1, 0}},  {"AC03", {2, 0}},  {"AC04", {3, 0}},  {"AC05", {5, 0}},
    {"AC06", {4, 0}},   {"AC07", {38, 0}}, {"AC08", {40, 0}}, {"AC09", {37, 0}}, {"AC10", {41, 0}},
    {"AC11", {39, 0}},
    {"AB01", {6, 0}},   {"AB02", {7, 0}},  {"AB03", {8, 0}},  {"AB04", {9, 0}},  {"AB05", {11, 0}},
    {"AB06", {45, 0}},  {"AB07", {46, 0}}, {"AB08", {43, 0}}, {"AB09", {47, 0}}, {"AB10", {44, 0}},
};

// Without key names: the server's usual keycodes (the kernel's key number + 8) for the modifiers and Escape.
constexpr std::pair<unsigned, DesktopKey> kFallbackKeycodes[] = {
    {108, {61, option}},  {64, {58, option}},   {134, {54, command}}, {133, {55, command}},
    {105, {62, control}}, {37, {59, control}},  {62, {60, shift}},    {50, {56, shift}},
    {9, {53, 0}},
};

std::map<unsigned, DesktopKey> keyTable(Display* display) {
  std::map<unsigned, DesktopKey> table;
  XkbDescPtr keyboard = XkbGetMap(display, 0, XkbUseCoreKbd);
  if (keyboard && XkbGetNames(display, XkbKeyNamesMask, keyboard) == Success && keyboard->names &&
      keyboard->names->keys) {
    for (unsigned code = keyboard->min_key_code; code <= keyboard->max_key_code; ++code) {
      const char* raw = keyboard->names->keys[code].name;
      std::string_view name(raw, strnlen(raw, XkbKeyNameLength));
      for (const auto& [known, key] : kNamedKeys)
        if (known == name) table.emplace(code, key);
    }
  }
  if (keyboard) XkbFreeKeyboard(keyboard, XkbAllComponentsMask, True);
  if (table.empty())
    for (const auto& [code, key] : kFallbackKeycodes) table.emplace(code, key);
  return table;
}

}  // namespace

struct X11KeyMonitor::State {
  detail::DisplayPtr display;
  int xinputOpcode = 0;
  std::map<unsigned, DesktopKey> keys;  // X keycode -> desktop key
  std::map<unsigned, bool> down;        // modifier keys held now, by X keycode
  std::set<unsigned> otherKeysDown;     // the other keys held now: a press while held is a repeat
  std::function<bool()> ownsFocus;
  std::vector<int> xtestDevices;        // where typed keys come from; only they can be the paste chord
  std::map<int, std::vector<int>> scrollValuators;  // pointer device -> its scroll axes (none: no wheel)
  std::unique_ptr<QSocketNotifier> notifier;

  struct Monitor {
    Token token;
    bool local;
    std::uint64_t mask;
    Handler handler;
  };
  std::vector<Monitor> monitors;
  Token lastToken = 0;

  std::uint64_t flags() const {
    std::uint64_t result = 0;
    for (const auto& [code, held] : down)
      if (held) result |= keys.at(code).flag;
    return result;
  }

  void deliver(std::uint64_t mask, const KeyEvent& event) {
    const bool local = ownsFocus();
    // Copied: a handler may add monitors.
    std::vector<Monitor> matching;
    for (const auto& monitor : monitors)
      if (monitor.local == local && (monitor.mask & mask)) matching.push_back(monitor);
    for (const auto& monitor : matching) monitor.handler(event);
  }

  void keyChanged(unsigned keycode, bool pressed) {
    auto found = keys.find(keycode);
    if (found == keys.end() || found->second.flag == 0) {
      if (!pressed) {
        otherKeysDown.erase(keycode);
        return;
      }
      if (!otherKeysDown.insert(keycode).second) return;  // a repeat
      deliver(EventMask::keyDown, {found == keys.end() ? kOtherKeyCode : found->second.code, flags(), true});
      return;
    }
    bool& held = down[keycode];
    if (held == pressed) return;  // a repeat, or a release whose press came before the monitor
    held = pressed;
    deliver(EventMask::flagsChanged, {found->second.code, flags(), pressed});
  }

  // The scroll axes of a pointer device, asked of the server the first time the device is heard of.
  const std::vector<int>& scrollAxes(int device) {
    auto found = scrollValuators.find(device);
    if (found != scrollValuators.end()) return found->second;
    std::vector<int>& axes = scrollValuators[device];
    int count = 0;
    detail::XErrorTrap trap(display.get());  // the device may be gone already
    if (XIDeviceInfo* info = XIQueryDevice(display.get(), device, &count)) {
      for (int i = 0; i < count; ++i)
        for (int c = 0; c < info[i].num_classes; ++c)
          if (info[i].classes[c]->type == XIScrollClass)
            axes.push_back(reinterpret_cast<const XIScrollClassInfo*>(info[i].classes[c])->number);
      XIFreeDeviceInfo(info);
    }
    return axes;
  }

  // Whether a raw motion turns a wheel (smooth scrolling comes as motion on scroll axes).
  bool scrolls(const XIRawEvent& raw) {
    const std::vector<int>& axes = scrollAxes(raw.sourceid);
    if (axes.empty()) return false;
    int value = 0;  // index into raw_values: one per axis set in the mask
    for (int axis = 0; axis < raw.valuators.mask_len * 8; ++axis) {
      if (!XIMaskIsSet(raw.valuators.mask, axis)) continue;
      if (std::find(axes.begin(), axes.end(), axis) != axes.end() && raw.raw_values[value] != 0) return true;
      ++value;
    }
    return false;
  }

  void drain() {
    Display* d = display.get();
    while (XPending(d)) {
      XEvent event;
      XNextEvent(d, &event);
      XGenericEventCookie* cookie = &event.xcookie;
      if (cookie->type != GenericEvent || cookie->extension != xinputOpcode) continue;
      if (!XGetEventData(d, cookie)) continue;
      if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        const auto keycode = static_cast<unsigned>(raw->detail);
        const bool press = cookie->evtype == XI_RawKeyPress;
        const bool typed = std::find(xtestDevices.begin(), xtestDevices.end(), raw->sourceid) != xtestDevices.end();
        if (!(typed && detail::takeSyntheticKey(keycode, press))) keyChanged(keycode, press);
      } else if (cookie->evtype == XI_RawButtonPress ||
                 (cookie->evtype == XI_RawMotion && scrolls(*static_cast<const XIRawEvent*>(cookie->data)))) {
        // A click or the wheel while the trigger is held makes a chord, as a key does (Shift+click).
        deliver(EventMask::keyDown, {kPointerCode, flags(), true});
      }
      XFreeEventData(d, cookie);
    }
  }

  // Modifier keys already held when the monitor starts.
  void readHeldKeys() {
    char bits[32];
    XQueryKeymap(display.get(), bits);
    for (const auto& [code, key] : keys)
      if (key.flag && code < 256 && (bits[code / 8] & (1 << (code % 8)))) down[code] = true;
  }
};

X11KeyMonitor::X11KeyMonitor(std::function<bool()> ownsFocus) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.display = detail::openDisplay();
  Display* d = s.display.get();
  auto opcode = detail::xinput21Opcode(d);
  if (!opcode)
    throw DesktopError("the X display " + detail::displayNameForMessages() +
                       " lacks XInput 2.1, needed to watch the trigger key");
  s.xinputOpcode = *opcode;
  s.ownsFocus = ownsFocus ? std::move(ownsFocus) : [] {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) && QGuiApplication::focusWindow();
  };
  s.keys = keyTable(d);
  int count = 0;
  if (XIDeviceInfo* devices = XIQueryDevice(d, XIAllDevices, &count)) {
    for (int i = 0; i < count; ++i)
      if (devices[i].use == XISlaveKeyboard && devices[i].name && std::strstr(devices[i].name, "XTEST"))
        s.xtestDevices.push_back(devices[i].deviceid);
    XIFreeDeviceInfo(devices);
  }

  unsigned char maskBits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(maskBits, XI_RawKeyPress);
  XISetMask(maskBits, XI_RawKeyRelease);
  XISetMask(maskBits, XI_RawButtonPress);
  XISetMask(maskBits, XI_RawMotion);
  XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof maskBits), maskBits};
  XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
  s.readHeldKeys();
  XSync(d, False);

  s.notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(d), QSocketNotifier::Read);
  State* state = state_.get();
  QObject::connect(s.notifier.get(), &QSocketNotifier::activated, [state] { state->drain(); });
  s.drain();  // events Xlib already read while setting up
  detail::listenForSyntheticKeys(true);
}

X11KeyMonitor::~X11KeyMonitor() { detail::listenForSyntheticKeys(false); }

KeyEventMonitoring::Token X11KeyMonitor::addGlobalMonitor(std::uint64_t mask, Handler handler) {
  state_->monitors.push_back({++state_->lastToken, false, mask, std::move(handler)});
  return state_->lastToken;
}

KeyEventMonitoring::Token X11KeyMonitor::addLocalMonitor(std::uint64_t mask, Handler handler) {
  state_->monitors.push_back({++state_->lastToken, true, mask, std::move(handler)});
  return state_->lastToken;
}

}  // namespace platform::desktop
