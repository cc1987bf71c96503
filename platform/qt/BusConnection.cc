#include "BusConnection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

namespace kestrond {
namespace {

// The session bus's address: the session's, else the user's bus socket, on
// the terms libdbus (and so Qt's own connection) takes it: a socket itself,
// not a link, and the user's own, so that nobody else's socket in a shared
// runtime directory is ever talked to.
std::string sessionAddress() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return address;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return {};
  std::string socket = std::string(runtime) + "/bus";
  struct stat status;
  if (::lstat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode) ||
      status.st_uid != ::getuid()) {
    return {};
  }
  char* escaped = dbus_address_escape_value(socket.c_str());
  if (!escaped) return {};
  std::string result = std::string("unix:path=") + escaped;
  dbus_free(escaped);
  return result;
}

// A watch's notifiers: libdbus gives one watch per direction of the socket.
struct WatchNotifiers {
  std::unique_ptr<QSocketNotifier> read;
  std::unique_ptr<QSocketNotifier> write;
};

// Let go of from within its own signal: disabled now, deleted later.
void retire(std::unique_ptr<QSocketNotifier> notifier) {
  if (!notifier) return;
  notifier->setEnabled(false);
  notifier->disconnect();
  notifier.release()->deleteLater();
}

void answer(DBusPendingCall* pending, void* data) {
  DBusMessage* reply = dbus_pending_call_steal_reply(pending);
  (*static_cast<BusConnection::Answered*>(data))(reply);
  if (reply) dbus_message_unref(reply);
  dbus_pending_call_unref(pending);
}

void forget(void* data) {
  delete static_cast<BusConnection::Answered*>(data);
}

}  // namespace

std::unique_ptr<BusConnection> BusConnection::openSession(
    LogSink& log, std::function<void(const std::string&)> named) {
  std::string address = sessionAddress();
  if (address.empty()) {
    log.write("No session bus: the status item is not offered there");
    return nullptr;
  }
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
  if (!connection) {
    log.write(std::string("Cannot connect to the session bus for the status item: ") +
              (error.message ? error.message : "no reason given"));
    dbus_error_free(&error);
    return nullptr;
  }
  std::unique_ptr<BusConnection> bus(new BusConnection(log, connection));
  // The bus gives the connection its name in answer to its greeting; the
  // objects are served meanwhile, and calls wait in the socket till then.
  Message hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                             "Hello"));
  bus->call(std::move(hello), [&log, named = std::move(named)](DBusMessage* reply) {
    std::string name;
    if (reply && dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN) {
      name = MessageReader(reply).string();
    } else {
      log.write("The session bus did not take the status item's connection");
    }
    named(name);
  });
  return bus;
}

BusConnection::BusConnection(LogSink& log, DBusConnection* connection)
    : _log(log), _connection(connection) {
  // A bus that goes away ends the item, not the program.
  dbus_connection_set_exit_on_disconnect(_connection, FALSE);
  dbus_connection_add_filter(_connection, &BusConnection::filter, this, nullptr);
  dbus_connection_set_watch_functions(_connection, &addWatch, &removeWatch, &toggleWatch, this,
                                      nullptr);
  dbus_connection_set_timeout_functions(_connection, &addTimeout, &removeTimeout, &toggleTimeout,
                                        this, nullptr);
  dbus_connection_set_dispatch_status_function(_connection, &dispatchStatus, this, nullptr);
}

BusConnection::~BusConnection() {
  for (const auto& [path, handler] : _handlers) {
    dbus_connection_unregister_object_path(_connection, path.c_str());
  }
  dbus_connection_close(_connection);
  dbus_connection_set_dispatch_status_function(_connection, nullptr, nullptr, nullptr);
  dbus_connection_set_watch_functions(_connection, nullptr, nullptr, nullptr, nullptr, nullptr);
  dbus_connection_set_timeout_functions(_connection, nullptr, nullptr, nullptr, nullptr, nullptr);
  dbus_connection_remove_filter(_connection, &BusConnection::filter, this);
  dbus_connection_unref(_connection);
}

bool BusConnection::serve(const char* path, Handler handler) {
  auto owned = std::make_unique<Handler>(std::move(handler));
  DBusObjectPathVTable table{};
  table.message_function = &BusConnection::handle;
  if (!dbus_connection_register_object_path(_connection, path, &table, owned.get())) {
    _log.write(std::string("Cannot serve ") + path + " on the status item's connection");
    return false;
  }
  _handlers[path] = std::move(owned);
  return true;
}

void BusConnection::unserve(const char* path) {
  auto served = _handlers.find(path);
  if (served == _handlers.end()) return;
  dbus_connection_unregister_object_path(_connection, path);
  _handlers.erase(served);
}

void BusConnection::send(DBusMessage* message) {
  if (message) dbus_connection_send(_connection, message, nullptr);
}

void BusConnection::call(Message message, Answered answered) {
  DBusPendingCall* pending = nullptr;
  if (!message ||
      !dbus_connection_send_with_reply(_connection, message.get(), &pending,
                                       DBUS_TIMEOUT_USE_DEFAULT) ||
      !pending) {
    // A closed connection: no answer will come.
    QTimer::singleShot(0, this, [answered = std::move(answered)] { answered(nullptr); });
    return;
  }
  dbus_pending_call_set_notify(pending, &answer, new Answered(std::move(answered)), &forget);
}

void BusConnection::subscribe(const char* sender, const char* path, const char* interface,
                              const char* member, const char* arg0,
                              std::function<void(DBusMessage*)> told) {
  std::string rule = std::string("type='signal',path='") + path + "',interface='" + interface +
                     "',member='" + member + "'";
  if (sender) rule += std::string(",sender='") + sender + "'";
  if (arg0) rule += std::string(",arg0='") + arg0 + "'";
  _subscriptions.push_back(
      {sender ? sender : "", path, interface, member, arg0 ? arg0 : "", std::move(told)});
  Message add(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                           "AddMatch"));
  if (!add) return;
  MessageWriter(add.get()).string(rule);
  call(std::move(add), [this, rule](DBusMessage* reply) {
    if (reply && dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
      _log.write("The session bus refused to pass on the signals " + rule);
    }
  });
}

void BusConnection::scheduleDispatch() {
  if (_dispatchScheduled) return;
  _dispatchScheduled = true;
  QTimer::singleShot(0, this, [this] { dispatch(); });
}

void BusConnection::dispatch() {
  _dispatchScheduled = false;
  while (dbus_connection_dispatch(_connection) == DBUS_DISPATCH_DATA_REMAINS) {
  }
}

dbus_bool_t BusConnection::addWatch(DBusWatch* watch, void* self) {
  auto* bus = static_cast<BusConnection*>(self);
  auto* notifiers = new WatchNotifiers;
  int fd = dbus_watch_get_unix_fd(watch);
  unsigned flags = dbus_watch_get_flags(watch);
  auto make = [&](QSocketNotifier::Type type, unsigned condition) {
    auto notifier = std::make_unique<QSocketNotifier>(fd, type);
    notifier->setEnabled(dbus_watch_get_enabled(watch));
    QObject::connect(notifier.get(), &QSocketNotifier::activated, bus, [bus, watch, condition] {
      dbus_watch_handle(watch, condition);
      // What was read is answered now, not a loop turn later.
      bus->dispatch();
    });
    return notifier;
  };
  if (flags & DBUS_WATCH_READABLE)
    notifiers->read = make(QSocketNotifier::Read, DBUS_WATCH_READABLE);
  if (flags & DBUS_WATCH_WRITABLE) {
    notifiers->write = make(QSocketNotifier::Write, DBUS_WATCH_WRITABLE);
  }
  dbus_watch_set_data(watch, notifiers, nullptr);
  return TRUE;
}

void BusConnection::removeWatch(DBusWatch* watch, void*) {
  auto* notifiers = static_cast<WatchNotifiers*>(dbus_watch_get_data(watch));
  if (!notifiers) return;
  dbus_watch_set_data(watch, nullptr, nullptr);
  retire(std::move(notifiers->read));
  retire(std::move(notifiers->write));
  delete notifiers;
}

void BusConnection::toggleWatch(DBusWatch* watch, void*) {
  auto* notifiers = static_cast<WatchNotifiers*>(dbus_watch_get_data(watch));
  if (!notifiers) return;
  bool enabled = dbus_watch_get_enabled(watch);
  if (notifiers->read) notifiers->read->setEnabled(enabled);
  if (notifiers->write) notifiers->write->setEnabled(enabled);
}

dbus_bool_t BusConnection::addTimeout(DBusTimeout* timeout, void* self) {
  auto* bus = static_cast<BusConnection*>(self);
  auto* timer = new QTimer(bus);
  timer->setInterval(dbus_timeout_get_interval(timeout));
  QObject::connect(timer, &QTimer::timeout, bus, [bus, timeout] {
    dbus_timeout_handle(timeout);
    bus->dispatch();
  });
  if (dbus_timeout_get_enabled(timeout)) timer->start();
  dbus_timeout_set_data(timeout, timer, nullptr);
  return TRUE;
}

void BusConnection::removeTimeout(DBusTimeout* timeout, void*) {
  auto* timer = static_cast<QTimer*>(dbus_timeout_get_data(timeout));
  if (!timer) return;
  dbus_timeout_set_data(timeout, nullptr, nullptr);
  timer->stop();
  timer->disconnect();
  timer->deleteLater();
}

void BusConnection::toggleTimeout(DBusTimeout* timeout, void*) {
  auto* timer = static_cast<QTimer*>(dbus_timeout_get_data(timeout));
  if (!timer) return;
  timer->setInterval(dbus_timeout_get_interval(timeout));
  if (dbus_timeout_get_enabled(timeout)) {
    timer->start();
  } else {
    timer->stop();
  }
}

void BusConnection::dispatchStatus(DBusConnection*, DBusDispatchStatus status, void* self) {
  // Called with libdbus's lock held: dispatched from the loop.
  if (status == DBUS_DISPATCH_DATA_REMAINS) static_cast<BusConnection*>(self)->scheduleDispatch();
}

DBusHandlerResult BusConnection::filter(DBusConnection*, DBusMessage* message, void* self) {
  auto* bus = static_cast<BusConnection*>(self);
  if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_SIGNAL) {
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  }
  if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
    bus->_log.write("The session bus closed the status item's connection");
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  }
  // By index: a subscriber may subscribe again meanwhile.
  for (size_t i = 0; i < bus->_subscriptions.size(); ++i) {
    const Subscription& each = bus->_subscriptions[i];
    // The bus names the true sender: a client cannot pose as another.
    if ((!each.sender.empty() && !dbus_message_has_sender(message, each.sender.c_str())) ||
        !dbus_message_has_path(message, each.path.c_str()) ||
        !dbus_message_is_signal(message, each.interface.c_str(), each.member.c_str())) {
      continue;
    }
    if (!each.arg0.empty() && MessageReader(message).string() != each.arg0) continue;
    std::function<void(DBusMessage*)> told = each.told;
    told(message);
  }
  return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

DBusHandlerResult BusConnection::handle(DBusConnection*, DBusMessage* message, void* handler) {
  return (*static_cast<Handler*>(handler))(message) ? DBUS_HANDLER_RESULT_HANDLED
                                                    : DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

}  // namespace kestrond
