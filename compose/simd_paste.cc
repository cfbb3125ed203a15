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

// The colour of one pixel whose 8x8 window lies inside the crop. Wide
// targets hold several source rows of the window in one vector, one
// (R, G, B, 0) pixel per 128-bit block: every block still sums its row's taps
// in tap order, and the rows are then summed in row order, so the result is
// the same on every target.
#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
template <size_t kRows>
HWY_INLINE void WindowRows(const float* HWY_RESTRICT top, size_t rowStride, const float* HWY_RESTRICT wu,
                           const float* HWY_RESTRICT wv, float* HWY_RESTRICT out) {
  const hn::FixedTag<float, 4> d4;
  const hn::FixedTag<float, 4 * kRows> dw;
  using VW = hn::Vec<decltype(dw)>;
  VW w[8];
  for (int i = 0; i < 8; ++i) w[i] = hn::Set(dw, wu[i]);
  auto acc = hn::Zero(d4);
  for (int j0 = 0; j0 < 8; j0 += static_cast<int>(kRows)) {
    const float* r0 = top + static_cast<size_t>(j0) * rowStride;
    auto sum = hn::Zero(dw);
    for (int i = 0; i < 8; ++i) {
      VW v;
      if constexpr (kRows == 2) {
        v = hn::Combine(dw, hn::LoadU(d4, r0 + rowStride + 4 * i), hn::LoadU(d4, r0 + 4 * i));
      } else {
        const hn::FixedTag<float, 8> d8;
        const auto lo = hn::Combine(d8, hn::LoadU(d4, r0 + rowStride + 4 * i), hn::LoadU(d4, r0 + 4 * i));
        const auto hi =
            hn::Combine(d8, hn::LoadU(d4, r0 + 3 * rowStride + 4 * i), hn::LoadU(d4, r0 + 2 * rowStride + 4 * i));
        v = hn::Combine(dw, hi, lo);
      }
      sum = hn::Add(sum, hn::Mul(w[i], v));
    }
    alignas(64) float rows[4 * kRows];
    hn::Store(sum, dw, rows);
    for (size_t q = 0; q < kRows; ++q)
      acc = hn::Add(acc, hn::Mul(hn::Set(d4, wv[j0 + static_cast<int>(q)]), hn::Load(d4, rows + 4 * q)));
  }
  hn::Store(acc, d4, out);
}
#endif

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
#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
    if (inside) {
      const float* top = packed + (static_cast<size_t>(iv - 3) * S + static_cast<size_t>(iu - 3)) * 4;
      if constexpr (HWY_MAX_BYTES >= 64) WindowRows<4>(top, static_cast<size_t>(S) * 4, wu, wv, c);
      else WindowRows<2>(top, static_cast<size_t>(S) * 4, wu, wv, c);
      uint8_t* px = frameRow + static_cast<size_t>(X) * 3;
      for (int ch = 0; ch < 3; ++ch) {
        float v = static_cast<float>(px[ch]) * (1.0f - alpha) + c[ch] * alpha;
        v = v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
        px[ch] = static_cast<uint8_t>(v);
      }
      continue;
    }
#endif
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

void BlurTaps(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, const float* HWY_RESTRICT g, int k) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Zero(d);
    for (int t = 0; t < k; ++t) acc = hn::Add(acc, hn::Mul(hn::Set(d, g[t]), hn::LoadU(d, src + i + t)));
    hn::StoreU(acc, d, dst + i);
  }
  for (; i < n; ++i) {
    float acc = 0.0f;
    for (int t = 0; t < k; ++t) acc += g[t] * src[i + t];
    dst[i] = acc;
  }
}

void UnsharpRow(const float* HWY_RESTRICT blur, size_t stride, const float* HWY_RESTRICT g, int k, float amount,
                float* HWY_RESTRICT row, int S) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d), n = static_cast<size_t>(S);
  const float keep = 1 + amount;
  const auto vKeep = hn::Set(d, keep), vAmount = hn::Set(d, amount);
  const auto zero = hn::Zero(d), top = hn::Set(d, 255.0f);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto acc = hn::Zero(d);
    for (int t = 0; t < k; ++t)
      acc = hn::Add(acc, hn::Mul(hn::Set(d, g[t]), hn::LoadU(d, blur + static_cast<size_t>(t) * stride + x)));
    auto v = hn::Sub(hn::Mul(vKeep, hn::LoadU(d, row + x)), hn::Mul(vAmount, acc));
    v = hn::IfThenElse(hn::Lt(v, zero), zero, v);
    v = hn::IfThenElse(hn::Gt(v, top), top, v);
    hn::StoreU(v, d, row + x);
  }
  for (; x < n; ++x) {
    float acc = 0.0f;
    for (int t = 0; t < k; ++t) acc += g[t] * blur[static_cast<size_t>(t) * stride + x];
    const float v = keep * row[x] - amount * acc;
    row[x] = v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
  }
}

void Rgb24ToRgba(const uint8_t* HWY_RESTRICT rgb, uint8_t* HWY_RESTRICT rgba, size_t n) {
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  const auto opaque = hn::Set(d, uint8_t{255});
  size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::Vec<decltype(d)> r, g, b;
    hn::LoadInterleaved3(d, rgb + 3 * i, r, g, b);
    hn::StoreInterleaved4(r, g, b, opaque, d, rgba + 4 * i);
  }
  for (; i < n; ++i) {
    rgba[4 * i] = rgb[3 * i];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
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
HWY_EXPORT(BlurTaps);
HWY_EXPORT(UnsharpRow);
void blurTaps(const float* src, float* dst, size_t n, const float* g, int k) {
  HWY_DYNAMIC_DISPATCH(BlurTaps)(src, dst, n, g, k);
}
void unsharpRow(const float* blur, size_t stride, const float* g, int k, float amount, float* row, int S) {
  HWY_DYNAMIC_DISPATCH(UnsharpRow)(blur, stride, g, k, amount, row, S);
}
HWY_EXPORT(Rgb24ToRgba);
void rgb24ToRgba(const uint8_t* rgb, uint8_t* rgba, size_t n) { HWY_DYNAMIC_DISPATCH(Rgb24ToRgba)(rgb, rgba, n); }
}  // namespace le::simd
#endif
