#include "ServiceUnit.h"

#include <signal.h>

#include <cstdio>
#include <limits>

namespace kestrond {

namespace {

// The slice the desktops put applications in.
constexpr const char* kAppSlice = "app.slice";

// One byte of a unit name's component, as systemd-escape writes it:
// letters, digits, ":", "_" and "." stay ("." not in front), "/" becomes
// "-", every other byte "\xNN".
std::string escapedByte(unsigned char byte, bool first) {
  bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
               (byte >= '0' && byte <= '9') || byte == ':' || byte == '_' ||
               (byte == '.' && !first);
  if (plain) return std::string(1, static_cast<char>(byte));
  if (byte == '/') return "-";
  char code[5];
  std::snprintf(code, sizeof code, "\\x%02x", byte);
  return code;
}

}  // namespace

std::string serverScopeName(const std::string& label, uint64_t random) {
  static const std::string prefix = "app-kestrond\\x2dmonitor-";
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%016llx.scope", static_cast<unsigned long long>(random));
  constexpr size_t kUnitNameMax = 255;
  size_t room = kUnitNameMax - prefix.size() - std::string(suffix).size();
  // Shortened by whole bytes of the label, never inside a "\xNN", so that
  // the name stays valid.
  std::string part;
  for (size_t i = 0; i < label.size(); ++i) {
    std::string next = escapedByte(static_cast<unsigned char>(label[i]), i == 0);
    if (part.size() + next.size() > room) break;
    part += next;
  }
  if (part.empty()) part = "server";
  return prefix + part + suffix;
}

std::vector<UnitProperty> serverScopeProperties(pid_t pid, const std::string& description) {
  return {
      {"Description", description},
      {"PIDs", std::vector<uint32_t>{static_cast<uint32_t>(pid)}},
      {"Slice", std::string(kAppSlice)},
      // A scope has no main process: "mixed" or "process" would send the
      // SIGTERM to none of it and leave the server to a SIGKILL at the
      // end. So every process of the scope gets SIGTERM at once, as any
      // service's do by default, and none gets anything else.
      {"KillMode", std::string("control-group")},
      {"KillSignal", int32_t{SIGTERM}},
      {"SendSIGHUP", false},
      {"SendSIGKILL", false},
      {"TimeoutStopUSec", std::numeric_limits<uint64_t>::max()},
      // A scope that could not take the process is not left behind as failed.
      {"CollectMode", std::string("inactive-or-failed")},
  };
}

}  // namespace kestrond
