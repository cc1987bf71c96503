// The in-memory desktop, for tests and headless runs.
//
// Nothing is shown: status items, alerts and opened URLs are recorded; time
// is a manual clock that fires timers only when advanced; alerts are answered
// by a script; the login-items list lives in memory. Interaction helpers play
// the user's part (open the menu, choose an item) the way a desktop does.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>

#include "Desktop.h"

namespace kestrond {

class MemoryDesktop : public Desktop {
 public:
  struct AlertRecord {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
  };
  struct Opened {
    enum class Kind { Url, File } kind;
    std::string target;
    std::vector<std::string> environment;
  };
  struct LoginEntry {
    std::string identifier;
    std::optional<std::string> url;  // none: cannot be resolved
  };

  // `log` outlives the desktop.
  explicit MemoryDesktop(LogSink& log);
  ~MemoryDesktop() override;

  // Desktop
  void runEventLoop(const std::function<void()>& didFinishLaunching) override;
  void stopEventLoop() override;
  std::shared_ptr<StatusItem> createStatusItem() override;
  std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                        std::function<void(Timer&)> fired,
                                        std::shared_ptr<Menu> userInfo) override;
  std::unique_ptr<Alert> makeAlert() override;
  void postNotification(Notification notification) override;
  double currentTime() const override { return _now; }
  std::unique_ptr<DescriptorWatch> watchReadable(int fd, std::function<void()> readable) override;
  Error openURL(const std::string& url) override;
  Error openFile(const std::string& path) override;
  std::string bundlePath() const override { return _bundlePath; }
  std::unique_ptr<LoginItemsList> createLoginItemsList() override;
  void activateApplication() override;

  // --- Test controls ---
  void setBundlePath(std::string path) { _bundlePath = std::move(path); }

  // Steps run one after another inside runEventLoop(), after the launch,
  // until the loop is stopped or no step is left.
  std::deque<std::function<void()>> script;
  bool eventLoopRunning() const { return _running; }

  // Moves the clock on, firing due timers in order of their firing times.
  void advance(double seconds);
  // Timers scheduled and not invalidated.
  size_t armedTimerCount() const;

  // Answers for the coming alerts, in order: a button code, or a function
  // that may act while the alert is up (open the menu, say) and returns one.
  // With no answer left, an alert is dismissed (1001).
  std::deque<std::function<int(const AlertRecord&)>> alertAnswers;
  void answerAlertsWith(int code) {
    alertAnswers.push_back([code](const AlertRecord&) { return code; });
  }
  std::vector<AlertRecord> alerts;
  bool alertOnScreen() const { return _alertDepth > 0; }

  // Every notification posted, in order; choosing one's action is the
  // user's part (runs it as the main loop would).
  std::vector<Notification> notifications;
  bool chooseNotificationAction(size_t index);

  std::vector<Opened> opened;
  int frontRequests = 0;

  // The login-items list; `loginListUnavailable` makes creating it fail.
  std::vector<LoginEntry> loginEntries;
  bool loginListUnavailable = false;

  // Plays the main loop's part for watched descriptors: calls the callback
  // of each one that polls readable now. Returns how many were called.
  int dispatchReadableDescriptors();
  size_t watchedDescriptorCount() const;

  // The status items made, in order.
  std::vector<std::shared_ptr<StatusItem>> statusItems;

  // The user's part: opening the first status item's menu tells its
  // delegate; choosing an item closes the menu first, then sends the action.
  Menu& menu();
  void openMenu();
  void closeMenu();
  bool menuOpen() const { return _menuOpen; }
  // Chooses the first item of the open menu whose title is `title`; false
  // when there is none or it is disabled.
  bool choose(const std::string& title);

 private:
  class MemoryTimer;
  class MemoryAlert;
  class MemoryLoginItems;
  class MemoryDescriptorWatch;
  struct WatchedDescriptor {
    int fd;
    std::function<void()> readable;
  };

  bool _running = false;
  bool _stopRequested = false;
  double _now = 0;
  std::vector<std::shared_ptr<MemoryTimer>> _timers;
  int _alertDepth = 0;
  std::string _bundlePath = "/nonexistent-bundle";
  bool _menuOpen = false;
  std::vector<std::shared_ptr<WatchedDescriptor>> _watched;
  uint32_t _nextLoginId = 1;
};

}  // namespace kestrond
