#include "KestrondManager.h"

#include <algorithm>

#include "Paths.h"
#include "Text.h"

namespace kestrond {

bool KestrondManager::isDirectory(const std::string& path) const {
  return isDirectoryPath(path);
}

void KestrondManager::addSearchPath(const std::string& path) {
  std::string resolved = resolveSymlinks(path);
  if (isDirectory(resolved)) _searchPaths.push_back(resolved);
}

void KestrondManager::watchDirectory(const std::string& path) {
  // A known instance is checked by its own refresh, so it costs no stat here.
  if (_instances.count(path) != 0) return;
  if (!isDirectory(path)) return;
  auto instance = std::make_shared<KestrondInstance>(path, _processes, _log);
  if (!instance->isValid()) return;
  _log.write(formatText("Watching directory: %@", {path}));
  _instances.emplace(path, std::move(instance));
  ++_tableChanges;
}

std::vector<std::shared_ptr<KestrondInstance>> KestrondManager::allInstances(
    const KnownRunning& running) {
  return scan(true, running);
}

std::vector<std::shared_ptr<KestrondInstance>> KestrondManager::currentInstances(
    const KnownRunning& running) {
  return scan(false, running);
}

std::vector<std::shared_ptr<KestrondInstance>> KestrondManager::scan(bool dropUnlistable,
                                                                     const KnownRunning& running) {
  // Walk the list as it stood when the call began; failures remove entries.
  const std::vector<std::string> walk = _searchPaths;
  _candidates.clear();
  // Each listed directory stays open until its entries are refreshed, which
  // name their files from it.
  std::vector<std::pair<const std::string*, UniqueFd>> listed;
  for (const std::string& searchPath : walk) {
    Result<UniqueFd> directory = openDirectory(searchPath);
    Result<std::vector<std::string>> names =
        directory.ok() ? listDirectory(directory.value().get()) : directory.error();
    if (!names.ok()) {
      if (dropUnlistable) {
        _log.write(formatText("Invalid directory %@: %@", {searchPath, names.error().text()}));
        std::erase(_searchPaths, searchPath);
        _listings.erase(searchPath);
      }
      continue;
    }
    int at = directory.value().get();
    watchDirectory(searchPath);
    // Known instances are read by their refresh below; the rest are taken
    // in byte order, so that which are watched, and the log, do not depend
    // on the file system's order.
    // Each entry's path in one buffer: a name has no "/" of its own.
    std::string entry = appendPathComponent(searchPath, "-");
    const size_t prefix = entry.size() - 1;
    Listing& last = _listings[searchPath];
    if (last.tableChanges != _tableChanges || last.names != names.value()) {
      last.unknown.clear();
      for (const std::string& name : names.value()) {
        entry.resize(prefix);
        entry += name;
        if (_instances.count(entry) == 0) last.unknown.push_back(entry);
      }
      std::sort(last.unknown.begin(), last.unknown.end());
      last.names = std::move(names.value());
      last.tableChanges = _tableChanges;
    }
    for (const std::string& path : last.unknown) {
      watchDirectory(path);
      // A directory may be made first and given its configuration a moment
      // later (cp -r, an installer): it is watched until it is an instance.
      if (!_instances.count(path) && _candidates.size() < kMaxCandidates &&
          pathKind(PathAt{at, path.c_str() + prefix}) == PathKind::Directory) {
        _candidates.push_back(path);
      }
    }
    listed.emplace_back(&searchPath, std::move(directory.value()));
  }

  if (_inPathOrderAt != _tableChanges) {
    _inPathOrderAt = _tableChanges;
    _inPathOrder.clear();
    for (const auto& [path, instance] : _instances) _inPathOrder.push_back(instance);
    std::sort(_inPathOrder.begin(), _inPathOrder.end(),
              [](const auto& a, const auto& b) { return a->directory() < b->directory(); });
  }
  // Walked in place: a record dropped below stays in _inPathOrder, alive,
  // until the next scan sorts the table again.
  std::vector<std::shared_ptr<KestrondInstance>> result;
  result.reserve(_inPathOrder.size());
  for (const std::shared_ptr<KestrondInstance>& instance : _inPathOrder) {
    auto parent = std::find_if(listed.begin(), listed.end(), [&](const auto& entry) {
      return isEntryOf(instance->directory(), *entry.first);
    });
    bool knownRunning = running && running(*instance);
    if (parent != listed.end()) {
      instance->refresh(parent->second.get(), *parent->first, knownRunning);
    } else {
      instance->refresh(knownRunning);
    }
    if (instance->entryStatus() == EntryStatus::Invalid) {
      _log.write(formatText("No longer watching directory: %@", {instance->directory()}));
      _instances.erase(instance->directory());
      ++_tableChanges;
    } else {
      result.push_back(instance);
    }
  }
  return result;
}

}  // namespace kestrond
