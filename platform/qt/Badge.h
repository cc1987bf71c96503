// The tray icon's picture: the item's title drawn as a badge, with the mark
// for what the servers do. A tray cannot show text, so the title is drawn;
// every size comes from the same drawing. Qt code; used by the status item
// and the icon tool.
#pragma once

#include <QPixmap>
#include <QString>

#include "Desktop.h"

namespace kestrond {

// The badge at one size (in device-independent pixels) and pixel ratio.
QPixmap badgePixmap(const QString& title, int size, qreal ratio = 1.0,
                    StatusMark mark = StatusMark::None);

}  // namespace kestrond
