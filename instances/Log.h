// One line per event, for the whole program.
//
// Every part of the monitor reports trouble and notable events through
// logLine(): a plain English sentence with its arguments already filled in.
// The default sink writes the line to the system log (identifier
// "kestrond-monitor", with the process id) and to standard error with a time
// stamp, as a desktop program's log line would; when standard error is the
// journal's stream (a session service started by systemd), to the system log
// alone, which reaches the journal once. Tests install a sink of their
// own to read the lines. Main thread only, like the rest of the monitor.
#pragma once

#include <functional>
#include <string>

namespace kestrond {

using LogSink = std::function<void(const std::string& line)>;

// Writes one line through the current sink. Never fails.
void logLine(const std::string& line);

// Replaces the sink; an empty function restores the default. Returns the
// previous sink so that a caller can put it back.
LogSink setLogSink(LogSink sink);

// The readable text of an errno value ("No such file or directory"); the one
// place where error numbers become words.
std::string errnoText(int error);

}  // namespace kestrond
