// Finding the panel that will show the tray icon.
//
// Qt picks the D-Bus tray (StatusNotifierItem) or the X11 tray (XEmbed) once,
// at its first look, and never looks again; so the status item asks here
// first and creates its QSystemTrayIcon only once a host is there. Qt code;
// used by QtStatusItem only.
#pragma once

#include <functional>

class QObject;

namespace kestrond {

enum class TrayHostKind { None, StatusNotifier, XEmbed };

// Asks for the tray host of the session without blocking: a
// StatusNotifierWatcher on the session bus with a registered host, else an
// owner of the X11 system-tray selection, else None. `answered` is called
// once from the main loop (within about a second, also when the watcher's
// owner never answers), unless `context` is destroyed first.
void findTrayHost(QObject* context, std::function<void(TrayHostKind)> answered);

}  // namespace kestrond
