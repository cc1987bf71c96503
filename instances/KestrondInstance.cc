#include "KestrondInstance.h"

#include <signal.h>
#include <unistd.h>

#include "Environment.h"
#include "LockFile.h"
#include "Paths.h"
#include "Text.h"

namespace kestrond {

KestrondInstance::KestrondInstance(const std::string& path, ProcessControl& processes, LogSink& log)
    : _processes(processes),
      _log(log),
      _path(path),
      _iniFile(appendPathComponent(path, "kestrond.ini")),
      _lckFile(appendPathComponent(path, "kestrond.lck")),
      _logFile(appendPathComponent(path, "kestrond.log")),
      _displayName(lastPathComponent(path)) {
  _isDefault = _displayName == "database";
}

const std::string& KestrondInstance::instanceName() const {
  // The directory and the language stay as they are while the program runs.
  if (_instanceName.empty()) {
    _instanceName = _isDefault
                        ? localizedString("Default Instance")
                        : formatText(localizedString("Instance '%@'"), {visibleText(_displayName)});
  }
  return _instanceName;
}

bool KestrondInstance::isValid() const {
  return isValid(Lookup{});
}

bool KestrondInstance::isValid(Lookup lookup) const {
  return pathKind(lookup(_iniFile)) == PathKind::Other;
}

std::optional<std::string> KestrondInstance::logFile() const {
  if (isNonDirectoryPath(_logFile)) return _logFile;
  return std::nullopt;
}

pid_t KestrondInstance::pidValueFromLockFile() const {
  return readLockFilePid(nullptr, Lookup{});
}

pid_t KestrondInstance::readLockFilePid(double* modified, Lookup lookup) const {
  LockFileReading reading = readLockFile(lookup(_lckFile));
  if (modified) *modified = reading.modified;
  switch (reading.outcome) {
    case LockFileReading::Outcome::NoFile:
      return 0;
    case LockFileReading::Outcome::Pid:
      return reading.pid;
    case LockFileReading::Outcome::ReadError:
      _log.write(formatText("Error reading %@: %@", {_lckFile, reading.error.text()}));
      return 0;
    case LockFileReading::Outcome::Malformed:
      _log.write(formatText("Malformed .lck file %@", {_lckFile}));
      return 0;
  }
  return 0;
}

bool KestrondInstance::isRunning(pid_t pid) const {
  int pidfd = pid == _pid ? _pidfd.get() : -1;
  return _processes.isRunning(pid, pidfd);
}

// Allowance for the clocks on both sides: the lock file's mtime has the
// file system's granularity (whole seconds on some), and the start time,
// counted in clock ticks, is mapped to the wall clock through today's boot
// offset, which moves with every adjustment of the wall clock.
constexpr double kStartTimeTolerance = 1.0;

// The pidfd is opened before anything is asked of the process, so that the
// answers and the descriptor are about one and the same process even if
// the pid is reused in between.
//
// A lock file names a live process that may not be its server: the server
// ended without removing it, and its pid went to another process. A
// process younger than the file cannot have written it. But ages compare a
// file's wall-clock mtime with a start time on the boot clock, so a step of
// the wall clock (a time sync at boot, a manual change) makes a server look
// younger than its lock file. Hence a younger process is still the server
// when what it is says so: it runs in the instance directory and runs a
// "kestrond". Where the process table cannot tell (another user's process),
// a live pid counts.
bool KestrondInstance::isServerOfLockFile(pid_t pid, double lockModified, UniqueFd* pidfd) const {
  UniqueFd fd = _processes.openPidfd(pid);
  // By pid first: the null signal fails for another user's process, which
  // is never taken for a server of ours.
  if (!_processes.isRunning(pid, -1)) return false;
  std::optional<ProcessControl::ProcessInfo> info = _processes.processInfo(pid);
  // Asked again: the process may have ended and its pid been reused while
  // /proc was read.
  if (fd && !_processes.isRunning(pid, fd.get())) return false;
  bool accepted = true;
  if (info) {
    if (info->zombie) return false;
    bool oldEnough = lockModified == 0 || info->startTime <= lockModified + kStartTimeTolerance;
    // Evidence that no step of the clock can fake: it runs in the instance
    // directory as a server, by its executable's name, or, for a script
    // (whose executable is its interpreter), by the name the monitor gives
    // every server or the script its interpreter runs.
    auto namesServer = [](const std::string& word) {
      return lastPathComponent(word) == "kestrond";
    };
    bool server = namesServer(info->executable) ||
                  info->executable == resolveSymlinks(findExecutable()) ||
                  (!info->arguments.empty() && info->arguments[0] == "kestrond") ||
                  (info->arguments.size() > 1 && namesServer(info->arguments[1]));
    accepted = oldEnough || (info->workingDirectory == resolveSymlinks(_path) && server);
  }
  if (accepted && pidfd) *pidfd = std::move(fd);
  return accepted;
}

void KestrondInstance::takeServerPid(pid_t pid, UniqueFd pidfd) {
  _pid = pid;
  _pidfd = std::move(pidfd);
}

void KestrondInstance::setStatus(ServerStatus status) {
  if (status != _serverStatus) {
    _entryStatus = EntryStatus::Changed;
    _serverStatus = status;
  } else {
    _entryStatus = EntryStatus::Unchanged;
  }
}

void KestrondInstance::refresh(bool serverKnownRunning) {
  refresh(Lookup{}, serverKnownRunning);
}

void KestrondInstance::refresh(int parentFd, const std::string& parentPath,
                               bool serverKnownRunning) {
  refresh(isEntryOf(_path, parentPath) ? Lookup{parentFd, _path.size() - _displayName.size()}
                                       : Lookup{},
          serverKnownRunning);
}

void KestrondInstance::refresh(Lookup lookup, bool serverKnownRunning) {
  _canStart = mayReadAndWrite(lookup(_path));
  // A Stopped record's pid can only come from a stale lock file; that number
  // being alive again means it was reused, so only the lock file decides.
  if (_serverStatus != ServerStatus::Stopped && _pid != 0 &&
      (serverKnownRunning || isRunning(_pid))) {
    if (_serverStatus == ServerStatus::Stopping) return;
    if (_serverStatus == ServerStatus::Starting) {
      double modified = 0;
      pid_t fromLock = readLockFilePid(&modified, lookup);
      if (fromLock == 0) return;
      if (fromLock != _pid) {
        // A pid that does not run is no server of ours yet: keep waiting.
        UniqueFd pidfd;
        if (!isServerOfLockFile(fromLock, modified, &pidfd)) return;
        _log.write(formatText("pid value from .lck file is different (expected %d, got %d)",
                              {_pid, fromLock}));
        takeServerPid(fromLock, std::move(pidfd));
      }
    }
    setStatus(ServerStatus::Running);
    return;
  }

  // The launched server is gone: whether it could run at all is known now.
  if (_serverStatus == ServerStatus::Starting) _startFailure = _processes.takeExecError(_pid);
  double modified = 0;
  pid_t fromLock = readLockFilePid(&modified, lookup);
  takeServerPid(fromLock, UniqueFd());
  if (fromLock == 0) {
    setStatus(ServerStatus::Stopped);
    if (!isValid(lookup)) _entryStatus = EntryStatus::Invalid;
    return;
  }
  UniqueFd pidfd;
  if (isServerOfLockFile(fromLock, modified, &pidfd)) {
    _pidfd = std::move(pidfd);
    setStatus(ServerStatus::Running);
    return;
  }
  _log.write(formatText("stale .lck file detected: %@", {_lckFile}));
  setStatus(ServerStatus::Stopped);
}

std::string KestrondInstance::findExecutable() const {
  return testedExecutable().value_or("kestrond");
}

std::optional<std::string> KestrondInstance::testedExecutable() const {
  // The candidates are tested against the monitor's working directory, and
  // the child runs its file after changing to the instance directory; a
  // value without "/" would even be searched along PATH. So the path tested
  // is made absolute, and that is the file that runs.
  if (std::optional<std::string> binary = environmentValue("KESTROND_BINARY")) {
    if (isNonDirectoryPath(*binary)) return absolutePath(*binary);
  }
  std::string inside = appendPathComponent(_path, "kestrond");
  if (isNonDirectoryPath(inside)) return absolutePath(inside);
  std::string besides = appendPathComponent(_path, "../bin/kestrond");
  if (isNonDirectoryPath(besides)) return absolutePath(besides);
  return std::nullopt;
}

Result<pid_t> KestrondInstance::launchExecutable(const std::string& file,
                                                 const std::vector<std::string>& options,
                                                 const std::string& directory) {
  return _processes.launch(file, options, directory);
}

bool KestrondInstance::startup() {
  refresh();
  if (_entryStatus == EntryStatus::Invalid || _serverStatus != ServerStatus::Stopped) {
    return false;
  }
  // A failed launch has been logged where it failed; the record stays Stopped.
  _startFailure = Error();
  Result<pid_t> child = launchExecutable(findExecutable(), {"kestrond", "-f"}, _path);
  if (!child.ok()) return false;
  takeServerPid(child.value(), _processes.openPidfd(child.value()));
  setStatus(ServerStatus::Starting);
  return true;
}

bool KestrondInstance::shutdown() {
  refresh();
  if (_serverStatus != ServerStatus::Running) return false;
  Error error = _processes.sendSignal(_pid, _pidfd.get(), SIGTERM);
  if (error.failed()) {
    // The line names the number as the monitor has always logged it; the
    // record stays Running until the next refresh tells otherwise.
    _log.write(
        formatText("terminate: cannot terminate %@ (errno %d)", {instanceName(), error.code()}));
    return false;
  }
  setStatus(ServerStatus::Stopping);
  return true;
}

}  // namespace kestrond
