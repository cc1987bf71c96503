#include "TrayHost.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QVariant>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Environment.h"

namespace kestrond {
namespace {

// How long the watcher may take to answer; a panel that is starting or
// wedged is asked again at the next look.
constexpr int kWatcherTimeoutMs = 1000;

// The X screen of $DISPLAY (":0.1" is screen 1).
int screenNumber() {
  std::optional<std::string> value = environmentValue("DISPLAY");
  if (!value) return 0;
  const char* display = value->c_str();
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

void findTrayHost(QObject* context, std::function<void(TrayHostKind)> answered) {
  auto fallBack = [answered] {
    answered(xembedTrayPresent() ? TrayHostKind::XEmbed : TrayHostKind::None);
  };
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    fallBack();
    return;
  }
  // One asynchronous property read: no proxy, whose constructor would
  // introspect the watcher synchronously. Without an owner of the name the
  // bus answers with an error at once.
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  QDBusMessage get = QDBusMessage::createMethodCall(
      watcher, QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
  auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(get, kWatcherTimeoutMs), context);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, context,
                   [answered, fallBack](QDBusPendingCallWatcher* call) {
                     QDBusPendingReply<QDBusVariant> reply = *call;
                     call->deleteLater();
                     if (!reply.isError() && reply.value().variant().toBool()) {
                       answered(TrayHostKind::StatusNotifier);
                     } else {
                       fallBack();
                     }
                   });
}

}  // namespace kestrond
