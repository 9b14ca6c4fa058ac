#include "platform/Desktop/UinputKeyboard.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <cstring>
#include <exception>
#include <vector>

#include "platform/Desktop/DesktopError.h"

namespace platform::desktop {
namespace {

class UinputKeyboard : public KeyEventSink {
 public:
  UinputKeyboard() {
    libevdev* device = libevdev_new();
    libevdev_set_name(device, kVirtualKeyboardName);
    libevdev_set_id_bustype(device, BUS_VIRTUAL);
    libevdev_enable_event_type(device, EV_KEY);
    // The whole main block and more, so that udev and the compositor take it for a keyboard and any
    // key a layout puts "v" on can be sent.
    for (unsigned code = KEY_ESC; code <= KEY_MICMUTE; ++code) libevdev_enable_event_code(device, EV_KEY, code, nullptr);
    const int status = libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput_);
    libevdev_free(device);  // the uinput device keeps what it needs
    if (status != 0)
      throw DesktopError(std::string("cannot make a virtual keyboard through /dev/uinput: ") + std::strerror(-status));
  }
  ~UinputKeyboard() override { libevdev_uinput_destroy(uinput_); }

  void write(unsigned type, unsigned code, int value) override {
    libevdev_uinput_write_event(uinput_, type, code, value);
  }

 private:
  libevdev_uinput* uinput_ = nullptr;
};

}  // namespace

std::unique_ptr<KeyEventSink> makeUinputKeyboard() { return std::make_unique<UinputKeyboard>(); }

UinputPasteKeys::UinputPasteKeys(Options options) : options_(std::move(options)) {
  if (!options_.openSink) options_.openSink = makeUinputKeyboard;
  if (!options_.keys) options_.keys = currentPasteChordKeys;
  open();
}

UinputPasteKeys::~UinputPasteKeys() = default;

bool UinputPasteKeys::open() {
  if (sink_) return true;
  try {
    sink_ = options_.openSink();
  } catch (const std::exception& error) {
    if (options_.log) options_.log(std::string("paste chord unavailable: ") + error.what());
  }
  return sink_ != nullptr;
}

bool UinputPasteKeys::sendPasteChord(PasteChord chord) {
  if (!open()) return false;
  const PasteChordKeys keys = options_.keys();
  auto key = [&](unsigned code, int value) {
    sink_->write(EV_KEY, code, value);
    sink_->write(EV_SYN, SYN_REPORT, 0);
  };
  std::vector<unsigned> modifiers;
  if (chord != PasteChord::shiftInsert) modifiers.push_back(keys.control);
  if (chord == PasteChord::controlShiftV || chord == PasteChord::shiftInsert) modifiers.push_back(keys.shift);
  const unsigned last = chord == PasteChord::shiftInsert ? keys.insert : chord == PasteChord::controlY ? keys.y : keys.v;
  for (unsigned modifier : modifiers) key(modifier, 1);
  key(last, 1);
  key(last, 0);
  for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) key(*it, 0);
  return true;
}

}  // namespace platform::desktop
