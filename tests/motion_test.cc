// The motion engine through its C API on the reference avatar's motion
// directory (tests/motion_reference.py checks its arithmetic against numpy).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio/motion.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using le::test::ScopedEnv;
using le::test::TempDir;

namespace {

const std::string kMotionDir = std::string(LE_FIXTURES) + "/motion";
constexpr int kKp = 63;

// Voiced bursts between silences, 16 kHz.
std::vector<float> speech(double seconds) { return le::test::bursts(seconds, 1.3, 0.3, 0.6, 0.04, 140, 0.5); }

struct Handle {
  le_motion* m;
  explicit Handle(const std::string& dir = kMotionDir, const char* ep = nullptr)
      : m(le_motion_create(dir.c_str(), 1, ep)) {}
  ~Handle() { le_motion_destroy(m); }
  operator le_motion*() const { return m; }
};

struct Frames {
  std::vector<int> idx;
  std::vector<float> xs, out;
};

void drain(le_motion* m, Frames& f) {
  while (le_motion_avail(m) > 0) {
    int idx[16];
    float xs[16 * kKp], out[16 * kKp];
    const int n = le_motion_pull(m, idx, xs, out, 16);
    ASSERT_GT(n, 0) << le_motion_last_error();
    f.idx.insert(f.idx.end(), idx, idx + n);
    f.xs.insert(f.xs.end(), xs, xs + n * kKp);
    f.out.insert(f.out.end(), out, out + n * kKp);
  }
  ASSERT_STREQ(le_motion_last_error(), "");
}

Frames whole(le_motion* m, const std::vector<float>& x) {
  Frames f;
  EXPECT_EQ(le_motion_push(m, x.data(), static_cast<int>(x.size())), 1);
  le_motion_finish(m);
  drain(m, f);
  return f;
}

struct DirCopy {
  TempDir tmp;
  std::string path = tmp / "m";
  DirCopy() { fs::copy(kMotionDir, path, fs::copy_options::recursive); }
  void meta(const std::string& text) const { le::test::writeFile(path + "/meta.json", text); }
};

}  // namespace

TEST(Motion, PoseDecoding) {
  float flat[66];
  for (float& v : flat) v = 1.5f;
  EXPECT_EQ(le::motion::bin66(flat), 0.0f);
  float peaked[66] = {};
  peaked[10] = 80.0f;  // all the mass on bin 10
  EXPECT_NEAR(le::motion::bin66(peaked), 3 * 10 - 97.5, 1e-4);
  float r[9];
  le::motion::poseToR(0, 0, 0, r);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(r[i], i % 4 == 0 ? 1.0f : 0.0f) << i;
  le::motion::poseToR(0, 90, 0, r);  // yaw a quarter turn: x goes to -z
  EXPECT_NEAR(r[2], -1.0f, 1e-6);
  EXPECT_NEAR(r[6], 1.0f, 1e-6);
}

TEST(Motion, StreamsSettledFramesThenTheRestAtFinish) {
  Handle m;
  ASSERT_TRUE(m.m) << le_motion_last_error();
  EXPECT_EQ(le_motion_nt(m), 12);
  const std::vector<float> x = speech(7.0);
  EXPECT_EQ(le_motion_total(m), -1);
  ASSERT_EQ(le_motion_push(m, x.data(), 16000 * 3), 1);
  EXPECT_EQ(le_motion_avail(m), 0);  // the first chunk needs 80 rows
  ASSERT_EQ(le_motion_push(m, x.data() + 48000, static_cast<int>(x.size()) - 48000), 1);
  const int live = le_motion_avail(m);
  EXPECT_EQ(live, 80 - 11 + 70);  // two chunks stored, the last 11 frames not settled
  le_motion_finish(m);
  EXPECT_EQ(le_motion_total(m), 175);
  EXPECT_EQ(le_motion_avail(m), 175);
  EXPECT_FAILS(le_motion_push(m, x.data(), 10), 0, le_motion_last_error, "le_motion_push: bad args / already finished");
}

// Frames handed out early in eager mode come from a provisional chunk; once
// the real audio is in, the frames equal those of a run that never guessed.
TEST(Motion, EagerFramesComeEarlyAndRealAudioReplacesThem) {
  const std::vector<float> x = speech(6.0);
  Handle plain, eager, early;
  ASSERT_TRUE(plain.m && eager.m && early.m) << le_motion_last_error();
  le_motion_set_eager(eager, 1);
  le_motion_set_eager(early, 1);
  const Frames ref = whole(plain, x);

  // 49 frames and half of the 50th: the last is guessed over silence.
  ASSERT_EQ(le_motion_push(eager, x.data(), 31700), 1);
  EXPECT_EQ(le_motion_avail(eager), 50);  // every frame whose audio has begun
  ASSERT_EQ(le_motion_push(early, x.data(), 31700), 1);
  std::vector<float> out(50 * kKp);
  EXPECT_EQ(le_motion_pull(early, nullptr, nullptr, out.data(), 50), 50);

  ASSERT_EQ(le_motion_push(eager, x.data() + 31700, static_cast<int>(x.size()) - 31700), 1);
  le_motion_finish(eager);
  Frames got;
  drain(eager, got);
  ASSERT_EQ(got.out.size(), ref.out.size());
  EXPECT_EQ(0, std::memcmp(got.out.data(), ref.out.data(), ref.out.size() * 4));
  // Frames with all their audio were final already; the one whose audio was
  // cut short was not (silence was assumed after it).
  EXPECT_EQ(0, std::memcmp(out.data(), ref.out.data(), 49 * kKp * 4));
  EXPECT_NE(0, std::memcmp(&out[49 * kKp], &ref.out[49 * kKp], kKp * 4));
}

TEST(Motion, ResetRestartsTheTraversalAndTheReference) {
  const std::vector<float> x = speech(4.0);
  Handle m;
  ASSERT_TRUE(m.m) << le_motion_last_error();
  const Frames a = whole(m, x);
  le_motion_reset(m, 0, 1, 1);
  const Frames b = whole(m, x);
  EXPECT_EQ(a.idx, b.idx);
  EXPECT_EQ(0, std::memcmp(a.out.data(), b.out.data(), a.out.size() * 4));
  // 100 frames pulled over 12 rows: the next frame would use row 4.
  le_motion_reset(m, -1, -1, 1);
  const Frames c = whole(m, x);
  EXPECT_EQ(std::vector<int>(c.idx.begin(), c.idx.begin() + 4), (std::vector<int>{4, 3, 2, 1}));
}

TEST(Motion, HostileDirectoriesAreRefusedAtCreation) {
  struct Case {
    const char* meta;
    const char* error;
  };
  const Case metas[] = {
      {R"({"nt": 12, "n_src": 12, "n_emo": 0, "s_bridge": 0.8})",
       "le_motion_create: meta.json: bad n_emo (a whole number from 1 to 100000)"},
      {R"({"nt": 12, "n_src": 11, "n_emo": 3, "s_bridge": 0.8})", "le_motion_create: le_motion: n_src != nt unsupported"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3})", "le_motion_create: meta.json: missing s_bridge"},
      {R"({"nt": 1e12, "n_src": 1e12, "n_emo": 3, "s_bridge": 1})",
       "le_motion_create: meta.json: bad nt (a whole number from 1 to 100000)"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": nope})", "le_motion_create: meta.json: bad s_bridge"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": 1e93})", "le_motion_create: meta.json: bad s_bridge"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": 0.8, "x": {"s_bridge": 0.1}})",
       "le_motion_create: meta.json: the key \"s_bridge\" appears more than once"},
  };
  for (const Case& c : metas) {
    DirCopy d;
    d.meta(c.meta);
    EXPECT_FAILS(le_motion_create(d.path.c_str(), 1, nullptr), nullptr, le_motion_last_error, c.error);
  }
  {  // a count the file does not back
    DirCopy d;
    d.meta(R"({"nt": 12, "n_src": 12, "n_emo": 4, "s_bridge": 0.8})");
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, nullptr), nullptr);
    EXPECT_EQ(std::string(le_motion_last_error()),
              "le_motion_create: " + d.path + "/emo.bin holds 96 bytes, expected 128 (32 float32)");
  }
  {
    DirCopy d;
    fs::remove(d.path + "/stitch.onnx");
    fs::resize_file(d.path + "/v_min_max.bin", 529 * 4 + 2);
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, nullptr), nullptr);
    EXPECT_EQ(std::string(le_motion_last_error()),
              "le_motion_create: " + d.path + "/v_min_max.bin holds 2118 bytes, expected 2120 (530 float32)");
    fs::resize_file(d.path + "/v_min_max.bin", 530 * 4);
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, nullptr), nullptr);
    EXPECT_EQ(std::string(le_motion_last_error()).find("le_motion_create: "), 0u);
  }
  {
    DirCopy d;
    std::vector<float> src(12 * 328, 0.0f);  // scale 0 in row 0
    le::test::writeFile(d.path + "/src_xs_info.bin", std::string(reinterpret_cast<char*>(src.data()), src.size() * 4));
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, nullptr), nullptr);
    EXPECT_EQ(std::string(le_motion_last_error()),
              "le_motion_create: " + d.path + "/src_xs_info.bin: row 0 has scale 0");
    src[258] = NAN;
    le::test::writeFile(d.path + "/src_xs_info.bin", std::string(reinterpret_cast<char*>(src.data()), src.size() * 4));
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, nullptr), nullptr);
    EXPECT_EQ(std::string(le_motion_last_error()),
              "le_motion_create: " + d.path + "/src_xs_info.bin holds a non-finite value (index 258)");
  }
  EXPECT_EQ(le_motion_create("/nonexistent", 1, nullptr), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: cannot open /nonexistent/meta.json");
  EXPECT_EQ(le_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: NULL motion_dir");
  EXPECT_EQ(le_motion_create(kMotionDir.c_str(), 1, "cuda"), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: le_motion: unknown ep 'cuda'");
  // This runtime has no CoreML provider: the request fails with its reason.
  EXPECT_EQ(le_motion_create(kMotionDir.c_str(), 1, "coreml_ane"), nullptr);
  EXPECT_EQ(std::string(le_motion_last_error()).find("le_motion_create: "), 0u);
  EXPECT_GT(std::string(le_motion_last_error()).size(), 20u);
}

TEST(Motion, NullArgumentsAndRuntimeFailuresAreReported) {
  // NULL handles: tests/header_c99.c, through the C compiler.
  float buf[63] = {};
  int idx[1];
  Handle m;
  ASSERT_TRUE(m.m) << le_motion_last_error();
  EXPECT_FAILS(le_motion_push(m, nullptr, 5), 0, le_motion_last_error, "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_push(m, nullptr, 0), 1);

  // A generator that takes the stitcher's inputs loads, then fails at its
  // first chunk; the failure stays until reset.
  DirCopy d;
  fs::copy_file(d.path + "/stitch.onnx", d.path + "/lmdm.onnx", fs::copy_options::overwrite_existing);
  Handle bad(d.path);
  ASSERT_TRUE(bad.m) << le_motion_last_error();
  const std::vector<float> x = speech(4.0);
  ASSERT_EQ(le_motion_push(bad, x.data(), static_cast<int>(x.size())), 1);
  EXPECT_EQ(le_motion_avail(bad), 0);
  const std::string why = le_motion_last_error();
  EXPECT_EQ(why.find("le_motion_avail: "), 0u) << why;
  EXPECT_FAILS(le_motion_pull(bad, idx, buf, buf, 1), 0, le_motion_last_error, "le_motion_pull: " + why.substr(17));
  le_motion_reset(bad, 0, 1, 1);
  EXPECT_FAILS(le_motion_avail(bad), 0, le_motion_last_error, "");
}

// Nothing non-finite or absurd becomes a keypoint: each network's output is
// checked when it is read (the failure names it and stays until reset), meta
// values and scales that would throw a face out of its crop are refused at
// load. The samples a host pushes are the samples fuzz target's.
TEST(Motion, NonFiniteAndAbsurdValuesNeverBecomeKeypoints) {
  const std::vector<float> x = speech(4.0);
  for (const char* net : {"hubert_student", "lmdm", "stitch"}) {
    DirCopy d;
    fs::copy_file(d.path + "/" + net + "_nan.onnx", d.path + "/" + net + ".onnx", fs::copy_options::overwrite_existing);
    Handle m(d.path);
    ASSERT_TRUE(m.m) << le_motion_last_error();
    ASSERT_EQ(le_motion_push(m, x.data(), static_cast<int>(x.size())), 1) << le_motion_last_error();
    le_motion_finish(m);
    int idx[4];
    float xs[4 * kKp], out[4 * kKp];
    const int got = le_motion_avail(m) > 0 ? le_motion_pull(m, idx, xs, out, 4) : 0;
    EXPECT_EQ(got, 0) << net;
    const std::string why = std::string(net) + ".onnx output holds a non-finite value (index 0)";
    EXPECT_NE(std::string(le_motion_last_error()).find(why), std::string::npos) << le_motion_last_error();
    EXPECT_EQ(le_motion_pull(m, idx, xs, out, 4), 0);
    EXPECT_NE(std::string(le_motion_last_error()).find(why), std::string::npos) << le_motion_last_error();
  }
  struct Case {
    const char* meta;
    const char* says;
  };
  for (const Case& c : {Case{R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": 3e38})",
                             "le_motion_create: meta.json: bad s_bridge (from -100 to 100)"},
                        Case{R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": 0.8, "delta_pitch": 1e9})",
                             "le_motion_create: meta.json: bad delta_pitch (degrees from -180 to 180)"}}) {
    DirCopy d;
    d.meta(c.meta);
    EXPECT_FAILS(le_motion_create(d.path.c_str(), 1, nullptr), nullptr, le_motion_last_error, c.says);
  }
  for (const char* file : {"src_xs_info.bin", "ch_xs_info.bin"}) {
    DirCopy d;
    std::string bytes = le::test::readFile(d.path + "/" + file);
    const float huge = 3e38f;
    std::memcpy(&bytes[258 * 4], &huge, 4);
    le::test::writeFile(d.path + "/" + file, bytes);
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, nullptr), nullptr);
    EXPECT_NE(std::string(le_motion_last_error()).find(": scale or translation beyond +-1000"), std::string::npos)
        << le_motion_last_error();
  }
}

// Streams on one loaded model run on two threads at once and give the
// frames of a stream alone; the first stream is destroyed while they run.
TEST(MotionThreads, StreamsOnOneModelRunAtOnce) {
  const std::vector<float> x = speech(3.0);
  auto* ref = new Handle;
  ASSERT_TRUE(ref->m) << le_motion_last_error();
  const Frames want = whole(*ref, x);
  const le::motion::Model* first = le::motion::implOf(*ref)->model().get();
  Frames got[2];
  const le::motion::Model* model[2] = {nullptr, nullptr};
  std::atomic<int> started{0};
  std::thread t[2];
  for (int k = 0; k < 2; ++k)
    t[k] = std::thread([&, k] {
      Handle h;
      ++started;
      if (!h.m) return;
      model[k] = le::motion::implOf(h)->model().get();
      got[k] = whole(h, x);
    });
  while (started < 2) std::this_thread::yield();
  delete ref;
  for (auto& th : t) th.join();
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(model[k], first);
    EXPECT_EQ(got[k].idx, want.idx);
    ASSERT_EQ(got[k].out.size(), want.out.size());
    EXPECT_EQ(0, std::memcmp(got[k].out.data(), want.out.data(), want.out.size() * 4));
  }
}
