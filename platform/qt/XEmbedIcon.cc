#include "XEmbedIcon.h"

#include "PointerMenu.h"

namespace kestrond {

XEmbedIcon::XEmbedIcon(PointerMenu& menu, const QIcon& icon, const QString& toolTip) {
  _icon.setIcon(icon);
  _icon.setToolTip(toolTip);
  _icon.setContextMenu(&menu.menu());
  QObject::connect(&_icon, &QSystemTrayIcon::activated,
                   [&menu](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger) menu.popupAtPointer();
                   });
  _icon.show();
}

XEmbedIcon::~XEmbedIcon() {
  _icon.hide();
}

}  // namespace kestrond
