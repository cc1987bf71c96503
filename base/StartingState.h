// What the monitor was started with, handed on to what it starts: the
// environment before the monitor exported the installation's variables
// (for the URLs and files it opens), and the soft limit on open files
// before it raised it for its servers' descriptors (for everything it
// starts). The one owner of both: the entry routine makes the one instance
// before anything changes either and raises the limit through it; the
// process control and the desktop read it. Main thread, except
// restoreFileLimit(), which children call between fork and exec.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

#include "Error.h"

namespace kestrond {

class StartingState {
 public:
  // Captures the environment and the limit as they are now.
  StartingState();

  const std::vector<std::string>& environment() const { return _environment; }
  // The soft limit on open files captured; RLIM_INFINITY where unknown.
  rlim_t fileLimit() const { return _limit.rlim_cur; }

  // Raises the monitor's soft limit on open files to the hard limit; the
  // Error (not logged) when the system refuses.
  Error raiseFileLimit();
  // Puts the soft limit back as captured where it was raised. Async-signal-
  // safe: for a child between fork and exec. Never fails in a way that
  // matters (the child then keeps the raised limit).
  void restoreFileLimit() const;

  // Runs `argv` (the program searched in the captured PATH) detached, in a
  // session of its own, with the captured environment and limit; the
  // monitor never waits for it. The Error when it could not be started.
  Error spawnDetached(const std::vector<std::string>& argv) const;

 private:
  std::vector<std::string> _environment;
  rlimit _limit{RLIM_INFINITY, RLIM_INFINITY};
  int _readError = 0;  // why the limit could not be read, if it could not
  bool _raised = false;
};

}  // namespace kestrond
