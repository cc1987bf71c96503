// Where the monitor's log lines go: one line per event, for the whole
// program.
//
// Every part that reports trouble or a notable event is handed a LogSink
// when it is made and writes a plain English sentence, its arguments
// already filled in. The program's own sink is systemLog(): the system log
// (identifier "kestrond-monitor", with the process id) and standard error
// with a time stamp; when standard error is the journal's stream (a session
// service started by systemd), the system log alone, which reaches the
// journal once. Tests pass a sink that keeps the lines. Main thread only.
#pragma once

#include <string>

namespace kestrond {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Writes one line. Never fails; the line is data, never a format.
  virtual void write(const std::string& line) = 0;
};

// The system log and standard error, as described above. Lives as long as
// the program.
LogSink& systemLog();

}  // namespace kestrond
