// The curvature-corrected bilinear warp written from its definition, in
// double precision: per channel the value and its second differences (x, y,
// mixed) with clamped neighbours, blended bilinearly at the clamped
// coordinate, then corrected with the fractions of the unclamped one.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace le::test {

inline std::vector<float> referenceWarp(const std::vector<float>& src, const std::vector<float>& grid, int W, int H) {
  auto v = [&](int c, int r, int q) {
    return double(src[(static_cast<size_t>(c) * H + std::clamp(r, 0, H - 1)) * W + std::clamp(q, 0, W - 1)]);
  };
  std::vector<float> out(3 * static_cast<size_t>(W) * H);
  for (int r = 0; r < H; ++r)
    for (int q = 0; q < W; ++q) {
      const double gx = grid[(static_cast<size_t>(r) * W + q) * 2], gy = grid[(static_cast<size_t>(r) * W + q) * 2 + 1];
      const double ix = ((1 + gx) * W - 1) * 0.5, iy = ((1 + gy) * H - 1) * 0.5;
      const double fx = ix - std::floor(ix), fy = iy - std::floor(iy);
      auto tap = [](double i, int n, int& t0, int& t1, double& t) {
        if (i < 0) {
          t0 = t1 = 0;
          t = 0;
          return;
        }
        i = std::min(i, n - 1.0);
        t0 = static_cast<int>(std::floor(i));
        t1 = std::min(t0 + 1, n - 1);
        t = i - t0;
      };
      int x0, x1, y0, y1;
      double tx, ty;
      tap(ix, W, x0, x1, tx);
      tap(iy, H, y0, y1, ty);
      for (int c = 0; c < 3; ++c) {
        auto rec = [&](int rr, int qq, int k) {
          auto d = [&](int j) { return v(c, rr - 1, j) - 2 * v(c, rr, j) + v(c, rr + 1, j); };
          if (k == 0) return v(c, rr, qq);
          if (k == 1) return v(c, rr, qq - 1) - 2 * v(c, rr, qq) + v(c, rr, qq + 1);
          if (k == 2) return d(qq);
          return d(std::max(qq - 1, 0)) - 2 * d(qq) + d(std::min(qq + 1, W - 1));
        };
        double A[4];
        for (int k = 0; k < 4; ++k)
          A[k] = (1 - tx) * (1 - ty) * rec(y0, x0, k) + tx * (1 - ty) * rec(y0, x1, k) + (1 - tx) * ty * rec(y1, x0, k) +
                 tx * ty * rec(y1, x1, k);
        const double ax = (1 - fx) * fx * 0.5, ay = (1 - fy) * fy * 0.5;
        out[(static_cast<size_t>(c) * H + r) * W + q] = static_cast<float>((A[0] - ax * A[1] - ay * A[2]) + ax * ay * A[3]);
      }
    }
  return out;
}

}  // namespace le::test
