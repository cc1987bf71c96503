// Finding the Kestrond installation and exporting the environment that its
// server and ODBC clients need.
//
// Called once at launch, by the application, before any server is started:
// every server the monitor launches inherits what this writes. The
// installation is $KESTROND_HOME (links resolved) or the bundled
// "<bundle>/Contents/kestrond"; it becomes the manager's search path.
#pragma once

#include <string>

#include "Log.h"

namespace kestrond {

class KestrondManager;

// Locates the installation, writes KESTROND_HOME, PATH, LD_LIBRARY_PATH,
// ODBCINI and ODBCINSTINI, and adds the installation to `manager` as a search
// path. Without an installation: logs "Kestrond installation not found" to
// `log` and changes nothing. A variable the system refuses to set is logged
// and left as it was; the rest are still written.
void setupGlobalEnvironment(KestrondManager& manager, const std::string& bundlePath, LogSink& log);

}  // namespace kestrond
