// The process table as the instance records see it: launching a detached
// server, signalling it, and asking whether it is alive.
//
// KestrondInstance reaches the process table only through the
// ProcessControl it was given, so that tests can give it a recording fake
// (see tests/support). The program makes one SystemProcessControl: it keeps
// a registry of the children it launched and collects only those, since the
// desktop toolkit may have children of its own whose exit statuses are not
// ours to take. Main thread only.
//
// A process can be named by its pid alone or, where the system has them, by
// a pidfd as well: a descriptor that keeps naming the one process it was
// opened for, so that a pid given to another process after the server ended
// is never mistaken for the server, nor signalled.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Error.h"
#include "Log.h"
#include "StartingState.h"
#include "UniqueFd.h"

namespace kestrond {

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;

  // Runs `file` (a path, or a bare name searched along PATH) with the argument
  // vector `arguments` in `directory`, as a child in a session of its own with
  // its standard descriptors on /dev/null and no other descriptor of ours.
  // Returns the child's pid, or the Error (logged) when no child could be
  // created. Whether the exec succeeds is learnt later: a child that could
  // not run its file ends with status 1, and "Cannot start <file>: <reason>"
  // is logged when its end is collected. With a placement set, the child
  // waits for it before it runs its file (see setPlacement).
  virtual Result<pid_t> launch(const std::string& file, const std::vector<std::string>& arguments,
                               const std::string& directory) = 0;

  // Why the launched child `pid` could not run its file ("Cannot start
  // <file>: <reason>"), once its end has been collected; none when it ran
  // its file, has not been collected yet, or is no child of ours. Taking it
  // forgets it.
  virtual Error takeExecError(pid_t pid) = 0;

  // A pidfd for the live process `pid` (close-on-exec); none when the process
  // does not exist, the system has no pidfds (logged once), too few
  // descriptors would stay free for the rest of the program (logged once),
  // or no descriptor is free. A pid below 1 gets none.
  virtual UniqueFd openPidfd(pid_t pid) = 0;

  // Sends `signal` to `pid`, through `pidfd` when that is a pidfd for it (so
  // that only that process can be reached), else by pid. Returns the Error
  // of the failed call, none on success; a pid below 1 is refused with
  // EINVAL and never reaches kill(2).
  virtual Error sendSignal(pid_t pid, int pidfd, int signal) = 0;

  // True when `pid` is a live process, other than the monitor itself. With
  // a pidfd for it (-1 for none), true while that process has not ended (a
  // zombie has ended); without, true when the null signal reaches the pid.
  // Ended children of ours are collected first, so a server that has
  // exited is not mistaken for a live one; a pid below 1 is never running.
  virtual bool isRunning(pid_t pid, int pidfd) = 0;

  // What the process table says of a live pid: when it started (seconds
  // since the epoch, on today's mapping of the boot clock to the wall
  // clock), whether it is a zombie, and where it runs and what it runs
  // (empty when /proc will not tell, as for another user's process). None
  // when the process table cannot tell.
  struct ProcessInfo {
    double startTime = 0;
    bool zombie = false;
    std::string workingDirectory;
    std::string executable;
    // The first two words of its command line: the name it was given, and
    // for an interpreter the script it runs.
    std::vector<std::string> arguments;
  };
  virtual std::optional<ProcessInfo> processInfo(pid_t pid) = 0;

  // Where a launched server is put before it runs its file: asked with the
  // child's pid and the directory it was launched in, it must call
  // `release` exactly once, on the main loop, within a bounded time (the
  // server runs its file only then). With none, a child runs its file at
  // once. A child whose monitor ends before the release goes on too.
  using Placement =
      std::function<void(pid_t pid, const std::string& directory, std::function<void()> release)>;
  virtual void setPlacement(Placement placement) = 0;
};

// The implementation over fork/execve, pidfd_open, pidfd_send_signal, kill
// and waitpid. One per program: each collects only its own children.
class SystemProcessControl : public ProcessControl {
 public:
  // Exec failures and missing pidfds are logged to `log`, which outlives
  // it. Servers get the limit on open files `starting` captured (none: the
  // monitor's own); it outlives the process control too.
  explicit SystemProcessControl(LogSink& log, const StartingState* starting = nullptr)
      : _log(log), _starting(starting) {}
  SystemProcessControl(const SystemProcessControl&) = delete;
  SystemProcessControl& operator=(const SystemProcessControl&) = delete;

  Result<pid_t> launch(const std::string& file, const std::vector<std::string>& arguments,
                       const std::string& directory) override;
  Error takeExecError(pid_t pid) override;
  UniqueFd openPidfd(pid_t pid) override;
  Error sendSignal(pid_t pid, int pidfd, int signal) override;
  bool isRunning(pid_t pid, int pidfd) override;
  // From /proc/<pid>/stat, cwd and exe, and the boot clock.
  std::optional<ProcessInfo> processInfo(pid_t pid) override;
  void setPlacement(Placement placement) override { _placement = std::move(placement); }

  // How many launched children have not been collected yet.
  size_t uncollectedChildCount() const { return _children.size(); }

 private:
  struct Child {
    pid_t pid = 0;
    std::string file;    // as given to launch, for the log line
    UniqueFd execError;  // read end of the child's close-on-exec error pipe
    UniqueFd hold;       // write end of the pipe the child waits on; closing it lets it go
  };

  // Collects every launched child that has ended; true if `pid` was one.
  bool collectEndedChildren(pid_t pid);
  // The lowest descriptor number a pidfd may have: below the soft limit by
  // a reserve of an eighth of it, at least kMinimumReserve.
  int descriptorCeiling() const;
  static constexpr int kMinimumReserve = 32;
  // Reads what the child's error pipe holds, logging an exec failure; closes
  // the pipe once it has told whether the exec succeeded.
  void readExecError(Child& child);
  // Lets the held child `pid` run its file; nothing when it is not held.
  void release(pid_t pid);

  LogSink& _log;
  Placement _placement;
  std::vector<Child> _children;
  std::map<pid_t, Error> _execErrors;  // of collected children, until taken
  bool _pidfdsMissing = false;
  bool _reserveLogged = false;
  const StartingState* _starting;
};

}  // namespace kestrond
