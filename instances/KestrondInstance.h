// One instance directory of the Kestrond installation and the state of its
// server.
//
// A record fixes the directory's file paths and names when it is created and
// derives the server's state on demand (refresh) from the lock file
// "kestrond.lck" and the process table; startup and shutdown launch the server
// or send it SIGTERM. It never creates, changes or deletes a file in the
// directory. Records are shared (std::shared_ptr) by the manager's table, the
// menu items that show them and the application's default-instance reference;
// destroying one touches neither the server nor any file. Main thread only.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Error.h"
#include "Log.h"
#include "Paths.h"
#include "ProcessControl.h"
#include "UniqueFd.h"

namespace kestrond {

enum class ServerStatus : int32_t {
  Unknown = 0,   // not refreshed yet
  Stopped = 1,   // no live server process is known
  Starting = 2,  // launched by us; alive; the lock file has not named a pid yet
  Running = 3,   // a live server process is known; its pid is in _pid
  Stopping = 4,  // SIGTERM was sent and the process still lives
};

enum class EntryStatus : int32_t {
  Unchanged = 0,  // the last status update kept the server status
  New = 1,        // created and not yet refreshed
  Changed = 2,    // the last status update changed the server status
  Invalid = 3,    // no pid and no configuration file: to be discarded
};

class KestrondInstance {
 public:
  // A record for the directory `path`, kept exactly as given (not tested for
  // existence). Unknown / New, pid 0; not refreshed. It reaches the process
  // table through `processes` and logs to `log`; both outlive it.
  KestrondInstance(const std::string& path, ProcessControl& processes, LogSink& log);

  const std::string& directory() const { return _path; }
  const std::string& displayName() const { return _displayName; }
  bool isDefault() const { return _isDefault; }
  ServerStatus serverStatus() const { return _serverStatus; }
  EntryStatus entryStatus() const { return _entryStatus; }
  pid_t pid() const { return _pid; }
  // The pidfd held for pid(), or -1 (none held, or no pidfds here). It stays
  // the record's: a caller may watch it, never close it.
  int pidfd() const { return _pidfd.get(); }

  // Why the last start ended before the server ran: the launch's exec
  // error when it could not run the server at all; none otherwise (also
  // when the server ran and ended by itself while Starting).
  const Error& startFailure() const { return _startFailure; }

  // "Default Instance", or "Instance '<display name>'", localised, with any
  // byte of the name that is not UTF-8 shown as "\xE9" (visibleText).
  const std::string& instanceName() const;
  // True when "kestrond.ini" exists and is not a directory (links followed).
  bool isValid() const;
  // True when the user could read and write the directory at the last
  // refresh (access R_OK|W_OK); false before the first.
  bool canStart() const { return _canStart; }
  // The path of "kestrond.log" when it exists and is not a directory, else none.
  std::optional<std::string> logFile() const;

  // Re-derives the server and entry states from the lock file and the
  // process table, and whether the user may start it. Never blocks; trouble
  // is logged, never raised. `serverKnownRunning`: the caller knows that
  // the record's server pid still runs (a watcher of its pidfd has not told
  // its end), so the process table is not asked.
  void refresh(bool serverKnownRunning = false);
  // The same, with the files looked up from `parentFd`, an open descriptor
  // of the directory `parentPath`, when the record's directory is named
  // directly in it (a scan holds the directory it lists open); otherwise
  // as refresh().
  void refresh(int parentFd, const std::string& parentPath, bool serverKnownRunning = false);
  // The pid in the lock file; 0 when there is none or it cannot be read
  // (the reason is logged).
  pid_t pidValueFromLockFile() const;
  // True when `pid` is a live process; collects our ended children first.
  // For the record's own server pid the question goes through the pidfd
  // held for it, so that a process given that pid later is never taken
  // for the server.
  bool isRunning(pid_t pid) const;
  // Sets the server status; the entry status records whether it changed.
  void setStatus(ServerStatus status);

  // The server executable to run: $KESTROND_BINARY, <dir>/kestrond,
  // <dir>/../bin/kestrond (whichever first exists and is not a directory,
  // made absolute against the current directory), else the bare name
  // "kestrond", which the launch searches along PATH. Never empty.
  std::string findExecutable() const;
  // Launches `file` with the argument vector `options` in `directory`;
  // returns the child's pid, or the Error (logged) when no child could be
  // created.
  Result<pid_t> launchExecutable(const std::string& file, const std::vector<std::string>& options,
                                 const std::string& directory);
  // Refreshes, then launches the server if the instance is valid and
  // Stopped. True when a server process was launched; whether it could run
  // its executable is learnt at the next refresh (a child that could not is
  // Stopped then, and the reason is logged).
  bool startup();
  // Refreshes, then sends SIGTERM if the server is Running (through its
  // pidfd where the record holds one). True when the signal was delivered;
  // a failed kill is logged.
  bool shutdown();

 private:
  // How the record's files are named: absolute from the current directory,
  // or relative to an open parent directory by skipping the parent's path
  // and its "/" in each.
  struct Lookup {
    int at = AT_FDCWD;
    size_t skip = 0;
    PathAt operator()(const std::string& file) const { return {at, file.c_str() + skip}; }
  };
  void refresh(Lookup lookup, bool serverKnownRunning);
  bool isValid(Lookup lookup) const;
  // The lock file's pid, as pidValueFromLockFile(), and when the file was
  // last written (0 when unknown).
  pid_t readLockFilePid(double* modified, Lookup lookup) const;
  // True when `pid`, read from a lock file written at `lockModified`, is a
  // live process that can be the server that wrote it (see the definition
  // for how that is decided). When it is, `pidfd` receives a pidfd for it
  // where one can be had.
  bool isServerOfLockFile(pid_t pid, double lockModified, UniqueFd* pidfd) const;
  // The candidate findExecutable() chose, or none for the bare name.
  std::optional<std::string> testedExecutable() const;
  // Makes `pid` the server's pid, with `pidfd` (possibly none) for it.
  void takeServerPid(pid_t pid, UniqueFd pidfd);

  ProcessControl& _processes;
  LogSink& _log;
  std::string _path;
  std::string _iniFile;
  std::string _lckFile;
  std::string _logFile;
  pid_t _pid = 0;
  UniqueFd _pidfd;  // for _pid while it is the server's, where one could be had
  bool _isDefault = false;
  bool _canStart = false;
  EntryStatus _entryStatus = EntryStatus::New;
  ServerStatus _serverStatus = ServerStatus::Unknown;
  std::string _displayName;
  mutable std::string _instanceName;  // looked up at the first use
  Error _startFailure;
};

}  // namespace kestrond
