// Vector half-float conversions shared by the kernels. Targets with hardware
// conversion (F16C, AVX2 and up) use it; older ones use integer arithmetic
// that rounds identically (nearest even, quiet NaN with the upper payload).
#if defined(LE_KERNELS_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_KERNELS_HALF_INL_H_
#undef LE_KERNELS_HALF_INL_H_
#else
#define LE_KERNELS_HALF_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
#undef LE_NATIVE_F16
#define LE_NATIVE_F16 1
#else
#undef LE_NATIVE_F16
#define LE_NATIVE_F16 0
#endif

#if !LE_NATIVE_F16
// Half bits (in 32-bit lanes) to float.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfBitsToF32(DF df, hn::Vec<hn::RebindToUnsigned<DF>> h) {
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(du, 0x8000)));
  const auto mag = hn::And(h, hn::Set(du, 0x7FFF));
  const auto m = hn::And(h, hn::Set(du, 0x3FF));
  const auto normal = hn::Add(hn::ShiftLeft<13>(mag), hn::Set(du, 0x38000000u));
  const auto sub = hn::BitCast(du, hn::Mul(hn::ConvertTo(df, hn::BitCast(di, m)), hn::Set(df, 5.9604644775390625e-8f)));
  const auto quiet = hn::IfThenElseZero(hn::Gt(hn::BitCast(di, m), hn::Zero(di)), hn::Set(di, 0x400000));
  const auto special = hn::Or(hn::Or(hn::Set(du, 0x7F800000u), hn::ShiftLeft<13>(m)), hn::BitCast(du, quiet));
  const auto magi = hn::BitCast(di, mag);
  auto r = hn::IfThenElse(hn::RebindMask(du, hn::Lt(magi, hn::Set(di, 0x400))), sub, normal);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(magi, hn::Set(di, 0x7BFF))), special, r);
  return hn::BitCast(df, hn::Or(r, sign));
}

// Float to half bits (in 32-bit lanes), round to nearest even.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> F32ToHalfBits(DF df, hn::Vec<DF> v) {
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto sign = hn::And(hn::ShiftRight<16>(bits), hn::Set(du, 0x8000));
  const auto abs = hn::And(bits, hn::Set(du, 0x7FFFFFFFu));
  const auto absi = hn::BitCast(di, abs);
  const auto odd = hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 1));
  const auto normal =
      hn::ShiftRight<13>(hn::Add(hn::Sub(abs, hn::Set(du, 0x38000000u)), hn::Add(hn::Set(du, 0xFFF), odd)));
  // Below 2^-14, adding 0.5 rounds at the half subnormal step (2^-24).
  const auto sub =
      hn::Sub(hn::BitCast(du, hn::Add(hn::BitCast(df, abs), hn::Set(df, 0.5f))), hn::Set(du, 0x3F000000u));
  const auto nan = hn::Or(hn::Set(du, 0x7E00), hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 0x3FF)));
  auto r = hn::IfThenElse(hn::RebindMask(du, hn::Lt(absi, hn::Set(di, 0x38800000))), sub, normal);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absi, hn::Set(di, 0x477FEFFF))), hn::Set(du, 0x7C00), r);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absi, hn::Set(di, 0x7F800000))), nan, r);
  return hn::Or(r, sign);
}
#endif

// Loads Lanes(df) halves and widens them.
template <class DF>
HWY_INLINE hn::Vec<DF> LoadHalf(DF df, const uint16_t* HWY_RESTRICT p) {
#if LE_NATIVE_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::LoadU(dh, reinterpret_cast<const hwy::float16_t*>(p)));
#else
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint16_t, DF> d16;
  return HalfBitsToF32(df, hn::PromoteTo(du, hn::LoadU(d16, p)));
#endif
}

// Narrows Lanes(df) floats to halves and stores them.
template <class DF>
HWY_INLINE void StoreHalf(DF df, hn::Vec<DF> v, uint16_t* HWY_RESTRICT p) {
#if LE_NATIVE_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  hn::StoreU(hn::DemoteTo(dh, v), dh, reinterpret_cast<hwy::float16_t*>(p));
#else
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint16_t, DF> d16;
  hn::StoreU(hn::DemoteTo(d16, hn::BitCast(di, F32ToHalfBits(df, v))), d16, p);
#endif
}

// float(half(v)): the value rounded to half precision and widened back.
template <class DF>
HWY_INLINE hn::Vec<DF> RoundHalf(DF df, hn::Vec<DF> v) {
#if LE_NATIVE_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::DemoteTo(dh, v));
#else
  return HalfBitsToF32(df, F32ToHalfBits(df, v));
#endif
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // LE_KERNELS_HALF_INL_H_
