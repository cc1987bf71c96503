#include "FakeDesktop.h"

#include <poll.h>

#include <algorithm>

namespace kestrond::test {

class FakeDesktop::Item : public StatusItem {
 public:
  Item(FakeDesktop& desktop, MenuEvents events) : _desktop(desktop), events(std::move(events)) {
    _desktop._item = this;
  }
  ~Item() override {
    if (_desktop._item == this) _desktop._item = nullptr;
  }
  void setTitle(const std::string& value) override { title = value; }
  void setToolTip(const std::string& value, const std::string& text) override {
    toolTip = value;
    description = text;
  }
  void setMark(StatusMark value) override { mark = value; }
  void setNeedsAttention(bool value) override { attention = value; }
  void setMenu(MenuRows value) override {
    rows = std::move(value);
    ++updates;
  }

  FakeDesktop& _desktop;
  MenuEvents events;
  std::string title;
  std::string toolTip;
  std::string description;
  bool attention = false;
  StatusMark mark = StatusMark::None;
  MenuRows rows;
  int updates = 0;
};

class FakeDesktop::FakeTimer : public Timer {
 public:
  explicit FakeTimer(std::shared_ptr<TimerState> state) : _state(std::move(state)) {}
  ~FakeTimer() override {
    _state->armed = false;
    _state->fired = nullptr;
  }

 private:
  std::shared_ptr<TimerState> _state;
};

class FakeDesktop::FakeStartAtLogin : public StartAtLogin {
 public:
  explicit FakeStartAtLogin(FakeDesktop& desktop) : _desktop(desktop) {}
  bool isEnabled() override {
    ++_desktop.loginReads;
    return _desktop.loginEnabled;
  }
  Error setEnabled(bool enabled) override {
    if (_desktop.loginError) return Error(*_desktop.loginError, "start at login");
    if (_desktop.loginEnabled != enabled) ++_desktop.loginChanges;
    _desktop.loginEnabled = enabled;
    return Error();
  }

 private:
  FakeDesktop& _desktop;
};

class FakeDesktop::FakeDescriptorWatch : public DescriptorWatch {
 public:
  FakeDescriptorWatch(FakeDesktop& desktop, std::shared_ptr<WatchedDescriptor> watched)
      : _desktop(desktop), _watched(std::move(watched)) {}
  ~FakeDescriptorWatch() override { std::erase(_desktop._watched, _watched); }

 private:
  FakeDesktop& _desktop;
  std::shared_ptr<WatchedDescriptor> _watched;
};

FakeDesktop::FakeDesktop(LogSink& log)
    : Desktop(log), _startAtLogin(std::make_unique<FakeStartAtLogin>(*this)) {}
FakeDesktop::~FakeDesktop() = default;

void FakeDesktop::runEventLoop(const std::function<void()>& didFinishLaunching) {
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

void FakeDesktop::stopEventLoop() {
  _stopRequested = true;
}

std::unique_ptr<StatusItem> FakeDesktop::createStatusItem(MenuEvents events) {
  return std::make_unique<Item>(*this, std::move(events));
}

std::unique_ptr<Timer> FakeDesktop::startTimer(std::chrono::milliseconds interval,
                                               std::function<void()> fired) {
  auto state =
      std::make_shared<TimerState>(TimerState{_now + interval, interval, std::move(fired)});
  state->fireAt -= earliness(interval);
  _timers.push_back(state);
  return std::make_unique<FakeTimer>(state);
}

std::unique_ptr<DescriptorWatch> FakeDesktop::watchReadable(int fd,
                                                            std::function<void()> readable) {
  if (fd < 0) return nullptr;
  auto watched = std::make_shared<WatchedDescriptor>(WatchedDescriptor{fd, std::move(readable)});
  _watched.push_back(watched);
  return std::make_unique<FakeDescriptorWatch>(*this, watched);
}

int FakeDesktop::dispatchReadableDescriptors() {
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

size_t FakeDesktop::watchedDescriptorCount() const {
  return _watched.size();
}

Desktop::Clock::duration FakeDesktop::earliness(Clock::duration interval) const {
  return std::min(timersFireEarly, interval / 20);
}

void FakeDesktop::advance(Clock::duration by) {
  Clock::time_point until = _now + by;
  while (true) {
    std::erase_if(_timers, [](const auto& timer) { return !timer->armed; });
    auto next = std::min_element(_timers.begin(), _timers.end(), [](const auto& a, const auto& b) {
      return a->fireAt < b->fireAt;
    });
    if (next == _timers.end() || (*next)->fireAt > until) break;
    std::shared_ptr<TimerState> timer = *next;  // kept alive while it fires
    _now = timer->fireAt;
    timer->fireAt += timer->interval - earliness(timer->interval);
    auto fired = timer->fired;  // a copy: the callback may destroy its timer
    if (fired) fired();
  }
  _now = until;
}

size_t FakeDesktop::armedTimerCount() const {
  return static_cast<size_t>(std::count_if(_timers.begin(), _timers.end(),
                                           [](const auto& timer) { return timer->armed; }));
}

bool FakeDesktop::ask(const Question& question) {
  questions.push_back(question);
  ++_questionDepth;
  bool yes = false;
  if (!answers.empty()) {
    auto answer = std::move(answers.front());
    answers.pop_front();
    yes = answer(question);
  }
  --_questionDepth;
  return yes;
}

void FakeDesktop::postNotification(Notification notification) {
  notifications.push_back(std::move(notification));
}

bool FakeDesktop::chooseNotificationAction(size_t index) {
  if (index >= notifications.size() || !notifications[index].action) return false;
  // A copy: the action may post another notification.
  std::function<void()> action = notifications[index].action;
  action();
  return true;
}

void FakeDesktop::placeInUnit(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) {
  placements.push_back({pid, unit, holdPlacements ? std::move(done) : nullptr});
  if (!holdPlacements) done(placementError);
}

Error FakeDesktop::openURL(const std::string& url) {
  opened.push_back({Opened::Kind::Url, url, _starting.environment()});
  return Error();
}

Error FakeDesktop::openFile(const std::string& path) {
  opened.push_back({Opened::Kind::File, path, _starting.environment()});
  return Error();
}

StartAtLogin& FakeDesktop::startAtLogin() {
  return *_startAtLogin;
}

const std::string& FakeDesktop::title() const {
  return _item->title;
}

const std::string& FakeDesktop::toolTip() const {
  return _item->toolTip;
}

const std::string& FakeDesktop::toolTipDescription() const {
  return _item->description;
}

bool FakeDesktop::needsAttention() const {
  return _item->attention;
}

StatusMark FakeDesktop::mark() const {
  return _item->mark;
}

const MenuRows& FakeDesktop::rows() const {
  return _item->rows;
}

int FakeDesktop::menuUpdates() const {
  return _item->updates;
}

void FakeDesktop::openMenu() {
  _menuOpen = true;
  if (_item && _item->events.willOpen) _item->events.willOpen();
}

void FakeDesktop::closeMenu() {
  _menuOpen = false;
  if (_item && _item->events.didClose) _item->events.didClose();
}

bool FakeDesktop::choose(const std::string& title) {
  for (const MenuRow& row : rows()) {
    if (row.separator || row.title != title) continue;
    if (!row.enabled || !row.choose) return false;
    std::string key = row.key;  // closing the menu may replace the rows
    return chooseKey(key);
  }
  return false;
}

bool FakeDesktop::chooseKey(const std::string& key) {
  closeMenu();
  // As a backend does: the row as it is now, its action copied since it
  // may replace the rows.
  const MenuRow* row = chosenRow(rows(), key, log());
  if (!row || !row->enabled || !row->choose) return false;
  std::function<void()> action = row->choose;
  action();
  return true;
}

}  // namespace kestrond::test
