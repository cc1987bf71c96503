#include "ClosedMenuFollower.h"

#include <algorithm>

namespace kestrond {

ClosedMenuFollower::ClosedMenuFollower(Desktop& desktop, LogSink& log,
                                       std::function<void()> changed)
    : _watcher(log) {
  _watch = desktop.watchReadable(_watcher.descriptor(), [this, changed = std::move(changed)] {
    collect();
    if (!_pending.empty()) changed();
  });
}

std::vector<std::shared_ptr<KestrondInstance>> ClosedMenuFollower::follow(
    const std::vector<std::string>& searchPaths, const std::vector<std::string>& candidates,
    const std::vector<std::shared_ptr<KestrondInstance>>& shown) {
  // Most publications show what the last one showed: the watcher, asked
  // again, would look up every path to change nothing.
  if (_watcher.revision() == _followedRevision && followed(searchPaths, candidates, shown)) {
    return {};
  }
  ChangeWatcher::WatchSet set{searchPaths, {}, candidates, {}};
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    set.instanceDirectories.push_back(instance->directory());
    if (instance->pidfd() >= 0) {
      set.servers.push_back({instance->pidfd(), instance->pid(), instance->directory()});
    }
  }
  std::vector<std::string> added = _watcher.watch(set);
  _followed = std::move(set);
  _followedRevision = _watcher.revision();
  std::vector<std::shared_ptr<KestrondInstance>> fresh;
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    if (std::find(added.begin(), added.end(), instance->directory()) != added.end()) {
      fresh.push_back(instance);
    }
  }
  return fresh;
}

bool ClosedMenuFollower::followed(
    const std::vector<std::string>& searchPaths, const std::vector<std::string>& candidates,
    const std::vector<std::shared_ptr<KestrondInstance>>& shown) const {
  if (searchPaths != _followed.searchPaths || candidates != _followed.candidateDirectories ||
      shown.size() != _followed.instanceDirectories.size()) {
    return false;
  }
  size_t servers = 0;
  for (size_t i = 0; i < shown.size(); ++i) {
    const KestrondInstance& instance = *shown[i];
    if (instance.directory() != _followed.instanceDirectories[i]) return false;
    if (instance.pidfd() < 0) continue;
    if (servers == _followed.servers.size()) return false;
    const ChangeWatcher::Server& server = _followed.servers[servers++];
    if (server.pidfd != instance.pidfd() || server.pid != instance.pid()) return false;
  }
  return servers == _followed.servers.size();
}

void ClosedMenuFollower::opened(bool refreshing) {
  _ticksSinceOpening = 0;
  // Without a refresh running, nothing would end an opening whose close
  // never comes.
  _state = refreshing ? MenuState::Open : MenuState::Closed;
}

void ClosedMenuFollower::closed() {
  _state = MenuState::Closed;
}

bool ClosedMenuFollower::ticked() {
  if (_state == MenuState::Open && ++_ticksSinceOpening >= kTicksWithoutOpening) {
    _state = MenuState::Closed;
  }
  return _state != MenuState::Closed;
}

void ClosedMenuFollower::collect() {
  ChangeWatcher::Changes seen = _watcher.takeChanges();
  _pending.rescan = _pending.rescan || seen.rescan;
  _pending.directories.merge(seen.directories);
}

std::set<std::string> ClosedMenuFollower::takeDirectories() {
  collect();
  return std::exchange(_pending.directories, {});
}

bool ClosedMenuFollower::seesChangesOf(const KestrondInstance& instance) const {
  switch (instance.serverStatus()) {
    case ServerStatus::Stopped:
      break;
    case ServerStatus::Running:
      if (instance.pidfd() < 0 || !_watcher.watchesServer(instance.pidfd())) return false;
      break;
    default:
      return false;
  }
  return _watcher.watchesInstance(instance.directory());
}

std::function<bool(const KestrondInstance&)> ClosedMenuFollower::runningServers() {
  collect();
  return [this](const KestrondInstance& instance) {
    return instance.serverStatus() == ServerStatus::Running &&
           _watcher.knowsRunning(instance.pidfd(), instance.pid());
  };
}

ChangeWatcher::Changes ClosedMenuFollower::takePending() {
  collect();
  return std::exchange(_pending, {});
}

}  // namespace kestrond
