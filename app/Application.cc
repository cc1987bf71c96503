#include "Application.h"

#include "GlobalEnvironment.h"
#include "Text.h"

namespace kestrond {

Application::Application(Desktop& desktop, ProcessControl& processes, LogSink& log)
    : _desktop(desktop),
      _processes(processes),
      _log(log),
      _closedMenu(desktop, log, [this] { changesSeen(); }),
      _notices(desktop, log,
               {[this] {
                  if (_statusItem) _statusItem->setNeedsAttention(true);
                },
                [this](const std::set<std::string>& directories) {
                  if (_menu) _menu->reread(directories);
                },
                [this] { return _inModalDialog; }}) {}

// The menu goes first, then the status item: its rows hold actions bound to
// this object.
Application::~Application() {
  _processes.setPlacement(nullptr);
  _menuUpdateTimer.reset();
  _menu.reset();
  _statusItem.reset();
}

void Application::applicationDidFinishLaunching() {
  _manager = std::make_shared<KestrondManager>(_processes, _log);
  _processes.setPlacement(
      [this](pid_t pid, const std::string& directory, std::function<void()> release) {
        placeServer(pid, directory, std::move(release));
      });
  setupGlobalEnvironment();
  _statusItem = _desktop.createStatusItem({[this] { menuWillOpen(); }, [this] { menuDidClose(); }});
  _statusItem->setTitle("K");  // the title is never translated
  StatusMenu::Actions actions;
  actions.start = [this](const auto& instance) { startInstance(instance); };
  actions.stop = [this](const auto& instance) { stopInstance(instance); };
  actions.viewLogFile = [this] { viewLogFile(); };
  actions.launchTessaline = [this] { launchTessaline(); };
  actions.onlineDocumentation = [this] { onlineDocumentation(); };
  actions.toggleStartAtLogin = [this](bool shownChecked) {
    return toggleStartAtLogin(shownChecked);
  };
  actions.quit = [this] { terminate(); };
  actions.settle = [this] { changesSeen(); };
  _menu = std::make_unique<StatusMenu>(
      *_statusItem, _notices, std::move(actions), [this](const StatusMenu::Instances& shown) {
        return _closedMenu.follow(_manager->searchPaths(), _manager->candidateDirectories(), shown);
      });
  // Filled from the start and kept current while closed: a D-Bus panel may
  // fetch the menu before it tells of an opening, or never tell at all.
  scan(Scan::Launch);
}

void Application::setupGlobalEnvironment() {
  kestrond::setupGlobalEnvironment(*_manager, _desktop.bundlePath(), _log);
}

const std::shared_ptr<KestrondInstance>& Application::defaultInstance() const {
  static const std::shared_ptr<KestrondInstance> none;
  return _menu ? _menu->defaultInstance() : none;
}

void Application::menuWillOpen() {
  // Whatever failure was told, the user has looked now.
  _notices.seen();
  if (_statusItem) _statusItem->setNeedsAttention(false);
  if (_inModalDialog || !_menu) return;
  scan(Scan::Opening);
  bool listed = !_menu->shown().empty();
  // A desktop may deliver an opening without a closing; never leave a
  // second timer armed.
  _menuUpdateTimer.reset();
  if (listed) {
    _menuUpdateTimer = _desktop.startTimer(kMenuRefreshInterval, [this] { menuTimerFired(); });
  }
  _closedMenu.opened(listed);
}

void Application::scan(Scan kind) {
  // A server whose end the watcher would have told runs on: its process
  // is not asked again.
  KestrondManager::KnownRunning running = _closedMenu.runningServers();
  StatusMenu::Instances instances = kind == Scan::Following ? _manager->currentInstances(running)
                                                            : _manager->allInstances(running);
  _closedMenu.rescanned();
  _menu->listed(std::move(instances), willStartAtLogin(), kind == Scan::Opening);
}

void Application::menuDidClose() {
  _menuUpdateTimer.reset();
  _closedMenu.closed();
  if (_menu) _menu->closed();
  changesSeen();
}

void Application::menuTimerFired() {
  // Some hosts never send a close: after a while without an opening the
  // menu counts as closed, and its next opening arms the refresh again.
  if (!_closedMenu.ticked()) {
    _menuUpdateTimer.reset();  // safe from inside its own callback
    _menu->closed();
    changesSeen();
    return;
  }
  // What the watcher and the pidfds tell is read, and whatever they could
  // not tell (a directory the kernel would not watch, a server without a
  // pidfd, a server starting or stopping).
  std::set<std::string> changed = _closedMenu.takeDirectories();
  _menu->tick([&](const KestrondInstance& instance) {
    return changed.count(instance.directory()) > 0 || !_closedMenu.seesChangesOf(instance);
  });
}

void Application::changesSeen() {
  // While open, the rows follow the refresh alone; while a question is up,
  // the chosen row must stay as it is.
  if (!_menu || _closedMenu.countsOpen() || _inModalDialog) return;
  ChangeWatcher::Changes pending = _closedMenu.takePending();
  if (pending.rescan) {
    scan(Scan::Following);
  } else if (!pending.directories.empty()) {
    _menu->reread(pending.directories);
  }
}

int runApplication(Desktop& desktop, ProcessControl& processes, LogSink& log) {
  // A second start (at login and from the application menu, say) leaves the
  // first alone: one icon, every notification once.
  if (!desktop.claimSession()) return 0;
  auto application = std::make_unique<Application>(desktop, processes, log);
  desktop.runEventLoop([&application] { application->applicationDidFinishLaunching(); });
  application.reset();
  return 0;
}

}  // namespace kestrond
