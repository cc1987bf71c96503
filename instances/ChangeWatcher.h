// Tells, without polling, when what the status menu shows may have changed
// while nobody asks: an entry appearing or going in a search path, a lock,
// configuration or log file appearing, going or being rewritten in a known
// instance directory, a configuration file appearing in a directory that is
// not an instance yet, a search path that was renamed away coming back
// (inotify), or a watched server ending (its pidfd becomes readable).
//
// It says which instance directories may show something new (a server of
// theirs ended, their lock file changed) and whether only a scan can tell
// (entries coming or going, a watched directory itself gone or replaced,
// events lost); whoever listens refreshes the records. A directory that
// goes is forgotten, so that the next watch() watches whatever then stands
// at its path. Kernel watches are kept by watch descriptor with every path
// that uses one (two paths of one directory share it), and removed only
// when no path uses them. One descriptor, an epoll set, becomes readable
// when there is something: the desktop's event loop watches it. Nothing
// wakes up while nothing changes. Used by the application. Main thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Log.h"
#include "UniqueFd.h"

namespace kestrond {

// The inotify calls the watcher makes, so that tests can make the kernel's
// limits show (a full watch table, an overflowing event queue).
class InotifyCalls {
 public:
  virtual ~InotifyCalls() = default;
  // inotify_add_watch(2): the watch descriptor, or -1 with errno set.
  virtual int addWatch(int inotify, const std::string& path, uint32_t mask);
  // read(2) of the inotify descriptor: bytes read, or -1 with errno set.
  virtual ssize_t readEvents(int inotify, void* buffer, size_t size);

  static InotifyCalls& system();
};

class ChangeWatcher {
 public:
  // An empty watch set. Without inotify or epoll (logged once) descriptor()
  // is -1 and nothing is ever reported. Trouble goes to `log`, which
  // outlives the watcher, as do `calls`.
  explicit ChangeWatcher(LogSink& log, InotifyCalls& calls = InotifyCalls::system());

  // The descriptor to watch for reading, or -1.
  int descriptor() const { return _epoll.get(); }

  // A server to be told of when it ends: its pidfd, the pid it is for, and
  // the instance directory it serves.
  struct Server {
    int pidfd = -1;
    pid_t pid = 0;
    std::string directory;
  };

  // What to watch: the search paths (and, for their coming back, their
  // parents), the instance directories, the directories in a search path
  // that may become instances, and the servers.
  struct WatchSet {
    std::vector<std::string> searchPaths;
    std::vector<std::string> instanceDirectories;
    std::vector<std::string> candidateDirectories;
    std::vector<Server> servers;
  };

  // What was seen since the last look.
  struct Changes {
    std::set<std::string> directories;  // instance directories to refresh
    bool rescan = false;                // only a scan of the search paths tells
    bool empty() const { return directories.empty() && !rescan; }
  };

  // Watches exactly this set from now on. Each server is reported once,
  // when its process ends; one already reported is not reported again while
  // it stays in the set. What is already watched costs no system call; a
  // directory that could not be watched because the kernel's table is full
  // is tried again only after retryRefused(). Returns the instance
  // directories watched from this call on: what changed in them before is
  // not reported, so the caller reads them once more.
  std::vector<std::string> watch(const WatchSet& set);
  // Lets the next watch() try again the directories the kernel refused.
  void retryRefused() {
    if (!_refused.empty()) ++_revision;
    _refused.clear();
  }
  // Counts what makes handing over the same set again worth it: a path
  // forgotten (it went), refused directories to try again. While it stays,
  // a watch() of the set last watched changes nothing.
  uint64_t revision() const { return _revision; }

  // Drains what is pending without blocking: what may change what the menu
  // shows; empty when nothing did.
  Changes takeChanges();

  size_t watchedDirectoryCount() const { return _paths.size(); }
  // Whether a change in this instance directory would be told: it is
  // watched as one.
  bool watchesInstance(const std::string& directory) const;
  // Whether the end of the server with this pidfd would be told.
  bool watchesServer(int pidfd) const { return _servers.count(pidfd) > 0; }
  // Whether the server with this pidfd and pid is known to run, as of the
  // last takeChanges(): its end would have been told and was not. False for
  // a server the kernel would not watch.
  bool knowsRunning(int pidfd, pid_t pid) const;

 private:
  // What a watched path is to the menu; one path may be several.
  enum Role : unsigned {
    kSearchPath = 1,
    kInstance = 2,
    kCandidate = 4,
    kParent = 8,  // of a search path, for its coming back
  };
  struct PathWatch {
    int descriptor = -1;
    unsigned roles = 0;
  };
  void readEvents(Changes& changes);
  void interpret(int descriptor, uint32_t mask, const char* name, Changes& changes);
  // Ends the path's use of its kernel watch; the watch goes with its last path.
  void forget(const std::string& path);
  bool addWatch(const std::string& path, unsigned roles);

  LogSink& _log;
  InotifyCalls& _calls;
  UniqueFd _epoll;
  UniqueFd _inotify;
  std::map<std::string, PathWatch> _paths;             // by path
  std::map<int, std::set<std::string>> _byDescriptor;  // paths by watch descriptor
  std::set<std::string> _searchPaths;                  // for the parents' events
  std::set<std::string> _refused;                      // the table was full
  struct WatchedServer {
    Server server;
    bool armed = false;  // in the epoll set
    bool ended = false;  // told
  };
  std::unordered_map<int, WatchedServer> _servers;  // by pidfd
  bool _limitLogged = false;
  uint64_t _revision = 0;
};

}  // namespace kestrond
