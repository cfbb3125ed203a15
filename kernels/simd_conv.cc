// 3x3 convolution, padding 1, stride 1, one output plane at a time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/simd_conv.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernels/simd.h"

#ifndef LE_KERNELS_SIMD_CONV_ONCE
#define LE_KERNELS_SIMD_CONV_ONCE
namespace le::simd::detail {

// A batch's input copied once into zero-bordered planes; thread-local, so
// workers convolving different planes never share it.
struct ConvScratch {
  std::vector<float> buf;
  size_t stride = 0;  // floats per padded row
  size_t rows = 0;    // padded rows per plane

  // Copies batch plane block `src` ([Cin][H][W]) with a one-pixel zero border.
  const float* fill(const float* src, int Cin, int H, int W) {
    stride = (static_cast<size_t>(W) + 63) / 64 * 64 + 2;
    rows = static_cast<size_t>(H) + 2;
    const size_t need = static_cast<size_t>(Cin) * rows * stride;
    if (buf.size() < need) buf.resize(need);
    std::fill(buf.begin(), buf.begin() + need, 0.0f);
    for (int c = 0; c < Cin; ++c)
      for (int y = 0; y < H; ++y)
        std::memcpy(&buf[(c * rows + y + 1) * stride + 1], src + (static_cast<size_t>(c) * H + y) * W,
                    sizeof(float) * W);
    return buf.data();
  }
};

inline ConvScratch& convScratch() {
  thread_local ConvScratch s;
  return s;
}

}  // namespace le::simd::detail
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// kV vectors of output row y from column x: out = bias + sum over
// (ci, ky, kx) of w * in, the sum taken in that order with separate
// multiplies and adds, identically in every lane and in the scalar tail.
template <int kV, class D>
HWY_INLINE void ConvBlock(D df, const float* HWY_RESTRICT pad, size_t stride, size_t rows, const float* HWY_RESTRICT wco,
                          int Cin, int y, int x, hn::Vec<D> vb, float* HWY_RESTRICT orow) {
  const size_t L = hn::Lanes(df);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
  for (int ci = 0; ci < Cin; ++ci) {
    const float* w9 = wco + ci * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const float* r = pad + (static_cast<size_t>(ci) * rows + y + ky) * stride + x;
      for (int kx = 0; kx < 3; ++kx) {
        const auto wv = hn::Set(df, w9[ky * 3 + kx]);
        a0 = hn::Add(a0, hn::Mul(wv, hn::LoadU(df, r + kx)));
        if constexpr (kV > 1) a1 = hn::Add(a1, hn::Mul(wv, hn::LoadU(df, r + kx + L)));
        if constexpr (kV > 2) a2 = hn::Add(a2, hn::Mul(wv, hn::LoadU(df, r + kx + 2 * L)));
        if constexpr (kV > 3) a3 = hn::Add(a3, hn::Mul(wv, hn::LoadU(df, r + kx + 3 * L)));
      }
    }
  }
  hn::StoreU(hn::Add(vb, a0), df, orow + x);
  if constexpr (kV > 1) hn::StoreU(hn::Add(vb, a1), df, orow + x + L);
  if constexpr (kV > 2) hn::StoreU(hn::Add(vb, a2), df, orow + x + 2 * L);
  if constexpr (kV > 3) hn::StoreU(hn::Add(vb, a3), df, orow + x + 3 * L);
}

void Conv3x3Range(const float* HWY_RESTRICT in, int N, int Cin, int H, int W, const float* HWY_RESTRICT weight,
                  const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, int begin, int end) {
  (void)N;
  const hn::ScalableTag<float> df;
  const int L = static_cast<int>(hn::Lanes(df));
  detail::ConvScratch& sc = detail::convScratch();
  const float* pad = nullptr;
  int padBatch = -1;
  const size_t plane = static_cast<size_t>(H) * W;
  for (int p = begin; p < end; ++p) {
    const int n = p / Cout, co = p % Cout;
    if (n != padBatch) {
      pad = sc.fill(in + static_cast<size_t>(n) * Cin * plane, Cin, H, W);
      padBatch = n;
    }
    const float* wco = weight + static_cast<size_t>(co) * Cin * 9;
    const auto vb = hn::Set(df, bias[co]);
    float* o = out + static_cast<size_t>(p) * plane;
    // Up to four vectors at a time keep four independent sums in registers;
    // the columns left over are taken by a block that ends at the row's end
    // and overlaps columns already written (with the same bits).
    auto block = [&](int nv, int x, float* orow, int y) {
      switch (nv) {
        case 1: ConvBlock<1>(df, pad, sc.stride, sc.rows, wco, Cin, y, x, vb, orow); break;
        case 2: ConvBlock<2>(df, pad, sc.stride, sc.rows, wco, Cin, y, x, vb, orow); break;
        case 3: ConvBlock<3>(df, pad, sc.stride, sc.rows, wco, Cin, y, x, vb, orow); break;
        default: ConvBlock<4>(df, pad, sc.stride, sc.rows, wco, Cin, y, x, vb, orow); break;
      }
    };
    for (int y = 0; y < H; ++y) {
      float* orow = o + static_cast<size_t>(y) * W;
      int x = 0;
      for (; x + 4 * L <= W; x += 4 * L) block(4, x, orow, y);
      const int rest = W - x, nv = (rest + L - 1) / L;
      if (rest == 0) continue;
      if (nv * L <= W) {
        block(nv, W - nv * L, orow, y);
      } else if (W >= L) {  // a row of fewer than four vectors, not a whole number of them
        block(nv - 1, 0, orow, y);
        block(1, W - L, orow, y);
      } else {
        for (; x < W; ++x) {
          float a = 0.0f;
          for (int ci = 0; ci < Cin; ++ci) {
            const float* w9 = wco + ci * 9;
            for (int ky = 0; ky < 3; ++ky) {
              const float* r = pad + (static_cast<size_t>(ci) * sc.rows + y + ky) * sc.stride + x;
              for (int kx = 0; kx < 3; ++kx) a = a + w9[ky * 3 + kx] * r[kx];
            }
          }
          orow[x] = bias[co] + a;
        }
      }
    }
  }
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {
HWY_EXPORT(Conv3x3Range);
void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias,
                  int Cout, float* out, int begin, int end) {
  if (begin >= end || Cin <= 0 || H <= 0 || W <= 0 || Cout <= 0) return;
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weight, bias, Cout, out, begin, end);
}
}  // namespace le::simd
#endif
