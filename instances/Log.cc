#include "Log.h"

#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kestrond {
namespace {

constexpr const char* kIdentifier = "kestrond-monitor";

// True when standard error is the journal's stream: systemd puts its device
// and inode into JOURNAL_STREAM for a service whose output it collects.
// Checked for each line, since standard error can be redirected meanwhile.
bool standardErrorIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
  struct stat info {};
  return fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void writeToSystemLogAndStderr(const std::string& line) {
  static bool opened = false;
  if (!opened) {
    openlog(kIdentifier, LOG_PID, LOG_USER);
    opened = true;
  }
  // The text is data: it goes through "%s" so that a "%" in a directory name
  // cannot act as a format directive.
  syslog(LOG_NOTICE, "%s", line.c_str());
  // The system log lands in the journal too: a second copy through standard
  // error would show every line twice there.
  if (standardErrorIsJournal()) return;

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s.%03ld %s[%ld]: %s\n", stamp, now.tv_nsec / 1000000L, kIdentifier,
               static_cast<long>(getpid()), line.c_str());
}

LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

}  // namespace

void logLine(const std::string& line) {
  const LogSink& sink = currentSink();
  if (sink) {
    sink(line);
  } else {
    writeToSystemLogAndStderr(line);
  }
}

LogSink setLogSink(LogSink sink) {
  LogSink previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

std::string errnoText(int error) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : "errno " + std::to_string(error);
}

}  // namespace kestrond
