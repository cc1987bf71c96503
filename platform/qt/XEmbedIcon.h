// The status item docked in an X11 system tray (XEmbed), where the session
// has no StatusNotifierWatcher: the badge, the tool tip and the program's
// own menu, which a left click opens too (an XEmbed tray leaves the click
// to the program). Qt docks it once a tray is there. Made by QtStatusItem
// only while no watcher is there; Qt code; main thread only.
#pragma once

#include <QIcon>
#include <QString>
#include <QSystemTrayIcon>

namespace kestrond {

class PointerMenu;

class XEmbedIcon {
 public:
  // `menu` outlives the icon.
  XEmbedIcon(PointerMenu& menu, const QIcon& icon, const QString& toolTip);
  ~XEmbedIcon();

  void setIcon(const QIcon& icon) { _icon.setIcon(icon); }
  void setToolTip(const QString& toolTip) { _icon.setToolTip(toolTip); }

 private:
  QSystemTrayIcon _icon;
};

}  // namespace kestrond
