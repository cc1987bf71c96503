// One object the monitor serves on the status item's bus connection at a
// fixed path, with one interface of its own declared in a table: its
// methods (argument names and types, and what answers them), its read-only
// properties (name, type, and what writes the value) and its signals.
// Introspect's XML is written from the table and calls are dispatched by
// it, so nothing is introspected that is not answered, nor answered that is
// not introspected. The standard interfaces (Properties, Introspectable)
// are declared and answered here the same way. The tray item and its menu
// are built on it. Main thread only.
#pragma once

#include <QObject>
#include <functional>
#include <string>
#include <vector>

#include "BusConnection.h"
#include "BusMessage.h"
#include "Log.h"

namespace kestrond {

struct DBusArgument {
  const char* name;
  const char* type;  // a D-Bus signature
};

// Writes a message's arguments, or one value.
using WriteValues = std::function<void(MessageWriter&)>;

struct DBusInterface {
  struct Method {
    const char* name;
    std::vector<DBusArgument> in;
    std::vector<DBusArgument> out;
    // Replies to the call, or refuses it, once; `arguments` have the types
    // of `in`.
    std::function<void(DBusMessage* call, MessageReader& arguments)> answer;
  };
  struct Property {
    const char* name;
    const char* type;
    WriteValues value;  // as it is now
  };
  struct Signal {
    const char* name;
    std::vector<DBusArgument> arguments;
  };

  std::string name;
  std::vector<Method> methods;
  std::vector<Property> properties;  // all read-only
  std::vector<Signal> emitted;
};

class DBusObject : public QObject {
 public:
  // `what` names the object in the log ("the menu").
  DBusObject(LogSink& log, const char* path, std::string what);
  ~DBusObject() override;

  // Serves the object on `bus` from now on; false (logged) when it cannot.
  // `bus` outlives the object.
  bool serveOn(BusConnection& bus);

 protected:
  // Declares the object's own interface: once, from the maker's
  // constructor, before it is served.
  void declare(DBusInterface interface);

  // Sends a declared signal; nothing while not served.
  void emitSignal(const char* name, const WriteValues& arguments = nullptr);

  // Replies to `call` with the values `values` writes; nothing when the
  // caller wants no reply.
  void reply(DBusMessage* call, const WriteValues& values = nullptr);
  // Sends a message made here; nothing while not served.
  void send(DBusMessage* message);
  void refuse(DBusMessage* call, const char* error, const std::string& text);
  void invalidArguments(DBusMessage* call, const std::string& text);

  LogSink& _log;

 private:
  bool handle(DBusMessage* message);
  std::string interfaceXml(const DBusInterface& interface) const;

  const char* _path;
  const std::string _what;
  std::vector<DBusInterface> _interfaces;  // the object's own first
  std::string _introspection;              // the whole node, written once
  BusConnection* _bus = nullptr;
};

}  // namespace kestrond
