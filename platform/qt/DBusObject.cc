#include "DBusObject.h"

#include <QDBusVariant>

#include "DBusTypes.h"

namespace kestrond {
namespace {

const QString kUnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");

QString signatureOf(const std::vector<DBusArgument>& arguments) {
  QString signature;
  for (const DBusArgument& argument : arguments) signature += QLatin1String(argument.type);
  return signature;
}

QString argumentsXml(const std::vector<DBusArgument>& arguments, const char* direction) {
  QString xml;
  for (const DBusArgument& argument : arguments) {
    xml += QStringLiteral("      <arg type=\"%1\" name=\"%2\"")
               .arg(QLatin1String(argument.type), QLatin1String(argument.name));
    if (direction) xml += QStringLiteral(" direction=\"%1\"").arg(QLatin1String(direction));
    xml += QStringLiteral("/>\n");
  }
  return xml;
}

}  // namespace

DBusObject::DBusObject(LogSink& log, QString path, std::string what)
    : _log(log), _path(std::move(path)), _what(std::move(what)), _bus(QString()) {
  registerDBusTypes();
  _interfaces.push_back(
      {QStringLiteral("org.freedesktop.DBus.Properties"),
       {{"Get",
         {{"interface", "s"}, {"name", "s"}},
         {{"value", "v"}},
         [this](const QDBusMessage& call, const QList<QVariant>& arguments) {
           const DBusInterface& own = _interfaces.front();
           if (arguments[0].toString() == own.name) {
             for (const DBusInterface::Property& property : own.properties) {
               if (arguments[1].toString() != QLatin1String(property.name)) continue;
               return reply(call, {QVariant::fromValue(QDBusVariant(property.value()))});
             }
           }
           invalidArguments(call, QStringLiteral("No such property"));
         }},
        {"GetAll",
         {{"interface", "s"}},
         {{"properties", "a{sv}"}},
         [this](const QDBusMessage& call, const QList<QVariant>& arguments) {
           bool own = arguments[0].toString() == _interfaces.front().name;
           reply(call, {own ? properties() : QVariantMap()});
         }},
        {"Set",
         {{"interface", "s"}, {"name", "s"}, {"value", "v"}},
         {},
         [this](const QDBusMessage& call, const QList<QVariant>&) {
           refuse(call, QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                  QStringLiteral("The properties are read-only"));
         }}},
       {},
       {}});
  _interfaces.push_back({QStringLiteral("org.freedesktop.DBus.Introspectable"),
                         {{"Introspect",
                           {},
                           {{"data", "s"}},
                           [this](const QDBusMessage& call, const QList<QVariant>&) {
                             reply(call, {_introspection});
                           }}},
                         {},
                         {}});
}

DBusObject::~DBusObject() {
  if (_serving) _bus.unregisterObject(_path);
}

void DBusObject::declare(DBusInterface interface) {
  _interfaces.insert(_interfaces.begin(), std::move(interface));
  _introspection = QStringLiteral(
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n");
  for (const DBusInterface& each : _interfaces) _introspection += interfaceXml(each);
  _introspection += QStringLiteral("</node>\n");
}

QString DBusObject::interfaceXml(const DBusInterface& interface) const {
  QString xml = QStringLiteral("  <interface name=\"%1\">\n").arg(interface.name);
  for (const DBusInterface::Property& property : interface.properties) {
    xml += QStringLiteral("    <property name=\"%1\" type=\"%2\" access=\"read\"/>\n")
               .arg(QLatin1String(property.name), QLatin1String(property.type));
  }
  for (const DBusInterface::Method& method : interface.methods) {
    xml += QStringLiteral("    <method name=\"%1\">\n").arg(QLatin1String(method.name)) +
           argumentsXml(method.in, "in") + argumentsXml(method.out, "out") +
           QStringLiteral("    </method>\n");
  }
  for (const DBusInterface::Signal& signal : interface.emitted) {
    xml += QStringLiteral("    <signal name=\"%1\">\n").arg(QLatin1String(signal.name)) +
           argumentsXml(signal.arguments, nullptr) + QStringLiteral("    </signal>\n");
  }
  return xml + QStringLiteral("  </interface>\n");
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

QVariantMap DBusObject::properties() const {
  QVariantMap all;
  for (const DBusInterface::Property& property : _interfaces.front().properties) {
    all.insert(QLatin1String(property.name), property.value());
  }
  return all;
}

void DBusObject::emitSignal(const char* name, const QList<QVariant>& arguments) {
  if (!_serving) return;
  const DBusInterface& own = _interfaces.front();
  for (const DBusInterface::Signal& signal : own.emitted) {
    if (qstrcmp(signal.name, name) != 0) continue;
    QDBusMessage message = QDBusMessage::createSignal(_path, own.name, QLatin1String(name));
    message.setArguments(arguments);
    _bus.send(message);
    return;
  }
  _log.write(std::string("Not sent, as it is not declared: the signal ") + name);
}

void DBusObject::reply(const QDBusMessage& call, const QList<QVariant>& values) {
  _bus.send(call.createReply(values));
}

void DBusObject::refuse(const QDBusMessage& call, const QString& error, const QString& text) {
  _bus.send(call.createErrorReply(error, text));
}

void DBusObject::invalidArguments(const QDBusMessage& call, const QString& text) {
  refuse(call, QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"), text);
}

QString DBusObject::introspect(const QString&) const {
  QString xml;
  for (const DBusInterface& each : _interfaces) xml += interfaceXml(each);
  return xml;
}

bool DBusObject::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
  const QString& name = message.interface();
  const QString& member = message.member();
  bool knownInterface = false;
  for (const DBusInterface& interface : _interfaces) {
    // A call without an interface goes to the first that has the method.
    if (!name.isEmpty() && name != interface.name) continue;
    knownInterface = true;
    for (const DBusInterface::Method& method : interface.methods) {
      if (member != QLatin1String(method.name)) continue;
      QString expected = signatureOf(method.in);
      if (message.signature() != expected) {
        invalidArguments(message, QStringLiteral("%1 takes \"%2\"").arg(member, expected));
      } else {
        method.answer(message, message.arguments());
      }
      return true;
    }
  }
  if (!knownInterface) return false;
  refuse(message, kUnknownMethod, QStringLiteral("No method %1").arg(member));
  return true;
}

}  // namespace kestrond
