#include "Application.h"

#include "GlobalEnvironment.h"
#include "Text.h"

namespace kestrond {

Application::~Application() {
  // A timer still armed would call back into a destroyed object.
  if (_menuUpdateTimer) _menuUpdateTimer->invalidate();
  _changeWatch.reset();
  _changeWatcher.reset();
  _representedObjects.clear();
  _manager.reset();
  _statusItem.reset();
  _menuUpdateTimer.reset();
  _defaultInstance.reset();
}

void Application::applicationDidFinishLaunching() {
  _manager = std::make_shared<KestrondManager>(_processes, _log);
  setupGlobalEnvironment();
  _statusItem = _desktop.createStatusItem();
  _statusItem->setTitle("K");  // the title is never translated
  _statusItem->setMenu(createMenu());
  _statusItem->setToolTip(localizedString("Halvorix Kestrond"));
  // Filled from the start and kept current while closed: a D-Bus panel may
  // fetch the menu before it tells of an opening, or never tell at all.
  _changeWatcher = std::make_unique<ChangeWatcher>(_log);
  _changeWatch = _desktop.watchReadable(_changeWatcher->descriptor(), [this] { changesSeen(); });
  rebuildMenu(*_statusItem->menu());
}

void Application::setupGlobalEnvironment() {
  kestrond::setupGlobalEnvironment(*_manager, _desktop.bundlePath(), _log);
}

std::shared_ptr<Menu> Application::createMenu() {
  auto menu = std::make_shared<Menu>();
  menu->setDelegate(this);
  return menu;
}

int runApplication(Desktop& desktop, ProcessControl& processes, LogSink& log) {
  auto application = std::make_unique<Application>(desktop, processes, log);
  desktop.sharedApplication().setDelegate(application.get());
  desktop.sharedApplication().run();
  desktop.sharedApplication().setDelegate(nullptr);
  application.reset();
  return 0;
}

}  // namespace kestrond
