// The streaming audio-to-expression engine through its C API, on the
// reference avatar's procedural audio networks. Built twice: with the shared
// encoders' directory holding the short-window pair (LE_A2X_SHORT=1) and
// without it, so every stream test runs in both frontends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "audio/a2x.h"
#include "audio/shared_w2v.h"
#include "le/le_a2x.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using le::test::ScopedEnv;
using le::test::TempDir;

namespace {

const std::string kFixtures = LE_FIXTURES;
const std::string kW2v = std::string(LE_FIXTURES) + (LE_A2X_SHORT ? "/w2v/w2v_8s.onnx" : "/w2v-legacy/w2v_8s.onnx");
constexpr int kKp = 63;

// Speech-like audio: voiced syllables (a harmonic series under a smooth
// envelope, pitch gliding) separated by silences, deterministic.
std::vector<float> speech(double seconds, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const size_t n = static_cast<size_t>(seconds * 16000);
  std::vector<float> x(n, 0.0f);
  size_t at = 1600;
  while (at < n) {
    const size_t len = 2400 + static_cast<size_t>(u(rng) * 4000);
    const double f0 = 110 + 80 * u(rng);
    for (size_t i = 0; i < len && at + i < n; ++i) {
      const double t = static_cast<double>(i) / 16000, env = std::sin(M_PI * i / len);
      double v = 0;
      for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * k * f0 * (1 + 0.1 * t) * t) / k;
      x[at + i] = static_cast<float>(0.3 * env * v);
    }
    at += len + static_cast<size_t>(u(rng) < 0.3 ? 8000 : 1200 + u(rng) * 2000);
  }
  return x;
}

struct Handle {
  le_a2x* a = nullptr;
  explicit Handle(const std::string& bundle, int threads = 1) {
    a = le_a2x_create(bundle.c_str(), threads);
  }
  ~Handle() { le_a2x_destroy(a); }
  operator le_a2x*() const { return a; }
};

// A copy of the tiny bundle whose files a test may change.
struct BundleCopy {
  TempDir dir;
  std::string path;
  explicit BundleCopy(const std::string& from = kFixtures + "/tiny") : path(dir / "b") {
    fs::copy(from, path, fs::copy_options::recursive);
  }
  void meta(const std::string& text) const { le::test::writeFile(path + "/a2x_meta.json", text); }
  void xsTarget(int rows) const {
    std::vector<float> v(static_cast<size_t>(rows) * kKp);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i / kKp) + 0.001f * (i % kKp);
    le::test::writeFile(path + "/xs_target.bin", std::string(reinterpret_cast<const char*>(v.data()), v.size() * 4));
  }
};

struct Frames {
  std::vector<int> idx;
  std::vector<float> xs, out, wn;
  std::vector<std::pair<long, int>> readyAt;  // (samples pushed, frames pulled so far)
  size_t size() const { return idx.size(); }
};

// Pulls everything available now, in pulls of `chunk`.
void drain(le_a2x* a, Frames& f, int chunk = 5) {
  for (;;) {
    const int n = le_a2x_avail(a);
    ASSERT_GE(n, 0) << le_a2x_last_error();
    if (n == 0) return;
    std::vector<int> idx(chunk);
    std::vector<float> xs(chunk * kKp), out(chunk * kKp), wn(chunk);
    const int got = le_a2x_pull_wn(a, idx.data(), xs.data(), out.data(), wn.data(), chunk);
    ASSERT_GT(got, 0) << le_a2x_last_error();
    f.idx.insert(f.idx.end(), idx.begin(), idx.begin() + got);
    f.xs.insert(f.xs.end(), xs.begin(), xs.begin() + got * kKp);
    f.out.insert(f.out.end(), out.begin(), out.begin() + got * kKp);
    f.wn.insert(f.wn.end(), wn.begin(), wn.begin() + got);
  }
}

// Streams `x` in pushes of the given sizes (cycled), polling after each push,
// then finishes and drains.
Frames stream(le_a2x* a, const std::vector<float>& x, const std::vector<size_t>& sizes) {
  Frames f;
  size_t at = 0, k = 0;
  while (at < x.size()) {
    const size_t n = std::min(sizes[k++ % sizes.size()], x.size() - at);
    EXPECT_EQ(le_a2x_push(a, x.data() + at, static_cast<int>(n)), 1);
    at += n;
    drain(a, f);
    f.readyAt.emplace_back(static_cast<long>(at), static_cast<int>(f.size()));
  }
  le_a2x_finish(a);
  drain(a, f);
  return f;
}

class A2x : public testing::Test {
 protected:
  ScopedEnv w2v{"W2V_ONNX", kW2v.c_str()};
};

}  // namespace

TEST_F(A2x, UsesTheFrontendItsEncoderDirectoryOffers) {
  Handle a(kFixtures + "/tiny");
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  EXPECT_EQ(le_a2x_nt(a), 12);
  EXPECT_EQ(le_a2x_width(a), 1);
  le_a2x_info info{};
  info.size = sizeof info;
  ASSERT_EQ(le_a2x_get_info(a, &info), 1) << le_a2x_last_error();
  EXPECT_STREQ(info.frontend, LE_A2X_SHORT ? "short-window" : "8s-window");
  EXPECT_EQ(info.right_context, 12);
  EXPECT_EQ(info.lag, LE_A2X_SHORT ? 12 + 8 : 12);
  EXPECT_GT(info.lookahead, 0);
  EXPECT_EQ(info.threads, 1);
  info.size = 0;
  EXPECT_EQ(le_a2x_get_info(a, &info), 0);
  EXPECT_EQ(le_a2x_get_info(nullptr, &info), 0);
}

// The frames ready and their values depend on the audio only: pushes of one
// sample, of random sizes and of everything at once, each followed by a poll.
TEST_F(A2x, PushSizeInvariantBitForBit) {
  const std::vector<float> x = speech(10.0);
  std::mt19937 rng(7);
  std::vector<size_t> random(997);
  for (auto& s : random) s = 1 + rng() % 3000;
  Frames ref;
  {
    Handle a(kFixtures + "/tiny");
    ASSERT_TRUE(a.a) << le_a2x_last_error();
    ref = stream(a, x, {1});
  }
  ASSERT_EQ(ref.size(), 250u);
  // Frames become ready while audio arrives, not only at the end.
  EXPECT_GT(ref.readyAt[x.size() / 2].second, 80);
  for (const auto& sizes : {random, std::vector<size_t>{x.size()}, std::vector<size_t>{640}}) {
    Handle a(kFixtures + "/tiny");
    le_a2x_set_eager(a, sizes.size() == 1 ? 1 : 0);  // the cadence does not depend on it
    const Frames f = stream(a, x, sizes);
    EXPECT_EQ(f.idx, ref.idx);
    EXPECT_EQ(0, std::memcmp(f.out.data(), ref.out.data(), ref.out.size() * 4)) << sizes.size();
    EXPECT_EQ(0, std::memcmp(f.wn.data(), ref.wn.data(), ref.wn.size() * 4));
    for (const auto& [pushed, pulled] : f.readyAt) EXPECT_EQ(pulled, ref.readyAt[pushed - 1].second) << pushed;
  }
  // Values actually vary with the speech (the comparison above is not of zeros).
  float lo = 1e9f, hi = -1e9f;
  for (size_t k = 0; k < ref.size(); ++k) {
    const float d = ref.out[k * kKp + 37] - ref.xs[k * kKp + 37];
    lo = std::min(lo, d);
    hi = std::max(hi, d);
  }
  EXPECT_GT(hi - lo, 0.03f);
}

TEST_F(A2x, FrameClockCountsBlocksAndTheLastPartialFrame) {
  BundleCopy b;
  b.meta(R"({"h": 32, "window": 0, "left": 4, "layers": 2, "width": true})");
  ScopedEnv right("LE_A2X_W2V_RIGHT", "0");
  const std::vector<float> x = speech(1.0);
  Handle a(b.path);
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  // Short-window frontend: a block's window ends `right` frames after it, so
  // with right = 0 a block is ready once all its samples are in.
  const int block = LE_A2X_SHORT ? 5120 : 4481;
  ASSERT_EQ(le_a2x_push(a, x.data(), 4400), 1);
  EXPECT_EQ(le_a2x_avail(a), 0);
  EXPECT_EQ(le_a2x_total(a), -1);
  ASSERT_EQ(le_a2x_push(a, x.data() + 4400, 600), 1);  // 5000 samples: the block counts
  EXPECT_EQ(le_a2x_avail(a), 5000 >= block ? 8 : 0);
  ASSERT_EQ(le_a2x_push(a, x.data() + 5000, 120), 1);  // 5120
  EXPECT_EQ(le_a2x_avail(a), 8);
  le_a2x_finish(a);
  EXPECT_EQ(le_a2x_total(a), 8);
  ASSERT_EQ(le_a2x_push(a, x.data(), 1), 0);  // no audio after finish
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: audio after le_a2x_finish (reset first)");

  le_a2x_reset(a, 0, 1, 1);
  EXPECT_EQ(le_a2x_total(a), -1);
  ASSERT_EQ(le_a2x_push(a, x.data(), 4401), 1);
  le_a2x_finish(a);
  EXPECT_EQ(le_a2x_total(a), 7);  // ceil(4401 / 640)
  Frames f;
  drain(a, f);
  EXPECT_EQ(f.size(), 7u);

  // With the default right context and look-ahead, frames wait for both.
  le_a2x_reset(a, 0, 1, 1);
  ScopedEnv right12("LE_A2X_W2V_RIGHT", "12");
  Handle d(kFixtures + "/tiny");
  ASSERT_EQ(le_a2x_push(d, x.data(), 16000), 1);
  const int lag = le::a2x::implOf(d)->lag(), look = le::a2x::implOf(d)->lookahead();
  EXPECT_EQ(look, 2);
  const int expect = LE_A2X_SHORT ? (24 - 12) / 8 * 8 - look : 24 - lag - look;  // 16000 samples count 24 frames
  int got = 0;
  for (int n; (n = le_a2x_avail(d)) > 0;) got += le_a2x_pull(d, nullptr, nullptr, nullptr, n);
  EXPECT_EQ(got, expect);
}

TEST_F(A2x, TraversalLoopsPingPongsAndRunsBackwards) {
  const std::vector<float> x = speech(1.0);
  auto rows = [&](const std::string& bundle, int start, int dir, int loop, int n) {
    Handle a(bundle);
    EXPECT_TRUE(a.a) << le_a2x_last_error();
    le_a2x_reset(a, start, dir, loop);
    le_a2x_push(a, x.data(), static_cast<int>(x.size()));
    le_a2x_finish(a);
    std::vector<int> idx(n);
    std::vector<float> xs(n * kKp), out(n * kKp);
    EXPECT_EQ(le_a2x_pull(a, idx.data(), xs.data(), out.data(), n), n);
    for (int k = 0; k < n; ++k) EXPECT_EQ(xs[k * kKp], static_cast<float>(idx[k]));
    return idx;
  };
  BundleCopy one, four;
  one.xsTarget(1);
  four.xsTarget(4);
  EXPECT_EQ(rows(one.path, 0, 1, 1, 5), (std::vector<int>{0, 0, 0, 0, 0}));
  EXPECT_EQ(rows(four.path, 0, 1, 0, 8), (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1}));
  EXPECT_EQ(rows(four.path, 0, -1, 1, 6), (std::vector<int>{0, 3, 2, 1, 0, 3}));
  EXPECT_EQ(rows(four.path, 2, -1, 0, 6), (std::vector<int>{2, 1, 0, 1, 2, 3}));

  // reset(-1) continues where the traversal stood.
  Handle a(four.path);
  le_a2x_reset(a, 1, 1, 0);
  le_a2x_push(a, x.data(), static_cast<int>(x.size()));
  le_a2x_finish(a);
  int idx[4];
  ASSERT_EQ(le_a2x_pull(a, idx, nullptr, nullptr, 4), 4);  // 1 2 3 2, next row 1
  le_a2x_reset(a, -1, 1, 0);
  le_a2x_push(a, x.data(), static_cast<int>(x.size()));
  le_a2x_finish(a);
  ASSERT_EQ(le_a2x_pull(a, idx, nullptr, nullptr, 3), 3);
  EXPECT_EQ(std::vector<int>(idx, idx + 3), (std::vector<int>{1, 2, 3}));
}

// After finish, the stream's deltas are the whole-clip deltas; the two
// frontends agree within the tolerance their inputs differ by.
TEST_F(A2x, FinishedStreamMatchesTheWholeClip) {
  const std::vector<float> x = speech(9.3, 3);
  Handle a(kFixtures + "/tiny");
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  const int T = (static_cast<int>(x.size()) + 639) / 640;
  std::vector<float> clip(static_cast<size_t>(T) * kKp), wn(T);
  EXPECT_EQ(le_a2x_deltas(a, x.data(), static_cast<int>(x.size()), clip.data(), T - 1), -2);
  ASSERT_EQ(le_a2x_deltas_wn(a, x.data(), static_cast<int>(x.size()), clip.data(), wn.data(), T), T)
      << le_a2x_last_error();
  ASSERT_EQ(le_a2x_push(a, x.data(), static_cast<int>(x.size())), 1);
  le_a2x_finish(a);
  Frames f;
  drain(a, f, 64);
  ASSERT_EQ(f.size(), static_cast<size_t>(T));
  if (!LE_A2X_SHORT) {
    for (size_t i = 0; i < clip.size(); ++i) {
      const float expect = f.xs[i] + clip[i];
      ASSERT_EQ(std::memcmp(&expect, &f.out[i], 4), 0) << i;
    }
    EXPECT_EQ(0, std::memcmp(wn.data(), f.wn.data(), wn.size() * 4));
  } else {
    // Lower-lip opening of the two frontends. Each normalises the loudness
    // of its own window (2 s against 8 s), so their levels differ where the
    // loudness around a frame does; the shape of the curve agrees.
    std::vector<double> s(T), w(T);
    double peak = 0, worst = 0, sum = 0;
    for (int t = 0; t < T; ++t) {
      s[t] = f.out[t * kKp + 37] - f.xs[t * kKp + 37];
      w[t] = clip[t * kKp + 37];
      peak = std::max(peak, std::abs(w[t]));
      worst = std::max(worst, std::abs(s[t] - w[t]));
      sum += std::abs(s[t] - w[t]);
    }
    double ms = 0, mw = 0, sw = 0, ss = 0, ww = 0;
    for (int t = 0; t < T; ++t) ms += s[t] / T, mw += w[t] / T;
    for (int t = 0; t < T; ++t) {
      sw += (s[t] - ms) * (w[t] - mw);
      ss += (s[t] - ms) * (s[t] - ms);
      ww += (w[t] - mw) * (w[t] - mw);
    }
    const double corr = sw / std::sqrt(ss * ww);
    std::printf("short-window vs 8 s lower lip: peak %.4f, mean difference %.4f, worst %.4f, correlation %.3f\n",
                peak, sum / T, worst, corr);
    EXPECT_GT(peak, 0.03);
    EXPECT_LT(sum / T, 0.1 * peak);
    EXPECT_LT(worst, 0.75 * peak);
    EXPECT_GT(corr, 0.9);
  }
}

TEST_F(A2x, WidthFollowsTheGraphAndPullWnWritesZerosWithoutIt) {
  BundleCopy b(kFixtures + "/tiny-current");  // its encoder has no width output
  b.meta(R"({"h": 32, "window": 1, "left": 4, "layers": 2, "width": 1})");
  le_a2x* a = le_a2x_create(b.path.c_str(), 1);
  ASSERT_TRUE(a) << le_a2x_last_error();
  EXPECT_EQ(le_a2x_width(a), 0);  // the graph's, not the meta's
  const std::vector<float> x = speech(2.0);
  le_a2x_push(a, x.data(), static_cast<int>(x.size()));
  le_a2x_finish(a);
  Frames f;
  drain(a, f);
  ASSERT_EQ(f.size(), 50u);
  for (float w : f.wn) EXPECT_EQ(w, 0.0f);
  std::vector<float> out(50 * kKp), wn(50);
  EXPECT_EQ(le_a2x_deltas_wn(a, x.data(), static_cast<int>(x.size()), out.data(), wn.data(), 50), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  le_a2x_destroy(a);
}

// Every call survives NULL buffers, with the family's failure value and a
// reason.
TEST_F(A2x, NullHandlesAndBuffersFailCleanly) {
  // NULL handles: tests/header_c99.c, through the C compiler.
  float buf[64 * 63] = {};
  int idx[4];
  Handle a(kFixtures + "/tiny");
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  EXPECT_FAILS(le_a2x_push(a, nullptr, 5), 0, le_a2x_last_error, "le_a2x_push: bad args");
  EXPECT_EQ(le_a2x_push(a, nullptr, 0), 1);
  EXPECT_EQ(le_a2x_push(a, buf, -3), 1);
  buf[2] = NAN;
  EXPECT_FAILS(le_a2x_push(a, buf, 4), 0, le_a2x_last_error, "le_a2x_push: non-finite sample at index 2");
  EXPECT_EQ(le_a2x_deltas(a, buf, 64, buf, 4), -1);
  buf[2] = 0;
  EXPECT_FAILS(le_a2x_deltas(a, nullptr, 64, buf, 4), -1, le_a2x_last_error, "le_a2x_deltas: bad args");
  EXPECT_EQ(le_a2x_deltas(a, buf, 0, buf, 4), 0);
  EXPECT_FAILS(le_a2x_pull(a, idx, buf, buf, 0), 0, le_a2x_last_error, "");
}

// A bundle cannot make creation read past a file or size a tensor from a
// count no file backs.
TEST_F(A2x, HostileBundlesAreRefusedAtCreation) {
  struct Case {
    const char* meta;
    int posFloats;  // -1: keep the file
    const char* error;
  };
  const Case cases[] = {
      {R"({"h": 32, "left": 4, "layers": 2})", -1,
       "le_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {R"({"h": 32, "window": -1, "left": 4})", -1,
       "le_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {R"({"h": "x", "window": "y", "left": 4})", -1,
       "le_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {R"({"h": 2000000000, "window": 1, "left": 4})", -1, "le_a2x_create: a2x_meta h=2000000000 out of range 1..4096"},
      {R"({"h": 0, "window": 1, "left": 4})", -1, "le_a2x_create: a2x_meta h=0 out of range 1..4096"},
      {R"({"h": 32, "window": 1, "left": 4, "layers": 99999999999999999999999})", -1,
       "le_a2x_create: a2x_meta layers=9223372036854775807 out of range 1..64"},
      {R"({"h": 32, "window": 300, "left": 300, "layers": 4})", -1,
       "le_a2x_create: a2x_meta window/left x layers span 2400 frames (at most 2048)"},
      {R"({"h": 4096, "window": 1, "left": 4, "layers": 2})", -1, "le_a2x_create: pos/norm read failed"},
      {R"({"h": 32, "window": 1, "left": 4, "layers": 2})", 63, "le_a2x_create: pos/norm read failed"},
      {R"({"h": 32, "window": 1, "left": 4, "layers": 2, "layers" : 9})", -1,
       "le_a2x_create: a2x_meta.json: the key \"layers\" appears more than once"},
  };
  for (const Case& c : cases) {
    BundleCopy b;
    b.meta(c.meta);
    if (c.posFloats >= 0) fs::resize_file(b.path + "/a2x_pos.f32", static_cast<uintmax_t>(c.posFloats) * 4);
    EXPECT_EQ(le_a2x_create(b.path.c_str(), 1), nullptr) << c.meta;
    EXPECT_STREQ(le_a2x_last_error(), c.error) << c.meta;
  }
  BundleCopy b;
  fs::remove(b.path + "/a2x_meta.json");
  EXPECT_EQ(le_a2x_create(b.path.c_str(), 1), nullptr);
  EXPECT_EQ(std::string(le_a2x_last_error()), "le_a2x_create: a2x_meta.json missing in " + b.path);
  BundleCopy norm;
  fs::resize_file(norm.path + "/a2x_norm.f32", 125 * 4);
  EXPECT_FAILS(le_a2x_create(norm.path.c_str(), 1), nullptr, le_a2x_last_error, "le_a2x_create: pos/norm read failed");
  BundleCopy swapped;  // the decoder's file as the encoder
  fs::copy_file(swapped.path + "/a2x_dec.onnx", swapped.path + "/a2x_enc_stream.onnx",
                fs::copy_options::overwrite_existing);
  EXPECT_EQ(le_a2x_create(swapped.path.c_str(), 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: a2x_enc_stream.onnx lacks the input \"feat\"");
  {
    ScopedEnv unset("W2V_ONNX", nullptr);
    EXPECT_EQ(le_a2x_create((kFixtures + "/tiny").c_str(), 1), nullptr);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: $W2V_ONNX not set");
  }
}

// A run that fails mid-stream stops the stream with the reason: avail says
// -1 and every later call repeats it, until reset.
TEST_F(A2x, AFailureInsideTheStreamIsReportedUntilReset) {
  BundleCopy b;
  fs::copy_file(b.path + "/a2x_dec_m62.onnx", b.path + "/a2x_dec.onnx", fs::copy_options::overwrite_existing);
  Handle a(b.path);
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  const std::vector<float> x = speech(3.0);
  ASSERT_EQ(le_a2x_push(a, x.data(), static_cast<int>(x.size())), 1);
  const std::string why = "le_a2x extend: decoder output m: expected 63 floats, got 62";
  EXPECT_FAILS(le_a2x_avail(a), -1, le_a2x_last_error, why);
  EXPECT_FAILS(le_a2x_avail(a), -1, le_a2x_last_error, why);
  int idx[2];
  EXPECT_FAILS(le_a2x_pull(a, idx, nullptr, nullptr, 2), 0, le_a2x_last_error, why);
  EXPECT_FAILS(le_a2x_push(a, x.data(), 10), 0, le_a2x_last_error, why);
  EXPECT_FAILS(le_a2x_total(a), -1, le_a2x_last_error, why);
  std::vector<float> out(75 * kKp);
  EXPECT_EQ(le_a2x_deltas(a, x.data(), static_cast<int>(x.size()), out.data(), 75), -1);
  EXPECT_EQ(std::string(le_a2x_last_error()), "le_a2x_deltas: decoder output m: expected 63 floats, got 62");
  le_a2x_reset(a, 0, 1, 1);
  EXPECT_FAILS(le_a2x_avail(a), 0, le_a2x_last_error, "");
}

// Ten minutes of speech in 20 ms pushes keep every retained buffer bounded.
TEST_F(A2x, TenMinuteStreamKeepsBoundedBuffers) {
  Handle a(kFixtures + "/tiny");
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  const std::vector<float> x = speech(30.0, 5);
  std::vector<float> out(64 * kKp);
  long pulled = 0;
  for (int rep = 0; rep < 20; ++rep)
    for (size_t at = 0; at < x.size(); at += 320) {
      ASSERT_EQ(le_a2x_push(a, x.data() + at, 320), 1);
      for (int n; (n = le_a2x_avail(a)) > 0;) pulled += le_a2x_pull(a, nullptr, nullptr, out.data(), 64);
      ASSERT_EQ(le_a2x_avail(a), 0) << le_a2x_last_error();
    }
  le_a2x_finish(a);
  for (int n; (n = le_a2x_avail(a)) > 0;) pulled += le_a2x_pull(a, nullptr, nullptr, out.data(), 64);
  EXPECT_EQ(pulled, 15000);
  const auto hw = le::a2x::implOf(a)->highWater();
  std::printf("10 min high-water marks: audio %zu samples, features %zu rows, encoder %zu rows, deltas %zu rows\n",
              hw.audio, hw.feat, hw.ctx, hw.deltas);
  EXPECT_LE(hw.audio, 128000u + 32000u + 81920u + 5120u);
  EXPECT_LE(hw.feat, 32u + 200u + 64u + 8u);
  EXPECT_LE(hw.ctx, 128u + 64u);
  EXPECT_LE(hw.deltas, 128u + 64u);
}

// The procedural networks behave as designed: a synthesised sentence opens
// the lips while voiced and leaves them on the idle track in silence.
TEST_F(A2x, SpeechOpensTheLipsAndSilenceLeavesThemIdle) {
  TempDir tmp;
  const std::string wav = tmp / "s.wav", raw = tmp / "s.f32";
  const std::string cmd = "espeak-ng -w '" + wav + "' 'Hello there. This avatar speaks when you talk to it.' && "
                          "ffmpeg -loglevel error -y -i '" + wav + "' -ar 16000 -ac 1 -f f32le '" + raw + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "espeak-ng and ffmpeg are installed by scripts/setup.sh";
  const std::string bytes = le::test::readFile(raw);
  std::vector<float> x(16000, 0.0f);  // 1 s of silence, the sentence, 2 s of silence
  const size_t n = bytes.size() / 4;
  x.resize(16000 + n);
  std::memcpy(&x[16000], bytes.data(), n * 4);
  x.resize(x.size() + 32000, 0.0f);

  Handle a(kFixtures + "/tiny");
  ASSERT_TRUE(a.a) << le_a2x_last_error();
  const Frames f = stream(a, x, {320});
  const int T = static_cast<int>(f.size());
  ASSERT_EQ(T, static_cast<int>((x.size() + 639) / 640));
  std::vector<double> rms(T), lip(T);
  double top = 0;
  for (int t = 0; t < T; ++t) {
    double e = 0;
    for (int i = t * 640; i < std::min<int>((t + 1) * 640, static_cast<int>(x.size())); ++i) e += x[i] * x[i];
    rms[t] = std::sqrt(e / 640);
    top = std::max(top, rms[t]);
    lip[t] = f.out[t * kKp + 37] - f.xs[t * kKp + 37];
  }
  double voiced = 0, silent = 0;
  int nv = 0, ns = 0;
  for (int t = 0; t < T; ++t) {
    if (rms[t] > 0.2 * top) voiced += lip[t], ++nv;
    bool quiet = true;  // silent for the last 10 frames too
    for (int k = std::max(0, t - 10); k <= t; ++k) quiet = quiet && rms[k] < 1e-4;
    if (quiet) silent = std::max(silent, std::abs(lip[t])), ++ns;
  }
  voiced /= std::max(1, nv);
  EXPECT_GT(voiced, 0.02) << nv << " voiced frames";
  EXPECT_GT(ns, 40);
  EXPECT_LT(silent, 1e-4) << ns << " silent frames";
}

// Silence priming starts the decoder from its state after silence, in the
// stream and the whole clip alike; the environment overrides the meta.
TEST_F(A2x, SilencePrimingSeedsBothPaths) {
  BundleCopy b;
  b.meta(R"({"h": 32, "window": 1, "left": 4, "layers": 2, "width": true, "silence_prime": 30})");
  const std::vector<float> x = speech(3.0, 9);
  le_a2x* a = le_a2x_create(b.path.c_str(), 1);
  ASSERT_TRUE(a) << le_a2x_last_error();
  const int T = 75;
  std::vector<float> clip(T * kKp);
  ASSERT_EQ(le_a2x_deltas(a, x.data(), static_cast<int>(x.size()), clip.data(), T), T);
  le_a2x_push(a, x.data(), static_cast<int>(x.size()));
  le_a2x_finish(a);
  Frames f;
  drain(a, f);
  ASSERT_EQ(f.size(), static_cast<size_t>(T));
  if (!LE_A2X_SHORT)
    for (size_t i = 0; i < clip.size(); ++i) {
      const float expect = f.xs[i] + clip[i];
      ASSERT_EQ(std::memcmp(&expect, &f.out[i], 4), 0) << i;
    }
  le_a2x_destroy(a);
  ScopedEnv off("LE_A2X_SILENCE_PRIME", "0");
  a = le_a2x_create(b.path.c_str(), 1);
  std::vector<float> unprimed(T * kKp);
  ASSERT_EQ(le_a2x_deltas(a, x.data(), static_cast<int>(x.size()), unprimed.data(), T), T);
  EXPECT_NE(unprimed, clip);  // the decoder started from zeros, not from its state after silence
  le_a2x_destroy(a);
}

// Nothing non-finite becomes a keypoint: tables are checked at load, each
// network's output when it is read (a failure naming the network, kept until
// reset). The samples a host pushes are the samples fuzz target's.
TEST_F(A2x, NonFiniteValuesNeverBecomeKeypoints) {
  struct Table {
    const char* file;
    size_t at;
    float value;
    const char* says;
  };
  for (const Table& t : {Table{"a2x_norm.f32", 70, NAN, "le_a2x_create: a2x_norm.f32 holds a non-finite value (index 70)"},
                         Table{"a2x_pos.f32", 5, INFINITY, "le_a2x_create: a2x_pos.f32 holds a non-finite value (index 5)"},
                         Table{"a2x_norm.f32", 3, 3e38f,
                               "le_a2x_create: a2x_norm.f32: value 3e+38 at index 3 is beyond +-1000"}}) {
    BundleCopy b;
    std::string bytes = le::test::readFile(b.path + "/" + t.file);
    std::memcpy(&bytes[t.at * 4], &t.value, 4);
    le::test::writeFile(b.path + "/" + t.file, bytes);
    EXPECT_EQ(le_a2x_create(b.path.c_str(), 1), nullptr) << t.says;
    EXPECT_STREQ(le_a2x_last_error(), t.says);
  }
  const std::vector<float> x = speech(3.0);
  struct Net {
    const char* bad;
    const char* member;
    const char* says;
  };
  for (const Net& n : {Net{"a2x_enc_stream_nan.onnx", "a2x_enc_stream.onnx",
                           "le_a2x extend: a2x_enc_stream.onnx output holds a non-finite value (index 0)"},
                       Net{"a2x_dec_nan.onnx", "a2x_dec.onnx",
                           "le_a2x extend: a2x_dec.onnx output m holds a non-finite value (index 0)"}}) {
    BundleCopy b;
    fs::copy_file(b.path + "/" + n.bad, b.path + "/" + n.member, fs::copy_options::overwrite_existing);
    Handle a(b.path);
    ASSERT_TRUE(a.a) << le_a2x_last_error();
    ASSERT_EQ(le_a2x_push(a, x.data(), static_cast<int>(x.size())), 1);
    le_a2x_finish(a);
    EXPECT_FAILS(le_a2x_avail(a), -1, le_a2x_last_error, n.says);
    float out[kKp];
    EXPECT_FAILS(le_a2x_pull(a, nullptr, nullptr, out, 1), 0, le_a2x_last_error, n.says);
    std::vector<float> deltas(75 * kKp);
    EXPECT_EQ(le_a2x_deltas(a, x.data(), static_cast<int>(x.size()), deltas.data(), 75), -1);
  }
}

// Model members are read by the engine from regular files: a FIFO in their
// place fails creation at once instead of hanging it.
TEST_F(A2x, ModelMembersThatAreFifosFailPromptly) {
  for (const char* member : {"a2x_enc_stream.onnx", "a2x_dec.onnx"}) {
    BundleCopy b;
    EXPECT_EQ(le::test::failureOverFifo(b.path + "/" + member,
                                        [&] {
                                          Handle a(b.path);
                                          return a.a ? std::string("(created)") : le_a2x_last_error();
                                        }),
              "le_a2x_create: cannot open " + b.path + "/" + member);
  }
}
