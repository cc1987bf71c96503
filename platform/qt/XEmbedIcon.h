// The status item docked in an X11 system tray (XEmbed): a small window of
// our own that shows the badge, shows the tool tip while the pointer is on
// it, and opens the program's own menu on a click (an XEmbed tray leaves
// clicks to the program). It asks the screen's tray manager to dock it, and
// again each time a new manager comes (a tray started after the monitor, or
// restarted); while none is there it stays unmapped. It speaks X only,
// never D-Bus, so it may stand beside a StatusNotifierWatcher that shows
// nothing or does not answer: a QSystemTrayIcon would ask that watcher,
// synchronously, whether a host is there. Made by QtStatusItem while no
// StatusNotifier host shows the item; Qt and xcb code; main thread only.
#pragma once

#include <functional>

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QImage>
#include <QString>

namespace kestrond {

class PointerMenu;

// Whether the screen has an XEmbed tray manager now (false off X11).
bool xembedTrayPresent();

class XEmbedIcon : public QAbstractNativeEventFilter {
 public:
  // The badge drawn at a side in device pixels. It is drawn when the tray
  // gives the icon its size, so no picture of another size is ever kept.
  using Picture = std::function<QImage(int side)>;

  // `menu` outlives the icon. Off X11 the icon is never shown.
  XEmbedIcon(PointerMenu& menu, Picture picture, QString toolTip);
  ~XEmbedIcon() override;
  XEmbedIcon(const XEmbedIcon&) = delete;
  XEmbedIcon& operator=(const XEmbedIcon&) = delete;

  void setPicture(Picture picture);
  void setToolTip(const QString& toolTip) { _toolTip = toolTip; }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override;

 private:
  void createWindow(xcb_atom_t xembedInfo, xcb_atom_t wmPid);
  // Asks the current manager, if there is one, to dock the window.
  void dock();
  void draw();

  PointerMenu& _menu;
  Picture _picture;
  QString _toolTip;
  xcb_connection_t* _x = nullptr;
  xcb_window_t _root = XCB_NONE;
  xcb_window_t _window = XCB_NONE;
  xcb_atom_t _selection = XCB_NONE;  // _NET_SYSTEM_TRAY_S<screen>
  xcb_atom_t _opcode = XCB_NONE;     // _NET_SYSTEM_TRAY_OPCODE
  xcb_atom_t _managerAtom = XCB_NONE;
  uint16_t _width = 22;
  uint16_t _height = 22;
};

}  // namespace kestrond
