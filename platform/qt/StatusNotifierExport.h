// The status item on the session bus as an org.kde.StatusNotifierItem at
// /StatusNotifierItem: what a tray host reads to draw the icon and its tool
// tip, and the clicks it passes on. Its menu is the DBusMenuExport at
// /MenuBar.
//
// Properties are answered from what was last set; each change is followed
// by its New* signal. Clicks are answered at once and passed on after the
// reply. Created and used by QtStatusItem. Qt code; main thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>
#include <functional>

#include "DBusTypes.h"
#include "Desktop.h"

namespace kestrond {

class StatusNotifierExport : public QDBusVirtualObject {
 public:
  struct Hooks {
    // A click that asks for the program's own action, at this point on the
    // screen (0, 0 where the host does not know it).
    std::function<void(int x, int y)> activate;
    // The host wants the program to show its menu itself.
    std::function<void(int x, int y)> contextMenu;
    // An activation token for the next window the program raises (Wayland).
    std::function<void(const QString& token)> activationToken;
  };

  static const QString kPath;

  StatusNotifierExport(LogSink& log, Hooks hooks);
  ~StatusNotifierExport() override;

  // Serves the item on `bus` from now on; false (logged) when the path is
  // taken or there is no bus.
  bool serveOn(QDBusConnection bus);

  // The picture at every size, as drawn for the badge.
  void setIcon(QList<DBusIconPixmap> pixmaps);
  // The tool tip's title and plain text.
  void setToolTip(const QString& title, const QString& description);
  // NeedsAttention until cleared, else Active.
  void setNeedsAttention(bool attention);

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  QVariantMap properties() const;
  void notify(const char* signal, const QList<QVariant>& arguments = {});

  LogSink& _log;
  Hooks _hooks;
  QDBusConnection _bus;
  bool _serving = false;
  QList<DBusIconPixmap> _pixmaps;
  QString _toolTipTitle;
  QString _toolTipDescription;
  bool _needsAttention = false;
};

// `text` with the characters that markup gives a meaning in text escaped
// ("&", "<", ">"; quotes mean something only in attributes, and not every
// host knows "&apos;"): hosts read a tool tip's text as markup.
QString escapedForMarkup(const QString& text);

}  // namespace kestrond
