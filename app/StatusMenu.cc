// The status menu: rebuilt from a fresh scan each time it opens, its
// instance rows refreshed in place every half second while it stays open.
// While it is closed, what the closed-menu follower reports is applied: an
// ended server or a rewritten lock file refreshes that instance's row, and
// anything that changes what is listed rebuilds the rows from a scan, so
// that what a panel fetches without opening the menu is current too.
#include <algorithm>

#include "Application.h"
#include "Text.h"

namespace kestrond {
namespace {

// The fixed entries' keys; an instance's rows are keyed by its directory.
constexpr const char* kNoInstancesKey = "no-instances";
constexpr const char* kLogKey = "diagnostic-messages";
constexpr const char* kTessalineKey = "tessaline";
constexpr const char* kDocumentationKey = "documentation";
constexpr const char* kLoginKey = "start-at-login";
constexpr const char* kQuitKey = "quit";

std::string instanceKey(const KestrondInstance& instance) {
  return "instance:" + instance.directory();
}

enum class RowAction { None, Start, Stop };

struct ItemForm {
  const char* titleFormat;
  RowAction action;  // only when the instance's directory is readable and writable
};

// The one place where a server state becomes a title and an action.
ItemForm itemFormFor(ServerStatus status) {
  switch (status) {
    case ServerStatus::Stopped:
      return {textKey("Start %@"), RowAction::Start};
    case ServerStatus::Starting:
      return {textKey("%@: Starting"), RowAction::None};
    case ServerStatus::Running:
      return {textKey("Stop %@"), RowAction::Stop};
    case ServerStatus::Stopping:
      return {textKey("%@: Stopping"), RowAction::None};
    case ServerStatus::Unknown:
      break;
  }
  // Unknown, and any value outside the enumeration.
  return {textKey("%@: Unknown"), RowAction::None};
}

// What the tool tip tells of the servers: each one running, starting or
// stopping, at most a few of them.
std::string serversDescription(const std::vector<std::shared_ptr<KestrondInstance>>& shown) {
  constexpr int kMostNamed = 5;
  std::string text;
  int named = 0;
  int more = 0;
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    const char* format = nullptr;
    switch (instance->serverStatus()) {
      case ServerStatus::Running: format = textKey("%@: Running"); break;
      case ServerStatus::Starting: format = textKey("%@: Starting"); break;
      case ServerStatus::Stopping: format = textKey("%@: Stopping"); break;
      default: continue;
    }
    if (named == kMostNamed) {
      ++more;
      continue;
    }
    if (named++ > 0) text += '\n';
    text += formatText(localizedString(format), {instance->instanceName()});
  }
  if (named == 0) return localizedString("No server is running");
  if (more > 0) text += '\n' + formatText(localizedString("and %d more"), {more});
  return text;
}

MenuRow* findRow(MenuRows& rows, const std::string& key) {
  for (MenuRow& row : rows) {
    if (row.key == key) return &row;
  }
  return nullptr;
}

}  // namespace

void Application::updateMenuItem(MenuRow& item, const std::shared_ptr<KestrondInstance>& instance) {
  ItemForm form = itemFormFor(instance->serverStatus());
  RowAction action = instance->canStart() ? form.action : RowAction::None;
  item.key = instanceKey(*instance);
  item.title = formatText(localizedString(form.titleFormat), {instance->instanceName()});
  item.enabled = action != RowAction::None;
  if (action == RowAction::Start) {
    item.choose = chosen([this, instance] { startInstance(instance); });
  } else if (action == RowAction::Stop) {
    item.choose = chosen([this, instance] { stopInstance(instance); });
  } else {
    item.choose = nullptr;
  }
}

std::shared_ptr<KestrondInstance> Application::representedObject(const MenuRow& row) const {
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    if (row.key == instanceKey(*instance)) return instance;
  }
  return nullptr;
}

void Application::menuWillOpen() {
  // Whatever failure was told, the user has looked now.
  _notices.seen();
  if (_statusItem) _statusItem->setNeedsAttention(false);
  if (_inModalDialog) return;
  bool listed = rebuildMenu(Scan::Opening);
  // A desktop may deliver an opening without a closing; never leave a
  // second timer armed.
  _menuUpdateTimer.reset();
  if (listed) {
    _menuUpdateTimer = _desktop.startTimer(kMenuRefreshInterval, [this] { menuTimerFired(); });
  }
  _closedMenu.opened(listed);
}

bool Application::rebuildMenu(Scan scan) {
  // Only an opening drops a search path that cannot be listed: while the
  // menu is closed it may be between a rename away and a copy renamed in.
  std::vector<std::shared_ptr<KestrondInstance>> instances =
      scan == Scan::Opening ? _manager->allInstances() : _manager->currentInstances();
  _closedMenu.rescanned();
  _menuRows.clear();
  _shown.clear();
  _defaultInstance.reset();

  for (const std::shared_ptr<KestrondInstance>& instance : instances) {
    MenuRow item;
    updateMenuItem(item, instance);
    _menuRows.push_back(std::move(item));
    _shown.push_back(instance);
    if (instance->isDefault()) _defaultInstance = instance;
  }
  if (instances.empty()) {
    MenuRow none;
    none.key = kNoInstancesKey;
    none.title = localizedString("No Kestrond Instances");
    _menuRows.push_back(std::move(none));
  }
  appendTail(willStartAtLogin());
  showRows();
  followShownInstances();
  return !instances.empty();
}

void Application::appendTail(bool startsAtLogin) {
  auto row = [this](const char* key, std::string title, std::function<void()> action) {
    MenuRow entry;
    entry.key = key;
    entry.title = std::move(title);
    entry.enabled = static_cast<bool>(action);
    if (action) entry.choose = chosen(std::move(action));
    return entry;
  };
  _menuRows.push_back(MenuRow::separatorRow("separator-1"));
  _menuRows.push_back(row(kLogKey, localizedString("Open Diagnostic Messages"), nullptr));
  _menuRows.push_back(row(kTessalineKey, localizedString("Open Kestrond Tessaline"), nullptr));
  _menuRows.push_back(row(kDocumentationKey, localizedString("View Online Documentation"),
                          [this] { onlineDocumentation(); }));
  _menuRows.push_back(MenuRow::separatorRow("separator-2"));
  MenuRow login = row(kLoginKey, localizedString("Start Kestrond Monitor at Login"),
                      [this, startsAtLogin] { toggleStartAtLogin(startsAtLogin); });
  login.checked = startsAtLogin;
  _menuRows.push_back(std::move(login));
  MenuRow quit = row(kQuitKey, localizedString("Quit Kestrond Monitor"), nullptr);
  quit.enabled = true;
  quit.shortcut = "Q";
  quit.choose = [this] { terminate(); };  // nothing to follow once the loop ends
  _menuRows.push_back(std::move(quit));
  updateTail();
}

// The entries that follow the default instance, as of now.
void Application::updateTail() {
  MenuRow* log = findRow(_menuRows, kLogKey);
  MenuRow* tessaline = findRow(_menuRows, kTessalineKey);
  if (!log || !tessaline) return;
  log->enabled = _defaultInstance && _defaultInstance->logFile();
  log->choose = log->enabled ? chosen([this] { viewLogFile(); }) : nullptr;
  tessaline->enabled =
      _defaultInstance && _defaultInstance->serverStatus() == ServerStatus::Running;
  tessaline->choose = tessaline->enabled ? chosen([this] { launchTessaline(); }) : nullptr;
}

void Application::showRows() {
  if (_statusItem) _statusItem->setMenu(_menuRows);
}

void Application::menuDidClose() {
  _menuUpdateTimer.reset();
  _closedMenu.closed();
  changesSeen();
}

void Application::menuTimerFired() {
  // Some hosts never send a close: after a while without an opening the
  // menu counts as closed, and its next opening arms the refresh again.
  if (!_closedMenu.ticked()) {
    _menuUpdateTimer.reset();  // safe from inside its own callback
    changesSeen();
    return;
  }
  refreshShown([](const KestrondInstance&) { return true; });
  showRows();
  followShownInstances();
}

void Application::refreshShown(const std::function<bool(const KestrondInstance&)>& which) {
  for (size_t i = 0; i < _shown.size() && i < _menuRows.size(); ++i) {
    if (!which(*_shown[i])) continue;
    _shown[i]->refresh();
    updateMenuItem(_menuRows[i], _shown[i]);
  }
}

void Application::refreshRows(const std::set<std::string>& directories) {
  refreshShown([&](const KestrondInstance& instance) {
    return directories.count(instance.directory()) > 0;
  });
  updateTail();
  showRows();
  followShownInstances();
}

void Application::changesSeen() {
  // While open, the rows follow the refresh alone; while a question is up,
  // the chosen row must stay as it is.
  if (!_statusItem || _closedMenu.countsOpen() || _inModalDialog) return;
  ChangeWatcher::Changes pending = _closedMenu.takePending();
  if (pending.rescan) {
    rebuildMenu(Scan::Following);
  } else if (!pending.directories.empty()) {
    refreshRows(pending.directories);
  }
}

void Application::followShownInstances() {
  if (!_manager) return;
  // An instance watched from now on is read once more: what its server did
  // between the scan and the watch would never be told.
  std::vector<std::shared_ptr<KestrondInstance>> fresh =
      _closedMenu.follow(_manager->searchPaths(), _manager->candidateDirectories(), _shown);
  if (!fresh.empty()) {
    refreshShown([&](const KestrondInstance& instance) {
      return std::any_of(fresh.begin(), fresh.end(),
                         [&](const auto& watched) { return watched.get() == &instance; });
    });
    showRows();
    // The servers found running in them are watched too.
    (void)_closedMenu.follow(_manager->searchPaths(), _manager->candidateDirectories(), _shown);
  }
  if (!_statusItem) return;
  _statusItem->setMark(_notices.notice(_shown));
  _statusItem->setToolTip(localizedString("Halvorix Kestrond"), serversDescription(_shown));
}

}  // namespace kestrond
