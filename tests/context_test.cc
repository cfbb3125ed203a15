// The engine context through the shared library's exported symbols, on the
// generated reference bundles: creation refusals, the render and paste calls,
// the identity round trip back to the driver frame, IMX parity and memory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "tests/support/kernel_reference.h"
#include "tests/support/testutil.h"

namespace {

namespace fs = std::filesystem;
using le::test::copyBundle;
using le::test::floatsOf;
using le::test::readFile;
using le::test::replaceInFile;
using le::test::ScopedEnv;
using le::test::TempDir;
using le::test::writeFile;

const std::string kFixtures = LE_FIXTURES;

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
using Ctx = std::unique_ptr<le_ctx, CtxDeleter>;

Ctx create(const std::string& bundle, int threads = 1, const char* ep = nullptr) {
  return Ctx(le_create(bundle.c_str(), "b1", threads, ep));
}

// The paste box of a crop of side S placed by M (a, b, c, d, e, f), with the
// filter's 4 pixels of support, clipped to the frame.
struct Box {
  int x0, y0, x1, y1;
  bool contains(int x, int y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
};
Box pasteBox(const float* M, int S, int W, int H) {
  float xs[4], ys[4];
  const float px[4] = {-4.0f, S + 3.0f, -4.0f, S + 3.0f}, py[4] = {-4.0f, -4.0f, S + 3.0f, S + 3.0f};
  for (int k = 0; k < 4; ++k) {
    xs[k] = M[0] * px[k] + M[1] * py[k] + M[2];
    ys[k] = M[3] * px[k] + M[4] * py[k] + M[5];
  }
  Box b;
  b.x0 = std::max(static_cast<int>(std::floor(*std::min_element(xs, xs + 4))), 0);
  b.x1 = std::min(W - 1, static_cast<int>(std::ceil(*std::max_element(xs, xs + 4))));
  b.y0 = std::max(static_cast<int>(std::floor(*std::min_element(ys, ys + 4))), 0);
  b.y1 = std::min(H - 1, static_cast<int>(std::ceil(*std::max_element(ys, ys + 4))));
  return b;
}

long residentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// NULL contexts: tests/header_c99.c, through the C compiler.
TEST(EngineContext, GettersOnNullAndCreateRefusals) {
  EXPECT_EQ(le_create((kFixtures + "/tiny").c_str(), nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");

  // A getter leaves the error text alone.
  EXPECT_FAILS(le_nt(nullptr), 0, le_last_error, "le_create: NULL bundle_dir/model_key");

  EXPECT_EQ(le_create("/nonexistent/bundle", "b1", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(le_last_error()).rfind("le_create: ", 0), 0u) << le_last_error();
  EXPECT_GT(std::strlen(le_last_error()), std::strlen("le_create: "));

  TempDir tmp;
  const std::string shortMask = copyBundle(tmp, "tiny");
  fs::resize_file(shortMask + "/mask_512.u8", 32 * 32 - 1);
  EXPECT_FAILS(create(shortMask), nullptr, le_last_error, "le_create: mask read failed");

  fs::remove(shortMask + "/mask_512.u8");
  EXPECT_FAILS(create(shortMask), nullptr, le_last_error, "le_create: mask read failed");
}

TEST(EngineContext, CreateRefusesACropTheCompositorCannotPaste) {
  // A consistent bundle of crop 1025: the identity members have the right
  // sizes (sparse files), so the compositor is what refuses, at creation.
  TempDir tmp;
  const std::string dir = copyBundle(tmp, "tiny");
  replaceInFile(dir + "/manifest.json", "\"crop\": 32", "\"crop\": 1025");
  fs::resize_file(dir + "/P.f16", 12ull * 3 * 1025 * 1025 * 2);
  writeFile(dir + "/mask_512.u8", std::string(1025 * 1025, '\xff'));
  EXPECT_FAILS(create(dir), nullptr, le_last_error, "le_create: paste: side > 1024");
}

// Calls on one context run one at a time: two threads racing on a fresh
// context (both reach the lazy renderer first) get, frame for frame, the
// bytes a single thread gets, through both RGBA renders.
TEST(EngineContext, TwoThreadsOnOneContextGetTheSingleThreadedBytes) {
  const std::string bundle = kFixtures + "/tiny";
  Ctx solo = create(bundle);
  ASSERT_TRUE(solo) << le_last_error();
  const int rows = le_drive_frames(solo.get());
  const size_t bytes = static_cast<size_t>(le_width(solo.get())) * le_height(solo.get()) * 4;
  std::vector<std::vector<uint8_t>> want(rows, std::vector<uint8_t>(bytes));
  for (int i = 0; i < rows; ++i) ASSERT_EQ(le_render_drive_rgba(solo.get(), i, want[i].data(), bytes), 1);
  EXPECT_GT(le_release_memory(), 0u);  // the renders kept their networks' blocks for the next run
  const std::vector<float> xs = floatsOf(bundle + "/drive/xs.f32"), xd = floatsOf(bundle + "/drive/xd.f32");
  const std::string siBytes = readFile(bundle + "/drive/si.i32");
  const auto* si = reinterpret_cast<const int32_t*>(siBytes.data());

  Ctx shared = create(bundle);
  ASSERT_TRUE(shared) << le_last_error();
  int mismatches[2] = {0, 0};
  auto run = [&](int t) {
    std::vector<uint8_t> out(bytes);
    for (int pass = 0; pass < 3; ++pass)
      for (int k = 0; k < rows; ++k) {
        const int i = t == 0 ? k : rows - 1 - k;
        const int ok = t == 0 ? le_render_drive_rgba(shared.get(), i, out.data(), bytes)
                              : le_render_kp_rgba(shared.get(), si[i], &xs[i * 63], &xd[i * 63], out.data(), bytes);
        if (ok != 1 || out != want[i]) ++mismatches[t];
      }
  };
  // The kept blocks are given back while both render: a run allocates afresh.
  std::atomic<int> running{2};
  std::thread a([&] { run(0), --running; }), b([&] { run(1), --running; }), c([&] {
    while (running > 0) le_release_memory();
  });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
  shared.reset();  // a destroyed context gives back what its runs (and its prefetches) kept
  solo.reset();
  EXPECT_EQ(le_release_memory(), 0u);
}

TEST(EngineContext, RenderAndPasteArgumentChecks) {
  Ctx ctx = create(kFixtures + "/tiny");
  ASSERT_TRUE(ctx) << le_last_error();
  EXPECT_EQ(le_nt(ctx.get()), 12);
  EXPECT_EQ(le_width(ctx.get()), 96);
  EXPECT_EQ(le_height(ctx.get()), 64);
  EXPECT_EQ(le_crop(ctx.get()), 32);
  EXPECT_EQ(le_drive_frames(ctx.get()), 24);
  // The crop transform is the bundle's M row (stamped on the frame's own canvas).
  const std::string M = readFile(kFixtures + "/tiny/M.f32");
  ASSERT_EQ(M.size(), 12u * 6 * sizeof(float));
  float m[6] = {0};
  for (int si : {0, 11}) {
    ASSERT_EQ(le_crop_transform(ctx.get(), si, m), 1);
    EXPECT_EQ(std::memcmp(m, M.data() + si * 6 * sizeof(float), sizeof m), 0) << si;
  }
  EXPECT_FAILS(le_crop_transform(ctx.get(), 12, m), 0, le_last_error, "le_crop_transform: bad args");
  const std::vector<float> kp(63, 0.0f);
  std::vector<uint8_t> out(96 * 64 * 4);

  EXPECT_FAILS(le_paste_last(ctx.get(), 0), nullptr, le_last_error, "le_paste_last: bad args / no prior render");

  for (int si : {-1, 12}) {
    EXPECT_EQ(le_render_kp_crop(ctx.get(), si, kp.data(), kp.data()), nullptr);
    EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
    EXPECT_FAILS(le_target_frame(ctx.get(), si), nullptr, le_last_error, "le_target_frame: bad args");
  }
  EXPECT_EQ(le_render_kp_crop(ctx.get(), 0, nullptr, kp.data()), nullptr);
  EXPECT_EQ(le_render_kp_crop(nullptr, 0, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  for (int i : {-1, 24}) {
    EXPECT_FAILS(le_render_drive_crop(ctx.get(), i), nullptr, le_last_error, "le_render_drive_crop: bad frame index");
    EXPECT_EQ(le_render_drive_rgba(ctx.get(), i, out.data(), out.size()), 0);
    EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  }

  const float* crop = le_render_drive_crop(ctx.get(), 0);
  ASSERT_NE(crop, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_paste_crop(ctx.get(), 0, crop, out.data(), 96 * 64 * 3 - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  EXPECT_EQ(le_paste_crop(ctx.get(), 12, crop, out.data(), out.size()), 0);
  EXPECT_EQ(le_paste_crop(ctx.get(), 0, nullptr, out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  EXPECT_FAILS(le_paste_last(ctx.get(), 12), nullptr, le_last_error, "le_paste_last: bad args / no prior render");

  // A failed render keeps the last crop: pasting it still works.
  EXPECT_EQ(le_render_kp_crop(ctx.get(), 12, kp.data(), kp.data()), nullptr);
  EXPECT_NE(le_paste_last(ctx.get(), 3), nullptr) << le_last_error();
  EXPECT_EQ(le_paste_crop(ctx.get(), 3, crop, out.data(), out.size()), 1);
  EXPECT_EQ(0, std::memcmp(out.data(), le_paste_last(ctx.get(), 3), 96 * 64 * 3));
}

// I420 for an encoder: the RGBA frame's colours converted, into planes with
// rows wider than the frame (padding untouched); planes that cannot hold the
// frame are refused before anything renders.
TEST(EngineContext, I420IsTheRgbFrameConverted) {
  Ctx ctx = create(kFixtures + "/tiny");
  ASSERT_TRUE(ctx) << le_last_error();
  const std::vector<float> xs = floatsOf(kFixtures + "/tiny/xs_target.bin");
  std::vector<float> kd(xs.begin() + 126, xs.begin() + 189);
  kd[12 * 3 + 1] += 0.1f;
  std::vector<uint8_t> rgba(96 * 64 * 4), rgb, want;
  ASSERT_EQ(le_render_kp_rgba(ctx.get(), 2, &xs[126], kd.data(), rgba.data(), rgba.size()), 1) << le_last_error();
  for (size_t p = 0; p < 96 * 64; ++p) rgb.insert(rgb.end(), &rgba[p * 4], &rgba[p * 4 + 3]);
  le::test::refI420(rgb.data(), 96, 64, want);
  std::vector<uint8_t> y(100 * 64, 7), u(50 * 32, 7), v(52 * 32, 7);
  le_i420 planes{y.data(), 100, u.data(), 50, v.data(), 52};
  le_i420 narrow = planes;
  narrow.u_stride = 47;
  EXPECT_EQ(le_render_kp_i420(ctx.get(), 2, &xs[126], kd.data(), &narrow), 0);
  EXPECT_STREQ(le_last_error(), "le_render_kp_i420: I420 planes missing or narrower than the frame (width 96, chroma 48)");
  EXPECT_EQ(le_render_kp_i420(ctx.get(), 2, &xs[126], kd.data(), nullptr), 0);
  EXPECT_EQ(y, std::vector<uint8_t>(100 * 64, 7)) << "nothing written";
  ASSERT_EQ(le_render_kp_i420(ctx.get(), 2, &xs[126], kd.data(), &planes), 1) << le_last_error();
  std::vector<uint8_t> got;
  for (int r = 0; r < 64; ++r) got.insert(got.end(), &y[r * 100], &y[r * 100 + 96]);
  for (int r = 0; r < 32; ++r) got.insert(got.end(), &u[r * 50], &u[r * 50 + 48]);
  for (int r = 0; r < 32; ++r) got.insert(got.end(), &v[r * 52], &v[r * 52 + 48]);
  EXPECT_EQ(got, want);
  EXPECT_EQ(y[99], 7);
  EXPECT_EQ(v[51], 7);
}

// Driving = source keypoints renders the prior crop back; pasted, the frame
// returns to the driver frame up to sharpening and interpolation inside the
// paste box, and bit for bit outside it. Returns the worst face-box PSNR.
double identityRoundTrip(const std::string& dir, const std::string& kpMember, const std::string& mMember,
                         float mScale, int step = 1) {
  Ctx ctx = create(dir, 0);
  EXPECT_TRUE(ctx) << le_last_error();
  if (!ctx) return 0;
  const int W = le_width(ctx.get()), H = le_height(ctx.get()), S = le_crop(ctx.get()), nt = le_nt(ctx.get());
  const std::vector<float> xs = floatsOf(dir + "/" + kpMember);
  std::vector<float> M = floatsOf(dir + "/" + mMember);
  for (float& v : M) v *= mScale;
  EXPECT_EQ(xs.size(), static_cast<size_t>(nt) * 63);
  EXPECT_EQ(M.size(), static_cast<size_t>(nt) * 6);
  double worst = 1e9;
  for (int si = 0; si < nt; si += step) {
    const uint8_t* target = le_target_frame(ctx.get(), si);
    EXPECT_NE(target, nullptr) << le_last_error();
    if (!target) return 0;
    const std::vector<uint8_t> driver(target, target + static_cast<size_t>(W) * H * 3);
    EXPECT_NE(le_render_kp_crop(ctx.get(), si, &xs[si * 63], &xs[si * 63]), nullptr) << le_last_error();
    const uint8_t* frame = le_paste_last(ctx.get(), si);
    EXPECT_NE(frame, nullptr) << le_last_error();
    if (!frame) return 0;
    const Box box = pasteBox(&M[si * 6], S, W, H);
    EXPECT_LT(box.x0, box.x1);
    double se = 0;
    size_t n = 0, changedOutside = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int c = 0; c < 3; ++c) {
          const size_t i = (static_cast<size_t>(y) * W + x) * 3 + c;
          if (box.contains(x, y)) {
            const double d = double(frame[i]) - driver[i];
            se += d * d;
            ++n;
          } else if (frame[i] != driver[i]) {
            ++changedOutside;
          }
        }
    EXPECT_EQ(changedOutside, 0u) << "si " << si;
    worst = std::min(worst, se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / se));
  }
  std::printf("[ psnr ] %s: worst face-box PSNR %.2f dB\n", dir.c_str(), worst);
  return worst;
}

TEST(EngineContext, IdentityRenderGivesTheDriverFrameBack) {
  // Without the manifest's sharpening, only the director, the interpolation
  // and the mask stand between the crop and the frame it came from.
  TempDir tmp;
  const std::string plain = copyBundle(tmp, "tiny-prior");
  replaceInFile(plain + "/manifest.json", "\"amount\": 1.3", "\"amount\": 0.0");
  EXPECT_GE(identityRoundTrip(plain, "xs_target.bin", "M.f32", 1.0f), 35.0);

  // As authored, sharpened; the JPEG directory and the rescaled transforms of
  // the current names (authored on a canvas twice the frame size).
  EXPECT_GT(identityRoundTrip(kFixtures + "/tiny", "xs_target.bin", "M.f32", 1.0f), 20.0);
  EXPECT_GT(identityRoundTrip(kFixtures + "/tiny-current", "target_keypoints.bin", "paste_transform.f32", 0.5f), 20.0);
}

// The full-size demo avatar as authored (sharpening on): the slow test
// demo_round_trip names it in LE_DEMO_AVATAR.
TEST(EngineContext, DemoAvatarRoundTrip) {
  const char* demo = std::getenv("LE_DEMO_AVATAR");
  ASSERT_TRUE(demo && *demo) << "LE_DEMO_AVATAR names the demo avatar";
  EXPECT_GE(identityRoundTrip(demo, "xs_target.bin", "M.f32", 1.0f, 10), 35.0);
}

TEST(EngineContext, DriveRgbaPastesIntoTheRowsDriverFrame) {
  Ctx ctx = create(kFixtures + "/tiny");
  ASSERT_TRUE(ctx) << le_last_error();
  std::vector<int32_t> si(24);
  const std::string raw = readFile(kFixtures + "/tiny/drive/si.i32");
  ASSERT_EQ(raw.size(), si.size() * 4);
  std::memcpy(si.data(), raw.data(), raw.size());
  const std::vector<float> xs = floatsOf(kFixtures + "/tiny/drive/xs.f32");
  const std::vector<float> xd = floatsOf(kFixtures + "/tiny/drive/xd.f32");

  int checked = 0;
  std::vector<uint8_t> rgba(96 * 64 * 4), expect(96 * 64 * 3);
  for (int i = 0; i < 24; ++i) {
    if (si[i] == i) continue;  // only rows whose frame differs from their index tell
    ASSERT_EQ(le_render_drive_rgba(ctx.get(), i, rgba.data(), rgba.size()), 1) << le_last_error();
    const float* crop = le_render_kp_crop(ctx.get(), si[i], &xs[i * 63], &xd[i * 63]);
    ASSERT_NE(crop, nullptr);
    ASSERT_EQ(le_paste_crop(ctx.get(), si[i], crop, expect.data(), expect.size()), 1);
    for (size_t p = 0; p < 96 * 64; ++p)
      ASSERT_EQ(0, std::memcmp(&rgba[p * 4], &expect[p * 3], 3)) << "row " << i << " pixel " << p;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST(EngineContext, ImxContainerRendersTheSameBytes) {
  TempDir tmp;
  ScopedEnv root("LE_IMX_UNWRAP_ROOT", tmp.path().c_str());
  Ctx dir = create(kFixtures + "/tiny");
  Ctx imx = create(kFixtures + "/tiny.imx");
  ASSERT_TRUE(dir) << le_last_error();
  ASSERT_TRUE(imx) << le_last_error();
  std::vector<uint8_t> a(96 * 64 * 4), b(96 * 64 * 4);
  for (int i : {0, 5, 23}) {
    ASSERT_EQ(le_render_drive_rgba(dir.get(), i, a.data(), a.size()), 1) << le_last_error();
    ASSERT_EQ(le_render_drive_rgba(imx.get(), i, b.data(), b.size()), 1) << le_last_error();
    EXPECT_EQ(a, b) << "row " << i;
  }
}

// Captures what the process writes to standard error around `f`.
template <typename F>
std::string stderrOf(F&& f) {
  ::testing::internal::CaptureStderr();
  f();
  return ::testing::internal::GetCapturedStderr();
}

struct LogLines {
  std::mutex mu;
  std::vector<std::pair<int, std::string>> lines;
  bool has(int level, const std::string& start) {
    for (const auto& [l, t] : lines)
      if (l == level && t.rfind(start, 0) == 0) return true;
    return false;
  }
};

void collectLine(void* user, int level, const char* message) {
  auto* sink = static_cast<LogLines*>(user);
  std::lock_guard<std::mutex> l(sink->mu);
  sink->lines.emplace_back(level, message);
}

TEST(Log, EveryMessageGoesToTheHostsSinkAndNoneToStandardError) {
  const std::string version = le_version();
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
  TempDir tmp;
  const std::string bundle = copyBundle(tmp, "tiny");  // loaded afresh: every load-time line is written
  std::vector<uint8_t> rgba(96 * 64 * 4);
  LogLines sink;
  const std::string err = stderrOf([&] {
    le_log_set(collectLine, &sink, LE_LOG_DEBUG);
    Ctx ctx = create(bundle, 1);
    ASSERT_TRUE(ctx);
    ASSERT_EQ(le_render_drive_rgba(ctx.get(), 0, rgba.data(), rgba.size()), 1) << le_last_error();
    le_log_set(nullptr, nullptr, LE_LOG_INFO);
  });
  EXPECT_EQ(err, "");
  EXPECT_TRUE(sink.has(LE_LOG_INFO, "[le-driver] ")) << "the driver";
  EXPECT_TRUE(sink.has(LE_LOG_INFO, "[le] director ep=")) << "the renderer";
  EXPECT_TRUE(sink.has(LE_LOG_INFO, "[le-paste] ")) << "the compositor";
  for (const auto& [level, text] : sink.lines) {
    EXPECT_TRUE(level >= LE_LOG_ERROR && level <= LE_LOG_DEBUG) << text;
    EXPECT_TRUE(!text.empty() && text.back() != '\n') << text;
    // The director's graphs load without a runtime warning, and what a
    // machine without hardware decoders says about them is debug detail.
    EXPECT_EQ(text.find("Removing initializer"), std::string::npos) << text;
    if (text.find("cuvid") != std::string::npos) {
      EXPECT_EQ(level, LE_LOG_DEBUG) << text;
    }
  }
  // The default sink: information on standard error, no debug detail.
  const std::string again = stderrOf([&] { ASSERT_TRUE(create(bundle, 1)); });
  EXPECT_NE(again.find("[le-driver] "), std::string::npos) << again;
  EXPECT_EQ(again.find("cuvid"), std::string::npos) << again;
}

TEST(EngineContext, InfoTellsWhatTheDirectorRuns) {
  le_ctx_info info{};
  info.size = sizeof info;
  EXPECT_EQ(le_get_info(nullptr, &info), 0);
  {
    Ctx ctx = create(kFixtures + "/tiny", 0, nullptr);
    ASSERT_TRUE(ctx);
    le_ctx_info none{};  // size unset
    EXPECT_EQ(le_get_info(ctx.get(), &none), 0);
    ASSERT_EQ(le_get_info(ctx.get(), &info), 1) << le_last_error();
    EXPECT_STREQ(info.family, "warp-prior");
    EXPECT_STREQ(info.provider, "cpu");
    EXPECT_STREQ(info.rewrites,
                 "GridSample->GridSampleFast x1, blend MatMul->Gemm x1, head cubic Resize->CubicUp2x x1, "
                 "source cone hoisted x1, element-wise->Elementwise x3");
    EXPECT_EQ(info.batch, 1);
    EXPECT_STREQ(info.graph, "model_b1.onnx");
    EXPECT_EQ(info.paste_source_width * info.paste_source_height, 96 * 64);
    // The caller did not choose: the core sizes the director for the session's pipeline.
    EXPECT_EQ(info.intra_op_threads, std::min(info.pool_threads, 2));
    // A caller built against a header that ended after `family` gets that far.
    le_ctx_info older{};
    std::memset(&older, 0x5A, sizeof older);
    older.size = offsetof(le_ctx_info, provider);
    ASSERT_EQ(le_get_info(ctx.get(), &older), 1);
    EXPECT_STREQ(older.family, "warp-prior");
    EXPECT_EQ(older.provider[0], 0x5A);
  }
  Ctx chosen = create(kFixtures + "/tiny", 1, nullptr);
  ASSERT_EQ(le_get_info(chosen.get(), &info), 1);
  EXPECT_EQ(info.intra_op_threads, 1);
}

// Settings reach a context from its options, not from the environment: two
// contexts on one bundle with different paste and load switches differ, and
// a caller built against a shorter struct gets the defaults for the rest.
TEST(EngineContext, OptionsDecideAndTheEnvironmentOnlyDefaults) {
  const std::string tiny = kFixtures + "/tiny";
  le_ctx_opts o;
  {
    ScopedEnv fast("LE_PASTE_FAST", "2");
    ScopedEnv rewrite("LE_GS_REWRITE", "0");
    ScopedEnv hoist("LE_SOURCE_HOIST", "0");
    le_ctx_opts_default(&o);
  }
  EXPECT_EQ(o.size, sizeof o);
  EXPECT_STREQ(o.model_key, "render");
  EXPECT_EQ(o.paste_fast, 2);
  EXPECT_EQ(o.gs_rewrite, 0);
  EXPECT_EQ(o.source_hoist, 0);
  EXPECT_EQ(o.driver_hwdec, 1);
  o.model_key = "b1";
  o.threads = 1;
  le_ctx_opts plain;
  le_ctx_opts_default(&plain);
  plain.model_key = "b1";
  plain.threads = 1;
  Ctx a(le_create_opts(tiny.c_str(), &o)), b(le_create_opts(tiny.c_str(), &plain));
  ASSERT_TRUE(a && b) << le_last_error();
  le_ctx_info ia{}, ib{};
  ia.size = ib.size = sizeof ia;
  ASSERT_TRUE(le_get_info(a.get(), &ia) && le_get_info(b.get(), &ib));
  EXPECT_EQ(std::string(ia.rewrites).find("GridSample"), std::string::npos) << ia.rewrites;
  EXPECT_NE(std::string(ib.rewrites).find("GridSample"), std::string::npos) << ib.rewrites;
  EXPECT_EQ(std::string(ia.rewrites).find("source cone"), std::string::npos) << ia.rewrites;
  EXPECT_NE(std::string(ib.rewrites).find("source cone hoisted"), std::string::npos) << ib.rewrites;
  const auto kp = floatsOf(tiny + "/xs_target.bin");
  std::vector<uint8_t> fa(96 * 64 * 4), fb(fa.size()), fc(fa.size());
  ASSERT_EQ(le_render_kp_rgba(a.get(), 2, kp.data(), kp.data() + 63, fa.data(), fa.size()), 1) << le_last_error();
  ASSERT_EQ(le_render_kp_rgba(b.get(), 2, kp.data(), kp.data() + 63, fb.data(), fb.size()), 1) << le_last_error();
  EXPECT_NE(fa, fb);  // bilinear paste against Lanczos
  {
    // Up to the thread count only: the rest are the defaults of the moment.
    ScopedEnv fast("LE_PASTE_FAST", "2");
    ScopedEnv rewrite("LE_GS_REWRITE", "0");
    le_ctx_opts older = plain;
    older.size = offsetof(le_ctx_opts, ep);
    Ctx c(le_create_opts(tiny.c_str(), &older));
    ASSERT_TRUE(c) << le_last_error();
    ASSERT_EQ(le_render_kp_rgba(c.get(), 2, kp.data(), kp.data() + 63, fc.data(), fc.size()), 1);
    EXPECT_EQ(fc, fa);
  }
  le_ctx_opts_default(nullptr);
  EXPECT_EQ(le_create_opts(tiny.c_str(), nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create_opts: opts NULL, or its size not set");
  plain.model_key = nullptr;
  EXPECT_FAILS(le_create_opts(tiny.c_str(), &plain), nullptr, le_last_error, "le_create: NULL bundle_dir/model_key");
}

TEST(EngineContext, RendererFailureIsReportedAndRetried) {
  TempDir tmp;
  const std::string dir = copyBundle(tmp, "tiny");
  Ctx ctx = create(dir);
  ASSERT_TRUE(ctx) << le_last_error();
  const std::vector<float> kp(63, 0.0f);
  fs::rename(dir + "/model_b1.onnx", dir + "/gone.onnx");
  EXPECT_EQ(le_render_kp_crop(ctx.get(), 0, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(std::string(le_last_error()).rfind("le_render_kp_crop: ", 0), 0u) << le_last_error();
  EXPECT_EQ(le_paste_last(ctx.get(), 0), nullptr);
  // The context stays usable and the next render tries again.
  fs::rename(dir + "/gone.onnx", dir + "/model_b1.onnx");
  EXPECT_NE(le_render_kp_crop(ctx.get(), 0, kp.data(), kp.data()), nullptr) << le_last_error();
  EXPECT_NE(le_target_frame(ctx.get(), 11), nullptr);
}

// A driver video that ends early: the RGBA render still runs, then reports
// the cursor's failure as the paste's.
TEST(EngineContext, DriverFailureIsReportedAfterTheRender) {
  TempDir tmp;
  const std::string dir = copyBundle(tmp, "tiny-current");
  // The index up front (as the manifest's 12 frames), the media cut short.
  const std::string cmd = "ffmpeg -loglevel error -y -i '" + dir + "/target_frames.mp4' -c copy -movflags faststart '" +
                          dir + "/whole.mp4'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string whole = readFile(dir + "/whole.mp4");
  writeFile(dir + "/target_frames.mp4", whole.substr(0, whole.size() * 6 / 10));
  Ctx ctx = create(dir);
  ASSERT_TRUE(ctx) << le_last_error();
  const std::vector<float> kp(63, 0.0f);
  std::vector<uint8_t> out(96 * 64 * 4);
  EXPECT_EQ(le_render_kp_rgba(ctx.get(), 11, kp.data(), kp.data(), out.data(), out.size()), 0);
  EXPECT_EQ(std::string(le_last_error()).rfind("le_paste_last: le_driver: ", 0), 0u) << le_last_error();
  // The render itself still works.
  EXPECT_NE(le_render_kp_crop(ctx.get(), 3, kp.data(), kp.data()), nullptr) << le_last_error();
}

TEST(EngineContext, ThousandRendersKeepTheResidentSetFlat) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer keeps freed memory resident (quarantine); LeakSanitizer checks this build";
#endif
  Ctx ctx = create(kFixtures + "/tiny");
  ASSERT_TRUE(ctx) << le_last_error();
  std::vector<uint8_t> out(96 * 64 * 4);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(le_render_drive_rgba(ctx.get(), i % 24, out.data(), out.size()), 1);
  const long before = residentKiB();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(le_render_drive_rgba(ctx.get(), i % 24, out.data(), out.size()), 1);
  const long after = residentKiB();
  std::printf("[ rss ] 1000 renders and pastes: %ld KiB -> %ld KiB (%+ld KiB)\n", before, after, after - before);
  EXPECT_LT(after - before, 1024);
}

}  // namespace

namespace {

// Hostile bundles: each damage is refused by le_create with a text that
// names it, promptly (no hang on a FIFO, no allocation sized by a lie).
TEST(HostileBundles, RefusedAtCreateWithTheReason) {
  struct Case {
    const char* preset;
    std::function<void(const std::string&)> damage;
    const char* says;
  };
  auto manifest = [](const char* from, const char* to) {
    return [=](const std::string& d) { replaceInFile(d + "/manifest.json", from, to); };
  };
  auto addKey = [](const std::string& key) {
    return [=](const std::string& d) { replaceInFile(d + "/manifest.json", "\"agent\"", key + ", \"agent\""); };
  };
  auto fifo = [](const char* member) {
    return [=](const std::string& d) {
      fs::remove(d + "/" + member);
      ASSERT_EQ(::mkfifo((d + "/" + member).c_str(), 0600), 0);
    };
  };
  auto patchM = [](std::vector<float> row) {
    return [=](const std::string& d) {
      std::string m = readFile(d + "/M.f32");
      std::memcpy(m.data(), row.data(), 24);
      writeFile(d + "/M.f32", m);
    };
  };
  const Case cases[] = {
      {"tiny-fs", manifest("\"crop\": 32", "\"crop\": 100000"), "le_create: paste: side > 1024"},
      {"tiny", [](const std::string& d) { writeFile(d + "/mask_512.u8", std::string(32 * 32 + 1, '\x80')); },
       "le_create: mask read failed: "},
      {"tiny", manifest("\"sigma\": 2.0", "\"sigma\": 0"), "sigma 0.000000 is not a positive finite number"},
      {"tiny", manifest("\"sigma\": 2.0", "\"sigma\": nan"), "is not a positive finite number"},
      {"tiny", manifest("\"amount\": 1.3", "\"amount\": 1e6"), "is outside 0..10"},
      {"tiny", manifest("\"ksize\": 13", "\"ksize\": 2147483647"), "is above 2 x crop + 1 (65)"},
      {"tiny", patchM({1e-5f, 0, 40, 0, 1e-5f, 30}), "le_create: paste transform row 0: paste: transform"},
      {"tiny", patchM({1, 0, NAN, 0, 1, 0}), "le_create: paste transform row 0 holds a non-finite value"},
      {"tiny", addKey("\"target_frames_mp4\": \"../../etc/passwd\""), "leaves the bundle"},
      {"tiny", addKey("\"P_hevc\": \"/dev/zero\""), "leaves the bundle"},
      {"tiny", manifest("\"W\": 96", "\"W\": 4000"), "is 96x64, the manifest says 4000x64"},
      {"tiny", fifo("mask_512.u8"), "le_create: mask read failed"},
      {"tiny", fifo("M.f32"), "cannot open"},
      {"tiny-current", fifo("target_frames.mp4"), "is not a readable container"},
      {"tiny", [](const std::string& d) {
         std::string xs = readFile(d + "/drive/xs.f32");
         const float inf = INFINITY;
         std::memcpy(xs.data() + 63 * 4 * 5, &inf, 4);
         writeFile(d + "/drive/xs.f32", xs);
       }, "drive: keypoint row 5 holds a non-finite value"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    const std::string dir = copyBundle(tmp, c.preset);
    c.damage(dir);
    Ctx ctx = create(dir);
    EXPECT_EQ(ctx, nullptr) << c.says;
    EXPECT_NE(std::string(le_last_error()).find(c.says), std::string::npos) << le_last_error();
  }
}

// Careless calls: non-finite keypoints are refused before the render, a NaN
// crop pastes as 0 where the mask takes it, empty names resolve nothing.
TEST(HostileCalls, NonFiniteInputsAndEmptyNames) {
  Ctx ctx = create(kFixtures + "/tiny");
  ASSERT_TRUE(ctx) << le_last_error();
  std::vector<float> kp = floatsOf(kFixtures + "/tiny/xs_target.bin");
  kp.resize(63);
  std::vector<uint8_t> out(96 * 64 * 4);
  for (float bad : {NAN, INFINITY, -INFINITY}) {
    std::vector<float> k = kp;
    k[17] = bad;
    EXPECT_EQ(le_render_kp_crop(ctx.get(), 0, kp.data(), k.data()), nullptr);
    EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
    EXPECT_EQ(le_render_kp_rgba(ctx.get(), 0, k.data(), kp.data(), out.data(), out.size()), 0);
    EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  }
  // A crop with non-finite values fails with their exact count (each
  // counted once, wherever it sits); what reached the frame is a black crop,
  // never a NaN byte.
  std::vector<float> bad(3 * 32 * 32, NAN), black(3 * 32 * 32, 0.0f);
  for (size_t i = 0; i < bad.size(); i += 3) bad[i] = i % 2 ? INFINITY : -INFINITY;
  std::vector<uint8_t> want(96 * 64 * 3);
  ASSERT_EQ(le_paste_crop(ctx.get(), 2, black.data(), want.data(), want.size()), 1) << le_last_error();
  EXPECT_EQ(le_paste_crop(ctx.get(), 2, bad.data(), out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: paste: the crop holds 3072 non-finite values");
  EXPECT_EQ(0, std::memcmp(out.data(), want.data(), want.size()));
  std::vector<float> some(3 * 32 * 32, 0.5f);
  for (size_t i : {0, 31, 32 * 31, 1023, 1024 + 500, 3071}) some[i] = i % 2 ? NAN : INFINITY;
  EXPECT_EQ(le_paste_crop(ctx.get(), 2, some.data(), out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: paste: the crop holds 6 non-finite values");

  char path[4096] = "x";
  EXPECT_EQ(le_bundle_resolve_member("", "M.f32", path, sizeof path), -1);
  EXPECT_EQ(path[0], 0);
  path[0] = 'x';
  EXPECT_EQ(le_bundle_resolve_member((kFixtures + "/tiny").c_str(), "", path, sizeof path), -1);
  EXPECT_EQ(path[0], 0);
  EXPECT_EQ(le_prior_open((kFixtures + "/tiny-prior").c_str(), INT_MAX, 0), nullptr);
  EXPECT_NE(std::string(le_last_error()).find("le_prior_open: le_driver: look-ahead 2147483647"), std::string::npos)
      << le_last_error();
  EXPECT_EQ(le_prior_open((kFixtures + "/tiny-prior").c_str(), 2, INT_MAX), nullptr);
}

}  // namespace
