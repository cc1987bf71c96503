#include "QtServiceManager.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <chrono>
#include <optional>
#include <random>

#include "Environment.h"
#include "ServiceUnit.h"

namespace kestrond {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kPrivateConnection = QStringLiteral("kestrond-service-manager-");

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

// Why the manager did not take the scope, from the error that answered the
// call; none when it is absent from the bus that was asked.
std::optional<Error> refusal(const QDBusError& error) {
  // Also a name whose activation cannot start it, as where a session bus
  // lists the manager but does not carry it.
  if (error.type() == QDBusError::ServiceUnknown ||
      error.name() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner") ||
      error.name().startsWith(QStringLiteral("org.freedesktop.DBus.Error.Spawn."))) {
    return std::nullopt;
  }
  switch (error.type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
      return notAnswered();
    case QDBusError::Disconnected:
      // The manager went away (or its private connection did) while asked.
      return Error::because("the service manager could not be reached");
    default:
      return Error::because("the service manager refused it: " + error.message().toStdString());
  }
}

}  // namespace

QtServiceManager::QtServiceManager() {
  registerDBusTypes();
}

QtServiceManager::~QtServiceManager() {
  // Whatever is still pending is let go by the monitor's end itself.
  _pending.clear();
  stopListeningWhereIdle();
}

void QtServiceManager::place(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) {
  QString name = QString::fromStdString(serverScopeName(unit.label, randomNumber()));
  Pending& pending = _pending[name];
  pending.properties = dbusUnitProperties(serverScopeProperties(pid, unit.description));
  pending.done = std::move(done);
  pending.deadline = std::make_unique<QTimer>();
  pending.deadline->setSingleShot(true);
  QObject::connect(pending.deadline.get(), &QTimer::timeout, this,
                   [this, name] { finish(name, notAnswered()); });
  pending.deadline->start(std::chrono::milliseconds(kPlacementWait));
  send(name,
       QDBusConnection::sessionBus().isConnected() ? Route::SessionBus : Route::PrivateSocket);
}

bool QtServiceManager::listenForJobs(QDBusConnection bus) {
  // No service name: naming it would make Qt ask the bus for its owner and
  // wait for the answer. The unit's name, random and known only to the
  // manager and us, tells whose job ended.
  return bus.connect(QString(), kPath, kInterface, QStringLiteral("JobRemoved"), this,
                     SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
}

Result<QDBusConnection> QtServiceManager::listeningConnection(Route route) {
  Error absent = Error::because("no service manager on the session bus");
  if (route == Route::SessionBus) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return absent;
    if (!_listeningOnSessionBus) _listeningOnSessionBus = listenForJobs(bus);
    return bus;
  }
  if (!_privateName.isEmpty()) {
    QDBusConnection open(_privateName);
    if (open.isConnected()) return open;
    closePrivateConnection();  // the manager went away or restarted
  }
  std::string socket = environmentValue("XDG_RUNTIME_DIR").value_or("") + "/systemd/private";
  if (!QFileInfo(QString::fromStdString(socket)).exists()) return absent;
  // A name of its own each time: Qt lets go of a closed peer connection
  // only later, and a name reused meanwhile would give the closed one.
  _privateName = kPrivateConnection + QString::number(++_privateConnections);
  QDBusConnection peer = QDBusConnection::connectToPeer(
      QStringLiteral("unix:path=") + QString::fromStdString(socket), _privateName);
  if (!peer.isConnected()) {
    Error unreachable = Error::because("the service manager could not be reached: " +
                                       peer.lastError().message().toStdString());
    closePrivateConnection();
    return unreachable;
  }
  listenForJobs(peer);
  return peer;
}

void QtServiceManager::closePrivateConnection() {
  QDBusConnection::disconnectFromPeer(_privateName);
  _privateName.clear();
}

void QtServiceManager::stopListeningWhereIdle() {
  bool sessionBusUsed = false, privateSocketUsed = false;
  for (const auto& [name, pending] : _pending) {
    (pending.route == Route::SessionBus ? sessionBusUsed : privateSocketUsed) = true;
  }
  // The manager sends every signal to a private connection: it is held
  // only while it has something to tell.
  if (!privateSocketUsed && !_privateName.isEmpty()) closePrivateConnection();
  if (!sessionBusUsed && _listeningOnSessionBus) {
    _listeningOnSessionBus = false;
    QDBusConnection::sessionBus().disconnect(
        QString(), kPath, kInterface, QStringLiteral("JobRemoved"), this,
        SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
  }
}

void QtServiceManager::send(const QString& name, Route route) {
  auto it = _pending.find(name);
  if (it == _pending.end()) return;
  it->second.route = route;
  Result<QDBusConnection> bus = listeningConnection(route);
  if (!bus.ok()) {
    finish(name, bus.error());
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                     QStringLiteral("StartTransientUnit"));
  call << name << QStringLiteral("fail") << QVariant::fromValue(it->second.properties)
       << QVariant::fromValue(QList<DBusAuxiliaryUnit>());
  auto* watcher =
      new QDBusPendingCallWatcher(bus.value().asyncCall(call, callTimeoutMilliseconds()), this);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                   [this, name, route](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     QDBusPendingReply<QDBusObjectPath> reply = *finished;
                     if (!reply.isError()) return;  // its job's end tells the rest
                     std::optional<Error> refused = refusal(reply.error());
                     if (refused) {
                       finish(name, std::move(*refused));
                     } else if (route == Route::SessionBus) {
                       send(name, Route::PrivateSocket);
                     } else {
                       finish(name, Error::because("no service manager on the session bus"));
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
  stopListeningWhereIdle();
  done(std::move(error));
}

}  // namespace kestrond
