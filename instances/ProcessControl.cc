#include "ProcessControl.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "Environment.h"
#include "Paths.h"

extern char** environ;

namespace kestrond {
namespace {

// Through syscall(2): the C library's wrappers are new (2.36), and its
// header declares them without C linkage for C++ there.
int openProcessDescriptor(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}
int signalProcessDescriptor(int pidfd, int signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Everything the child needs, built before the fork: after it only
// async-signal-safe calls may run, since the monitor's toolkit runs threads
// and a lock held by one of them at the fork stays locked forever in the
// child.
struct ChildPlan {
  const char* directory = nullptr;
  std::vector<const char*> candidates;
  char* const* argv = nullptr;
  std::vector<const char*> shellArgv;
  int errorFd = -1;   // write end of the error pipe, above 2, or -1
  int holdFd = -1;    // read end of the pipe to wait on before the exec, above 2, or -1
  int highestFd = 0;  // where closing by hand stops, if close_range is missing
  const StartingState* starting = nullptr;  // whose open-files limit the server gets
};

void closeFrom(unsigned first, unsigned last, int highestFd) {
  if (first > last) return;
  if (close_range(first, last, 0) == 0) return;
  // Kernels before 5.9 have no close_range. EBADF for every number not
  // open is expected.
  for (int fd = static_cast<int>(first); fd <= highestFd && static_cast<unsigned>(fd) <= last;
       ++fd) {
    (void)close(fd);
  }
}

// Closes every descriptor from 3 up but the two kept (-1 for none).
void closeAllBut(int keepA, int keepB, int highestFd) {
  if (keepA > keepB) std::swap(keepA, keepB);
  unsigned first = 3;
  for (int keep : {keepA, keepB}) {
    if (keep < 3) continue;
    closeFrom(first, static_cast<unsigned>(keep) - 1, highestFd);
    first = static_cast<unsigned>(keep) + 1;
  }
  closeFrom(first, UINT_MAX, highestFd);
}

[[noreturn]] void failChild(const ChildPlan& plan, int error) {
  if (plan.errorFd >= 0) {
    ssize_t ignored = write(plan.errorFd, &error, sizeof error);
    (void)ignored;  // nothing is left to tell it to
  }
  _exit(1);
}

// In the child nothing can be reported but an exec error: a call whose
// failure leaves the server no worse off (closing what may not be open,
// duplicating /dev/null, resetting the signal mask) is not checked.
[[noreturn]] void runChild(ChildPlan& plan) {
  (void)close(0);
  (void)close(1);
  (void)close(2);
  if (chdir(plan.directory) != 0) failChild(plan, errno);
  if (setsid() == -1) failChild(plan, errno);
  if (open("/dev/null", O_RDWR) != 0) failChild(plan, errno);
  (void)dup2(0, 1);
  (void)dup2(0, 2);
  // A descriptor the monitor inherited without close-on-exec would
  // otherwise live as long as the server. The hold pipes of other servers
  // being placed go too, so that each is let go by its own release alone.
  closeAllBut(plan.errorFd, plan.holdFd, plan.highestFd);

  // A blocked or ignored SIGTERM would survive the exec and make the server
  // impossible to stop; handlers are reset by the exec anyway.
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &byDefault, nullptr);
  }
  if (plan.starting) plan.starting->restoreFileLimit();

  // Held until the service manager has put this process in a unit of its
  // own, so that whatever the server starts is born there too. A byte, the
  // end of file when the monitor lets go or ends, or an error: it goes on.
  if (plan.holdFd >= 0) {
    char ignored;
    while (read(plan.holdFd, &ignored, 1) < 0 && errno == EINTR) {
    }
    (void)close(plan.holdFd);
  }

  // As execvp reports: a file that exists but may not be run is the more
  // telling reason than a later candidate that does not exist.
  int error = ENOENT;
  bool denied = false;
  for (const char* candidate : plan.candidates) {
    execve(candidate, plan.argv, environ);
    if (errno == ENOEXEC) {
      // As execvp does: a file without a recognised header is a shell script.
      plan.shellArgv[1] = candidate;
      execve("/bin/sh", const_cast<char* const*>(plan.shellArgv.data()), environ);
    }
    error = errno;
    denied = denied || error == EACCES;
  }
  failChild(plan, denied ? EACCES : error);
}

// `fd` moved to a descriptor above 2 with close-on-exec set; -1 on failure.
int aboveStandardDescriptors(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  (void)close(fd);  // a pipe end of ours, not written to yet
  return moved;
}

}  // namespace

Result<pid_t> SystemProcessControl::launch(const std::string& file,
                                           const std::vector<std::string>& arguments,
                                           const std::string& directory) {
  std::vector<std::string> candidates = executableCandidates(file, environmentValue("PATH"));
  ChildPlan plan;
  plan.directory = directory.c_str();
  for (const std::string& candidate : candidates) plan.candidates.push_back(candidate.c_str());
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  plan.argv = argv.data();
  // The shell gets the server's own name too, so that the process table
  // shows it as the server whatever runs it.
  plan.shellArgv = {arguments.empty() ? "sh" : arguments[0].c_str(), nullptr};
  for (size_t i = 1; i < arguments.size(); ++i) plan.shellArgv.push_back(arguments[i].c_str());
  plan.shellArgv.push_back(nullptr);
  long openMax = sysconf(_SC_OPEN_MAX);
  plan.highestFd = openMax > 0 && openMax <= INT_MAX ? static_cast<int>(openMax) - 1 : 1023;
  plan.starting = _starting;

  // The exec error travels back through a close-on-exec pipe: end of file
  // means the exec succeeded.
  UniqueFd readEnd;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) == 0) {
    readEnd.reset(aboveStandardDescriptors(pipeFds[0]));
    plan.errorFd = aboveStandardDescriptors(pipeFds[1]);
    if (!readEnd || plan.errorFd < 0) {
      if (plan.errorFd >= 0) (void)close(plan.errorFd);  // unused: no error pipe then
      plan.errorFd = -1;
      readEnd.reset();
    }
  }

  // Without a hold pipe the child runs its file at once; its placement
  // then follows instead of preceding the server's first steps.
  UniqueFd holdEnd;
  if (_placement && pipe2(pipeFds, O_CLOEXEC) == 0) {
    holdEnd.reset(pipeFds[1]);
    plan.holdFd = aboveStandardDescriptors(pipeFds[0]);
    if (plan.holdFd < 0) holdEnd.reset();
  }

  pid_t child = fork();
  if (child == 0) runChild(plan);
  int forkError = errno;
  if (plan.errorFd >= 0) (void)close(plan.errorFd);  // the child holds its own copy
  if (plan.holdFd >= 0) (void)close(plan.holdFd);    // likewise
  if (child == -1) {
    Error error(forkError, "Cannot start " + file);
    _log.write(error.text());
    return error;
  }
  // Without O_NONBLOCK a read could wait for a child that has not exec'd;
  // F_SETFL on a pipe end of ours cannot fail short of a bad descriptor.
  if (readEnd) (void)fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
  _children.push_back(Child{child, file, std::move(readEnd), std::move(holdEnd)});
  if (_placement) _placement(child, directory, [this, child] { release(child); });
  return child;
}

void SystemProcessControl::release(pid_t pid) {
  for (Child& child : _children) {
    if (child.pid == pid) child.hold.reset();
  }
}

void SystemProcessControl::readExecError(Child& child) {
  if (!child.execError) return;
  int error = 0;
  ssize_t got = read(child.execError.get(), &error, sizeof error);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;  // not exec'd yet
  if (got == static_cast<ssize_t>(sizeof error)) {
    Error failure(error, "Cannot start " + child.file);
    _log.write(failure.text());
    // Only the last few are kept: whoever launched the child asks soon
    // after its end, or never.
    if (_execErrors.size() >= 64) _execErrors.erase(_execErrors.begin());
    _execErrors[child.pid] = std::move(failure);
  }
  child.execError.reset();
}

bool SystemProcessControl::collectEndedChildren(pid_t pid) {
  bool collected = false;
  for (auto it = _children.begin(); it != _children.end();) {
    int status = 0;
    pid_t result = waitpid(it->pid, &status, WNOHANG);
    // The pipe is read either way: once the child has exec'd, its end of
    // file frees the descriptor; once it has ended, what it wrote is there.
    readExecError(*it);
    if (result == it->pid || (result == -1 && errno == ECHILD)) {
      collected = collected || it->pid == pid;
      it = _children.erase(it);
    } else {
      ++it;
    }
  }
  return collected;
}

Error SystemProcessControl::takeExecError(pid_t pid) {
  auto it = _execErrors.find(pid);
  if (it == _execErrors.end()) return Error();
  Error error = std::move(it->second);
  _execErrors.erase(it);
  return error;
}

int SystemProcessControl::descriptorCeiling() const {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(INT_MAX)) {
    return INT_MAX;
  }
  int soft = static_cast<int>(limit.rlim_cur);
  return soft - std::max(kMinimumReserve, soft / 8);
}

UniqueFd SystemProcessControl::openPidfd(pid_t pid) {
  if (pid < 1 || _pidfdsMissing) return UniqueFd();
  // Always close-on-exec: pidfd_open sets it on every descriptor it returns.
  int fd = openProcessDescriptor(pid);
  if (fd >= 0 && fd >= descriptorCeiling()) {
    // The lowest free number is this high: a reserve is kept for the tray,
    // D-Bus and the lock-file reads, and beyond it the pid has to do.
    (void)close(fd);  // just opened, unused
    if (!_reserveLogged) {
      _reserveLogged = true;
      _log.write("More servers than open files to spare; the rest are known by pid");
    }
    return UniqueFd();
  }
  if (fd >= 0) return UniqueFd(fd);
  if (errno == ENOSYS) {
    _pidfdsMissing = true;
    _log.write(
        Error(errno, "Process descriptors are not available; servers are known by pid").text());
  }
  return UniqueFd();
}

Error SystemProcessControl::sendSignal(pid_t pid, int pidfd, int signal) {
  if (pid < 1) return Error(EINVAL, "signal pid " + std::to_string(pid));
  int result = pidfd >= 0 ? signalProcessDescriptor(pidfd, signal) : kill(pid, signal);
  return result == 0 ? Error() : Error(errno, "signal pid " + std::to_string(pid));
}

namespace {

// The start of a small /proc file, or "" when it cannot be read.
std::string readProcFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char buffer[4096];
  ssize_t got = read(fd, buffer, sizeof buffer - 1);
  (void)close(fd);  // read-only
  return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
}

// The target of a /proc link, or "" when it cannot be read.
std::string readProcLink(const std::string& path) {
  char buffer[PATH_MAX];
  ssize_t got = readlink(path.c_str(), buffer, sizeof buffer);
  if (got <= 0 || got == static_cast<ssize_t>(sizeof buffer)) return "";
  return std::string(buffer, static_cast<size_t>(got));
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
  std::string procDirectory = "/proc/" + std::to_string(pid);
  std::string stat = readProcFile(procDirectory + "/stat");
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
  info.startTime =
      bootTime() + std::strtod(fields[19].c_str(), nullptr) / static_cast<double>(ticks);
  info.workingDirectory = readProcLink(procDirectory + "/cwd");
  info.executable = readProcLink(procDirectory + "/exe");
  std::string commandLine = readProcFile(procDirectory + "/cmdline");
  for (size_t start = 0; start < commandLine.size() && info.arguments.size() < 2;) {
    size_t end = commandLine.find('\0', start);
    if (end == std::string::npos) end = commandLine.size();
    info.arguments.push_back(commandLine.substr(start, end - start));
    start = end + 1;
  }
  return info;
}

bool SystemProcessControl::isRunning(pid_t pid, int pidfd) {
  // getpid() is a system call each time; the monitor never changes its pid.
  static const pid_t self = getpid();
  if (pid < 1 || pid == self) return false;
  if (collectEndedChildren(pid)) return false;
  // A pidfd is readable once its process has ended, also while it is a
  // zombie that its parent has not collected yet; the null signal would
  // still reach such a process.
  if (pidfd >= 0) {
    pollfd ended{pidfd, POLLIN, 0};
    int ready = poll(&ended, 1, 0);
    if (ready >= 0) return ready == 0;
  }
  return kill(pid, 0) == 0;
}

}  // namespace kestrond
