// The status menu: rebuilt from each scan, its instance rows read again
// wherever a record may have changed, and published once per change.
#include "StatusMenu.h"

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

}  // namespace

StatusMenu::StatusMenu(StatusItem& item, ServerNotices& notices, Actions actions, Follow follow)
    : _item(item), _notices(notices), _actions(std::move(actions)), _follow(std::move(follow)) {}

const std::string& StatusMenu::translated(const char* key) {
  auto [entry, fresh] = _translations.try_emplace(key);
  if (fresh) entry->second = localizedString(key);
  return entry->second;
}

std::string StatusMenu::serversDescription() {
  // Each server running, starting or stopping, at most a few of them.
  constexpr int kMostNamed = 5;
  std::string text;
  int named = 0;
  int more = 0;
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    const char* format = nullptr;
    switch (instance->serverStatus()) {
      case ServerStatus::Running:
        format = textKey("%@: Running");
        break;
      case ServerStatus::Starting:
        format = textKey("%@: Starting");
        break;
      case ServerStatus::Stopping:
        format = textKey("%@: Stopping");
        break;
      default:
        continue;
    }
    if (named == kMostNamed) {
      ++more;
      continue;
    }
    if (named++ > 0) text += '\n';
    text += formatText(translated(format), {instance->instanceName()});
  }
  if (named == 0) return translated("No server is running");
  if (more > 0)
    text += '\n' + formatText(localizedPlural("and %d more", "and %d more", more), {more});
  return text;
}

void StatusMenu::updateMenuItem(MenuRow& item, const std::shared_ptr<KestrondInstance>& instance) {
  ItemForm form = itemFormFor(instance->serverStatus());
  RowAction action = instance->canStart() ? form.action : RowAction::None;
  item.key = instanceKey(*instance);
  item.title = formatText(translated(form.titleFormat), {instance->instanceName()});
  item.enabled = action != RowAction::None;
  if (action == RowAction::Start) {
    item.choose = chosen([this, instance] { _actions.start(instance); });
  } else if (action == RowAction::Stop) {
    item.choose = chosen([this, instance] { _actions.stop(instance); });
  } else {
    item.choose = nullptr;
  }
}

std::shared_ptr<KestrondInstance> StatusMenu::representedObject(const MenuRow& row) const {
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    if (row.key == instanceKey(*instance)) return instance;
  }
  return nullptr;
}

void StatusMenu::listed(Instances instances, bool startsAtLogin, bool opening) {
  _shown = std::move(instances);
  _defaultInstance.reset();
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    if (instance->isDefault()) _defaultInstance = instance;
  }
  _startsAtLogin = startsAtLogin;
  // An opening that lists instances (and so refreshes them) samples the
  // entries below them once and keeps them until the menu closes; while
  // closed, every publication samples them.
  _open = opening && !_shown.empty();
  if (_open) sampleTail();
  publish();
}

void StatusMenu::reread(const std::set<std::string>& directories) {
  reread([&](const KestrondInstance& instance) {
    return directories.count(instance.directory()) > 0;
  });
}

void StatusMenu::tick(const std::function<bool(const KestrondInstance&)>& unseen) {
  reread(unseen);
}

void StatusMenu::closed() {
  _open = false;
}

void StatusMenu::reread(const std::function<bool(const KestrondInstance&)>& which) {
  // Nothing read, nothing new to show: a quiet refresh tick publishes
  // nothing.
  bool read = false;
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    if (!which(*instance)) continue;
    instance->refresh();
    read = true;
  }
  if (read) publish();
}

std::function<void()> StatusMenu::chosen(std::function<void()> action) {
  return [this, action = std::move(action)] {
    action();
    // What the choice changed goes out first: the notices must see a
    // Stop's Stopping before a re-read of what came in meanwhile finds the
    // server gone.
    publish();
    if (_actions.settle) _actions.settle();
  };
}

void StatusMenu::publish() {
  // An instance watched from now on is read once more: what its server did
  // between the read and the watch would never be told. The servers found
  // running then are watched too.
  if (_follow) {
    Instances fresh = _follow(_shown);
    for (const std::shared_ptr<KestrondInstance>& instance : fresh) instance->refresh();
    if (!fresh.empty()) (void)_follow(_shown);
  }
  if (!_open) sampleTail();
  if (rowsChanged()) _item.setMenu(rows());
  _item.setMark(_notices.notice(_shown));
  _item.setToolTip(translated("Halvorix Kestrond"), serversDescription());
}

void StatusMenu::sampleTail() {
  _logFileShown = _defaultInstance && _defaultInstance->logFile();
  _tessalineShown = _defaultInstance && _defaultInstance->serverStatus() == ServerStatus::Running;
}

bool StatusMenu::rowsChanged() {
  auto same = [this](const RowInputs& last) {
    if (last.instances.size() != _shown.size() || last.logFileShown != _logFileShown ||
        last.tessalineShown != _tessalineShown || last.startsAtLogin != _startsAtLogin) {
      return false;
    }
    for (size_t i = 0; i < _shown.size(); ++i) {
      const KestrondInstance& instance = *_shown[i];
      if (last.instances[i] != _shown[i] ||
          last.states[i] != std::make_pair(instance.serverStatus(), instance.canStart())) {
        return false;
      }
    }
    return true;
  };
  if (_published && same(*_published)) return false;
  RowInputs inputs{_shown, {}, _logFileShown, _tessalineShown, _startsAtLogin};
  inputs.states.reserve(_shown.size());
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    inputs.states.emplace_back(instance->serverStatus(), instance->canStart());
  }
  _published = std::move(inputs);
  return true;
}

MenuRows StatusMenu::rows() {
  MenuRows rows;
  rows.reserve(_shown.size() + 8);
  for (const std::shared_ptr<KestrondInstance>& instance : _shown) {
    MenuRow row;
    updateMenuItem(row, instance);
    rows.push_back(std::move(row));
  }
  if (_shown.empty()) {
    MenuRow none;
    none.key = kNoInstancesKey;
    none.title = translated("No Kestrond Instances");
    rows.push_back(std::move(none));
  }
  appendTail(rows);
  return rows;
}

void StatusMenu::appendTail(MenuRows& rows) {
  auto row = [this](const char* key, std::string title, std::function<void()> action) {
    MenuRow entry;
    entry.key = key;
    entry.title = std::move(title);
    entry.enabled = static_cast<bool>(action);
    if (action) entry.choose = chosen(std::move(action));
    return entry;
  };
  auto when = [](bool shown, const std::function<void()>& action) {
    return shown ? action : nullptr;
  };
  rows.push_back(MenuRow::separatorRow("separator-1"));
  rows.push_back(row(kLogKey, translated("Open Diagnostic Messages"),
                     when(_logFileShown, _actions.viewLogFile)));
  rows.push_back(row(kTessalineKey, translated("Open Kestrond Tessaline"),
                     when(_tessalineShown, _actions.launchTessaline)));
  rows.push_back(row(kDocumentationKey, translated("View Online Documentation"),
                     _actions.onlineDocumentation));
  rows.push_back(MenuRow::separatorRow("separator-2"));
  MenuRow login = row(kLoginKey, translated("Start Kestrond Monitor at Login"),
                      [this] { _startsAtLogin = _actions.toggleStartAtLogin(_startsAtLogin); });
  login.checked = _startsAtLogin;
  rows.push_back(std::move(login));
  MenuRow quit = row(kQuitKey, translated("Quit Kestrond Monitor"), nullptr);
  quit.enabled = true;
  quit.shortcut = "Q";
  quit.choose = _actions.quit;  // nothing to publish once the loop ends
  rows.push_back(std::move(quit));
}

}  // namespace kestrond
