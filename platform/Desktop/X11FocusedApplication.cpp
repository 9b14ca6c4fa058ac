#include "platform/Desktop/X11FocusedApplication.h"

// Qt before X11: Xlib's macros (Bool, Status, None) break Qt's headers.
#include <QApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QWidget>
#include <QWindow>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {

namespace {

std::optional<Window> activeWindow(Display* d);

// Notes the active window when the first popup of this application opens (the tray menu): that is
// the window a paste goes to while the popup holds the keyboard.
class PopupWatch : public QObject {
 public:
  explicit PopupWatch(Display* display) : display_(display) {}
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() != QEvent::Show || !object->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(object);
    if (widget->windowType() != Qt::Popup) return false;
    // The first popup of a chain: none other is open besides this one.
    QWidget* active = QApplication::activePopupWidget();
    if (active && active != widget) return false;
    detail::XErrorTrap trap(display_);
    before = activeWindow(display_);
    if (trap.failed()) before.reset();
    return false;
  }
  std::optional<Window> before;

 private:
  Display* display_;
};

}  // namespace

struct X11FocusedApplication::State {
  detail::DisplayPtr display;  // none without a display: then only this application's own facts
  std::unique_ptr<PopupWatch> popups;
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
  if (state_->display && qobject_cast<QApplication*>(QCoreApplication::instance())) {
    state_->popups = std::make_unique<PopupWatch>(state_->display.get());
    QCoreApplication::instance()->installEventFilter(state_->popups.get());
  }
}

X11FocusedApplication::~X11FocusedApplication() {
  if (state_->popups && QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(state_->popups.get());
}

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

bool X11FocusedApplication::popupOpen() const { return QApplication::activePopupWidget() != nullptr; }

bool X11FocusedApplication::closePopups() {
  for (int guard = 0; guard < 16; ++guard) {
    QWidget* popup = QApplication::activePopupWidget();
    if (!popup) break;
    popup->close();  // lets go of the keyboard
  }
  Display* d = state_->display.get();
  if (!d || !state_->popups || !state_->popups->before) return false;
  const Window window = *state_->popups->before;
  detail::XErrorTrap trap(d);
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(d, window, &attributes) || attributes.map_state != IsViewable || trap.failed()) return false;
  if (activeWindow(d) == window) return true;
  // Ask the window manager as a pager would (source 2), and set the focus for a desktop without one.
  XEvent message{};
  message.xclient.type = ClientMessage;
  message.xclient.window = window;
  message.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  message.xclient.format = 32;
  message.xclient.data.l[0] = 2;
  message.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
  XSetInputFocus(d, window, RevertToParent, CurrentTime);
  XSync(d, False);
  return !trap.failed();
}

bool X11FocusedApplication::focusReturned() const {
  Display* d = state_->display.get();
  if (!d || !state_->popups || !state_->popups->before || popupOpen()) return false;
  detail::XErrorTrap trap(d);
  const auto active = activeWindow(d);
  return !trap.failed() && active == state_->popups->before;
}

bool X11FocusedApplication::sendPasteAction() {
  QWidget* widget = QApplication::focusWidget();
  if (!widget || widget->metaObject()->indexOfMethod("paste()") < 0) return false;
  return QMetaObject::invokeMethod(widget, "paste", Qt::DirectConnection);
}

}  // namespace platform::desktop
