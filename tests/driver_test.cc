// Frame sources and the driver cursor on generated bundles. Pixels are checked
// against FFmpeg's own decode of the same file converted with formulas written
// here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/manifest.h"
#include "driver/cursor.h"
#include "driver/source.h"
#include "le/le.h"
#include "tests/support/testutil.h"

#ifndef LE_FIXTURES
#error "LE_FIXTURES must name the generated fixture directory"
#endif

namespace le {
namespace {

const std::string kFix = LE_FIXTURES;
using test::TempDir;


using test::errorOf;

uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// FFmpeg decodes, the BT.601 limited-range integer formula converts.
std::vector<std::vector<uint8_t>> referenceRgb(const std::string& path, int W, int H) {
  const std::string yuv = test::runCommand("ffmpeg -loglevel error -i '" + path + "' -f rawvideo -pix_fmt yuv420p -");
  const size_t fsz = static_cast<size_t>(W) * H * 3 / 2;
  std::vector<std::vector<uint8_t>> frames;
  for (size_t off = 0; off + fsz <= yuv.size(); off += fsz) {
    const uint8_t* Y = reinterpret_cast<const uint8_t*>(yuv.data()) + off;
    const uint8_t* U = Y + W * H;
    const uint8_t* V = U + W * H / 4;
    std::vector<uint8_t> rgb(static_cast<size_t>(W) * H * 3);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int C = 298 * (Y[y * W + x] - 16) + 128, D = U[(y / 2) * (W / 2) + x / 2] - 128,
                  E = V[(y / 2) * (W / 2) + x / 2] - 128;
        uint8_t* p = &rgb[(static_cast<size_t>(y) * W + x) * 3];
        p[0] = clamp255((C + 409 * E) >> 8);
        p[1] = clamp255((C - 100 * D - 208 * E) >> 8);
        p[2] = clamp255((C + 516 * D) >> 8);
      }
    frames.push_back(std::move(rgb));
  }
  return frames;
}

Manifest tiny() { return loadManifest(kFix + "/tiny"); }

std::unique_ptr<DriverCursor> mp4Cursor(int lookahead = 2, int history = 3) {
  const Manifest m = tiny();
  return DriverCursor::over(driver::openMp4(m.dir + "/target_frames.mp4", m.nt, m.W, m.H), lookahead, history);
}

// Windows of frame i (odd corners and sizes, a single column, the whole
// frame) are the bytes of the whole frame there.
void expectWindowsOf(DriverCursor& c, int i) {
  const int W = c.W(), H = c.H();
  std::vector<uint8_t> whole(c.frameBytes());
  c.pullAt(i, whole.data());
  auto expectWindow = [&](const FrameWindow& w) {
    std::vector<uint8_t> got(w.bytes());
    ASSERT_EQ(c.pullWindowAt(i, got.data(), w), i);
    for (int r = 0; r < w.h; ++r)
      ASSERT_EQ(std::memcmp(&got[size_t(r) * w.w * 3], &whole[(size_t(w.y + r) * W + w.x) * 3], size_t(w.w) * 3), 0)
          << c.name() << " window " << w.x << "," << w.y << " " << w.w << "x" << w.h << " row " << r;
  };
  const FrameWindow odd{3, 1, W / 2 + 1, H / 2 + 1};
  for (const FrameWindow& w : {odd, FrameWindow{W - 1, 0, 1, H}, FrameWindow{0, 0, W, H}, FrameWindow{W / 2, H - 3, W / 2, 3}})
    expectWindow(w);
  // Kept to a window, the cursor decodes anew and serves the same bytes
  // inside it, and nothing else, until it keeps the whole frame again.
  c.keepWindow(odd);
  expectWindow(odd);
  expectWindow(FrameWindow{odd.x + 1, odd.y + 2, odd.w - 2, odd.h - 3});
  std::vector<uint8_t> again(c.frameBytes());
  EXPECT_THROW(c.pullAt(i, again.data()), std::runtime_error);
  EXPECT_THROW(c.pullWindowAt(i, again.data(), FrameWindow{0, 0, W, H}), std::runtime_error);
  c.keepWindow(FrameWindow{});
  c.pullAt(i, again.data());
  EXPECT_EQ(again, whole);
}

TEST(DriverCursor, LoopsAndMatchesFfmpegBitForBit) {
  const Manifest m = tiny();
  const auto want = referenceRgb(m.dir + "/target_frames.mp4", m.W, m.H);
  ASSERT_EQ(static_cast<int>(want.size()), m.nt);
  auto c = mp4Cursor();
  std::vector<uint8_t> got(c->frameBytes());
  for (int k = 0; k < m.nt + 3; ++k) {
    const int idx = c->pull(got.data());
    ASSERT_EQ(idx, k % m.nt);
    ASSERT_EQ(got, want[idx]) << "frame " << idx;
  }
  EXPECT_EQ(c->position(), 3);
  EXPECT_EQ(c->seeks(), 0u);
  // The ring keeps 4:2:0 planes; every delivered form expands them alike.
  int idx = -1;
  ASSERT_EQ(std::memcmp(c->pullAt(4, &idx), want[4].data(), want[4].size()), 0);
  const uint8_t* stored = c->pullStoredAt(5, &idx);
  std::vector<uint8_t> rgba(static_cast<size_t>(m.W) * m.H * 4);
  c->expand(stored, rgba.data(), 4);
  for (size_t p = 0; p < rgba.size() / 4; ++p)
    ASSERT_TRUE(std::equal(&rgba[p * 4], &rgba[p * 4 + 3], &want[5][p * 3]) && rgba[p * 4 + 3] == 255) << p;
  expectWindowsOf(*c, 6);
}

TEST(DriverCursor, HistoryServesRecentFramesWithoutSeeking) {
  const Manifest m = tiny();
  const auto want = referenceRgb(m.dir + "/target_frames.mp4", m.W, m.H);
  auto c = mp4Cursor(2, 3);
  std::vector<uint8_t> f(c->frameBytes());
  // Eight pulls: the reader has certainly decoded frames 6 and 7 into the
  // slots of frames 0 and 1 (six slots), whatever its speed.
  for (int k = 0; k < 8; ++k) c->pull(f.data());
  for (int back : {7, 6, 5, 4}) {
    EXPECT_EQ(c->pullAt(back, f.data()), back);
    EXPECT_EQ(f, want[back]);
  }
  EXPECT_EQ(c->seeks(), 0u);
  EXPECT_EQ(c->pullAt(0, f.data()), 0);  // overwritten: decoded again
  EXPECT_EQ(f, want[0]);
  EXPECT_EQ(c->seeks(), 1u);
  EXPECT_EQ(c->pullAt(11, f.data()), 11);  // far ahead: never decoded yet, whatever the reader's speed
  EXPECT_EQ(f, want[11]);
  EXPECT_EQ(c->seeks(), 2u);
  EXPECT_EQ(c->pull(f.data()), 0);
  EXPECT_EQ(errorOf([&] { c->seek(m.nt); }), "le_driver: seek(12) outside [0,12)");
  EXPECT_EQ(errorOf([&] { c->seek(-1); }), "le_driver: seek(-1) outside [0,12)");
}

TEST(DriverCursor, ShortVideoFailsEveryLaterPull) {
  TempDir tmp;
  const Manifest m = tiny();
  // Matroska records no frame count, so the shortfall shows only at the end.
  const std::string path = tmp / "short.mkv";
  test::runCommand("ffmpeg -loglevel error -i '" + m.dir + "/target_frames.mp4' -c copy -frames:v 11 -f matroska '" + path + "'");
  auto c = DriverCursor::over(driver::openMp4(path, m.nt, m.W, m.H), 2, 3);
  std::vector<uint8_t> f(c->frameBytes());
  // The reader meets the end up to its look-ahead (2) before the consumer
  // does, and from then on every pull fails: at least 9 frames come out, in
  // order, and never a 12th.
  int delivered = 0;
  std::string e1;
  for (; delivered < 12; ++delivered) {
    e1 = errorOf([&] { ASSERT_EQ(c->pull(f.data()), delivered); });
    if (e1 != "(no error)") break;
  }
  EXPECT_GE(delivered, 9);
  EXPECT_LE(delivered, 11);
  EXPECT_NE(e1.find("ended after 11 frames, the manifest says NT=12 \xE2\x80\x94 a short driver is a session that stops"),
            std::string::npos)
      << e1;
  EXPECT_EQ(e1.rfind("le_driver: mp4/libavcodec", 0), 0u) << e1;
  EXPECT_EQ(errorOf([&] { c->pullAt(3, f.data()); }), e1);
  EXPECT_EQ(errorOf([&] { c->seek(2); }), e1);
}

TEST(DriverCursor, DestroysPromptlyInEveryState) {
  for (int pulls : {0, 1, 5}) {
    auto c = mp4Cursor(1, 0);
    std::vector<uint8_t> f(c->frameBytes());
    for (int k = 0; k < pulls; ++k) c->pull(f.data());
    if (pulls == 5) c->seek(1);  // a seek pending in the reader
  }
}

TEST(DriverCursor, ConcurrentConsumers) {
  auto c = mp4Cursor(2, 4);
  std::atomic<int> bad{0};
  auto work = [&](int salt) {
    std::vector<uint8_t> f(c->frameBytes());
    for (int k = 0; k < 40; ++k) {
      const int want = (k * 5 + salt) % c->NT();
      try {
        if (c->pullAt(want, f.data()) != want) ++bad;
        if (k % 3 == 0) c->seek((want + 7) % c->NT());
      } catch (...) {
        ++bad;
      }
    }
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  EXPECT_EQ(bad.load(), 0);
}

// Frames of 4x2 I420 whose every byte is the frame's index; decoding frame
// `stallAt` waits until release().
class StallingSource : public driver::Source {
 public:
  int NT() const override { return 8; }
  int W() const override { return 4; }
  int H() const override { return 2; }
  size_t storedBytes() const override { return 12; }
  bool storesDelivered() const override { return false; }
  bool next(uint8_t* stored) override {
    if (next_ == stallAt) {
      std::unique_lock<std::mutex> l(m_);
      stalled_ = true;
      cv_.notify_all();
      cv_.wait(l, [&] { return released_; });
    }
    std::memset(stored, next_, storedBytes());
    next_ = (next_ + 1) % NT();
    return true;
  }
  void rewind() override { next_ = 0; }
  void seek(int i) override { next_ = i; }
  std::string name() const override { return "stalling"; }
  size_t residentBytes() const override { return 0; }
  bool waitStalled() {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::seconds(10), [&] { return stalled_; });
  }
  void release() {
    std::lock_guard<std::mutex> l(m_);
    released_ = true;
    cv_.notify_all();
  }
  int stallAt = -1;

 private:
  int next_ = 0;
  std::mutex m_;
  std::condition_variable cv_;
  bool stalled_ = false, released_ = false;
};

// A held frame's planes are read while another thread's pull waits for the
// reader to decode the frame it wants.
TEST(DriverCursor, HeldFramesAreReadWhileAPullWaitsForTheReader) {
  auto owned = std::make_unique<StallingSource>();
  StallingSource* src = owned.get();
  src->stallAt = 3;
  auto c = DriverCursor::over(std::move(owned), 1, 3);
  ASSERT_EQ(c->deliverAt(1), 1);
  std::thread waiting([&] { c->deliverAt(3); });
  ASSERT_TRUE(src->waitStalled());
  auto read = std::async(std::launch::async, [&] {
    int sum = -1;
    const bool held = c->useHeld(1, FrameWindow{0, 0, 4, 2}, [&](const DriverCursor::HeldPlanes& p) {
      sum = p.y[0] + p.y[p.yStride + 3] + p.u[1] + p.v[0];
    });
    return held ? sum : -2;
  });
  const bool done = read.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  src->release();
  waiting.join();
  EXPECT_TRUE(done) << "the held frame waited for the decode of another";
  EXPECT_EQ(read.get(), 4);
  EXPECT_FALSE(c->useHeld(6, FrameWindow{0, 0, 4, 2}, [](const DriverCursor::HeldPlanes&) { FAIL(); }));
  EXPECT_FALSE(c->useHeld(1, FrameWindow{1, 0, 2, 2}, [](const DriverCursor::HeldPlanes&) { FAIL(); }));
}

// Cursors kept to one window of one video share its frames: two filling the
// loop at once get the bytes of the whole frame there, and a third, once the
// loop is in, copies every frame (decoding none); another window decodes.
TEST(DriverCursor, WindowsOfALoopAreDecodedOnce) {
  auto whole = mp4Cursor();
  const int nt = whole->NT(), W = whole->W();
  const FrameWindow win{3, 1, W / 2 + 1, whole->H() / 2 + 1};
  std::vector<std::vector<uint8_t>> want(static_cast<size_t>(nt));
  std::vector<uint8_t> frame(whole->frameBytes());
  for (int i = 0; i < nt; ++i) {
    whole->pullAt(i, frame.data());
    for (int r = 0; r < win.h; ++r)
      want[i].insert(want[i].end(), &frame[(size_t(win.y + r) * W + win.x) * 3], &frame[(size_t(win.y + r) * W + win.x + win.w) * 3]);
  }
  std::atomic<int> bad{0};
  auto play = [&](DriverCursor& c, int frames) {
    std::vector<uint8_t> got(win.bytes());
    for (int k = 0; k < frames; ++k) bad += c.pullWindowAt(k % nt, got.data(), win) != k % nt || got != want[k % nt];
  };
  auto a = mp4Cursor(), b = mp4Cursor();
  a->keepWindow(win);
  b->keepWindow(win);
  std::thread ta([&] { play(*a, 2 * nt); }), tb([&] { play(*b, 2 * nt); });
  ta.join();
  tb.join();
  EXPECT_EQ(bad.load(), 0);
  auto c = mp4Cursor();
  c->keepWindow(win);
  const uint64_t before = c->decoded();
  play(*c, nt + 3);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(c->decoded(), before) << "a loop of this window was already in";
  // Copying, it holds no decoder; kept whole again, it decodes from the
  // member anew, at any frame.
  // (Its slots of the window, not the decoder's six whole frames.)
  EXPECT_LT(c->residentBytes(), size_t{12} * (W / 2 + 4) * (whole->H() / 2 + 4));
  c->keepWindow(FrameWindow{});
  for (int i : {nt - 2, 1, nt - 1, 0}) {
    c->pullAt(i, frame.data());
    std::vector<uint8_t> ref(whole->frameBytes());
    whole->pullAt(i, ref.data());
    EXPECT_EQ(frame, ref) << "frame " << i;
  }
  auto d = mp4Cursor();
  d->keepWindow(FrameWindow{0, 0, W / 2, 4});
  const uint64_t first = d->decoded();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(d->decoded(), first) << "a cursor given a window decodes only once it is pulled";
  std::vector<uint8_t> got(FrameWindow{0, 0, W / 2, 4}.bytes());
  d->pullWindowAt(5, got.data(), FrameWindow{0, 0, W / 2, 4});
  EXPECT_GT(d->decoded(), first);
}

TEST(DriverSources, JpegDirectoryLoopsAndChecksSizes) {
  const Manifest m = tiny();
  auto c = DriverCursor::open(m, 2, 3);
  EXPECT_EQ(c->name(), "jpg/stb");
  std::vector<uint8_t> f(c->frameBytes());
  for (int k = 0; k < m.nt + 2; ++k) ASSERT_EQ(c->pull(f.data()), k % m.nt);
  expectWindowsOf(*c, 2);

  TempDir tmp;
  const std::string frames = tmp / "frames";
  std::filesystem::create_directories(frames);
  for (int i = 0; i < 3; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    std::ifstream in(m.dir + "/target_frames" + name, std::ios::binary);
    std::ofstream(frames + name, std::ios::binary) << in.rdbuf();
  }
  test::runCommand("ffmpeg -loglevel error -y -i '" + m.dir + "/target_frames/frame_000002.jpg' -vf scale=48:32 '" + frames +
            "/frame_000002.jpg'");
  auto src = driver::openJpgDir(frames, 3, m.W, m.H);
  EXPECT_TRUE(src->next(f.data()));
  EXPECT_TRUE(src->next(f.data()));
  EXPECT_EQ(errorOf([&] { src->next(f.data()); }),
            "le_driver: " + frames + "/frame_000002.jpg is 48x32, the manifest says 96x64 \xE2\x80\x94 refusing");
  src->rewind();
  EXPECT_TRUE(src->next(f.data()));
  src->seek(1);
  EXPECT_TRUE(src->next(f.data()));
  EXPECT_EQ(errorOf([&] { src->seek(3); }), "le_driver: seek outside the member");
  // A long directory path still finds its frames.
  std::string deep = tmp.path();
  for (char ch : std::string("abcdef")) deep += "/" + std::string(200, ch);  // past 1087 characters
  std::filesystem::create_directories(deep);
  std::ifstream in(m.dir + "/target_frames/frame_000000.jpg", std::ios::binary);
  std::ofstream(deep + "/frame_000000.jpg", std::ios::binary) << in.rdbuf();
  EXPECT_TRUE(driver::openJpgDir(deep, 1, m.W, m.H)->next(f.data()));
}

TEST(DriverSources, RefusesOtherPixelLayoutsAndSizes) {
  TempDir tmp;
  const Manifest m = tiny();
  const std::string v422 = tmp / "422.mp4";
  test::runCommand("ffmpeg -loglevel error -i '" + m.dir + "/target_frames.mp4' -c:v libx264 -pix_fmt yuv422p '" + v422 + "'");
  auto src = driver::openMp4(v422, m.nt, m.W, m.H);
  std::vector<uint8_t> f(src->frameBytes());
  EXPECT_EQ(errorOf([&] { src->next(f.data()); }),
            "le_driver: " + v422 +
                " decoded to yuv422p, not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) "
                "\xE2\x80\x94 refusing rather than pasting onto a different pixel domain");
  EXPECT_EQ(errorOf([&] { driver::openMp4(m.dir + "/target_frames.mp4", m.nt, 64, 64); }),
            "le_driver: " + m.dir + "/target_frames.mp4 is 96x64, the manifest says 64x64 \xE2\x80\x94 refusing to rescale the driver");
  EXPECT_EQ(errorOf([&] { driver::openMp4(m.dir + "/target_frames.mp4", 13, m.W, m.H); }),
            "le_driver: " + m.dir + "/target_frames.mp4 carries 12 frames, the manifest says NT=13 \xE2\x80\x94 member/manifest mismatch, refusing");
  EXPECT_EQ(errorOf([&] { driver::openMp4(m.dir + "/manifest.json", m.nt, m.W, m.H); }),
            "le_driver: " + m.dir + "/manifest.json is not a readable container");

  const Manifest pm = loadManifest(kFix + "/tiny-prior");
  const std::string p420 = tmp / "p420.mov";
  test::runCommand("ffmpeg -loglevel error -i '" + pm.dir + "/P_hevc.mov' -c:v libx265 -x265-params log-level=error -pix_fmt yuv420p '" +
            p420 + "'");
  auto prior = driver::openPriorHevc(p420, pm.nt, pm.crop);
  std::vector<uint8_t> pf(prior->frameBytes());
  EXPECT_EQ(errorOf([&] { prior->next(pf.data()); }),
            "le_driver: " + p420 +
                " decoded to yuv420p, not the yuv444p a warp prior is authored in \xE2\x80\x94 a subsampled prior is a "
                "different mouth, refusing");
}

uint16_t refHalf(float x) {  // round to nearest even, for values in [0, 1]
  if (x == 0) return 0;
  int e;
  std::frexp(x, &e);
  double q = std::nearbyint(x / std::ldexp(1.0, e - 11));
  int ex = e - 1;
  if (q == 2048) q = 1024, ++ex;
  if (ex < -14) return static_cast<uint16_t>(std::nearbyint(x / std::ldexp(1.0, -24)));
  return static_cast<uint16_t>(((ex + 15) << 10) | (static_cast<int>(q) - 1024));
}

TEST(DriverSources, PriorVideoMatchesTheFormulaAndHalfTable) {
  const Manifest pm = loadManifest(kFix + "/tiny-prior");
  const int S = pm.crop;
  const std::string yuv = test::runCommand("ffmpeg -loglevel error -i '" + pm.dir + "/P_hevc.mov' -f rawvideo -pix_fmt yuv444p -");
  ASSERT_EQ(yuv.size(), static_cast<size_t>(S) * S * 3 * pm.nt);
  auto c = DriverCursor::openPrior(pm, 2, 3);
  ASSERT_EQ(c->frameBytes(), static_cast<size_t>(S) * S * 6);
  std::vector<uint16_t> got(static_cast<size_t>(S) * S * 3);
  auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  for (int i = 0; i < pm.nt; ++i) {
    ASSERT_EQ(c->pull(reinterpret_cast<uint8_t*>(got.data())), i);
    const uint8_t* Y = reinterpret_cast<const uint8_t*>(yuv.data()) + static_cast<size_t>(i) * S * S * 3;
    const uint8_t* U = Y + S * S;
    const uint8_t* V = U + S * S;
    for (int p = 0; p < S * S; ++p) {
      const int yc = (Y[p] - 16) * 76312, uc = U[p] - 128, vc = V[p] - 128;
      ASSERT_EQ(got[p], refHalf(clamp((yc + 104600 * vc + 32768) >> 16) / 255.0f));
      ASSERT_EQ(got[S * S + p], refHalf(clamp((yc - 25672 * uc - 53280 * vc + 32768) >> 16) / 255.0f));
      ASSERT_EQ(got[2 * S * S + p], refHalf(clamp((yc + 132200 * uc + 32768) >> 16) / 255.0f));
    }
  }
  EXPECT_EQ(refHalf(1.0f), 0x3C00);
  EXPECT_EQ(c->seeks(), 0u);
  std::vector<uint8_t> f(c->frameBytes());
  c->pullAt(3, f.data());  // backwards beyond the history
  EXPECT_EQ(c->seeks(), 1u);
}

TEST(DriverCursor, OpenChoosesTheMember) {
  const Manifest m = tiny();
  // The bundle carries both a populated frame directory and the video.
  EXPECT_EQ(DriverCursor::open(m, 2, 11, DriverSettings{true, true})->name().rfind("mp4/libavcodec", 0), 0u);
  EXPECT_EQ(DriverCursor::open(m, 2, 11, DriverSettings{true, false})->name().find("mp4"), std::string::npos);

  TempDir tmp;
  std::ofstream(tmp / "manifest.json") << "{}";
  Manifest bare = m;
  bare.dir = tmp.path();
  EXPECT_EQ(errorOf([&] { DriverCursor::open(bare, 2, 3); }),
            "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + tmp.path() +
                "/target_frames.mp4) \xE2\x80\x94 there is no driver video to play. REFUSING to create a session.");
  EXPECT_EQ(errorOf([&] { DriverCursor::openPrior(bare, 2, 3); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + tmp.path() +
                "/P_hevc.mov) \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
}

}  // namespace
}  // namespace le
