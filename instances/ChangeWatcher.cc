#include "ChangeWatcher.h"

#include <errno.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "Error.h"
#include "Paths.h"

namespace kestrond {
namespace {

// One mask for every watched directory, so that two paths of one directory
// (a link beside its target, a search path that is an instance itself) ask
// the kernel for the same watch. The log's own writes are passed over when
// read: a running server appends to it all the time, and only its
// existence is shown.
constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                             IN_MOVE_SELF | IN_CLOSE_WRITE | IN_ONLYDIR | IN_MASK_ADD;
// A search path's parent (a home directory, say) is busy: only names that
// arrive in it are asked for. Masks are only ever added to, so a directory
// that is a parent and more gets both.
constexpr uint32_t kParentEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

bool named(const char* name, const char* file) {
  return name && std::strcmp(name, file) == 0;
}

}  // namespace

int InotifyCalls::addWatch(int inotify, const std::string& path, uint32_t mask) {
  return inotify_add_watch(inotify, path.c_str(), mask);
}

ssize_t InotifyCalls::readEvents(int inotify, void* buffer, size_t size) {
  return read(inotify, buffer, size);
}

InotifyCalls& InotifyCalls::system() {
  static InotifyCalls calls;
  return calls;
}

ChangeWatcher::ChangeWatcher(LogSink& log, InotifyCalls& calls) : _log(log), _calls(calls) {
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

bool ChangeWatcher::addWatch(const std::string& path, unsigned roles) {
  int descriptor =
      _calls.addWatch(_inotify.get(), path, roles == kParent ? kParentEvents : kEvents);
  if (descriptor < 0) {
    // ENOSPC is the per-user limit on watches; one line says so, not one per
    // directory at every update, and the refused ones wait for a rescan.
    if (errno == ENOSPC) {
      _refused.insert(path);
      if (!_limitLogged) {
        _limitLogged = true;
        _log.write(
            "Too many directories to watch (fs.inotify.max_user_watches); some changes are "
            "seen only when the menu opens");
      }
    }
    return false;
  }
  _paths[path] = PathWatch{descriptor, roles};
  _byDescriptor[descriptor].insert(path);
  return true;
}

void ChangeWatcher::forget(const std::string& path) {
  auto known = _paths.find(path);
  if (known == _paths.end()) return;
  ++_revision;
  int descriptor = known->second.descriptor;
  _paths.erase(known);
  auto users = _byDescriptor.find(descriptor);
  if (users == _byDescriptor.end()) return;
  users->second.erase(path);
  if (!users->second.empty()) return;  // another path of the same directory still uses it
  _byDescriptor.erase(users);
  // Fails only for a watch the kernel dropped already (the directory went):
  // gone either way.
  (void)inotify_rm_watch(_inotify.get(), descriptor);
}

std::vector<std::string> ChangeWatcher::watch(const WatchSet& set) {
  std::vector<std::string> added;
  if (!_epoll) return added;
  std::map<std::string, unsigned> wanted;
  for (const std::string& path : set.candidateDirectories) wanted[path] |= kCandidate;
  for (const std::string& path : set.instanceDirectories) wanted[path] |= kInstance;
  for (const std::string& path : set.searchPaths) {
    wanted[path] |= kSearchPath;
    std::string parent = parentPath(path);
    if (!parent.empty() && parent != path) wanted[parent] |= kParent;
  }
  _searchPaths = std::set<std::string>(set.searchPaths.begin(), set.searchPaths.end());

  std::vector<std::string> unwanted;
  for (const auto& [path, watch] : _paths) {
    if (!wanted.count(path)) unwanted.push_back(path);
  }
  for (const std::string& path : unwanted) forget(path);
  for (const auto& [path, roles] : wanted) {
    auto known = _paths.find(path);
    if (known != _paths.end()) {
      // A parent that has become more asks for the rest of the events.
      if (known->second.roles == kParent && roles != kParent) {
        (void)_calls.addWatch(_inotify.get(), path, kEvents);  // same directory: same watch
      }
      known->second.roles = roles;
      continue;
    }
    if (_refused.count(path)) continue;
    if (addWatch(path, roles) && (roles & kInstance)) added.push_back(path);
  }

  // One-shot: a pidfd stays readable once its process has ended, and a
  // server whose parent never collects it would otherwise wake us for good.
  // A pidfd listed again for the same pid is the same file, reported or not,
  // and is left alone: a record closes its pidfd only when its server turns
  // Stopped or it takes another pid, and each refresh is followed by a
  // watch() call. A closed pidfd has left the epoll set with its file, so
  // its number can be added again for a new one.
  std::unordered_map<int, WatchedServer> listed;
  for (const Server& server : set.servers) listed[server.pidfd].server = server;
  for (const auto& known : _servers) {
    // Unchecked on purpose: a pidfd closed since has left the set already.
    if (!listed.count(known.first)) {
      (void)epoll_ctl(_epoll.get(), EPOLL_CTL_DEL, known.first, nullptr);
    }
  }
  for (auto& [fd, watched] : listed) {
    auto known = _servers.find(fd);
    if (known != _servers.end() && known->second.server.pid == watched.server.pid) {
      watched.armed = known->second.armed;
      watched.ended = known->second.ended;
      continue;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    // EEXIST: the number's old file is still registered (open elsewhere).
    // A server that cannot be watched is still seen at the next opening.
    watched.armed = epoll_ctl(_epoll.get(), EPOLL_CTL_ADD, fd, &event) == 0 ||
                    (errno == EEXIST && epoll_ctl(_epoll.get(), EPOLL_CTL_MOD, fd, &event) == 0);
  }
  _servers = std::move(listed);
  return added;
}

void ChangeWatcher::interpret(int descriptor, uint32_t mask, const char* name, Changes& changes) {
  auto users = _byDescriptor.find(descriptor);
  if (users == _byDescriptor.end()) return;
  // A copy: forgetting a path changes the set.
  const std::set<std::string> paths = users->second;
  if (mask & kSelfEvents) {
    // The directory went, or moved away with its watch: whatever stands at
    // its paths from now on is watched afresh by the next watch().
    bool moved = mask & IN_MOVE_SELF;
    for (const std::string& path : paths) forget(path);
    if (moved) (void)inotify_rm_watch(_inotify.get(), descriptor);  // follows the moved one
    changes.rescan = true;
    return;
  }
  for (const std::string& path : paths) {
    auto watch = _paths.find(path);
    if (watch == _paths.end()) continue;
    unsigned roles = watch->second.roles;
    bool entry = mask & kEntryEvents;
    if ((roles & kSearchPath) && entry && (mask & IN_ISDIR || !named(name, "kestrond.lck"))) {
      changes.rescan = true;  // an entry came or went
    }
    if (roles & kInstance) {
      if (named(name, "kestrond.lck")) {
        changes.directories.insert(path);
      } else if (entry && (named(name, "kestrond.ini") || named(name, "kestrond.log"))) {
        changes.rescan = true;
      }
    }
    if ((roles & kCandidate) && named(name, "kestrond.ini")) changes.rescan = true;
    if ((roles & kParent) && (mask & (IN_CREATE | IN_MOVED_TO)) && name &&
        _searchPaths.count(appendPathComponent(path, name))) {
      changes.rescan = true;  // a search path is back
    }
  }
}

void ChangeWatcher::readEvents(Changes& changes) {
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  while (true) {
    ssize_t got = _calls.readEvents(_inotify.get(), buffer, sizeof buffer);
    if (got <= 0) break;  // EAGAIN: drained
    for (char* at = buffer; at < buffer + got;) {
      const auto& event = *reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event.len;
      if (event.mask & IN_Q_OVERFLOW) {
        // Events were lost: nothing short of reading everything again is sure.
        _log.write("Too many file changes at once; the instance directories are read again");
        changes.rescan = true;
        continue;
      }
      interpret(event.wd, event.mask, event.len > 0 ? event.name : nullptr, changes);
    }
  }
}

bool ChangeWatcher::watchesInstance(const std::string& directory) const {
  auto watched = _paths.find(directory);
  return watched != _paths.end() && (watched->second.roles & kInstance) &&
         watched->second.descriptor >= 0;
}

bool ChangeWatcher::knowsRunning(int pidfd, pid_t pid) const {
  auto watched = _servers.find(pidfd);
  return watched != _servers.end() && watched->second.server.pid == pid && watched->second.armed &&
         !watched->second.ended;
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
        server->second.ended = true;
        changes.directories.insert(server->second.server.directory);  // its server ended
      }
    }
    if (inotifyReady) readEvents(changes);
    // The one-shot pidfds told are disarmed now; a full batch may have left
    // others for the next wait.
    if (!inotifyReady && ready < 64) break;
  }
  return changes;
}

}  // namespace kestrond
