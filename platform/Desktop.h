// The desktop as the monitor sees it: one item in the tray with its menu of
// rows, the main loop with its timers and watched descriptors, a yes-or-no
// question, desktop notifications, opening URLs and files, start at login,
// and where the program's bundle lies.
//
// The application reaches the desktop only through a Desktop, so that the
// same application runs on the Qt backend (platform/qt) and, in the tests,
// on a recording fake. Backends apply what they are given when they are
// given it. Which backend a program gets is decided by the CMake target it
// links. Main thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Error.h"
#include "Log.h"
#include "StartingState.h"

namespace kestrond {

// What the tray icon adds to its badge: nothing, a mark for "at least one
// server runs", or a second form for "something is starting or stopping".
enum class StatusMark { None, Running, Changing };

// One row of the tray item's menu. A row carries what choosing it does, so
// a choice reaches what the row showed without any look-up by position.
struct MenuRow {
  // Stable for what the row stands for (an instance's rows by its
  // directory, the fixed entries by name): a backend keeps one entry per
  // key, so a row that moves is still the entry a panel was shown.
  std::string key;
  std::string title;
  bool enabled = false;
  bool separator = false;
  // A check-mark toggle with this state; none for a plain row.
  std::optional<bool> checked;
  // The key chosen together with Control ("Q"); "" for none.
  std::string shortcut;
  // Runs on the main loop after the menu has closed; empty for none.
  std::function<void()> choose;

  static MenuRow separatorRow(std::string key);
};
using MenuRows = std::vector<MenuRow>;

// For a backend: the row a choice of `key` acts on, as the rows are now; a
// row that has gone since it was shown (its instance no longer listed) is
// nullptr, with one line logged, and the choice does nothing.
const MenuRow* chosenRow(const MenuRows& rows, const std::string& key, LogSink& log);

// The item in the system tray. The backend shows each change at once.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  // The text the badge shows; a tray cannot show text, so it is drawn, as
  // strokes for the letters the monitor uses ("K"; see BadgePicture).
  virtual void setTitle(const std::string& title) = 0;
  // The tool tip: a title, and plain text on what runs ("" for none).
  virtual void setToolTip(const std::string& title, const std::string& description) = 0;
  virtual void setMark(StatusMark mark) = 0;
  // Asks the tray to draw the eye to the item (a failure the user has not
  // seen yet) until it is cleared.
  virtual void setNeedsAttention(bool attention) = 0;
  // The menu's rows from now on; entries whose keys stay are kept.
  virtual void setMenu(MenuRows rows) = 0;
};

// What the status item tells of its menu, on the main loop.
struct MenuEvents {
  std::function<void()> willOpen;  // before a host shows the menu
  std::function<void()> didClose;  // after it closed, where the host tells
};

// A repeating timer on the main loop; destroying it stops it, also from
// inside its own callback.
class Timer {
 public:
  virtual ~Timer() = default;
};

// A descriptor watched by the main loop; destroying it ends the watch.
class DescriptorWatch {
 public:
  virtual ~DescriptorWatch() = default;
};

// A question with a button that answers yes and one that answers no.
struct Question {
  std::string message;
  std::string informative;
  std::string yesTitle;  // the default button (Return)
  std::string noTitle;   // Escape, and closing the window
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

// A unit of the session's service manager for a process the monitor started.
struct ProcessUnit {
  std::string label;        // what the unit's name tells of it
  std::string description;  // one line for the manager's listings
};

// How long a start may wait for the service manager before its server runs
// where the monitor runs.
inline constexpr std::chrono::seconds kPlacementWait{5};

// Whether the program starts when the user logs in.
class StartAtLogin {
 public:
  virtual ~StartAtLogin() = default;
  // True when the session would start this program at login; false also
  // when that cannot be read.
  virtual bool isEnabled() = 0;
  // Makes it so; the Error (already logged) when nothing changed.
  virtual Error setEnabled(bool enabled) = 0;
};

class Desktop {
 public:
  using Clock = std::chrono::steady_clock;

  // `log` receives the backend's own trouble; it outlives the desktop.
  explicit Desktop(LogSink& log);
  virtual ~Desktop() = default;
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  LogSink& log() const { return _log; }

  // Makes this the session's one monitor, before anything is shown; false
  // when another one already is (it has been asked to show itself and a
  // line says so): this one then ends.
  virtual bool claimSession() = 0;
  // Runs the main loop: calls `didFinishLaunching` once from inside it, and
  // returns after stopEventLoop().
  virtual void runEventLoop(const std::function<void()>& didFinishLaunching) = 0;
  virtual void stopEventLoop() = 0;

  // The item in the tray, shown once a tray is there; `events` tell of its
  // menu for as long as the item lives.
  virtual std::unique_ptr<StatusItem> createStatusItem(MenuEvents events) = 0;
  // Calls `fired` every `interval` from the main loop until the timer is
  // destroyed.
  virtual std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval,
                                            std::function<void()> fired) = 0;
  // Calls `readable` from the main loop each time `fd` is readable, until the
  // returned watch is destroyed; nullptr when the loop cannot watch it.
  virtual std::unique_ptr<DescriptorWatch> watchReadable(int fd,
                                                         std::function<void()> readable) = 0;
  // The clock that timers follow; it only moves forward.
  virtual Clock::time_point now() const = 0;

  // Asks in a window of its own, brought to the front with the keyboard
  // focus as a window the user asked for, and runs the main loop until it
  // is answered: true for yes; false for no and for any other dismissal.
  virtual bool ask(const Question& question) = 0;
  // Shows `notification` without waiting for the service; its trouble is
  // logged, never reported.
  virtual void postNotification(Notification notification) = 0;
  // Open with the user's default handlers; the Error (already logged) when
  // no handler could be started.
  virtual Error openURL(const std::string& url) = 0;
  virtual Error openFile(const std::string& path) = 0;

  // Puts the live process `pid`, a child of the monitor that waits to run
  // its file, into a unit of its own under the session's service manager,
  // apart from the monitor and the graphical session. Calls `done` once, on
  // the main loop, within kPlacementWait: with none when the process is in
  // its unit, else with why it stays where it is (no manager, a refusal, no
  // answer in time), not logged: the caller says what that means. Never
  // waits for the manager.
  virtual void placeInUnit(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) = 0;

  // Start at login for this program; lives as long as the desktop.
  virtual StartAtLogin& startAtLogin() = 0;
  // The directory that holds the bundle's "Contents".
  virtual std::string bundlePath() const = 0;

 private:
  LogSink& _log;
};

// The desktop of the backend this program was linked with, logging to
// `log`, or nullptr when it cannot be had (no display: the reason is on
// standard error). What it opens gets the environment and the limit on
// open files the monitor was started with (`starting`, which outlives it).
std::unique_ptr<Desktop> createSystemDesktop(LogSink& log, const StartingState& starting);

// "file://" and the percent-encoded absolute path, with a trailing "/" for a
// directory URL.
std::string fileURLWithPath(const std::string& path, bool isDirectory = true);

}  // namespace kestrond
