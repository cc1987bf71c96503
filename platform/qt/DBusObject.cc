#include "DBusObject.h"

#include <cstring>

namespace kestrond {
namespace {

constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";

std::string signatureOf(const std::vector<DBusArgument>& arguments) {
  std::string signature;
  for (const DBusArgument& argument : arguments) signature += argument.type;
  return signature;
}

std::string argumentsXml(const std::vector<DBusArgument>& arguments, const char* direction) {
  std::string xml;
  for (const DBusArgument& argument : arguments) {
    xml += std::string("      <arg type=\"") + argument.type + "\" name=\"" + argument.name + "\"";
    if (direction) xml += std::string(" direction=\"") + direction + "\"";
    xml += "/>\n";
  }
  return xml;
}

}  // namespace

DBusObject::DBusObject(LogSink& log, const char* path, std::string what)
    : _log(log), _path(path), _what(std::move(what)) {
  _interfaces.push_back({"org.freedesktop.DBus.Properties",
                         {{"Get",
                           {{"interface", "s"}, {"name", "s"}},
                           {{"value", "v"}},
                           [this](DBusMessage* call, MessageReader& arguments) {
                             const DBusInterface& own = _interfaces.front();
                             std::string interface = arguments.string();
                             std::string name = arguments.string();
                             if (interface == own.name) {
                               for (const DBusInterface::Property& property : own.properties) {
                                 if (name != property.name) continue;
                                 return reply(call, [&](MessageWriter& out) {
                                   out.variant(property.type, property.value);
                                 });
                               }
                             }
                             invalidArguments(call, "No such property");
                           }},
                          {"GetAll",
                           {{"interface", "s"}},
                           {{"properties", "a{sv}"}},
                           [this](DBusMessage* call, MessageReader& arguments) {
                             const DBusInterface& own = _interfaces.front();
                             bool ours = arguments.string() == own.name;
                             reply(call, [&](MessageWriter& out) {
                               out.container('a', "{sv}", [&](MessageWriter& all) {
                                 if (!ours) return;
                                 for (const DBusInterface::Property& property : own.properties) {
                                   all.container('{', nullptr, [&](MessageWriter& entry) {
                                     entry.string(property.name);
                                     entry.variant(property.type, property.value);
                                   });
                                 }
                               });
                             });
                           }},
                          {"Set",
                           {{"interface", "s"}, {"name", "s"}, {"value", "v"}},
                           {},
                           [this](DBusMessage* call, MessageReader&) {
                             refuse(call, "org.freedesktop.DBus.Error.PropertyReadOnly",
                                    "The properties are read-only");
                           }}},
                         {},
                         {}});
  _interfaces.push_back({"org.freedesktop.DBus.Introspectable",
                         {{"Introspect",
                           {},
                           {{"data", "s"}},
                           [this](DBusMessage* call, MessageReader&) {
                             reply(call,
                                   [this](MessageWriter& out) { out.string(_introspection); });
                           }}},
                         {},
                         {}});
}

DBusObject::~DBusObject() {
  if (_bus) _bus->unserve(_path);
}

void DBusObject::declare(DBusInterface interface) {
  _interfaces.insert(_interfaces.begin(), std::move(interface));
  _introspection =
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n";
  for (const DBusInterface& each : _interfaces) _introspection += interfaceXml(each);
  _introspection += "</node>\n";
}

std::string DBusObject::interfaceXml(const DBusInterface& interface) const {
  std::string xml = "  <interface name=\"" + interface.name + "\">\n";
  for (const DBusInterface::Property& property : interface.properties) {
    xml += std::string("    <property name=\"") + property.name + "\" type=\"" + property.type +
           "\" access=\"read\"/>\n";
  }
  for (const DBusInterface::Method& method : interface.methods) {
    xml += std::string("    <method name=\"") + method.name + "\">\n" +
           argumentsXml(method.in, "in") + argumentsXml(method.out, "out") + "    </method>\n";
  }
  for (const DBusInterface::Signal& signal : interface.emitted) {
    xml += std::string("    <signal name=\"") + signal.name + "\">\n" +
           argumentsXml(signal.arguments, nullptr) + "    </signal>\n";
  }
  return xml + "  </interface>\n";
}

bool DBusObject::serveOn(BusConnection& bus) {
  if (_bus) return true;
  if (!bus.serve(_path, [this](DBusMessage* message) { return handle(message); })) {
    _log.write("Cannot offer " + _what + " on the session bus (" + _path + ")");
    return false;
  }
  _bus = &bus;
  return true;
}

void DBusObject::emitSignal(const char* name, const WriteValues& arguments) {
  if (!_bus) return;
  const DBusInterface& own = _interfaces.front();
  for (const DBusInterface::Signal& signal : own.emitted) {
    if (std::strcmp(signal.name, name) != 0) continue;
    Message message(dbus_message_new_signal(_path, own.name.c_str(), name));
    if (!message) return;
    if (arguments) {
      MessageWriter out(message.get());
      arguments(out);
    }
    _bus->send(message.get());
    return;
  }
  _log.write(std::string("Not sent, as it is not declared: the signal ") + name);
}

void DBusObject::reply(DBusMessage* call, const WriteValues& values) {
  if (dbus_message_get_no_reply(call)) return;
  Message message(dbus_message_new_method_return(call));
  if (message && values) {
    MessageWriter out(message.get());
    values(out);
  }
  send(message.get());
}

void DBusObject::send(DBusMessage* message) {
  if (_bus && message) _bus->send(message);
}

void DBusObject::refuse(DBusMessage* call, const char* error, const std::string& text) {
  if (dbus_message_get_no_reply(call)) return;
  Message message(dbus_message_new_error(call, error, text.c_str()));
  send(message.get());
}

void DBusObject::invalidArguments(DBusMessage* call, const std::string& text) {
  refuse(call, "org.freedesktop.DBus.Error.InvalidArgs", text);
}

bool DBusObject::handle(DBusMessage* message) {
  if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return false;
  const char* name = dbus_message_get_interface(message);
  const char* member = dbus_message_get_member(message);
  if (!member) return false;
  bool knownInterface = false;
  for (const DBusInterface& interface : _interfaces) {
    // A call without an interface goes to the first that has the method.
    if (name && interface.name != name) continue;
    knownInterface = true;
    for (const DBusInterface::Method& method : interface.methods) {
      if (std::strcmp(member, method.name) != 0) continue;
      std::string expected = signatureOf(method.in);
      if (!dbus_message_has_signature(message, expected.c_str())) {
        invalidArguments(message, std::string(member) + " takes \"" + expected + "\"");
      } else {
        MessageReader arguments(message);
        method.answer(message, arguments);
      }
      return true;
    }
  }
  if (!knownInterface) return false;
  refuse(message, kUnknownMethod, std::string("No method ") + member);
  return true;
}

}  // namespace kestrond
