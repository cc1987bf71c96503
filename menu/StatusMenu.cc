// The status menu: rebuilt from a fresh scan each time it opens, its
// instance items refreshed in place every half second while it stays open.
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

void Application::menuWillOpen(Menu& menu) {
  if (_inModalDialog) return;
  std::vector<std::shared_ptr<KestrondInstance>> instances = _manager->allInstances();

  if (menu.respondsToRemoveAllItems()) {
    menu.removeAllItems();
  } else {
    while (menu.numberOfItems() > 0) menu.removeItemAtIndex(0);
  }
  _defaultInstance.reset();

  if (!instances.empty()) {
    for (const std::shared_ptr<KestrondInstance>& instance : instances) {
      auto item = std::make_shared<MenuItem>();
      item->setRepresentedObject(instance);
      updateMenuItem(*item, *instance);
      menu.addItem(item);
      if (instance->isDefault()) _defaultInstance = instance;
    }
    // A desktop may deliver an opening without a closing; never leave a
    // second timer armed.
    if (_menuUpdateTimer) _menuUpdateTimer->invalidate();
    _menuUpdateTimer = desktop_.scheduledTimer(
        kMenuRefreshInterval, true, [this](Timer& timer) { menuTimerFired(timer); },
        menu.shared_from_this());
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
  if (willStartAtLogin(desktop_, bundleUrl())) login->setState(ItemState::On);
  menu.addItemWithTitle(localizedString("Quit Kestrond Monitor"), kStopAction, "q");
}

void Application::menuDidClose(Menu&) {
  if (_menuUpdateTimer) _menuUpdateTimer->invalidate();
  _menuUpdateTimer.reset();
}

void Application::menuTimerFired(Timer& timer) {
  std::shared_ptr<Menu> menu = timer.userInfo();
  if (!menu) return;
  // A copy: the items stay alive while they are refreshed.
  Menu::Items items = menu->itemArray();
  for (const std::shared_ptr<MenuItem>& item : items) {
    if (const std::shared_ptr<KestrondInstance>& instance = item->representedObject()) {
      instance->refresh();
      updateMenuItem(*item, *instance);
    }
  }
}

}  // namespace kestrond
