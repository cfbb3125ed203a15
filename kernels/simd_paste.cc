// The compositor's 8x8 Lanczos row paste, over the crop's interleaved
// (R, G, B, 0) pixels or, sixteen pixels at a time, its three planes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_paste.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
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

// frame = clamp(frame (1 - alpha) + c alpha, 0, 255), truncated, one
// channel at a time.
HWY_INLINE void BlendScalar(const float* HWY_RESTRICT c, float alpha, uint8_t* HWY_RESTRICT px) {
  for (int ch = 0; ch < 3; ++ch) {
    float v = static_cast<float>(px[ch]) * (1.0f - alpha) + c[ch] * alpha;
    v = v >= 0.0f ? (v > 255.0f ? 255.0f : v) : 0.0f;  // NaN too becomes 0
    px[ch] = static_cast<uint8_t>(v);
  }
}

#if HWY_TARGET <= HWY_AVX3 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
// Sixteen neighbouring pixels of a row whose windows lie inside the crop,
// within 32 crop columns and a few rows of each other: each lane is one
// pixel, and a tap's 16 samples come out of the 32 columns by one
// two-register permute. Every lane sums its row's taps in tap order and the
// rows in row order, as one window does alone, so the bytes are the same.
class Group16 {
 public:
  using D = hn::FixedTag<float, 16>;
  using DI = hn::FixedTag<int32_t, 16>;
  using V = hn::Vec<D>;
  using VI = hn::Vec<DI>;

  // Tap t of every phase, phases 0..15 and 16..31 (lanczosTab: 32 phases x 8).
  Group16(const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT linearTab) {
    alignas(64) float col[32];
    for (int t = 0; t < 8; ++t) {
      for (int p = 0; p < 32; ++p) col[p] = lanczosTab[p * 8 + t];
      lo_[t] = hn::Load(D(), col);
      hi_[t] = hn::Load(D(), col + 16);
    }
    for (int t = 0; t < 2; ++t) {
      for (int p = 0; p < 32; ++p) col[p] = linearTab[p * 2 + t];
      linLo_[t] = hn::Load(D(), col);
      linHi_[t] = hn::Load(D(), col + 16);
    }
  }

  // pasteSample for 16 neighbouring pixels whose windows all lie inside the
  // crop (false otherwise, nothing set): their crop columns and phases and
  // their alphas, 0 where the pixel is left unchanged. The same operations
  // lane by lane, so the same alphas.
  bool place(const int32_t* HWY_RESTRICT colU, const int32_t* HWY_RESTRICT colV, int32_t rowU, int32_t rowV, int S,
             const uint8_t* HWY_RESTRICT mask, VI& iu, VI& iv, VI& pu, VI& pv, V& alpha) const {
    const D d;
    const DI di;
    const VI U = hn::Add(hn::LoadU(di, colU), hn::Set(di, rowU));
    const VI Vc = hn::Add(hn::LoadU(di, colV), hn::Set(di, rowV));
    iu = hn::ShiftRight<10>(U);
    iv = hn::ShiftRight<10>(Vc);
    const VI two = hn::Set(di, 2), last = hn::Set(di, S - 4);
    const auto inside = hn::And(hn::And(hn::Gt(iu, two), hn::Lt(iu, last)), hn::And(hn::Gt(iv, two), hn::Lt(iv, last)));
    if (!hn::AllTrue(di, inside)) return false;
    const VI phase = hn::Set(di, 31);
    pu = hn::And(hn::ShiftRight<5>(U), phase);
    pv = hn::And(hn::ShiftRight<5>(Vc), phase);
    // Each pixel's four mask bytes: two unaligned words, rows iv and iv + 1.
    const VI at = hn::Add(hn::Mul(iv, hn::Set(di, S)), iu);
    const int32_t* words = reinterpret_cast<const int32_t*>(mask);
    const VI row0 = hn::GatherOffset(di, words, at);
    const VI row1 = hn::GatherOffset(di, words, hn::Add(at, hn::Set(di, S)));
    const VI byte = hn::Set(di, 255);
    const V m00 = hn::ConvertTo(d, hn::And(row0, byte)), m01 = hn::ConvertTo(d, hn::And(hn::ShiftRight<8>(row0), byte));
    const V m10 = hn::ConvertTo(d, hn::And(row1, byte)), m11 = hn::ConvertTo(d, hn::And(hn::ShiftRight<8>(row1), byte));
    const V wu0 = V{_mm512_permutex2var_ps(linLo_[0].raw, pu.raw, linHi_[0].raw)};
    const V wu1 = V{_mm512_permutex2var_ps(linLo_[1].raw, pu.raw, linHi_[1].raw)};
    const V wv0 = V{_mm512_permutex2var_ps(linLo_[0].raw, pv.raw, linHi_[0].raw)};
    const V wv1 = V{_mm512_permutex2var_ps(linLo_[1].raw, pv.raw, linHi_[1].raw)};
    const V m = hn::Add(hn::Mul(hn::Add(hn::Mul(wu1, m11), hn::Mul(wu0, m10)), wv1),
                        hn::Mul(hn::Add(hn::Mul(wu1, m01), hn::Mul(wu0, m00)), wv0));
    alpha = hn::Div(hn::Round(m), hn::Set(d, 255.0f));
    return true;
  }

  // The three colours of the 16 lanes, whose windows start on crop rows
  // ivMin .. ivMin + spread (spread at most kMaxSpread: a turned crop) and
  // columns iu[p] - 3 - base .. + 7 of the 32 from base, at phases pu[p] and
  // pv[p]. Every crop row from the lowest window's first to the highest
  // one's last is summed across its taps in every lane, and each lane then
  // sums its own eight of those in row order.
  static constexpr int kMaxSpread = 3;
  void sample(const float* const* HWY_RESTRICT planes, int S, int ivMin, int spread, int base, VI ivV, VI iuV,
              VI puV, VI pvV, V* HWY_RESTRICT colour) const {
    const D d;
    const DI di;
    const VI first = hn::Sub(iuV, hn::Set(di, base + 3));
    V wu[8];
    __m512i idx[8];
    for (int t = 0; t < 8; ++t) {
      wu[t] = V{_mm512_permutex2var_ps(lo_[t].raw, puV.raw, hi_[t].raw)};
      idx[t] = hn::Add(first, hn::Set(di, t)).raw;
    }
    // Lanes whose first row is at least k rows below the lowest.
    const VI lag = hn::Sub(ivV, hn::Set(di, ivMin));
    hn::Mask<D> below[kMaxSpread + 1];
    for (int k = 1; k <= spread; ++k) below[k] = hn::RebindMask(d, hn::Gt(lag, hn::Set(di, k - 1)));
    const size_t s = static_cast<size_t>(S);
    for (int ch = 0; ch < 3; ++ch) {
      const float* top = planes[ch] + static_cast<size_t>(ivMin - 3) * s + base;
      V rows[8 + kMaxSpread];
      for (V& r : rows) r = hn::Zero(d);
      for (int r = 0; r < 8 + spread; ++r) {
        const __m512 a = hn::LoadU(d, top + r * s).raw, b = hn::LoadU(d, top + r * s + 16).raw;
        V sum = hn::Zero(d);
        for (int i = 0; i < 8; ++i) sum = hn::Add(sum, hn::Mul(wu[i], V{_mm512_permutex2var_ps(a, idx[i], b)}));
        rows[r] = sum;
      }
      V acc = hn::Zero(d);
      for (int j = 0; j < 8; ++j) {
        V row = rows[j];
        for (int k = 1; k <= spread; ++k) row = hn::IfThenElse(below[k], rows[j + k], row);
        const V wv = V{_mm512_permutex2var_ps(lo_[j].raw, pvV.raw, hi_[j].raw)};
        acc = hn::Add(acc, hn::Mul(wv, row));
      }
      colour[ch] = acc;
    }
  }

  // Blends the lanes whose alpha is above 0 into 16 pixels of pixelBytes
  // (3 or 4) bytes, as BlendPixel does one pixel; the others keep their bytes.
  static void blend(const V* HWY_RESTRICT colour, V a, uint8_t* HWY_RESTRICT px, int pixelBytes) {
    const D d;
    const hn::FixedTag<uint8_t, 16> d8;
    const hn::Rebind<int32_t, decltype(d8)> di;
    const V keep = hn::Sub(hn::Set(d, 1.0f), a);
    const V zero = hn::Zero(d), top = hn::Set(d, 255.0f);
    const auto take = hn::Ne(hn::DemoteTo(d8, hn::IfThenElseZero(hn::RebindMask(di, hn::Gt(a, zero)), hn::Set(di, 1))),
                             hn::Zero(d8));
    hn::Vec<decltype(d8)> in[4];
    if (pixelBytes == 4)
      hn::LoadInterleaved4(d8, px, in[0], in[1], in[2], in[3]);
    else
      hn::LoadInterleaved3(d8, px, in[0], in[1], in[2]);
    for (int ch = 0; ch < 3; ++ch) {
      const V f = hn::ConvertTo(d, hn::PromoteTo(di, in[ch]));
      V v = hn::Add(hn::Mul(f, keep), hn::Mul(colour[ch], a));
      v = hn::IfThenElse(hn::Ge(v, zero), v, zero);  // NaN too becomes 0
      v = hn::IfThenElse(hn::Gt(v, top), top, v);
      in[ch] = hn::IfThenElse(take, hn::DemoteTo(d8, hn::ConvertTo(di, v)), in[ch]);
    }
    if (pixelBytes == 4)
      hn::StoreInterleaved4(in[0], in[1], in[2], in[3], d8, px);
    else
      hn::StoreInterleaved3(in[0], in[1], in[2], d8, px);
  }

 private:
  V lo_[8], hi_[8], linLo_[2], linHi_[2];
};
#endif

void PasteLanczos8Row(const float* HWY_RESTRICT packed, int S, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT linearTab,
                      const int32_t* HWY_RESTRICT colU, const int32_t* HWY_RESTRICT colV, int32_t rowU, int32_t rowV,
                      int x0, int x1, uint8_t* HWY_RESTRICT frameRow, int pixelBytes,
                      const float* const* HWY_RESTRICT planes) {
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
  // One pixel's own 8x8 window.
  auto onePixel = [&](int X, const PasteSample& at) {
    const int iu = at.iu, iv = at.iv;
    const bool inside = at.inside;
    const float alpha = at.alpha;
    const float* wu = lanczosTab + at.pu * 8;
    const float* wv = lanczosTab + at.pv * 8;
#if HWY_TARGET <= HWY_AVX2 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
    if (inside) {
      const float* top = packed + (static_cast<size_t>(iv - 3) * S + static_cast<size_t>(iu - 3)) * 4;
      batch[pending++] = WindowJob{top, wu, wv, alpha, frameRow + static_cast<size_t>(X) * pb};
      if (pending == kBatch) flush();
      return;
    }
#endif
    alignas(16) float c[4];
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
    BlendScalar(c, alpha, frameRow + static_cast<size_t>(X) * pb);
  };
  int X = x0;
#if HWY_TARGET <= HWY_AVX3 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
  if (planes && S >= 32 && x1 - x0 >= 15) {
    const Group16 group(lanczosTab, linearTab);
    const Group16::DI di;
    for (; X + 15 <= x1; X += 16) {
      Group16::VI iu, iv, pu, pv;
      Group16::V alpha;
      if (group.place(colU + (X - x0), colV + (X - x0), rowU, rowV, S, mask, iu, iv, pu, pv, alpha)) {
        const auto ok = hn::RebindMask(di, hn::Gt(alpha, hn::Zero(Group16::D())));
        if (hn::AllFalse(di, ok)) continue;
        // The 32 columns from base reach from the leftmost window's first
        // column to the rightmost one's last, and stay inside the crop.
        const int ivMin = hn::GetLane(hn::MinOfLanes(di, iv)), ivMax = hn::GetLane(hn::MaxOfLanes(di, iv));
        const int iuMin = hn::GetLane(hn::MinOfLanes(di, iu)), iuMax = hn::GetLane(hn::MaxOfLanes(di, iu));
        const int base = std::min(iuMin - 3, S - 32);
        if (ivMax - ivMin <= Group16::kMaxSpread && iuMax + 4 - base < 32) {
          Group16::V colour[3];
          group.sample(planes, S, ivMin, ivMax - ivMin, base, iv, iu, pu, pv, colour);
          Group16::blend(colour, alpha, frameRow + static_cast<size_t>(X) * pb, pixelBytes);
          continue;
        }
      }
      for (int p = 0; p < 16; ++p) {
        PasteSample at;
        if (pasteSample(colU[X + p - x0] + rowU, colV[X + p - x0] + rowV, S, mask, linearTab, at)) onePixel(X + p, at);
      }
    }
  }
#endif
  (void)planes;
  for (; X <= x1; ++X) {
    PasteSample at;
    if (pasteSample(colU[X - x0] + rowU, colV[X - x0] + rowV, S, mask, linearTab, at)) onePixel(X, at);
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
                      uint8_t* frameRow, int pixelBytes, const float* const* planes) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(packed, side, mask, lanczosTab, linearTab, colU, colV, rowU, rowV, x0, x1,
                                         frameRow, pixelBytes, planes);
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
