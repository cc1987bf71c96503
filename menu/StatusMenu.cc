// The status menu: rebuilt from a fresh scan each time it opens, its
// instance items refreshed in place every half second while it stays open.
// While it is closed it is rebuilt when the change watcher reports that an
// instance directory or a shown server changed, so that what a panel fetches
// without opening it is current too.
#include "Application.h"
#include "Text.h"

namespace kestrond {
namespace {

struct ItemForm {
  const char* titleFormat;
  Action action;  // only when the instance's directory is readable and writable
};

// The one place where a server state becomes a title and an action.
ItemForm itemFormFor(ServerStatus status) {
  switch (status) {
    case ServerStatus::Stopped:
      return {textKey("Start %@"), kStartInstanceAction};
    case ServerStatus::Starting:
      return {textKey("%@: Starting"), Action()};
    case ServerStatus::Running:
      return {textKey("Stop %@"), kStopInstanceAction};
    case ServerStatus::Stopping:
      return {textKey("%@: Stopping"), Action()};
    case ServerStatus::Unknown:
      break;
  }
  // Unknown, and any value outside the enumeration.
  return {textKey("%@: Unknown"), Action()};
}

}  // namespace

void Application::updateMenuItem(MenuItem& item, const KestrondInstance& instance) {
  ItemForm form = itemFormFor(instance.serverStatus());
  Action action = !form.action.empty() && instance.canStart() ? form.action : Action();
  item.setTitle(formatText(localizedString(form.titleFormat), {instance.instanceName()}));
  item.setTarget(this);
  item.setEnabled(!action.empty());
  item.setAction(std::move(action));
}

std::shared_ptr<KestrondInstance> Application::representedObject(const MenuItem& item) const {
  auto it = _representedObjects.find(&item);
  return it == _representedObjects.end() ? nullptr : it->second;
}

void Application::menuWillOpen(Menu& menu) {
  if (_inModalDialog) return;
  _menuOpen = true;
  _ticksSinceOpening = 0;
  if (!rebuildMenu(menu)) return;
  // A desktop may deliver an opening without a closing; never leave a
  // second timer armed.
  if (_menuUpdateTimer) _menuUpdateTimer->invalidate();
  _menuUpdateTimer = _desktop.scheduledTimer(
      kMenuRefreshInterval, true, [this](Timer& timer) { menuTimerFired(timer); },
      menu.shared_from_this());
}

bool Application::rebuildMenu(Menu& menu) {
  std::vector<std::shared_ptr<KestrondInstance>> instances = _manager->allInstances();

  if (menu.respondsToRemoveAllItems()) {
    menu.removeAllItems();
  } else {
    while (menu.numberOfItems() > 0) menu.removeItemAtIndex(0);
  }
  _defaultInstance.reset();
  _representedObjects.clear();

  if (!instances.empty()) {
    for (const std::shared_ptr<KestrondInstance>& instance : instances) {
      auto item = std::make_shared<MenuItem>();
      _representedObjects[item.get()] = instance;
      updateMenuItem(*item, *instance);
      menu.addItem(item);
      if (instance->isDefault()) _defaultInstance = instance;
    }
  } else {
    menu.addItemWithTitle(localizedString("No Kestrond Instances"), Action(), "");
  }

  bool hasLog = _defaultInstance && _defaultInstance->logFile();
  bool running = _defaultInstance && _defaultInstance->serverStatus() == ServerStatus::Running;
  menu.addItem(MenuItem::separatorItem());
  menu.addItemWithTitle(localizedString("Open Diagnostic Messages"),
                        hasLog ? kViewLogFileAction : Action(), "");
  menu.addItemWithTitle(localizedString("Open Kestrond Tessaline"),
                        running ? kLaunchTessalineAction : Action(), "");
  menu.addItemWithTitle(localizedString("View Online Documentation"), kOnlineDocumentationAction,
                        "");
  menu.addItem(MenuItem::separatorItem());
  auto login = menu.addItemWithTitle(localizedString("Start Kestrond Monitor at Login"),
                                     kToggleStartAtLoginAction, "");
  if (willStartAtLogin(_desktop, bundleUrl())) login->setState(ItemState::On);
  menu.addItemWithTitle(localizedString("Quit Kestrond Monitor"), kStopAction, "q");
  followShownInstances();
  return !instances.empty();
}

void Application::menuDidClose(Menu& menu) {
  if (_menuUpdateTimer) _menuUpdateTimer->invalidate();
  _menuUpdateTimer.reset();
  _menuOpen = false;
  _hostSendsClose = true;
  if (_rebuildPending && !_inModalDialog) {
    _rebuildPending = false;
    rebuildMenu(menu);
  }
}

bool Application::menuConsideredOpen() const {
  // Without a refresh running, a host that never tells of a close leaves
  // nothing to wait for.
  bool refreshing = _menuUpdateTimer && _menuUpdateTimer->isValid();
  return _menuOpen && (refreshing || _hostSendsClose);
}

void Application::changesSeen() {
  if (_changeWatcher && _changeWatcher->takeChanges()) _rebuildPending = true;
  if (!_rebuildPending || !_statusItem || !_statusItem->menu()) return;
  // While open, the rows follow the refresh alone; while an alert is up, the
  // chosen item must stay as it is.
  if (menuConsideredOpen() || _inModalDialog) return;
  _rebuildPending = false;
  rebuildMenu(*_statusItem->menu());
}

std::vector<std::shared_ptr<KestrondInstance>> Application::shownInstances() const {
  std::vector<std::shared_ptr<KestrondInstance>> shown;
  if (!_statusItem || !_statusItem->menu()) return shown;
  for (const std::shared_ptr<MenuItem>& item : _statusItem->menu()->itemArray()) {
    if (std::shared_ptr<KestrondInstance> instance = representedObject(*item)) {
      shown.push_back(std::move(instance));
    }
  }
  return shown;
}

void Application::followShownInstances() {
  std::vector<std::shared_ptr<KestrondInstance>> shown = shownInstances();
  watchShownInstances(shown);
  noticeServerChanges(shown);
}

void Application::watchShownInstances(const std::vector<std::shared_ptr<KestrondInstance>>& shown) {
  if (!_changeWatcher) return;
  std::vector<std::string> directories;
  std::vector<ChangeWatcher::Server> servers;
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    directories.push_back(instance->directory());
    if (instance->pidfd() >= 0) servers.push_back({instance->pidfd(), instance->pid()});
  }
  _changeWatcher->watch(_manager->searchPaths(), directories, servers);
}

void Application::menuTimerFired(Timer& timer) {
  std::shared_ptr<Menu> menu = timer.userInfo();
  if (!menu) return;
  // Some hosts never send a close: after a while without an opening the
  // menu counts as closed, and its next opening arms the refresh again.
  if (!_hostSendsClose && ++_ticksSinceOpening >= kTicksWithoutOpening) {
    // Only invalidated: the timer object is still running this callback.
    timer.invalidate();
    _menuOpen = false;
    changesSeen();
    return;
  }
  // A copy: the items stay alive while they are refreshed.
  Menu::Items items = menu->itemArray();
  for (const std::shared_ptr<MenuItem>& item : items) {
    if (std::shared_ptr<KestrondInstance> instance = representedObject(*item)) {
      instance->refresh();
      updateMenuItem(*item, *instance);
    }
  }
  followShownInstances();
}

}  // namespace kestrond
