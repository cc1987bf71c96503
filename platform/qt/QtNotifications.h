// Desktop notifications through the freedesktop Notifications service on the
// session bus (org.freedesktop.Notifications), with QtDBus.
//
// Nothing here waits for the service: the capabilities are asked once and
// each notification is sent when they are known; where no service answers,
// the notification is not shown and one line says why. Notifications with
// one subject replace each other (the service's replaces-id), and the action
// is offered only where the service lists "actions". Created by QtDesktop.
#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <map>

#include "Desktop.h"

namespace kestrond {

class QtDesktop;

class QtNotifications : public QObject {
  Q_OBJECT

 public:
  explicit QtNotifications(QtDesktop& desktop);

  void post(Notification notification);

 private Q_SLOTS:
  void actionInvoked(uint id, const QString& key);
  void notificationClosed(uint id, uint reason);

 private:
  void askCapabilities();
  void send(const Notification& notification);

  QtDesktop& _desktop;
  bool _asking = false;
  bool _capabilitiesKnown = false;
  bool _offersActions = false;
  bool _signalsConnected = false;
  bool _busMissingLogged = false;
  std::deque<Notification> _waiting;               // until the capabilities are known
  std::map<std::string, uint> _idBySubject;        // the service's id of each subject's last one
  std::map<uint, std::function<void()>> _actions;  // by the service's id
};

}  // namespace kestrond
