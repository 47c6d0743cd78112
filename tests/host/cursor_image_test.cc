#include "host/cursor_image.h"

#include <gtest/gtest.h>

namespace pellora {
namespace {

TEST(CursorImage, BlendsPremultipliedPixelsAndClipsToTheFrame) {
  // A 2x2 cursor: opaque red, transparent, half-transparent white, opaque blue.
  CursorImage cursor{99, 49, 2, 2, {0xFFFF0000, 0x00000000, 0x80808080, 0xFF0000FF}};
  std::vector<std::uint8_t> frame(4 * 4 * 4, 0x40);  // a 4x4 grey frame at (100, 50)
  const PixelRect touched = cursor.drawInto(frame.data(), 16, {100, 50, 4, 4});
  EXPECT_EQ(touched, (PixelRect{0, 0, 1, 1}));  // only the bottom-right cursor pixel lies inside
  EXPECT_EQ(frame[0], 0xFF);                    // blue
  EXPECT_EQ(frame[2], 0x00);
  EXPECT_EQ(frame[4], 0x40);  // untouched neighbour

  cursor.x = 100;
  cursor.y = 50;
  std::fill(frame.begin(), frame.end(), 0x40);
  EXPECT_EQ(cursor.drawInto(frame.data(), 16, {100, 50, 4, 4}), (PixelRect{0, 0, 2, 2}));
  EXPECT_EQ(frame[2], 0xFF);  // red in B,G,R order
  EXPECT_EQ(frame[0], 0x00);
  EXPECT_EQ(frame[4], 0x40);                              // transparent
  EXPECT_EQ(frame[16], 0x80 + (0x40 * 127 + 127) / 255);  // half white over grey

  cursor.x = 200;
  EXPECT_TRUE(cursor.drawInto(frame.data(), 16, {100, 50, 4, 4}).empty());
  cursor.pixels.resize(3);  // too few pixels for its size: drawn nowhere
  cursor.x = 100;
  EXPECT_TRUE(cursor.drawInto(frame.data(), 16, {100, 50, 4, 4}).empty());
}

}  // namespace
}  // namespace pellora
