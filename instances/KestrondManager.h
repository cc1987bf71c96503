// The instances found under a short list of search paths.
//
// The application creates one manager, gives it the installation directory
// as its search path, and asks it for allInstances() each time the status
// menu opens. The table of instances is the only thing kept between calls, so
// a directory that stays an instance is the same KestrondInstance object in
// every list, with its states carried over. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "KestrondInstance.h"

namespace kestrond {

class KestrondManager {
 public:
  // Records reach the process table through `processes` and log to `log`;
  // both outlive the manager.
  KestrondManager(ProcessControl& processes, LogSink& log) : _processes(processes), _log(log) {}

  // True when the path names an existing directory (a final link is followed).
  bool isDirectory(const std::string& path) const;
  // Appends the path, its links resolved, to the search paths if it is a
  // directory; otherwise does nothing. Duplicates are kept.
  void addSearchPath(const std::string& path);
  // Adds a record for the directory, keyed by exactly this string, if it is a
  // valid instance directory not yet in the table.
  void watchDirectory(const std::string& path);
  // Tells the instances whose server is known to run as of now, without a
  // look at the process table (a watcher of its pidfd has not told its end).
  using KnownRunning = std::function<bool(const KestrondInstance&)>;

  // Scans the search paths (dropping those that cannot be listed), refreshes
  // every known instance, drops the invalid ones and returns the rest in path
  // order. Always returns a list, possibly empty.
  std::vector<std::shared_ptr<KestrondInstance>> allInstances(const KnownRunning& running = {});
  // The same scan for keeping a closed menu current: a search path that
  // cannot be listed now is kept, silently, since it may be between a
  // rename away and a copy renamed in; the next allInstances() decides.
  std::vector<std::shared_ptr<KestrondInstance>> currentInstances(const KnownRunning& running = {});

  const std::vector<std::string>& searchPaths() const { return _searchPaths; }
  // The directories in a search path that were no instance at the last
  // scan (no configuration file yet), at most kMaxCandidates of them.
  const std::vector<std::string>& candidateDirectories() const { return _candidates; }
  static constexpr size_t kMaxCandidates = 256;

 private:
  std::vector<std::shared_ptr<KestrondInstance>> scan(bool dropUnlistable,
                                                      const KnownRunning& running);

  ProcessControl& _processes;
  LogSink& _log;
  std::vector<std::string> _searchPaths;
  std::vector<std::string> _candidates;
  // Looked up by path; listed in path order, kept sorted while no instance
  // comes or goes. Each coming or going counts in _tableChanges.
  std::unordered_map<std::string, std::shared_ptr<KestrondInstance>> _instances;
  std::vector<std::shared_ptr<KestrondInstance>> _inPathOrder;
  uint64_t _tableChanges = 1;
  uint64_t _inPathOrderAt = 0;
  // A search path's listing as last read, and the paths in it that were no
  // known instance then, sorted: while neither the listing nor the table
  // changes, the same ones are unknown, and no name is looked up.
  struct Listing {
    std::vector<std::string> names;
    std::vector<std::string> unknown;
    uint64_t tableChanges = 0;
  };
  std::unordered_map<std::string, Listing> _listings;  // by search path
};

}  // namespace kestrond
