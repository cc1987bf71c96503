// The status item on Qt: the owner of the rows and of what the icon shows,
// handing them to each of its parts, one job each: our own
// StatusNotifierItem and D-Bus menu on the item's bus connection, where the
// session has a StatusNotifierWatcher (StatusNotifierExport,
// DBusMenuExport); the icon in the X11 (XEmbed) tray while no host shows
// the item (XEmbedIcon); the menu the program opens itself (PointerMenu); the grace
// an Activate gives a host to open its own menu (ActivationGrace); and
// which tray to use, followed while the program runs (TrayHost). A choice
// from either menu runs on the main loop after the menu closed, on the row
// with that key as the rows are then. Created by QtDesktop only, which it tells
// through its hooks.
#pragma once

#include <QMenu>
#include <memory>
#include <string>

#include "ActivationGrace.h"
#include "BusConnection.h"
#include "DBusMenuExport.h"
#include "Desktop.h"
#include "PointerMenu.h"
#include "StatusNotifierExport.h"
#include "TrayHost.h"
#include "XEmbedIcon.h"

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
  // The badge as it is now, for the X11 icon to draw at its size.
  XEmbedIcon::Picture badgePicture() const;
  void choose(const std::string& key);
  void hostOpens();

  LogSink& _log;
  MenuEvents _events;
  Hooks _hooks;
  MenuRows _rows;
  std::string _title;
  std::string _toolTip;
  std::string _description;
  StatusMark _mark = StatusMark::None;
  // The item's own connection to the session bus: its object paths and the
  // unique name it is registered by are its alone.
  std::unique_ptr<BusConnection> _bus;
  PointerMenu _pointerMenu;
  ActivationGrace _grace;
  DBusMenuExport _menuExport;
  StatusNotifierExport _itemExport;
  TrayHost _trayHost;
  std::unique_ptr<XEmbedIcon> _xembed;
};

}  // namespace kestrond
