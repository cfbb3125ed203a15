#include "render/custom_ops.h"

#include <onnxruntime_cxx_api.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ort.h"

namespace le {
namespace {

constexpr int kBand = 16;

// Coordinates are clamped to [-1, size] before flooring: border sampling
// gives the same value there, and no float outside the integer range (or
// NaN, sent to the first column) reaches a conversion.
inline float clampCoord(float v, int size) {
  if (!(v >= -1.0f)) return -1.0f;
  return v > static_cast<float>(size) ? static_cast<float>(size) : v;
}

inline void taps(float i, int size, int& t0, int& t1, float& w) {
  i = clampCoord(i, size);
  const float f = std::floor(i);
  const int x0 = static_cast<int>(f);
  w = i - f;
  if (x0 < 0) {
    t0 = t1 = 0;
  } else {
    t0 = std::min(x0, size - 1);
    t1 = std::min(x0 + 1, size - 1);
  }
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

// Refuses a grid that does not hold one (x, y) pair per pixel of `x`.
void checkGrid(const char* op, const std::vector<int64_t>& xs, const std::vector<int64_t>& gs) {
  if (xs.size() != 4 || gs.size() != 4 || gs[0] != xs[0] || gs[1] != xs[2] || gs[2] != xs[3] || gs[3] != 2)
    throw Ort::Exception(std::string("com.corvalux::") + op + ": the grid " + shapeText(gs) +
                             " does not match the input " + shapeText(xs) + " (expected [N,H,W,2] of the input's N, H, W)",
                         ORT_INVALID_ARGUMENT);
}

// GridSample's own rule: the grid [N, Hg, Wg, 2] sets the output size
// [N, C, Hg, Wg] whatever the input's H and W.
void checkSamplingGrid(const std::vector<int64_t>& xs, const std::vector<int64_t>& gs) {
  if (xs.size() != 4 || gs.size() != 4 || gs[0] != xs[0] || gs[3] != 2 || xs[2] < 1 || xs[3] < 1 ||
      xs[2] > INT32_MAX || xs[3] > INT32_MAX || gs[1] > INT32_MAX || gs[2] > INT32_MAX || xs[1] > INT32_MAX)
    throw Ort::Exception("com.corvalux::GridSampleFast: the grid " + shapeText(gs) + " does not match the input " +
                             shapeText(xs) + " (expected [N,Hg,Wg,2] of the input's N)",
                         ORT_INVALID_ARGUMENT);
}

struct GridSampleKernel {
  explicit GridSampleKernel(const OrtKernelInfo*) {}
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const auto x = ctx.GetInput(0), grid = ctx.GetInput(1);
    const auto xs = x.GetTensorTypeAndShapeInfo().GetShape(), gs = grid.GetTensorTypeAndShapeInfo().GetShape();
    checkSamplingGrid(xs, gs);
    auto y = ctx.GetOutput(0, {xs[0], xs[1], gs[1], gs[2]});
    const int C = static_cast<int>(xs[1]), H = static_cast<int>(xs[2]), W = static_cast<int>(xs[3]);
    const int Hg = static_cast<int>(gs[1]), Wg = static_cast<int>(gs[2]);
    struct Job {
      const float *x, *g;
      float* y;
      int C, H, W, Hg, Wg;
    };
    const size_t in = static_cast<size_t>(C) * H * W, out = static_cast<size_t>(C) * Hg * Wg;
    for (int64_t n = 0; n < xs[0]; ++n) {
      Job job{x.GetTensorData<float>() + n * in, grid.GetTensorData<float>() + n * static_cast<size_t>(Hg) * Wg * 2,
              y.GetTensorMutableData<float>() + n * out, C, H, W, Hg, Wg};
      const size_t bands = static_cast<size_t>((Hg + kBand - 1) / kBand);
      ctx.ParallelFor(
          [](void* p, size_t b) {
            const Job& j = *static_cast<const Job*>(p);
            gridsample_fast_band(j.x, j.g, j.y, j.C, j.H, j.W, j.Hg, j.Wg, static_cast<int>(b) * kBand,
                                 static_cast<int>(b + 1) * kBand);
          },
          bands, 0, &job);
    }
  }
};

struct WarpKernel {
  explicit WarpKernel(const OrtKernelInfo*) {}
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const auto x = ctx.GetInput(0), grid = ctx.GetInput(1);
    const auto xs = x.GetTensorTypeAndShapeInfo().GetShape(), gs = grid.GetTensorTypeAndShapeInfo().GetShape();
    if (xs.size() == 4 && xs[1] != 3)
      throw Ort::Exception("com.corvalux::WarpDirector: this node warps the director's 3-channel source and the graph "
                           "handed it C=" + std::to_string(xs[1]) + ". REFUSING rather than writing a frame nobody asked for.",
                           ORT_INVALID_ARGUMENT);
    // WarpDirectorFlow: the grid is identity [1 or N, H, W, 2] plus the flow
    // planes fx, fy [N, 1, H, W], added here a band at a time.
    const bool flow = ctx.GetInputCount() == 4;
    const float *fx = nullptr, *fy = nullptr;
    if (flow) {
      const auto a = ctx.GetInput(2), b = ctx.GetInput(3);
      const auto as = a.GetTensorTypeAndShapeInfo().GetShape(), bs = b.GetTensorTypeAndShapeInfo().GetShape();
      const bool ok = xs.size() == 4 && gs.size() == 4 && (gs[0] == 1 || gs[0] == xs[0]) && gs[1] == xs[2] &&
                      gs[2] == xs[3] && gs[3] == 2 && as == std::vector<int64_t>{xs[0], 1, xs[2], xs[3]} && bs == as;
      if (!ok)
        throw Ort::Exception("com.corvalux::WarpDirectorFlow: the identity " + shapeText(gs) + " and flows " +
                                 shapeText(as) + ", " + shapeText(bs) + " do not match the input " + shapeText(xs) +
                                 " (expected [1 or N,H,W,2] and [N,1,H,W])",
                             ORT_INVALID_ARGUMENT);
      fx = a.GetTensorData<float>();
      fy = b.GetTensorData<float>();
    } else {
      checkGrid("WarpDirector", xs, gs);
    }
    auto y = ctx.GetOutput(0, xs);
    const int H = static_cast<int>(xs[2]), W = static_cast<int>(xs[3]);
    // The planes come from the networks' block pool for this run only: a
    // block freed here serves the next run of any stream, so streams that do
    // not run at once share one, and a released pool gives it back.
    if (xs[0] == 0 || H == 0 || W == 0) return;
    struct Block {
      OrtAllocator* pool;
      void* p;
      ~Block() {
        if (p) pool->Free(pool, p);
      }
    } scratch{ort::allocator(), nullptr};
    const size_t bytes = static_cast<size_t>(H) * W * (flow ? 14 : 12) * sizeof(float);
    scratch.p = scratch.pool->Alloc(scratch.pool, bytes);
    if (!scratch.p)
      throw Ort::Exception("com.corvalux::WarpDirector: no memory for the " + std::to_string(bytes) +
                               " bytes of its planes",
                           ORT_FAIL);
    float* const planes = static_cast<float*>(scratch.p);
    float* const built = planes + static_cast<size_t>(H) * W * 12;
    struct Job {
      const float* src;
      const float* g;
      float* planes;
      float* y;
      int W, H;
      const float *ident, *fx, *fy;
      float* built;
    };
    const size_t bands = static_cast<size_t>((H + kBand - 1) / kBand);
    for (int64_t n = 0; n < xs[0]; ++n) {
      const size_t plane = static_cast<size_t>(H) * W;
      Job job{x.GetTensorData<float>() + n * 3 * H * W, grid.GetTensorData<float>() + n * H * W * 2, planes,
              y.GetTensorMutableData<float>() + n * 3 * H * W, W, H, nullptr, nullptr, nullptr, nullptr};
      if (flow) {
        job.ident = grid.GetTensorData<float>() + (gs[0] == 1 ? 0 : n * plane * 2);
        job.fx = fx + n * plane;
        job.fy = fy + n * plane;
        job.built = built;
        job.g = built;
      }
      ctx.ParallelFor(
          [](void* p, size_t b) {
            const Job& j = *static_cast<const Job*>(p);
            const int r0 = static_cast<int>(b) * kBand, r1 = std::min(j.H, static_cast<int>(b + 1) * kBand);
            warpDirectorPlanesBand(j.src, j.planes, j.W, j.H, r0, r1);
            if (j.built)
              for (size_t i = static_cast<size_t>(r0) * j.W, e = static_cast<size_t>(r1) * j.W; i < e; ++i) {
                j.built[2 * i] = j.ident[2 * i] + j.fx[i];
                j.built[2 * i + 1] = j.ident[2 * i + 1] + j.fy[i];
              }
          },
          bands, 0, &job);
      ctx.ParallelFor(
          [](void* p, size_t b) {
            const Job& j = *static_cast<const Job*>(p);
            warpDirectorGatherBand(j.planes, j.g, j.y, j.W, j.H, static_cast<int>(b) * kBand, static_cast<int>(b + 1) * kBand);
          },
          bands, 0, &job);
    }
  }
};

struct CubicKernel {
  explicit CubicKernel(const OrtKernelInfo* info) : a(Ort::ConstKernelInfo(info).GetAttribute<float>("cubic_coeff_a")) {}
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const auto x = ctx.GetInput(0);
    const auto xs = x.GetTensorTypeAndShapeInfo().GetShape();
    if (xs.size() != 4 || xs[2] < 1 || xs[3] < 1 || xs[2] > (INT32_MAX >> 1) || xs[3] > (INT32_MAX >> 1))
      throw Ort::Exception("com.corvalux::CubicUp2x: the input " + shapeText(xs) + " is not [N,C,H,W] of H, W >= 1",
                           ORT_INVALID_ARGUMENT);
    auto y = ctx.GetOutput(0, {xs[0], xs[1], 2 * xs[2], 2 * xs[3]});
    if (xs[0] * xs[1] == 0) return;
    struct Job {
      const float* x;
      float* y;
      int H, W, bandsPerPlane;
      float a;
    };
    const int H = static_cast<int>(xs[2]), W = static_cast<int>(xs[3]);
    const int bandsPerPlane = (2 * H + kBand - 1) / kBand;
    Job job{x.GetTensorData<float>(), y.GetTensorMutableData<float>(), H, W, bandsPerPlane, a};
    ctx.ParallelFor(
        [](void* p, size_t b) {
          const Job& j = *static_cast<const Job*>(p);
          const size_t plane = b / static_cast<size_t>(j.bandsPerPlane);
          const int band = static_cast<int>(b % static_cast<size_t>(j.bandsPerPlane));
          cubicUp2xBand(j.x + plane * j.H * j.W, j.y + plane * 4 * j.H * j.W, j.H, j.W, j.a, band * kBand,
                        (band + 1) * kBand);
        },
        static_cast<size_t>(xs[0] * xs[1]) * bandsPerPlane, 0, &job);
  }
  float a;
};

template <typename Kernel, size_t kInputs = 2>
struct Op : Ort::CustomOpBase<Op<Kernel, kInputs>, Kernel> {
  explicit Op(const char* name) : name_(name) {}
  void* CreateKernel(const OrtApi&, const OrtKernelInfo* info) const { return new Kernel(info); }
  const char* GetName() const { return name_; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return kInputs; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }

 private:
  const char* name_;
};

}  // namespace

namespace {

// One output pixel, the reference arithmetic every path follows: input
// planes of H x W, grid and output of Hg x Wg.
inline void gridsamplePixel(const float* x, const float* grid, float* out, int C, int H, int W, int Hg, int Wg, int r,
                            int q) {
  const size_t plane = static_cast<size_t>(H) * W, outPlane = static_cast<size_t>(Hg) * Wg;
  const size_t o = static_cast<size_t>(r) * Wg + q;
  const float* g = grid + o * 2;
  const float ix = (g[0] + 1) * 0.5f * W - 0.5f, iy = (g[1] + 1) * 0.5f * H - 0.5f;
  int x0, x1, y0, y1;
  float wx, wy;
  taps(ix, W, x0, x1, wx);
  taps(iy, H, y0, y1, wy);
  const float w00 = (1 - wx) * (1 - wy), w01 = wx * (1 - wy), w10 = (1 - wx) * wy, w11 = wx * wy;
  for (int c = 0; c < C; ++c) {
    const float* p = x + c * plane;
    out[c * outPlane + o] =
        (w00 * p[static_cast<size_t>(y0) * W + x0] + w01 * p[static_cast<size_t>(y0) * W + x1]) +
        w10 * p[static_cast<size_t>(y1) * W + x0] + w11 * p[static_cast<size_t>(y1) * W + x1];
  }
}

#if defined(__x86_64__)
// Taps and weight along one axis for eight coordinates, as taps() does.
__attribute__((target("avx2,fma"))) inline void gridAxisAvx2(__m256 gc, __m256 size, __m256i sizeM1, __m256i& t0,
                                                             __m256i& t1, __m256& w) {
  const __m256 one = _mm256_set1_ps(1.0f), half = _mm256_set1_ps(0.5f), minus1 = _mm256_set1_ps(-1.0f);
  __m256 i = _mm256_sub_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_add_ps(gc, one), half), size), half);
  i = _mm256_min_ps(_mm256_max_ps(i, minus1), size);  // NaN goes to -1
  const __m256 f = _mm256_floor_ps(i);
  const __m256i i0 = _mm256_cvttps_epi32(f);
  w = _mm256_sub_ps(i, f);
  const __m256i zero = _mm256_setzero_si256();
  t0 = _mm256_max_epi32(_mm256_min_epi32(i0, sizeM1), zero);
  t1 = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(i0, _mm256_set1_epi32(1)), sizeM1), zero);
}

// Eight pixels' left and right columns from eight 64-bit loads at p + at[k].
__attribute__((target("avx2,fma"))) inline void pairColumnsAvx2(const float* p, const int32_t* at, __m256& left,
                                                                __m256& right) {
  __m128 a[4];
  for (int k = 0; k < 4; ++k) {  // pixels 2k and 2k + 1: (left, right, left, right)
    const __m128 lo = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p + at[2 * k]));
    a[k] = _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + at[2 * k + 1]));
  }
  left = _mm256_set_m128(_mm_shuffle_ps(a[2], a[3], 0x88), _mm_shuffle_ps(a[0], a[1], 0x88));
  right = _mm256_set_m128(_mm_shuffle_ps(a[2], a[3], 0xDD), _mm_shuffle_ps(a[0], a[1], 0xDD));
}

// Eight pixels of a row at a time, with separate multiplies and adds in the
// scalar order so that both paths give the same bits.
__attribute__((target("avx2,fma"))) void gridsampleRowAvx2Tail(const float* x, const float* grid, float* out, int C,
                                                               int H, int W, int Hg, int Wg, int r, int q) {
  const size_t plane = static_cast<size_t>(H) * W, outPlane = static_cast<size_t>(Hg) * Wg;
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 wf = _mm256_set1_ps(static_cast<float>(W)), hf = _mm256_set1_ps(static_cast<float>(H));
  const __m256i wm1 = _mm256_set1_epi32(W - 1), hm1 = _mm256_set1_epi32(H - 1), wi = _mm256_set1_epi32(W);
  for (; q + 8 <= Wg; q += 8) {
    const float* g = grid + (static_cast<size_t>(r) * Wg + q) * 2;
    const __m256 a = _mm256_loadu_ps(g), b = _mm256_loadu_ps(g + 8);
    const __m256 gx = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
    const __m256 gy = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
    __m256i x0, x1, y0, y1;
    __m256 wx, wy;
    gridAxisAvx2(gx, wf, wm1, x0, x1, wx);
    gridAxisAvx2(gy, hf, hm1, y0, y1, wy);
    const __m256 ux = _mm256_sub_ps(one, wx), uy = _mm256_sub_ps(one, wy);
    const __m256 w00 = _mm256_mul_ps(ux, uy), w01 = _mm256_mul_ps(wx, uy), w10 = _mm256_mul_ps(ux, wy),
                 w11 = _mm256_mul_ps(wx, wy);
    const __m256i r0 = _mm256_mullo_epi32(y0, wi), r1 = _mm256_mullo_epi32(y1, wi);
    const __m256i i00 = _mm256_add_epi32(r0, x0), i01 = _mm256_add_epi32(r0, x1), i10 = _mm256_add_epi32(r1, x0),
                  i11 = _mm256_add_epi32(r1, x1);
    // Away from the left and right borders each pixel's two columns are
    // neighbours: one 64-bit load per row fetches both, far cheaper than
    // gathering them one float at a time.
    const __m256i pairs = _mm256_cmpeq_epi32(x1, _mm256_add_epi32(x0, _mm256_set1_epi32(1)));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(pairs)) == 0xFF) {
      alignas(32) int32_t top[8], bottom[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(top), i00);
      _mm256_store_si256(reinterpret_cast<__m256i*>(bottom), i10);
      for (int c = 0; c < C; ++c) {
        const float* p = x + c * plane;
        __m256 v00, v01, v10, v11;
        pairColumnsAvx2(p, top, v00, v01);
        pairColumnsAvx2(p, bottom, v10, v11);
        const __m256 v = _mm256_add_ps(
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(w00, v00), _mm256_mul_ps(w01, v01)), _mm256_mul_ps(w10, v10)),
            _mm256_mul_ps(w11, v11));
        _mm256_storeu_ps(out + c * outPlane + static_cast<size_t>(r) * Wg + q, v);
      }
      continue;
    }
    for (int c = 0; c < C; ++c) {
      const float* p = x + c * plane;
      const __m256 v = _mm256_add_ps(
          _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(w00, _mm256_i32gather_ps(p, i00, 4)),
                                      _mm256_mul_ps(w01, _mm256_i32gather_ps(p, i01, 4))),
                        _mm256_mul_ps(w10, _mm256_i32gather_ps(p, i10, 4))),
          _mm256_mul_ps(w11, _mm256_i32gather_ps(p, i11, 4)));
      _mm256_storeu_ps(out + c * outPlane + static_cast<size_t>(r) * Wg + q, v);
    }
  }
  for (; q < Wg; ++q) gridsamplePixel(x, grid, out, C, H, W, Hg, Wg, r, q);
}

// GCC 12's AVX-512 headers trip -Wmaybe-uninitialized in their own
// _mm512_undefined placeholders (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// Taps and weight along one axis for sixteen coordinates, as taps() does.
__attribute__((target("avx512f"))) inline void gridAxisAvx512(__m512 gc, __m512 size, __m512i sizeM1, __m512i& t0,
                                                              __m512i& t1, __m512& w) {
  const __m512 one = _mm512_set1_ps(1.0f), half = _mm512_set1_ps(0.5f), minus1 = _mm512_set1_ps(-1.0f);
  __m512 i = _mm512_sub_ps(_mm512_mul_ps(_mm512_mul_ps(_mm512_add_ps(gc, one), half), size), half);
  i = _mm512_min_ps(_mm512_max_ps(i, minus1), size);  // NaN goes to -1
  const __m512 f = _mm512_roundscale_ps(i, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i i0 = _mm512_cvttps_epi32(f);
  w = _mm512_sub_ps(i, f);
  const __m512i zero = _mm512_setzero_si512();
  t0 = _mm512_max_epi32(_mm512_min_epi32(i0, sizeM1), zero);
  t1 = _mm512_max_epi32(_mm512_min_epi32(_mm512_add_epi32(i0, _mm512_set1_epi32(1)), sizeM1), zero);
}

__attribute__((target("avx512f"))) inline __m512 join512(__m256 lo, __m256 hi) {
  return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(lo)), _mm256_castps_pd(hi), 1));
}

// Sixteen pixels of a row at a time; the same operations in the same order
// as the scalar and AVX2 paths, so every path gives the same bits.
__attribute__((target("avx512f"))) void gridsampleRowAvx512(const float* x, const float* grid, float* out, int C,
                                                            int H, int W, int Hg, int Wg, int r) {
  const size_t plane = static_cast<size_t>(H) * W, outPlane = static_cast<size_t>(Hg) * Wg;
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 wf = _mm512_set1_ps(static_cast<float>(W)), hf = _mm512_set1_ps(static_cast<float>(H));
  const __m512i wm1 = _mm512_set1_epi32(W - 1), hm1 = _mm512_set1_epi32(H - 1), wi = _mm512_set1_epi32(W);
  const __m512i evens = _mm512_set_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odds = _mm512_set_epi32(31, 29, 27, 25, 23, 21, 19, 17, 15, 13, 11, 9, 7, 5, 3, 1);
  int q = 0;
  for (; q + 16 <= Wg; q += 16) {
    const float* g = grid + (static_cast<size_t>(r) * Wg + q) * 2;
    const __m512 a = _mm512_loadu_ps(g), b = _mm512_loadu_ps(g + 16);
    const __m512 gx = _mm512_permutex2var_ps(a, evens, b), gy = _mm512_permutex2var_ps(a, odds, b);
    __m512i x0, x1, y0, y1;
    __m512 wx, wy;
    gridAxisAvx512(gx, wf, wm1, x0, x1, wx);
    gridAxisAvx512(gy, hf, hm1, y0, y1, wy);
    const __m512 ux = _mm512_sub_ps(one, wx), uy = _mm512_sub_ps(one, wy);
    const __m512 w00 = _mm512_mul_ps(ux, uy), w01 = _mm512_mul_ps(wx, uy), w10 = _mm512_mul_ps(ux, wy),
                 w11 = _mm512_mul_ps(wx, wy);
    const __m512i r0 = _mm512_mullo_epi32(y0, wi), r1 = _mm512_mullo_epi32(y1, wi);
    const __m512i i00 = _mm512_add_epi32(r0, x0), i01 = _mm512_add_epi32(r0, x1), i10 = _mm512_add_epi32(r1, x0),
                  i11 = _mm512_add_epi32(r1, x1);
    // Neighbouring columns: 64-bit loads, as in the AVX2 body.
    if (_mm512_cmpeq_epi32_mask(x1, _mm512_add_epi32(x0, _mm512_set1_epi32(1))) == 0xFFFF) {
      alignas(64) int32_t top[16], bottom[16];
      _mm512_store_si512(top, i00);
      _mm512_store_si512(bottom, i10);
      for (int c = 0; c < C; ++c) {
        const float* p = x + c * plane;
        __m256 l[4], rt[4];
        pairColumnsAvx2(p, top, l[0], rt[0]);
        pairColumnsAvx2(p, top + 8, l[1], rt[1]);
        pairColumnsAvx2(p, bottom, l[2], rt[2]);
        pairColumnsAvx2(p, bottom + 8, l[3], rt[3]);
        const __m512 v00 = join512(l[0], l[1]), v01 = join512(rt[0], rt[1]), v10 = join512(l[2], l[3]),
                     v11 = join512(rt[2], rt[3]);
        const __m512 v = _mm512_add_ps(
            _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(w00, v00), _mm512_mul_ps(w01, v01)), _mm512_mul_ps(w10, v10)),
            _mm512_mul_ps(w11, v11));
        _mm512_storeu_ps(out + c * outPlane + static_cast<size_t>(r) * Wg + q, v);
      }
      continue;
    }
    for (int c = 0; c < C; ++c) {
      const float* p = x + c * plane;
      const __m512 v = _mm512_add_ps(
          _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(w00, _mm512_i32gather_ps(i00, p, 4)),
                                      _mm512_mul_ps(w01, _mm512_i32gather_ps(i01, p, 4))),
                        _mm512_mul_ps(w10, _mm512_i32gather_ps(i10, p, 4))),
          _mm512_mul_ps(w11, _mm512_i32gather_ps(i11, p, 4)));
      _mm512_storeu_ps(out + c * outPlane + static_cast<size_t>(r) * Wg + q, v);
    }
  }
  if (q < Wg) gridsampleRowAvx2Tail(x, grid, out, C, H, W, Hg, Wg, r, q);
}
#pragma GCC diagnostic pop

bool haveAvx2Fma() {
  static const bool ok = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return ok;
}

bool haveAvx512() {
  static const bool ok = haveAvx2Fma() && __builtin_cpu_supports("avx512f");
  return ok;
}
#endif

}  // namespace

namespace {

enum Body { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };
// Measured on an AVX-512 machine against onnxruntime's GridSample (render_bench
// prints every body): the AVX-512 body is ahead on a few channels, while on
// 12 and 16 (the director's cone) the AVX2 body is about 1.6x faster.
constexpr int kAvx512MaxChannels = 4;
std::atomic<int> forcedBody{-1};

Body bestBody() {
#if defined(__x86_64__)
  if (haveAvx512()) return kAvx512;
  if (haveAvx2Fma()) return kAvx2;
#endif
  return kScalar;
}

Body bodyFor(int channels) {
  const int forced = forcedBody.load(std::memory_order_relaxed);
  if (forced >= 0) return static_cast<Body>(std::min<int>(forced, bestBody()));
  const Body best = bestBody();
  return best == kAvx512 && channels > kAvx512MaxChannels ? kAvx2 : best;
}

}  // namespace

void setGridSampleBody(const char* body) {
  const std::string b = body ? body : "";
  forcedBody.store(b == "avx512" ? kAvx512 : b == "avx2" ? kAvx2 : b == "scalar" ? kScalar : -1);
}

void gridsample_fast_band(const float* x, const float* grid, float* out, int C, int H, int W, int Hg, int Wg,
                          int rowBegin, int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, Hg);
#if defined(__x86_64__)
  // 32-bit gather offsets cover a plane of fewer than 2^31 pixels.
  const Body body = bodyFor(C);
  if (body != kScalar && static_cast<int64_t>(H) * W < (int64_t{1} << 31)) {
    if (body == kAvx512) {
      for (int r = rowBegin; r < rowEnd; ++r) gridsampleRowAvx512(x, grid, out, C, H, W, Hg, Wg, r);
    } else {
      for (int r = rowBegin; r < rowEnd; ++r) gridsampleRowAvx2Tail(x, grid, out, C, H, W, Hg, Wg, r, 0);
    }
    return;
  }
#endif
  for (int r = rowBegin; r < rowEnd; ++r)
    for (int q = 0; q < Wg; ++q) gridsamplePixel(x, grid, out, C, H, W, Hg, Wg, r, q);
}

void gridsample_fast(const float* x, const float* grid, float* out, int C, int H, int W, int Hg, int Wg) {
  gridsample_fast_band(x, grid, out, C, H, W, Hg < 0 ? H : Hg, Wg < 0 ? W : Wg, 0, Hg < 0 ? H : Hg);
}

namespace {

// The four planes of one pixel of channel plane `s`: its value, the second
// differences across and down, and the cross term.
inline void warpPlanesPixel(const float* s, float* planes, int W, int H, int r, int q, int c) {
  auto v = [&](int rr, int qq) { return s[static_cast<size_t>(std::clamp(rr, 0, H - 1)) * W + std::clamp(qq, 0, W - 1)]; };
  auto d = [&](int j) { return v(r - 1, j) - 2 * v(r, j) + v(r + 1, j); };
  float* o = planes + (static_cast<size_t>(r) * W + q) * 12 + c * 4;
  o[0] = v(r, q);
  o[1] = v(r, q - 1) - 2 * v(r, q) + v(r, q + 1);
  o[2] = d(q);
  o[3] = d(std::max(q - 1, 0)) - 2 * d(q) + d(std::min(q + 1, W - 1));
}

// Sample positions of one output pixel: the four records' offsets into the
// planes, the bilinear weights and the curvature factors.
struct WarpTaps {
  size_t a, b, c, d;
  float w00, w01, w10, w11, ax, ay;
};

inline WarpTaps warpTaps(const float* g, int W, int H) {
  const float ix = ((1 + g[0]) * W - 1) * 0.5f, iy = ((1 + g[1]) * H - 1) * 0.5f;
  const float fx = ix - std::floor(ix), fy = iy - std::floor(iy);
  auto bil = [](float i, int size, int& t0, int& t1, float& t) {
    if (!(i >= 0)) {  // also NaN
      t0 = t1 = 0;
      t = 0;
      return;
    }
    i = std::min(i, static_cast<float>(size - 1));
    const float f = std::floor(i);
    t0 = static_cast<int>(f);
    t1 = std::min(t0 + 1, size - 1);
    t = i - f;
  };
  int x0, x1, y0, y1;
  float tx, ty;
  bil(ix, W, x0, x1, tx);
  bil(iy, H, y0, y1, ty);
  return {(static_cast<size_t>(y0) * W + x0) * 12, (static_cast<size_t>(y0) * W + x1) * 12,
          (static_cast<size_t>(y1) * W + x0) * 12, (static_cast<size_t>(y1) * W + x1) * 12,
          (1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty, (1 - fx) * fx * 0.5f, (1 - fy) * fy * 0.5f};
}

inline void warpGatherPixel(const float* planes, const WarpTaps& t, float* out, size_t plane, size_t o) {
  const float *a = planes + t.a, *b = planes + t.b, *c = planes + t.c, *d = planes + t.d;
  for (int ch = 0; ch < 3; ++ch) {
    float A[4];
    for (int k = 0; k < 4; ++k) {
      const int i = ch * 4 + k;
      A[k] = ((t.w00 * a[i] + t.w01 * b[i]) + t.w10 * c[i]) + t.w11 * d[i];
    }
    out[ch * plane + o] = (A[0] - t.ax * A[1] - t.ay * A[2]) + t.ax * t.ay * A[3];
  }
}

#if defined(__x86_64__)
// Row r of one channel from column 1, eight columns at a time while all of
// them lie before the last, with the scalar formulas' multiplies and adds in
// their order; returns the first column left (column 0 is the caller's too).
// `dRow` holds W floats.
__attribute__((target("avx2"))) int warpPlanesRowAvx2(const float* s, float* planes, int W, int H, int r, int c,
                                                      float* dRow) {
  const float* up = s + static_cast<size_t>(std::max(r - 1, 0)) * W;
  const float* mid = s + static_cast<size_t>(r) * W;
  const float* dn = s + static_cast<size_t>(std::min(r + 1, H - 1)) * W;
  const __m256 two = _mm256_set1_ps(2.0f);
  int j = 0;
  for (; j + 8 <= W; j += 8) {
    const __m256 d = _mm256_add_ps(_mm256_sub_ps(_mm256_loadu_ps(up + j), _mm256_mul_ps(two, _mm256_loadu_ps(mid + j))),
                                   _mm256_loadu_ps(dn + j));
    _mm256_storeu_ps(dRow + j, d);
  }
  for (; j < W; ++j) dRow[j] = up[j] - 2 * mid[j] + dn[j];
  int q = 1;
  for (; q + 8 <= W - 1; q += 8) {
    const __m256 v = _mm256_loadu_ps(mid + q), d = _mm256_loadu_ps(dRow + q);
    const __m256 o0 = v, o2 = d;
    const __m256 o1 = _mm256_add_ps(_mm256_sub_ps(_mm256_loadu_ps(mid + q - 1), _mm256_mul_ps(two, v)),
                                    _mm256_loadu_ps(mid + q + 1));
    const __m256 o3 = _mm256_add_ps(_mm256_sub_ps(_mm256_loadu_ps(dRow + q - 1), _mm256_mul_ps(two, d)),
                                    _mm256_loadu_ps(dRow + q + 1));
    // Eight (o0, o1, o2, o3) records: pixels p and p + 4 share a register.
    const __m256 t0 = _mm256_unpacklo_ps(o0, o1), t1 = _mm256_unpackhi_ps(o0, o1);
    const __m256 t2 = _mm256_unpacklo_ps(o2, o3), t3 = _mm256_unpackhi_ps(o2, o3);
    const __m256 p[4] = {_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
                         _mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t1, t3, 0xEE)};
    float* o = planes + (static_cast<size_t>(r) * W + q) * 12 + c * 4;
    for (int k = 0; k < 4; ++k) {
      _mm_storeu_ps(o + k * 12, _mm256_castps256_ps128(p[k]));
      _mm_storeu_ps(o + (k + 4) * 12, _mm256_extractf128_ps(p[k], 1));
    }
  }
  return q;
}

// Taps along one axis for eight coordinates, as warpTaps' bil() does.
__attribute__((target("avx2"))) inline void warpAxisAvx2(__m256 i, int size, __m256i& t0, __m256i& t1, __m256& t) {
  const __m256 valid = _mm256_cmp_ps(i, _mm256_setzero_ps(), _CMP_GE_OQ);  // false for NaN
  const __m256 c = _mm256_min_ps(i, _mm256_set1_ps(static_cast<float>(size - 1)));
  const __m256 f = _mm256_floor_ps(c);
  const __m256i mask = _mm256_castps_si256(valid);
  const __m256i f0 = _mm256_cvttps_epi32(_mm256_and_ps(f, valid));
  t0 = _mm256_and_si256(f0, mask);
  t1 = _mm256_and_si256(_mm256_min_epi32(_mm256_add_epi32(f0, _mm256_set1_epi32(1)), _mm256_set1_epi32(size - 1)), mask);
  t = _mm256_and_ps(_mm256_sub_ps(c, f), valid);
}

// Row r, eight pixels' taps at a time, then each pixel's twelve sums in two
// vectors; returns the first column left for the scalar path.
__attribute__((target("avx2"))) int warpGatherRowAvx2(const float* planes, const float* grid, float* out, int W, int H,
                                                      int r) {
  const size_t plane = static_cast<size_t>(H) * W;
  const __m256 one = _mm256_set1_ps(1.0f), half = _mm256_set1_ps(0.5f);
  const __m256 wf = _mm256_set1_ps(static_cast<float>(W)), hf = _mm256_set1_ps(static_cast<float>(H));
  const __m256i twelve = _mm256_set1_epi32(12), wi = _mm256_set1_epi32(W);
  alignas(32) int32_t at[4][8];
  alignas(32) float w[7][8];  // w00, w01, w10, w11 and the factors (1, ax, ay, ax*ay) from 4
  int q = 0;
  for (; q + 8 <= W; q += 8) {
    const float* g = grid + (static_cast<size_t>(r) * W + q) * 2;
    const __m256 lo = _mm256_loadu_ps(g), hi = _mm256_loadu_ps(g + 8);
    const __m256 gx = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, 0x88)), 0xD8));
    const __m256 gy = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, 0xDD)), 0xD8));
    const __m256 ix = _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(_mm256_add_ps(one, gx), wf), one), half);
    const __m256 iy = _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(_mm256_add_ps(one, gy), hf), one), half);
    const __m256 fx = _mm256_sub_ps(ix, _mm256_floor_ps(ix)), fy = _mm256_sub_ps(iy, _mm256_floor_ps(iy));
    __m256i x0, x1, y0, y1;
    __m256 tx, ty;
    warpAxisAvx2(ix, W, x0, x1, tx);
    warpAxisAvx2(iy, H, y0, y1, ty);
    const __m256i row0 = _mm256_mullo_epi32(y0, wi), row1 = _mm256_mullo_epi32(y1, wi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(at[0]), _mm256_mullo_epi32(_mm256_add_epi32(row0, x0), twelve));
    _mm256_store_si256(reinterpret_cast<__m256i*>(at[1]), _mm256_mullo_epi32(_mm256_add_epi32(row0, x1), twelve));
    _mm256_store_si256(reinterpret_cast<__m256i*>(at[2]), _mm256_mullo_epi32(_mm256_add_epi32(row1, x0), twelve));
    _mm256_store_si256(reinterpret_cast<__m256i*>(at[3]), _mm256_mullo_epi32(_mm256_add_epi32(row1, x1), twelve));
    const __m256 ux = _mm256_sub_ps(one, tx), uy = _mm256_sub_ps(one, ty);
    _mm256_store_ps(w[0], _mm256_mul_ps(ux, uy));
    _mm256_store_ps(w[1], _mm256_mul_ps(tx, uy));
    _mm256_store_ps(w[2], _mm256_mul_ps(ux, ty));
    _mm256_store_ps(w[3], _mm256_mul_ps(tx, ty));
    const __m256 ax = _mm256_mul_ps(_mm256_mul_ps(_mm256_sub_ps(one, fx), fx), half);
    const __m256 ay = _mm256_mul_ps(_mm256_mul_ps(_mm256_sub_ps(one, fy), fy), half);
    _mm256_store_ps(w[4], ax);
    _mm256_store_ps(w[5], ay);
    _mm256_store_ps(w[6], _mm256_mul_ps(ax, ay));
    for (int p = 0; p < 8; ++p) {
      const float *a = planes + at[0][p], *b = planes + at[1][p], *c = planes + at[2][p], *d = planes + at[3][p];
      const __m256 w00 = _mm256_broadcast_ss(&w[0][p]), w01 = _mm256_broadcast_ss(&w[1][p]);
      const __m256 w10 = _mm256_broadcast_ss(&w[2][p]), w11 = _mm256_broadcast_ss(&w[3][p]);
      // Channels 0 and 1, then channel 2: the four sums of each.
      const __m256 s01 = _mm256_add_ps(
          _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(w00, _mm256_loadu_ps(a)), _mm256_mul_ps(w01, _mm256_loadu_ps(b))),
                        _mm256_mul_ps(w10, _mm256_loadu_ps(c))),
          _mm256_mul_ps(w11, _mm256_loadu_ps(d)));
      const __m128 s2 = _mm_add_ps(
          _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm256_castps256_ps128(w00), _mm_loadu_ps(a + 8)),
                                _mm_mul_ps(_mm256_castps256_ps128(w01), _mm_loadu_ps(b + 8))),
                     _mm_mul_ps(_mm256_castps256_ps128(w10), _mm_loadu_ps(c + 8))),
          _mm_mul_ps(_mm256_castps256_ps128(w11), _mm_loadu_ps(d + 8)));
      // (A0, ax A1, ay A2, (ax ay) A3), then ((A0 - ax A1) - ay A2) + ax ay A3 in lane 0.
      const __m128 f = _mm_setr_ps(1.0f, w[4][p], w[5][p], w[6][p]);
      const __m256 m01 = _mm256_mul_ps(s01, _mm256_set_m128(f, f));
      const __m128 m2 = _mm_mul_ps(s2, f);
      const __m256 r01 = _mm256_add_ps(_mm256_sub_ps(_mm256_sub_ps(m01, _mm256_permute_ps(m01, 1)),
                                                     _mm256_permute_ps(m01, 2)),
                                       _mm256_permute_ps(m01, 3));
      const __m128 r2 = _mm_add_ps(_mm_sub_ps(_mm_sub_ps(m2, _mm_permute_ps(m2, 1)), _mm_permute_ps(m2, 2)),
                                   _mm_permute_ps(m2, 3));
      const size_t o = static_cast<size_t>(r) * W + q + p;
      out[o] = _mm256_cvtss_f32(r01);
      out[plane + o] = _mm_cvtss_f32(_mm256_extractf128_ps(r01, 1));
      out[2 * plane + o] = _mm_cvtss_f32(r2);
    }
  }
  return q;
}
#endif

// The vector bodies index the planes with 32-bit offsets.
bool warpVector(int W, int H) {
#if defined(__x86_64__)
  return bodyFor(3) != kScalar && static_cast<int64_t>(H) * W * 12 < (int64_t{1} << 31);
#else
  (void)W;
  (void)H;
  return false;
#endif
}

}  // namespace

void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int rowBegin, int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, H);
  if (rowBegin >= rowEnd) return;
  const bool vector = warpVector(W, H);
  std::vector<float> dRow(vector ? static_cast<size_t>(W) : 0);
  for (int c = 0; c < 3; ++c) {
    const float* s = src + static_cast<size_t>(c) * H * W;
    for (int r = rowBegin; r < rowEnd; ++r) {
      int q = 0;
#if defined(__x86_64__)
      if (vector) {
        const int end = warpPlanesRowAvx2(s, planes, W, H, r, c, dRow.data());
        warpPlanesPixel(s, planes, W, H, r, 0, c);
        q = end;
      }
#endif
      for (; q < W; ++q) warpPlanesPixel(s, planes, W, H, r, q, c);
    }
  }
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int rowBegin, int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, H);
  const size_t plane = static_cast<size_t>(H) * W;
  const bool vector = warpVector(W, H);
  for (int r = rowBegin; r < rowEnd; ++r) {
    int q = 0;
#if defined(__x86_64__)
    if (vector) q = warpGatherRowAvx2(planes, grid, out, W, H, r);
#endif
    for (; q < W; ++q) {
      const size_t o = static_cast<size_t>(r) * W + q;
      warpGatherPixel(planes, warpTaps(grid + o * 2, W, H), out, plane, o);
    }
  }
}

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int rowBegin, int rowEnd) {
  // The gather reads neighbours one row beyond the band, so the planes of
  // the whole item are computed first.
  std::vector<float> planes(static_cast<size_t>(H) * W * 12);
  warpDirectorPlanesBand(src, planes.data(), W, H, 0, H);
  warpDirectorGatherBand(planes.data(), grid, out, W, H, rowBegin, rowEnd);
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

const char* warpBody() { return warpVector(1, 1) ? "avx2" : "scalar"; }

void cubicTaps(double t, double a, double out[4]) {
  const double d[4] = {t + 1, t, 1 - t, 2 - t};
  double sum = 0;
  for (int k = 0; k < 4; ++k) {
    const double x = d[k];
    out[k] = x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : ((x - 5) * x + 8) * x * a - 4 * a;
    sum += out[k];
  }
  for (int k = 0; k < 4; ++k) out[k] /= sum;
}

namespace {

// Output row o of a plane: the four input rows it reads (clamped) combined
// down the column, then along the row, even outputs from columns j-2..j+1
// and odd ones from j-1..j+2 (half_pixel: input x = o / 2 - 0.25).
__attribute__((always_inline)) inline void cubicRows(const float* __restrict x, float* __restrict out, int H, int W,
                                                     const float* even, const float* odd, int rowBegin, int rowEnd,
                                                     float* __restrict pad, float* __restrict e, float* __restrict f) {
  for (int o = rowBegin; o < rowEnd; ++o) {
    const int i = o >> 1, first = (o & 1) ? i - 1 : i - 2;
    const float* w = (o & 1) ? odd : even;
    const float* r[4];
    for (int k = 0; k < 4; ++k) r[k] = x + static_cast<size_t>(std::clamp(first + k, 0, H - 1)) * W;
    const float w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
    float* p = pad + 2;
    for (int q = 0; q < W; ++q) p[q] = w0 * r[0][q] + w1 * r[1][q] + w2 * r[2][q] + w3 * r[3][q];
    pad[0] = pad[1] = p[0];
    p[W] = p[W + 1] = p[W - 1];
    const float e0 = even[0], e1 = even[1], e2 = even[2], e3 = even[3];
    const float d0 = odd[0], d1 = odd[1], d2 = odd[2], d3 = odd[3];
    for (int j = 0; j < W; ++j) e[j] = e0 * pad[j] + e1 * pad[j + 1] + e2 * pad[j + 2] + e3 * pad[j + 3];
    for (int j = 0; j < W; ++j) f[j] = d0 * pad[j + 1] + d1 * pad[j + 2] + d2 * pad[j + 3] + d3 * pad[j + 4];
    float* y = out + static_cast<size_t>(o) * 2 * W;
    for (int j = 0; j < W; ++j) {
      y[2 * j] = e[j];
      y[2 * j + 1] = f[j];
    }
  }
}

void cubicRowsGeneric(const float* x, float* out, int H, int W, const float* even, const float* odd, int rowBegin,
                      int rowEnd, float* pad, float* e, float* f) {
  cubicRows(x, out, H, W, even, odd, rowBegin, rowEnd, pad, e, f);
}

#if defined(__x86_64__)
// The same arithmetic eight lanes wide (no FMA: every machine rounds alike).
__attribute__((target("avx2"))) void cubicRowsAvx2(const float* x, float* out, int H, int W, const float* even,
                                                   const float* odd, int rowBegin, int rowEnd, float* pad, float* e,
                                                   float* f) {
  cubicRows(x, out, H, W, even, odd, rowBegin, rowEnd, pad, e, f);
}
#endif

}  // namespace

void cubicUp2xBand(const float* x, float* out, int H, int W, float a, int rowBegin, int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, 2 * H);
  if (rowBegin >= rowEnd || W < 1) return;
  double t[4];
  float even[4], odd[4];
  cubicTaps(0.75, a, t);
  for (int k = 0; k < 4; ++k) even[k] = static_cast<float>(t[k]);
  cubicTaps(0.25, a, t);
  for (int k = 0; k < 4; ++k) odd[k] = static_cast<float>(t[k]);
  thread_local std::vector<float> scratch;
  scratch.resize(3 * static_cast<size_t>(W) + 4);
  float *pad = scratch.data(), *e = pad + W + 4, *f = e + W;
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return cubicRowsAvx2(x, out, H, W, even, odd, rowBegin, rowEnd, pad, e, f);
#endif
  cubicRowsGeneric(x, out, H, W, even, odd, rowBegin, rowEnd, pad, e, f);
}

const char* gridsampleBody(int channels) {
  static const char* const names[] = {"scalar", "avx2", "avx512"};
  return names[bodyFor(channels)];
}

Ort::CustomOpDomain& corvaluxDomain() {
  static Ort::CustomOpDomain* domain = [] {
    static Op<GridSampleKernel> gridSample("GridSampleFast");
    static Op<WarpKernel> warp("WarpDirector");
    static Op<WarpKernel, 4> warpFlow("WarpDirectorFlow");
    static Op<CubicKernel, 1> cubic("CubicUp2x");
    auto* d = new Ort::CustomOpDomain("com.corvalux");
    d->Add(&gridSample);
    d->Add(&warp);
    d->Add(&warpFlow);
    d->Add(&cubic);
    d->Add(fusedElementwiseOp());
    return d;
  }();
  return *domain;
}

void registerGridSampleFast(Ort::SessionOptions& opts) { opts.Add(corvaluxDomain()); }
void registerWarpDirector(Ort::SessionOptions& opts) { opts.Add(corvaluxDomain()); }
void registerElementwise(Ort::SessionOptions& opts) { opts.Add(corvaluxDomain()); }

}  // namespace le
