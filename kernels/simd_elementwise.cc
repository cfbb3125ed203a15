// Element-wise float operations over contiguous rows, one operation a call.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_elementwise.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>

#include "kernels/simd.h"

#ifndef LE_KERNELS_SIMD_ELEMENTWISE_ONCE
#define LE_KERNELS_SIMD_ELEMENTWISE_ONCE
namespace le::simd::detail {

// The scalar definitions every lane follows. Clip's bounds keep the value
// unless it compares strictly beyond them; Min and Max propagate NaN and
// settle a tie (zeros of both signs) on the second operand.
inline float minOf(float a, float b) { return b < a ? b : a; }
inline float maxOf(float a, float b) { return a < b ? b : a; }
inline float pick(float a, float b, float tied) { return std::isnan(a) ? a : std::isnan(b) ? b : tied; }

inline float one(int op, float a, float b, float c, bool lo, bool hi) {
  switch (op) {
    case kEwAdd: return a + b;
    case kEwSub: return a - b;
    case kEwMul: return a * b;
    case kEwDiv: return a / b;
    case kEwMin: return pick(a, b, a < b ? a : b);
    case kEwMax: return pick(a, b, b < a ? a : b);

    case kEwClip: {
      float y = lo ? maxOf(a, b) : a;
      return hi ? minOf(y, c) : y;
    }
    case kEwNeg: return -a;
    case kEwAbs: return std::fabs(a);
    default: return std::floor(a);
  }
}

}  // namespace le::simd::detail
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <int kOp>
HWY_INLINE void Loop(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, const float* HWY_RESTRICT c,
                     float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const bool lo = b != nullptr, hi = c != nullptr;
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto x = hn::LoadU(d, a + i);
    hn::Vec<decltype(d)> y;
    if constexpr (kOp == kEwAdd) y = hn::Add(x, hn::LoadU(d, b + i));
    if constexpr (kOp == kEwSub) y = hn::Sub(x, hn::LoadU(d, b + i));
    if constexpr (kOp == kEwMul) y = hn::Mul(x, hn::LoadU(d, b + i));
    if constexpr (kOp == kEwDiv) y = hn::Div(x, hn::LoadU(d, b + i));
    if constexpr (kOp == kEwMin || kOp == kEwMax) {
      const auto v = hn::LoadU(d, b + i);
      if constexpr (kOp == kEwMin) y = hn::IfThenElse(hn::Lt(x, v), x, v);
      if constexpr (kOp == kEwMax) y = hn::IfThenElse(hn::Lt(v, x), x, v);
      y = hn::IfThenElse(hn::IsNaN(x), x, hn::IfThenElse(hn::IsNaN(v), v, y));
    }
    if constexpr (kOp == kEwClip) {
      y = x;
      if (lo) {
        const auto v = hn::LoadU(d, b + i);
        y = hn::IfThenElse(hn::Lt(y, v), v, y);
      }
      if (hi) {
        const auto v = hn::LoadU(d, c + i);
        y = hn::IfThenElse(hn::Lt(v, y), v, y);
      }
    }
    if constexpr (kOp == kEwNeg) y = hn::Neg(x);
    if constexpr (kOp == kEwAbs) y = hn::Abs(x);
    if constexpr (kOp == kEwFloor) y = hn::CopySign(hn::Floor(x), x);  // floor(-0) is -0 on every target
    hn::StoreU(y, d, out + i);
  }
  for (; i < n; ++i) out[i] = detail::one(kOp, a[i], b ? b[i] : 0.0f, c ? c[i] : 0.0f, lo, hi);
}

void Elementwise(int op, const float* a, const float* b, const float* c, float* out, size_t n) {
  switch (op) {
    case kEwAdd: return Loop<kEwAdd>(a, b, c, out, n);
    case kEwSub: return Loop<kEwSub>(a, b, c, out, n);
    case kEwMul: return Loop<kEwMul>(a, b, c, out, n);
    case kEwDiv: return Loop<kEwDiv>(a, b, c, out, n);
    case kEwMin: return Loop<kEwMin>(a, b, c, out, n);
    case kEwMax: return Loop<kEwMax>(a, b, c, out, n);
    case kEwClip: return Loop<kEwClip>(a, b, c, out, n);
    case kEwNeg: return Loop<kEwNeg>(a, b, c, out, n);
    case kEwAbs: return Loop<kEwAbs>(a, b, c, out, n);
    case kEwFloor: return Loop<kEwFloor>(a, b, c, out, n);

    default: return;
  }
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {
HWY_EXPORT(Elementwise);
void elementwise(int op, const float* a, const float* b, const float* c, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(Elementwise)(op, a, b, c, out, n);
}
void elementwiseScalar(int op, const float* a, const float* b, const float* c, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i)
    out[i] = detail::one(op, a[i], b ? b[i] : 0.0f, c ? c[i] : 0.0f, b != nullptr, c != nullptr);
}
}  // namespace le::simd
#endif
