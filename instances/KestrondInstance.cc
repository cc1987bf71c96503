#include "KestrondInstance.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "LockFile.h"
#include "Log.h"
#include "Paths.h"
#include "ProcessControl.h"
#include "Text.h"

namespace kestrond {

KestrondInstance::KestrondInstance(const std::string& path)
    : _path(path),
      _iniFile(appendPathComponent(path, "kestrond.ini")),
      _lckFile(appendPathComponent(path, "kestrond.lck")),
      _logFile(appendPathComponent(path, "kestrond.log")),
      _displayName(lastPathComponent(path)) {
  _isDefault = _displayName == "database";
}

std::string KestrondInstance::instanceName() const {
  if (_isDefault) return localizedString("Default Instance");
  return formatText(localizedString("Instance '%@'"), {_displayName});
}

bool KestrondInstance::isValid() const { return isNonDirectoryPath(_iniFile); }

bool KestrondInstance::canStart() const { return access(_path.c_str(), R_OK | W_OK) == 0; }

std::optional<std::string> KestrondInstance::logFile() const {
  if (isNonDirectoryPath(_logFile)) return _logFile;
  return std::nullopt;
}

pid_t KestrondInstance::pidValueFromLockFile() const { return readLockFilePid(nullptr); }

pid_t KestrondInstance::readLockFilePid(double* modified) const {
  LockFileReading reading = readLockFile(_lckFile);
  if (modified) *modified = reading.modified;
  switch (reading.outcome) {
    case LockFileReading::Outcome::NoFile:
      return 0;
    case LockFileReading::Outcome::Pid:
      return reading.pid;
    case LockFileReading::Outcome::ReadError:
      logLine(formatText("Error reading %@: %@", {_lckFile, reading.error}));
      return 0;
    case LockFileReading::Outcome::Malformed:
      logLine(formatText("Malformed .lck file %@", {_lckFile}));
      return 0;
  }
  return 0;
}

bool KestrondInstance::isRunning(pid_t pid) const {
  return ProcessControl::current().isRunning(pid);
}

// Allowance for the coarse clocks on both sides: the boot time in /proc is
// given in whole seconds.
constexpr double kStartTimeTolerance = 1.0;

bool KestrondInstance::isServerOfLockFile(pid_t pid, double lockModified) const {
  if (!isRunning(pid)) return false;
  std::optional<ProcessControl::ProcessInfo> info = ProcessControl::current().processInfo(pid);
  if (!info) return true;
  if (info->zombie) return false;
  // A process younger than the lock file cannot have written it: the pid
  // was reused after the server ended without removing its lock file.
  return lockModified == 0 || info->startTime <= lockModified + kStartTimeTolerance;
}

void KestrondInstance::setStatus(ServerStatus status) {
  if (status != _serverStatus) {
    _entryStatus = EntryStatus::Changed;
    _serverStatus = status;
  } else {
    _entryStatus = EntryStatus::Unchanged;
  }
}

void KestrondInstance::refresh() {
  // A Stopped record's pid can only come from a stale lock file; that number
  // being alive again means it was reused, so only the lock file decides.
  if (_serverStatus != ServerStatus::Stopped && _pid != 0 && isRunning(_pid)) {
    if (_serverStatus == ServerStatus::Stopping) return;
    if (_serverStatus == ServerStatus::Starting) {
      double modified = 0;
      pid_t fromLock = readLockFilePid(&modified);
      if (fromLock == 0) return;
      if (fromLock != _pid) {
        // A pid that does not run is no server of ours yet: keep waiting.
        if (!isServerOfLockFile(fromLock, modified)) return;
        logLine(formatText("pid value from .lck file is different (expected %d, got %d)",
                           {_pid, fromLock}));
        _pid = fromLock;
      }
    }
    setStatus(ServerStatus::Running);
    return;
  }

  double modified = 0;
  pid_t fromLock = readLockFilePid(&modified);
  _pid = fromLock;
  if (fromLock == 0) {
    setStatus(ServerStatus::Stopped);
    if (!isValid()) _entryStatus = EntryStatus::Invalid;
    return;
  }
  if (isServerOfLockFile(fromLock, modified)) {
    setStatus(ServerStatus::Running);
    return;
  }
  logLine(formatText("stale .lck file detected: %@", {_lckFile}));
  setStatus(ServerStatus::Stopped);
}

std::string KestrondInstance::findExecutable() const {
  if (const char* binary = getenv("KESTROND_BINARY")) {
    if (isNonDirectoryPath(binary)) return binary;
  }
  std::string inside = appendPathComponent(_path, "kestrond");
  if (isNonDirectoryPath(inside)) return inside;
  std::string besides = appendPathComponent(_path, "../bin/kestrond");
  if (isNonDirectoryPath(besides)) return besides;
  return "kestrond";
}

pid_t KestrondInstance::launchExecutable(const std::string& file,
                                         const std::vector<std::string>& options,
                                         const std::string& directory) {
  return ProcessControl::current().launch(file, options, directory);
}

bool KestrondInstance::startup() {
  refresh();
  if (_entryStatus == EntryStatus::Invalid || _serverStatus != ServerStatus::Stopped) {
    return false;
  }
  // The candidate was tested against the monitor's working directory; the
  // child runs it after its chdir, so a relative path is made absolute now.
  std::string executable = findExecutable();
  if (executable.find('/') != std::string::npos) executable = absolutePath(executable);
  _pid = launchExecutable(executable, {"kestrond", "-f"}, _path);
  if (_pid == 0) return false;
  setStatus(ServerStatus::Starting);
  return true;
}

bool KestrondInstance::shutdown() {
  refresh();
  if (_serverStatus != ServerStatus::Running) return false;
  int error = ProcessControl::current().sendSignal(_pid, SIGTERM);
  if (error != 0) {
    logLine(formatText("terminate: cannot terminate %@ (errno %d)", {instanceName(), error}));
    return false;
  }
  setStatus(ServerStatus::Stopping);
  return true;
}

}  // namespace kestrond
