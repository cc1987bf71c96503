#include "ProcessControl.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "Paths.h"

extern char** environ;

namespace kestrond {
namespace {

ProcessControl* installedControl = nullptr;

constexpr int kDescriptorsClosedInChild = 32;

std::string defaultSearchPath() {
  size_t size = confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/bin:/usr/bin";
  std::string value(size, '\0');
  confstr(_CS_PATH, value.data(), size);
  value.resize(size - 1);
  return value;
}

// Only async-signal-safe calls from here on: the monitor's toolkit runs
// threads, and a lock held by one of them at the fork stays locked forever
// in the child.
[[noreturn]] void runChild(const char* directory, const std::vector<const char*>& candidates,
                           char* const* argv, std::vector<const char*>& shellArgv) {
  for (int fd = 0; fd < kDescriptorsClosedInChild; ++fd) close(fd);
  if (chdir(directory) != 0) _exit(1);
  if (setsid() == -1) _exit(1);
  if (open("/dev/null", O_RDWR) != 0) _exit(1);
  dup2(0, 1);
  dup2(0, 2);

  // A blocked or ignored SIGTERM would survive the exec and make the server
  // impossible to stop; handlers are reset by the exec anyway.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &byDefault, nullptr);
  }

  for (const char* candidate : candidates) {
    execve(candidate, argv, environ);
    if (errno == ENOEXEC) {
      // As execvp does: a file without a recognised header is a shell script.
      shellArgv[1] = candidate;
      execve("/bin/sh", const_cast<char* const*>(shellArgv.data()), environ);
    }
  }
  _exit(1);
}

}  // namespace

ProcessControl& ProcessControl::current() {
  return installedControl ? *installedControl : SystemProcessControl::instance();
}

ProcessControl* ProcessControl::install(ProcessControl* control) {
  ProcessControl* previous = installedControl;
  installedControl = control;
  return previous;
}

SystemProcessControl& SystemProcessControl::instance() {
  static SystemProcessControl control;
  return control;
}

std::vector<std::string> executableCandidates(const std::string& file, const char* searchPath) {
  if (file.empty()) return {};
  if (file.find('/') != std::string::npos) return {absolutePath(file)};
  std::string path = searchPath ? searchPath : defaultSearchPath();
  std::vector<std::string> candidates;
  size_t start = 0;
  while (true) {
    size_t end = path.find(':', start);
    std::string entry = path.substr(start, end == std::string::npos ? end : end - start);
    candidates.push_back(entry.empty() ? file : appendPathComponent(entry, file));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return candidates;
}

pid_t SystemProcessControl::launch(const std::string& file,
                                   const std::vector<std::string>& arguments,
                                   const std::string& directory) {
  // Everything the child needs is built here, before the fork.
  std::vector<std::string> candidates = executableCandidates(file, getenv("PATH"));
  std::vector<const char*> candidatePointers;
  for (const std::string& candidate : candidates) candidatePointers.push_back(candidate.c_str());
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<const char*> shellArgv = {"sh", nullptr};
  for (size_t i = 1; i < arguments.size(); ++i) shellArgv.push_back(arguments[i].c_str());
  shellArgv.push_back(nullptr);

  pid_t child = fork();
  if (child == -1) return 0;
  if (child == 0) runChild(directory.c_str(), candidatePointers, argv.data(), shellArgv);
  children_.push_back(child);
  return child;
}

int SystemProcessControl::sendSignal(pid_t pid, int signal) {
  if (pid < 1) return EINVAL;
  return kill(pid, signal) == 0 ? 0 : errno;
}

bool SystemProcessControl::collectEndedChildren(pid_t pid) {
  bool collected = false;
  for (auto it = children_.begin(); it != children_.end();) {
    int status = 0;
    pid_t result = waitpid(*it, &status, WNOHANG);
    if (result == *it || (result == -1 && errno == ECHILD)) {
      collected = collected || *it == pid;
      it = children_.erase(it);
    } else {
      ++it;
    }
  }
  return collected;
}

namespace {

// The start of a small /proc file, or "" when it cannot be read.
std::string readProcFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char buffer[4096];
  ssize_t got = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
}

// Seconds since the epoch at which the system booted. The kernel counts a
// process's start time from boot on CLOCK_BOOTTIME; /proc/stat's "btime"
// would do too, but lies past the first page of that file on larger machines.
double bootTime() {
  timespec now{}, sinceBoot{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) {
    return 0;
  }
  return double(now.tv_sec - sinceBoot.tv_sec) + double(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
}

}  // namespace

std::optional<ProcessControl::ProcessInfo> SystemProcessControl::processInfo(pid_t pid) {
  if (pid < 1 || bootTime() == 0) return std::nullopt;
  std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name in parentheses may hold anything; fields follow the last ")".
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::vector<std::string> fields;
  size_t start = close + 2;
  while (start < stat.size() && fields.size() < 20) {
    size_t end = stat.find(' ', start);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(start, end - start));
    start = end + 1;
  }
  // fields[0] is the state (field 3 of the file), fields[19] the start time
  // in clock ticks after boot (field 22).
  if (fields.size() < 20) return std::nullopt;
  static const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return std::nullopt;
  ProcessInfo info;
  info.zombie = fields[0] == "Z";
  info.startTime = bootTime() + std::strtod(fields[19].c_str(), nullptr) / static_cast<double>(ticks);
  return info;
}

bool SystemProcessControl::isRunning(pid_t pid) {
  // getpid() is a system call each time; the monitor never changes its pid.
  static const pid_t self = getpid();
  if (pid < 1 || pid == self) return false;
  if (collectEndedChildren(pid)) return false;
  return kill(pid, 0) == 0;
}

}  // namespace kestrond
