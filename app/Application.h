// The application object: owner of every long-lived object of the monitor.
//
// The entry routine (runApplication) creates it and runs the main loop. At
// the launch it creates the instance manager, exports the installation's
// environment and puts the "K" status item with its menu into the tray. Its
// menu is rebuilt from a scan at each opening and refreshed in place while
// open (app/StatusMenu.cc); the rows carry their actions (app/MenuActions.cc).
// Two helpers it owns keep the closed menu current (ClosedMenuFollower) and
// tell what the servers did without being asked (ServerNotices). Main
// thread only.
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

  // The status menu (app/StatusMenu.cc)
  void menuWillOpen();
  void menuDidClose();
  void menuTimerFired();
  // Fills an instance's row: title, whether it can be chosen, and the
  // action that fits the server's state, bound to this instance.
  void updateMenuItem(MenuRow& item, const std::shared_ptr<KestrondInstance>& instance);
  // The instance a row of the status menu shows, or nullptr for the rows
  // that show none (and for rows no longer in the menu).
  std::shared_ptr<KestrondInstance> representedObject(const MenuRow& row) const;

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
  // Turns start at login the other way from what the row showed.
  void toggleStartAtLogin(bool shownChecked);
  void terminate();

  // Start at login: whether the session starts the monitor at login, and
  // making it so (a failure is logged by the desktop and shows in the
  // check mark at the next rebuild).
  bool willStartAtLogin();
  void setStartAtLogin(bool enabled);

  // For tests.
  const std::shared_ptr<KestrondManager>& manager() const { return _manager; }
  bool inModalDialog() const { return _inModalDialog; }
  const std::shared_ptr<KestrondInstance>& defaultInstance() const { return _defaultInstance; }

 private:
  // Scans and fills the rows as an opening does, without arming the
  // refresh; true when they list instances.
  enum class Scan { Opening, Following };
  bool rebuildMenu(Scan scan);
  // Refreshes the shown instances `which` picks, and their rows.
  void refreshShown(const std::function<bool(const KestrondInstance&)>& which);
  // Refreshes the shown instances of these directories and their rows, and
  // the entries that follow the default instance.
  void refreshRows(const std::set<std::string>& directories);
  // The fixed entries below the instances.
  void appendTail(bool startsAtLogin);
  void updateTail();
  // Hands the rows to the status item.
  void showRows();
  // A row's action: runs `action`, then follows what it may have changed.
  std::function<void()> chosen(std::function<void()> action);
  // The change watcher has something, or an action is over: applies what
  // the closed menu has pending, unless the menu counts as open or a
  // question is up.
  void changesSeen();
  // After every scan, refresh and action: the closed menu follows the shown
  // instances, and what their servers now do is noticed.
  void followShownInstances();

  Desktop& _desktop;
  ProcessControl& _processes;
  LogSink& _log;

  std::shared_ptr<KestrondManager> _manager;
  std::unique_ptr<StatusItem> _statusItem;
  // The menu's rows, and the instances its first rows show, in order; the
  // rows' actions keep their instances alive.
  MenuRows _menuRows;
  std::vector<std::shared_ptr<KestrondInstance>> _shown;
  std::unique_ptr<Timer> _menuUpdateTimer;
  bool _inModalDialog = false;
  std::shared_ptr<KestrondInstance> _defaultInstance;
  ClosedMenuFollower _closedMenu;
  ServerNotices _notices;
};

// The entry routine's work: unless another monitor runs in this session,
// creates the application object, runs the main loop until Quit, releases
// it. Returns 0.
int runApplication(Desktop& desktop, ProcessControl& processes, LogSink& log);

}  // namespace kestrond
