// The desktop as the monitor sees it: the status item, the main loop and its
// timers, the confirmation alert, desktop notifications, opening URLs and
// files, the bundle, the program's place in front, and the user's
// login-items list.
//
// The application object reaches the desktop only through a Desktop, so the
// same application runs on the Qt backend (platform/qt) and, in the tests,
// on the in-memory backend (platform/memory). Which one a program gets is
// decided by the CMake target it links. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Error.h"
#include "Log.h"
#include "Menu.h"
#include "SharedApplication.h"

namespace kestrond {

// What the status item's icon adds to its badge: nothing, a mark for "at
// least one thing runs", or a second form for "something is changing".
enum class StatusMark { None, Running, Changing };

// The item in the system tray. The backend shows it and follows its fields.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  const std::string& title() const { return _title; }
  void setTitle(std::string title) {
    _title = std::move(title);
    changed();
  }
  const std::string& toolTip() const { return _toolTip; }
  void setToolTip(std::string toolTip) {
    _toolTip = std::move(toolTip);
    changed();
  }
  StatusMark mark() const { return _mark; }
  // Setting the mark it has already changes nothing, so a caller may set it
  // after every refresh.
  void setMark(StatusMark mark) {
    if (mark == _mark) return;
    _mark = mark;
    changed();
  }
  // The item owns its menu.
  const std::shared_ptr<Menu>& menu() const { return _menu; }
  void setMenu(std::shared_ptr<Menu> menu) {
    _menu = std::move(menu);
    changed();
  }

 protected:
  // Lets a backend follow changes; the model itself needs nothing.
  virtual void changed() {}

 private:
  std::string _title;
  std::string _toolTip;
  StatusMark _mark = StatusMark::None;
  std::shared_ptr<Menu> _menu;
};

// A timer on the main loop. It first fires one interval after it was
// scheduled and, when repeating, every interval after that until invalidated.
class Timer {
 public:
  virtual ~Timer() = default;
  // Stops the timer for good and lets go of its callback and user info.
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
  const std::shared_ptr<Menu>& userInfo() const { return _userInfo; }

 protected:
  std::shared_ptr<Menu> _userInfo;
};

// A modal question with two buttons.
class Alert {
 public:
  static constexpr int kFirstButtonReturn = 1000;
  static constexpr int kSecondButtonReturn = 1001;

  virtual ~Alert() = default;
  void setMessageText(std::string text) { _messageText = std::move(text); }
  void setInformativeText(std::string text) { _informativeText = std::move(text); }
  // Buttons keep the order in which they are added; the first is the default.
  void addButtonWithTitle(std::string title) { _buttons.push_back(std::move(title)); }
  const std::string& messageText() const { return _messageText; }
  const std::string& informativeText() const { return _informativeText; }
  const std::vector<std::string>& buttons() const { return _buttons; }
  // Shows the alert application-modal and runs the main loop until it is
  // answered: 1000 for the first button, 1001 for the second (also for any
  // other way of dismissing it).
  virtual int runModal() = 0;

 private:
  std::string _messageText;
  std::string _informativeText;
  std::vector<std::string> _buttons;
};

// A desktop notification. Those with one subject replace each other on
// screen; a backend that has no notification service shows nothing and
// logs why.
struct Notification {
  std::string subject;
  std::string summary;
  std::string body;
  // The one action offered ("" for none), shown only where the service
  // offers actions, and what choosing it does (on the main loop).
  std::string actionTitle;
  std::function<void()> action;
};

// One entry of the login-items list, as the list hands it out.
struct LoginItem {
  std::string identifier;
};

// The user's login-items list: the programs started when the user logs in.
class LoginItemsList {
 public:
  virtual ~LoginItemsList() = default;
  // The items in list order at the moment of the call; empty when none.
  virtual std::vector<LoginItem> copySnapshot() = 0;
  // The file URL of the item's target, without asking the user and without
  // touching the target's file system; none when it cannot be resolved.
  virtual std::optional<std::string> resolve(const LoginItem& item) = 0;
  // Adds an entry for the bundle URL at the head of the list; the Error
  // when nothing was added.
  virtual Error insertItemURL(const std::string& bundleUrl) = 0;
  // Removes the item; the Error when it is still there.
  virtual Error removeItem(const LoginItem& item) = 0;
};

// A descriptor watched by the main loop; destroying it ends the watch.
class DescriptorWatch {
 public:
  virtual ~DescriptorWatch() = default;
};

class Desktop {
 public:
  // `log` receives the backend's own trouble; it outlives the desktop.
  explicit Desktop(LogSink& log);
  virtual ~Desktop() = default;

  LogSink& log() const { return _log; }

  // The shared application; lives as long as the desktop.
  SharedApplication& sharedApplication() { return _application; }

  // Runs the main loop: calls `didFinishLaunching` once from inside it, and
  // returns after stopEventLoop().
  virtual void runEventLoop(const std::function<void()>& didFinishLaunching) = 0;
  virtual void stopEventLoop() = 0;

  // A new item in the tray, as wide as its content.
  virtual std::shared_ptr<StatusItem> createStatusItem() = 0;
  // A timer scheduled on the main loop that calls `fired` with itself.
  virtual std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                                std::function<void(Timer&)> fired,
                                                std::shared_ptr<Menu> userInfo) = 0;
  // Calls `readable` from the main loop each time `fd` is readable, until the
  // returned watch is destroyed; nullptr when the loop cannot watch it.
  virtual std::unique_ptr<DescriptorWatch> watchReadable(int fd,
                                                         std::function<void()> readable) = 0;
  // A new alert without texts or buttons.
  virtual std::unique_ptr<Alert> makeAlert() = 0;
  // Shows `notification` without waiting for the service; its trouble is
  // logged, never reported.
  virtual void postNotification(Notification notification) = 0;
  // Seconds on a clock that only moves forward (not the wall clock).
  virtual double currentTime() const = 0;
  // Open with the user's default handlers; the Error (already logged) when
  // no handler could be started.
  virtual Error openURL(const std::string& url) = 0;
  virtual Error openFile(const std::string& path) = 0;
  // The directory that holds the bundle's "Contents".
  virtual std::string bundlePath() const = 0;
  // The user's login-items list, or nullptr when it cannot be had.
  virtual std::unique_ptr<LoginItemsList> createLoginItemsList() = 0;
  // Asks that the program's next window come to the front with the keyboard
  // focus, as a window the user asked for: a question raised from the tray
  // must not open behind other windows. The window manager has the last
  // word; nothing is reported.
  virtual void activateApplication() = 0;

  // The environment as it was when the desktop was created, before the
  // monitor exported the server's: what opened URLs and files inherit.
  const std::vector<std::string>& startupEnvironment() const { return _startupEnvironment; }

 private:
  LogSink& _log;
  SharedApplication _application;
  std::vector<std::string> _startupEnvironment;
};

// The desktop of the backend this program was linked with, logging to
// `log`, or nullptr when it cannot be had (no display: the reason is on
// standard error).
std::unique_ptr<Desktop> createSystemDesktop(LogSink& log);

// "file://" and the percent-encoded absolute path, with a trailing "/" for a
// directory URL: the form in which the monitor compares bundle URLs.
std::string fileURLWithPath(const std::string& path, bool isDirectory = true);

}  // namespace kestrond
