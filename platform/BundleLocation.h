// Where the monitor's bundle lies: the directory that holds "Contents".
//
// The bundle path decides where the bundled installation is looked for
// ("<bundle>/Contents/kestrond") and is what the login entry points at. The
// rule lives here only; callers pass the executable's path so that tests can
// try any layout.
#pragma once

#include <string>

namespace kestrond {

// The bundle path for an executable at `executable` (an absolute path): <B>
// when it lies at <B>/Contents/<dir>/<name>, otherwise the directory above
// the executable's own directory. Never fails; "/" at the top.
std::string bundlePathForExecutable(const std::string& executable);

// The absolute path of the running executable (/proc/self/exe), or "" when
// the system cannot tell.
std::string currentExecutablePath();

}  // namespace kestrond
