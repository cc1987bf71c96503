#include "TestSupport.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrond::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrond-test-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  // Resolved, so that paths built on it compare equal to resolved search paths.
  _path = fs::canonical(pattern).string();
  chmod(_path.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code error;
  // Restore permissions that a test took away, so that removal works.
  for (auto it = fs::recursive_directory_iterator(
           _path, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) chmod(it->path().c_str(), 0755);
  }
  chmod(_path.c_str(), 0755);
  fs::remove_all(_path, error);
}

std::string TempDir::makeDir(const std::string& relative) const {
  fs::path full = fs::path(_path) / relative;
  fs::create_directories(full);
  return full.string();
}

std::string TempDir::writeFile(const std::string& relative, const std::string& contents) const {
  fs::path full = fs::path(_path) / relative;
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << contents;
  return full.string();
}

std::string TempDir::makeInstance(const std::string& name, const std::string& ini) const {
  writeFile(name + "/kestrond.ini", ini);
  return (fs::path(_path) / name).string();
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : _saved) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void ScopedEnvironment::remember(const std::string& name) {
  if (_saved.count(name)) return;
  const char* value = getenv(name.c_str());
  _saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
}

void ScopedEnvironment::set(const std::string& name, const std::string& value) {
  remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnvironment::unset(const std::string& name) {
  remember(name);
  unsetenv(name.c_str());
}

SleepingProcess::SleepingProcess() {
  _pid = fork();
  if (_pid == 0) {
    while (true) pause();
  }
}

SleepingProcess::~SleepingProcess() {
  end();
}

bool SleepingProcess::suspend() {
  return suspendChild(_pid);
}

void SleepingProcess::end() {
  if (_pid <= 0) return;
  kill(_pid, SIGKILL);
  waitpid(_pid, nullptr, 0);
  _pid = 0;
}

bool suspendChild(pid_t pid) {
  // kill() only queues the stop: a SIGTERM queued before the child has run
  // again would be taken first (lower number) and end it.
  if (kill(pid, SIGSTOP) != 0) return false;
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOWAIT) == 0 &&
         info.si_code == CLD_STOPPED;
}

ServerHold::ServerHold(const TempDir& dir) : _path(dir.path() + "/hold") {
  static int count = 0;
  _path += std::to_string(++count);
  if (mkfifo(_path.c_str(), 0600) == 0) _fd = open(_path.c_str(), O_RDWR | O_CLOEXEC);
}

ServerHold::~ServerHold() {
  // Whoever still waits goes on rather than hanging past the test.
  for (int i = 0; i < 8; ++i) release();
  if (_fd >= 0) close(_fd);
}

void ServerHold::release() {
  // A pipe's buffer takes a short line at once; a failure leaves the server
  // waiting, which the test's own bound then reports.
  if (_fd >= 0) (void)!write(_fd, "go\n", 3);
}

pid_t deadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

bool waitFor(const std::function<bool()>& condition, double seconds) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (true) {
    if (condition()) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    double elapsed = double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
    if (elapsed > seconds) return false;
    usleep(20 * 1000);
  }
}

bool refreshUntil(KestrondInstance& instance, ServerStatus status) {
  return waitFor([&] {
    instance.refresh();
    return instance.serverStatus() == status;
  });
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::map<std::string, std::string> readReport(const std::string& path) {
  std::map<std::string, std::string> report;
  std::istringstream in(readFile(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (line.rfind("env:", 0) == 0) equals = line.find('=', 4);
    if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}

bool canDropPrivileges() {
  return geteuid() == 0 && getpwnam("nobody") != nullptr;
}

std::optional<int> runInChild(const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

std::optional<int> runAsUnprivileged(const std::function<int()>& body) {
  if (!canDropPrivileges()) return std::nullopt;
  const passwd* nobody = getpwnam("nobody");
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  std::optional<int> status = runInChild([&] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 125;
    return body();
  });
  if (status == 125) return std::nullopt;
  return status;
}

std::string standinServerPath() {
  return KESTROND_STANDIN_PATH;
}

Result<pid_t> RecordingProcessControl::launch(const std::string& file,
                                              const std::vector<std::string>& arguments,
                                              const std::string& directory) {
  launches.push_back({file, arguments, directory});
  if (beforeLaunch) beforeLaunch();
  if (failFork) return Error(EAGAIN, "Cannot start " + file);
  return _system.launch(file, arguments, directory);
}

UniqueFd RecordingProcessControl::openPidfd(pid_t pid) {
  if (noPidfds) return UniqueFd();
  return _system.openPidfd(pid);
}

Error RecordingProcessControl::sendSignal(pid_t pid, int pidfd, int signal) {
  signals.emplace_back(pid, signal);
  if (pidfd >= 0) ++signalsThroughPidfd;
  if (signalError != 0) return Error(signalError, "signal");
  return _system.sendSignal(pid, pidfd, signal);
}

bool RecordingProcessControl::isRunning(pid_t pid, int pidfd) {
  ++runningChecks;
  return _system.isRunning(pid, pidfd);
}

std::optional<ProcessControl::ProcessInfo> RecordingProcessControl::processInfo(pid_t pid) {
  return _system.processInfo(pid);
}

}  // namespace kestrond::test
