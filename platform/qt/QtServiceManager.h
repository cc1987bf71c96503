// The session's service manager (systemd's user manager) as the monitor
// uses it: a scope of its own for each server the monitor starts.
//
// The scope is asked for with StartTransientUnit on the session bus; where
// that bus does not carry the manager (a session bus from dbus-launch
// beside a running user manager), on the manager's private socket in
// $XDG_RUNTIME_DIR/systemd/private. Nothing here waits: the call is
// asynchronous, the end of its job (JobRemoved, done) tells that the
// process is in its scope, and a timer gives up on a manager that has not
// answered within kPlacementWait. The manager's signals are listened to
// only while a placement is pending, so that a monitor at rest wakes for
// none of them. Created by QtDesktop; main thread only.
#pragma once

#include <sys/types.h>

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "DBusTypes.h"
#include "Desktop.h"
#include "Error.h"

namespace kestrond {

class QtServiceManager : public QObject {
  Q_OBJECT

 public:
  QtServiceManager();
  ~QtServiceManager() override;

  // As Desktop::placeInUnit.
  void place(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done);

 private Q_SLOTS:
  void jobRemoved(uint id, const QDBusObjectPath& job, const QString& unit, const QString& result);

 private:
  enum class Route { SessionBus, PrivateSocket };
  struct Pending {
    QList<DBusUnitProperty> properties;
    Route route = Route::SessionBus;
    std::function<void(Error)> done;
    std::unique_ptr<QTimer> deadline;
  };

  // Asks for the scope `name` on `route`.
  void send(const QString& name, Route route);
  // Ends the placement of `name`, if pending, with `error` (none: placed).
  void finish(const QString& name, Error error);
  // The connection to the manager on `route`, listening for the ends of its
  // jobs; the Error when there is none.
  Result<QDBusConnection> listeningConnection(Route route);
  bool listenForJobs(QDBusConnection bus);
  // Stops listening where no placement waits any more.
  void stopListeningWhereIdle();
  void closePrivateConnection();

  std::map<QString, Pending> _pending;  // by unit name
  bool _listeningOnSessionBus = false;
  // The connection to the private socket while one is open (it listens as
  // long as it is open), and how many have been opened.
  QString _privateName;
  int _privateConnections = 0;
};

}  // namespace kestrond
