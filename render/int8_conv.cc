#include "render/int8_conv.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <onnxruntime_cxx_api.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kernels/pool.h"

namespace le {
namespace {

std::atomic<bool> scalarOnly{false};

constexpr int64_t kMaxAttribute = 1 << 16;

[[noreturn]] void refuse(const std::string& why) {
  throw Ort::Exception("com.corvalux.int8::Int8ConvVNNI: " + why, ORT_INVALID_ARGUMENT);
}

// clamp(nearbyint(x / scale) + zp, 0, 255); a NaN activation (or quotient)
// quantises to the zero point, as 0 does.
inline uint8_t quantizeOne(float x, float scale, float zp) {
  const float r = std::nearbyint(x / scale) + zp;
  return static_cast<uint8_t>(r == r ? std::clamp(r, 0.0f, 255.0f) : zp);
}

#if defined(__x86_64__)
// AVX-VNNI: CPUID leaf 7 sub-leaf 1, EAX bit 4 (asked directly: not every
// compiler's __builtin_cpu_supports knows the name).
bool cpuHasAvxVnni() {
  static const bool ok = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __builtin_cpu_supports("avx2") && __get_cpuid_count(7, 1, &a, &b, &c, &d) && (a & (1u << 4)) != 0;
  }();
  return ok;
}

bool cpuHasVnni() {
  static const bool ok =
      __builtin_cpu_supports("avx2") &&
      (cpuHasAvxVnni() || (__builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512vl")));
  return ok;
}
#else
bool cpuHasVnni() { return false; }
#endif

struct Prepared {
  int64_t M = 0, cinPerGroup = 0, cinPad = 0, cinBlocks = 0, mPad = 0, kH = 0, kW = 0, taps = 0;
  std::vector<int32_t> wsum;     // [M]
  std::vector<int32_t> wsumTap;  // [taps][M]
  std::vector<int8_t> weights;   // [M][cinPerGroup][kH][kW]
  std::vector<int8_t> packed;    // [taps][cinBlocks][mPad][4], for the dot-product path
};

#if defined(__x86_64__)
// acc0/acc1[mPad] = sums over the taps' activations (cinPad bytes per pixel)
// of u8 x s8, for two pixels at once, 32 output channels per pass: the
// weights are loaded once for both, and eight independent accumulators keep
// the dot-product units fed. Integer sums: the same values as the scalar path.
// A lone pixel passes itself twice.
#define LE_DOT2_BODY(DP)                                                                                       \
  int64_t m0 = 0;                                                                                              \
  for (; m0 + 32 <= p.mPad; m0 += 32) {                                                                        \
    __m256i a00 = _mm256_setzero_si256(), a01 = a00, a02 = a00, a03 = a00;                                     \
    __m256i a10 = a00, a11 = a00, a12 = a00, a13 = a00;                                                        \
    for (int64_t t = 0; t < p.taps; ++t) {                                                                     \
      const uint8_t* s0 = px0[t];                                                                              \
      const uint8_t* s1 = px1[t];                                                                              \
      const int8_t* w = p.packed.data() + (t * p.cinBlocks * p.mPad + m0) * 4;                                 \
      for (int64_t b = 0; b < p.cinBlocks; ++b, s0 += 4, s1 += 4, w += p.mPad * 4) {                          \
        int32_t f0, f1;                                                                                        \
        std::memcpy(&f0, s0, 4);                                                                               \
        std::memcpy(&f1, s1, 4);                                                                               \
        const __m256i x0 = _mm256_set1_epi32(f0), x1 = _mm256_set1_epi32(f1);                                  \
        const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));                           \
        const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32));                      \
        const __m256i w2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 64));                      \
        const __m256i w3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 96));                      \
        a00 = DP(a00, x0, w0);                                                                                 \
        a01 = DP(a01, x0, w1);                                                                                 \
        a02 = DP(a02, x0, w2);                                                                                 \
        a03 = DP(a03, x0, w3);                                                                                 \
        a10 = DP(a10, x1, w0);                                                                                 \
        a11 = DP(a11, x1, w1);                                                                                 \
        a12 = DP(a12, x1, w2);                                                                                 \
        a13 = DP(a13, x1, w3);                                                                                 \
      }                                                                                                        \
    }                                                                                                          \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc0 + m0), a00);                                          \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc0 + m0 + 8), a01);                                      \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc0 + m0 + 16), a02);                                     \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc0 + m0 + 24), a03);                                     \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc1 + m0), a10);                                          \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc1 + m0 + 8), a11);                                      \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc1 + m0 + 16), a12);                                     \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc1 + m0 + 24), a13);                                     \
  }                                                                                                            \
  if (m0 < p.mPad) { /* the last 16 channels */                                                                \
    __m256i a00 = _mm256_setzero_si256(), a01 = a00, a10 = a00, a11 = a00;                                     \
    for (int64_t t = 0; t < p.taps; ++t) {                                                                     \
      const uint8_t* s0 = px0[t];                                                                              \
      const uint8_t* s1 = px1[t];                                                                              \
      const int8_t* w = p.packed.data() + (t * p.cinBlocks * p.mPad + m0) * 4;                                 \
      for (int64_t b = 0; b < p.cinBlocks; ++b, s0 += 4, s1 += 4, w += p.mPad * 4) {                          \
        int32_t f0, f1;                                                                                        \
        std::memcpy(&f0, s0, 4);                                                                               \
        std::memcpy(&f1, s1, 4);                                                                               \
        const __m256i x0 = _mm256_set1_epi32(f0), x1 = _mm256_set1_epi32(f1);                                  \
        const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));                           \
        const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32));                      \
        a00 = DP(a00, x0, w0);                                                                                 \
        a01 = DP(a01, x0, w1);                                                                                 \
        a10 = DP(a10, x1, w0);                                                                                 \
        a11 = DP(a11, x1, w1);                                                                                 \
      }                                                                                                        \
    }                                                                                                          \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc0 + m0), a00);                                          \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc0 + m0 + 8), a01);                                      \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc1 + m0), a10);                                          \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc1 + m0 + 8), a11);                                      \
  }

__attribute__((target("avx2,avxvnni"))) void dot2AvxVnni(const uint8_t* const* px0, const uint8_t* const* px1,
                                                          const Prepared& p, int32_t* acc0, int32_t* acc1) {
  LE_DOT2_BODY(_mm256_dpbusd_avx_epi32)
}

__attribute__((target("avx2,avx512vnni,avx512vl"))) void dot2Avx512Vnni(const uint8_t* const* px0,
                                                                        const uint8_t* const* px1, const Prepared& p,
                                                                        int32_t* acc0, int32_t* acc1) {
  LE_DOT2_BODY(_mm256_dpbusd_epi32)
}
#undef LE_DOT2_BODY

// Four pixels at once, 64 output channels per pass, 512-bit: sixteen
// accumulators in flight. mPad must be a multiple of 64.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"))) void dot4Avx512Vnni(const uint8_t* const* const* px,
                                                                                const Prepared& p, int32_t* const* acc) {
  for (int64_t m0 = 0; m0 < p.mPad; m0 += 64) {
    __m512i a[4][4];
    for (auto& row : a)
      for (auto& v : row) v = _mm512_setzero_si512();
    for (int64_t t = 0; t < p.taps; ++t) {
      const uint8_t* s[4] = {px[0][t], px[1][t], px[2][t], px[3][t]};
      const int8_t* w = p.packed.data() + (t * p.cinBlocks * p.mPad + m0) * 4;
      for (int64_t b = 0; b < p.cinBlocks; ++b, w += p.mPad * 4) {
        const __m512i w0 = _mm512_loadu_si512(w), w1 = _mm512_loadu_si512(w + 64), w2 = _mm512_loadu_si512(w + 128),
                      w3 = _mm512_loadu_si512(w + 192);
        for (int k = 0; k < 4; ++k) {
          int32_t f;
          std::memcpy(&f, s[k] + 4 * b, 4);
          const __m512i x = _mm512_set1_epi32(f);
          a[k][0] = _mm512_dpbusd_epi32(a[k][0], x, w0);
          a[k][1] = _mm512_dpbusd_epi32(a[k][1], x, w1);
          a[k][2] = _mm512_dpbusd_epi32(a[k][2], x, w2);
          a[k][3] = _mm512_dpbusd_epi32(a[k][3], x, w3);
        }
      }
    }
    for (int k = 0; k < 4; ++k)
      for (int j = 0; j < 4; ++j) _mm512_storeu_si512(acc[k] + m0 + 16 * j, a[k][j]);
  }
}

bool cpuHasAvx512Vnni() {
  static const bool ok = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                         __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512vl");
  return ok;
}

void dot2Vnni(const uint8_t* const* px0, const uint8_t* const* px1, const Prepared& p, int32_t* acc0, int32_t* acc1) {
  if (cpuHasAvxVnni()) dot2AvxVnni(px0, px1, p, acc0, acc1);
  else dot2Avx512Vnni(px0, px1, p, acc0, acc1);
}

// dst[i * stride] = clamp(nearbyint(src[i] / scale) + zp, 0, 255) for i in
// [0, n): the scalar formula eight lanes at a time (division, round to
// nearest even, add, clamp: the same values).
__attribute__((target("avx2"))) void quantizeAvx2(const float* src, size_t n, float scale, float zp, uint8_t* dst,
                                                  size_t stride) {
  const __m256 vs = _mm256_set1_ps(scale), vz = _mm256_set1_ps(zp), lo = _mm256_setzero_ps(),
               hi = _mm256_set1_ps(255.0f);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 v = _mm256_div_ps(_mm256_loadu_ps(src + i), vs);
    v = _mm256_add_ps(_mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC), vz);
    v = _mm256_blendv_ps(v, vz, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));  // NaN: the zero point
    v = _mm256_min_ps(_mm256_max_ps(v, lo), hi);
    alignas(32) int32_t q[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(q), _mm256_cvttps_epi32(v));
    for (int k = 0; k < 8; ++k) dst[(i + k) * stride] = static_cast<uint8_t>(q[k]);
  }
  for (; i < n; ++i) {
    dst[i * stride] = quantizeOne(src[i], scale, zp);
  }
}

// Four channel planes at once into four consecutive bytes of each pixel: the
// same per-value arithmetic as quantizeAvx2, then the bytes transposed to
// pixel order so that each pixel takes one 4-byte store.
__attribute__((target("avx2"))) void quantize4Avx2(const float* const* src, size_t n, float scale, float zp,
                                                   uint8_t* dst, size_t stride) {
  const __m256 vs = _mm256_set1_ps(scale), vz = _mm256_set1_ps(zp), lo = _mm256_setzero_ps(),
               hi = _mm256_set1_ps(255.0f);
  // Per 128-bit lane: bytes c * 4 + p (channel-major) to p * 4 + c.
  const __m256i toPixels = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                            0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256i q[4];
    for (int c = 0; c < 4; ++c) {
      __m256 v = _mm256_div_ps(_mm256_loadu_ps(src[c] + i), vs);
      v = _mm256_add_ps(_mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC), vz);
      v = _mm256_blendv_ps(v, vz, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));  // NaN: the zero point
      v = _mm256_min_ps(_mm256_max_ps(v, lo), hi);
      q[c] = _mm256_cvttps_epi32(v);
    }
    // Lane 0 holds pixels 0-3, lane 1 pixels 4-7; values are in [0, 255], so
    // the saturating packs are exact.
    const __m256i b = _mm256_packus_epi16(_mm256_packus_epi32(q[0], q[1]), _mm256_packus_epi32(q[2], q[3]));
    const __m256i px = _mm256_shuffle_epi8(b, toPixels);
    alignas(32) uint32_t four[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(four), px);
    for (int k = 0; k < 8; ++k) std::memcpy(dst + (i + k) * stride, &four[k], 4);
  }
  for (; i < n; ++i)
    for (int c = 0; c < 4; ++c) {
      dst[i * stride + c] = quantizeOne(src[c][i], scale, zp);
    }
}
#endif

// *lo = min(0, x...), *hi = max(0, x...), NaN values ignored: min and max
// are exact, so lanes and order do not change the result.
#if defined(__x86_64__)
__attribute__((target("avx2"))) void rangeAvx2(const float* x, size_t n, float* lo, float* hi) {
  __m256 a = _mm256_setzero_ps(), z = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    a = _mm256_min_ps(v, a);  // v < a ? v : a: a NaN v leaves a
    z = _mm256_max_ps(v, z);
  }
  alignas(32) float la[8], lz[8];
  _mm256_store_ps(la, a);
  _mm256_store_ps(lz, z);
  float mn = 0.0f, mx = 0.0f;
  for (int k = 0; k < 8; ++k) {
    mn = std::min(mn, la[k]);
    mx = std::max(mx, lz[k]);
  }
  for (; i < n; ++i) {
    mn = std::min(mn, x[i]);
    mx = std::max(mx, x[i]);
  }
  *lo = mn;
  *hi = mx;
}
#endif

void rangeOf(const float* x, size_t n, float* lo, float* hi) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) return rangeAvx2(x, n, lo, hi);
#endif
  float mn = 0.0f, mx = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    mn = std::min(mn, x[i]);
    mx = std::max(mx, x[i]);
  }
  *lo = mn;
  *hi = mx;
}

struct Int8ConvKernel {
  explicit Int8ConvKernel(const OrtKernelInfo* info) {
    Ort::ConstKernelInfo ki(info);
    auto ints = [&](const char* name, size_t need, std::vector<int64_t> dflt) {
      try {
        auto v = ki.GetAttributes<int64_t>(name);
        return v.size() >= need ? v : dflt;
      } catch (const Ort::Exception&) {
        return dflt;
      }
    };
    strides = ints("strides", 2, {1, 1});
    pads = ints("pads", 4, {0, 0, 0, 0});
    dilations = ints("dilations", 2, {1, 1});
    try {
      group = ki.GetAttribute<int64_t>("group");
    } catch (const Ort::Exception&) {
      group = 1;
    }
    // Sizes from the graph are bounded before any arithmetic uses them.
    auto bounded = [](const std::vector<int64_t>& v, size_t n, int64_t least) {
      for (size_t i = 0; i < n; ++i)
        if (v[i] < least || v[i] > kMaxAttribute) return false;
      return true;
    };
    if (!bounded(strides, 2, 1) || !bounded(dilations, 2, 1) || !bounded(pads, 4, 0) || group < 1 ||
        group > kMaxAttribute)
      refuse("strides, dilations and group must lie in 1.." + std::to_string(kMaxAttribute) + " and pads in 0.." +
             std::to_string(kMaxAttribute));
    vnni = cpuHasVnni();
  }

  void prepare(const int8_t* w, const std::vector<int64_t>& ws) {
    p.M = ws[0];
    p.cinPerGroup = ws[1];
    p.kH = ws[2];
    p.kW = ws[3];
    p.taps = p.kH * p.kW;
    p.cinPad = (p.cinPerGroup + 3) / 4 * 4;
    p.cinBlocks = p.cinPad / 4;
    p.mPad = (p.M + 15) / 16 * 16;
    const size_t n = static_cast<size_t>(p.M * p.cinPerGroup * p.taps);
    p.weights.assign(w, w + n);
    p.wsum.assign(static_cast<size_t>(p.M), 0);
    p.wsumTap.assign(static_cast<size_t>(p.taps * p.M), 0);
    for (int64_t m = 0; m < p.M; ++m)
      for (int64_t c = 0; c < p.cinPerGroup; ++c)
        for (int64_t t = 0; t < p.taps; ++t) {
          const int8_t v = w[(m * p.cinPerGroup + c) * p.taps + t];
          p.wsum[m] += v;
          p.wsumTap[t * p.M + m] += v;
        }
    if (vnni && group == 1) {
      p.packed.assign(static_cast<size_t>(p.taps * p.cinBlocks * p.mPad * 4), 0);
      for (int64_t t = 0; t < p.taps; ++t)
        for (int64_t c = 0; c < p.cinPerGroup; ++c)
          for (int64_t m = 0; m < p.M; ++m)
            p.packed[((t * p.cinBlocks + c / 4) * p.mPad + m) * 4 + c % 4] = w[(m * p.cinPerGroup + c) * p.taps + t];
    }
    preparedShape = ws;
  }

  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const auto X = ctx.GetInput(0), Wt = ctx.GetInput(1), S = ctx.GetInput(2), Bi = ctx.GetInput(3);
    const auto xs = X.GetTensorTypeAndShapeInfo().GetShape(), ws = Wt.GetTensorTypeAndShapeInfo().GetShape();
    const size_t nScale = S.GetTensorTypeAndShapeInfo().GetElementCount(), nBias = Bi.GetTensorTypeAndShapeInfo().GetElementCount();
    if (xs.size() != 4 || ws.size() != 4) refuse("X and W must be 4-D");
    const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], M = ws[0];
    if (group < 1 || ws[1] < 1 || C != group * ws[1])
      refuse("input channels " + std::to_string(C) + " != group " + std::to_string(group) + " x weight dimension 1 (" +
             std::to_string(ws[1]) + ")");
    if (M < 1 || M % group) refuse("output channels " + std::to_string(M) + " not divisible by group " + std::to_string(group));
    if (nScale != static_cast<size_t>(M) || nBias != static_cast<size_t>(M))
      refuse("wScale has " + std::to_string(nScale) + " and bias " + std::to_string(nBias) + " values for " +
             std::to_string(M) + " output channels");
    if (ws[2] < 1 || ws[3] < 1 || strides[0] < 1 || strides[1] < 1 || dilations[0] < 1 || dilations[1] < 1 ||
        *std::min_element(pads.begin(), pads.begin() + 4) < 0)
      refuse("bad kernel, stride, dilation or pad attributes");
    const int64_t sH = strides[0], sW = strides[1], dH = dilations[0], dW = dilations[1];
    const int64_t pT = pads[0], pL = pads[1], pB = pads[2], pR = pads[3];
    const int64_t OH = (pT + H + pB - (ws[2] - 1) * dH - 1) / sH + 1, OW = (pL + W + pR - (ws[3] - 1) * dW - 1) / sW + 1;
    if (N < 0 || H < 1 || W < 1 || OH < 1 || OW < 1) refuse("non-positive output size");
    std::call_once(once, [&] { prepare(Wt.GetTensorData<int8_t>(), ws); });
    if (ws != preparedShape) refuse("the weights changed shape after the first run");

    auto Y = ctx.GetOutput(0, std::vector<int64_t>{N, M, OH, OW});
    const float* x = X.GetTensorData<float>();
    const float* wScale = S.GetTensorData<float>();
    const float* bias = Bi.GetTensorData<float>();
    float* y = Y.GetTensorMutableData<float>();
    const size_t total = static_cast<size_t>(N * C * H * W);

    // Activation range, always containing 0 (NaN values take no part).
    float lo = 0.0f, hi = 0.0f;
    const int parts = std::max(1, pool::parts(total, 4096));
    std::vector<float> plo(parts, 0.0f), phi(parts, 0.0f);
    const size_t chunk = (total + parts - 1) / parts;
    pool::parallelRange(static_cast<size_t>(parts), 1, [&](size_t b, size_t e) {
      for (size_t k = b; k < e; ++k) {
        const size_t from = std::min(total, k * chunk), to = std::min(total, (k + 1) * chunk);
        rangeOf(x + from, to - from, &plo[k], &phi[k]);
      }
    });
    for (int k = 0; k < parts; ++k) {
      lo = std::min(lo, plo[k]);
      hi = std::max(hi, phi[k]);
    }
    // Infinite activations saturate; the range stays finite so that the
    // scale and zero point do.
    if (!std::isfinite(hi - lo)) {
      lo = std::max(lo, -FLT_MAX / 2);
      hi = std::min(hi, FLT_MAX / 2);
    }
    float scale = (hi - lo) / 255.0f;
    if (!(scale > 0.0f)) scale = 1.0f;
    const int zp = static_cast<int>(std::clamp(std::nearbyint(-lo / scale), 0.0f, 255.0f));

    // Channel-last, each group's channels padded to 4 with the zero point.
    const int64_t pixStride = group * p.cinPad;
    // Scratch of the calling thread: runs of one session on several threads
    // share this kernel. A local reference, so that the pool's workers below
    // reach this thread's buffer and not their own.
    thread_local std::vector<uint8_t> scratch;
    std::vector<uint8_t>& q = scratch;
    q.assign(static_cast<size_t>(N * H * W * pixStride), static_cast<uint8_t>(zp));
    // Image by image, pixel runs of each channel plane: contiguous reads.
    const bool avx2 = __builtin_cpu_supports("avx2");
    for (int64_t n = 0; n < N; ++n) {
      pool::parallelRange(static_cast<size_t>(H * W), 1024, [&](size_t b, size_t e) {
        for (int64_t c = 0; c < C; ++c) {
          const float* src = x + (n * C + c) * H * W + b;
          uint8_t* dst = &q[(static_cast<size_t>(n * H * W) + b) * pixStride] + (c / p.cinPerGroup) * p.cinPad +
                         c % p.cinPerGroup;
#if defined(__x86_64__)
          // Four channels of one group land in four consecutive bytes.
          if (avx2 && p.cinPerGroup % 4 == 0 && c % 4 == 0 && c + 4 <= C) {
            const float* const planes[4] = {src, src + H * W, src + 2 * H * W, src + 3 * H * W};
            quantize4Avx2(planes, e - b, scale, static_cast<float>(zp), dst, static_cast<size_t>(pixStride));
            c += 3;
            continue;
          }
          if (avx2) {
            quantizeAvx2(src, e - b, scale, static_cast<float>(zp), dst, static_cast<size_t>(pixStride));
            continue;
          }
#endif
          for (size_t i = 0; i < e - b; ++i) {
            dst[i * pixStride] = quantizeOne(src[i], scale, static_cast<float>(zp));
          }
        }
      });
    }
    (void)avx2;

    const int64_t kH = p.kH, kW = p.kW;
    auto interiorFrom = [](int64_t pad, int64_t s) { return std::max<int64_t>(0, (pad + s - 1) / s); };
    const int64_t oy0 = interiorFrom(pT, sH), ox0 = interiorFrom(pL, sW);
    const int64_t oy1 = std::max(oy0, std::min(OH, (H - 1 - (kH - 1) * dH - pT) >= 0 ? (H - 1 - (kH - 1) * dH - pT) / sH + 1 : 0));
    const int64_t ox1 = std::max(ox0, std::min(OW, (W - 1 - (kW - 1) * dW - pL) >= 0 ? (W - 1 - (kW - 1) * dW - pL) / sW + 1 : 0));
    const bool useVnni = vnni && group == 1 && !scalarOnly.load() && !p.packed.empty();
    const int64_t mPerGroup = M / group;
#if defined(__x86_64__)
    const bool quad = useVnni && p.mPad % 64 == 0 && cpuHasAvx512Vnni();
#endif

    pool::parallelRange(static_cast<size_t>(N * OH), 1, [&](size_t b, size_t e) {
      // A row's sums, pixel-major, then written out plane by plane.
      std::vector<int32_t> rowAcc(static_cast<size_t>(OW * p.mPad)), spare(static_cast<size_t>(p.mPad));
      std::vector<const uint8_t*> px(static_cast<size_t>(p.taps)), px1(static_cast<size_t>(p.taps)),
          px2(static_cast<size_t>(p.taps)), px3(static_cast<size_t>(p.taps));
      std::vector<uint8_t> inside(static_cast<size_t>(p.taps));
      // Taps in the zero padding read a pixel of zero points: the dot product
      // then adds zp * (the outside taps' weight sums), and subtracting
      // zp * (all the weights' sum) leaves exactly the inside taps' sum less
      // zp * their weight sum, as the scalar path computes it.
      const std::vector<uint8_t> zpPixel(static_cast<size_t>(pixStride), static_cast<uint8_t>(zp));
      auto gather = [&](int64_t n, int64_t oy, int64_t ox, std::vector<const uint8_t*>& ptrs) {
        for (int64_t ky = 0; ky < kH; ++ky)
          for (int64_t kx = 0; kx < kW; ++kx) {
            const int64_t iy = oy * sH - pT + ky * dH, ix = ox * sW - pL + kx * dW;
            const int64_t t = ky * kW + kx;
            inside[t] = iy >= 0 && iy < H && ix >= 0 && ix < W;
            ptrs[t] = inside[t] ? &q[((n * H + iy) * W + ix) * pixStride] : zpPixel.data();
          }
      };
      for (size_t row = b; row < e; ++row) {
        const int64_t n = static_cast<int64_t>(row) / OH, oy = static_cast<int64_t>(row) % OH;
        const bool interiorRow = oy >= oy0 && oy < oy1;
        for (int64_t ox = 0; ox < OW; ++ox) {
          int32_t* acc = &rowAcc[static_cast<size_t>(ox * p.mPad)];
          const bool interior = interiorRow && ox >= ox0 && ox < ox1;
          gather(n, oy, ox, px);
#if defined(__x86_64__)
          if (useVnni) {
            if (quad && ox + 3 < OW) {
              gather(n, oy, ox + 1, px1);
              gather(n, oy, ox + 2, px2);
              gather(n, oy, ox + 3, px3);
              const uint8_t* const* ptrs[4] = {px.data(), px1.data(), px2.data(), px3.data()};
              int32_t* const outs[4] = {acc, acc + p.mPad, acc + 2 * p.mPad, acc + 3 * p.mPad};
              dot4Avx512Vnni(ptrs, p, outs);
              for (int k = 0; k < 4; ++k)
                for (int64_t m = 0; m < M; ++m) outs[k][m] -= zp * p.wsum[m];
              ox += 3;
            } else if (ox + 1 < OW) {
              gather(n, oy, ox + 1, px1);
              dot2Vnni(px.data(), px1.data(), p, acc, acc + p.mPad);
              for (int64_t m = 0; m < M; ++m) {
                acc[m] -= zp * p.wsum[m];
                acc[p.mPad + m] -= zp * p.wsum[m];
              }
              ++ox;
            } else {
              dot2Vnni(px.data(), px.data(), p, acc, spare.data());
              for (int64_t m = 0; m < M; ++m) acc[m] -= zp * p.wsum[m];
            }
            continue;
          }
#endif
          for (int64_t m = 0; m < M; ++m) {
            const int64_t g = m / mPerGroup;
            int32_t s = 0;
            for (int64_t t = 0; t < p.taps; ++t) {
              if (!inside[t]) continue;
              const uint8_t* a = px[t] + g * p.cinPad;
              const int8_t* w = &p.weights[static_cast<size_t>(m * p.cinPerGroup * p.taps + t)];
              for (int64_t c = 0; c < p.cinPerGroup; ++c) s += static_cast<int32_t>(a[c]) * w[c * p.taps];
            }
            int32_t S2 = 0;
            if (interior) {
              S2 = p.wsum[m];
            } else {
              for (int64_t t = 0; t < p.taps; ++t)
                if (inside[t]) S2 += p.wsumTap[t * M + m];
            }
            acc[m] = s - zp * S2;
          }
        }
        for (int64_t m = 0; m < M; ++m) {
          float* out = &y[((n * M + m) * OH + oy) * OW];
          const float k = scale * wScale[m], bm = bias[m];
          const int32_t* a = &rowAcc[static_cast<size_t>(m)];
          for (int64_t ox = 0; ox < OW; ++ox) out[ox] = static_cast<float>(a[ox * p.mPad]) * k + bm;
        }
      }
    });
  }

  std::vector<int64_t> strides, pads, dilations;
  int64_t group = 1;
  bool vnni = false;
  std::once_flag once;
  Prepared p;
  std::vector<int64_t> preparedShape;
};

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel> {
  void* CreateKernel(const OrtApi&, const OrtKernelInfo* info) const { return new Int8ConvKernel(info); }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

Ort::CustomOpDomain& int8Domain() {
  static Ort::CustomOpDomain* d = [] {
    static Int8ConvOp op;
    auto* dom = new Ort::CustomOpDomain("com.corvalux.int8");
    dom->Add(&op);
    return dom;
  }();
  return *d;
}

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& opts) { opts.Add(int8Domain()); }
bool int8VnniAvailable() { return cpuHasVnni(); }
void setInt8ScalarOnly(bool on) { scalarOnly.store(on); }

}  // namespace le
