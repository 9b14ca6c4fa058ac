// Keymaps for the desktop tests, compiled by xkbcommon from the system's layout files as a session
// would from its settings ("us", "dvorak"); a null keymap where xkb-data lacks the layout.
//   Keymaps keymaps; auto dvorak = keymaps.compile("us", "dvorak");
#pragma once

#include <xkbcommon/xkbcommon.h>

#include "platform/Desktop/XkbLayout.h"

namespace platform::desktop {

class Keymaps {
 public:
  Keymaps() : context_(xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES)) {
    xkb_context_include_path_append_default(context_);
  }
  ~Keymaps() { xkb_context_unref(context_); }
  KeymapPtr compile(const char* layout, const char* variant = "", const char* options = "") {
    const xkb_rule_names names{"evdev", "pc105", layout, variant, options};
    return KeymapPtr(xkb_keymap_new_from_names(context_, &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  }

 private:
  xkb_context* context_;
};

}  // namespace platform::desktop
