// A status item shown as a QSystemTrayIcon, with its menu mirrored into a
// QMenu.
//
// The tray cannot show text, so the title is drawn into the icon as a badge.
// The QMenu follows the model through syncMenu(), which keeps the existing
// QActions and changes only what differs: the D-Bus menu protocol renumbers
// recreated items, and some panels then show a stale menu. Created by
// QtDesktop only.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <vector>

#include "Desktop.h"
#include "TrayHost.h"

namespace kestrond {

class QtDesktop;

class QtStatusItem : public StatusItem {
 public:
  explicit QtStatusItem(QtDesktop& desktop);
  ~QtStatusItem() override;

  // Looks for a tray host and shows the icon once there is one.
  void start();
  void syncMenu();

  // The badge for a title with its mark, at every size a panel asks for.
  static QIcon badgeIcon(const QString& title, StatusMark mark = StatusMark::None);
  // The badge at one size (in device-independent pixels) and pixel ratio.
  static QPixmap badgePixmap(const QString& title, int size, qreal ratio = 1.0,
                             StatusMark mark = StatusMark::None);

  // The QMenu that mirrors the model, as a panel is shown it.
  const QMenu& shownMenu() const { return _qmenu; }

 protected:
  void changed() override;

 private:
  void lookForTray();
  void showIcon(TrayHostKind host);
  void triggered(QAction* action);
  QAction* makeAction(const MenuItem& item);
  void updateAction(QAction* action, const MenuItem& item);

  QtDesktop& _desktop;
  QMenu _qmenu;
  std::unique_ptr<QSystemTrayIcon> _tray;
  QTimer _trayLookup;
  QTimer _activation;  // an Activate from a D-Bus panel, waiting for its own menu
  bool _openedByHost = false;
  bool _announcedWaiting = false;
  bool _lookupPending = false;
  TrayHostKind _host = TrayHostKind::None;
  QString _shownTitle;
  StatusMark _shownMark = StatusMark::None;
  // The model items the QActions show, index for index.
  std::vector<std::shared_ptr<MenuItem>> _mirrored;
  std::vector<QAction*> _actions;
};

}  // namespace kestrond
