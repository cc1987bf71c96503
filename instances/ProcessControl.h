// The process table as the instance records see it: launching a detached
// server, signalling it, and asking whether a pid is alive.
//
// KestrondInstance reaches the process table only through the current
// ProcessControl, so that tests can put a recording fake in its place (see
// tests/support). The system implementation keeps a registry of the children
// it launched and collects only those: the desktop toolkit may have children
// of its own whose exit statuses are not ours to take. Main thread only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrond {

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;

  // Runs `file` (a path, or a bare name searched along PATH) with the argument
  // vector `arguments` in `directory`, as a child in a session of its own with
  // its standard descriptors on /dev/null. Returns the child's pid, or 0 when
  // no child could be created. Whether the exec succeeds is not known here.
  virtual pid_t launch(const std::string& file, const std::vector<std::string>& arguments,
                       const std::string& directory) = 0;

  // Sends `signal` to `pid`. Returns 0 on success, else the errno value; a pid
  // below 1 is refused with EINVAL and never reaches kill(2).
  virtual int sendSignal(pid_t pid, int signal) = 0;

  // True when `pid` is a live process other than the monitor itself. Ended
  // children of ours are collected first, so a server that has exited is not
  // mistaken for a live one; a pid below 1 is never running.
  virtual bool isRunning(pid_t pid) = 0;

  // What the process table says of a live pid: when it started (seconds
  // since the epoch) and whether it is a zombie. None when it cannot tell.
  struct ProcessInfo {
    double startTime = 0;
    bool zombie = false;
  };
  virtual std::optional<ProcessInfo> processInfo(pid_t pid) = 0;

  // The implementation in use: the system one unless a test installed another.
  static ProcessControl& current();
  // Installs `control` (nullptr restores the system one); returns the previous
  // one installed, nullptr for the system one.
  static ProcessControl* install(ProcessControl* control);
};

// The implementation over fork/execve, kill and waitpid.
class SystemProcessControl : public ProcessControl {
 public:
  static SystemProcessControl& instance();

  pid_t launch(const std::string& file, const std::vector<std::string>& arguments,
               const std::string& directory) override;
  int sendSignal(pid_t pid, int signal) override;
  bool isRunning(pid_t pid) override;
  // From /proc/<pid>/stat and the boot time in /proc/stat.
  std::optional<ProcessInfo> processInfo(pid_t pid) override;

  // How many launched children have not been collected yet.
  size_t uncollectedChildCount() const { return children_.size(); }

 private:
  SystemProcessControl() = default;
  // Collects every launched child that has ended; true if `pid` was one.
  bool collectEndedChildren(pid_t pid);

  std::vector<pid_t> children_;
};

// The paths execve should try, in order, for what execvp would run as `file`:
// the file itself (made absolute against the current directory) when it holds
// a "/", else each entry of `searchPath` joined with it ("" for an unset PATH
// means the system's default search path; an empty entry means the current
// directory, i.e. the working directory of the child).
std::vector<std::string> executableCandidates(const std::string& file, const char* searchPath);

}  // namespace kestrond
