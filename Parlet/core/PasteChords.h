// Which chord makes a window paste, from its X11 WM_CLASS: terminal emulators do not take Ctrl+V (a
// shell reads it as "insert the next key literally") and Emacs scrolls with it, so each family gets
// the chord it pastes with. The table of window classes is in PasteChords.cpp and nowhere else. Pure
// functions; none throws.
//   pasteChordFor(WindowClass{"XTerm", "xterm"}) == PasteChord::shiftInsert
#pragma once

#include <optional>
#include <string>

#include "platform/Desktop/PasteSeams.h"

namespace parlet {

using platform::desktop::PasteChord;
using platform::desktop::WindowClass;

// The window's class decides, else its instance name, compared without regard to case; a window of
// no known family, or an unknown window, gets Ctrl+V.
PasteChord pasteChordFor(const std::optional<WindowClass>& window);

// Whether the chord pastes the PRIMARY selection rather than the clipboard.
bool pastesSelection(PasteChord chord);

// "Ctrl+V", "Ctrl+Shift+V", "Shift+Insert", "Ctrl+Y".
std::string chordName(PasteChord chord);

}  // namespace parlet
