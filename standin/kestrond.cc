// A stand-in for the Kestrond server, for the demo installation and the tests.
//
// Run as "kestrond -f" in an instance directory, it behaves as the monitor
// expects of the real server: it writes its pid to "kestrond.lck", appends to
// "kestrond.log", and on SIGTERM removes its lock file and exits 0. Keys in
// the [standin] section of "kestrond.ini" script it:
//   lock_delay_ms   wait this long before writing the lock file
//   ignore_sigterm  "true": log SIGTERM and carry on (stop it with SIGKILL)
//   hold_fifo       before anything else, wait for a line on this FIFO: a
//                   test holds the server there while it reads what the
//                   monitor shows of a server that has not got further
//   exit_status     exit at once with this status, as a failed start
//   stop_delay_ms   wait this long after SIGTERM before ending
// Every signal it receives is logged with the sender's pid.
//   http_port       serve a status page at /tessaline/ on 127.0.0.1
//   report_file     write what it was started with (argv, cwd, descriptors,
//                   session, signal state, environment) to this file
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

extern char** environ;

namespace {

const char* const kLockFile = "kestrond.lck";
const char* const kLogFile = "kestrond.log";

std::map<std::string, std::string> readSettings() {
  std::map<std::string, std::string> settings;
  std::ifstream ini("kestrond.ini");
  std::string line;
  bool inSection = false;
  while (std::getline(ini, line)) {
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#' || line[first] == ';') continue;
    if (line[first] == '[') {
      inSection = line.compare(first, 9, "[standin]") == 0;
      continue;
    }
    size_t equals = line.find('=');
    if (!inSection || equals == std::string::npos) continue;
    auto trim = [](std::string text) {
      size_t start = text.find_first_not_of(" \t\r");
      size_t end = text.find_last_not_of(" \t\r");
      return start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
    };
    settings[trim(line.substr(0, equals))] = trim(line.substr(equals + 1));
  }
  return settings;
}

long numberSetting(const std::map<std::string, std::string>& settings, const char* key) {
  auto it = settings.find(key);
  return it == settings.end() ? 0 : std::strtol(it->second.c_str(), nullptr, 10);
}

void logMessage(const std::string& message) {
  char stamp[32];
  time_t now = time(nullptr);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime(&now));
  std::string line = std::string(stamp) + " kestrond[" + std::to_string(getpid()) + "]: " +
                     message + "\n";
  int fd = open(kLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
  }
}

pid_t livePidInLockFile() {
  std::ifstream lock(kLockFile);
  long pid = 0;
  if (!(lock >> pid) || pid < 1 || pid == getpid()) return 0;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? static_cast<pid_t>(pid) : 0;
}

bool writeLockFile() {
  std::string text = std::to_string(getpid()) + "\n";
  int fd = open("kestrond.lck.new", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok && rename("kestrond.lck.new", kLockFile) == 0;
}

std::string descriptorTarget(int fd) {
  char path[64], target[512];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(path, target, sizeof target - 1);
  return length < 0 ? "closed" : std::string(target, static_cast<size_t>(length));
}

void writeReport(const std::string& file, int argc, char** argv) {
  std::ostringstream out;
  for (int i = 0; i < argc; ++i) out << "argv" << i << "=" << argv[i] << "\n";
  char cwd[4096];
  out << "cwd=" << (getcwd(cwd, sizeof cwd) ? cwd : "?") << "\n";
  out << "pid=" << getpid() << "\n";
  out << "session_leader=" << (getsid(0) == getpid() ? 1 : 0) << "\n";
  for (int fd = 0; fd < 3; ++fd) out << "fd" << fd << "=" << descriptorTarget(fd) << "\n";
  out << "open_fds=";
  if (DIR* fds = opendir("/proc/self/fd")) {
    int own = dirfd(fds);
    while (dirent* entry = readdir(fds)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
      out << entry->d_name << ",";
    }
    closedir(fds);
  }
  out << "\n";
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  struct sigaction action {};
  sigaction(SIGTERM, nullptr, &action);
  out << "sigterm_blocked=" << sigismember(&blocked, SIGTERM) << "\n";
  out << "sigterm_ignored=" << (action.sa_handler == SIG_IGN ? 1 : 0) << "\n";
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  out << "open_files_limit=" << files.rlim_cur << "\n";
  for (char** variable = environ; *variable; ++variable) out << "env:" << *variable << "\n";
  std::ofstream(file + ".new") << out.str();
  rename((file + ".new").c_str(), file.c_str());
}

int openListener(long port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void answerRequest(int listener) {
  int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  timeval timeout{1, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char request[2048];
  ssize_t got = recv(client, request, sizeof request - 1, 0);
  std::string head = got > 0 ? std::string(request, static_cast<size_t>(got)) : "";
  bool found = head.rfind("GET /tessaline/ ", 0) == 0 || head.rfind("GET /tessaline/? ", 0) == 0;
  char cwd[4096];
  std::string body = found ? "<!DOCTYPE html><html><head><title>Kestrond Tessaline</title></head>"
                             "<body><h1>Kestrond Tessaline</h1><p>Server " +
                                 std::to_string(getpid()) + " is running in " +
                                 (getcwd(cwd, sizeof cwd) ? cwd : "?") + ".</p></body></html>\n"
                           : "Not found\n";
  std::string response = std::string(found ? "HTTP/1.0 200 OK" : "HTTP/1.0 404 Not Found") +
                         "\r\nContent-Type: " + (found ? "text/html" : "text/plain") +
                         "; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
  ssize_t ignored = send(client, response.data(), response.size(), MSG_NOSIGNAL);
  (void)ignored;
  close(client);
}

long long nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> settings = readSettings();
  if (auto report = settings.find("report_file"); report != settings.end()) {
    writeReport(report->second, argc, argv);
  }
  if (auto hold = settings.find("hold_fifo"); hold != settings.end()) {
    std::ifstream fifo(hold->second);
    std::string line;
    std::getline(fifo, line);
  }
  if (settings.count("exit_status")) {
    int status = static_cast<int>(numberSetting(settings, "exit_status"));
    logMessage("exiting at once with status " + std::to_string(status));
    return status;
  }
  if (pid_t other = livePidInLockFile()) {
    logMessage("refusing to start: server " + std::to_string(other) + " holds " + kLockFile);
    std::fprintf(stderr, "kestrond: server %d is already running here\n", other);
    return 1;
  }

  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGHUP);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  int signals = signalfd(-1, &handled, SFD_CLOEXEC);

  int listener = -1;
  if (long port = numberSetting(settings, "http_port"); port > 0) {
    listener = openListener(port);
    logMessage(listener >= 0 ? "status page at http://localhost:" + std::to_string(port) +
                                   "/tessaline/"
                             : "cannot listen on port " + std::to_string(port) + ": " +
                                   std::strerror(errno));
  }
  logMessage("started");

  bool ignoreTerm = settings["ignore_sigterm"] == "true";
  long long lockAt = nowMs() + numberSetting(settings, "lock_delay_ms");
  bool locked = false;
  long long stopAt = -1;
  while (true) {
    long long now = nowMs();
    if (!locked && now >= lockAt) {
      locked = writeLockFile();
      logMessage(locked ? "lock file written" : "cannot write the lock file");
    }
    if (stopAt >= 0 && now >= stopAt) break;
    long long wake = -1;
    if (!locked) wake = lockAt;
    if (stopAt >= 0 && (wake < 0 || stopAt < wake)) wake = stopAt;
    int timeout = wake < 0 ? -1 : static_cast<int>(std::max(0LL, wake - now));

    pollfd fds[2] = {{signals, POLLIN, 0}, {listener, POLLIN, 0}};
    if (poll(fds, listener >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == sizeof info) {
        // Every signal and who sent it, for the tests of who stops servers.
        logMessage("signal " + std::to_string(info.ssi_signo) + " from pid " +
                   std::to_string(info.ssi_pid));
        if (info.ssi_signo == SIGHUP) {
          // A server carries on; this one has nothing to reload.
        } else if (ignoreTerm) {
          logMessage("ignoring signal " + std::to_string(info.ssi_signo));
        } else if (stopAt < 0) {
          logMessage("stopping on signal " + std::to_string(info.ssi_signo));
          stopAt = nowMs() + numberSetting(settings, "stop_delay_ms");
        }
      }
    }
    if (listener >= 0 && (fds[1].revents & POLLIN)) answerRequest(listener);
  }
  if (locked) unlink(kLockFile);
  logMessage("stopped");
  return 0;
}
