// The utterance session through the C API on the tiny reference avatar: the
// streaming audio engine (the bundle itself) and the motion directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"
#include "support/kernel_reference.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using le::test::ScopedEnv;
using le::test::TempDir;

namespace {

const std::string kTiny = std::string(LE_FIXTURES) + "/tiny";
const std::string kMotion = std::string(LE_FIXTURES) + "/motion";
const std::string kW2v = std::string(LE_FIXTURES) + "/w2v/w2v_8s.onnx";
constexpr size_t kFrame = 96 * 64 * 3;

// Resident kB of this process's mappings of `path`.
long residentKb(const std::string& path) {
  std::ifstream smaps("/proc/self/smaps");
  const std::string want = fs::canonical(path).string();
  long kb = 0;
  bool in = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.size() > 2 && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17)
      in = line.size() >= want.size() && line.compare(line.size() - want.size(), want.size(), want) == 0;
    else if (in && line.rfind("Rss:", 0) == 0)
      kb += std::stol(line.substr(4));
  }
  return kb;
}

std::vector<int16_t> speech(double seconds) {
  const std::vector<float> f = le::test::bursts(seconds, 0.9, 0.1, 0.6, 9000, 150);
  return std::vector<int16_t>(f.begin(), f.end());
}

struct Frame {
  le_utt_frame_info info;
  std::vector<uint8_t> rgb;
};

// Pulls frames as a host would, until `until` says stop or the time runs out.
template <typename F>
std::vector<Frame> pullWhile(le_utt* u, F until, double seconds = 30, size_t frameBytes = kFrame) {
  std::vector<Frame> got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<uint8_t> buf(frameBytes);
  while (std::chrono::steady_clock::now() < end) {
    le_utt_frame_info info;
    if (le_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) {
      got.push_back({info, buf});
      if (!until(got)) break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return got;
}

struct Ctx {
  le_ctx* c;
  explicit Ctx(const std::string& b = kTiny) : c(le_create(b.c_str(), "b1", 1, nullptr)) {}
  ~Ctx() { le_destroy(c); }
};

bool waitReady(le_utt* u) {
  for (int i = 0; i < 3000; ++i) {
    const int r = le_utt_ready(u);
    if (r != 0) return r == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// Pulls until `speechWanted` speech frames came and three idle frames
// followed them.
std::vector<Frame> pullSpeech(le_utt* u, size_t speechWanted, double seconds = 60, size_t frameBytes = kFrame) {
  size_t spoken = 0, idleAfter = 0;
  return pullWhile(
      u,
      [&](const std::vector<Frame>& g) {
        spoken += g.back().info.kind == 1;
        idleAfter = spoken >= speechWanted && g.back().info.kind == 0 ? idleAfter + 1 : 0;
        return idleAfter < 3;
      },
      seconds, frameBytes);
}

// The speech frames' ordinals, one run per utterance.
std::vector<std::vector<int>> utterances(const std::vector<Frame>& frames) {
  std::vector<std::vector<int>> runs;
  for (const Frame& f : frames) {
    if (f.info.kind != 1) continue;
    if (f.info.ordinal == 0 || runs.empty()) runs.emplace_back();
    runs.back().push_back(f.info.ordinal);
  }
  return runs;
}

std::vector<int> count(int n) {
  std::vector<int> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = i;
  return v;
}

// Destroys the session when a test ends early, before its context goes.
struct Session {
  le_utt* u;
  ~Session() { le_utt_destroy(u); }
  void close() {
    le_utt_destroy(u);
    u = nullptr;
  }
};

void expectHealthy(le_utt* u) {
  EXPECT_EQ(le_utt_ready(u), 1) << le_utt_last_error();
  char text[256] = {};
  int failures = -1;
  EXPECT_EQ(le_utt_render_status(u, text, sizeof text, &failures), 0) << text;
  EXPECT_EQ(failures, 0) << text;
}

// How many frames of `kind`.
size_t kindCount(const std::vector<Frame>& frames, int kind) {
  size_t n = 0;
  for (const Frame& f : frames) n += f.info.kind == kind;
  return n;
}

}  // namespace

TEST(Utt, IdleFramesWalkTheDriverVideoAndTheContextIsBorrowed) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Ctx ctx;
  ASSERT_TRUE(ctx.c) << le_last_error();
  le_utt* u = le_utt_open(ctx.c, kTiny.c_str());
  ASSERT_TRUE(u) << le_utt_last_error();
  EXPECT_EQ(le_utt_push_audio(u, nullptr, 0), 1);
  // A buffer too small (or none) keeps the frame for the next pull.
  std::vector<uint8_t> small(kFrame - 1);
  while (le_utt_frames_available(u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(le_utt_pull_frame(u, small.data(), small.size(), nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
  EXPECT_FAILS(le_utt_pull_frame(u, nullptr, kFrame, nullptr), 0, le_utt_last_error, "le_utt_pull_frame: bad args");
  const auto frames = pullWhile(u, [](const std::vector<Frame>& g) { return g.size() < 30; });
  ASSERT_EQ(frames.size(), 30u);
  for (size_t k = 0; k < frames.size(); ++k) {
    EXPECT_EQ(frames[k].info.kind, 0);
    EXPECT_EQ(frames[k].info.si, static_cast<int>(k % 12));
    EXPECT_EQ(frames[k].info.ordinal, -1);
    EXPECT_EQ(frames[k].info.seq, k);
  }
  // An idle frame is the driver frame itself.
  const uint8_t* target = le_target_frame(ctx.c, 3);
  EXPECT_EQ(target, nullptr);
  EXPECT_STREQ(le_last_error(), "le_target_frame: the context is in use by an le_utt session (destroy the session first)");
  const std::vector<float> kp(63, 0.0f);
  EXPECT_EQ(le_render_kp_crop(ctx.c, 0, kp.data(), kp.data()), nullptr);
  le_utt_stats st;
  ASSERT_EQ(le_utt_get_stats(u, &st), 1);
  EXPECT_EQ(st.frames, 30u);
  EXPECT_EQ(st.speech_frames, 0u);
  EXPECT_EQ(st.state, 0);
  // The next frame as I420, once refused by planes too narrow (it stays,
  // and the planes are left as they were).
  std::vector<uint8_t> i420(96 * 64 * 3 / 2, 7);
  le_i420 planes{i420.data(), 96, i420.data() + 96 * 64, 48, i420.data() + 96 * 64 * 5 / 4, 48};
  le_i420 narrow = planes;
  narrow.y_stride = 95;
  EXPECT_EQ(le_utt_pull_frame_i420(u, &narrow, nullptr), 0);
  EXPECT_STRNE(le_utt_last_error(), "");
  EXPECT_EQ(std::count(i420.begin(), i420.end(), 7), static_cast<long>(i420.size()));
  le_utt_frame_info info{};
  while (le_utt_pull_frame_i420(u, &planes, &info) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(info.seq, 30u);
  le_utt_destroy(u);
  target = le_target_frame(ctx.c, 3);
  ASSERT_NE(target, nullptr) << le_last_error();
  EXPECT_EQ(0, std::memcmp(target, frames[3].rgb.data(), kFrame));
  std::vector<uint8_t> want;
  le::test::refI420(le_target_frame(ctx.c, info.si), 96, 64, want);
  EXPECT_EQ(i420, want);
}

// Speech pushed at once, no end call: the utterance ends by the gap; every
// 40 ms of audio gives one speech frame, then a 6-frame ramp returns to the
// idle track with weights 5/6 ... 0.
TEST(Utt, SpeechThenRampThenIdle) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Ctx ctx;
  le_utt* u = le_utt_open(ctx.c, kTiny.c_str());
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(2.0);
  ASSERT_EQ(le_utt_push_audio(u, x.data(), static_cast<int>(x.size())), 1);
  const auto frames = pullSpeech(u, 50);
  std::vector<const Frame*> speechFrames, ramp;
  for (const Frame& f : frames) {
    if (f.info.kind == 1) speechFrames.push_back(&f);
    if (f.info.kind == 2) ramp.push_back(&f);
  }
  ASSERT_EQ(speechFrames.size(), 50u);
  for (size_t k = 0; k < speechFrames.size(); ++k) EXPECT_EQ(speechFrames[k]->info.ordinal, static_cast<int>(k));
  ASSERT_EQ(ramp.size(), 6u);
  // The ramp follows the speech and the idle loop follows the ramp.
  size_t firstRamp = 0;
  while (frames[firstRamp].info.kind != 2) ++firstRamp;
  EXPECT_EQ(frames[firstRamp - 1].info.kind, 1);
  for (size_t k = 0; k < 6; ++k) EXPECT_EQ(frames[firstRamp + k].info.kind, 2);
  EXPECT_EQ(frames[firstRamp + 6].info.kind, 0);
  EXPECT_EQ(ramp[0]->info.si, (speechFrames.back()->info.si + 1) % 12);
  le_utt_stats st;
  le_utt_get_stats(u, &st);
  EXPECT_EQ(st.onsets, 1u);
  EXPECT_GT(st.onset_ms, 0.0);
  EXPECT_GT(st.render_ms, 0.0);
  char text[64];
  int failures = -1;
  EXPECT_EQ(le_utt_render_status(u, text, sizeof text, &failures), 0);
  EXPECT_EQ(failures, 0);
  // Every speech frame read a row of each identity table, and none of them
  // is in the resident set: the page cache holds them for every stream.
  for (const char* table : {"/P.f16", "/pooled64.f16"}) EXPECT_EQ(residentKb(kTiny + table), 0) << table;
  le_utt_destroy(u);
  // The last ramp frame (weight 0) is the idle keypoint row rendered.
  const std::vector<float> all = le::test::floatsOf(kTiny + "/xs_target.bin");
  const float* xs = all.data() + ramp[5]->info.si * 63;
  std::vector<uint8_t> rgba(96 * 64 * 4);
  ASSERT_EQ(le_render_kp_rgba(ctx.c, ramp[5]->info.si, xs, xs, rgba.data(), rgba.size()), 1) << le_last_error();
  size_t differ = 0;
  for (size_t p = 0; p < 96 * 64; ++p)
    for (int c = 0; c < 3; ++c) differ += rgba[p * 4 + c] != ramp[5]->rgb[p * 3 + c];
  EXPECT_EQ(differ, 0u);
}

// Failures are reported, never fatal to the session: a motion engine that
// cannot load leaves the idle loop running, and a director that fails on a
// driver row makes the status fatal with its text.
TEST(Utt, FailuresAreReportedAndTheIdleLoopGoesOn) {
  {
    ScopedEnv unset("W2V_ONNX", nullptr);
    Ctx ctx;
    le_utt* u = le_utt_open(ctx.c, kTiny.c_str());
    ASSERT_TRUE(u) << le_utt_last_error();
    EXPECT_FALSE(waitReady(u));
    EXPECT_FAILS(le_utt_ready(u), -1, le_utt_last_error, "le_a2x_create: $W2V_ONNX not set");
    const std::vector<int16_t> x = speech(1.0);
    for (int k = 0; k < 20; ++k) EXPECT_EQ(le_utt_push_audio(u, x.data(), static_cast<int>(x.size())), 1);
    const auto frames = pullWhile(u, [](const std::vector<Frame>& g) { return g.size() < 20; });
    ASSERT_EQ(frames.size(), 20u);
    for (const Frame& f : frames) EXPECT_EQ(f.info.kind, 0);
    le_utt_destroy(u);
  }
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  TempDir tmp;  // every row but 0 fails
  const std::string b =
      le::test::failingBundle(kTiny, tmp / "b", "model_b1.onnx", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  Ctx ctx(b);
  ASSERT_TRUE(ctx.c) << le_last_error();
  le_utt* u = le_utt_open(ctx.c, b.c_str());
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(1.0);
  le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  le_utt_end_utterance(u);
  char text[256];
  int failures = 0;
  for (int i = 0; i < 3000 && le_utt_render_status(u, text, sizeof text, &failures) == 0; ++i) {
    std::vector<uint8_t> buf(kFrame);
    le_utt_pull_frame(u, buf.data(), buf.size(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(le_utt_render_status(u, text, sizeof text, &failures), -1);
  EXPECT_GT(failures, 0);
  EXPECT_EQ(std::string(text).find("ep="), 0u) << text;
  EXPECT_NE(std::string(text).find(" render: "), std::string::npos) << text;
  EXPECT_EQ(le_utt_ready(u), -1);
  // Idle frames still come.
  const auto frames = pullWhile(u, [](const std::vector<Frame>& g) { return g.back().info.kind != 0; }, 10);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().info.kind, 0);
  le_utt_destroy(u);
}

TEST(Utt, BadArgumentsAreRefused) {
  Ctx ctx;
  le_utt_opts o{};
  EXPECT_FAILS(le_utt_create(ctx.c, nullptr), nullptr, le_utt_last_error, "le_utt_create: NULL ctx/opts");
  EXPECT_FAILS(le_utt_create(ctx.c, &o), nullptr, le_utt_last_error, "le_utt_create: opts.motion_dir required");
  EXPECT_FAILS(le_utt_open(ctx.c, nullptr), nullptr, le_utt_last_error, "le_utt_open: opts.motion_dir required");
  // NULL sessions: tests/header_c99.c, through the C compiler.
}

// Both engines speak one frame per 40 ms of audio: the motion directory (no
// streaming encoder: its frames come once the utterance is finished) and the
// bundle's audio model with the batch-4 director rendering speech after the
// first frame in chunks, each frame where the batch-1 director puts it.
TEST(Utt, EveryEngineAndRendererSpeaksEveryFrame) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  struct Case {
    std::string dir;
    const char* steady;
    int ramp;
  };
  std::vector<Frame> byOne;
  for (const Case& c : {Case{kMotion, "-", 3}, Case{kTiny, "-", 6}, Case{kTiny, "b4", 6}}) {
    Ctx ctx;
    le_utt_opts o;
    le_utt_opts_default(&o);  // onset_si counts only in a sized struct
    o.motion_dir = c.dir.c_str();
    o.ramp_frames = c.ramp;
    o.steady_model = c.steady;
    o.onset_si = 0;
    le_utt* u = le_utt_create(ctx.c, &o);
    ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
    const std::vector<int16_t> x = speech(2.0);
    le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
    le_utt_end_utterance(u);
    auto frames = pullSpeech(u, 50);
    EXPECT_EQ(kindCount(frames, 1), 50u) << c.steady;
    EXPECT_EQ(kindCount(frames, 2), static_cast<size_t>(c.ramp)) << c.steady;
    for (const Frame& f : frames)
      if (f.info.kind == 1 && f.info.ordinal == 0) EXPECT_EQ(f.info.si, 0) << c.dir;
    expectHealthy(u);
    le_utt_destroy(u);
    if (c.dir != kTiny) continue;
    if (c.steady[0] != 'b') {
      byOne = std::move(frames);  // the same frames, rendered one at a time
      continue;
    }
    for (const Frame& f : frames)
      for (const Frame& g : byOne)
        if (f.info.kind == 1 && g.info.kind == 1 && f.info.ordinal == g.info.ordinal)
          for (size_t k = 0; k < f.rgb.size(); ++k) ASSERT_LE(std::abs(f.rgb[k] - g.rgb[k]), 1) << f.info.ordinal;
  }
}

// A session with a window makes and hands out only that part of every
// frame: the whole session's bytes there, for idle, speech and ramp frames
// alike; one that makes I420 frames converts those bytes as it pastes them.
// Until the speech ramped back to the idle loop.
bool beforeIdleAgain(const std::vector<Frame>& g) { return g.back().info.kind != 0 || kindCount(g, 2) < 6; }

// An I420 session's frames while more(frames so far) says so, pulled into
// planes whose rows lie further apart than they are wide, kept packed.
template <typename F>
std::vector<Frame> pullI420(le_utt* s, int w, int h, F more) {
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<Frame> got;
  std::vector<uint8_t> y(size_t(w + 3) * h), u(size_t(cw + 1) * ch), v(u.size());
  const le_i420 planes{y.data(), w + 3, u.data(), cw + 1, v.data(), cw + 1};
  for (int i = 0; i < 30000; ++i) {
    Frame f;
    if (le_utt_pull_frame_i420(s, &planes, &f.info) != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    for (int r = 0; r < h; ++r) f.rgb.insert(f.rgb.end(), &y[size_t(r) * (w + 3)], &y[size_t(r) * (w + 3)] + w);
    for (const auto* p : {&u, &v})
      for (int r = 0; r < ch; ++r) f.rgb.insert(f.rgb.end(), &(*p)[size_t(r) * (cw + 1)], &(*p)[size_t(r) * (cw + 1)] + cw);
    got.push_back(std::move(f));
    if (!more(got)) break;
  }
  return got;
}

TEST(Utt, AWindowHandsOutThatPartOfTheWholeFrames) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  const int wx = 13, wy = 7, ww = 41, wh = 37;
  le_utt_opts o;
  le_utt_opts_default(&o);
  o.motion_dir = kTiny.c_str();
  o.threads = 1;
  o.onset_si = 0;  // the sessions speak over the same driver frames
  Ctx whole, part, planar, other;
  Session a{le_utt_create(whole.c, &o)};
  o.window_x = 90;
  o.window_width = 10;
  o.window_y = wy;
  o.window_height = wh;
  EXPECT_EQ(le_utt_create(part.c, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(),
               "le_utt_create: frame window (90, 7, 10 x 37) is not a rectangle inside the 96 x 64 frame");
  o.window_x = wx;
  o.window_width = ww;
  Session b{le_utt_create(part.c, &o)};
  o.frame_i420 = 1;
  Session d{le_utt_create(planar.c, &o)};
  ASSERT_TRUE(a.u && b.u && d.u && waitReady(a.u) && waitReady(b.u) && waitReady(d.u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(1.0);
  for (le_utt* u : {a.u, b.u, d.u}) {
    ASSERT_EQ(le_utt_push_audio(u, x.data(), static_cast<int>(x.size())), 1);
    le_utt_end_utterance(u);
  }
  std::vector<uint8_t> rgb(size_t(ww) * wh * 3);
  EXPECT_EQ(le_utt_pull_frame(d.u, rgb.data(), rgb.size(), nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(),
               "le_utt_pull_frame: the session makes I420 frames (le_utt_opts.frame_i420): pull them with "
               "le_utt_pull_frame_i420");
  const std::vector<Frame> fd = pullI420(d.u, ww, wh, beforeIdleAgain);
  const auto fa = pullSpeech(a.u, 25);
  const auto fb = pullSpeech(b.u, 25, 60, rgb.size());
  for (const std::vector<Frame>* frames : {&fb, &std::as_const(fd)}) {
    size_t matched[3] = {};
    for (const Frame& f : *frames)
      for (const Frame& g : fa) {
        if (g.info.kind != f.info.kind || g.info.si != f.info.si || g.info.ordinal != f.info.ordinal) continue;
        for (int r = 0; r < wh; ++r) std::memcpy(&rgb[size_t(r) * ww * 3], &g.rgb[(size_t(wy + r) * 96 + wx) * 3], size_t(ww) * 3);
        std::vector<uint8_t> want = rgb;
        if (frames == &fd) le::test::refI420(rgb.data(), ww, wh, want);
        ASSERT_EQ(f.rgb, want) << "kind " << f.info.kind << " ordinal " << f.info.ordinal;
        ++matched[f.info.kind];
        break;
      }
    EXPECT_EQ(matched[1], 25u);
    EXPECT_EQ(matched[2], 6u);
    EXPECT_GT(matched[0], 0u);
  }
  // A caller built before the window passes the shorter size: the whole frame.
  o.size = offsetof(le_utt_opts, window_x);
  Session c{le_utt_create(other.c, &o)};
  ASSERT_TRUE(c.u) << le_utt_last_error();
  EXPECT_EQ(pullWhile(c.u, [](const std::vector<Frame>& g) { return g.size() < 2; }).size(), 2u);
}

// Over a video driver an I420 session keeps only the part it pastes and
// makes the rest of each frame from the driver frame when it is pulled: the
// same bytes as the RGB frame converted, after an interrupt too (its frames
// made again from the cursor's history).
TEST(Utt, I420OverAVideoDriverIsTheRgbFrameConverted) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  const std::string video = std::string(LE_FIXTURES) + "/tiny-current";
  const int wx = 12, wy = 6, ww = 41, wh = 37;
  le_utt_opts o;
  le_utt_opts_default(&o);
  o.motion_dir = kTiny.c_str();
  o.threads = 1;
  o.onset_si = 0;
  Ctx rgbCtx(video), wholeCtx(video), partCtx(video);
  Session a{le_utt_create(rgbCtx.c, &o)};
  o.frame_i420 = 1;
  Session d{le_utt_create(wholeCtx.c, &o)};
  o.window_x = wx;
  o.window_y = wy;
  o.window_width = ww;
  o.window_height = wh;
  Session e{le_utt_create(partCtx.c, &o)};
  ASSERT_TRUE(a.u && d.u && e.u && waitReady(a.u) && waitReady(d.u) && waitReady(e.u)) << le_utt_last_error();
  size_t matched[3] = {};
  auto check = [&](const std::vector<Frame>& fa, const std::vector<Frame>& fd, const std::vector<Frame>& fe) {
    std::vector<uint8_t> want, cut(size_t(ww) * wh * 3);
    for (const Frame& g : fa)
      for (const std::vector<Frame>* frames : {&fd, &fe})
        for (const Frame& f : *frames) {
          if (g.info.kind != f.info.kind || g.info.si != f.info.si || g.info.ordinal != f.info.ordinal) continue;
          if (frames == &fd) {
            le::test::refI420(g.rgb.data(), 96, 64, want);
          } else {
            for (int r = 0; r < wh; ++r)
              std::memcpy(&cut[size_t(r) * ww * 3], &g.rgb[(size_t(wy + r) * 96 + wx) * 3], size_t(ww) * 3);
            le::test::refI420(cut.data(), ww, wh, want);
          }
          ASSERT_EQ(f.rgb, want) << "kind " << f.info.kind << " ordinal " << f.info.ordinal << " si " << f.info.si;
          ++matched[f.info.kind];
          break;
        }
  };
  const std::vector<int16_t> x = speech(1.0);
  for (le_utt* u : {a.u, d.u, e.u}) {
    ASSERT_EQ(le_utt_push_audio(u, x.data(), static_cast<int>(x.size())), 1);
    le_utt_end_utterance(u);
  }
  check(pullSpeech(a.u, 25), pullI420(d.u, 96, 64, beforeIdleAgain), pullI420(e.u, ww, wh, beforeIdleAgain));
  EXPECT_EQ(matched[1], 2 * 25u);
  EXPECT_EQ(matched[2], 2 * 6u);
  EXPECT_GT(matched[0], 0u);
  // Interrupted after ten speech frames.
  for (le_utt* u : {a.u, d.u, e.u}) le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  auto tenSpoken = [](const std::vector<Frame>& g) { return kindCount(g, 1) < 10; };
  auto eight = [](const std::vector<Frame>& g) { return g.size() < 8; };
  check(pullWhile(a.u, tenSpoken), pullI420(d.u, 96, 64, tenSpoken), pullI420(e.u, ww, wh, tenSpoken));
  for (le_utt* u : {a.u, d.u, e.u}) le_utt_interrupt(u);
  check(pullWhile(a.u, eight), pullI420(d.u, 96, 64, eight), pullI420(e.u, ww, wh, eight));
  EXPECT_EQ(matched[1], 2 * 35u);
  EXPECT_EQ(matched[2], 2 * 10u);  // the interrupt's ramp of four
}

// An engine that fails mid-stream ends the utterance; the failure is
// reported with the engine's text and the idle loop goes on.
TEST(Utt, AnEngineFailingMidStreamEndsTheUtterance) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  TempDir tmp;
  const std::string b = tmp / "b";
  fs::copy(kTiny, b, fs::copy_options::recursive);
  fs::copy_file(b + "/a2x_dec_m62.onnx", b + "/a2x_dec.onnx", fs::copy_options::overwrite_existing);
  Ctx ctx(b);
  le_utt* u = le_utt_open(ctx.c, b.c_str());
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(2.0);
  le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  char text[256] = {};
  for (int i = 0; i < 2000 && le_utt_render_status(u, text, sizeof text, nullptr) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(std::string(text), "motion engine: le_a2x extend: decoder output m: expected 63 floats, got 62");
  EXPECT_EQ(le_utt_ready(u), -1);
  le_utt_stats st;
  const auto frames = pullWhile(u, [](const std::vector<Frame>& g) { return g.size() < 10; }, 10);
  ASSERT_EQ(frames.size(), 10u);
  for (const Frame& f : frames) EXPECT_EQ(f.info.kind, 0);
  le_utt_get_stats(u, &st);
  EXPECT_EQ(st.state, 0);
  le_utt_destroy(u);
}

// A second utterance pushed while the first is still being delivered (ended
// by the host, or by its gap) waits behind it: both come in full, in order,
// and the session stays healthy.
TEST(Utt, SpeechAfterAnEndQueuesBehindTheUtteranceDraining) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  struct Case {
    double gap;
    bool end;
  };
  for (const Case c : {Case{0, true}, Case{0.4, true}, Case{1.0, true}, Case{2.0, true}, Case{1.0, false}}) {
    SCOPED_TRACE("gap " + std::to_string(c.gap) + (c.end ? " s, ended by the host" : " s, ended by the gap"));
    Ctx ctx;
    le_utt* u = le_utt_open(ctx.c, kTiny.c_str());
    Session session{u};
    ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
    const std::vector<int16_t> x = speech(2.0);
    le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
    if (c.end) le_utt_end_utterance(u);
    // The host takes frames at the frame rate meanwhile: 2 s of speech is
    // still on its way when the second utterance comes.
    std::vector<Frame> frames;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(c.gap);
    std::vector<uint8_t> buf(kFrame);
    while (std::chrono::steady_clock::now() < until) {
      le_utt_frame_info info;
      if (le_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) frames.push_back({info, buf});
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
    if (c.end) le_utt_end_utterance(u);
    size_t before = 0;
    for (const Frame& f : frames) before += f.info.kind == 1;
    for (Frame& f : pullSpeech(u, 100 - before)) frames.push_back(std::move(f));
    const auto runs = utterances(frames);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], count(50));
    EXPECT_EQ(runs[1], count(50));
    for (size_t k = 0; k < frames.size(); ++k) EXPECT_EQ(frames[k].info.seq, k);
    expectHealthy(u);
    le_utt_stats st;
    le_utt_get_stats(u, &st);
    EXPECT_EQ(st.onsets, 2u);
    EXPECT_EQ(st.speech_frames, 100u);
  }
}

// An interrupt drops the speech still to come and ramps back (four frames,
// the first frame pulled after it); speech pushed right after it is the
// next utterance, whole.
TEST(Utt, InterruptRampsBackAndSpeechAfterItIsDeliveredInFull) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Ctx ctx;
  le_utt* u = le_utt_open(ctx.c, kTiny.c_str());
  Session session{u};
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(2.0);
  le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  le_utt_end_utterance(u);
  int spoken = 0;
  pullWhile(u, [&](const std::vector<Frame>& g) { return (spoken += g.back().info.kind == 1) < 10; });
  le_utt_interrupt(u);
  const auto ramp = pullWhile(u, [](const std::vector<Frame>& g) { return g.size() < 8; });
  ASSERT_EQ(ramp.size(), 8u);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(ramp[k].info.kind, k < 4 ? 2 : 0) << k;
  le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  le_utt_end_utterance(u);
  const auto frames = pullSpeech(u, 50);
  const auto runs = utterances(frames);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], count(50));
  expectHealthy(u);
}

// A host that plays the speech on its own clock and falls behind passes over
// the frames its sound has left, those waiting and those not yet made; the
// frames that follow are those of a session without the skip, and the next
// utterance is untouched.
TEST(Utt, SkipToPassesOverTheSpeechTheSoundHasLeft) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Ctx ctx;
  const std::vector<int16_t> x = speech(2.0);
  le_utt_opts o;
  le_utt_opts_default(&o);
  o.motion_dir = kTiny.c_str();
  o.onset_si = 0;  // both sessions speak from the same driver frame
  auto speak = [&](le_utt* u) {
    EXPECT_EQ(le_utt_push_audio(u, x.data(), static_cast<int>(x.size())), 1);
    le_utt_end_utterance(u);
  };
  std::vector<std::vector<uint8_t>> whole;  // by ordinal
  {
    Session s{le_utt_create(ctx.c, &o)};
    ASSERT_TRUE(s.u && waitReady(s.u)) << le_utt_last_error();
    speak(s.u);
    for (const Frame& f : pullSpeech(s.u, 50))
      if (f.info.kind == 1) whole.push_back(f.rgb);
  }
  ASSERT_EQ(whole.size(), 50u);
  Session s{le_utt_create(ctx.c, &o)};
  ASSERT_TRUE(s.u && waitReady(s.u)) << le_utt_last_error();
  EXPECT_EQ(le_utt_skip_to(s.u, 5), 1);  // no speech on screen: nothing to pass over
  speak(s.u);
  auto got = pullWhile(s.u, [](const std::vector<Frame>& g) { return g.back().info.kind != 1; });
  ASSERT_EQ(got.back().info.ordinal, 0);
  for (int i = 0; i < 5000 && le_utt_frames_available(s.u) < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(le_utt_frames_available(s.u), 3);  // some frames wait, the rest are to be made
  EXPECT_EQ(le_utt_skip_to(s.u, 30), 1);
  speak(s.u);
  int starts = 0, idleAfter = 0;  // until three idle frames follow the next utterance's speech
  const auto rest = pullWhile(
      s.u,
      [&](const std::vector<Frame>& g) {
        const le_utt_frame_info& i = g.back().info;
        starts += i.kind == 1 && i.ordinal == 0;
        idleAfter = starts > 0 && i.kind == 0 ? idleAfter + 1 : 0;
        return idleAfter < 3;
      },
      120);
  got.insert(got.end(), rest.begin(), rest.end());
  // Of the frames made before the skip, those waiting give way to the last
  // one, which goes out late, as may one landing when none waits; then only
  // frames the sound has not passed (it moves on in real time from 30: a
  // slow machine passes over more).
  const auto runs = utterances(got);
  ASSERT_EQ(runs.size(), 2u);
  const std::vector<int>& r = runs[0];
  ASSERT_GE(r.size(), 2u);
  EXPECT_EQ(r[0], 0);
  EXPECT_TRUE(std::adjacent_find(r.begin(), r.end(), std::greater_equal<int>()) == r.end());
  const auto late = std::count_if(r.begin() + 1, r.end(), [](int ordinal) { return ordinal < 30; });
  EXPECT_GE(late, 1);
  EXPECT_LE(late, 4);  // the last waiting and those of the paste queue
  EXPECT_EQ(runs[1], count(50));
  size_t differ = 0, compared = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (i > 0) {
      EXPECT_GT(got[i].info.seq, got[i - 1].info.seq);
    }
    if (got[i].info.kind == 1 && got[i].info.ordinal < 50) {
      differ += got[i].rgb != whole[static_cast<size_t>(got[i].info.ordinal)];
      ++compared;
    }
  }
  EXPECT_EQ(compared, r.size() + 50);
  EXPECT_EQ(differ, 0u);
  EXPECT_EQ(le_utt_skip_to(nullptr, 1), 0);
  EXPECT_FAILS(le_utt_skip_to(s.u, -1), 0, le_utt_last_error, "le_utt_skip_to: bad args");
  // A sound at the largest ordinal passes over the rest of the utterance.
  speak(s.u);
  ASSERT_EQ(pullWhile(s.u, [](const std::vector<Frame>& g) { return g.back().info.kind != 1; }).back().info.ordinal, 0);
  EXPECT_EQ(le_utt_skip_to(s.u, INT_MAX), 1);
  EXPECT_LE(kindCount(pullSpeech(s.u, 0), 1), 4u);
  expectHealthy(s.u);
}

// One session per context: a second borrow is refused with the reason, and
// the context can be borrowed again once the first session is gone. A thread
// count no machine has is clamped, not handed to onnxruntime.
TEST(Utt, OneSessionPerContextAndThreadCountsClamped) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Ctx ctx;
  le_utt_opts o{};
  o.motion_dir = kTiny.c_str();
  o.threads = 100000;
  le_utt* u = le_utt_create(ctx.c, &o);
  Session session{u};
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  le_utt* second = le_utt_open(ctx.c, kTiny.c_str());
  Session secondSession{second};
  EXPECT_EQ(second, nullptr);
  EXPECT_STREQ(le_utt_last_error(),
               "le_utt_open: the context is already in use by another le_utt session (one session per context)");
  const std::vector<int16_t> x = speech(1.0);
  le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  le_utt_end_utterance(u);
  EXPECT_EQ(utterances(pullSpeech(u, 25)).size(), 1u);
  expectHealthy(u);
  session.close();
  secondSession.close();
  session.u = le_utt_open(ctx.c, kTiny.c_str());
  EXPECT_TRUE(session.u) << le_utt_last_error();
  // A context destroyed while a session holds it lives until the session ends.
  le_ctx* early = le_create(kTiny.c_str(), "b1", 1, nullptr);
  le_utt* orphan = le_utt_open(early, kTiny.c_str());
  ASSERT_TRUE(orphan) << le_utt_last_error();
  le_destroy(early);
  EXPECT_EQ(pullWhile(orphan, [](const std::vector<Frame>& g) { return g.size() < 3; }).size(), 3u);
  le_utt_destroy(orphan);
}

// Frames a standalone audio engine with these settings makes of `x` before
// the audio is finished.
int framesBeforeTheEnd(le_a2x_opts o, const std::vector<int16_t>& x) {
  le_a2x* a = le_a2x_create_opts(kTiny.c_str(), &o);
  if (!a) return -1;
  const std::vector<float> f(x.begin(), x.end());
  le_a2x_push(a, f.data(), static_cast<int>(f.size()));
  int n = 0;
  for (int k = 0, last = -1; k < 200 && n != last; ++k) {
    last = n;
    n = le_a2x_avail(a);
  }
  le_a2x_destroy(a);
  return n;
}

// Two sessions in one process, each by its own settings and none from the
// environment: A waits for the end of speech forever with no right context,
// B ends its utterance by a short gap with a right context of 12 frames.
TEST(Utt, TwoSessionsWithDifferentSettingsInOneProcess) {
  ScopedEnv unset("W2V_ONNX", nullptr);
  ScopedEnv paste("LE_UTT_PIPELINE_PASTE", "1");
  le_a2x_opts audio[2];
  le_utt_opts opts[2];
  for (int k = 0; k < 2; ++k) {
    le_a2x_opts_default(&audio[k]);
    audio[k].w2v_onnx = kW2v.c_str();
    audio[k].right_context = k == 0 ? 0 : 12;
    le_utt_opts_default(&opts[k]);
    EXPECT_EQ(opts[k].pipeline_paste, 1);
    opts[k].motion_dir = kTiny.c_str();
    opts[k].threads = 1;
    opts[k].audio = &audio[k];
    opts[k].pipeline_paste = k;
    opts[k].gap_s = k == 0 ? -1.0 : 0.25;
  }
  const std::vector<int16_t> x = speech(1.0);
  const int held[2] = {framesBeforeTheEnd(audio[0], x), framesBeforeTheEnd(audio[1], x)};
  ASSERT_GT(held[0], held[1]) << "the right context must change what a stream holds back";
  Ctx a, b;
  Session sa{le_utt_create(a.c, &opts[0])}, sb{le_utt_create(b.c, &opts[1])};
  ASSERT_TRUE(sa.u && sb.u && waitReady(sa.u) && waitReady(sb.u)) << le_utt_last_error();
  ASSERT_EQ(le_utt_push_audio(sa.u, x.data(), static_cast<int>(x.size())), 1);
  ASSERT_EQ(le_utt_push_audio(sb.u, x.data(), static_cast<int>(x.size())), 1);
  const auto fb = pullSpeech(sb.u, 25);
  const auto fa = pullWhile(sa.u, [&](const std::vector<Frame>& g) { return kindCount(g, 1) < size_t(held[0]); });
  EXPECT_EQ(kindCount(fb, 1), 25u);  // all of it: the gap ended the utterance
  EXPECT_EQ(kindCount(fb, 2), 6u);
  EXPECT_EQ(kindCount(fa, 1), size_t(held[0]));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  le_utt_stats st[2];
  ASSERT_TRUE(le_utt_get_stats(sa.u, &st[0]) && le_utt_get_stats(sb.u, &st[1]));
  EXPECT_EQ(st[0].state, LE_UTT_STATE_SPEAKING);  // still waiting for the rest of the speech
  EXPECT_EQ(st[0].speech_frames, size_t(held[0]));
  EXPECT_EQ(st[1].state, LE_UTT_STATE_IDLE);
  expectHealthy(sa.u);
  expectHealthy(sb.u);
  // A size that is neither 0 nor the struct's is refused.
  opts[0].size = 3;
  Ctx c;
  EXPECT_EQ(le_utt_create(c.c, &opts[0]), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.size is neither 0 nor sizeof(le_utt_opts)");
}

// A director that renders NaN on some driver rows: those frames go out as
// their driver frame (never a black face), each counted as a failure, and
// the session neither stops nor turns fatal.
TEST(Utt, ANonFiniteFaceIsReplacedByItsDriverFrame) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  TempDir tmp;
  const std::string b =
      le::test::failingBundle(kTiny, tmp / "b", "model_b1.onnx", {3, 7}, "model_b1_nanmarker.onnx");
  Ctx ctx(b);
  ASSERT_TRUE(ctx.c) << le_last_error();
  le_utt_opts o{};
  o.motion_dir = b.c_str();
  o.steady_model = "-";
  le_utt* u = le_utt_create(ctx.c, &o);
  Session session{u};
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(2.0);
  le_utt_push_audio(u, x.data(), static_cast<int>(x.size()));
  le_utt_end_utterance(u);
  const auto frames = pullSpeech(u, 50);
  char text[256] = {};
  int failures = 0;
  EXPECT_EQ(le_utt_render_status(u, text, sizeof text, &failures), 0);
  EXPECT_EQ(le_utt_ready(u), 1);
  EXPECT_NE(std::string(text).find("paste: the crop holds 3072 non-finite values"), std::string::npos) << text;
  session.close();
  int marked = 0, rendered = 0;
  for (const Frame& f : frames) {
    if (f.info.kind != 1) continue;
    const uint8_t* driver = le_target_frame(ctx.c, f.info.si);
    ASSERT_TRUE(driver) << le_last_error();
    const bool same = std::memcmp(driver, f.rgb.data(), kFrame) == 0;
    if (f.info.si == 3 || f.info.si == 7) {
      ++marked;
      EXPECT_TRUE(same) << "speech frame " << f.info.ordinal << " at row " << f.info.si;
    } else {
      rendered += !same;
    }
  }
  EXPECT_EQ(utterances(frames), std::vector<std::vector<int>>{count(50)});
  EXPECT_GT(marked, 4);
  EXPECT_GT(rendered, 20);
  EXPECT_GE(failures, marked);
}

// Two host threads speak into one session at once, each ending its own
// utterances: every sample becomes speech and the session stays healthy
// (run under ThreadSanitizer as utt_threads).
TEST(Utt, TwoHostThreadsSpeakOverlappingUtterances) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Ctx ctx;
  le_utt_opts o{};
  o.motion_dir = kTiny.c_str();
  o.gap_s = -1;
  le_utt* u = le_utt_create(ctx.c, &o);
  Session session{u};
  ASSERT_TRUE(u && waitReady(u)) << le_utt_last_error();
  const std::vector<int16_t> x = speech(1.0);
  std::atomic<long> speechFrames{0};
  std::atomic<bool> stop{false};
  std::thread puller([&] {
    std::vector<uint8_t> buf(kFrame);
    le_utt_frame_info info;
    while (!stop)
      if (le_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) speechFrames += info.kind == 1;
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  auto speaker = [&](int utterancesToSay) {
    for (int k = 0; k < utterancesToSay; ++k) {
      for (size_t at = 0; at < x.size(); at += 320) {
        le_utt_push_audio(u, x.data() + at, 320);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      le_utt_end_utterance(u);
    }
  };
  std::thread a(speaker, 3), b(speaker, 3);
  a.join();
  b.join();
  // Six seconds of speech in at most seven utterances (an end splits the
  // other thread's utterance): 150 frames, plus one per split at most.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  le_utt_stats st{};
  while (std::chrono::steady_clock::now() < deadline) {
    le_utt_get_stats(u, &st);
    if (speechFrames >= 150 && st.state == 0 && le_utt_frames_available(u) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  puller.join();
  EXPECT_GE(speechFrames.load(), 150);
  EXPECT_LE(speechFrames.load(), 157);
  expectHealthy(u);
}

namespace {

const std::string kBank = std::string(LE_FIXTURES) + "/tiny-bank";
constexpr size_t kBankFrame = 192 * 128 * 3;

// The bank members of a bundle, its track decoded as a host would.
struct Bank {
  le_tessera_members* m;
  std::vector<uint8_t> band;
  explicit Bank(const std::string& dir) {
    char err[512];
    m = le_tessera_members_open(dir.c_str(), err, sizeof err);
    EXPECT_NE(m, nullptr) << err;
    band.resize(le_tessera_members_band_bytes(m));
    EXPECT_EQ(le_tessera_members_decode_band(m, band.data(), band.size(), err, sizeof err), 0) << err;
    EXPECT_EQ(le_tessera_members_decode_band(m, band.data(), band.size() - 1, err, sizeof err), 1);
  }
  ~Bank() { le_tessera_members_close(m); }
  int attach(le_utt* u, char* err, int cap, const int32_t* stamp = nullptr) const {
    return le_utt_tessera_attach(u, band.data(), le_tessera_members_n_donors(m), le_tessera_members_cent(m),
                                 le_tessera_members_c_canon(m), le_tessera_members_aperture(m),
                                 stamp ? stamp : le_tessera_members_stamp(m), le_tessera_members_head_pt(m),
                                 static_cast<int>(le_tessera_members_head_pt_len(m)), le_tessera_members_head_json(m),
                                 le_tessera_members_manifest_json(m), err, cap);
  }
};

uint64_t composed(le_utt* u) {
  uint64_t borrowed = 0, passed = 0;
  le_utt_tessera_stats(u, &borrowed, &passed, nullptr, 0);
  return borrowed + passed;
}

}  // namespace

// Attach refusals leave a session unarmed; an attach arms it, a second one
// restarts its counters; an idling session never reaches the pass.
TEST(UttTessera, AttachRefusesOrArms) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Bank bank(kBank);
  char err[512];
  {
    Ctx tiny;  // a crop of 32, not the bank's 128
    Session s{le_utt_open(tiny.c, kTiny.c_str())};
    ASSERT_NE(s.u, nullptr) << le_utt_last_error();
    EXPECT_EQ(bank.attach(s.u, err, sizeof err), 1);
    EXPECT_STREQ(err, "le_utt_tessera_attach: bank canvas 128x128 != this bundle's render crop 32");
    EXPECT_EQ(le_utt_tessera_stats(s.u, nullptr, nullptr, nullptr, 0), 0);
  }
  Ctx ctx(kBank);
  Session s{le_utt_open(ctx.c, kBank.c_str())};
  ASSERT_TRUE(s.u && waitReady(s.u)) << le_utt_last_error();
  EXPECT_EQ(le_utt_tessera_attach(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                  nullptr, err, sizeof err),
            1);
  EXPECT_STREQ(err, "le_utt_tessera_attach: null session");
  EXPECT_EQ(le_utt_tessera_attach(s.u, bank.band.data(), 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                  nullptr, err, sizeof err),
            1);
  EXPECT_EQ(std::string(err).rfind("le_utt_tessera_attach: a required member is null", 0), 0u);
  int32_t stamp[12];
  std::memcpy(stamp, le_tessera_members_stamp(bank.m), sizeof stamp);
  stamp[6] = 0;
  EXPECT_EQ(bank.attach(s.u, err, sizeof err, stamp), 1);
  EXPECT_EQ(std::string(err).rfind("le_utt_tessera_attach: teeth: GeometryStamp incoherent: pad/shift_margin", 0), 0u);
  char text[128];
  EXPECT_EQ(le_utt_tessera_geometry(s.u, text, sizeof text), 0);
  EXPECT_STREQ(text, "");

  ASSERT_EQ(bank.attach(s.u, err, sizeof err), 0) << err;
  EXPECT_EQ(le_utt_tessera_stats(s.u, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_EQ(le_utt_tessera_geometry(s.u, text, sizeof text), 1);
  EXPECT_EQ(std::string(text).rfind("v1: ", 0), 0u) << text;
  pullWhile(s.u, [](const std::vector<Frame>& g) { return g.size() < 12; }, 30, kBankFrame);
  EXPECT_EQ(composed(s.u), 0u);  // idle frames have no crop
  EXPECT_EQ(le_utt_tessera_synth_w(s.u, nullptr, nullptr, nullptr), 0);

  const std::vector<int16_t> x = speech(1.0);
  le_utt_push_audio(s.u, x.data(), static_cast<int>(x.size()));
  le_utt_end_utterance(s.u);
  pullSpeech(s.u, 25, 60, kBankFrame);
  EXPECT_GT(composed(s.u), 0u);
  ASSERT_EQ(bank.attach(s.u, err, sizeof err), 0) << err;
  EXPECT_EQ(composed(s.u), 0u);
}

// Armed, every speech and ramp frame is composed, one frame late and in
// order; an interrupt never delivers the crop the pass held. Run under
// ThreadSanitizer too.
TEST(UttTessera, ArmedSpeechIsComposedInOrderAndInterruptsDropTheHeldCrop) {
  ScopedEnv w2v("W2V_ONNX", kW2v.c_str());
  Bank bank(kBank);
  std::vector<Frame> plain;
  for (const int pipelined : {-1, 0, 1}) {  // -1: unarmed, for comparison
    SCOPED_TRACE(pipelined);
    Ctx ctx(kBank);
    le_utt_opts o;
    le_utt_opts_default(&o);
    o.motion_dir = kBank.c_str();
    o.pipeline_paste = std::max(pipelined, 0);
    Session s{le_utt_create(ctx.c, &o)};
    ASSERT_TRUE(s.u && waitReady(s.u)) << le_utt_last_error();
    char err[512];
    if (pipelined >= 0) {
      ASSERT_EQ(bank.attach(s.u, err, sizeof err), 0) << err;
    }
    const std::vector<int16_t> x = speech(2.0);
    le_utt_push_audio(s.u, x.data(), static_cast<int>(x.size()));
    le_utt_end_utterance(s.u);
    const auto frames = pullSpeech(s.u, 50, 60, kBankFrame);
    if (pipelined < 0) {
      plain = frames;
      continue;
    }
    // The same speech frames as unarmed, but for the mouths the bank changed.
    size_t changed = 0;
    for (const Frame& f : frames)
      for (const Frame& p : plain)
        if (f.info.kind == 1 && p.info.kind == 1 && p.info.ordinal == f.info.ordinal) changed += p.rgb != f.rgb;
    EXPECT_GT(changed, 10u);
    for (size_t k = 1; k < frames.size(); ++k) ASSERT_EQ(frames[k].info.seq, frames[k - 1].info.seq + 1);
    const auto runs = utterances(frames);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], count(50));
    EXPECT_EQ(kindCount(frames, 2), 6u);
    EXPECT_EQ(composed(s.u), 56u);
    EXPECT_EQ(le_utt_tessera_stats(s.u, nullptr, nullptr, nullptr, 0), 1);

    le_utt_push_audio(s.u, x.data(), static_cast<int>(x.size()));
    int spoken = 0;
    pullWhile(s.u, [&](const std::vector<Frame>& g) { return (spoken += g.back().info.kind == 1) < 10; }, 30,
              kBankFrame);
    le_utt_interrupt(s.u);
    const auto after = pullWhile(s.u, [](const std::vector<Frame>& g) { return g.size() < 8; }, 30, kBankFrame);
    ASSERT_EQ(after.size(), 8u);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(after[k].info.kind, k < 4 ? 2 : 0) << k;
    expectHealthy(s.u);
  }
}

