#include "Parlet/core/PasteChords.h"

#include <gtest/gtest.h>

namespace parlet {
namespace {

TEST(PasteChordsTest, EachTerminalFamilyAndEmacsGetTheChordTheyPasteWithAndEveryOtherWindowCtrlV) {
  struct Case {
    std::optional<WindowClass> window;
    PasteChord chord;
  };
  const Case cases[] = {
      // WM_CLASS as these programs set it: class, instance.
      {WindowClass{"XTerm", "xterm"}, PasteChord::shiftInsert},
      {WindowClass{"UXTerm", "uxterm"}, PasteChord::shiftInsert},
      {WindowClass{"URxvt", "urxvt"}, PasteChord::shiftInsert},
      {WindowClass{"XTerm", "logs"}, PasteChord::shiftInsert},  // xterm -name logs: the class decides
      {WindowClass{"Gnome-terminal", "gnome-terminal-server"}, PasteChord::controlShiftV},
      {WindowClass{"Xfce4-terminal", "xfce4-terminal"}, PasteChord::controlShiftV},
      {WindowClass{"Lxterminal", "lxterminal"}, PasteChord::controlShiftV},
      {WindowClass{"Tilix", "tilix"}, PasteChord::controlShiftV},
      {WindowClass{"Terminator", "terminator"}, PasteChord::controlShiftV},
      {WindowClass{"Mate-terminal", "mate-terminal"}, PasteChord::controlShiftV},
      {WindowClass{"konsole", "konsole"}, PasteChord::controlShiftV},
      {WindowClass{"Alacritty", "Alacritty"}, PasteChord::controlShiftV},
      {WindowClass{"kitty", "kitty"}, PasteChord::controlShiftV},
      {WindowClass{"foot", "foot"}, PasteChord::controlShiftV},
      {WindowClass{"org.wezfurlong.wezterm", "org.wezfurlong.wezterm"}, PasteChord::controlShiftV},
      {WindowClass{"", "sakura"}, PasteChord::controlShiftV},          // no class: the instance decides
      {WindowClass{"MyTerm", "guake"}, PasteChord::controlShiftV},     // an unknown class: the instance
      {WindowClass{"Emacs", "emacs"}, PasteChord::controlY},  // Ctrl+V scrolls there
      {WindowClass{"Emacs", "emacs-gtk"}, PasteChord::controlY},
      {WindowClass{"Firefox", "Navigator"}, PasteChord::controlV},
      {WindowClass{"Gedit", "gedit"}, PasteChord::controlV},
      {WindowClass{"xterminal-notes", "xtermish"}, PasteChord::controlV},  // whole names only
      {WindowClass{"", ""}, PasteChord::controlV},
      {std::nullopt, PasteChord::controlV},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window ? c.window->className + "/" + c.window->instanceName : "no window");
    EXPECT_EQ(pasteChordFor(c.window), c.chord);
  }
}

}  // namespace
}  // namespace parlet
