// One object the monitor serves on the session bus at a fixed path, with one
// interface of its own declared in a table: its methods (argument names and
// types, and what answers them), its read-only properties (name, type, and
// where the value comes from) and its signals. Introspect's XML is written
// from the table and calls are dispatched by it, so nothing is introspected
// that is not answered, nor answered that is not introspected. The standard
// interfaces (Properties, Introspectable) are declared and answered here the
// same way. The tray item and its menu are built on it. Qt code; main
// thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <string>
#include <vector>

#include "Log.h"

namespace kestrond {

struct DBusArgument {
  const char* name;
  const char* type;  // a D-Bus signature
};

struct DBusInterface {
  struct Method {
    const char* name;
    std::vector<DBusArgument> in;
    std::vector<DBusArgument> out;
    // Replies to the call, or refuses it, once; `arguments` have the types
    // of `in`.
    std::function<void(const QDBusMessage& call, const QList<QVariant>& arguments)> answer;
  };
  struct Property {
    const char* name;
    const char* type;
    std::function<QVariant()> value;  // as it is now
  };
  struct Signal {
    const char* name;
    std::vector<DBusArgument> arguments;
  };

  QString name;
  std::vector<Method> methods;
  std::vector<Property> properties;  // all read-only
  std::vector<Signal> emitted;
};

class DBusObject : public QDBusVirtualObject {
 public:
  // `what` names the object in the log ("the menu").
  DBusObject(LogSink& log, QString path, std::string what);
  ~DBusObject() override;

  // Serves the object on `bus` from now on; false (logged) when the path is
  // taken or there is no bus.
  bool serveOn(QDBusConnection bus);

  QString introspect(const QString& path) const final;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) final;

 protected:
  // Declares the object's own interface: once, from the maker's
  // constructor, before it is served.
  void declare(DBusInterface interface);

  // Sends a declared signal; nothing while not served.
  void emitSignal(const char* name, const QList<QVariant>& arguments = {});

  void reply(const QDBusMessage& call, const QList<QVariant>& values = {});
  void refuse(const QDBusMessage& call, const QString& error, const QString& text);
  void invalidArguments(const QDBusMessage& call, const QString& text);

  LogSink& _log;

 private:
  QVariantMap properties() const;
  QString interfaceXml(const DBusInterface& interface) const;

  const QString _path;
  const std::string _what;
  std::vector<DBusInterface> _interfaces;  // the object's own first
  QString _introspection;                  // the whole node, written once
  QDBusConnection _bus;
  bool _serving = false;
};

}  // namespace kestrond
