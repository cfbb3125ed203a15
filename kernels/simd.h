// Hand-vectorised inner loops, compiled for every x86 target Highway offers
// and dispatched to the best one for the running processor. Every target
// returns the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le {

// Float to half bits, round to nearest even; NaN, infinities and values out
// of the half range become infinity of the input's sign.
uint16_t f32ToF16(float x);

namespace simd {

// dst[i] = half(src[i]), round to nearest even; overflow gives infinity,
// NaN stays NaN (quiet, upper payload bits kept).
void f32ToF16(const float* src, uint16_t* dst, size_t n);
// dst[i] = float(src[i]), exact (a NaN comes back quiet).
void f16ToF32(const uint16_t* src, float* dst, size_t n);
// out[i] = float(half(a[i])) * b[i].
void roundF16Mul(const float* a, const float* b, float* out, size_t n);
// dst[i] = float(half(src[i])), as half::round; src and dst may not overlap.
void roundF16(const float* src, float* dst, size_t n);
// Three planes (R, G, B, planeStride halves apart) of half(byte / 255) from
// n interleaved RGB pixels.
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride, size_t n);

// Retrieval distance terms over three half planes of n values each.
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                             size_t end);

// 3x3 convolution (padding 1, stride 1) of output planes p = n * Cout + co in
// [begin, end). in [N][Cin][H][W], weight [Cout][Cin][3][3], out [N][Cout][H][W].
void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias,
                  int Cout, float* out, int begin, int end);

// One row of BT.601 limited-range YUV 4:2:0 to RGB24. chromaStep 1: separate
// U and V rows; 2: v = u + 1 over an interleaved UV row (NV12).
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb);
namespace detail {
// One pixel of it, scalar (the rows' tails).
inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline void yuvPixel(int yv, int uv, int vv, uint8_t* rgb) {
  const int c = 298 * (yv - 16) + 128, d = uv - 128, e = vv - 128;
  rgb[0] = clamp255((c + 409 * e) >> 8);
  rgb[1] = clamp255((c - 100 * d - 208 * e) >> 8);
  rgb[2] = clamp255((c + 516 * d) >> 8);
}
}  // namespace detail

// One composited frame row of the paste (mode 0): for X in [x0, x1] the 8x8
// Lanczos sample of `packed` ((R, G, B, 0) per crop pixel, side x side) at the
// fixed-point coordinate (colU[X - x0] + rowU, colV[X - x0] + rowV), blended
// into frameRow (pixel 0 first, R, G, B in the first three of every
// pixelBytes bytes; a fourth byte is left alone) through the bilinear mask
// weight. planes: the same crop as three planes (R, G, B, side x side each),
// from which neighbouring pixels whose windows overlap are summed together
// on wide targets, to the same values; null: every window from `packed`.
void pasteLanczos8Row(const float* packed, int side, const uint8_t* mask, const float* lanczosTab,
                      const float* linearTab, const int32_t* colU, const int32_t* colV, int32_t rowU, int32_t rowV,
                      int x0, int x1, uint8_t* frameRow, int pixelBytes = 3, const float* const* planes = nullptr);

// Name of the Highway target the kernels dispatch to on this processor.
// The compositor's unsharp passes. blurTaps: dst[i] = sum over t = 0..k-1, in
// that order from 0, of g[t] * src[i + t], for i in [0, n). unsharpRow: per x
// in [0, S), acc = the same tap-order sum of g[t] * blur[t * stride + x], then
// out[x] = clamp((1 + amount) (scale src[x]) - amount acc, 0, 255) (NaN
// becomes 0).
void blurTaps(const float* src, float* dst, size_t n, const float* g, int k);
void unsharpRow(const float* blur, size_t stride, const float* g, int k, float amount, const float* src, float scale,
                float* out, int S);

// RGB24 to BT.601 limited-range I420: Y = ((66 R + 129 G + 25 B + 128) >> 8)
// + 16 per pixel; U = ((-38 R - 74 G + 112 B + 128) >> 8) + 128 and V =
// ((112 R - 94 G - 18 B + 128) >> 8) + 128 of each 2x2 block's mean colour
// ((sum + 2) >> 2 per channel; an odd last row or column pairs with itself).
// One row pair: rows a and b (null: a alone) into luma rows ya, yb and one
// chroma row of (width + 1) / 2 samples each.
void rgb24ToI420Rows(const uint8_t* a, const uint8_t* b, int width, uint8_t* ya, uint8_t* yb, uint8_t* u, uint8_t* v);
// The row pairs that start in [rowBegin, rowEnd) (rowBegin rounded down to
// even) of a packed width x height frame into planes y, u and v whose rows
// are the given strides apart.
void rgb24ToI420(const uint8_t* rgb, int width, int height, uint8_t* y, int yStride, uint8_t* u, int uStride,
                 uint8_t* v, int vStride, int rowBegin, int rowEnd);
// An I420 row pair (luma rows ya and yb, yb null for a lone last row, and
// their chroma row) through RGB24 and back: the bytes yuv420RowToRgb24 of
// each row, then rgb24ToI420Rows of the two, give, into oya, oyb, ou and ov,
// which may be the inputs themselves.
void i420ThroughRgbRows(const uint8_t* ya, const uint8_t* yb, const uint8_t* u, const uint8_t* v, int width,
                        uint8_t* oya, uint8_t* oyb, uint8_t* ou, uint8_t* ov);

// Element-wise operations on n floats: out[i] = a[i] op b[i] (Add, Sub, Mul,
// Div; Min and Max give NaN where either operand is NaN and b[i] where the
// operands compare equal), op a[i] (Neg, Abs, Floor), or Clip: a[i] raised
// to b[i] (where a[i] < b[i]) unless b is null, then lowered to c[i] (where
// c[i] < a[i]) unless c is null. Every target gives the bits of
// elementwiseScalar.
enum : int { kEwAdd, kEwSub, kEwMul, kEwDiv, kEwMin, kEwMax, kEwClip, kEwNeg, kEwAbs, kEwFloor, kEwCount };
void elementwise(int op, const float* a, const float* b, const float* c, float* out, size_t n);
void elementwiseScalar(int op, const float* a, const float* b, const float* c, float* out, size_t n);

// n RGB24 pixels to RGBA with alpha 255.
void rgb24ToRgba(const uint8_t* rgb, uint8_t* rgba, size_t n);

const char* target();

}  // namespace simd
}  // namespace le
