#include "platform/Desktop/XkbLayout.h"

#include <linux/input-event-codes.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>

#include "platform/Desktop/detail/EvdevKeyState.h"

namespace platform::desktop {
namespace {

// xkbcommon key codes are the kernel's plus 8 (the X convention).
constexpr xkb_keycode_t kEvdevOffset = 8;

std::optional<std::uint16_t> keyInLayout(xkb_keymap* keymap, xkb_keysym_t keysym, xkb_layout_index_t layout) {
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
    if (code < kEvdevOffset || layout >= xkb_keymap_num_layouts_for_key(keymap, code)) continue;
    const xkb_keysym_t* symbols = nullptr;
    const int count = xkb_keymap_key_get_syms_by_level(keymap, code, layout, 0, &symbols);
    for (int i = 0; i < count; ++i)
      if (symbols[i] == keysym) return static_cast<std::uint16_t>(code - kEvdevOffset);
  }
  return std::nullopt;
}

struct ContextDeleter {
  void operator()(xkb_context* context) const { xkb_context_unref(context); }
};
struct StateDeleter {
  void operator()(xkb_state* state) const { xkb_state_unref(state); }
};
struct ConnectionDeleter {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

CurrentKeymap keymapOfXServer(xkb_context* context) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return {};
  std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection(xcb_connect(nullptr, nullptr));
  if (xcb_connection_has_error(connection.get())) return {};
  if (!xkb_x11_setup_xkb_extension(connection.get(), XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                   XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr))
    return {};
  const std::int32_t device = xkb_x11_get_core_keyboard_device_id(connection.get());
  if (device < 0) return {};
  KeymapPtr keymap(xkb_x11_keymap_new_from_device(context, connection.get(), device, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) return {};
  std::unique_ptr<xkb_state, StateDeleter> state(xkb_x11_state_new_from_device(keymap.get(), connection.get(), device));
  const xkb_layout_index_t layout = state ? xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE) : 0;
  return {std::move(keymap), layout};
}

}  // namespace

void KeymapDeleter::operator()(xkb_keymap* keymap) const { xkb_keymap_unref(keymap); }

std::optional<std::uint16_t> keyTyping(xkb_keymap* keymap, std::uint32_t keysym, std::uint32_t layout) {
  if (!keymap) return std::nullopt;
  if (auto key = keyInLayout(keymap, keysym, layout)) return key;
  const xkb_layout_index_t layouts = xkb_keymap_num_layouts(keymap);
  for (xkb_layout_index_t other = 0; other < layouts; ++other)
    if (other != layout)
      if (auto key = keyInLayout(keymap, keysym, other)) return key;
  return std::nullopt;
}

PasteChordKeys pasteChordKeys(xkb_keymap* keymap, std::uint32_t layout) {
  static_assert(PasteChordKeys{0, 0}.shift == KEY_LEFTSHIFT && PasteChordKeys{0, 0}.insert == KEY_INSERT &&
                PasteChordKeys{0, 0}.y == KEY_Y);
  return {keyTyping(keymap, XKB_KEY_Control_L, layout).value_or(KEY_LEFTCTRL),
          keyTyping(keymap, XKB_KEY_v, layout).value_or(KEY_V),
          keyTyping(keymap, XKB_KEY_Shift_L, layout).value_or(KEY_LEFTSHIFT),
          keyTyping(keymap, XKB_KEY_Insert, layout).value_or(KEY_INSERT),
          keyTyping(keymap, XKB_KEY_y, layout).value_or(KEY_Y)};
}

std::optional<std::string> layoutKeyName(xkb_keymap* keymap, std::uint16_t desktopKeyCode, std::uint32_t layout) {
  if (!keymap) return std::nullopt;
  // The trigger keys are modifiers; other keys keep their names.
  for (unsigned kernel = 0; kernel < 256; ++kernel) {
    const auto key = detail::desktopKeyForEvdevCode(kernel);
    if (!key || key->code != desktopKeyCode || key->flag == 0) continue;
    const xkb_keycode_t code = kernel + kEvdevOffset;
    if (code > xkb_keymap_max_keycode(keymap)) return std::nullopt;
    const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, code);
    if (layouts == 0) return std::nullopt;
    // A layout the key does not have wraps around, as XKB's default rule for such keys says.
    const xkb_layout_index_t own = layout % layouts;
    const xkb_keysym_t* symbols = nullptr;
    const int count = xkb_keymap_key_get_syms_by_level(keymap, code, own, 0, &symbols);
    for (int i = 0; i < count; ++i)
      if (symbols[i] == XKB_KEY_ISO_Level3_Shift || symbols[i] == XKB_KEY_Mode_switch) return "AltGr";
    return std::nullopt;
  }
  return std::nullopt;
}

CurrentKeymap currentKeymap() {
  std::unique_ptr<xkb_context, ContextDeleter> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  if (!context) return {};
  if (auto fromServer = keymapOfXServer(context.get()); fromServer.keymap) return fromServer;
  return {KeymapPtr(xkb_keymap_new_from_names(context.get(), nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS)), 0};
}

PasteChordKeys currentPasteChordKeys() {
  auto current = currentKeymap();
  return pasteChordKeys(current.keymap.get(), current.layout);
}

std::optional<std::string> currentLayoutKeyName(std::uint16_t desktopKeyCode) {
  auto current = currentKeymap();
  return layoutKeyName(current.keymap.get(), desktopKeyCode, current.layout);
}

}  // namespace platform::desktop
