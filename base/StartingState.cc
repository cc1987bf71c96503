#include "StartingState.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "Paths.h"

extern char** environ;

namespace kestrond {

StartingState::StartingState() {
  for (char** variable = environ; variable && *variable; ++variable) {
    _environment.emplace_back(*variable);
  }
  if (getrlimit(RLIMIT_NOFILE, &_limit) != 0) _readError = errno;
}

Error StartingState::raiseFileLimit() {
  if (_readError != 0) return Error(_readError, "Cannot read the limit on open files");
  if (_limit.rlim_cur >= _limit.rlim_max) return Error();
  rlimit raised = _limit;
  raised.rlim_cur = _limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    return Error(errno, "Cannot raise the limit on open files");
  }
  _raised = true;
  return Error();
}

void StartingState::restoreFileLimit() const {
  if (_raised) (void)setrlimit(RLIMIT_NOFILE, &_limit);
}

Error StartingState::spawnDetached(const std::vector<std::string>& argv) const {
  if (argv.empty()) return Error(EINVAL, "Cannot start nothing");
  // Everything the children need is made before the fork: after it only
  // async-signal-safe calls may run, since the toolkit runs threads.
  std::optional<std::string> searchPath;
  for (const std::string& variable : _environment) {
    if (variable.rfind("PATH=", 0) == 0) searchPath = variable.substr(5);
  }
  std::vector<std::string> candidates = executableCandidates(argv[0], searchPath);
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  std::vector<char*> environment;
  for (const std::string& variable : _environment) {
    environment.push_back(const_cast<char*>(variable.c_str()));
  }
  environment.push_back(nullptr);
  const std::string context = "Cannot start " + argv[0];

  // The exec error comes back through a close-on-exec pipe: end of file
  // means the program runs.
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return Error(errno, context);
  pid_t middle = fork();
  if (middle == 0) {
    // The middle child ends at once, so that the program is nobody's child
    // to collect and outlives the monitor in a session of its own.
    (void)setsid();
    if (fork() != 0) _exit(0);
    restoreFileLimit();
    // Descriptors the monitor inherited without close-on-exec stay here.
    (void)syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    int error = ENOENT;
    for (const std::string& candidate : candidates) {
      execve(candidate.c_str(), arguments.data(), environment.data());
      if (errno != ENOENT) error = errno;
    }
    (void)!write(pipeFds[1], &error, sizeof error);
    _exit(127);
  }
  int forkError = errno;
  (void)close(pipeFds[1]);
  if (middle < 0) {
    (void)close(pipeFds[0]);
    return Error(forkError, context);
  }
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got;
  while ((got = read(pipeFds[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  (void)close(pipeFds[0]);
  if (got == static_cast<ssize_t>(sizeof error)) return Error(error, context);
  return Error();
}

}  // namespace kestrond
