#include "MemoryDesktop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace kestrond {

class MemoryDesktop::MemoryTimer : public Timer {
 public:
  MemoryTimer(double fireAt, double interval, bool repeats, std::function<void(Timer&)> fired,
              std::shared_ptr<Menu> userInfo)
      : fireAt(fireAt), interval(interval), repeats(repeats), fired(std::move(fired)) {
    userInfo_ = std::move(userInfo);
  }
  void invalidate() override {
    valid = false;
    fired = nullptr;
    userInfo_.reset();
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
  explicit MemoryAlert(MemoryDesktop& desktop) : desktop_(desktop) {}
  int runModal() override {
    AlertRecord record{messageText(), informativeText(), buttons()};
    desktop_.alerts.push_back(record);
    ++desktop_.alertDepth_;
    int code = kSecondButtonReturn;
    if (!desktop_.alertAnswers.empty()) {
      auto answer = std::move(desktop_.alertAnswers.front());
      desktop_.alertAnswers.pop_front();
      code = answer(record);
    }
    --desktop_.alertDepth_;
    return code == kFirstButtonReturn ? kFirstButtonReturn : kSecondButtonReturn;
  }

 private:
  MemoryDesktop& desktop_;
};

class MemoryDesktop::MemoryLoginItems : public LoginItemsList {
 public:
  explicit MemoryLoginItems(MemoryDesktop& desktop) : desktop_(desktop) {}
  std::vector<LoginItem> copySnapshot() override {
    std::vector<LoginItem> items;
    for (const LoginEntry& entry : desktop_.loginEntries) items.push_back({entry.identifier});
    return items;
  }
  std::optional<std::string> resolve(const LoginItem& item) override {
    for (const LoginEntry& entry : desktop_.loginEntries) {
      if (entry.identifier == item.identifier) return entry.url;
    }
    return std::nullopt;
  }
  bool insertItemURL(const std::string& bundleUrl) override {
    std::string id = "item" + std::to_string(desktop_.nextLoginId_++);
    desktop_.loginEntries.insert(desktop_.loginEntries.begin(), {id, bundleUrl});
    return true;
  }
  int removeItem(const LoginItem& item) override {
    auto& entries = desktop_.loginEntries;
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const LoginEntry& e) { return e.identifier == item.identifier; });
    if (it == entries.end()) return -1;
    entries.erase(it);
    return 0;
  }

 private:
  MemoryDesktop& desktop_;
};

MemoryDesktop::MemoryDesktop() = default;
MemoryDesktop::~MemoryDesktop() = default;

void MemoryDesktop::runEventLoop(const std::function<void()>& didFinishLaunching) {
  running_ = true;
  stopRequested_ = false;
  didFinishLaunching();
  while (!stopRequested_ && !script.empty()) {
    auto step = std::move(script.front());
    script.pop_front();
    step();
  }
  running_ = false;
}

void MemoryDesktop::stopEventLoop() {
  stopRequested_ = true;
}

std::shared_ptr<StatusItem> MemoryDesktop::statusItemWithLength(double) {
  auto item = std::make_shared<StatusItem>();
  statusItems.push_back(item);
  return item;
}

std::shared_ptr<Timer> MemoryDesktop::scheduledTimer(double interval, bool repeats,
                                                     std::function<void(Timer&)> fired,
                                                     std::shared_ptr<Menu> userInfo) {
  auto timer = std::make_shared<MemoryTimer>(now_ + interval, interval, repeats, std::move(fired),
                                             std::move(userInfo));
  timers_.push_back(timer);
  return timer;
}

class MemoryDesktop::MemoryDescriptorWatch : public DescriptorWatch {
 public:
  MemoryDescriptorWatch(MemoryDesktop& desktop, std::shared_ptr<WatchedDescriptor> watched)
      : desktop_(desktop), watched_(std::move(watched)) {}
  ~MemoryDescriptorWatch() override { std::erase(desktop_.watched_, watched_); }

 private:
  MemoryDesktop& desktop_;
  std::shared_ptr<WatchedDescriptor> watched_;
};

std::unique_ptr<DescriptorWatch> MemoryDesktop::watchReadable(int fd,
                                                              std::function<void()> readable) {
  if (fd < 0) return nullptr;
  auto watched = std::make_shared<WatchedDescriptor>(WatchedDescriptor{fd, std::move(readable)});
  watched_.push_back(watched);
  return std::make_unique<MemoryDescriptorWatch>(*this, watched);
}

int MemoryDesktop::dispatchReadableDescriptors() {
  int called = 0;
  // A copy: a callback may end a watch.
  auto watched = watched_;
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
  return watched_.size();
}

void MemoryDesktop::advance(double seconds) {
  double until = now_ + seconds;
  while (true) {
    std::erase_if(timers_, [](const auto& timer) { return !timer->valid; });
    auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
      return a->fireAt < b->fireAt;
    });
    if (next == timers_.end() || (*next)->fireAt > until + 1e-9) break;
    std::shared_ptr<MemoryTimer> timer = *next;  // kept alive while it fires
    now_ = timer->fireAt;
    if (timer->repeats) {
      timer->fireAt += timer->interval;
    }
    auto fired = timer->fired;
    if (!timer->repeats) timer->invalidate();
    if (fired) fired(*timer);
  }
  now_ = until;
}

size_t MemoryDesktop::armedTimerCount() const {
  return static_cast<size_t>(std::count_if(timers_.begin(), timers_.end(),
                                           [](const auto& timer) { return timer->valid; }));
}

std::unique_ptr<Alert> MemoryDesktop::makeAlert() {
  return std::make_unique<MemoryAlert>(*this);
}

bool MemoryDesktop::openURL(const std::string& url) {
  opened.push_back({Opened::Kind::Url, url, startupEnvironment()});
  return true;
}

bool MemoryDesktop::openFile(const std::string& path) {
  opened.push_back({Opened::Kind::File, path, startupEnvironment()});
  return true;
}

std::unique_ptr<LoginItemsList> MemoryDesktop::createLoginItemsList() {
  if (loginListUnavailable) return nullptr;
  return std::make_unique<MemoryLoginItems>(*this);
}

void MemoryDesktop::getCurrentProcess(ProcessSerialNumber* psn) {
  psn->highLongOfPSN = 0;
  psn->lowLongOfPSN = static_cast<uint32_t>(getpid());
}

void MemoryDesktop::setFrontProcess(const ProcessSerialNumber*) {
  ++frontRequests;
}

Menu& MemoryDesktop::menu() {
  return *statusItems.front()->menu();
}

void MemoryDesktop::openMenu() {
  menuOpen_ = true;
  Menu& shown = menu();
  if (shown.delegate()) shown.delegate()->menuWillOpen(shown);
}

void MemoryDesktop::closeMenu() {
  menuOpen_ = false;
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
