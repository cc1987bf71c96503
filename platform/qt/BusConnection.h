// The status item's own connection to the session bus, on libdbus, read and
// written on the main loop. A panel's call reaches the object that answers
// it on the main thread straight from the socket, and its reply is written
// there at once: no thread in between, and no conversion of every value
// through a variant type. Nothing here blocks: the bus's greeting and every
// call are answered through the loop. Qt code (its socket notifiers and
// timers); created by QtStatusItem; main thread only.
#pragma once

#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BusMessage.h"
#include "Log.h"

namespace kestrond {

class BusConnection : public QObject {
 public:
  // Answers a call to a served path; false when it is not one the object
  // knows (libdbus then refuses it as unknown).
  using Handler = std::function<bool(DBusMessage* call)>;
  // A call's reply, or the error that came instead (a missing bus answer
  // after libdbus's timeout is one).
  using Answered = std::function<void(DBusMessage* reply)>;

  // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS, or the user's
  // bus in XDG_RUNTIME_DIR) and greets it; nullptr, logged, when there is
  // none. `named` is called once from the loop with the connection's unique
  // name, or an empty one when the bus did not give it one.
  static std::unique_ptr<BusConnection> openSession(
      LogSink& log, std::function<void(const std::string& uniqueName)> named);
  ~BusConnection() override;

  // Serves `path` from now on; false, logged, when libdbus refuses it.
  bool serve(const char* path, Handler handler);
  // Serves `path` no more.
  void unserve(const char* path);
  // Sends `message` now, or as soon as the socket takes it; nothing on a
  // closed connection.
  void send(DBusMessage* message);
  // Sends a method call; `answered` runs on the loop with what came back
  // (nullptr when the connection is closed and nothing will).
  void call(Message message, Answered answered);
  // Asks the bus for the signals `interface`.`member` at `path`, from
  // `sender` when given, with the first argument `arg0` when given; `told`
  // runs with each. Signals and replies come in the order the bus sent
  // them.
  void subscribe(const char* sender, const char* path, const char* interface, const char* member,
                 const char* arg0, std::function<void(DBusMessage* signal)> told);

 private:
  BusConnection(LogSink& log, DBusConnection* connection);
  // Runs what libdbus has read, on the next loop turn.
  void scheduleDispatch();
  void dispatch();

  // libdbus's hooks into the loop.
  static dbus_bool_t addWatch(DBusWatch* watch, void* self);
  static void removeWatch(DBusWatch* watch, void* self);
  static void toggleWatch(DBusWatch* watch, void* self);
  static dbus_bool_t addTimeout(DBusTimeout* timeout, void* self);
  static void removeTimeout(DBusTimeout* timeout, void* self);
  static void toggleTimeout(DBusTimeout* timeout, void* self);
  static void dispatchStatus(DBusConnection*, DBusDispatchStatus status, void* self);
  static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* self);
  static DBusHandlerResult handle(DBusConnection*, DBusMessage* message, void* handler);

  LogSink& _log;
  DBusConnection* _connection;
  std::map<std::string, std::unique_ptr<Handler>> _handlers;  // by path
  struct Subscription {
    std::string sender;  // any when empty
    std::string path;
    std::string interface;
    std::string member;
    std::string arg0;  // any when empty
    std::function<void(DBusMessage*)> told;
  };
  std::vector<Subscription> _subscriptions;
  bool _dispatchScheduled = false;
};

}  // namespace kestrond
