#include "Log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "Environment.h"
#include "Identity.h"

namespace kestrond {
namespace {

constexpr const char* kIdentifier = kProgramName;

// True when standard error is the journal's stream: systemd puts its device
// and inode into JOURNAL_STREAM for a service whose output it collects.
// Checked for each line, since standard error can be redirected meanwhile.
bool standardErrorIsJournal() {
  std::optional<std::string> stream = environmentValue("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(stream->c_str(), "%llu:%llu%c", &device, &inode, &end) != 2) return false;
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

class SystemLog : public LogSink {
 public:
  void write(const std::string& line) override { writeToSystemLogAndStderr(line); }
};

}  // namespace

LogSink& systemLog() {
  static SystemLog log;
  return log;
}

}  // namespace kestrond
