// RGB24 to YUV 4:2:0 (I420), BT.601 limited range in integers: the layout
// video encoders take.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_i420.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "kernels/simd.h"

#ifndef LE_KERNELS_SIMD_I420_ONCE
#define LE_KERNELS_SIMD_I420_ONCE
namespace le::simd::detail {
inline uint8_t lumaOf(int r, int g, int b) { return static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16); }
// The chroma of a 2x2 block from its rounded mean colour.
inline void chromaOf(int r, int g, int b, uint8_t* u, uint8_t* v) {
  *u = static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
  *v = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}
// Pixels [x, width) of a row pair (b may be a), scalar.
inline void i420Tail(const uint8_t* a, const uint8_t* b, int x, int width, uint8_t* ya, uint8_t* yb, uint8_t* u,
                     uint8_t* v) {
  for (int i = x; i < width; ++i) {
    ya[i] = lumaOf(a[3 * i], a[3 * i + 1], a[3 * i + 2]);
    if (yb) yb[i] = lumaOf(b[3 * i], b[3 * i + 1], b[3 * i + 2]);
  }
  for (int i = x; i < width; i += 2) {
    const int j = i + 1 < width ? i + 1 : i;  // an odd last column pairs with itself
    int s[3];
    for (int c = 0; c < 3; ++c) s[c] = (a[3 * i + c] + a[3 * j + c] + b[3 * i + c] + b[3 * j + c] + 2) >> 2;
    chromaOf(s[0], s[1], s[2], u + i / 2, v + i / 2);
  }
}
// Pixels [x, width) of an I420 row pair (yb null: a lone row) through RGB24
// and back, scalar; the outputs may be the inputs.
inline void throughRgbTail(const uint8_t* ya, const uint8_t* yb, const uint8_t* u, const uint8_t* v, int x, int width,
                           uint8_t* oya, uint8_t* oyb, uint8_t* ou, uint8_t* ov) {
  for (int i = x; i < width; i += 2) {
    const int j = i + 1 < width ? i + 1 : i;  // an odd last column pairs with itself
    const int cu = u[i / 2], cv = v[i / 2];
    uint8_t p[4][3];
    yuvPixel(ya[i], cu, cv, p[0]);
    yuvPixel(ya[j], cu, cv, p[1]);
    yuvPixel(yb ? yb[i] : ya[i], cu, cv, p[2]);
    yuvPixel(yb ? yb[j] : ya[j], cu, cv, p[3]);
    oya[i] = lumaOf(p[0][0], p[0][1], p[0][2]);
    if (j != i) oya[j] = lumaOf(p[1][0], p[1][1], p[1][2]);
    if (yb) {
      oyb[i] = lumaOf(p[2][0], p[2][1], p[2][2]);
      if (j != i) oyb[j] = lumaOf(p[3][0], p[3][1], p[3][2]);
    }
    int s[3];
    for (int c = 0; c < 3; ++c) s[c] = (p[0][c] + p[1][c] + p[2][c] + p[3][c] + 2) >> 2;
    chromaOf(s[0], s[1], s[2], ou + i / 2, ov + i / 2);
  }
}
}  // namespace le::simd::detail
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// A row pair, 2N pixels a step (N the 16-bit lanes): each byte vector of a
// colour splits into even and odd pixels as the low and high bytes of its
// 16-bit lanes, which are also the 2x2 blocks' columns. Luma fits unsigned
// 16-bit lanes (at most 56228 before the shift), chroma signed ones (within
// [-28432, 28688]); the shifts floor as the scalar code does.
void Rgb24ToI420Rows(const uint8_t* HWY_RESTRICT a, const uint8_t* HWY_RESTRICT b, int width, uint8_t* HWY_RESTRICT ya,
                     uint8_t* HWY_RESTRICT yb, uint8_t* HWY_RESTRICT u, uint8_t* HWY_RESTRICT v) {
#if HWY_TARGET == HWY_SCALAR
  // One-lane vectors cannot split a byte vector into 16-bit pairs.
  detail::i420Tail(a, b, 0, width, ya, yb, u, v);
#else
  const hn::ScalableTag<uint8_t> d8;
  const hn::RepartitionToWide<decltype(d8)> du;
  const hn::RebindToSigned<decltype(du)> di;
  const hn::Rebind<uint8_t, decltype(du)> dh;  // half a byte vector: one output per 16-bit lane
  const int N = static_cast<int>(hn::Lanes(du));
  const auto lo8 = hn::Set(du, 0xFF);
  const auto k66 = hn::Set(du, 66), k129 = hn::Set(du, 129), k25 = hn::Set(du, 25), k128 = hn::Set(du, 128);
  const auto k16 = hn::Set(du, 16), k2 = hn::Set(du, 2);
  const auto m38 = hn::Set(di, -38), m74 = hn::Set(di, -74), k112 = hn::Set(di, 112), m94 = hn::Set(di, -94),
             m18 = hn::Set(di, -18), s128 = hn::Set(di, 128);
  auto luma = [&](hn::Vec<decltype(du)> r, hn::Vec<decltype(du)> g, hn::Vec<decltype(du)> bl) {
    const auto s = hn::Add(hn::Add(hn::Add(hn::Mul(r, k66), hn::Mul(g, k129)), hn::Mul(bl, k25)), k128);
    return hn::Add(hn::ShiftRight<8>(s), k16);
  };
  // Luma of 2N pixels, stored in order: even pixels in the low bytes.
  auto lumaRow = [&](hn::Vec<decltype(d8)> r8, hn::Vec<decltype(d8)> g8, hn::Vec<decltype(d8)> b8, uint8_t* out) {
    const auto r = hn::BitCast(du, r8), g = hn::BitCast(du, g8), bl = hn::BitCast(du, b8);
    const auto even = luma(hn::And(r, lo8), hn::And(g, lo8), hn::And(bl, lo8));
    const auto odd = luma(hn::ShiftRight<8>(r), hn::ShiftRight<8>(g), hn::ShiftRight<8>(bl));
    hn::StoreU(hn::BitCast(d8, hn::Or(even, hn::ShiftLeft<8>(odd))), d8, out);
  };
  auto pairs = [&](hn::Vec<decltype(d8)> p, hn::Vec<decltype(d8)> q) {
    const auto x = hn::BitCast(du, p), y = hn::BitCast(du, q);
    const auto sum = hn::Add(hn::Add(hn::And(x, lo8), hn::ShiftRight<8>(x)), hn::Add(hn::And(y, lo8), hn::ShiftRight<8>(y)));
    return hn::BitCast(di, hn::ShiftRight<2>(hn::Add(sum, k2)));
  };
  int x = 0;
  for (; x + 2 * N <= width; x += 2 * N) {
    hn::Vec<decltype(d8)> ra, ga, ba, rb, gb, bb;
    hn::LoadInterleaved3(d8, a + 3 * x, ra, ga, ba);
    hn::LoadInterleaved3(d8, b + 3 * x, rb, gb, bb);
    lumaRow(ra, ga, ba, ya + x);
    if (yb) lumaRow(rb, gb, bb, yb + x);
    const auto r = pairs(ra, rb), g = pairs(ga, gb), bl = pairs(ba, bb);
    const auto cu = hn::Add(hn::ShiftRight<8>(hn::Add(hn::Add(hn::Add(hn::Mul(r, m38), hn::Mul(g, m74)), hn::Mul(bl, k112)), s128)), s128);
    const auto cv = hn::Add(hn::ShiftRight<8>(hn::Add(hn::Add(hn::Add(hn::Mul(r, k112), hn::Mul(g, m94)), hn::Mul(bl, m18)), s128)), s128);
    hn::StoreU(hn::DemoteTo(dh, cu), dh, u + x / 2);
    hn::StoreU(hn::DemoteTo(dh, cv), dh, v + x / 2);
  }
  detail::i420Tail(a, b, x, width, ya, yb, u, v);
#endif
}

// The same arithmetic as Yuv420RowToRgb24 then Rgb24ToI420Rows, in 16-bit
// lanes throughout: a row's even and odd pixels (the low and high bytes of
// its luma loaded as 16-bit lanes) share one chroma sample, come out of the
// YUV step as separate R, G and B vectors, and go into the luma and the 2x2
// means as they are, so no pixel is ever packed into RGB24 bytes. Each step
// loads all it reads before it stores, so the outputs may be the inputs.
void I420ThroughRgbRows(const uint8_t* ya, const uint8_t* yb, const uint8_t* u, const uint8_t* v, int width,
                        uint8_t* oya, uint8_t* oyb, uint8_t* ou, uint8_t* ov) {
  const hn::ScalableTag<int16_t> di;
  const hn::RebindToUnsigned<decltype(di)> du;
  const hn::Rebind<uint8_t, decltype(di)> d8;
  using V = hn::Vec<decltype(di)>;
  const int N = static_cast<int>(hn::Lanes(di));  // pixel pairs per step
  const auto lo8 = hn::Set(di, 0xFF), k128 = hn::Set(di, 128), k4640 = hn::Set(di, 4640);
  const auto k42 = hn::Set(di, 42), k153 = hn::Set(di, 153), k100 = hn::Set(di, 100), k48 = hn::Set(di, 48);
  const auto zero = hn::Zero(di), k255 = hn::Set(di, 255);
  const auto k66 = hn::Set(du, 66), k129 = hn::Set(du, 129), k25 = hn::Set(du, 25), u128 = hn::Set(du, 128);
  const auto k16 = hn::Set(du, 16), k2 = hn::Set(du, 2);
  const auto m38 = hn::Set(di, -38), m74 = hn::Set(di, -74), k112 = hn::Set(di, 112), m94 = hn::Set(di, -94),
             m18 = hn::Set(di, -18);
  auto luma = [&](V r, V g, V b) {
    const auto s = hn::Add(hn::Add(hn::Add(hn::Mul(hn::BitCast(du, r), k66), hn::Mul(hn::BitCast(du, g), k129)),
                                   hn::Mul(hn::BitCast(du, b), k25)),
                           u128);
    return hn::Add(hn::ShiftRight<8>(s), k16);
  };
  int x = 0;
  for (; x + 2 * N <= width; x += 2 * N) {
    const auto yyA = hn::BitCast(di, hn::LoadU(du, reinterpret_cast<const uint16_t*>(ya + x)));
    const auto yyB = yb ? hn::BitCast(di, hn::LoadU(du, reinterpret_cast<const uint16_t*>(yb + x))) : yyA;
    const auto d = hn::Sub(hn::PromoteTo(di, hn::LoadU(d8, u + x / 2)), k128);
    const auto e = hn::Sub(hn::PromoteTo(di, hn::LoadU(d8, v + x / 2)), k128);
    const auto cr = hn::Sub(hn::Mul(e, k153), k4640);
    const auto cg = hn::Sub(hn::Sub(hn::Mul(e, k48), hn::Mul(d, k100)), k4640);
    const auto d2 = hn::Add(d, d);
    const auto cb = hn::Sub(hn::Add(d2, d2), k4640);
    auto px = [&](V yv, V& r, V& g, V& b) {
      const auto t = hn::Mul(yv, k42);
      r = hn::Min(hn::Max(hn::Add(hn::Add(yv, e), hn::ShiftRight<8>(hn::Add(t, cr))), zero), k255);
      g = hn::Min(hn::Max(hn::Add(hn::Sub(yv, e), hn::ShiftRight<8>(hn::Add(t, cg))), zero), k255);
      b = hn::Min(hn::Max(hn::Add(hn::Add(yv, d2), hn::ShiftRight<8>(hn::Add(t, cb))), zero), k255);
    };
    V rea, gea, bea, roa, goa, boa, reb, geb, beb, rob, gob, bob;
    px(hn::And(yyA, lo8), rea, gea, bea);
    px(hn::BitCast(di, hn::ShiftRight<8>(hn::BitCast(du, yyA))), roa, goa, boa);
    px(hn::And(yyB, lo8), reb, geb, beb);
    px(hn::BitCast(di, hn::ShiftRight<8>(hn::BitCast(du, yyB))), rob, gob, bob);
    auto mean = [&](V p, V q, V r, V s) {
      return hn::BitCast(di, hn::ShiftRight<2>(hn::Add(hn::BitCast(du, hn::Add(hn::Add(p, q), hn::Add(r, s))), k2)));
    };
    const auto r = mean(rea, roa, reb, rob), g = mean(gea, goa, geb, gob), b = mean(bea, boa, beb, bob);
    const auto cu = hn::Add(hn::ShiftRight<8>(hn::Add(hn::Add(hn::Add(hn::Mul(r, m38), hn::Mul(g, m74)), hn::Mul(b, k112)), k128)), k128);
    const auto cv = hn::Add(hn::ShiftRight<8>(hn::Add(hn::Add(hn::Add(hn::Mul(r, k112), hn::Mul(g, m94)), hn::Mul(b, m18)), k128)), k128);
    const auto outA = hn::Or(luma(rea, gea, bea), hn::ShiftLeft<8>(luma(roa, goa, boa)));
    if (yb) {
      const auto outB = hn::Or(luma(reb, geb, beb), hn::ShiftLeft<8>(luma(rob, gob, bob)));
      hn::StoreU(outB, du, reinterpret_cast<uint16_t*>(oyb + x));
    }
    hn::StoreU(outA, du, reinterpret_cast<uint16_t*>(oya + x));
    hn::StoreU(hn::DemoteTo(d8, cu), d8, ou + x / 2);
    hn::StoreU(hn::DemoteTo(d8, cv), d8, ov + x / 2);
  }
  detail::throughRgbTail(ya, yb, u, v, x, width, oya, oyb, ou, ov);
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {
HWY_EXPORT(Rgb24ToI420Rows);
void rgb24ToI420Rows(const uint8_t* a, const uint8_t* b, int width, uint8_t* ya, uint8_t* yb, uint8_t* u,
                     uint8_t* v) {
  if (width <= 0) return;
  HWY_DYNAMIC_DISPATCH(Rgb24ToI420Rows)(a, b ? b : a, width, ya, b ? yb : nullptr, u, v);
}

HWY_EXPORT(I420ThroughRgbRows);
void i420ThroughRgbRows(const uint8_t* ya, const uint8_t* yb, const uint8_t* u, const uint8_t* v, int width,
                        uint8_t* oya, uint8_t* oyb, uint8_t* ou, uint8_t* ov) {
  if (width <= 0) return;
  HWY_DYNAMIC_DISPATCH(I420ThroughRgbRows)(ya, yb, u, v, width, oya, yb ? oyb : nullptr, ou, ov);
}

void rgb24ToI420(const uint8_t* rgb, int width, int height, uint8_t* y, int yStride, uint8_t* u, int uStride,
                 uint8_t* v, int vStride, int rowBegin, int rowEnd) {
  const size_t stride = static_cast<size_t>(width) * 3;
  for (int r = rowBegin & ~1; r < rowEnd && r < height; r += 2) {
    const bool pair = r + 1 < height;
    rgb24ToI420Rows(rgb + r * stride, pair ? rgb + (r + 1) * stride : nullptr, width,
                    y + static_cast<ptrdiff_t>(r) * yStride, pair ? y + static_cast<ptrdiff_t>(r + 1) * yStride : nullptr,
                    u + static_cast<ptrdiff_t>(r / 2) * uStride, v + static_cast<ptrdiff_t>(r / 2) * vStride);
  }
}
}  // namespace le::simd
#endif
