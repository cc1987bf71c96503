// Who the program is to the desktop: its application id (the launcher's and
// AppStream's name, the notifications' desktop entry), the name people see,
// and the program's file name (the system log's identifier, the catalogs'
// text domain, the autostart entry's file). Read by every layer.
#pragma once

namespace kestrond {

inline constexpr const char* kApplicationId = "com.halvorix.KestrondMonitor";
inline constexpr const char* kApplicationName = "Kestrond Monitor";
inline constexpr const char* kProgramName = "kestrond-monitor";

}  // namespace kestrond
