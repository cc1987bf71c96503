// Finding the panel that will show the tray icon.
//
// Qt picks the D-Bus tray (StatusNotifierItem) or the X11 tray (XEmbed) once,
// at its first look, and never looks again; so the status item asks here
// first and creates its QSystemTrayIcon only once a host is there. Qt code;
// used by QtStatusItem only.
#pragma once

namespace kestrond {

enum class TrayHostKind { None, StatusNotifier, XEmbed };

// The tray host of the session now: a StatusNotifierWatcher on the session
// bus with a registered host, else an owner of the X11 system-tray
// selection, else None. Never blocks for more than about a second.
TrayHostKind findTrayHost();

}  // namespace kestrond
