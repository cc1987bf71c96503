// Fixtures and helpers shared by the tests: temporary directories, captured
// log lines, saved environment variables, helper processes, and waiting for
// a condition with a generous bound (never a timing assertion).
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "KestrondInstance.h"
#include "Log.h"
#include "ProcessControl.h"

namespace kestrond::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return _path; }
  // path()/relative; creates the directory (and its parents).
  std::string makeDir(const std::string& relative) const;
  // Writes `contents` to path()/relative, creating parent directories.
  std::string writeFile(const std::string& relative, const std::string& contents) const;
  // An instance directory: path()/name with a "kestrond.ini" holding `ini`.
  std::string makeInstance(const std::string& name, const std::string& ini = "") const;

 private:
  std::string _path;
};

// A log sink that keeps every line written to it.
class LogCapture : public LogSink {
 public:
  void write(const std::string& line) override { _lines.push_back(line); }
  const std::vector<std::string>& lines() const { return _lines; }
  void clear() { _lines.clear(); }

 private:
  std::vector<std::string> _lines;
};

// Sets or unsets environment variables, restoring them on destruction.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment();
  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);
  std::map<std::string, std::optional<std::string>> _saved;
};

// A helper process that sleeps until it is killed; not a child the process
// control launched, so only the test collects it.
class SleepingProcess {
 public:
  SleepingProcess();
  ~SleepingProcess();
  pid_t pid() const { return _pid; }
  // Stops it (SIGSTOP) and returns once it is stopped, so that a signal sent
  // afterwards stays pending; true when it stopped.
  bool suspend();
  // Kills and collects it; its pid is then dead.
  void end();

 private:
  pid_t _pid = 0;
};

// Stops the child `pid` (SIGSTOP) and returns once it is stopped, so that a
// signal sent afterwards stays pending until SIGCONT; true when it stopped.
// The stop is left for its parent to see, which only notices ends.
bool suspendChild(pid_t pid);

// A FIFO that holds a stand-in server at its start ("hold_fifo" in its
// [standin] section) until release(): what the monitor shows of a server
// that has not got further is then there to read, however loaded the
// machine. The FIFO stays open here, so the server never waits to open it
// and a line written before it reads is kept for it.
class ServerHold {
 public:
  explicit ServerHold(const TempDir& dir);
  ~ServerHold();
  ServerHold(const ServerHold&) = delete;
  ServerHold& operator=(const ServerHold&) = delete;
  // The stand-in settings that make a server wait here.
  std::string settings() const { return "[standin]\nhold_fifo = " + _path + "\n"; }
  // Lets one waiting (or coming) server go on.
  void release();

 private:
  std::string _path;
  int _fd = -1;
};

// A pid that belongs to no process (a child that was started and collected).
pid_t deadPid();

// Polls `condition` every 20 ms for up to `seconds`; true once it holds.
bool waitFor(const std::function<bool()>& condition, double seconds = 20.0);

// Refreshes `instance` until its server status is `status` (bounded as
// waitFor); true once it is.
bool refreshUntil(KestrondInstance& instance, ServerStatus status);

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);

// The "key=value" lines of a stand-in report file.
std::map<std::string, std::string> readReport(const std::string& path);

// Runs `body` in a forked child and returns its exit status; none when the
// child did not exit normally.
std::optional<int> runInChild(const std::function<int()>& body);

// Runs `body` in a forked child with the identity of user "nobody" and
// returns its exit status, or nullopt when privileges cannot be dropped
// (the caller then skips with a reason).
std::optional<int> runAsUnprivileged(const std::function<int()>& body);
bool canDropPrivileges();

// The stand-in server built with the tests.
std::string standinServerPath();

// A process control that records what it was asked and can be told to fail;
// what it does not fake it passes on to a system implementation of its own,
// which logs to `log`.
class RecordingProcessControl : public ProcessControl {
 public:
  explicit RecordingProcessControl(LogSink& log) : _system(log) {}
  SystemProcessControl& system() { return _system; }

  struct Launch {
    std::string file;
    std::vector<std::string> arguments;
    std::string directory;
  };
  std::vector<Launch> launches;
  std::vector<std::pair<pid_t, int>> signals;
  bool failFork = false;
  std::function<void()> beforeLaunch;  // runs just before each launch
  int signalError = 0;                 // errno to report from sendSignal instead of signalling
  bool noPidfds = false;               // as on a system without them
  int signalsThroughPidfd = 0;
  int runningChecks = 0;  // isRunning calls

  Result<pid_t> launch(const std::string& file, const std::vector<std::string>& arguments,
                       const std::string& directory) override;
  Error takeExecError(pid_t pid) override { return _system.takeExecError(pid); }
  UniqueFd openPidfd(pid_t pid) override;
  Error sendSignal(pid_t pid, int pidfd, int signal) override;
  bool isRunning(pid_t pid, int pidfd) override;
  std::optional<ProcessInfo> processInfo(pid_t pid) override;
  void setPlacement(Placement placement) override { _system.setPlacement(std::move(placement)); }

 private:
  SystemProcessControl _system;
};

}  // namespace kestrond::test
