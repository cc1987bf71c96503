#include "Log.h"

#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace kestrond {
namespace {

constexpr const char* kIdentifier = "kestrond-monitor";

void writeToSystemLogAndStderr(const std::string& line) {
  static bool opened = false;
  if (!opened) {
    openlog(kIdentifier, LOG_PID, LOG_USER);
    opened = true;
  }
  // The text is data: it goes through "%s" so that a "%" in a directory name
  // cannot act as a format directive.
  syslog(LOG_NOTICE, "%s", line.c_str());

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
