// The compositor's 8x8 Lanczos row paste over interleaved (R, G, B, 0) planes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_paste.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>

#include "kernels/paste_sample.h"
#include "kernels/simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Inside pixels wait in a small batch and their 8x8 windows are summed
// together: each pixel's sums are a long chain of dependent adds, and several
// independent chains keep the vector units busy. Wide targets also hold two
// source rows of a window in one vector, one (R, G, B, 0) pixel per 128-bit
// block. Every block still sums its row's taps in tap order and the
// rows are then summed in row order, so the result is the same on every
// target.
struct WindowJob {
  const float* top;  // window's top-left (R, G, B, 0) pixel
  const float* wu;
  const float* wv;
  float alpha;
  uint8_t* px;
};
constexpr int kBatch = 4;

#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
template <int kB>
HWY_INLINE void WindowRows(const WindowJob* HWY_RESTRICT jobs, size_t rowStride, float (*HWY_RESTRICT out)[4]) {
  const hn::FixedTag<float, 4> d4;
  const hn::FixedTag<float, 8> d8;  // rows j and j + 1 of a window, side by side
  using V8 = hn::Vec<decltype(d8)>;
  using V4 = hn::Vec<decltype(d4)>;
  // The four row pairs of every pixel are independent chains, and a tap's
  // weight is broadcast once for all of them.
  V8 sum[kB][4];
  for (int p = 0; p < kB; ++p)
    for (int q = 0; q < 4; ++q) sum[p][q] = hn::Zero(d8);
  for (int i = 0; i < 8; ++i) {
    for (int p = 0; p < kB; ++p) {
      const V8 w = hn::Set(d8, jobs[p].wu[i]);
      for (int q = 0; q < 4; ++q) {
        const float* r0 = jobs[p].top + static_cast<size_t>(2 * q) * rowStride + 4 * i;
        const V8 v = hn::Combine(d8, hn::LoadU(d4, r0 + rowStride), hn::LoadU(d4, r0));
        sum[p][q] = hn::Add(sum[p][q], hn::Mul(w, v));
      }
    }
  }
  for (int p = 0; p < kB; ++p) {
    V4 acc = hn::Zero(d4);
    for (int q = 0; q < 4; ++q) {
      acc = hn::Add(acc, hn::Mul(hn::Set(d4, jobs[p].wv[2 * q]), hn::LowerHalf(d4, sum[p][q])));
      acc = hn::Add(acc, hn::Mul(hn::Set(d4, jobs[p].wv[2 * q + 1]), hn::UpperHalf(d4, sum[p][q])));
    }
    hn::Store(acc, d4, out[p]);
  }
}

// frame = clamp(frame (1 - alpha) + c alpha, 0, 255), truncated, for the
// three channels of one pixel, lane by lane as the scalar formula.
HWY_INLINE void BlendPixel(const float* HWY_RESTRICT c, float alpha, uint8_t* HWY_RESTRICT px) {
  const hn::FixedTag<float, 4> d4;
  const hn::FixedTag<int32_t, 4> di;
  const hn::FixedTag<uint8_t, 4> d8;
  alignas(4) uint8_t in[4] = {px[0], px[1], px[2], 0};
  const auto f = hn::ConvertTo(d4, hn::PromoteTo(di, hn::Load(d8, in)));
  auto v = hn::Add(hn::Mul(f, hn::Set(d4, 1.0f - alpha)), hn::Mul(hn::Load(d4, c), hn::Set(d4, alpha)));
  const auto zero = hn::Zero(d4), top = hn::Set(d4, 255.0f);
  v = hn::IfThenElse(hn::Ge(v, zero), v, zero);  // NaN too becomes 0
  v = hn::IfThenElse(hn::Gt(v, top), top, v);
  alignas(4) uint8_t out[4];
  hn::Store(hn::DemoteTo(d8, hn::ConvertTo(di, v)), d8, out);
  px[0] = out[0];
  px[1] = out[1];
  px[2] = out[2];
}
#endif

void PasteLanczos8Row(const float* HWY_RESTRICT packed, int S, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT linearTab,
                      const int32_t* HWY_RESTRICT colU, const int32_t* HWY_RESTRICT colV, int32_t rowU, int32_t rowV,
                      int x0, int x1, uint8_t* HWY_RESTRICT frameRow, int pixelBytes) {
  const size_t pb = static_cast<size_t>(pixelBytes);
  const hn::CappedTag<float, 4> d;  // one (R, G, B, 0) pixel per vector (a lane at a time on scalar targets)
  const size_t L = hn::Lanes(d);
  WindowJob batch[kBatch];
  int pending = 0;
#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
  const size_t rowStride = static_cast<size_t>(S) * 4;
  auto flush = [&] {
    alignas(16) float colour[kBatch][4];
    if (pending == kBatch) {
      WindowRows<kBatch>(batch, rowStride, colour);
    } else {
      for (int p = 0; p < pending; ++p) WindowRows<1>(batch + p, rowStride, colour + p);
    }
    for (int p = 0; p < pending; ++p) BlendPixel(colour[p], batch[p].alpha, batch[p].px);
    pending = 0;
  };
#endif
  for (int X = x0; X <= x1; ++X) {
    PasteSample at;
    if (!pasteSample(colU[X - x0] + rowU, colV[X - x0] + rowV, S, mask, linearTab, at)) continue;
    const int iu = at.iu, iv = at.iv, pu = at.pu, pv = at.pv;
    const bool inside = at.inside;
    const float alpha = at.alpha;
    const float* wu = lanczosTab + pu * 8;
    const float* wv = lanczosTab + pv * 8;
    alignas(16) float c[4];
#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
    if (inside) {
      const float* top = packed + (static_cast<size_t>(iv - 3) * S + static_cast<size_t>(iu - 3)) * 4;
      batch[pending++] = WindowJob{top, wu, wv, alpha, frameRow + static_cast<size_t>(X) * pb};
      if (pending == kBatch) flush();
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
    uint8_t* px = frameRow + static_cast<size_t>(X) * pb;
    for (int ch = 0; ch < 3; ++ch) {
      float v = static_cast<float>(px[ch]) * (1.0f - alpha) + c[ch] * alpha;
      v = v >= 0.0f ? (v > 255.0f ? 255.0f : v) : 0.0f;  // NaN too becomes 0
      px[ch] = static_cast<uint8_t>(v);
    }
  }
#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
  if (pending) flush();
#endif
  (void)batch;
  (void)pending;
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
                const float* HWY_RESTRICT src, float scale, float* HWY_RESTRICT out, int S) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d), n = static_cast<size_t>(S);
  const float keep = 1 + amount;
  const auto vKeep = hn::Set(d, keep), vAmount = hn::Set(d, amount), vScale = hn::Set(d, scale);
  const auto zero = hn::Zero(d), top = hn::Set(d, 255.0f);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto acc = hn::Zero(d);
    for (int t = 0; t < k; ++t)
      acc = hn::Add(acc, hn::Mul(hn::Set(d, g[t]), hn::LoadU(d, blur + static_cast<size_t>(t) * stride + x)));
    const auto plane = hn::Mul(vScale, hn::LoadU(d, src + x));
    auto v = hn::Sub(hn::Mul(vKeep, plane), hn::Mul(vAmount, acc));
    v = hn::IfThenElse(hn::Ge(v, zero), v, zero);  // NaN too becomes 0
    v = hn::IfThenElse(hn::Gt(v, top), top, v);
    hn::StoreU(v, d, out + x);
  }
  for (; x < n; ++x) {
    float acc = 0.0f;
    for (int t = 0; t < k; ++t) acc += g[t] * blur[static_cast<size_t>(t) * stride + x];
    const float plane = scale * src[x];
    const float v = keep * plane - amount * acc;
    out[x] = v >= 0.0f ? (v > 255.0f ? 255.0f : v) : 0.0f;  // NaN too becomes 0
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
                      uint8_t* frameRow, int pixelBytes) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(packed, side, mask, lanczosTab, linearTab, colU, colV, rowU, rowV, x0, x1,
                                         frameRow, pixelBytes);
}
HWY_EXPORT(BlurTaps);
HWY_EXPORT(UnsharpRow);
void blurTaps(const float* src, float* dst, size_t n, const float* g, int k) {
  HWY_DYNAMIC_DISPATCH(BlurTaps)(src, dst, n, g, k);
}
void unsharpRow(const float* blur, size_t stride, const float* g, int k, float amount, const float* src, float scale,
                float* out, int S) {
  HWY_DYNAMIC_DISPATCH(UnsharpRow)(blur, stride, g, k, amount, src, scale, out, S);
}
HWY_EXPORT(Rgb24ToRgba);
void rgb24ToRgba(const uint8_t* rgb, uint8_t* rgba, size_t n) { HWY_DYNAMIC_DISPATCH(Rgb24ToRgba)(rgb, rgba, n); }
}  // namespace le::simd
#endif
