#include "Parlet/core/PasteChords.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace parlet {
namespace {

struct Family {
  std::string_view name;  // a WM_CLASS class or instance name, lower case
  PasteChord chord;
};

constexpr PasteChord kSelection = PasteChord::shiftInsert;
constexpr PasteChord kClipboard = PasteChord::controlShiftV;

constexpr Family kFamilies[] = {
    // xterm and the rxvt family paste the PRIMARY selection with Shift+Insert.
    {"xterm", kSelection},
    {"uxterm", kSelection},
    {"koi8rxterm", kSelection},
    {"rxvt", kSelection},
    {"urxvt", kSelection},
    {"rxvt-unicode", kSelection},
    {"mrxvt", kSelection},
    {"aterm", kSelection},
    {"eterm", kSelection},
    // Terminals on the VTE widget paste the clipboard with Ctrl+Shift+V.
    {"gnome-terminal", kClipboard},
    {"gnome-terminal-server", kClipboard},
    {"xfce4-terminal", kClipboard},
    {"lxterminal", kClipboard},
    {"tilix", kClipboard},
    {"terminix", kClipboard},
    {"terminator", kClipboard},
    {"mate-terminal", kClipboard},
    {"guake", kClipboard},
    {"tilda", kClipboard},
    {"sakura", kClipboard},
    {"roxterm", kClipboard},
    {"kgx", kClipboard},
    {"org.gnome.console", kClipboard},
    {"ptyxis", kClipboard},
    {"org.gnome.ptyxis", kClipboard},
    {"com.raggesilver.blackbox", kClipboard},
    {"deepin-terminal", kClipboard},
    // Other terminals that paste the clipboard with Ctrl+Shift+V.
    {"konsole", kClipboard},
    {"yakuake", kClipboard},
    {"qterminal", kClipboard},
    {"alacritty", kClipboard},
    {"kitty", kClipboard},
    {"foot", kClipboard},
    {"footclient", kClipboard},
    {"org.wezfurlong.wezterm", kClipboard},
    {"wezterm", kClipboard},
    {"com.mitchellh.ghostty", kClipboard},
    {"ghostty", kClipboard},
    {"contour", kClipboard},
    {"terminology", kClipboard},
    {"cool-retro-term", kClipboard},
    {"st", kClipboard},
    {"st-256color", kClipboard},
    {"hyper", kClipboard},
    {"tabby", kClipboard},
    // Emacs takes Ctrl+V for "scroll down" and yanks with Ctrl+Y, which pastes the clipboard when it
    // holds another application's text.
    {"emacs", PasteChord::controlY},
};

std::optional<PasteChord> lookUp(const std::string& name) {
  if (name.empty()) return std::nullopt;
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const Family& family : kFamilies)
    if (family.name == lower) return family.chord;
  return std::nullopt;
}

}  // namespace

PasteChord pasteChordFor(const std::optional<WindowClass>& window) {
  if (!window) return PasteChord::controlV;
  if (auto chord = lookUp(window->className)) return *chord;
  return lookUp(window->instanceName).value_or(PasteChord::controlV);
}

bool pastesSelection(PasteChord chord) { return chord == PasteChord::shiftInsert; }

std::string chordName(PasteChord chord) {
  switch (chord) {
    case PasteChord::controlV: return "Ctrl+V";
    case PasteChord::controlShiftV: return "Ctrl+Shift+V";
    case PasteChord::shiftInsert: return "Shift+Insert";
    case PasteChord::controlY: return "Ctrl+Y";
  }
  return "Ctrl+V";
}

}  // namespace parlet
