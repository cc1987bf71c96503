// Desktop notifications through the freedesktop Notifications service on the
// session bus (org.freedesktop.Notifications), with QtDBus.
//
// Nothing here waits for the service: the capabilities are asked once and
// each notification is sent when they are known; where no service answers,
// the notification is not shown and one line says why. Notifications with
// one subject replace each other (the service's replaces-id, forgotten when
// the notification closes or another service takes the name, since ids are
// the service's and another program may get the number next), the action
// is offered only where the service lists "actions", and the body is
// escaped where it lists "body-markup". Created by QtDesktop.
#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <map>
#include <optional>

#include "Desktop.h"

namespace kestrond {

class QtNotifications : public QObject {
  Q_OBJECT

 public:
  // Trouble is logged to `log`, which outlives the notifications.
  explicit QtNotifications(LogSink& log);

  void post(Notification notification);

 private Q_SLOTS:
  void actionInvoked(uint id, const QString& key);
  void notificationClosed(uint id, uint reason);

 private:
  // Another service (or none) holds the name: its ids are not ours.
  void serviceChanged();
  void askCapabilities();
  void send(const Notification& notification);

  LogSink& _log;
  bool _asking = false;
  bool _capabilitiesKnown = false;
  bool _offersActions = false;
  bool _bodyMarkup = false;
  int _generation = 0;  // counts the services seen, so late replies of an old one are dropped
  bool _signalsConnected = false;
  bool _busMissingLogged = false;
  std::deque<Notification> _waiting;         // until the capabilities are known
  std::map<std::string, uint> _idBySubject;  // the service's id of each subject's last one
  // A subject whose last one awaits its id holds back the next (the latest
  // only), which replaces it once the id is known.
  std::map<std::string, std::optional<Notification>> _inFlight;
  std::map<uint, std::function<void()>> _actions;  // by the service's id
};

}  // namespace kestrond
