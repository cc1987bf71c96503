#include "QtSession.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

#include "Environment.h"
#include "Error.h"
#include "Identity.h"
#include "Paths.h"

namespace kestrond {
namespace {

// The object path the application id gives (dots become slashes).
QString objectPath() {
  return QStringLiteral("/") +
         QString::fromLatin1(kApplicationId).replace(QLatin1Char('.'), QLatin1Char('/'));
}

// A second start that cannot reach the first still ends soon.
constexpr int kShowTimeoutMs = 500;

}  // namespace

QtSession::QtSession(LogSink& log, std::function<void()> show)
    : _log(log), _show(std::move(show)) {}

bool QtSession::claim() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  return bus.isConnected() ? claimBus() : claimLockFile();
}

bool QtSession::claimBus() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  // The object first, so that whoever sees the name finds it.
  bus.registerObject(objectPath(), this, QDBusConnection::ExportAllSlots);
  QString name = QString::fromLatin1(kApplicationId);
  QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      bus.interface()->registerService(name, QDBusConnectionInterface::DontQueueService,
                                       QDBusConnectionInterface::DontAllowReplacement);
  if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) return true;
  if (!reply.isValid()) {
    // The bus would not say: better two monitors than none.
    _log.write("Cannot tell whether " + std::string(kApplicationName) +
               " already runs in this session (" + reply.error().message().toStdString() +
               "); starting");
    return true;
  }
  bus.unregisterObject(objectPath());
  QDBusMessage show = QDBusMessage::createMethodCall(name, objectPath(),
                                                     QStringLiteral("org.freedesktop.Application"),
                                                     QStringLiteral("Activate"));
  show << QVariantMap();
  // Waited for briefly, so that the first has it before this one is gone;
  // its answer changes nothing.
  (void)bus.call(show, QDBus::Block, kShowTimeoutMs);
  _log.write(std::string(kApplicationName) + " is already running in this session; this one ends");
  return false;
}

bool QtSession::claimLockFile() {
  std::optional<std::string> runtime = nonEmptyEnvironmentValue("XDG_RUNTIME_DIR");
  // No place for the lock: nothing tells, so this one runs.
  if (!runtime) return true;
  std::string path = appendPathComponent(*runtime, std::string(kProgramName) + ".lock");
  _lock.reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!_lock) {
    _log.write(Error(errno, "Cannot open " + path + "; starting").text());
    return true;
  }
  // Held for the life of the process; the kernel lets go of it at the end.
  if (flock(_lock.get(), LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) {
    _log.write(Error(errno, "Cannot lock " + path + "; starting").text());
    return true;
  }
  _lock.reset();
  _log.write(std::string(kApplicationName) + " is already running in this session; this one ends");
  return false;
}

void QtSession::Activate(const QVariantMap&) {
  if (_show) _show();
}

void QtSession::Open(const QStringList&, const QVariantMap&) {
  if (_show) _show();
}

void QtSession::ActivateAction(const QString&, const QVariantList&, const QVariantMap&) {}

}  // namespace kestrond
