#include "platform/Desktop/X11FocusedApplication.h"

// Qt before X11: Xlib's macros (Bool, Status, None) break Qt's headers.
#include <QApplication>
#include <QMetaObject>
#include <QWidget>
#include <QWindow>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {

struct X11FocusedApplication::State {
  detail::DisplayPtr display;  // none without a display: then only this application's own facts
};

namespace {

std::optional<Window> activeWindow(Display* d) {
  Atom property = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<Window> result;
  if (XGetWindowProperty(d, DefaultRootWindow(d), property, 0, 1, False, XA_WINDOW, &type, &format, &count, &after,
                         &data) == Success &&
      type == XA_WINDOW && format == 32 && count == 1) {
    Window window = *reinterpret_cast<Window*>(data);
    if (window != None) result = window;
  }
  if (data) XFree(data);
  if (result) return result;
  // No window manager says which window is active: the input focus.
  Window focus = None;
  int revert = 0;
  XGetInputFocus(d, &focus, &revert);
  if (focus == None || focus == PointerRoot) return std::nullopt;
  return focus;
}

// The WM_CLASS of `window` or of its nearest ancestor that has a non-empty one.
std::optional<WindowClass> windowClass(Display* d, Window window) {
  const Window root = DefaultRootWindow(d);
  while (window != None && window != root) {
    XClassHint hint{};
    if (XGetClassHint(d, window, &hint)) {
      WindowClass names{hint.res_class ? hint.res_class : "", hint.res_name ? hint.res_name : ""};
      if (hint.res_name) XFree(hint.res_name);
      if (hint.res_class) XFree(hint.res_class);
      if (!names.className.empty() || !names.instanceName.empty()) return names;
    }
    Window rootReturn = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, window, &rootReturn, &parent, &children, &count)) break;
    if (children) XFree(children);
    window = parent;
  }
  return std::nullopt;
}

bool ownsFocus() { return QGuiApplication::focusWindow() != nullptr; }

std::optional<WindowClass> focusedForeignWindow(Display* d) {
  if (!d) return std::nullopt;
  detail::XErrorTrap trap(d);  // the window may be gone by the time it is asked
  auto window = activeWindow(d);
  auto names = window ? windowClass(d, *window) : std::nullopt;
  return trap.failed() ? std::nullopt : names;
}

}  // namespace

X11FocusedApplication::X11FocusedApplication() : state_(std::make_unique<State>()) {
  state_->display.reset(XOpenDisplay(nullptr));
}

X11FocusedApplication::~X11FocusedApplication() = default;

std::optional<std::string> X11FocusedApplication::frontmostApplicationId() const {
  if (ownsFocus()) return ownApplicationId();
  auto names = focusedForeignWindow(state_->display.get());
  if (!names) return std::nullopt;
  return names->className.empty() ? names->instanceName : names->className;
}

std::optional<WindowClass> X11FocusedApplication::focusedWindowClass() const {
  if (ownsFocus()) return std::nullopt;
  return focusedForeignWindow(state_->display.get());
}

std::optional<std::string> X11FocusedApplication::ownApplicationId() const {
  QString name = QCoreApplication::applicationName();
  if (name.isEmpty()) return std::nullopt;
  return name.toStdString();
}

std::optional<std::string> X11FocusedApplication::keyWindowTitle() const {
  QWindow* window = QGuiApplication::focusWindow();
  if (!window) return std::nullopt;
  return window->title().toStdString();
}

std::optional<std::string> X11FocusedApplication::firstResponderTypeName() const {
  QWidget* widget = QApplication::focusWidget();
  if (!widget) return std::nullopt;
  return std::string(widget->metaObject()->className());
}

bool X11FocusedApplication::sendPasteAction() {
  QWidget* widget = QApplication::focusWidget();
  if (!widget || widget->metaObject()->indexOfMethod("paste()") < 0) return false;
  return QMetaObject::invokeMethod(widget, "paste", Qt::DirectConnection);
}

}  // namespace platform::desktop
