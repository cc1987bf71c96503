#include "Badge.h"

#include <cstring>

namespace kestrond {

QImage badgeImage(const std::string& title, int side, StatusMark mark) {
  BadgePicture picture = drawBadge(title, side, mark);
  if (picture.side < 1) return QImage();
  QImage image(picture.side, picture.side, QImage::Format_ARGB32);
  for (int y = 0; y < picture.side; ++y) {
    std::memcpy(image.scanLine(y), picture.pixels.data() + static_cast<size_t>(y) * picture.side,
                static_cast<size_t>(picture.side) * sizeof(uint32_t));
  }
  return image;
}

}  // namespace kestrond
