// One monitor per session. The first monitor owns the session-bus name of
// the application id and answers org.freedesktop.Application there; a
// second start finds the name taken, asks the first to show itself and
// ends. Without a session bus a lock file in $XDG_RUNTIME_DIR does the same
// job. Qt code; used by QtDesktop only.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <functional>

#include "Log.h"
#include "UniqueFd.h"

namespace kestrond {

class QtSession : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  // `show` is what "show yourself" means on this desktop; `log` outlives
  // the session.
  QtSession(LogSink& log, std::function<void()> show);

  // True when this is the session's one monitor from now on; false when
  // another one is (asked to show itself; one line logged).
  bool claim();

 public Q_SLOTS:
  // org.freedesktop.Application, as a launcher or a second start calls it.
  void Activate(const QVariantMap& platformData);
  void Open(const QStringList& uris, const QVariantMap& platformData);
  void ActivateAction(const QString& name, const QVariantList& parameter,
                      const QVariantMap& platformData);

 private:
  bool claimBus();
  bool claimLockFile();

  LogSink& _log;
  std::function<void()> _show;
  UniqueFd _lock;
};

}  // namespace kestrond
