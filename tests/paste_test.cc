// The paste against a plain scalar implementation of its formulas written
// here, byte for byte, for every interpolation mode and every SIMD target.
#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "compose/paste.h"
#include "tests/support/testutil.h"

// Counts every allocation through operator new in this test binary.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> gNews{0};
}  // namespace
void* operator new(size_t n) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace le {
namespace {

struct Ref {
  int S, k;
  float amount, sigma;
  int mode;
  std::vector<uint8_t> mask;
};

int refMirror(int i, int n) {
  if (n == 1) return 0;
  for (;;) {
    if (i < 0) i = -i;
    if (i < n) return i;
    i = 2 * n - 2 - i;
  }
}

void refComposite(const Ref& R, const std::vector<float>& crop, float scale, const float* M, std::vector<uint8_t>& frame,
                  int W, int H) {
  const int S = R.S, k = R.k, P = S + k - 1, half = k / 2;
  std::vector<double> gd(k);
  double gs = 0;
  for (int i = 0; i < k; ++i) gs += gd[i] = std::exp(-std::pow(i - (k - 1) / 2.0, 2) / (2.0 * double(R.sigma) * R.sigma));
  std::vector<float> g(k);
  for (int i = 0; i < k; ++i) g[i] = static_cast<float>(gd[i] / gs);
  float lin[32][2], lan[32][8], cub[32][4];
  for (int p = 0; p < 32; ++p) {
    const double t = p / 32.0;
    lin[p][0] = float(1 - t);
    lin[p][1] = float(t);
    double w[8], s = 0;
    for (int j = 0; j < 8; ++j) {
      const double x = t + 3 - j;
      w[j] = t < 1e-7 ? (j == 3) : std::sin(M_PI * x) * std::sin(M_PI * x / 4) / (M_PI * x * M_PI * x / 4);
      s += w[j];
    }
    for (int j = 0; j < 8; ++j) lan[p][j] = float(w[j] / s);
    const double a = -0.75;
    cub[p][0] = float(((a * (t + 1) - 5 * a) * (t + 1) + 8 * a) * (t + 1) - 4 * a);
    cub[p][1] = float((1.25 * t - 2.25) * t * t + 1);
    cub[p][2] = float((1.25 * (1 - t) - 2.25) * (1 - t) * (1 - t) + 1);
    cub[p][3] = 1.0f - cub[p][0] - cub[p][1] - cub[p][2];
  }
  const float a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = double(a) * e - double(b) * d;
  if (det == 0) return;
  std::vector<float> planes[3];
  for (int ch = 0; ch < 3; ++ch) {
    std::vector<float>& pl = planes[ch];
    pl.resize(size_t(S) * S);
    for (size_t i = 0; i < pl.size(); ++i) pl[i] = scale * crop[ch * size_t(S) * S + i];
    std::vector<float> pad(size_t(P) * P), blur(size_t(P) * P, 0.0f);
    for (int r = 0; r < P; ++r)
      for (int q = 0; q < P; ++q) pad[size_t(r) * P + q] = pl[size_t(refMirror(r - half, S)) * S + refMirror(q - half, S)];
    for (int t = 0; t < k; ++t)
      for (size_t i = 0; i + (k - 1) < size_t(P) * P; ++i) blur[i] += g[t] * pad[i + t];
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        float acc = 0;
        for (int t = 0; t < k; ++t) acc += g[t] * blur[size_t(y + t) * P + x];
        const float v = (1 + R.amount) * pl[size_t(y) * S + x] - R.amount * acc;
        pl[size_t(y) * S + x] = std::min(255.0f, std::max(0.0f, v));
      }
  }
  float mnx = 1e30f, mxx = -1e30f, mny = 1e30f, mxy = -1e30f;
  for (auto [x, y] : {std::pair<float, float>{-4, -4}, {S + 3.0f, -4}, {-4, S + 3.0f}, {S + 3.0f, S + 3.0f}}) {
    const float X = a * x + b * y + c, Y = d * x + e * y + f;
    mnx = std::min(mnx, X), mxx = std::max(mxx, X), mny = std::min(mny, Y), mxy = std::max(mxy, Y);
  }
  const int x0 = std::max(int(std::floor(mnx)), 0), x1 = std::min(W - 1, int(std::ceil(mxx)));
  const int y0 = std::max(int(std::floor(mny)), 0), y1 = std::min(H - 1, int(std::ceil(mxy)));
  auto maskAt = [&](int r, int q) { return (r >= 0 && r < S && q >= 0 && q < S) ? float(R.mask[size_t(r) * S + q]) : 0.0f; };
  for (int Y = y0; Y <= y1; ++Y) {
    const int rowU = int(std::rint((Y * double(-b) / det + (double(b) * f - double(c) * e) / det) * 1024)) + 16;
    const int rowV = int(std::rint((Y * double(a) / det + (double(c) * d - double(a) * f) / det) * 1024)) + 16;
    for (int X = x0; X <= x1; ++X) {
      const int U = int(std::rint(X * double(e) / det * 1024)) + rowU, V = int(std::rint(X * double(-d) / det * 1024)) + rowV;
      if (U < -1024 || V < -1024) continue;
      const int iu = U >> 10, iv = V >> 10, pu = (U >> 5) & 31, pv = (V >> 5) & 31;
      if (iu >= S || iv >= S) continue;
      const float m = (lin[pu][1] * maskAt(iv + 1, iu + 1) + lin[pu][0] * maskAt(iv + 1, iu)) * lin[pv][1] +
                      (lin[pu][1] * maskAt(iv, iu + 1) + lin[pu][0] * maskAt(iv, iu)) * lin[pv][0];
      const float alpha = std::rint(m) / 255.0f;
      if (alpha <= 0) continue;
      const int n = R.mode == 0 ? 8 : R.mode == 1 ? 4 : 2, off = R.mode == 0 ? 3 : R.mode == 1 ? 1 : 0;
      const float* wu = R.mode == 0 ? lan[pu] : R.mode == 1 ? cub[pu] : lin[pu];
      const float* wv = R.mode == 0 ? lan[pv] : R.mode == 1 ? cub[pv] : lin[pv];
      for (int ch = 0; ch < 3; ++ch) {
        float C = 0;
        for (int j = 0; j < n; ++j) {
          const int r = iv - off + j;
          if (r < 0 || r >= S) continue;
          float row = 0;
          for (int i = 0; i < n; ++i) {
            const int q = iu - off + i;
            if (q < 0 || q >= S) continue;
            row += wu[i] * planes[ch][size_t(r) * S + q];
          }
          C += wv[j] * row;
        }
        uint8_t& px = frame[(size_t(Y) * W + X) * 3 + ch];
        px = uint8_t(std::min(255.0f, std::max(0.0f, px * (1 - alpha) + C * alpha)));
      }
    }
  }
}

struct Case {
  int S, W, H;
  float M[6];
};

std::vector<float> randomCrop(int S, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.1f, 1.1f);
  std::vector<float> v(size_t(3) * S * S);
  for (auto& x : v) x = u(rng);
  return v;
}

std::vector<uint8_t> softMask(int S, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> m(size_t(S) * S);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const double r = std::hypot((x - S / 2.0) / (0.45 * S), (y - S / 2.0) / (0.45 * S));
      m[size_t(y) * S + x] = uint8_t(std::clamp(int((1.2 - r) * 400) + int(rng() % 7), 0, 255));
    }
  return m;
}

TEST(Paste, MatchesTheReferenceInEveryModeAndTarget) {
  const double th = 0.3;
  const Case cases[] = {
      {32, 96, 64, {1, 0, 30, 0, 1, 10}},                                                     // identity, shifted
      {40, 96, 80, {1.37f, 0, 20.5f, 0, 1.37f, 3.25f}},                                       // scaled
      {32, 96, 64, {float(std::cos(th)), float(-std::sin(th)), 40, float(std::sin(th)), float(std::cos(th)), 5}},  // rotated
      {48, 64, 48, {0.9f, 0.1f, -20, -0.1f, 0.9f, 30}},                                       // partly outside
      // Large enough that every pass splits over the worker pool.
      {160, 320, 240, {float(1.1 * std::cos(th)), float(-1.1 * std::sin(th)), 60, float(1.1 * std::sin(th)),
                       float(1.1 * std::cos(th)), 8}},
      // Enlarged and barely turned, as a face crop usually is.
      {160, 320, 240, {1.27f, -0.011f, 30, 0.011f, 1.27f, 12}},
  };
  for (int mode : {0, 1, 2}) {
    const PasteSettings fast{mode, 0};
    for (const Case& c : cases) {
      const auto crop = randomCrop(c.S, c.S + mode);
      const auto mask = softMask(c.S, c.S);
      std::vector<uint8_t> base(size_t(c.W) * c.H * 3);
      std::mt19937 rng(9);
      for (auto& b : base) b = uint8_t(rng());
      Ref R{c.S, 7, 0.8f, 1.6f, mode, mask};
      std::vector<uint8_t> want = base;
      refComposite(R, crop, 255.0f, c.M, want, c.W, c.H);
      ASSERT_NE(want, base);
      int64_t all = hwy::SupportedTargets() & HWY_TARGETS;
      for (int64_t rest = all; rest; rest &= rest - 1) {
        hwy::SetSupportedTargetsForTest(rest & -rest);
        Paste p(mask, c.S, Unsharp{0.8f, 1.6f, 7}, fast);
        EXPECT_EQ(p.fast, mode);
        std::vector<uint8_t> got = base;
        p.composite(crop.data(), 255.0f, c.M, got.data(), c.W, c.H);
        ASSERT_EQ(got, want) << "mode " << mode << " side " << c.S << " target " << hwy::TargetName(rest & -rest);
        // The same paste into RGBA: the same colours, alpha left alone.
        std::vector<uint8_t> rgba(size_t(c.W) * c.H * 4);
        for (size_t i = 0; i < size_t(c.W) * c.H; ++i) {
          std::copy(&base[i * 3], &base[i * 3] + 3, &rgba[i * 4]);
          rgba[i * 4 + 3] = uint8_t(i * 7);
        }
        p.composite(crop.data(), 255.0f, c.M, rgba.data(), c.W, c.H, 4);
        for (size_t i = 0; i < size_t(c.W) * c.H; ++i) {
          ASSERT_TRUE(std::equal(&want[i * 3], &want[i * 3] + 3, &rgba[i * 4])) << "RGBA pixel " << i;
          ASSERT_EQ(rgba[i * 4 + 3], uint8_t(i * 7));
        }
        // Into a window of the frame: the whole frame's bytes there, odd
        // corners, a window across the face's edge and one beside it.
        for (const FrameWindow& w : {FrameWindow{7, 5, c.W / 2 + 1, c.H / 2 + 3}, FrameWindow{c.W - 3, 0, 3, c.H},
                                     FrameWindow{0, 0, c.W, c.H}, FrameWindow{c.W / 3, c.H - 1, 11, 1}}) {
          std::vector<uint8_t> win(w.bytes()), expect(w.bytes());
          for (int r = 0; r < w.h; ++r) {
            std::copy_n(&base[(size_t(w.y + r) * c.W + w.x) * 3], w.w * 3, &win[size_t(r) * w.w * 3]);
            std::copy_n(&want[(size_t(w.y + r) * c.W + w.x) * 3], w.w * 3, &expect[size_t(r) * w.w * 3]);
          }
          p.composite(crop.data(), 255.0f, c.M, win.data(), c.W, c.H, 3, &w);
          ASSERT_EQ(win, expect) << "window " << w.x << "," << w.y << " " << w.w << "x" << w.h;
        }
      }
      hwy::SetSupportedTargetsForTest(0);
    }
  }
}

TEST(Paste, EdgeCases) {
  const int S = 16, W = 48, H = 40;
  const auto crop = randomCrop(S, 3);
  std::vector<uint8_t> frame(size_t(W) * H * 3, 77);
  // Identity: the box is [0, S + 3] and where the mask is 255 the frame takes
  // the sharpened crop value, truncated.
  {
    std::vector<uint8_t> full(size_t(S) * S, 255);
    Paste p(full, S, Unsharp{0.0f, 2.0f, 5});  // amount 0: planes only clamped
    const float id[6] = {1, 0, 0, 0, 1, 0};
    std::vector<uint8_t> f = frame;
    p.composite(crop.data(), 255.0f, id, f.data(), W, H);
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x)
        for (int ch = 0; ch < 3; ++ch) {
          const float v = std::min(255.0f, std::max(0.0f, 255.0f * crop[ch * S * S + y * S + x]));
          ASSERT_EQ(f[(size_t(y) * W + x) * 3 + ch], uint8_t(v)) << x << "," << y;
        }
  }
  auto unchanged = [&](std::vector<uint8_t> mask, const float* M) {
    Paste p(std::move(mask), S, Unsharp{1.3f, 2.0f, 5});
    std::vector<uint8_t> f = frame;
    p.composite(crop.data(), 255.0f, M, f.data(), W, H);
    return f == frame;
  };
  const float shift[6] = {1, 0, 5, 0, 1, 5}, flat[6] = {1, 2, 0, 0.5f, 1, 0}, away[6] = {1, 0, 500, 0, 1, -300};
  EXPECT_TRUE(unchanged(std::vector<uint8_t>(S * S, 0), shift));
  EXPECT_TRUE(unchanged(std::vector<uint8_t>(S * S, 255), flat));
  EXPECT_TRUE(unchanged(std::vector<uint8_t>(S * S, 255), away));
  EXPECT_FALSE(unchanged(std::vector<uint8_t>(S * S, 255), shift));

  EXPECT_EQ(test::errorOf([&] { Paste p(std::vector<uint8_t>(S * S - 1), S, Unsharp{}); }), "paste: mask size");
  EXPECT_EQ(test::errorOf([&] { Paste p(std::vector<uint8_t>(S * S), S, Unsharp{1, 2, 12}); }), "paste: ksize must be odd");
  EXPECT_EQ(test::errorOf([&] { Paste p(std::vector<uint8_t>(size_t(1025) * 1025), 1025, Unsharp{}); }), "paste: side > 1024");
  // A smaller odd kernel replaces the manifest's; anything else is ignored.
  EXPECT_EQ(Paste(std::vector<uint8_t>(S * S), S, Unsharp{1, 2, 13}, PasteSettings{0, 4}).ksize, 13);
  EXPECT_EQ(Paste(std::vector<uint8_t>(S * S), S, Unsharp{1, 2, 13}, PasteSettings{0, 15}).ksize, 13);
  {
    Paste p(std::vector<uint8_t>(S * S), S, Unsharp{1, 2, 13}, PasteSettings{0, 7});
    EXPECT_EQ(p.ksize, 7);
    EXPECT_EQ(p.padded, S + 6);
  }
  for (int v : {-1, 3, 9}) EXPECT_EQ(Paste(std::vector<uint8_t>(S * S), S, Unsharp{}, PasteSettings{v, 0}).fast, 0) << v;
  // Any transform, finite or not, is refused or pasted within bounds: no
  // float reaches an integer conversion it does not fit (UBSan checks).
  {
    Paste p(std::vector<uint8_t>(S * S, 255), S, Unsharp{1.3f, 2.0f, 5});
    const float big = 1e30f, inf = INFINITY, nan = NAN;
    const float ms[][6] = {{1, 0, -big, 0, 1, 0}, {1, 0, big, 0, 1, -big}, {1e-5f, 0, 20, 0, 1e-5f, 20},
                           {big, 0, 0, 0, big, 0}, {1, 0, nan, 0, 1, 0},   {inf, 0, 0, 0, 1, 0},
                           {1e-30f, 0, 5, 0, 1e-30f, 5}, {0, 0, 0, 0, 0, 0}};
    int refused = 0;
    for (const auto& M : ms) {
      std::vector<uint8_t> f = frame;
      const std::string e = test::errorOf([&] { p.composite(crop.data(), 255.0f, M, f.data(), W, H); });
      if (e == "(no error)") continue;
      EXPECT_NE(e.find("fixed-point coordinates"), std::string::npos) << e;
      EXPECT_EQ(test::errorOf([&] { Paste::checkTransform(M, S, W, H); }), e);
      ++refused;
    }
    EXPECT_EQ(refused, 2);  // the two specks placed on the frame
  }
  // Settings the compositor cannot serve are refused when it is built.
  for (const auto& [u, why] : {std::pair{Unsharp{1.3f, 0.0f, 5}, "sigma"}, {Unsharp{1.3f, NAN, 5}, "sigma"},
                                {Unsharp{1.3f, -1.0f, 5}, "sigma"}, {Unsharp{NAN, 2.0f, 5}, "amount"},
                                {Unsharp{11.0f, 2.0f, 5}, "amount"}, {Unsharp{1.3f, 2.0f, 2 * S + 3}, "2 x crop + 1"},
                                {Unsharp{1.3f, 2.0f, 2147483647}, "2 x crop + 1"}, {Unsharp{1.3f, 2.0f, -3}, "odd"}})
    EXPECT_NE(test::errorOf([&] { Paste p(std::vector<uint8_t>(S * S), S, u); }).find(why), std::string::npos) << why;
  EXPECT_NE(test::errorOf([] { Paste p(std::vector<uint8_t>(100 * 100), 100, Unsharp{1.3f, 2.0f, 129}); })
                .find("above 127"),
            std::string::npos);
  // A crop as small as the blur's half still pastes (the mirror folds back in).
  Paste small(std::vector<uint8_t>(36, 255), 6, Unsharp{1.3f, 2.0f, 13});
  std::vector<uint8_t> f = frame;
  const std::vector<float> tiny(108, 0.5f);
  small.composite(tiny.data(), 255.0f, shift, f.data(), W, H);
  EXPECT_NE(f, frame);
}

// Compositing a frame reuses the object's planes and scratch: after the first
// frame (which may create the calling thread's pool) nothing is allocated.
TEST(Paste, CompositeAllocatesNothingPerFrame) {
  const int S = 64, W = 160, H = 120;
  const auto crop = randomCrop(S, 5);
  const float M[6] = {1.2f, 0.1f, 30, -0.1f, 1.2f, 20};
  std::vector<uint8_t> frame(size_t(W) * H * 3, 90);
  for (int mode : {0, 1, 2}) {
    Paste p(softMask(S, 1), S, Unsharp{1.3f, 2.0f, 13}, PasteSettings{mode, 0});
    p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
    const long before = gNews.load();
    for (int i = 0; i < 10; ++i) p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
    EXPECT_EQ(gNews.load() - before, 0) << "mode " << mode;
  }
}

}  // namespace
}  // namespace le
