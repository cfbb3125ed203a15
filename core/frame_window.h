// A rectangle of a frame, in pixels: the part of it a consumer takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace le {

struct FrameWindow {
  int x = 0, y = 0, w = 0, h = 0;

  static FrameWindow whole(int W, int H) { return FrameWindow{0, 0, W, H}; }
  bool covers(int W, int H) const { return x == 0 && y == 0 && w == W && h == H; }
  size_t bytes(int pixelBytes = 3) const { return static_cast<size_t>(w) * h * pixelBytes; }
  // Throws `what` and the reason unless the window lies inside a W x H frame
  // and holds a pixel.
  void check(int W, int H, const std::string& what) const {
    if (w < 1 || h < 1 || x < 0 || y < 0 || x > W - w || y > H - h)
      throw std::runtime_error(what + " (" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(w) +
                               " x " + std::to_string(h) + ") is not a rectangle inside the " + std::to_string(W) +
                               " x " + std::to_string(H) + " frame");
  }
};

// Where I420 planes go: Y, then U and V at half size, each with its stride.
struct I420Planes {
  uint8_t* y;
  int yStride;
  uint8_t* u;
  int uStride;
  uint8_t* v;
  int vStride;
};

}  // namespace le
