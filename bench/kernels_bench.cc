// Kernels against their peers, measured in the same process run.
// Each comparison registers NAME/ours and NAME/peer; scripts/bench.sh turns
// the medians into one "bench NAME ... ratio=" line.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "kernels/pool.h"
#include "kernels/simd.h"
#include "tests/support/kernel_reference.h"

namespace {

constexpr int kW = 1920, kH = 1080;

struct Yuv420Frame {
  std::vector<uint8_t> y, u, v;
  Yuv420Frame() : y(kW * kH), u(kW * kH / 4), v(kW * kH / 4) {
    std::mt19937 rng(1);
    for (auto& b : y) b = static_cast<uint8_t>(16 + rng() % 220);
    for (auto& b : u) b = static_cast<uint8_t>(rng());
    for (auto& b : v) b = static_cast<uint8_t>(rng());
  }
};

void yuvOurs(benchmark::State& state) {
  static Yuv420Frame f;
  std::vector<uint8_t> rgb(kW * kH * 3);
  for (auto _ : state) {
    le::pool::parallelRange(kH, 16, [&](size_t b, size_t e) {
      for (size_t r = b; r < e; ++r)
        le::simd::yuv420RowToRgb24(&f.y[r * kW], &f.u[(r / 2) * (kW / 2)], &f.v[(r / 2) * (kW / 2)], kW, 1,
                                   &rgb[r * kW * 3]);
    });
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetLabel(le::simd::target());
}

void yuvPeer(benchmark::State& state) {
  static Yuv420Frame f;
  std::vector<uint8_t> rgb(kW * kH * 3);
  SwsContext* sws = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
  const uint8_t* src[4] = {f.y.data(), f.u.data(), f.v.data(), nullptr};
  const int srcStride[4] = {kW, kW / 2, kW / 2, 0};
  uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {kW * 3, 0, 0, 0};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, kH, dst, dstStride);
    benchmark::DoNotOptimize(rgb.data());
  }
  sws_freeContext(sws);
}

// RGB24 to I420 at 1080p, one thread each: ours against libswscale.
std::vector<uint8_t> rgbFrame() {
  std::vector<uint8_t> rgb(static_cast<size_t>(kW) * kH * 3);
  std::mt19937 rng(4);
  // A smooth picture with noise, as a rendered frame looks to the encoder.
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      for (int c = 0; c < 3; ++c)
        rgb[(static_cast<size_t>(y) * kW + x) * 3 + c] = static_cast<uint8_t>((x / 8 + y / 5 + 60 * c + rng() % 9) & 0xFF);
  return rgb;
}

void i420Ours(benchmark::State& state) {
  static const std::vector<uint8_t> rgb = rgbFrame();
  Yuv420Frame out;
  for (auto _ : state) {
    le::simd::rgb24ToI420(rgb.data(), kW, kH, out.y.data(), kW, out.u.data(), kW / 2, out.v.data(), kW / 2, 0, kH);
    benchmark::DoNotOptimize(out.y.data());
  }
  state.SetLabel(le::simd::target());
}

void i420Peer(benchmark::State& state) {
  static const std::vector<uint8_t> rgb = rgbFrame();
  Yuv420Frame out;
  SwsContext* sws = sws_getContext(kW, kH, AV_PIX_FMT_RGB24, kW, kH, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
  const uint8_t* src[4] = {rgb.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {kW * 3, 0, 0, 0};
  uint8_t* dst[4] = {out.y.data(), out.u.data(), out.v.data(), nullptr};
  const int dstStride[4] = {kW, kW / 2, kW / 2, 0};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, kH, dst, dstStride);
    benchmark::DoNotOptimize(out.y.data());
  }
  sws_freeContext(sws);
}

// A 1080p driver frame through RGB and back, in place, one thread: the fused
// row-pair kernel against its two steps through a row pair of RGB24 (our
// YUV-to-RGB and RGB-to-I420 kernels, as the frames were made before).
void throughRgbOurs(benchmark::State& state) {
  static const Yuv420Frame src;
  Yuv420Frame f = src;
  for (auto _ : state) {
    for (int r = 0; r < kH; r += 2) {
      uint8_t* ya = &f.y[static_cast<size_t>(r) * kW];
      uint8_t* u = &f.u[static_cast<size_t>(r / 2) * (kW / 2)];
      uint8_t* v = &f.v[static_cast<size_t>(r / 2) * (kW / 2)];
      le::simd::i420ThroughRgbRows(ya, ya + kW, u, v, kW, ya, ya + kW, u, v);
    }
    benchmark::DoNotOptimize(f.y.data());
  }
  state.SetLabel(le::simd::target());
}

void throughRgbPeer(benchmark::State& state) {
  static const Yuv420Frame src;
  Yuv420Frame f = src;
  std::vector<uint8_t> rows(static_cast<size_t>(kW) * 6);
  for (auto _ : state) {
    for (int r = 0; r < kH; r += 2) {
      uint8_t* ya = &f.y[static_cast<size_t>(r) * kW];
      uint8_t* u = &f.u[static_cast<size_t>(r / 2) * (kW / 2)];
      uint8_t* v = &f.v[static_cast<size_t>(r / 2) * (kW / 2)];
      le::simd::yuv420RowToRgb24(ya, u, v, kW, 1, rows.data());
      le::simd::yuv420RowToRgb24(ya + kW, u, v, kW, 1, rows.data() + 3 * kW);
      le::simd::rgb24ToI420Rows(rows.data(), rows.data() + 3 * kW, kW, ya, ya + kW, u, v);
    }
    benchmark::DoNotOptimize(f.y.data());
  }
}

// The plain loops the kernels replace.
uint16_t plainHalf(float x) {
  uint32_t b;
  std::memcpy(&b, &x, 4);
  const uint32_t sign = (b >> 16) & 0x8000u, abs = b & 0x7FFFFFFFu;
  if (abs > 0x7F800000u) return static_cast<uint16_t>(sign | 0x7E00u | ((abs >> 13) & 0x3FFu));
  if (abs > 0x477FEFFFu) return static_cast<uint16_t>(sign | 0x7C00u);
  if (abs < 0x38800000u) {
    const float t = std::fabs(x) + 0.5f;
    uint32_t tb;
    std::memcpy(&tb, &t, 4);
    return static_cast<uint16_t>(sign | (tb - 0x3F000000u));
  }
  return static_cast<uint16_t>(sign | ((abs - 0x38000000u + 0xFFFu + ((abs >> 13) & 1u)) >> 13));
}

float plainFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16, mag = h & 0x7FFFu, m = h & 0x3FFu;
  uint32_t r;
  if (mag > 0x7BFFu) r = 0x7F800000u | (m << 13) | (m ? 0x400000u : 0u);
  else if (mag < 0x400u) {
    const float f = static_cast<float>(m) * 5.9604644775390625e-8f;
    std::memcpy(&r, &f, 4);
  } else r = (mag << 13) + 0x38000000u;
  r |= sign;
  float f;
  std::memcpy(&f, &r, 4);
  return f;
}

constexpr size_t kHalfN = 1 << 20;

std::vector<float> halfFloats() {
  std::vector<float> v(kHalfN);
  std::mt19937 rng(2);
  std::normal_distribution<float> d(0.0f, 100.0f);
  for (auto& x : v) x = d(rng);
  return v;
}

void f32ToF16Ours(benchmark::State& state) {
  const auto in = halfFloats();
  std::vector<uint16_t> out(kHalfN);
  for (auto _ : state) {
    le::simd::f32ToF16(in.data(), out.data(), kHalfN);
    benchmark::DoNotOptimize(out.data());
  }
}

void f32ToF16Peer(benchmark::State& state) {
  const auto in = halfFloats();
  std::vector<uint16_t> out(kHalfN);
  for (auto _ : state) {
    for (size_t i = 0; i < kHalfN; ++i) out[i] = plainHalf(in[i]);
    benchmark::DoNotOptimize(out.data());
  }
}

std::vector<uint16_t> halves() {
  const auto f = halfFloats();
  std::vector<uint16_t> h(kHalfN);
  le::simd::f32ToF16(f.data(), h.data(), kHalfN);
  return h;
}

void f16ToF32Ours(benchmark::State& state) {
  const auto in = halves();
  std::vector<float> out(kHalfN);
  for (auto _ : state) {
    le::simd::f16ToF32(in.data(), out.data(), kHalfN);
    benchmark::DoNotOptimize(out.data());
  }
}

void f16ToF32Peer(benchmark::State& state) {
  const auto in = halves();
  std::vector<float> out(kHalfN);
  for (auto _ : state) {
    for (size_t i = 0; i < kHalfN; ++i) out[i] = plainFloat(in[i]);
    benchmark::DoNotOptimize(out.data());
  }
}

struct ConvCase {
  static constexpr int C = 16, H = 66, W = 108;  // the demo mouth head's layers
  std::vector<float> in, wt, bias, out;
  ConvCase() : in(C * H * W), wt(C * C * 9), bias(C), out(C * H * W) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> u(-1, 1);
    for (auto& x : in) x = u(rng);
    for (auto& x : wt) x = u(rng);
    for (auto& x : bias) x = u(rng);
  }
};

void conv3x3Ours(benchmark::State& state) {
  ConvCase c;
  for (auto _ : state) {
    le::simd::conv3x3Range(c.in.data(), 1, c.C, c.H, c.W, c.wt.data(), c.bias.data(), c.C, c.out.data(), 0, c.C);
    benchmark::DoNotOptimize(c.out.data());
  }
}

void conv3x3Peer(benchmark::State& state) {
  ConvCase c;
  const int C = c.C, H = c.H, W = c.W;
  for (auto _ : state) {
    le::test::refConv3x3(c.in, 1, C, H, W, c.wt, c.bias, C, c.out);
    benchmark::DoNotOptimize(c.out.data());
  }
}

// An empty job over the pool against a thread started and joined per job.
void parallelRangeOurs(benchmark::State& state) {
  const std::function<void(size_t, size_t)> empty = [](size_t, size_t) {};
  for (auto _ : state) le::pool::parallelRange(2, 1, empty);
  state.SetLabel(std::to_string(le::pool::threads()) + " threads");
}

void parallelRangePeer(benchmark::State& state) {
  for (auto _ : state) {
    std::thread t([] {});
    t.join();
  }
}

}  // namespace

BENCHMARK(yuvOurs)->Name("yuv_to_rgb_1080p/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(yuvPeer)->Name("yuv_to_rgb_1080p/peer")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(i420Ours)->Name("rgb_to_i420_1080p/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(i420Peer)->Name("rgb_to_i420_1080p/peer")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(throughRgbOurs)->Name("i420_through_rgb_1080p/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(throughRgbPeer)->Name("i420_through_rgb_1080p/peer")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(f16ToF32Ours)->Name("f16_to_f32/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(f16ToF32Peer)->Name("f16_to_f32/peer")->Unit(benchmark::kMicrosecond);
BENCHMARK(f32ToF16Ours)->Name("f32_to_f16/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(f32ToF16Peer)->Name("f32_to_f16/peer")->Unit(benchmark::kMicrosecond);
BENCHMARK(conv3x3Ours)->Name("conv3x3/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(conv3x3Peer)->Name("conv3x3/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(parallelRangeOurs)->Name("parallel_range_overhead/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(parallelRangePeer)->Name("parallel_range_overhead/peer")->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
