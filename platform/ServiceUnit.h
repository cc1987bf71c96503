// The systemd unit a server started by the monitor is put in: its name and
// the properties it is created with, as plain values. The Qt backend sends
// them to the session's service manager (StartTransientUnit); the tests
// read them here. Any thread; no state.
//
// The unit is a scope that adopts the launched child before it runs the
// server, so the server stays the monitor's child (its end and an exec
// failure are still collected here) while it lives in a control group of
// its own: the session's end, the monitor's Quit or crash and the monitor's
// own unit stopping touch nothing of it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kestrond {

// "app-kestrond\x2dmonitor-<label>-<random>.scope", after the desktops'
// convention for applications a launcher started: the launcher's name, what
// it started (an instance directory's name, escaped, shortened to fit), and
// 16 hexadecimal digits that make it unique. Never longer than systemd's
// 255 bytes.
std::string serverScopeName(const std::string& label, uint64_t random);

// One property of StartTransientUnit's a(sv), with the D-Bus type its
// value must have: s, b, i, t or au.
struct UnitProperty {
  using Value = std::variant<std::string, bool, int32_t, uint64_t, std::vector<uint32_t>>;
  std::string name;
  Value value;
};

// The properties of the server's scope: it adopts `pid`, lives in the
// applications' slice, is tied to no session target, and is stopped only
// by SIGTERM to each of its processes, with no time-out and no SIGKILL, so
// a database shutting down is never cut short by the manager.
std::vector<UnitProperty> serverScopeProperties(pid_t pid, const std::string& description);

}  // namespace kestrond
