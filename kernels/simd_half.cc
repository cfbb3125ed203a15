// Half-float conversion kernels and the retrieval distance terms.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_half.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>

#include "kernels/half-inl.h"
#include "kernels/half.h"
#include "kernels/simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L) StoreHalf(df, hn::LoadU(df, src + i), dst + i);
  for (; i < n; ++i) dst[i] = half::fromFloat(src[i]);
}

void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L) hn::StoreU(LoadHalf(df, src + i), df, dst + i);
  for (; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

void RoundF16Mul(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L)
    hn::StoreU(hn::Mul(RoundHalf(df, hn::LoadU(df, a + i)), hn::LoadU(df, b + i)), df, out + i);
  for (; i < n; ++i) out[i] = half::round(a[i]) * b[i];
}

void RoundF16(const float* HWY_RESTRICT a, float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L) hn::StoreU(RoundHalf(df, hn::LoadU(df, a + i)), df, out + i);
  for (; i < n; ++i) out[i] = half::round(a[i]);
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT dst, size_t planeStride, size_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const size_t L = hn::Lanes(df);
  const auto k255 = hn::Set(df, 255.0f);
  size_t i = 0;
  for (; i + L <= n; i += L) {
    hn::Vec<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    StoreHalf(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, r)), k255), dst + i);
    StoreHalf(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, g)), k255), dst + planeStride + i);
    StoreHalf(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, b)), k255), dst + 2 * planeStride + i);
  }
  for (; i < n; ++i)
    for (size_t c = 0; c < 3; ++c)
      dst[c * planeStride + i] = half::fromFloat(static_cast<float>(rgb[3 * i + c]) / 255.0f);
}

// m = half(sum_k |half(a_k - b_k)| / 3) for Lanes(df) consecutive indices.
template <class DF>
HWY_INLINE hn::Vec<DF> MeanAbsDiff(DF df, const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                                   size_t n, size_t i) {
  auto s = hn::Zero(df);
  for (size_t k = 0; k < 3; ++k) {
    const auto d = RoundHalf(df, hn::Sub(LoadHalf(df, a + k * n + i), LoadHalf(df, b + k * n + i)));
    s = k == 0 ? hn::Abs(d) : hn::Add(s, hn::Abs(d));
  }
  return RoundHalf(df, hn::Div(s, hn::Set(df, 3.0f)));
}

float MeanAbsDiffScalar(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float s = 0;
  for (size_t k = 0; k < 3; ++k) {
    const float d = std::fabs(half::round(half::toFloat(a[k * n + i]) - half::toFloat(b[k * n + i])));
    s = k == 0 ? d : s + d;
  }
  return half::round(s / 3.0f);
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t begin, size_t end) {
  const hn::ScalableTag<float> df;
  const size_t L = hn::Lanes(df);
  HWY_ALIGN float terms[hn::MaxLanes(df)];
  float total = 0.0f;
  size_t i = begin;
  for (; i + L <= end; i += L) {
    const auto wv = hn::LoadU(df, w + i);
    const auto t = hn::IfThenZeroElse(hn::Eq(wv, hn::Zero(df)), hn::Mul(wv, MeanAbsDiff(df, a, b, n, i)));
    hn::Store(t, df, terms);
    for (size_t l = 0; l < L; ++l) total += terms[l];  // strictly in index order
  }
  for (; i < end; ++i) {
    if (w[i] != 0.0f) total += w[i] * MeanAbsDiffScalar(a, b, n, i);
    else total += 0.0f;
  }
  return total;
}

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t L = hn::Lanes(df);
  HWY_ALIGN float terms[hn::MaxLanes(df)];
  float total = 0.0f;
  size_t i = 0;
  for (; i + L <= n; i += L) {
    hn::Store(RoundHalf(df, hn::Mul(MeanAbsDiff(df, a, b, n, i), LoadHalf(df, w + i))), df, terms);
    for (size_t l = 0; l < L; ++l) total += terms[l];
  }
  for (; i < n; ++i) total += half::round(MeanAbsDiffScalar(a, b, n, i) * half::toFloat(w[i]));
  return total;
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(F32ToF16);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(RoundF16);
HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermPooled);

void f32ToF16(const float* src, uint16_t* dst, size_t n) { HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n); }
void f16ToF32(const uint16_t* src, float* dst, size_t n) { HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n); }
void roundF16Mul(const float* a, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}
void roundF16(const float* src, float* dst, size_t n) { HWY_DYNAMIC_DISPATCH(RoundF16)(src, dst, n); }
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride, size_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, dst, planeStride, n);
}
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                             size_t end) {
  if (begin >= end) return 0.0f;
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return retrieveTermExactRange(a, b, w, n, 0, n);
}
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

const char* target() {
  const int64_t t = hwy::SupportedTargets() & HWY_TARGETS;
  return t ? hwy::TargetName(t & -t) : "Unknown";
}

}  // namespace simd

uint16_t f32ToF16(float x) {
  const uint32_t abs = half::bitsOf(x) & 0x7FFFFFFFu;
  if (abs > 0x477FEFFFu) return static_cast<uint16_t>(((half::bitsOf(x) >> 16) & 0x8000u) | 0x7C00u);
  return half::fromFloat(x);
}

}  // namespace le
#endif  // HWY_ONCE
