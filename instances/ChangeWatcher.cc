#include "ChangeWatcher.h"

#include <errno.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "Error.h"

namespace kestrond {
namespace {

constexpr uint32_t kSearchPathEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// The log's own writes are left out: a running server appends to it all the
// time, and only its existence is shown.
constexpr uint32_t kInstanceEvents = kSearchPathEvents | IN_CLOSE_WRITE;

enum class Meaning { Nothing, Refresh, Rescan };

// What an event in an instance directory means for the menu: the lock file
// changes only the server's state; the directory itself, its configuration
// or its log coming or going change whether and how it is listed.
Meaning inInstanceDirectory(const inotify_event& event) {
  if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) return Meaning::Rescan;
  if (event.len == 0) return Meaning::Nothing;
  const char* name = event.name;
  if (std::strcmp(name, "kestrond.lck") == 0) return Meaning::Refresh;
  bool existence = event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
  if (existence &&
      (std::strcmp(name, "kestrond.ini") == 0 || std::strcmp(name, "kestrond.log") == 0)) {
    return Meaning::Rescan;
  }
  return Meaning::Nothing;
}

}  // namespace

ChangeWatcher::ChangeWatcher(LogSink& log) : _log(log) {
  _epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  _inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = _inotify.get();
  if (!_epoll || !_inotify || epoll_ctl(_epoll.get(), EPOLL_CTL_ADD, _inotify.get(), &event) != 0) {
    _log.write(
        Error(errno, "Cannot watch the instance directories; the menu is current when it opens")
            .text());
    _epoll.reset();
    _inotify.reset();
  }
}

bool ChangeWatcher::addWatch(const std::string& path, Kind kind) {
  uint32_t mask = (kind == Kind::SearchPath ? kSearchPathEvents : kInstanceEvents) | IN_ONLYDIR;
  int descriptor = inotify_add_watch(_inotify.get(), path.c_str(), mask);
  if (descriptor < 0) {
    // ENOSPC is the per-user limit on watches; one line says so, not one per
    // directory at every update.
    if (errno == ENOSPC && !_limitLogged) {
      _limitLogged = true;
      _log.write(
          "Too many directories to watch (fs.inotify.max_user_watches); some changes are "
          "seen only when the menu opens");
    }
    return false;
  }
  _directories[path] = Watch{descriptor, kind};
  _watched[descriptor] = path;
  return true;
}

std::vector<std::string> ChangeWatcher::watch(const std::vector<std::string>& searchPaths,
                                              const std::vector<std::string>& instanceDirectories,
                                              const std::vector<Server>& servers) {
  std::vector<std::string> added;
  if (!_epoll) return added;
  std::map<std::string, Kind> wanted;
  for (const std::string& path : instanceDirectories) wanted[path] = Kind::InstanceDirectory;
  for (const std::string& path : searchPaths) wanted[path] = Kind::SearchPath;
  for (auto it = _directories.begin(); it != _directories.end();) {
    auto keep = wanted.find(it->first);
    if (keep == wanted.end() || keep->second != it->second.kind) {
      // Fails only for a watch the kernel dropped already (the directory
      // went): gone either way.
      (void)inotify_rm_watch(_inotify.get(), it->second.descriptor);
      _watched.erase(it->second.descriptor);
      it = _directories.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [path, kind] : wanted) {
    if (!_directories.count(path) && addWatch(path, kind) && kind == Kind::InstanceDirectory) {
      added.push_back(path);
    }
  }

  // One-shot: a pidfd stays readable once its process has ended, and a
  // server whose parent never collects it would otherwise wake us for good.
  // A pidfd listed again for the same pid is the same file, reported or not,
  // and is left alone: a record closes its pidfd only when its server turns
  // Stopped or it takes another pid, and each refresh is followed by a
  // watch() call. A closed pidfd has left the epoll set with its file, so
  // its number can be added again for a new one.
  std::map<int, Server> listed;
  for (const Server& server : servers) listed[server.pidfd] = server;
  for (const auto& known : _servers) {
    // Unchecked on purpose: a pidfd closed since has left the set already.
    if (!listed.count(known.first)) {
      (void)epoll_ctl(_epoll.get(), EPOLL_CTL_DEL, known.first, nullptr);
    }
  }
  for (const auto& [fd, server] : listed) {
    auto known = _servers.find(fd);
    if (known != _servers.end() && known->second.pid == server.pid) continue;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    // EEXIST: the number's old file is still registered (open elsewhere).
    // A server that cannot be watched is still seen at the next opening.
    if (epoll_ctl(_epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0 && errno == EEXIST) {
      (void)epoll_ctl(_epoll.get(), EPOLL_CTL_MOD, fd, &event);
    }
  }
  _servers = std::move(listed);
  return added;
}

void ChangeWatcher::readEvents(Changes& changes) {
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  while (true) {
    ssize_t got = read(_inotify.get(), buffer, sizeof buffer);
    if (got <= 0) break;  // EAGAIN: drained
    for (char* at = buffer; at < buffer + got;) {
      const auto& event = *reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event.len;
      if (event.mask & IN_Q_OVERFLOW) {
        changes.rescan = true;  // events were lost: nothing short of a scan is sure
        continue;
      }
      auto path = _watched.find(event.wd);
      if (path == _watched.end()) continue;
      auto watch = _directories.find(path->second);
      // A search path's entries and an instance directory's make-up both
      // decide what is listed.
      Meaning meaning = watch != _directories.end() && watch->second.kind == Kind::SearchPath
                            ? Meaning::Rescan
                            : inInstanceDirectory(event);
      if (meaning == Meaning::Rescan) changes.rescan = true;
      if (meaning == Meaning::Refresh) changes.directories.insert(path->second);
    }
  }
}

ChangeWatcher::Changes ChangeWatcher::takeChanges() {
  Changes changes;
  if (!_epoll) return changes;
  epoll_event events[64];
  while (true) {
    int ready = epoll_wait(_epoll.get(), events, 64, 0);
    if (ready <= 0) break;
    bool inotifyReady = false;
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.fd == _inotify.get()) {
        inotifyReady = true;
      } else if (auto server = _servers.find(events[i].data.fd); server != _servers.end()) {
        changes.directories.insert(server->second.directory);  // its server ended
      }
    }
    if (inotifyReady) readEvents(changes);
    if (!inotifyReady) break;  // the one-shot pidfds are disarmed now
  }
  return changes;
}

}  // namespace kestrond
