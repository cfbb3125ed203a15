// The dispatched kernels on every compiled target against scalar references
// written here from the formulas (not from the engine's own helpers).
#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/simd.h"
#include "tests/support/kernel_reference.h"

namespace {

uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// IEEE binary16 by exact arithmetic in double: round to nearest even.
uint16_t refHalf(float x) {
  const uint32_t b = bitsOf(x);
  const uint16_t sign = (b >> 31) ? 0x8000 : 0;
  if (std::isnan(x)) return sign | 0x7E00 | ((b >> 13) & 0x3FF);
  const double a = std::fabs(static_cast<double>(x));
  if (a >= 65520.0) return sign | 0x7C00;
  if (a < std::ldexp(1.0, -14)) {
    const double q = std::nearbyint(a / std::ldexp(1.0, -24));  // 0..1024; 1024 is the smallest normal
    return sign | static_cast<uint16_t>(q);
  }
  int e;
  std::frexp(a, &e);  // a = f * 2^e, f in [0.5, 1)
  double q = std::nearbyint(a / std::ldexp(1.0, e - 11));  // 1024..2048
  int ex = e - 1;
  if (q == 2048.0) {
    q = 1024.0;
    ++ex;
  }
  if (ex > 15) return sign | 0x7C00;
  return sign | static_cast<uint16_t>(((ex + 15) << 10) | (static_cast<int>(q) - 1024));
}

float refFloat(uint16_t h) {
  const double s = (h & 0x8000) ? -1.0 : 1.0;
  const int e = (h >> 10) & 0x1F, m = h & 0x3FF;
  if (e == 31) {
    if (m == 0) return static_cast<float>(s * std::numeric_limits<double>::infinity());
    return floatOf(((h & 0x8000u) << 16) | 0x7FC00000u | (static_cast<uint32_t>(m) << 13));
  }
  if (e == 0) return static_cast<float>(s * std::ldexp(static_cast<double>(m), -24));
  return static_cast<float>(s * std::ldexp(1024.0 + m, e - 25));
}

float refRound(float x) { return refFloat(refHalf(x)); }

// Runs `body` once per compiled target this processor supports, with the
// dispatch restricted to that target.
void forEachTarget(const std::function<void(const std::string&)>& body) {
  int64_t all = hwy::SupportedTargets() & HWY_TARGETS;
  ASSERT_NE(all, 0);
  for (int64_t rest = all; rest; rest &= rest - 1) {
    const int64_t t = rest & -rest;
    hwy::SetSupportedTargetsForTest(t);
    const std::string name = hwy::TargetName(t);
    ASSERT_EQ(le::simd::target(), name);
    SCOPED_TRACE(name);
    body(name);
  }
  hwy::SetSupportedTargetsForTest(0);
}

std::vector<float> halfInputs(size_t n) {
  std::vector<float> v = {0.0f, -0.0f, 65504.0f, 65519.996f, 65520.0f, -65520.0f, 65536.0f, 1e30f,
                          std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                          floatOf(0x7FC00000), floatOf(0xFFC12345), floatOf(0x7F800001), floatOf(0x7FBFFFFF),
                          1.0f + std::ldexp(1.0f, -11), 1.0f + 3 * std::ldexp(1.0f, -11), std::ldexp(1.0f, -14),
                          std::ldexp(1.0f, -24), std::ldexp(1.0f, -25), 3 * std::ldexp(1.0f, -26),
                          std::ldexp(1.0f, -26), std::ldexp(1023.5f, -24), std::ldexp(1.0f, -149),
                          std::numeric_limits<float>::min(), -std::ldexp(1.5f, -24), 128.0f / 255.0f};
  std::mt19937 rng(7);
  while (v.size() < n) {
    const uint32_t r = rng();
    // Half the draws near the half range, the rest anywhere.
    v.push_back(v.size() % 2 ? floatOf(r) : floatOf((r & 0x80FFFFFFu) | ((100 + rng() % 50) << 23)));
  }
  return v;
}

TEST(Simd, F32ToF16EveryTarget) {
  const std::vector<float> in = halfInputs(100003);
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) want[i] = refHalf(in[i]);
  forEachTarget([&](const std::string&) {
    std::vector<uint16_t> got(in.size(), 0xDEAD);
    le::simd::f32ToF16(in.data(), got.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
      ASSERT_EQ(got[i], want[i]) << std::hex << "input bits " << bitsOf(in[i]) << " at " << std::dec << i;
  });
  uint16_t h;
  const float edge[3] = {65520.0f, 65504.0f, 1.0f + std::ldexp(1.0f, -11)};
  const uint16_t edgeWant[3] = {0x7C00, 0x7BFF, 0x3C00};
  for (int k = 0; k < 3; ++k) {
    le::simd::f32ToF16(&edge[k], &h, 1);
    EXPECT_EQ(h, edgeWant[k]);
  }
}

TEST(Simd, ScalarF32ToF16TurnsOutOfRangeIntoInfinity) {
  EXPECT_EQ(le::f32ToF16(std::nanf("")), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-std::nanf("")), 0xFC00);
  EXPECT_EQ(le::f32ToF16(65520.0f), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-1e9f), 0xFC00);
  for (float x : halfInputs(20000)) {
    if (!std::isnan(x)) {
      ASSERT_EQ(le::f32ToF16(x), refHalf(x)) << x;
    }
  }
}

TEST(Simd, F16ToF32AllHalvesEveryTarget) {
  std::vector<uint16_t> in(65536 + 5);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i);
  forEachTarget([&](const std::string&) {
    std::vector<float> got(in.size());
    le::simd::f16ToF32(in.data(), got.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
      ASSERT_EQ(bitsOf(got[i]), bitsOf(refFloat(in[i]))) << std::hex << "half " << in[i];
  });
}

TEST(Simd, RoundF16AndRoundF16MulEveryTarget) {
  const std::vector<float> a = halfInputs(4099);
  std::vector<float> b(a.size());
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  for (float& x : b) x = u(rng);
  forEachTarget([&](const std::string&) {
    std::vector<float> got(a.size()), rounded(a.size());
    le::simd::roundF16Mul(a.data(), b.data(), got.data(), a.size());
    le::simd::roundF16(a.data(), rounded.data(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      const float want = refRound(a[i]) * b[i];
      if (std::isnan(want)) ASSERT_TRUE(std::isnan(got[i]));
      else ASSERT_EQ(bitsOf(got[i]), bitsOf(want)) << i;
      if (std::isnan(a[i])) ASSERT_TRUE(std::isnan(rounded[i]));
      else ASSERT_EQ(bitsOf(rounded[i]), bitsOf(refRound(a[i]))) << i;
    }
  });
}

TEST(Simd, Rgb8ToPlanarF16EveryTarget) {
  const size_t n = 1037, stride = 1100;
  std::vector<uint8_t> rgb(3 * n);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
  rgb[0] = 255;
  rgb[1] = 128;
  rgb[2] = 0;
  forEachTarget([&](const std::string&) {
    std::vector<uint16_t> got(3 * stride, 0xBEEF);
    le::simd::rgb8ToPlanarF16(rgb.data(), got.data(), stride, n);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(got[c * stride + i], refHalf(static_cast<float>(rgb[3 * i + c]) / 255.0f)) << c << " " << i;
      for (size_t i = n; i < stride; ++i) ASSERT_EQ(got[c * stride + i], 0xBEEF);  // nothing past n
    }
    EXPECT_EQ(got[0], 0x3C00);
    EXPECT_EQ(got[stride], 0x3804);
    EXPECT_EQ(got[2 * stride], 0);
  });
}

float refMean(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, size_t n, size_t i) {
  float s = 0;
  for (size_t k = 0; k < 3; ++k) {
    const float d = std::fabs(refRound(refFloat(a[k * n + i]) - refFloat(b[k * n + i])));
    s = k == 0 ? d : s + d;
  }
  return refRound(s / 3.0f);
}

TEST(Simd, RetrievalTermsEveryTarget) {
  const size_t n = 333;
  std::mt19937 rng(11);
  std::vector<uint16_t> a(3 * n), b(3 * n), wh(n);
  std::vector<float> w(n);
  for (auto& v : a) v = refHalf(std::uniform_real_distribution<float>(-2, 2)(rng));
  for (auto& v : b) v = refHalf(std::uniform_real_distribution<float>(-2, 2)(rng));
  for (size_t i = 0; i < n; ++i) {
    w[i] = i % 7 == 0 ? 0.0f : std::uniform_real_distribution<float>(0, 5)(rng);
    wh[i] = refHalf(w[i]);
  }
  a[5] = 0x7C00;  // an infinite difference under a zero weight contributes 0
  w[5] = 0.0f;
  a[n + 17] = 0x7BFF;  // large differences overflow the half mean
  b[n + 17] = 0xFBFF;
  float wantExact = 0, wantPooled = 0, wantPart = 0;
  for (size_t i = 0; i < n; ++i) {
    const float m = refMean(a, b, n, i);
    const float term = w[i] == 0.0f ? 0.0f : w[i] * m;
    wantExact += term;
    if (i >= 40 && i < 299) wantPart += term;
    wantPooled += refRound(m * refFloat(wh[i]));
  }
  forEachTarget([&](const std::string&) {
    EXPECT_EQ(bitsOf(le::simd::retrieveTermExact(a.data(), b.data(), w.data(), n)), bitsOf(wantExact));
    EXPECT_EQ(bitsOf(le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), n, 40, 299)),
              bitsOf(wantPart));
    const float pooled = le::simd::retrieveTermPooled(a.data(), b.data(), wh.data(), n);
    EXPECT_TRUE(bitsOf(pooled) == bitsOf(wantPooled) || (std::isnan(pooled) && std::isnan(wantPooled)));
    EXPECT_EQ(le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), n, 9, 9), 0.0f);
    EXPECT_EQ(le::simd::retrieveTermExact(a.data(), a.data(), w.data(), n), 0.0f);
  });
}

// Every element-wise operation on every target has the scalar definition's
// bits (NaN for NaN), with and without Clip's bounds, over a length that
// leaves a tail on every vector width.
TEST(Simd, ElementwiseEveryTarget) {
  const size_t n = 77;
  const float special[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 1.0f, -1.0f, 2.5f, -2.5f, 1e-40f, 3e38f};
  std::vector<float> a(n), b(n), c(n);
  for (size_t i = 0; i < n; ++i) {
    a[i] = special[i % 11];
    b[i] = special[(i / 11 + i) % 11];
    c[i] = special[(i * 7 + 3) % 11] * 0.5f;
  }
  forEachTarget([&](const std::string&) {
    for (int op = 0; op < le::simd::kEwCount; ++op)
      for (int bounds = 0; bounds < (op == le::simd::kEwClip ? 4 : 1); ++bounds) {
        const float* lo = op != le::simd::kEwClip || (bounds & 1) ? b.data() : nullptr;
        const float* hi = op == le::simd::kEwClip && (bounds & 2) ? c.data() : nullptr;
        std::vector<float> got(n), want(n);
        le::simd::elementwise(op, a.data(), lo, hi, got.data(), n);
        le::simd::elementwiseScalar(op, a.data(), lo, hi, want.data(), n);
        for (size_t i = 0; i < n; ++i)
          ASSERT_TRUE((std::isnan(got[i]) && std::isnan(want[i])) || bitsOf(got[i]) == bitsOf(want[i]))
              << "op " << op << " bounds " << bounds << " at " << i << ": " << got[i] << " vs " << want[i];
      }
  });
}

TEST(Simd, Conv3x3EveryTarget) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1, 1);
  // Rows of one or more vectors and a few columns, of three vectors and a
  // part (the mouth head's), and narrower than a vector.
  for (auto [N, Cin, H, W, Cout] : {std::array<int, 5>{2, 3, 5, 37, 4}, std::array<int, 5>{1, 16, 9, 70, 3},
                                    std::array<int, 5>{1, 7, 3, 108, 2}, std::array<int, 5>{3, 1, 1, 1, 2}}) {
    std::vector<float> in(static_cast<size_t>(N) * Cin * H * W), wt(static_cast<size_t>(Cout) * Cin * 9),
        bias(Cout), want(static_cast<size_t>(N) * Cout * H * W);
    for (auto& v : in) v = u(rng);
    for (auto& v : wt) v = u(rng);
    for (auto& v : bias) v = u(rng);
    le::test::refConv3x3(in, N, Cin, H, W, wt, bias, Cout, want);
    forEachTarget([&](const std::string&) {
      std::vector<float> got(want.size(), -99.0f);
      // Two calls over split plane ranges, as the pool would issue them.
      const int planes = N * Cout, mid = planes / 2 + 1;
      le::simd::conv3x3Range(in.data(), N, Cin, H, W, wt.data(), bias.data(), Cout, got.data(), 0, mid);
      le::simd::conv3x3Range(in.data(), N, Cin, H, W, wt.data(), bias.data(), Cout, got.data(), mid, planes);
      for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(want[i])) << i;
    });
  }
  // The centre tap alone copies the plane.
  const int H = 7, W = 45;
  std::vector<float> in(H * W), wt(9, 0.0f), bias(1, 0.0f), out(H * W);
  for (size_t i = 0; i < in.size(); ++i) in[i] = u(rng);
  wt[4] = 1.0f;
  forEachTarget([&](const std::string&) {
    le::simd::conv3x3Range(in.data(), 1, 1, H, W, wt.data(), bias.data(), 1, out.data(), 0, 1);
    EXPECT_EQ(in, out);
  });
}

void refYuvRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int w, int step, uint8_t* rgb) {
  auto cl = [](int x) { return static_cast<uint8_t>(std::min(255, std::max(0, x))); };
  for (int x = 0; x < w; ++x) {
    const int j = (x / 2) * step;
    const int C = 298 * (y[x] - 16) + 128, D = u[j] - 128, E = v[j] - 128;
    rgb[3 * x] = cl((C + 409 * E) >> 8);
    rgb[3 * x + 1] = cl((C - 100 * D - 208 * E) >> 8);
    rgb[3 * x + 2] = cl((C + 516 * D) >> 8);
  }
}

TEST(Simd, Yuv420RowEveryTarget) {
  std::mt19937 rng(9);
  std::vector<uint8_t> y(2000), uv(4000);
  for (auto& b : y) b = static_cast<uint8_t>(rng());
  for (auto& b : uv) b = static_cast<uint8_t>(rng());
  forEachTarget([&](const std::string&) {
    for (int w : {1, 2, 3, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 1920}) {
      for (int step : {1, 2}) {
        // Exact-size rows on the heap, so an over-read shows under ASan; the
        // luma row starts at an odd address.
        std::vector<uint8_t> ybuf(w + 1);
        std::copy(y.begin(), y.begin() + w, ybuf.begin() + 1);
        const uint8_t* yrow = ybuf.data() + 1;
        const int chroma = step == 1 ? (w + 1) / 2 : 2 * ((w + 1) / 2);
        std::vector<uint8_t> ur(uv.begin(), uv.begin() + chroma), vr(uv.begin() + 300, uv.begin() + 300 + chroma);
        const uint8_t* u = ur.data();
        const uint8_t* v = step == 1 ? vr.data() : ur.data() + 1;
        std::vector<uint8_t> got(3 * w + 3, 0xAB), want(3 * w + 3, 0xAB);
        le::simd::yuv420RowToRgb24(yrow, u, v, w, step, got.data() + 1);
        refYuvRow(yrow, u, v, w, step, want.data() + 1);
        ASSERT_EQ(got, want) << "width " << w << " step " << step;
      }
    }
    const uint8_t black[2] = {16, 16}, white[2] = {235, 235}, mid[1] = {128};
    uint8_t px[6];
    le::simd::yuv420RowToRgb24(black, mid, mid, 2, 1, px);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 6), std::vector<uint8_t>(6, 0));
    le::simd::yuv420RowToRgb24(white, mid, mid, 2, 1, px);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 6), std::vector<uint8_t>(6, 255));
  });
}

TEST(Simd, Rgb24ToI420EveryTarget) {
  std::mt19937 rng(11);
  forEachTarget([&](const std::string&) {
    for (auto [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 3}, {17, 5}, {31, 2}, {64, 4}, {65, 3}, {1920, 4}}) {
      std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
      for (auto& b : rgb) b = static_cast<uint8_t>(rng());
      // Exact-size planes on the heap, so that a write past one shows under ASan.
      const int cw = (w + 1) / 2, ch = (h + 1) / 2;
      std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(static_cast<size_t>(cw) * ch), v(u.size()), want;
      le::simd::rgb24ToI420(rgb.data(), w, h, y.data(), w, u.data(), cw, v.data(), cw, 0, h);
      le::test::refI420(rgb.data(), w, h, want);
      std::vector<uint8_t> got = y;
      got.insert(got.end(), u.begin(), u.end());
      got.insert(got.end(), v.begin(), v.end());
      ASSERT_EQ(got, want) << w << "x" << h;
    }
    // BT.601 limited range: white, black and pure red.
    const uint8_t px[12] = {255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0};
    uint8_t y[4], u[1], v[1];
    le::simd::rgb24ToI420Rows(px, nullptr, 2, y, nullptr, u, v);
    EXPECT_EQ(y[0], 235);
    EXPECT_EQ(u[0], 128);
    le::simd::rgb24ToI420Rows(px + 6, nullptr, 2, y, nullptr, u, v);
    EXPECT_EQ(y[0], 16);
    EXPECT_EQ(v[0], 128);
    const uint8_t red[6] = {255, 0, 0, 255, 0, 0};
    le::simd::rgb24ToI420Rows(red, red, 2, y, y + 2, u, v);
    EXPECT_EQ(std::vector<int>({y[0], y[3], u[0], v[0]}), std::vector<int>({82, 82, 90, 240}));
  });
}

// A row pair through RGB and back, in place and not, for a lone last row
// too: what the two conversions' references give.
TEST(Simd, I420ThroughRgbEveryTarget) {
  std::mt19937 rng(12);
  forEachTarget([&](const std::string&) {
    for (int w : {1, 2, 3, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 1920}) {
      for (int h : {1, 2}) {
        const int cw = (w + 1) / 2;
        // Exact-size rows on the heap, so an over-read or over-write shows under ASan.
        std::vector<uint8_t> ya(w), yb(w), u(cw), v(cw);
        for (auto* p : {&ya, &yb, &u, &v})
          for (auto& b : *p) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3), want;
        refYuvRow(ya.data(), u.data(), v.data(), w, 1, rgb.data());
        if (h == 2) refYuvRow(yb.data(), u.data(), v.data(), w, 1, rgb.data() + 3 * w);
        le::test::refI420(rgb.data(), w, h, want);
        std::vector<uint8_t> oya(w), oyb(w, 0xAB), ou(cw), ov(cw);
        const uint8_t* b = h == 2 ? yb.data() : nullptr;
        le::simd::i420ThroughRgbRows(ya.data(), b, u.data(), v.data(), w, oya.data(), oyb.data(), ou.data(), ov.data());
        std::vector<uint8_t> got = oya;
        if (h == 2) got.insert(got.end(), oyb.begin(), oyb.end());
        else ASSERT_EQ(oyb, std::vector<uint8_t>(w, 0xAB)) << "a lone row writes no second row";
        got.insert(got.end(), ou.begin(), ou.end());
        got.insert(got.end(), ov.begin(), ov.end());
        ASSERT_EQ(got, want) << w << "x" << h;
        le::simd::i420ThroughRgbRows(ya.data(), b, u.data(), v.data(), w, ya.data(), h == 2 ? yb.data() : nullptr,
                                     u.data(), v.data());
        got = ya;
        if (h == 2) got.insert(got.end(), yb.begin(), yb.end());
        got.insert(got.end(), u.begin(), u.end());
        got.insert(got.end(), v.begin(), v.end());
        ASSERT_EQ(got, want) << w << "x" << h << " in place";
      }
    }
  });
}

TEST(Simd, Rgb24ToRgbaEveryTarget) {
  std::mt19937 rng(3);
  std::vector<uint8_t> rgb(3 * 300);
  for (auto& b : rgb) b = static_cast<uint8_t>(rng());
  forEachTarget([&](const std::string&) {
    for (size_t n : {0, 1, 15, 16, 17, 63, 64, 65, 299}) {
      // Exact sizes on the heap, so an over-read or over-write shows under ASan.
      std::vector<uint8_t> in(rgb.begin(), rgb.begin() + 3 * n), got(4 * n, 0xAB);
      le::simd::rgb24ToRgba(in.data(), got.data(), n);
      for (size_t p = 0; p < n; ++p)
        ASSERT_EQ(std::vector<uint8_t>(got.begin() + 4 * p, got.begin() + 4 * p + 4),
                  std::vector<uint8_t>({in[3 * p], in[3 * p + 1], in[3 * p + 2], 255}))
            << "n " << n << " pixel " << p;
    }
  });
}

}  // namespace
