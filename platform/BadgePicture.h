// The tray icon's picture, drawn here without a graphics library: a dark
// rounded square with a light rim (it reads on dark and light panels), the
// title's letter as white strokes, and the mark for what the servers do in
// the bottom right corner. Shapes are measured as distances from each pixel
// centre, which gives their edges the same smoothing at every size. Any
// layer may call it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Desktop.h"

namespace kestrond {

struct BadgePicture {
  int side = 0;
  // Row by row, each pixel 0xAARRGGBB, not premultiplied.
  std::vector<uint32_t> pixels;
};

// The badge `side` pixels square. A tray cannot show text, so the title is
// drawn as strokes: the letters drawn so are those the monitor uses ("K");
// any other title shows the bare badge. A side below 1 gives no pixels.
BadgePicture drawBadge(const std::string& title, int side, StatusMark mark);

}  // namespace kestrond
