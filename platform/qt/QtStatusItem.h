// The status item as a QSystemTrayIcon, its rows shown in a QMenu.
//
// Each row key has one QAction for as long as the key is in the menu, so a
// row that moves or changes keeps the entry (and the D-Bus menu id) a panel
// was shown; a choice runs on the main loop after the menu closed, on the
// row with that key as the rows are then. Changes are applied when they are
// given. Created by QtDesktop only.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "Desktop.h"
#include "TrayHost.h"

namespace kestrond {

class QtDesktop;

class QtStatusItem : public StatusItem {
 public:
  QtStatusItem(QtDesktop& desktop, MenuEvents events);
  ~QtStatusItem() override;

  // Looks for a tray host and shows the icon once there is one.
  void start();

  void setTitle(const std::string& title) override;
  void setToolTip(const std::string& toolTip) override;
  void setMark(StatusMark mark) override;
  void setMenu(MenuRows rows) override;

  // Opens the menu at the pointer where a program may place one (X11);
  // elsewhere nothing happens.
  void showMenuAtPointer();

  // The QMenu that shows the rows, as a panel is shown it.
  const QMenu& shownMenu() const { return _qmenu; }

 private:
  void lookForTray();
  void showIcon(TrayHostKind host);
  void updateIcon();
  void applyRows();
  QAction* actionFor(const MenuRow& row);
  void updateAction(QAction* action, const MenuRow& row);
  void triggered(const std::string& key);

  QtDesktop& _desktop;
  MenuEvents _events;
  QMenu _qmenu;
  std::unique_ptr<QSystemTrayIcon> _tray;
  QTimer _trayLookup;
  QTimer _activation;  // an Activate from a D-Bus panel, waiting for its own menu
  bool _openedByHost = false;
  bool _announcedWaiting = false;
  bool _lookupPending = false;
  TrayHostKind _host = TrayHostKind::None;
  std::string _title;
  std::string _toolTip;
  StatusMark _mark = StatusMark::None;
  MenuRows _rows;
  std::map<std::string, QAction*> _actions;  // by row key
};

}  // namespace kestrond
