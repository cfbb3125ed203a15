// The compositor's 8x8 Lanczos row paste over interleaved (R, G, B, 0) planes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compose/simd_paste.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>

#include "compose/simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void PasteLanczos8Row(const float* HWY_RESTRICT packed, int S, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT linearTab,
                      const int32_t* HWY_RESTRICT colU, const int32_t* HWY_RESTRICT colV, int32_t rowU, int32_t rowV,
                      int x0, int x1, uint8_t* HWY_RESTRICT frameRow) {
  const hn::CappedTag<float, 4> d;  // one (R, G, B, 0) pixel per vector (a lane at a time on scalar targets)
  const size_t L = hn::Lanes(d);
  auto maskAt = [&](int r, int c) -> float {
    return (r >= 0 && r < S && c >= 0 && c < S) ? static_cast<float>(mask[static_cast<size_t>(r) * S + c]) : 0.0f;
  };
  for (int X = x0; X <= x1; ++X) {
    const int32_t U = colU[X - x0] + rowU, V = colV[X - x0] + rowV;
    if (U < -1024 || V < -1024) continue;
    const int iu = U >> 10, iv = V >> 10;
    if (iu >= S || iv >= S) continue;
    const int pu = (U >> 5) & 31, pv = (V >> 5) & 31;
    const float wu0 = linearTab[pu * 2], wu1 = linearTab[pu * 2 + 1];
    const float wv0 = linearTab[pv * 2], wv1 = linearTab[pv * 2 + 1];
    const float m = (wu1 * maskAt(iv + 1, iu + 1) + wu0 * maskAt(iv + 1, iu)) * wv1 +
                    (wu1 * maskAt(iv, iu + 1) + wu0 * maskAt(iv, iu)) * wv0;
    const float alpha = std::rint(m) / 255.0f;
    if (alpha <= 0.0f) continue;
    const float* wu = lanczosTab + pu * 8;
    const float* wv = lanczosTab + pv * 8;
    alignas(16) float c[4];
    const bool inside = iu >= 3 && iu + 4 < S && iv >= 3 && iv + 4 < S;
    for (size_t lane = 0; lane < 4; lane += L) {
      auto acc = hn::Zero(d);
      for (int j = 0; j < 8; ++j) {
        const int r = iv - 3 + j;
        if (!inside && (r < 0 || r >= S)) continue;
        const float* row = packed + static_cast<size_t>(r) * S * 4 + lane;
        auto sum = hn::Zero(d);
        for (int i = 0; i < 8; ++i) {
          const int cc = iu - 3 + i;
          if (!inside && (cc < 0 || cc >= S)) continue;
          sum = hn::Add(sum, hn::Mul(hn::Set(d, wu[i]), hn::LoadU(d, row + static_cast<size_t>(cc) * 4)));
        }
        acc = hn::Add(acc, hn::Mul(hn::Set(d, wv[j]), sum));
      }
      hn::StoreU(acc, d, c + lane);
    }
    uint8_t* px = frameRow + static_cast<size_t>(X) * 3;
    for (int ch = 0; ch < 3; ++ch) {
      float v = static_cast<float>(px[ch]) * (1.0f - alpha) + c[ch] * alpha;
      v = v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
      px[ch] = static_cast<uint8_t>(v);
    }
  }
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {
HWY_EXPORT(PasteLanczos8Row);
void pasteLanczos8Row(const float* packed, int side, const uint8_t* mask, const float* lanczosTab, const float* linearTab,
                      const int32_t* colU, const int32_t* colV, int32_t rowU, int32_t rowV, int x0, int x1,
                      uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(packed, side, mask, lanczosTab, linearTab, colU, colV, rowU, rowV, x0, x1,
                                         frameRow);
}
}  // namespace le::simd
#endif
