// YUV 4:2:0 rows to RGB24, BT.601 limited range in integers.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_yuv.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "kernels/simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The products are split at 256 so that all arithmetic fits 16-bit lanes
// exactly: 298Y = 256Y + 42Y, 409E = 256E + 153E, -208E = -256E + 48E and
// 516D = 512D + 4D, and floor((256k + r) / 256) = k + (r >> 8). Pixels are
// taken in even/odd pairs, which share their chroma sample, so no lane ever
// needs duplicating; a pair's six output bytes are three 16-bit lanes.
void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  const hn::ScalableTag<int16_t> di;
  const hn::RebindToUnsigned<decltype(di)> du;
  const hn::Rebind<uint8_t, decltype(di)> d8;
  const int N = static_cast<int>(hn::Lanes(di));  // pixel pairs per step
  int x = 0;
  const bool planar = chromaStep == 1;
  const bool nv12 = chromaStep == 2 && v == u + 1;
  if (planar || nv12) {
    const auto lo8 = hn::Set(di, 0xFF), k128 = hn::Set(di, 128), k4640 = hn::Set(di, 4640);
    const auto k42 = hn::Set(di, 42), k153 = hn::Set(di, 153), k100 = hn::Set(di, 100), k48 = hn::Set(di, 48);
    const auto zero = hn::Zero(di), k255 = hn::Set(di, 255);
    for (; x + 2 * N <= width; x += 2 * N) {
      const auto yy = hn::BitCast(di, hn::LoadU(du, reinterpret_cast<const uint16_t*>(y + x)));
      hn::Vec<decltype(di)> cu, cv;
      if (planar) {
        cu = hn::PromoteTo(di, hn::LoadU(d8, u + x / 2));
        cv = hn::PromoteTo(di, hn::LoadU(d8, v + x / 2));
      } else {
        const auto uv = hn::BitCast(di, hn::LoadU(du, reinterpret_cast<const uint16_t*>(u + x)));
        cu = hn::And(uv, lo8);
        cv = hn::BitCast(di, hn::ShiftRight<8>(hn::BitCast(du, uv)));
      }
      const auto d = hn::Sub(cu, k128), e = hn::Sub(cv, k128);
      const auto cr = hn::Sub(hn::Mul(e, k153), k4640);
      const auto cg = hn::Sub(hn::Sub(hn::Mul(e, k48), hn::Mul(d, k100)), k4640);
      const auto d2 = hn::Add(d, d);
      const auto cb = hn::Sub(hn::Add(d2, d2), k4640);
      auto px = [&](hn::Vec<decltype(di)> yv, hn::Vec<decltype(di)>& r, hn::Vec<decltype(di)>& g,
                    hn::Vec<decltype(di)>& b) {
        const auto t = hn::Mul(yv, k42);
        r = hn::Add(hn::Add(yv, e), hn::ShiftRight<8>(hn::Add(t, cr)));
        g = hn::Add(hn::Sub(yv, e), hn::ShiftRight<8>(hn::Add(t, cg)));
        b = hn::Add(hn::Add(yv, d2), hn::ShiftRight<8>(hn::Add(t, cb)));
        r = hn::Min(hn::Max(r, zero), k255);
        g = hn::Min(hn::Max(g, zero), k255);
        b = hn::Min(hn::Max(b, zero), k255);
      };
      hn::Vec<decltype(di)> re, ge, be, ro, go, bo;
      px(hn::And(yy, lo8), re, ge, be);
      px(hn::BitCast(di, hn::ShiftRight<8>(hn::BitCast(du, yy))), ro, go, bo);
      const auto w0 = hn::BitCast(du, hn::Or(re, hn::ShiftLeft<8>(ge)));
      const auto w1 = hn::BitCast(du, hn::Or(be, hn::ShiftLeft<8>(ro)));
      const auto w2 = hn::BitCast(du, hn::Or(go, hn::ShiftLeft<8>(bo)));
      hn::StoreInterleaved3(w0, w1, w2, du, reinterpret_cast<uint16_t*>(rgb + 3 * x));
    }
  }
  for (; x < width; ++x) {
    const int j = (x / 2) * chromaStep;
    detail::yuvPixel(y[x], u[j], v[j], rgb + 3 * x);
  }
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {
HWY_EXPORT(Yuv420RowToRgb24);
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb) {
  if (width <= 0) return;
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}
}  // namespace le::simd
#endif
