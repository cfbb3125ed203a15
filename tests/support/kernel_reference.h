// Scalar references of the dispatched kernels, written from their formulas,
// shared by the kernel tests and the benchmarks (where they are the peer).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::test {

// 3x3 convolution, zero padding, taps summed in order: in [N][Cin][H][W],
// weights [Cout][Cin][3][3] -> out [N][Cout][H][W].
inline void refConv3x3(const std::vector<float>& in, int N, int Cin, int H, int W, const std::vector<float>& wt,
                       const std::vector<float>& bias, int Cout, std::vector<float>& out) {
  for (int n = 0; n < N; ++n)
    for (int co = 0; co < Cout; ++co)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          float s = 0.0f;
          for (int ci = 0; ci < Cin; ++ci)
            for (int ky = 0; ky < 3; ++ky)
              for (int kx = 0; kx < 3; ++kx) {
                const int yy = y + ky - 1, xx = x + kx - 1;
                const float v = (yy < 0 || yy >= H || xx < 0 || xx >= W)
                                    ? 0.0f
                                    : in[((static_cast<size_t>(n) * Cin + ci) * H + yy) * W + xx];
                s = s + wt[((static_cast<size_t>(co) * Cin + ci) * 3 + ky) * 3 + kx] * v;
              }
          out[((static_cast<size_t>(n) * Cout + co) * H + y) * W + x] = bias[co] + s;
        }
}

// BT.601 limited-range I420 (Y plane, then U, then V, packed) of an RGB24
// frame, one pixel and one 2x2 block at a time.
inline void refI420(const uint8_t* rgb, int w, int h, std::vector<uint8_t>& out) {
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  out.assign(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch, 0);
  auto at = [&](int x, int y, int c) { return int{rgb[(static_cast<size_t>(std::min(y, h - 1)) * w + std::min(x, w - 1)) * 3 + c]}; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      out[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(((66 * at(x, y, 0) + 129 * at(x, y, 1) + 25 * at(x, y, 2) + 128) >> 8) + 16);
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x) {
      int m[3];
      for (int c = 0; c < 3; ++c)
        m[c] = (at(2 * x, 2 * y, c) + at(2 * x + 1, 2 * y, c) + at(2 * x, 2 * y + 1, c) + at(2 * x + 1, 2 * y + 1, c) + 2) >> 2;
      const size_t k = static_cast<size_t>(w) * h + static_cast<size_t>(y) * cw + x;
      out[k] = static_cast<uint8_t>(((-38 * m[0] - 74 * m[1] + 112 * m[2] + 128) >> 8) + 128);
      out[k + static_cast<size_t>(cw) * ch] = static_cast<uint8_t>(((112 * m[0] - 94 * m[1] - 18 * m[2] + 128) >> 8) + 128);
    }
}

}  // namespace le::test
