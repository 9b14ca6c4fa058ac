#include "platform/Desktop/tests/ForeignClipboard.h"

#include <poll.h>

#include <chrono>

// X11 last: Xlib's macros break other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace desktoptest {
namespace {

using Clock = std::chrono::steady_clock;

// The next event of `type` (optionally for `window`), waiting up to `limit`.
bool waitFor(Display* d, int type, XEvent& event, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    while (XPending(d)) {
      XNextEvent(d, &event);
      if (event.type == type) return true;
    }
    pollfd fd{ConnectionNumber(d), POLLIN, 0};
    poll(&fd, 1, 20);
  }
  return false;
}

}  // namespace

ForeignClipboardOwner::ForeignClipboardOwner(std::map<std::string, std::string> targets, std::string selection)
    : targets_(std::move(targets)), selection_(std::move(selection)), thread_([this] { serve(); }) {
  while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

ForeignClipboardOwner::~ForeignClipboardOwner() {
  stop_ = true;
  thread_.join();
}

void ForeignClipboardOwner::serve() {
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    ready_ = true;
    return;
  }
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom clipboard = XInternAtom(d, selection_.c_str(), False);
  const Atom targetsAtom = XInternAtom(d, "TARGETS", False);
  XSetSelectionOwner(d, clipboard, window, CurrentTime);
  owns_ = XGetSelectionOwner(d, clipboard) == window;
  XSync(d, False);
  ready_ = true;
  while (!stop_) {
    if (!XPending(d)) {
      pollfd fd{ConnectionNumber(d), POLLIN, 0};
      poll(&fd, 1, 20);
      continue;
    }
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == SelectionClear) {
      owns_ = false;
      continue;
    }
    if (event.type != SelectionRequest) continue;
    const XSelectionRequestEvent& request = event.xselectionrequest;
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    const Atom property = request.property != None ? request.property : request.target;
    if (request.target == targetsAtom) {
      std::vector<Atom> atoms{targetsAtom};
      for (const auto& [name, bytes] : targets_) atoms.push_back(XInternAtom(d, name.c_str(), False));
      XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
      reply.property = property;
    } else {
      char* name = XGetAtomName(d, request.target);
      auto found = targets_.find(name ? name : "");
      if (name) XFree(name);
      if (found != targets_.end()) {
        XChangeProperty(d, request.requestor, property, request.target, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(found->second.data()),
                        static_cast<int>(found->second.size()));
        reply.property = property;
      }
    }
    XSendEvent(d, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(d);
  }
  XDestroyWindow(d, window);
  XCloseDisplay(d);
}

std::optional<std::string> readClipboard(const std::string& target, const std::string& selection) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return std::nullopt;
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(d, window, PropertyChangeMask);
  const Atom clipboard = XInternAtom(d, selection.c_str(), False);
  const Atom property = XInternAtom(d, "PARLET_TEST_READ", False);
  const Atom incr = XInternAtom(d, "INCR", False);
  XConvertSelection(d, clipboard, XInternAtom(d, target.c_str(), False), property, window, CurrentTime);
  XFlush(d);

  std::optional<std::string> result;
  XEvent event;
  // Reads and deletes the property; its type through `type`.
  auto take = [&](Atom& type) {
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string bytes;
    XGetWindowProperty(d, window, property, 0, 0x7fffffff / 4, True, AnyPropertyType, &type, &format, &count,
                       &after, &data);
    if (data) {
      bytes.assign(reinterpret_cast<char*>(data), count * (format == 32 ? sizeof(long) : format / 8));
      XFree(data);
    }
    return bytes;
  };
  if (waitFor(d, SelectionNotify, event, std::chrono::seconds(5)) && event.xselection.property != None) {
    Atom type = None;
    std::string bytes = take(type);
    if (type == incr) {
      // Chunks follow, each announced by a new value of the property; an empty one ends the transfer.
      std::string all;
      while (true) {
        bool chunk = false;
        while (waitFor(d, PropertyNotify, event, std::chrono::seconds(5)))
          if (event.xproperty.atom == property && event.xproperty.state == PropertyNewValue) {
            chunk = true;
            break;
          }
        if (!chunk) break;
        std::string part = take(type);
        if (part.empty()) {
          result = all;
          break;
        }
        all += part;
      }
    } else {
      result = bytes;
    }
  }
  XDestroyWindow(d, window);
  XCloseDisplay(d);
  return result;
}

std::vector<std::string> clipboardTargets() {
  std::vector<std::string> names;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return names;
  auto bytes = readClipboard("TARGETS");
  if (bytes) {
    const auto* atoms = reinterpret_cast<const long*>(bytes->data());
    for (std::size_t i = 0; i < bytes->size() / sizeof(long); ++i) {
      char* name = XGetAtomName(d, static_cast<Atom>(atoms[i]));
      if (name) {
        names.emplace_back(name);
        XFree(name);
      }
    }
  }
  XCloseDisplay(d);
  return names;
}

void dropClipboardOwner() {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return;
  XSetSelectionOwner(d, XInternAtom(d, "CLIPBOARD", False), None, CurrentTime);
  XSync(d, False);
  XCloseDisplay(d);
}

}  // namespace desktoptest
