// The badge (BadgePicture) as a Qt image, for the X11 icon, the
// StatusNotifier pictures and the icon tool. Qt code.
#pragma once

#include <QImage>
#include <string>

#include "BadgePicture.h"

namespace kestrond {

// The badge `side` pixels square, ARGB32; a null image for a side below 1.
QImage badgeImage(const std::string& title, int side, StatusMark mark = StatusMark::None);

}  // namespace kestrond
