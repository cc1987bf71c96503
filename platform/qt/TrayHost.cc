#include "TrayHost.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include "XEmbedIcon.h"

namespace kestrond {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
// How long the watcher may keep silent before the item counts as shown
// nowhere; an answer that comes later is still used.
constexpr int kSilenceMs = 1000;

QDBusMessage busCall(const QString& method) {
  return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                        QStringLiteral("/org/freedesktop/DBus"),
                                        QStringLiteral("org.freedesktop.DBus"), method);
}

}  // namespace

bool onX11() {
  return QGuiApplication::platformName() == QStringLiteral("xcb");
}

TrayHost::TrayHost(LogSink& log, QDBusConnection bus, QString itemService,
                   std::function<void(TrayHostKind)> changed)
    : _log(log),
      _itemService(std::move(itemService)),
      _changed(std::move(changed)),
      _bus(std::move(bus)) {
  _silence.setSingleShot(true);
  _silence.setInterval(kSilenceMs);
  connect(&_silence, &QTimer::timeout, this, [this] { decide(withoutHost()); });
}

TrayHost::~TrayHost() = default;

void TrayHost::start() {
  if (!_bus.isConnected()) {
    QTimer::singleShot(0, this, [this] { decide(withoutHost()); });
    return;
  }
  // Followed by its owner: a watcher that comes later (a panel started
  // after the monitor, or restarted) is used at once.
  _watcher =
      new QDBusServiceWatcher(kWatcher, _bus, QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayHost::ownerChanged);
  _bus.connect(QString(), kWatcherPath, kWatcher, QStringLiteral("StatusNotifierHostRegistered"),
               this, SLOT(hostRegistered()));
  askForOwner();
}

void TrayHost::askForOwner() {
  QDBusMessage owner = busCall(QStringLiteral("GetNameOwner"));
  owner << kWatcher;
  auto* asked = new QDBusPendingCallWatcher(_bus.asyncCall(owner), this);
  connect(asked, &QDBusPendingCallWatcher::finished, this,
          [this, generation = _generation](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            // An owner change that came meanwhile has been followed already.
            if (generation != _generation) return;
            QDBusPendingReply<QString> reply = *call;
            QString owner = reply.isError() ? QString() : reply.value();
            if (owner.isEmpty()) {
              decide(withoutHost());
            } else {
              followOwner(owner);
            }
          });
}

void TrayHost::ownerChanged(const QString&, const QString&, const QString& newOwner) {
  followOwner(newOwner);
}

void TrayHost::followOwner(const QString& owner) {
  if (!owner.isEmpty() && owner == _owner) return;  // told twice: by the bus and a reply
  ++_generation;
  _owner = owner;
  _silence.stop();
  if (owner.isEmpty()) {
    // The name may have been taken again already, with the news still on
    // its way (a panel handing over while the monitor was busy): a tray
    // icon made now would find the new watcher. The bus's answer comes
    // after any such news.
    askForOwner();
    return;
  }
  registerItem();
}

void TrayHost::registerItem() {
  // The item is registered by its connection's unique name and owns no
  // other: a host that watches a well-known item name (GNOME's
  // AppIndicator extension) wipes what it read of the item when that
  // watch's first answer comes late, and then drops the item for good.
  QDBusMessage message = QDBusMessage::createMethodCall(
      _owner, kWatcherPath, kWatcher, QStringLiteral("RegisterStatusNotifierItem"));
  message << _itemService;
  _silence.start();
  auto* pending = new QDBusPendingCallWatcher(_bus.asyncCall(message), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this,
          [this, generation = _generation](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            if (generation != _generation) return;
            QDBusPendingReply<> reply = *call;
            if (reply.isError()) {
              _silence.stop();
              _log.write("The tray's watcher did not take the status item: " +
                         reply.error().message().toStdString());
              decide(withoutHost());
              return;
            }
            askForHost();
          });
}

void TrayHost::askForHost() {
  // One asynchronous property read: a proxy would introspect the watcher
  // synchronously.
  QDBusMessage get = QDBusMessage::createMethodCall(
      _owner, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("Get"));
  get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
  auto* pending = new QDBusPendingCallWatcher(_bus.asyncCall(get), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this,
          [this, generation = _generation](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            if (generation != _generation) return;
            _silence.stop();
            QDBusPendingReply<QDBusVariant> reply = *call;
            bool host = !reply.isError() && reply.value().variant().toBool();
            decide(host ? TrayHostKind::StatusNotifier : withoutHost());
          });
}

void TrayHost::hostRegistered() {
  if (!_owner.isEmpty()) askForHost();
}

TrayHostKind TrayHost::withoutHost() const {
  // A watcher that shows nothing, or does not answer, is no better than
  // none: the X11 tray is used until a host shows the item.
  return onX11() ? TrayHostKind::XEmbed : TrayHostKind::None;
}

void TrayHost::decide(TrayHostKind kind) {
  if (_decided && kind == _kind) return;
  bool first = !_decided;
  _decided = true;
  _kind = kind;
  if (_changed) _changed(kind);
  // Said once the item is where it waits: a panel that comes on this line
  // finds it there.
  bool nowhere =
      kind == TrayHostKind::None || (kind == TrayHostKind::XEmbed && !xembedTrayPresent());
  if (nowhere && (first || kind == TrayHostKind::None)) {
    _log.write("No system tray yet; waiting for one to show the status item");
  }
}

}  // namespace kestrond
