// The process environment, read and written in this one place.
//
// The monitor exports the installation's variables at its launch and reads
// a few others (PATH, KESTROND_BINARY, the XDG directories, the display);
// every read goes through environmentValue() so that what the program
// depends on can be found here. Main thread only, as setenv(3) is not
// thread-safe.
#pragma once

#include <optional>
#include <string>

#include "Error.h"

namespace kestrond {

// The value of `name`, or none when it is unset. Never fails.
std::optional<std::string> environmentValue(const char* name);

// The value of `name` when it is set and not empty, else none.
std::optional<std::string> nonEmptyEnvironmentValue(const char* name);

// Sets `name` to `value` for the program and every process it starts from
// now on; the Error when the system refuses (no memory, a name with "=").
Error setEnvironmentValue(const char* name, const std::string& value);

}  // namespace kestrond
