// The tray badge: its mark is seen, in its own form, at every size a tray
// asks for, and leaves the letter alone.
#include "BadgePicture.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestrond {
namespace {

struct Rgba {
  int a, r, g, b;
};
Rgba channels(uint32_t pixel) {
  return {int(pixel >> 24), int(pixel >> 16 & 0xff), int(pixel >> 8 & 0xff), int(pixel & 0xff)};
}
bool green(Rgba c) {
  return c.a > 200 && c.g > 150 && c.r < 120 && c.b < 120;
}
bool amber(Rgba c) {
  return c.a > 200 && c.r > 200 && c.g > 120 && c.b < 90;
}

// Pixels of a colour class in the square [from, to) on both axes.
int count(const BadgePicture& picture, int from, int to, const std::function<bool(Rgba)>& is) {
  int found = 0;
  for (int y = from; y < to; ++y) {
    for (int x = from; x < to; ++x) found += is(channels(picture.pixels[y * picture.side + x]));
  }
  return found;
}

TEST(BadgePicture, MarkIsSeenInItsOwnFormAtEverySize) {
  for (int side : {16, 22, 24, 32, 44, 48, 64, 128, 256}) {
    SCOPED_TRACE(side);
    BadgePicture plain = drawBadge("K", side, StatusMark::None);
    BadgePicture running = drawBadge("K", side, StatusMark::Running);
    BadgePicture changing = drawBadge("K", side, StatusMark::Changing);
    ASSERT_EQ(plain.pixels.size(), size_t(side * side));
    int half = side / 2;
    EXPECT_EQ(count(plain, 0, side, green) + count(plain, 0, side, amber), 0);
    // The bottom right quarter holds the mark: at 16 px the dot is 7 px
    // across, dozens of green pixels.
    EXPECT_GE(count(running, half, side, green), side * side / 20);
    EXPECT_EQ(count(running, 0, side, amber), 0);
    EXPECT_GE(count(changing, half, side, amber), side * side / 50);
    EXPECT_EQ(count(changing, 0, side, green), 0);
    // A ring, not a dot: its centre is not amber.
    int centre = static_cast<int>(side - 0.5 - side * 0.23);
    EXPECT_TRUE(green(channels(running.pixels[centre * side + centre])));
    EXPECT_FALSE(amber(channels(changing.pixels[centre * side + centre])));
    // The mark leaves the letter alone; the letter is drawn.
    for (int y = 0; y < half; ++y) {
      for (int x = 0; x < half; ++x) {
        ASSERT_EQ(running.pixels[y * side + x], plain.pixels[y * side + x]);
        ASSERT_EQ(changing.pixels[y * side + x], plain.pixels[y * side + x]);
      }
    }
    BadgePicture bare = drawBadge("Q", side, StatusMark::None);
    EXPECT_NE(bare.pixels, plain.pixels) << "the K's strokes";
  }
  EXPECT_TRUE(drawBadge("K", 0, StatusMark::Running).pixels.empty());
}

}  // namespace
}  // namespace kestrond
