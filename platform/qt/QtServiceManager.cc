#include "QtServiceManager.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QFileInfo>
#include <QList>
#include <chrono>
#include <random>
#include <type_traits>
#include <variant>

#include "Environment.h"
#include "ServiceUnit.h"

namespace kestrond {

// StartTransientUnit's a(sv) and a(sa(sv)).
struct DBusUnitProperty {
  QString name;
  QDBusVariant value;
};
using DBusUnitProperties = QList<DBusUnitProperty>;
struct DBusAuxiliaryUnit {
  QString name;
  DBusUnitProperties properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusUnitProperty& property) {
  argument.beginStructure();
  argument << property.name << property.value;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusUnitProperty& property) {
  argument.beginStructure();
  argument >> property.name >> property.value;
  argument.endStructure();
  return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const DBusAuxiliaryUnit& unit) {
  argument.beginStructure();
  argument << unit.name << unit.properties;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusAuxiliaryUnit& unit) {
  argument.beginStructure();
  argument >> unit.name >> unit.properties;
  argument.endStructure();
  return argument;
}

}  // namespace kestrond

Q_DECLARE_METATYPE(kestrond::DBusUnitProperty)
Q_DECLARE_METATYPE(kestrond::DBusAuxiliaryUnit)

namespace kestrond {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kPrivateConnection = QStringLiteral("kestrond-service-manager-");

QVariant toQVariant(const UnitProperty::Value& value) {
  return std::visit(
      [](const auto& v) -> QVariant {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return QString::fromStdString(v);
        } else if constexpr (std::is_same_v<T, std::vector<uint32_t>>) {
          return QVariant::fromValue(QList<uint>(v.begin(), v.end()));
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          return QVariant::fromValue(qulonglong{v});
        } else {
          return QVariant::fromValue(v);
        }
      },
      value);
}

uint64_t randomNumber() {
  std::random_device device;
  return (uint64_t{device()} << 32) | device();
}

// The call's own time-out lies beyond the deadline, so that a manager that
// does not answer is always told by the deadline, in one way.
int callTimeoutMilliseconds() {
  return static_cast<int>(std::chrono::milliseconds(2 * kPlacementWait).count());
}

Error notAnswered() {
  return Error::because("the service manager did not answer within " +
                        std::to_string(kPlacementWait.count()) + " s");
}

}  // namespace

QtServiceManager::QtServiceManager() {
  qDBusRegisterMetaType<QList<uint>>();
  qDBusRegisterMetaType<DBusUnitProperty>();
  qDBusRegisterMetaType<DBusUnitProperties>();
  qDBusRegisterMetaType<DBusAuxiliaryUnit>();
  qDBusRegisterMetaType<QList<DBusAuxiliaryUnit>>();
}

QtServiceManager::~QtServiceManager() {
  // Whatever is still pending is let go by the monitor's end itself.
  _pending.clear();
  unfollowIdle();
}

void QtServiceManager::place(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) {
  QString name = QString::fromStdString(serverScopeName(unit.label, randomNumber()));
  Pending& pending = _pending[name];
  pending.pid = pid;
  pending.description = QString::fromStdString(unit.description);
  pending.done = std::move(done);
  pending.deadline = std::make_unique<QTimer>();
  pending.deadline->setSingleShot(true);
  QObject::connect(pending.deadline.get(), &QTimer::timeout, this,
                   [this, name] { finish(name, notAnswered()); });
  pending.deadline->start(std::chrono::milliseconds(kPlacementWait));
  send(name,
       QDBusConnection::sessionBus().isConnected() ? Route::SessionBus : Route::PrivateSocket);
}

QDBusConnection QtServiceManager::connection(Route route) {
  if (route == Route::SessionBus) return QDBusConnection::sessionBus();
  if (!_privateName.isEmpty()) {
    QDBusConnection open(_privateName);
    if (open.isConnected()) return open;
    closePrivateConnection();  // the manager went away or restarted
  }
  std::string socket = environmentValue("XDG_RUNTIME_DIR").value_or("") + "/systemd/private";
  if (!QFileInfo(QString::fromStdString(socket)).exists()) return QDBusConnection(QString());
  // A name of its own each time: Qt lets go of a closed peer connection
  // only later, and a name reused meanwhile would give the closed one.
  _privateName = kPrivateConnection + QString::number(++_privateConnections);
  QDBusConnection peer = QDBusConnection::connectToPeer(
      QStringLiteral("unix:path=") + QString::fromStdString(socket), _privateName);
  if (!peer.isConnected()) {
    _unreachable = peer.lastError().message().toStdString();
    closePrivateConnection();
  }
  return peer;
}

void QtServiceManager::closePrivateConnection() {
  QDBusConnection::disconnectFromPeer(_privateName);
  _privateName.clear();
  _following[static_cast<int>(Route::PrivateSocket)] = false;
}

void QtServiceManager::follow(Route route) {
  bool& following = _following[static_cast<int>(route)];
  if (following) return;
  // No service name: naming it would make Qt ask the bus for its owner and
  // wait for the answer. The unit's name, random and known only to the
  // manager and us, tells whose job ended.
  following =
      connection(route).connect(QString(), kPath, kInterface, QStringLiteral("JobRemoved"), this,
                                SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
}

void QtServiceManager::unfollowIdle() {
  for (Route route : {Route::SessionBus, Route::PrivateSocket}) {
    bool used = false;
    for (const auto& [name, pending] : _pending) used = used || pending.route == route;
    if (used) continue;
    if (route == Route::PrivateSocket) {
      // The manager sends every signal to a private connection: it is held
      // only while it has something to tell.
      if (!_privateName.isEmpty()) closePrivateConnection();
    } else if (_following[static_cast<int>(route)]) {
      _following[static_cast<int>(route)] = false;
      QDBusConnection::sessionBus().disconnect(
          QString(), kPath, kInterface, QStringLiteral("JobRemoved"), this,
          SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
    }
  }
}

void QtServiceManager::send(const QString& name, Route route) {
  auto it = _pending.find(name);
  if (it == _pending.end()) return;
  it->second.route = route;
  _unreachable.clear();
  QDBusConnection bus = connection(route);
  if (!bus.isConnected()) {
    finish(name, Error::because(_unreachable.empty()
                                    ? "no service manager on the session bus"
                                    : "the service manager could not be reached: " + _unreachable));
    return;
  }
  follow(route);

  DBusUnitProperties properties;
  for (const UnitProperty& property :
       serverScopeProperties(it->second.pid, it->second.description.toStdString())) {
    properties.append(
        {QString::fromStdString(property.name), QDBusVariant(toQVariant(property.value))});
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                     QStringLiteral("StartTransientUnit"));
  call << name << QStringLiteral("fail") << QVariant::fromValue(properties)
       << QVariant::fromValue(QList<DBusAuxiliaryUnit>());
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, callTimeoutMilliseconds()), this);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                   [this, name, route](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     QDBusPendingReply<QDBusObjectPath> reply = *finished;
                     if (!reply.isError()) return;  // its job's end tells the rest
                     // Also a name whose activation cannot start it, as
                     // where a session bus lists the manager but does not
                     // carry it.
                     QString error = reply.error().name();
                     bool absent =
                         reply.error().type() == QDBusError::ServiceUnknown ||
                         error == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner") ||
                         error.startsWith(QStringLiteral("org.freedesktop.DBus.Error.Spawn."));
                     if (absent && route == Route::SessionBus) {
                       send(name, Route::PrivateSocket);
                     } else if (absent) {
                       finish(name, Error::because("no service manager on the session bus"));
                     } else if (reply.error().type() == QDBusError::NoReply ||
                                reply.error().type() == QDBusError::Timeout ||
                                reply.error().type() == QDBusError::TimedOut) {
                       finish(name, notAnswered());
                     } else if (reply.error().type() == QDBusError::Disconnected) {
                       // The manager went away (or its private connection did) while asked.
                       finish(name, Error::because("the service manager could not be reached"));
                     } else {
                       finish(name, Error::because("the service manager refused it: " +
                                                   reply.error().message().toStdString()));
                     }
                   });
}

void QtServiceManager::jobRemoved(uint, const QDBusObjectPath&, const QString& unit,
                                  const QString& result) {
  if (result == QStringLiteral("done")) {
    finish(unit, Error());
  } else {
    finish(unit, Error::because("the service manager could not make its unit (" +
                                result.toStdString() + ")"));
  }
}

void QtServiceManager::finish(const QString& name, Error error) {
  auto it = _pending.find(name);
  if (it == _pending.end()) return;
  std::function<void(Error)> done = std::move(it->second.done);
  // This may run inside the timer's own signal.
  it->second.deadline->stop();
  it->second.deadline.release()->deleteLater();
  _pending.erase(it);
  unfollowIdle();
  done(std::move(error));
}

}  // namespace kestrond
