#include "DBusObject.h"

#include <QDBusVariant>

#include "DBusTypes.h"

namespace kestrond {
namespace {

const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");

const char kStandardInterfacesXml[] = R"xml(  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg type="s" name="interface" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="GetAll">
      <arg type="s" name="interface" direction="in"/>
      <arg type="a{sv}" name="properties" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect">
      <arg type="s" name="data" direction="out"/>
    </method>
  </interface>
)xml";

}  // namespace

DBusObject::DBusObject(LogSink& log, QString path, QString interface, const char* interfaceXml,
                       std::string what)
    : _log(log),
      _path(std::move(path)),
      _interface(std::move(interface)),
      _interfaceXml(interfaceXml),
      _what(std::move(what)),
      _bus(QString()) {
  registerDBusTypes();
}

DBusObject::~DBusObject() {
  if (_serving) _bus.unregisterObject(_path);
}

bool DBusObject::serveOn(QDBusConnection bus) {
  if (_serving) return true;
  if (!bus.isConnected() || !bus.registerVirtualObject(_path, this)) {
    _log.write("Cannot offer " + _what + " on the session bus (" + _path.toStdString() + ")");
    return false;
  }
  _bus = bus;
  _serving = true;
  return true;
}

void DBusObject::emitSignal(const QString& name, const QList<QVariant>& arguments) {
  if (!_serving) return;
  QDBusMessage message = QDBusMessage::createSignal(_path, _interface, name);
  message.setArguments(arguments);
  _bus.send(message);
}

bool DBusObject::reply(const QDBusMessage& message, const QDBusConnection& connection,
                       const QList<QVariant>& values) {
  connection.send(message.createReply(values));
  return true;
}

bool DBusObject::refuse(const QDBusMessage& message, const QDBusConnection& connection,
                        const QString& error, const QString& text) {
  connection.send(message.createErrorReply(error, text));
  return true;
}

QString DBusObject::introspect(const QString&) const {
  return QString::fromLatin1(_interfaceXml);
}

bool DBusObject::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  const QString& member = message.member();
  const QString signature = message.signature();
  const QList<QVariant> arguments = message.arguments();
  if (message.interface() == kIntrospectable && member == QStringLiteral("Introspect")) {
    return reply(message, connection,
                 {QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
                                 "Introspection 1.0//EN\"\n \"http://www.freedesktop.org/"
                                 "standards/dbus/1.0/introspect.dtd\">\n<node>\n") +
                  QString::fromLatin1(_interfaceXml) + QString::fromLatin1(kStandardInterfacesXml) +
                  QStringLiteral("</node>\n")});
  }
  if (message.interface() == kProperties) {
    if (member == QStringLiteral("GetAll") && signature == QStringLiteral("s")) {
      if (arguments[0].toString() != _interface) return reply(message, connection, {QVariantMap()});
      return reply(message, connection, {properties()});
    }
    if (member == QStringLiteral("Get") && signature == QStringLiteral("ss")) {
      QVariantMap all = properties();
      QString name = arguments[1].toString();
      if (arguments[0].toString() == _interface && all.contains(name)) {
        return reply(message, connection, {QVariant::fromValue(QDBusVariant(all[name]))});
      }
      return invalidArguments(message, connection, QStringLiteral("No such property"));
    }
    return refuse(message, connection,
                  QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                  QStringLiteral("The properties are read-only"));
  }
  if (!message.interface().isEmpty() && message.interface() != _interface) return false;
  if (call(message, connection)) return true;
  return refuse(message, connection, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                QStringLiteral("No method %1 with signature %2").arg(member, signature));
}

}  // namespace kestrond
