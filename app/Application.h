// The application object: owner of every long-lived object of the monitor.
//
// The entry routine (runApplication) creates it and runs the main loop. At
// the launch it creates the instance manager, exports the installation's
// environment and puts the "K" status item with its menu into the tray. It
// tells the status menu (StatusMenu, the one writer of the rows) what
// happened: a scan at each opening, the half-second refresh while open,
// what the closed-menu follower saw while closed. The rows carry its
// actions (app/MenuActions.cc). The servers' notices (ServerNotices) follow
// every publication of the menu. Main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClosedMenuFollower.h"
#include "Desktop.h"
#include "KestrondInstance.h"
#include "KestrondManager.h"
#include "Log.h"
#include "ProcessControl.h"
#include "ServerNotices.h"
#include "StatusMenu.h"

namespace kestrond {

inline constexpr const char* kTessalineUrl = "http://localhost:8890/tessaline/";
inline constexpr const char* kDocumentationUrl = "http://docs.halvorix.com/kestrond/";
inline constexpr std::chrono::milliseconds kMenuRefreshInterval{500};

class Application {
 public:
  // The desktop, the process control and the log outlive the application
  // object; its instance records reach the process table through
  // `processes`, and every part of it logs to `log`.
  Application(Desktop& desktop, ProcessControl& processes, LogSink& log);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Launch (app/Application.cc)
  void applicationDidFinishLaunching();
  void setupGlobalEnvironment();

  // The status item's menu events (app/Application.cc)
  void menuWillOpen();
  void menuDidClose();
  void menuTimerFired();

  // Actions (app/MenuActions.cc)
  bool confirm(const KestrondInstance& instance, bool start);
  void openUrl(const std::string& url);
  void startInstance(const std::shared_ptr<KestrondInstance>& instance);
  // Puts a server just launched in `directory` into a unit of its own, then
  // lets it run (`release`); where it cannot be, one line says so.
  void placeServer(pid_t pid, const std::string& directory, std::function<void()> release);
  void stopInstance(const std::shared_ptr<KestrondInstance>& instance);
  void launchTessaline();
  void onlineDocumentation();
  void viewLogFile();
  // Turns start at login the other way from what the row showed; returns
  // whether the session starts the monitor at login now.
  bool toggleStartAtLogin(bool shownChecked);
  void terminate();

  // Start at login: whether the session starts the monitor at login, and
  // making it so (a failure is logged by the desktop).
  bool willStartAtLogin();
  void setStartAtLogin(bool enabled);

  // For tests.
  const std::shared_ptr<KestrondManager>& manager() const { return _manager; }
  bool inModalDialog() const { return _inModalDialog; }
  const std::shared_ptr<KestrondInstance>& defaultInstance() const;
  StatusMenu& statusMenu() { return *_menu; }

 private:
  // Lists the instances of a fresh scan. Only the launch and an opening
  // drop a search path that cannot be listed: while the menu is closed it
  // may be between a rename away and a copy renamed in.
  enum class Scan { Launch, Opening, Following };
  void scan(Scan kind);
  // What the closed-menu follower saw, applied unless the menu counts as
  // open or a question is up.
  void changesSeen();

  Desktop& _desktop;
  ProcessControl& _processes;
  LogSink& _log;

  std::shared_ptr<KestrondManager> _manager;
  std::unique_ptr<StatusItem> _statusItem;
  std::unique_ptr<Timer> _menuUpdateTimer;
  bool _inModalDialog = false;
  ClosedMenuFollower _closedMenu;
  ServerNotices _notices;
  std::unique_ptr<StatusMenu> _menu;  // made with the status item
};

// The entry routine's work: unless another monitor runs in this session,
// creates the application object, runs the main loop until Quit, releases
// it. Returns 0.
int runApplication(Desktop& desktop, ProcessControl& processes, LogSink& log);

}  // namespace kestrond
