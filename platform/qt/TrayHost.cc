#include "TrayHost.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QGuiApplication>
#include <QVariant>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kestrond {
namespace {

bool statusNotifierHostPresent() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  QDBusReply<bool> registered = bus.interface()->isServiceRegistered(watcher);
  if (!registered.isValid() || !registered.value()) return false;
  QDBusInterface properties(watcher, QStringLiteral("/StatusNotifierWatcher"),
                            QStringLiteral("org.freedesktop.DBus.Properties"), bus);
  properties.setTimeout(1000);
  QDBusReply<QVariant> host = properties.call(QStringLiteral("Get"), watcher,
                                              QStringLiteral("IsStatusNotifierHostRegistered"));
  return host.isValid() && host.value().toBool();
}

// The X screen of $DISPLAY (":0.1" is screen 1).
int screenNumber() {
  const char* display = getenv("DISPLAY");
  if (!display) return 0;
  const char* colon = strrchr(display, ':');
  const char* dot = colon ? strchr(colon, '.') : nullptr;
  return dot ? atoi(dot + 1) : 0;
}

bool xembedTrayPresent() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return false;
  std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber());
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, name.size(), name.c_str()), nullptr);
  if (!atom) return false;
  xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
      connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
  bool present = owner && owner->owner != XCB_NONE;
  free(owner);
  free(atom);
  return present;
}

}  // namespace

TrayHostKind findTrayHost() {
  if (statusNotifierHostPresent()) return TrayHostKind::StatusNotifier;
  if (xembedTrayPresent()) return TrayHostKind::XEmbed;
  return TrayHostKind::None;
}

}  // namespace kestrond
