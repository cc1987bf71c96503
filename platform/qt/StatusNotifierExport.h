// The status item on the session bus as an org.kde.StatusNotifierItem at
// /StatusNotifierItem: what a tray host reads to draw the icon and its tool
// tip, and the clicks it passes on. Its menu is the DBusMenuExport at
// /MenuBar.
//
// Properties are answered from what was last set; each change is followed
// by its New* signal. Clicks are answered at once and passed on after the
// reply: Activate in the same turn (its hook must not run a loop), the rest
// on the next. Created and used by QtStatusItem. Qt code; main thread only.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "DBusObject.h"

namespace kestrond {

// (iiay): a picture, ARGB32 in network byte order.
struct IconPixmap {
  int32_t width = 0;
  int32_t height = 0;
  QByteArray bytes;
};

class StatusNotifierExport : public DBusObject {
 public:
  struct Hooks {
    // A click that asks for the program's own action, at this point on the
    // screen (0, 0 where the host does not know it). Called before the
    // next message is read; it must not run a loop.
    std::function<void(int x, int y)> activate;
    // The host wants the program to show its menu itself.
    std::function<void(int x, int y)> contextMenu;
    // An activation token for the next window the program raises (Wayland).
    std::function<void(const QString& token)> activationToken;
  };

  static constexpr const char* kPath = "/StatusNotifierItem";

  StatusNotifierExport(LogSink& log, Hooks hooks);

  // The picture at every size, as drawn for the badge.
  void setIcon(std::vector<IconPixmap> pixmaps);
  // The tool tip's title and plain text.
  void setToolTip(const QString& title, const QString& description);
  // NeedsAttention until cleared, else Active.
  void setNeedsAttention(bool attention);

 private:
  // Activate or ContextMenu, answered before it is passed on.
  void click(DBusMessage* call, MessageReader& arguments, bool activate);
  void writePixmaps(MessageWriter& out) const;

  Hooks _hooks;
  std::vector<IconPixmap> _pixmaps;
  QString _toolTipTitle;
  QString _toolTipDescription;
  bool _needsAttention = false;
};

}  // namespace kestrond
