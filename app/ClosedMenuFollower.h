// Keeps the status menu current while it is closed: a D-Bus panel may fetch
// the menu before it tells of an opening, or never tell at all.
//
// It owns the change watcher (inotify on the search paths and the shown
// instance directories, pidfds of the shown servers) and its watch on the
// main loop, and knows whether the menu counts as open: changes seen while
// it does are kept until it closes, since the open menu follows its own
// refresh. An opening counts only until the refresh has ticked for a while
// without another: some hosts never tell of a close, and a host that does
// may lose one (it died or restarted with the menu shown). Owned by the
// application, which applies what it hands out. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ChangeWatcher.h"
#include "Desktop.h"
#include "KestrondInstance.h"

namespace kestrond {

// Refresh ticks after the last opening at which the opening stops counting
// (10 s at half a second).
inline constexpr int kTicksWithoutOpening = 20;

class ClosedMenuFollower {
 public:
  enum class MenuState { Closed, Open };

  // Calls `changed` from the main loop when the watcher has something.
  // `desktop` and `log` outlive the follower.
  ClosedMenuFollower(Desktop& desktop, LogSink& log, std::function<void()> changed);

  // Watches the search paths and what the shown instances are from now on;
  // returns the shown instances watched from now on, whose state must be
  // read once more (a change before the watch was not seen).
  std::vector<std::shared_ptr<KestrondInstance>> follow(
      const std::vector<std::string>& searchPaths, const std::vector<std::string>& candidates,
      const std::vector<std::shared_ptr<KestrondInstance>>& shown);

  // The host's word on the menu. `refreshing`: the open menu refreshes
  // itself (it lists instances).
  void opened(bool refreshing);
  void closed();
  // One refresh tick while open; false once the opening stops counting.
  bool ticked();
  bool countsOpen() const { return _state != MenuState::Closed; }

  // What has been seen and not yet applied, taken out; a scan covers it all.
  ChangeWatcher::Changes takePending();
  // The instance directories seen to change, taken out; whether a scan is
  // needed stays pending (the open menu lists what its opening listed).
  std::set<std::string> takeDirectories();
  // Whether a change to what `instance` shows would be seen: its directory
  // is watched, its server (if running) by its pidfd, and it is in no
  // state that only a look at the processes ends (starting, stopping).
  bool seesChangesOf(const KestrondInstance& instance) const;
  // Reads what the watcher has, then tells which servers are known to run
  // as of now without asking the process table: those running, whose end
  // the watcher would have told and has not. For the scan that follows at
  // once; valid until the loop runs again.
  std::function<bool(const KestrondInstance&)> runningServers();
  void rescanned() {
    _pending = {};
    _watcher.retryRefused();
  }

 private:
  void collect();
  // Whether these are what the watcher was last handed.
  bool followed(const std::vector<std::string>& searchPaths,
                const std::vector<std::string>& candidates,
                const std::vector<std::shared_ptr<KestrondInstance>>& shown) const;

  ChangeWatcher _watcher;
  std::unique_ptr<DescriptorWatch> _watch;
  MenuState _state = MenuState::Closed;
  int _ticksSinceOpening = 0;
  ChangeWatcher::Changes _pending;
  ChangeWatcher::WatchSet _followed;  // as last handed to the watcher
  uint64_t _followedRevision = 0;
};

}  // namespace kestrond
