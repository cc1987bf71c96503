#include "QtNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QStringList>
#include <QVariantMap>

#include "Identity.h"

namespace kestrond {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kActionKey = QStringLiteral("open");
// A wedged service must not keep a notification waiting for long.
constexpr int kCallTimeoutMs = 5000;

}  // namespace

QtNotifications::QtNotifications(LogSink& log) : _log(log) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  auto* owner =
      new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
  QObject::connect(owner, &QDBusServiceWatcher::serviceOwnerChanged, this,
                   [this] { serviceChanged(); });
}

void QtNotifications::serviceChanged() {
  ++_generation;
  _idBySubject.clear();
  _inFlight.clear();
  _actions.clear();
  _capabilitiesKnown = false;  // the next one may show other things
}

void QtNotifications::post(Notification notification) {
  if (_capabilitiesKnown) {
    send(notification);
    return;
  }
  _waiting.push_back(std::move(notification));
  askCapabilities();
}

void QtNotifications::askCapabilities() {
  if (_asking) return;
  _asking = true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    _asking = false;
    // Said once: without a bus there will never be a service.
    if (!_busMissingLogged) _log.write("No session bus: notifications are not shown");
    _busMissingLogged = true;
    _waiting.clear();
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                     QStringLiteral("GetCapabilities"));
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                   [this](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     _asking = false;
                     QDBusPendingReply<QStringList> reply = *finished;
                     if (reply.isError()) {
                       if (_waiting.empty()) return;
                       // One line for all that waited (many servers may end
                       // at once); asked again for the next one, since a
                       // service may start later.
                       std::string line = "No notification service answers (" +
                                          reply.error().message().toStdString() +
                                          "); not shown: " + _waiting.front().summary;
                       if (_waiting.size() > 1) {
                         line += " and " + std::to_string(_waiting.size() - 1) + " more";
                       }
                       _log.write(line);
                       _waiting.clear();
                       return;
                     }
                     _capabilitiesKnown = true;
                     _offersActions = reply.value().contains(QStringLiteral("actions"));
                     _bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
                     while (!_waiting.empty()) {
                       send(_waiting.front());
                       _waiting.pop_front();
                     }
                   });
}

void QtNotifications::send(const Notification& notification) {
  if (auto waiting = _inFlight.find(notification.subject); waiting != _inFlight.end()) {
    waiting->second = notification;
    return;
  }
  _inFlight[notification.subject];
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!_signalsConnected) {
    _signalsConnected =
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString))) &&
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
  }
  bool withAction = _offersActions && !notification.actionTitle.empty() && notification.action;
  QStringList actions;
  if (withAction) actions << kActionKey << QString::fromStdString(notification.actionTitle);
  auto known = _idBySubject.find(notification.subject);
  uint replaces = known == _idBySubject.end() ? 0 : known->second;
  // A body is text: where the service reads markup, "<" and "&" must stay
  // what they are (an instance named "<b>", a path with "&").
  QString body = QString::fromStdString(notification.body);
  if (_bodyMarkup) body = body.toHtmlEscaped();
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kApplicationId));
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  call << QString::fromLatin1(kApplicationName) << replaces << QString::fromLatin1(kProgramName)
       << QString::fromStdString(notification.summary) << body << actions << hints << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
  std::string subject = notification.subject;
  std::string summary = notification.summary;
  std::function<void()> action = withAction ? notification.action : nullptr;
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                   [this, subject, summary, action, replaces,
                    generation = _generation](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     QDBusPendingReply<uint> reply = *finished;
                     std::optional<Notification> next;
                     if (auto held = _inFlight.find(subject); held != _inFlight.end()) {
                       next = std::move(held->second);
                       _inFlight.erase(held);
                     }
                     // What was held back goes out once this one's id is known.
                     struct SendNext {
                       QtNotifications& notifications;
                       std::optional<Notification>& next;
                       ~SendNext() {
                         if (next) notifications.send(*next);
                       }
                     } sendNext{*this, next};
                     if (generation != _generation) return;  // from a service that has gone
                     if (reply.isError()) {
                       _log.write("The notification service refused \"" + summary +
                                  "\": " + reply.error().message().toStdString());
                       _capabilitiesKnown = false;  // asked again next time
                       return;
                     }
                     uint id = reply.value();
                     if (replaces != 0 && replaces != id) _actions.erase(replaces);
                     _idBySubject[subject] = id;
                     if (action) {
                       _actions[id] = action;
                     } else {
                       _actions.erase(id);
                     }
                   });
}

void QtNotifications::actionInvoked(uint id, const QString& key) {
  auto it = _actions.find(id);
  if (key != kActionKey || it == _actions.end()) return;  // another program's, or no action
  std::function<void()> action = it->second;
  action();
}

void QtNotifications::notificationClosed(uint id, uint) {
  _actions.erase(id);
  // A closed one is not replaced: the service may give its number to another.
  std::erase_if(_idBySubject, [id](const auto& entry) { return entry.second == id; });
}

}  // namespace kestrond
