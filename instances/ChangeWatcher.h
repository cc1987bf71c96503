// Tells, without polling, when what the status menu shows may have changed
// while nobody asks: an entry appearing or going in a search path, a lock,
// configuration or log file appearing, going or (the lock file) being
// rewritten in a known instance directory (inotify), or a watched server
// ending (its pidfd becomes readable).
//
// It says which instance directories may show something new (a server of
// theirs ended, their lock file changed) and whether only a scan can tell
// (entries of a search path, an instance's configuration or log coming or
// going, events lost); whoever listens refreshes the records. One
// descriptor, an epoll set, becomes readable then: the desktop's event loop
// watches it. Nothing wakes up while nothing changes. Used by the
// application. Main thread only.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
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

  // A server to be told of when it ends: its pidfd, the pid it is for, and
  // the instance directory it serves.
  struct Server {
    int pidfd = -1;
    pid_t pid = 0;
    std::string directory;
  };

  // What was seen since the last look.
  struct Changes {
    std::set<std::string> directories;  // instance directories to refresh
    bool rescan = false;                // only a scan of the search paths tells
    bool empty() const { return directories.empty() && !rescan; }
  };

  // Watches exactly these directories and servers from now on. Each server
  // is reported once, when its process ends; one already reported is not
  // reported again while it stays in the set. What is already watched costs
  // no system call. A directory that cannot be watched (the kernel's limit
  // on watches, say) is logged once. Returns the instance directories
  // watched from this call on: what changed in them before is not reported,
  // so the caller reads them once more.
  std::vector<std::string> watch(const std::vector<std::string>& searchPaths,
                                 const std::vector<std::string>& instanceDirectories,
                                 const std::vector<Server>& servers);

  // Drains what is pending without blocking: what may change what the menu
  // shows; empty when nothing did.
  Changes takeChanges();

  size_t watchedDirectoryCount() const { return _directories.size(); }

 private:
  enum class Kind { SearchPath, InstanceDirectory };
  struct Watch {
    int descriptor = -1;
    Kind kind = Kind::SearchPath;
  };
  void readEvents(Changes& changes);
  bool addWatch(const std::string& path, Kind kind);

  LogSink& _log;
  UniqueFd _epoll;
  UniqueFd _inotify;
  std::map<std::string, Watch> _directories;  // by path
  std::map<int, std::string> _watched;        // path by watch descriptor
  std::map<int, Server> _servers;             // by pidfd
  bool _limitLogged = false;
};

}  // namespace kestrond
