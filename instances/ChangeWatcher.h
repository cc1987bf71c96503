// Tells, without polling, when what the status menu shows may have changed
// while nobody asks: an entry appearing or going in a search path, a lock,
// configuration or log file appearing, going or (the lock file) being
// rewritten in a known instance directory (inotify), or a watched server
// ending (its pidfd becomes readable).
//
// It says only that something may have changed; whoever listens refreshes
// the records. One descriptor, an epoll set, becomes readable then: the
// desktop's event loop watches it. Nothing wakes up while nothing changes.
// Used by the application. Main thread only.
#pragma once

#include <sys/types.h>
#include <map>
#include <string>
#include <vector>

#include "Log.h"
#include "UniqueFd.h"

namespace kestrond {

class ChangeWatcher {
 public:
  // An empty watch set. Without inotify or epoll (logged once) descriptor()
  // is -1 and nothing is ever reported. Trouble goes to `log`, which
  // outlives the watcher.
  explicit ChangeWatcher(LogSink& log);

  // The descriptor to watch for reading, or -1.
  int descriptor() const { return _epoll.get(); }

  // A server to be told of when it ends: its pidfd, and the pid it is for.
  struct Server {
    int pidfd = -1;
    pid_t pid = 0;
  };

  // Watches exactly these directories and servers from now on. Each server
  // is reported once, when its process ends; one already reported is not
  // reported again while it stays in the set. What is already watched costs
  // no system call. A directory that cannot be watched (the kernel's limit
  // on watches, say) is logged once.
  void watch(const std::vector<std::string>& searchPaths,
             const std::vector<std::string>& instanceDirectories,
             const std::vector<Server>& servers);

  // Drains what is pending without blocking; true when anything that may
  // change what the menu shows was seen.
  bool takeChanges();

  size_t watchedDirectoryCount() const { return _directories.size(); }

 private:
  enum class Kind { SearchPath, InstanceDirectory };
  struct Watch {
    int descriptor = -1;
    Kind kind = Kind::SearchPath;
  };
  bool readEvents();
  void watchDirectory(const std::string& path, Kind kind);

  LogSink& _log;
  UniqueFd _epoll;
  UniqueFd _inotify;
  std::map<std::string, Watch> _directories;  // by path
  std::map<int, Kind> _kinds;                 // by watch descriptor
  std::map<int, pid_t> _servers;              // pid by pidfd
  bool _limitLogged = false;
};

}  // namespace kestrond
