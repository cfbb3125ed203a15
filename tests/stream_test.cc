// The whole-stream runner and its delta model through the C API, on the tiny
// reference avatar (its "render" director) and the reference fca encoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using le::test::TempDir;

namespace {

const std::string kTiny = std::string(LE_FIXTURES) + "/tiny";
const std::string kEncoder = std::string(LE_FIXTURES) + "/w2v/fca_encoder.onnx";

std::vector<float> speech(double seconds) { return le::test::bursts(seconds, 1.1, 0.2, 0.6, 0.2, 150); }

struct Delivered {
  std::vector<int> frames;
  std::vector<std::vector<uint8_t>> pixels;
  std::thread::id thread;
  bool otherThread = false;
};

void collect(void* user, int frame, const uint8_t* rgb, int w, int h) {
  auto* d = static_cast<Delivered*>(user);
  d->frames.push_back(frame);
  d->pixels.emplace_back(rgb, rgb + static_cast<size_t>(w) * h * 3);
  if (std::this_thread::get_id() != d->thread) d->otherThread = true;
}

struct Stream {
  le_stream* s;
  Stream(const std::string& bundle, int skip, float gain) : s(le_stream_create(bundle.c_str(), kEncoder.c_str(), 1, skip, gain)) {}
  ~Stream() { le_stream_destroy(s); }
};

}  // namespace

// With gain 0 the runner renders the idle keypoint track: each frame equals
// rendering and pasting that xs_target row directly. Frames come in order,
// on the calling thread.
TEST(Stream, GainZeroRendersTheIdleTrackInOrderOnTheCallingThread) {
  Stream s(kTiny, 3, 0.0f);
  ASSERT_TRUE(s.s) << le_stream_last_error();
  EXPECT_EQ(le_stream_width(s.s), 96);
  EXPECT_EQ(le_stream_height(s.s), 64);
  const std::vector<float> x = speech(1.0);  // 25 frames, 22 after the skip
  Delivered d;
  d.thread = std::this_thread::get_id();
  ASSERT_EQ(le_stream_run(s.s, x.data(), static_cast<int>(x.size()), collect, &d), 22) << le_stream_last_error();
  ASSERT_EQ(d.frames.size(), 22u);
  for (int j = 0; j < 22; ++j) EXPECT_EQ(d.frames[j], j);
  EXPECT_FALSE(d.otherThread);

  le_ctx* ctx = le_create(kTiny.c_str(), "render", 1, nullptr);
  ASSERT_TRUE(ctx) << le_last_error();
  const std::string xsBytes = le::test::readFile(kTiny + "/xs_target.bin");
  const float* xs = reinterpret_cast<const float*>(xsBytes.data());
  std::vector<uint8_t> frame(96 * 64 * 3);
  for (int j = 0; j < 22; ++j) {
    const int si = (j + 3) % 12;
    const float* crop = le_render_kp_crop(ctx, si, xs + si * 63, xs + si * 63);
    ASSERT_TRUE(crop) << le_last_error();
    ASSERT_EQ(le_paste_crop(ctx, si, crop, frame.data(), frame.size()), 1) << le_last_error();
    EXPECT_EQ(0, std::memcmp(frame.data(), d.pixels[j].data(), frame.size())) << "frame " << j;
  }
  le_destroy(ctx);

  // With the deltas on, the lips move: some frame differs from the idle one.
  Stream moving(kTiny, 3, 1.0f);
  Delivered m;
  m.thread = std::this_thread::get_id();
  ASSERT_EQ(le_stream_run(moving.s, x.data(), static_cast<int>(x.size()), collect, &m), 22);
  int differ = 0;
  for (int j = 0; j < 22; ++j) differ += m.pixels[j] != d.pixels[j];
  EXPECT_GT(differ, 5);

  // The same run from options, with the context's paste switched to bilinear:
  // the same frames in order, pasted otherwise.
  le_ctx_opts c;
  le_ctx_opts_default(&c);
  c.paste_fast = 2;
  le_stream_opts o;
  le_stream_opts_default(&o);
  EXPECT_EQ(o.gain, 1.0f);
  o.encoder = kEncoder.c_str();
  o.threads = 1;
  o.skip = 3;
  o.gain = 0.0f;
  o.ctx = &c;
  le_stream* bilinear = le_stream_create_opts(kTiny.c_str(), &o);
  ASSERT_TRUE(bilinear) << le_stream_last_error();
  Delivered b;
  b.thread = std::this_thread::get_id();
  ASSERT_EQ(le_stream_run(bilinear, x.data(), static_cast<int>(x.size()), collect, &b), 22);
  le_stream_destroy(bilinear);
  EXPECT_EQ(b.frames, d.frames);
  EXPECT_NE(b.pixels[0], d.pixels[0]);
  EXPECT_EQ(le_stream_create_opts(kTiny.c_str(), nullptr), nullptr);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_create_opts: opts NULL, or its size not set");
}

TEST(Stream, SkipBeyondTheClipDeliversNothing) {
  Stream s(kTiny, 25, 1.0f);
  ASSERT_TRUE(s.s) << le_stream_last_error();
  const std::vector<float> x = speech(1.0);
  Delivered d;
  EXPECT_EQ(le_stream_run(s.s, x.data(), static_cast<int>(x.size()), collect, &d), 0);
  EXPECT_TRUE(d.frames.empty());
  EXPECT_EQ(le_stream_run(s.s, x.data(), 0, collect, &d), 0);
}

// A director that fails at the driver row marked in xs_target stops the run
// with the runner's message after the frames before it; the render thread is
// joined and the runner can run again.
TEST(Stream, AFailingRenderStopsTheRun) {
  TempDir tmp;
  const std::string b = le::test::failingBundle(kTiny, tmp / "b", "model_render.onnx", {4});
  Stream s(b, 0, 1.0f);
  ASSERT_TRUE(s.s) << le_stream_last_error();
  const std::vector<float> x = speech(1.0);
  for (int round = 0; round < 2; ++round) {
    Delivered d;
    d.thread = std::this_thread::get_id();
    EXPECT_EQ(le_stream_run(s.s, x.data(), static_cast<int>(x.size()), collect, &d), -1);
    EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
    EXPECT_EQ(d.frames, (std::vector<int>{0, 1, 2, 3}));
  }
}

TEST(Stream, CreationAndArgumentsAreChecked) {
  TempDir tmp;
  const std::string b = tmp / "b";
  fs::copy(kTiny, b, fs::copy_options::recursive);
  fs::resize_file(b + "/xs_target.bin", 11 * 63 * 4);  // NT is 12
  EXPECT_EQ(le_stream_create(b.c_str(), kEncoder.c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()),
            "le_stream_create: " + b + "/xs_target.bin holds 11 keypoint rows, the avatar has 12");
  fs::remove(b + "/fca_stream.onnx");
  EXPECT_EQ(le_stream_create(b.c_str(), kEncoder.c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()).find("le_fca_create: le_fca_create: "), 0u) << le_stream_last_error();
  // The director is loaded at creation, not at the first frame.
  const std::string c = tmp / "c";
  fs::copy(kTiny, c, fs::copy_options::recursive);
  fs::remove(c + "/model_render.onnx");
  EXPECT_EQ(le_stream_create(c.c_str(), kEncoder.c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()).find("le_stream_create: "), 0u) << le_stream_last_error();
  EXPECT_NE(std::string(le_stream_last_error()).find("model_render.onnx"), std::string::npos) << le_stream_last_error();
  EXPECT_EQ(le_stream_create(kTiny.c_str(), kEncoder.c_str(), 1, 0, NAN), nullptr);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_create: gain is not a finite number");
  // NULL handles: tests/header_c99.c.

  // The delta model alone.
  EXPECT_EQ(le_fca_create(kEncoder.c_str(), "/nonexistent.onnx", 1), nullptr);
  EXPECT_EQ(std::string(le_fca_last_error()).find("le_fca_create: "), 0u);
  le_fca* f = le_fca_create(kEncoder.c_str(), (kTiny + "/fca_stream.onnx").c_str(), 1);
  ASSERT_TRUE(f) << le_fca_last_error();
  const std::vector<float> x = speech(2.0);
  std::vector<float> out(50 * 63);
  EXPECT_EQ(le_fca_deltas(f, x.data(), static_cast<int>(x.size()), out.data(), 49), -2);
  EXPECT_EQ(le_fca_deltas(f, x.data(), 0, out.data(), 49), 0);
  EXPECT_FAILS(le_fca_deltas(f, nullptr, 100, out.data(), 49), -1, le_fca_last_error, "le_fca_deltas: bad args");
  EXPECT_EQ(le_fca_deltas(nullptr, x.data(), 100, out.data(), 49), -1);
  ASSERT_EQ(le_fca_deltas(f, x.data(), static_cast<int>(x.size()), out.data(), 50), 50);
  // Voiced stretches open the lower lip; silent ones once speech has been
  // heard (before it, silence is all the speaker normalisation knows) leave
  // it near closed.
  float open = 0, closed = 1;
  for (int t = 0; t < 50; ++t) {
    const double phase = std::fmod(t * 0.04, 1.1);
    if (phase > 0.35 && phase < 0.65) open = std::max(open, out[t * 63 + 37]);
    if (t > 10 && (phase < 0.15 || phase > 0.95)) closed = std::min(closed, out[t * 63 + 37]);
  }
  EXPECT_GT(open, 0.02f);
  EXPECT_LT(closed, 0.01f);
  le_fca_destroy(f);
  le_fca_destroy(nullptr);
}

// Hostile bundles and careless hosts: a NaN idle keypoint row and a FIFO in
// place of the delta model are refused at creation (promptly), a delta model
// gone bad or a gain that overflows the keypoints fails the run instead of
// delivering faces of NaN, samples no 16-bit source gives are refused, and a
// thread count no machine has is clamped.
TEST(Stream, NonFiniteValuesAndHostileMembersFailTheCall) {
  TempDir tmp;
  const std::string b = tmp / "b";
  fs::copy(kTiny, b, fs::copy_options::recursive);
  std::string xs = le::test::readFile(b + "/xs_target.bin");
  const float nan = NAN;
  std::memcpy(&xs[(5 * 63 + 4) * 4], &nan, 4);
  le::test::writeFile(b + "/xs_target.bin", xs);
  EXPECT_EQ(le_stream_create(b.c_str(), kEncoder.c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()),
            "le_stream_create: " + b + "/xs_target.bin holds a non-finite value (index 319)");

  const std::string f = tmp / "f";
  fs::copy(kTiny, f, fs::copy_options::recursive);
  EXPECT_EQ(le::test::failureOverFifo(f + "/fca_stream.onnx",
                                      [&] {
                                        Stream s(f, 0, 1.0f);
                                        return s.s ? std::string("(created)") : le_stream_last_error();
                                      }),
            "le_fca_create: le_fca_create: cannot open " + f + "/fca_stream.onnx");

  const std::vector<float> x = speech(1.0);
  const std::string n = tmp / "n";
  fs::copy(kTiny, n, fs::copy_options::recursive);
  fs::copy_file(n + "/fca_stream_nan.onnx", n + "/fca_stream.onnx", fs::copy_options::overwrite_existing);
  Stream bad(n, 0, 1.0f);
  ASSERT_TRUE(bad.s) << le_stream_last_error();
  Delivered d;
  d.thread = std::this_thread::get_id();
  EXPECT_EQ(le_stream_run(bad.s, x.data(), static_cast<int>(x.size()), collect, &d), -1);
  EXPECT_NE(std::string(le_stream_last_error()).find("fca_stream.onnx output m holds a non-finite value"),
            std::string::npos)
      << le_stream_last_error();
  EXPECT_TRUE(d.frames.empty());

  EXPECT_EQ(le_stream_create(kTiny.c_str(), kEncoder.c_str(), 1, 0, 3e38f), nullptr);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_create: gain 3e+38 is beyond +-1000");
  le_stream* huge = le_stream_create(kTiny.c_str(), kEncoder.c_str(), 100000, 0, 1.0f);
  ASSERT_TRUE(huge) << le_stream_last_error();
  EXPECT_EQ(le_stream_run(huge, x.data(), static_cast<int>(x.size()), collect, &d), 25) << le_stream_last_error();
  d.frames.clear();
  std::vector<float> loud(x);
  loud[3] = -1e30f;
  EXPECT_EQ(le_stream_run(huge, loud.data(), static_cast<int>(loud.size()), collect, &d), -1);
  EXPECT_NE(std::string(le_stream_last_error()).find("sample at index 3 is -1e+30"), std::string::npos)
      << le_stream_last_error();
  le_stream_destroy(huge);
}

// One run at a time: a second thread's run is refused while the first is
// delivering, and the first run's frames are the same as when run alone.
TEST(Stream, ASecondRunAtOnceIsRefused) {
  Stream s(kTiny, 0, 1.0f);
  ASSERT_TRUE(s.s) << le_stream_last_error();
  const std::vector<float> x = speech(0.5);
  Delivered alone;
  alone.thread = std::this_thread::get_id();
  ASSERT_EQ(le_stream_run(s.s, x.data(), static_cast<int>(x.size()), collect, &alone), 13);
  struct During {
    Delivered d;
    le_stream* s;
    const std::vector<float>* x;
    int other = 0;
    std::string why;
  } during{{}, s.s, &x};
  during.d.thread = std::this_thread::get_id();
  // The second run starts, and ends, while the first is inside its first
  // callback.
  auto onFrame = [](void* user, int frame, const uint8_t* rgb, int w, int h) {
    auto* p = static_cast<During*>(user);
    if (frame == 0) {
      std::thread([p] {
        Delivered none;
        p->other = le_stream_run(p->s, p->x->data(), static_cast<int>(p->x->size()), collect, &none);
        p->why = le_stream_last_error();
      }).join();
      EXPECT_EQ(le_stream_run(p->s, p->x->data(), 100, collect, &p->d), -1);  // nor from the callback
    }
    collect(&p->d, frame, rgb, w, h);
  };
  ASSERT_EQ(le_stream_run(s.s, x.data(), static_cast<int>(x.size()), onFrame, &during), 13) << le_stream_last_error();
  EXPECT_EQ(during.other, -1);
  EXPECT_EQ(during.why, "le_stream_run: the stream is already running on another thread (one run at a time)");
  EXPECT_EQ(during.d.pixels, alone.pixels);
}

// A bundle with a mouth bank runs armed: the same frames in order, the mouths
// borrowed. One member short, it runs unarmed and says which is missing.
TEST(Stream, ABankArmsTheMouthPass) {
  const std::string bank = std::string(LE_FIXTURES) + "/tiny-bank";
  le::test::TempDir d;
  const std::string partial = d / "b";
  std::filesystem::copy(bank, partial, std::filesystem::copy_options::recursive);
  std::filesystem::remove(partial + "/tessera_head.v1.json");
  static std::string logged;
  le_log_set([](void*, int, const char* line) { logged += std::string(line) + "\n"; }, nullptr, LE_LOG_INFO);
  Stream armed(bank, 0, 1.0f), unarmed(partial, 0, 1.0f);
  le_log_set(nullptr, nullptr, LE_LOG_INFO);
  ASSERT_TRUE(armed.s && unarmed.s) << le_stream_last_error();
  EXPECT_NE(logged.find("mouth pass armed: 6 donors"), std::string::npos) << logged;
  EXPECT_NE(logged.find("mouth pass not armed: missing teeth member(s): head_config"), std::string::npos) << logged;
  const std::vector<float> x = speech(1.0);
  Delivered a, u;
  a.thread = u.thread = std::this_thread::get_id();
  ASSERT_EQ(le_stream_run(armed.s, x.data(), static_cast<int>(x.size()), collect, &a), 25) << le_stream_last_error();
  ASSERT_EQ(le_stream_run(unarmed.s, x.data(), static_cast<int>(x.size()), collect, &u), 25);
  EXPECT_EQ(a.frames, u.frames);
  int differ = 0;
  for (int j = 0; j < 25; ++j) differ += a.pixels[j] != u.pixels[j];
  EXPECT_GT(differ, 5);
  // A second run builds its pass afresh: the same frames again.
  Delivered again;
  again.thread = std::this_thread::get_id();
  ASSERT_EQ(le_stream_run(armed.s, x.data(), static_cast<int>(x.size()), collect, &again), 25);
  EXPECT_EQ(again.pixels, a.pixels);
}
