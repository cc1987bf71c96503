// A recording desktop for the tests: nothing is shown. The status item's
// title, mark and rows, the questions asked, the notifications posted, the
// URLs and files opened and start at login are recorded; time is a manual
// clock that fires timers only when advanced; questions are answered from a
// queue. Helpers play the user's part the way a panel does: open the menu,
// choose a row (the menu closes first, then the row's action runs).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Desktop.h"

namespace kestrond::test {

class FakeDesktop : public Desktop {
 public:
  struct Opened {
    enum class Kind { Url, File } kind;
    std::string target;
    std::vector<std::string> environment;
  };

  explicit FakeDesktop(LogSink& log);
  ~FakeDesktop() override;

  // Desktop
  bool claimSession() override { return !sessionTaken; }
  void runEventLoop(const std::function<void()>& didFinishLaunching) override;
  void stopEventLoop() override;
  std::unique_ptr<StatusItem> createStatusItem(MenuEvents events) override;
  std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval,
                                    std::function<void()> fired) override;
  std::unique_ptr<DescriptorWatch> watchReadable(int fd, std::function<void()> readable) override;
  Clock::time_point now() const override { return _now; }
  bool ask(const Question& question) override;
  void postNotification(Notification notification) override;
  Error openURL(const std::string& url) override;
  Error openFile(const std::string& path) override;
  void placeInUnit(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) override;
  StartAtLogin& startAtLogin() override;
  std::string bundlePath() const override { return _bundlePath; }

  // --- The test's controls and records ---
  void setBundlePath(std::string path) { _bundlePath = std::move(path); }

  // Steps run one after another inside runEventLoop(), after the launch,
  // until the loop is stopped or no step is left.
  std::deque<std::function<void()>> script;
  bool eventLoopRunning() const { return _running; }
  // Another monitor holds the session.
  bool sessionTaken = false;

  // Moves the clock on, firing due timers in order of their firing times.
  void advance(Clock::duration by);
  // Each firing comes this much before its time, as a coarse timer's may
  // (at most 5 % of the interval).
  Clock::duration timersFireEarly{};
  size_t armedTimerCount() const;

  // Answers for the coming questions, in order: a fixed answer, or one that
  // may act while the question is up (open the menu, say). With no answer
  // left, a question is dismissed (no).
  std::deque<std::function<bool(const Question&)>> answers;
  void answerYes() {
    answers.push_back([](const Question&) { return true; });
  }
  void answerNo() {
    answers.push_back([](const Question&) { return false; });
  }
  std::vector<Question> questions;
  bool questionOnScreen() const { return _questionDepth > 0; }

  std::vector<Notification> notifications;
  // The user chooses the action of notification `index`; false when it has none.
  bool chooseNotificationAction(size_t index);

  std::vector<Opened> opened;

  // The placements asked for, in order. Each is answered at once with
  // `placementError` (none: placed), or, while `holdPlacements` is set,
  // kept until the test calls its `done`.
  struct Placement {
    pid_t pid = 0;
    ProcessUnit unit;
    std::function<void(Error)> done;
  };
  std::vector<Placement> placements;
  bool holdPlacements = false;
  Error placementError;

  // Start at login as the session has it; `loginError` makes setEnabled fail.
  bool loginEnabled = false;
  int loginReads = 0;
  int loginChanges = 0;
  std::optional<int> loginError;

  // Plays the main loop's part for watched descriptors: calls the callback
  // of each one that polls readable now. Returns how many were called.
  int dispatchReadableDescriptors();
  size_t watchedDescriptorCount() const;

  // The status item as shown; these need one to exist.
  bool hasStatusItem() const { return _item != nullptr; }
  const std::string& title() const;
  const std::string& toolTip() const;
  const std::string& toolTipDescription() const;
  bool needsAttention() const;
  StatusMark mark() const;
  const MenuRows& rows() const;
  int menuUpdates() const;  // how often the rows were handed over

  // The user's part. Opening tells the item's owner; closing too.
  void openMenu();
  void closeMenu();
  bool menuOpen() const { return _menuOpen; }
  // Chooses the first row titled `title`: the menu closes, then its action
  // runs. False when there is none or it is disabled.
  bool choose(const std::string& title);
  // A choice that arrives by key, as a panel's click on what it was shown:
  // it acts on the row with that key as the rows are now.
  bool chooseKey(const std::string& key);

 private:
  class Item;
  class FakeTimer;
  class FakeStartAtLogin;
  class FakeDescriptorWatch;
  struct TimerState {
    Clock::time_point fireAt;
    Clock::duration interval;
    std::function<void()> fired;
    bool armed = true;
  };
  struct WatchedDescriptor {
    int fd;
    std::function<void()> readable;
  };

  Clock::duration earliness(Clock::duration interval) const;

  bool _running = false;
  bool _stopRequested = false;
  Clock::time_point _now{};
  std::vector<std::shared_ptr<TimerState>> _timers;
  int _questionDepth = 0;
  std::string _bundlePath = "/nonexistent-bundle";
  bool _menuOpen = false;
  Item* _item = nullptr;
  std::vector<std::shared_ptr<WatchedDescriptor>> _watched;
  std::unique_ptr<FakeStartAtLogin> _startAtLogin;
  StartingState _starting;  // what the opened get, as the system desktop's
};

}  // namespace kestrond::test
