// One object the monitor serves on the session bus at a fixed path with one
// interface of its own: what every such object answers the same way
// (Introspect, the read-only properties of org.freedesktop.DBus.Properties,
// unknown methods), its registration, and its signals. The tray item and its
// menu are built on it. Qt code; main thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <string>

#include "Log.h"

namespace kestrond {

class DBusObject : public QDBusVirtualObject {
 public:
  // `interfaceXml` is the introspection of `interface` alone; `what` names
  // the object in the log ("the menu").
  DBusObject(LogSink& log, QString path, QString interface, const char* interfaceXml,
             std::string what);
  ~DBusObject() override;

  // Serves the object on `bus` from now on; false (logged) when the path is
  // taken or there is no bus.
  bool serveOn(QDBusConnection bus);

  QString introspect(const QString& path) const final;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) final;

 protected:
  // The interface's properties as they are now.
  virtual QVariantMap properties() const = 0;
  // Answers a call of the interface's own (or one without an interface);
  // false for a method it does not have.
  virtual bool call(const QDBusMessage& message, const QDBusConnection& connection) = 0;

  // Sends a signal of the interface; nothing while not served.
  void emitSignal(const QString& name, const QList<QVariant>& arguments = {});

  static bool reply(const QDBusMessage& message, const QDBusConnection& connection,
                    const QList<QVariant>& values = {});
  static bool refuse(const QDBusMessage& message, const QDBusConnection& connection,
                     const QString& error, const QString& text);
  static bool invalidArguments(const QDBusMessage& message, const QDBusConnection& connection,
                               const QString& text) {
    return refuse(message, connection, QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                  text);
  }

  LogSink& _log;

 private:
  const QString _path;
  const QString _interface;
  const char* _interfaceXml;
  const std::string _what;
  QDBusConnection _bus;
  bool _serving = false;
};

}  // namespace kestrond
