// The application object: delegate of the shared application and of the
// status menu, and owner of every long-lived object of the monitor.
//
// The entry routine (runApplication) creates it and runs the main loop. At
// the launch it creates the instance manager, exports the installation's
// environment and puts the "K" status item with its menu into the tray. The
// menu's construction and refresh live in menu/StatusMenu.cc, its actions in
// menu/MenuActions.cc, start at login in app/LoginItems.cc, the icon's mark
// and the notifications in app/ServerNotices.cc. Main thread only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChangeWatcher.h"
#include "Desktop.h"
#include "KestrondInstance.h"
#include "KestrondManager.h"
#include "Log.h"
#include "Menu.h"
#include "ProcessControl.h"

namespace kestrond {

inline const Action kStartInstanceAction{"startInstance:"};
inline const Action kStopInstanceAction{"stopInstance:"};
inline const Action kViewLogFileAction{"viewLogFile:"};
inline const Action kLaunchTessalineAction{"launchTessaline:"};
inline const Action kOnlineDocumentationAction{"onlineDocumentation:"};
inline const Action kToggleStartAtLoginAction{"toggleStartAtLogin:"};

inline constexpr const char* kTessalineUrl = "http://localhost:8890/tessaline/";
inline constexpr const char* kDocumentationUrl = "http://docs.halvorix.com/kestrond/";
inline constexpr double kMenuRefreshInterval = 0.5;
// The shortest time between two notifications about one instance (seconds).
inline constexpr double kNotificationInterval = 60.0;
// Refresh ticks after the last opening at which the refresh stops by itself
// on a host that has never told us of a close (10 s).
inline constexpr int kTicksWithoutOpening = 20;

class Application : public ApplicationDelegate, public MenuDelegate {
 public:
  // The desktop, the process control and the log outlive the application
  // object; its instance records reach the process table through
  // `processes`, and every part of it logs to `log`.
  Application(Desktop& desktop, ProcessControl& processes, LogSink& log)
      : _desktop(desktop), _processes(processes), _log(log) {}
  ~Application() override;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Launch (app/Application.cc)
  void applicationDidFinishLaunching() override;
  void setupGlobalEnvironment();
  std::shared_ptr<Menu> createMenu();

  // The status menu (menu/StatusMenu.cc)
  void menuWillOpen(Menu& menu) override;
  void menuDidClose(Menu& menu) override;
  void menuTimerFired(Timer& timer);
  void updateMenuItem(MenuItem& item, const KestrondInstance& instance);
  // The instance an item of the status menu shows, or nullptr for the items
  // that show none (and for items no longer in the menu).
  std::shared_ptr<KestrondInstance> representedObject(const MenuItem& item) const;
  // Scans and fills `menu` as an opening does, without arming the refresh;
  // true when it lists instances.
  bool rebuildMenu(Menu& menu);
  // The closed menu kept current: called by the main loop when the change
  // watcher has something, and after each action.
  void changesSeen();
  // The instances the menu's rows show, in menu order.
  std::vector<std::shared_ptr<KestrondInstance>> shownInstances() const;
  // After every scan, refresh and action: the change watcher follows the
  // shown instances, and what they now say is noticed (app/ServerNotices.cc).
  void followShownInstances();
  void watchShownInstances(const std::vector<std::shared_ptr<KestrondInstance>>& shown);
  bool menuConsideredOpen() const;

  // Actions (menu/MenuActions.cc); each takes the chosen item as sender.
  bool confirm(const KestrondInstance& instance, bool start);
  void openUrl(const std::string& url);
  void startInstance(MenuItem& sender);
  void stopInstance(MenuItem& sender);
  void launchTessaline(MenuItem& sender);
  void onlineDocumentation(MenuItem& sender);
  void viewLogFile(MenuItem& sender);
  bool tryToPerform(const Action& action, MenuItem& sender) override;

  // Telling without being asked (app/ServerNotices.cc)
  // Compares each shown instance's server status with the one seen at the
  // last call: notifies of a start that ended before running and of a
  // Running server that ended without a Stop from the menu, and sets the
  // status item's mark.
  void noticeServerChanges(const std::vector<std::shared_ptr<KestrondInstance>>& shown);
  // Logs and (at most once a minute per instance) posts a notification
  // titled `summaryFormat` with the instance's name, offering its log.
  void notifyAbout(const KestrondInstance& instance, const char* summaryFormat,
                   const std::string& body);

  // Start at login (app/LoginItems.cc)
  void toggleStartAtLogin(MenuItem& sender);
  static bool willStartAtLogin(Desktop& desktop, const std::string& bundleUrl);
  static void setStartAtLogin(Desktop& desktop, const std::string& bundleUrl, bool enabled);
  // The file URL of the bundle directory.
  std::string bundleUrl() const;

  // For tests and the backends.
  const std::shared_ptr<KestrondManager>& manager() const { return _manager; }
  const std::shared_ptr<StatusItem>& statusItem() const { return _statusItem; }
  const std::shared_ptr<Timer>& menuUpdateTimer() const { return _menuUpdateTimer; }
  bool inModalDialog() const { return _inModalDialog; }
  const std::shared_ptr<KestrondInstance>& defaultInstance() const { return _defaultInstance; }

 private:
  Desktop& _desktop;
  ProcessControl& _processes;
  LogSink& _log;

  std::shared_ptr<KestrondManager> _manager;
  std::shared_ptr<StatusItem> _statusItem;
  // What each instance row of the menu shows; it keeps the instance alive
  // while the row is there.
  std::map<const MenuItem*, std::shared_ptr<KestrondInstance>> _representedObjects;
  std::shared_ptr<Timer> _menuUpdateTimer;
  bool _inModalDialog = false;
  std::shared_ptr<KestrondInstance> _defaultInstance;
  std::unique_ptr<ChangeWatcher> _changeWatcher;
  std::unique_ptr<DescriptorWatch> _changeWatch;
  bool _menuOpen = false;
  bool _hostSendsClose = false;  // a close has been seen from this desktop
  int _ticksSinceOpening = 0;
  bool _rebuildPending = false;  // changes seen while the menu was open or an alert up
  std::map<std::string, ServerStatus> _seenStatus;  // by directory, at the last notice
  std::map<std::string, double> _lastNotified;      // by directory: when last shown
};

// The entry routine's work: creates the application object, makes it the
// delegate, runs the main loop until Quit, releases it. Returns 0.
int runApplication(Desktop& desktop, ProcessControl& processes, LogSink& log);

}  // namespace kestrond
