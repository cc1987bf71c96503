#include "MemoryDesktop.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace kestrond {

class MemoryDesktop::MemoryTimer : public Timer {
 public:
  MemoryTimer(double fireAt, double interval, bool repeats, std::function<void(Timer&)> fired,
              std::shared_ptr<Menu> userInfo)
      : fireAt(fireAt), interval(interval), repeats(repeats), fired(std::move(fired)) {
    _userInfo = std::move(userInfo);
  }
  void invalidate() override {
    valid = false;
    fired = nullptr;
    _userInfo.reset();
  }
  bool isValid() const override { return valid; }

  double fireAt;
  double interval;
  bool repeats;
  std::function<void(Timer&)> fired;
  bool valid = true;
};

class MemoryDesktop::MemoryAlert : public Alert {
 public:
  explicit MemoryAlert(MemoryDesktop& desktop) : _desktop(desktop) {}
  int runModal() override {
    AlertRecord record{messageText(), informativeText(), buttons()};
    _desktop.alerts.push_back(record);
    ++_desktop._alertDepth;
    int code = kSecondButtonReturn;
    if (!_desktop.alertAnswers.empty()) {
      auto answer = std::move(_desktop.alertAnswers.front());
      _desktop.alertAnswers.pop_front();
      code = answer(record);
    }
    --_desktop._alertDepth;
    return code == kFirstButtonReturn ? kFirstButtonReturn : kSecondButtonReturn;
  }

 private:
  MemoryDesktop& _desktop;
};

class MemoryDesktop::MemoryLoginItems : public LoginItemsList {
 public:
  explicit MemoryLoginItems(MemoryDesktop& desktop) : _desktop(desktop) {}
  std::vector<LoginItem> copySnapshot() override {
    std::vector<LoginItem> items;
    for (const LoginEntry& entry : _desktop.loginEntries) items.push_back({entry.identifier});
    return items;
  }
  std::optional<std::string> resolve(const LoginItem& item) override {
    for (const LoginEntry& entry : _desktop.loginEntries) {
      if (entry.identifier == item.identifier) return entry.url;
    }
    return std::nullopt;
  }
  Error insertItemURL(const std::string& bundleUrl) override {
    std::string id = "item" + std::to_string(_desktop._nextLoginId++);
    _desktop.loginEntries.insert(_desktop.loginEntries.begin(), {id, bundleUrl});
    return Error();
  }
  Error removeItem(const LoginItem& item) override {
    auto& entries = _desktop.loginEntries;
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const LoginEntry& e) { return e.identifier == item.identifier; });
    if (it == entries.end()) return Error(ENOENT, "remove " + item.identifier);
    entries.erase(it);
    return Error();
  }

 private:
  MemoryDesktop& _desktop;
};

MemoryDesktop::MemoryDesktop(LogSink& log) : Desktop(log) {}
MemoryDesktop::~MemoryDesktop() = default;

void MemoryDesktop::runEventLoop(const std::function<void()>& didFinishLaunching) {
  _running = true;
  _stopRequested = false;
  didFinishLaunching();
  while (!_stopRequested && !script.empty()) {
    auto step = std::move(script.front());
    script.pop_front();
    step();
  }
  _running = false;
}

void MemoryDesktop::stopEventLoop() {
  _stopRequested = true;
}

std::shared_ptr<StatusItem> MemoryDesktop::createStatusItem() {
  auto item = std::make_shared<StatusItem>();
  statusItems.push_back(item);
  return item;
}

std::shared_ptr<Timer> MemoryDesktop::scheduledTimer(double interval, bool repeats,
                                                     std::function<void(Timer&)> fired,
                                                     std::shared_ptr<Menu> userInfo) {
  auto timer = std::make_shared<MemoryTimer>(_now + interval, interval, repeats, std::move(fired),
                                             std::move(userInfo));
  _timers.push_back(timer);
  return timer;
}

class MemoryDesktop::MemoryDescriptorWatch : public DescriptorWatch {
 public:
  MemoryDescriptorWatch(MemoryDesktop& desktop, std::shared_ptr<WatchedDescriptor> watched)
      : _desktop(desktop), _watched(std::move(watched)) {}
  ~MemoryDescriptorWatch() override { std::erase(_desktop._watched, _watched); }

 private:
  MemoryDesktop& _desktop;
  std::shared_ptr<WatchedDescriptor> _watched;
};

std::unique_ptr<DescriptorWatch> MemoryDesktop::watchReadable(int fd,
                                                              std::function<void()> readable) {
  if (fd < 0) return nullptr;
  auto watched = std::make_shared<WatchedDescriptor>(WatchedDescriptor{fd, std::move(readable)});
  _watched.push_back(watched);
  return std::make_unique<MemoryDescriptorWatch>(*this, watched);
}

int MemoryDesktop::dispatchReadableDescriptors() {
  int called = 0;
  // A copy: a callback may end a watch.
  auto watched = _watched;
  for (const auto& entry : watched) {
    pollfd ready{entry->fd, POLLIN, 0};
    if (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN)) {
      entry->readable();
      ++called;
    }
  }
  return called;
}

size_t MemoryDesktop::watchedDescriptorCount() const {
  return _watched.size();
}

void MemoryDesktop::advance(double seconds) {
  double until = _now + seconds;
  while (true) {
    std::erase_if(_timers, [](const auto& timer) { return !timer->valid; });
    auto next = std::min_element(_timers.begin(), _timers.end(), [](const auto& a, const auto& b) {
      return a->fireAt < b->fireAt;
    });
    if (next == _timers.end() || (*next)->fireAt > until + 1e-9) break;
    std::shared_ptr<MemoryTimer> timer = *next;  // kept alive while it fires
    _now = timer->fireAt;
    if (timer->repeats) {
      timer->fireAt += timer->interval;
    }
    auto fired = timer->fired;
    if (!timer->repeats) timer->invalidate();
    if (fired) fired(*timer);
  }
  _now = until;
}

size_t MemoryDesktop::armedTimerCount() const {
  return static_cast<size_t>(std::count_if(_timers.begin(), _timers.end(),
                                           [](const auto& timer) { return timer->valid; }));
}

std::unique_ptr<Alert> MemoryDesktop::makeAlert() {
  return std::make_unique<MemoryAlert>(*this);
}

void MemoryDesktop::postNotification(Notification notification) {
  notifications.push_back(std::move(notification));
}

bool MemoryDesktop::chooseNotificationAction(size_t index) {
  if (index >= notifications.size() || !notifications[index].action) return false;
  // A copy: the action may post another notification.
  std::function<void()> action = notifications[index].action;
  action();
  return true;
}

Error MemoryDesktop::openURL(const std::string& url) {
  opened.push_back({Opened::Kind::Url, url, startupEnvironment()});
  return Error();
}

Error MemoryDesktop::openFile(const std::string& path) {
  opened.push_back({Opened::Kind::File, path, startupEnvironment()});
  return Error();
}

std::unique_ptr<LoginItemsList> MemoryDesktop::createLoginItemsList() {
  if (loginListUnavailable) return nullptr;
  return std::make_unique<MemoryLoginItems>(*this);
}

void MemoryDesktop::activateApplication() {
  ++frontRequests;
}

Menu& MemoryDesktop::menu() {
  return *statusItems.front()->menu();
}

void MemoryDesktop::openMenu() {
  _menuOpen = true;
  Menu& shown = menu();
  if (shown.delegate()) shown.delegate()->menuWillOpen(shown);
}

void MemoryDesktop::closeMenu() {
  _menuOpen = false;
  Menu& shown = menu();
  if (shown.delegate()) shown.delegate()->menuDidClose(shown);
}

bool MemoryDesktop::choose(const std::string& title) {
  for (const auto& item : menu().itemArray()) {
    if (item->isSeparator() || item->title() != title) continue;
    if (!item->isEnabled()) return false;
    std::shared_ptr<MenuItem> chosen = item;  // survives the menu's next rebuild
    closeMenu();
    sharedApplication().sendAction(*chosen);
    return true;
  }
  return false;
}

}  // namespace kestrond
