#include "platform/Desktop/EvdevKeyMonitor.h"

#include <QGuiApplication>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/detail/EvdevKeyState.h"
#include "platform/Desktop/UinputKeyboard.h"

namespace platform::desktop {

// What the main-thread deliveries share with the monitor; outlives it while deliveries are pending.
struct EvdevKeyMonitor::Shared {
  struct Monitor {
    bool local;
    std::uint64_t mask;
    Handler handler;
  };
  std::function<bool()> ownsFocus;
  std::mutex mutex;  // guards `monitors` and `alive`
  std::vector<Monitor> monitors;
  Token lastToken = 0;
  bool alive = true;

  void deliver(const std::vector<detail::KeyDelivery>& deliveries) {
    for (const auto& delivery : deliveries) {
      std::vector<Monitor> matching;  // copied: a handler may add monitors
      {
        std::lock_guard lock(mutex);
        if (!alive) return;
        const bool local = ownsFocus();
        for (const auto& monitor : monitors)
          if (monitor.local == local && (monitor.mask & delivery.mask)) matching.push_back(monitor);
      }
      for (const auto& monitor : matching) monitor.handler(delivery.event);
    }
  }
};

struct EvdevKeyMonitor::Reader {
  PostToMain postToMain;
  std::shared_ptr<Shared> shared;
  std::unique_ptr<KeyboardSource> source;
  std::function<void(const std::string&)> log;
  int wake[2] = {-1, -1};
  std::atomic<bool> stopping{false};
  std::atomic<bool> rescanWanted{false};
  std::atomic<std::size_t> count{0};

  // Reader thread only.
  struct Open {
    int id;
    std::unique_ptr<KeyboardDevice> device;
  };
  std::vector<Open> keyboards;
  detail::EvdevKeyState state;
  int lastId = 0;
  bool changesBroken = false;  // the source's descriptor failed: keyboards present are still read
  std::thread thread;

  Reader(PostToMain postToMain, std::shared_ptr<Shared> shared, std::unique_ptr<KeyboardSource> source,
         std::function<void(const std::string&)> log)
      : postToMain(std::move(postToMain)), shared(std::move(shared)), source(std::move(source)), log(std::move(log)) {
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
      throw DesktopError(std::string("cannot make the keyboard reader's wake-up pipe: ") + std::strerror(errno));
  }

  ~Reader() {
    stopping = true;
    poke();
    if (thread.joinable()) thread.join();
    ::close(wake[0]);
    ::close(wake[1]);
  }

  void poke() {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(wake[1], &byte, 1);  // a full pipe is already a wake-up
  }

  void say(const std::string& line) {
    if (log) log(line);
  }

  std::set<std::string> openPaths() const {
    std::set<std::string> paths;
    for (const auto& keyboard : keyboards) paths.insert(keyboard.device->path());
    return paths;
  }

  void post(std::vector<detail::KeyDelivery> deliveries) {
    if (deliveries.empty()) return;
    postToMain([shared = shared, deliveries = std::move(deliveries)] { shared->deliver(deliveries); });
  }

  void add(std::unique_ptr<KeyboardDevice> device) {
    const int id = ++lastId;
    state.addDevice(id, device->heldKeys());
    say("keyboard: reading " + device->path());
    keyboards.push_back({id, std::move(device)});
    count = keyboards.size();
  }

  void remove(std::size_t index) {
    say("keyboard: " + keyboards[index].device->path() + " is gone");
    post(state.removeDevice(keyboards[index].id));
    keyboards.erase(keyboards.begin() + static_cast<std::ptrdiff_t>(index));
    count = keyboards.size();
  }

  void removePath(const std::string& path) {
    for (std::size_t i = 0; i < keyboards.size(); ++i)
      if (keyboards[i].device->path() == path) return remove(i);
  }

  void scan() {
    for (auto& device : source->scan(openPaths())) add(std::move(device));
  }

  // Reads one keyboard; false when it is gone.
  bool read(Open& keyboard) {
    std::vector<input_event> events;
    const bool present = keyboard.device->readEvents(events);
    std::vector<detail::KeyDelivery> deliveries;
    for (const auto& event : events)
      for (auto& delivery : state.handle(keyboard.id, event.type, event.code, event.value))
        deliveries.push_back(delivery);
    post(std::move(deliveries));
    return present;
  }

  void run() {
    scan();
    while (!stopping) {
      std::vector<pollfd> fds{{wake[0], POLLIN, 0}};
      const int changes = changesBroken ? -1 : source->changesFd();
      if (changes >= 0) fds.push_back({changes, POLLIN, 0});
      const std::size_t firstKeyboard = fds.size();
      for (const auto& keyboard : keyboards) fds.push_back({keyboard.device->fd(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        say(std::string("keyboard reader stopped: ") + std::strerror(errno));
        return;
      }
      if (fds[0].revents) {
        char drain[64];
        while (::read(wake[0], drain, sizeof drain) > 0) {
        }
        if (stopping) return;
        if (rescanWanted.exchange(false)) scan();
      }
      if (changes >= 0 && (fds[1].revents & (POLLERR | POLLNVAL))) {
        changesBroken = true;  // else poll would return at once for ever
        say("keyboard: no longer hearing of keyboards plugged in or removed");
      } else if (changes >= 0 && fds[1].revents) {
        auto found = source->readChanges(openPaths());
        for (const auto& path : found.removed) removePath(path);
        for (auto& device : found.added) add(std::move(device));
      }
      // Ids, not indices: removing a keyboard shifts the list.
      std::vector<int> ready;
      for (std::size_t i = firstKeyboard; i < fds.size(); ++i)
        if (fds[i].revents && i - firstKeyboard < keyboards.size()) ready.push_back(keyboards[i - firstKeyboard].id);
      for (int id : ready)
        for (std::size_t i = 0; i < keyboards.size(); ++i)
          if (keyboards[i].id == id) {
            if (!read(keyboards[i])) remove(i);
            break;
          }
    }
  }
};

EvdevKeyMonitor::EvdevKeyMonitor(PostToMain postToMain, Options options)
    : shared_(std::make_shared<Shared>()) {
  shared_->ownsFocus = options.ownsFocus ? std::move(options.ownsFocus) : [] {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) && QGuiApplication::focusWindow();
  };
  auto source = options.source ? std::move(options.source) : makeUdevKeyboardSource(kVirtualKeyboardName);
  reader_ = std::make_unique<Reader>(std::move(postToMain), shared_, std::move(source), std::move(options.log));
  Reader* reader = reader_.get();
  reader_->thread = std::thread([reader] { reader->run(); });
}

EvdevKeyMonitor::~EvdevKeyMonitor() {
  reader_.reset();
  std::lock_guard lock(shared_->mutex);
  shared_->alive = false;
}

KeyEventMonitoring::Token EvdevKeyMonitor::addGlobalMonitor(std::uint64_t mask, Handler handler) {
  Token token;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->monitors.push_back({false, mask, std::move(handler)});
    token = ++shared_->lastToken;
  }
  rescan();
  return token;
}

KeyEventMonitoring::Token EvdevKeyMonitor::addLocalMonitor(std::uint64_t mask, Handler handler) {
  Token token;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->monitors.push_back({true, mask, std::move(handler)});
    token = ++shared_->lastToken;
  }
  rescan();
  return token;
}

void EvdevKeyMonitor::rescan() {
  reader_->rescanWanted = true;
  reader_->poke();
}

std::size_t EvdevKeyMonitor::keyboardCount() const { return reader_->count; }

}  // namespace platform::desktop
