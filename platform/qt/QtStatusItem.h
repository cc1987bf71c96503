// The status item on Qt: our own StatusNotifierItem and D-Bus menu where the
// session has a StatusNotifierWatcher, a QSystemTrayIcon in the X11 (XEmbed)
// tray where it has none, and a QMenu for the menu the program opens itself
// (in the XEmbed tray, and at the pointer for hosts that only activate).
//
// Which tray is used follows the session while the program runs. The D-Bus
// menu keeps one id per row key; the QMenu one QAction per row key. A
// choice runs on the main loop after the menu closed, on the row with that
// key as the rows are then. Created by QtDesktop only, which it tells
// through its hooks.
#pragma once

#include <QDBusConnection>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "DBusMenuExport.h"
#include "Desktop.h"
#include "StatusNotifierExport.h"
#include "TrayHost.h"

namespace kestrond {

class QtStatusItem : public StatusItem {
 public:
  // What the item tells its maker.
  struct Hooks {
    // A host's activation token for the next window the program raises.
    std::function<void(const QString& token)> activationToken;
    // The item is being destroyed.
    std::function<void(QtStatusItem* item)> gone;
  };

  // `log` outlives the item.
  QtStatusItem(LogSink& log, MenuEvents events, Hooks hooks);
  ~QtStatusItem() override;

  // Offers the item on the session bus and follows the session's tray.
  void start();

  void setTitle(const std::string& title) override;
  void setToolTip(const std::string& title, const std::string& description) override;
  void setMark(StatusMark mark) override;
  void setNeedsAttention(bool attention) override;
  void setMenu(MenuRows rows) override;

  // Opens the menu at the pointer where a program may place one (X11);
  // elsewhere nothing happens.
  void showMenuAtPointer();

  // The QMenu with the rows as they are now, as the program shows it.
  const QMenu& shownMenu();
  // The D-Bus menu as hosts read it.
  const ExportedMenu& exportedMenu() const { return _menuExport.menu(); }

 private:
  void useHost(TrayHostKind host);
  void updateIcon();
  QString toolTipText() const;
  void applyRows();
  QAction* actionFor(const MenuRow& row);
  void updateAction(QAction* action, const MenuRow& row);
  void choose(const std::string& key);
  void hostOpens();

  LogSink& _log;
  MenuEvents _events;
  Hooks _hooks;
  QDBusConnection _bus;  // the item's own connection to the session bus
  QMenu _qmenu;
  DBusMenuExport _menuExport;
  StatusNotifierExport _itemExport;
  TrayHost _trayHost;
  std::unique_ptr<QSystemTrayIcon> _xembed;
  QTimer _activation;  // an Activate from a D-Bus host, waiting for its own menu
  bool _hostOpened = false;
  bool _qmenuCurrent = false;  // the QMenu shows _rows
  bool _qmenuOpening = false;
  std::string _title;
  std::string _toolTip;
  std::string _description;
  StatusMark _mark = StatusMark::None;
  MenuRows _rows;
  std::map<std::string, QAction*> _actions;  // by row key
};

}  // namespace kestrond
