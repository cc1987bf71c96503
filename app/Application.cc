#include "Application.h"

#include "GlobalEnvironment.h"
#include "Text.h"

namespace kestrond {

Application::~Application() {
  // A timer still armed would call back into a destroyed object.
  if (_menuUpdateTimer) _menuUpdateTimer->invalidate();
  _changeWatch.reset();
  _changeWatcher.reset();
  _manager.reset();
  _statusItem.reset();
  _menuUpdateTimer.reset();
  _defaultInstance.reset();
}

void Application::applicationDidFinishLaunching() {
  desktop_.getCurrentProcess(&_psn);
  _manager = std::make_shared<KestrondManager>();
  setupGlobalEnvironment();
  _statusItem = desktop_.statusItemWithLength(-1.0);
  _statusItem->setHighlightMode(true);
  _statusItem->setTitle("K");  // the title is never translated
  _statusItem->setMenu(createMenu());
  _statusItem->setHighlightMode(true);
  _statusItem->setToolTip(localizedString("Halvorix Kestrond"));
  // Filled from the start and kept current while closed: a D-Bus panel may
  // fetch the menu before it tells of an opening, or never tell at all.
  _changeWatcher = std::make_unique<ChangeWatcher>();
  _changeWatch = desktop_.watchReadable(_changeWatcher->descriptor(), [this] { changesSeen(); });
  rebuildMenu(*_statusItem->menu());
}

void Application::setupGlobalEnvironment() {
  kestrond::setupGlobalEnvironment(*_manager, desktop_.bundlePath());
}

std::shared_ptr<Menu> Application::createMenu() {
  auto menu = std::make_shared<Menu>();
  menu->setDelegate(this);
  return menu;
}

int runApplication(Desktop& desktop) {
  auto application = std::make_unique<Application>(desktop);
  desktop.sharedApplication().setDelegate(application.get());
  desktop.sharedApplication().run();
  desktop.sharedApplication().setDelegate(nullptr);
  application.reset();
  return 0;
}

}  // namespace kestrond
