#include "Application.h"

#include "GlobalEnvironment.h"
#include "Text.h"

namespace kestrond {

Application::Application(Desktop& desktop, ProcessControl& processes, LogSink& log)
    : _desktop(desktop),
      _processes(processes),
      _log(log),
      _closedMenu(desktop, log, [this] { changesSeen(); }),
      _notices(desktop, log, [this] {
        if (_statusItem) _statusItem->setNeedsAttention(true);
      }) {}

// The status item goes first: its rows hold actions bound to this object.
Application::~Application() {
  _processes.setPlacement(nullptr);
  _menuUpdateTimer.reset();
  _statusItem.reset();
}

void Application::applicationDidFinishLaunching() {
  _manager = std::make_shared<KestrondManager>(_processes, _log);
  _processes.setPlacement([this](pid_t pid, const std::string& directory,
                                 std::function<void()> release) {
    placeServer(pid, directory, std::move(release));
  });
  setupGlobalEnvironment();
  _statusItem = _desktop.createStatusItem({[this] { menuWillOpen(); }, [this] { menuDidClose(); }});
  _statusItem->setTitle("K");  // the title is never translated
  // Filled from the start and kept current while closed: a D-Bus panel may
  // fetch the menu before it tells of an opening, or never tell at all.
  rebuildMenu(Scan::Opening);
}

void Application::setupGlobalEnvironment() {
  kestrond::setupGlobalEnvironment(*_manager, _desktop.bundlePath(), _log);
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
