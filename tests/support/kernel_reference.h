// Scalar references of the dispatched kernels, written from their formulas,
// shared by the kernel tests and the benchmarks (where they are the peer).
#pragma once

#include <cstddef>
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

}  // namespace le::test
