// The process-wide audio encoders and session helpers. Tests that need a
// process where nothing was loaded yet run their body in a fresh child
// (gtest's threadsafe death-test style re-executes the binary).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
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
const std::string kPairDir = kFixtures + "/w2v", kLegacyDir = kFixtures + "/w2v-legacy";

std::vector<float> tone(int samples) {
  std::vector<float> x(samples);
  for (int i = 0; i < samples; ++i) x[i] = 0.2f * std::sin(0.05f * i) * (i % 8000 < 4000 ? 1.0f : 0.0f);
  return x;
}

// Streams `x` whole and returns out[] of every frame.
std::vector<float> frames(le_a2x* a, const std::vector<float>& x) {
  std::vector<float> all, out(16 * 63);
  le_a2x_push(a, x.data(), static_cast<int>(x.size()));
  le_a2x_finish(a);
  for (int n; (n = le_a2x_avail(a)) > 0;) {
    const int got = le_a2x_pull(a, nullptr, nullptr, out.data(), 16);
    all.insert(all.end(), out.begin(), out.begin() + got * 63);
  }
  return all;
}

// Runs `body` in a fresh process; it passes when the body returns true.
#define IN_FRESH_PROCESS(...)                                                    \
  do {                                                                           \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                              \
    EXPECT_EXIT(std::exit((__VA_ARGS__)() ? 0 : 1), testing::ExitedWithCode(0), ".*"); \
  } while (0)

}  // namespace

TEST(SharedW2v, TwoHandlesWithDifferentPathsShareTheFirstEncoder) {
  TempDir other;
  fs::copy_file(kLegacyDir + "/w2v_8s.onnx", other / "w2v_8s.onnx");
  le_a2x *a, *b;
  {
    ScopedEnv w2v("W2V_ONNX", (kLegacyDir + "/w2v_8s.onnx").c_str());
    a = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
  }
  {
    ScopedEnv w2v("W2V_ONNX", (other / "w2v_8s.onnx").c_str());
    b = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
  }
  ASSERT_TRUE(a && b) << le_a2x_last_error();
  ASSERT_FALSE(le::a2x::implOf(a)->shortWindow());
  EXPECT_EQ(le::a2x::implOf(a)->w2vSession(), le::a2x::implOf(b)->w2vSession());
  EXPECT_EQ(le::a2x::implOf(a)->w2vSession(), le::a2x::get_shared_w2v("/nonexistent.onnx", 1, {}));
  EXPECT_EQ(le_a2x_preload_w2v("/nonexistent.onnx"), 1);
  le_a2x_destroy(a);
  le_a2x_destroy(b);
}

TEST(SharedW2v, PreloadNeedsAPathAndReportsLoadErrors) {
  IN_FRESH_PROCESS([] {
    ScopedEnv unset("W2V_ONNX", nullptr);
    bool ok = le_a2x_preload_w2v(nullptr) == 0 &&
              std::string(le_a2x_last_error()) == "le_a2x_preload_w2v: no path and $W2V_ONNX unset";
    ok = ok && le_a2x_preload_w2v("/nonexistent/w2v.onnx") == 0 &&
         std::string(le_a2x_last_error()).rfind("le_a2x_preload_w2v: ", 0) == 0;
    ScopedEnv w2v("W2V_ONNX", (kLegacyDir + "/w2v_8s.onnx").c_str());
    return ok && le_a2x_preload_w2v("") == 1 && le_a2x_last_error()[0] == 0;
  });
}

// The frontend a handle runs, from its information call.
static std::string frontendOf(le_a2x* a) {
  le_a2x_info info{};
  info.size = sizeof info;
  return a && le_a2x_get_info(a, &info) ? info.frontend : "(none)";
}

// The short-window pair is looked for once per process, beside the 8 s
// encoder or where the settings name it: a pair that failed to load is not
// tried again, even when a later handle's encoder has a good pair beside it
// (the a2x tests see the pair used where it lies).
TEST(SharedW2v, ThePairIsLookedForOnce) {
  IN_FRESH_PROCESS([] {
    ScopedEnv w2v("W2V_ONNX", (kLegacyDir + "/w2v_8s.onnx").c_str());
    le_a2x* a = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
    ScopedEnv pair("W2V_ONNX", (kPairDir + "/w2v_8s.onnx").c_str());
    le_a2x* b = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
    const bool ok = frontendOf(a) == "8s-window" && frontendOf(b) == "8s-window";
    le_a2x_destroy(a);
    le_a2x_destroy(b);
    return ok;
  });
  IN_FRESH_PROCESS([] {
    TempDir tmp;
    le::test::writeFile(tmp / "junk.onnx", "not a model");
    le_a2x_opts o;
    le_a2x_opts_default(&o);
    o.threads = 1;
    const std::string w2v = kPairDir + "/w2v_8s.onnx", junk = tmp / "junk.onnx",
                      head = kPairDir + "/audio_encoder_fp16_window_head.onnx";
    o.w2v_onnx = w2v.c_str();
    o.w2v_window_onnx = junk.c_str();
    o.w2v_head_onnx = head.c_str();
    le_a2x* a = le_a2x_create_opts((kFixtures + "/tiny").c_str(), &o);
    o.w2v_window_onnx = nullptr;
    le_a2x* b = le_a2x_create_opts((kFixtures + "/tiny").c_str(), &o);
    const bool ok = frontendOf(a) == "8s-window" && frontendOf(b) == "8s-window" && frames(b, tone(16000)).size() == 25 * 63;
    le_a2x_destroy(a);
    le_a2x_destroy(b);
    return ok;
  });
}

// The runtime we ship has no CUDA provider: asking for it falls back to the
// CPU and the work still runs, all of it on the one owner thread.
TEST(SharedW2v, CudaRequestFallsBackToTheCpuOnTheOwnerThread) {
  IN_FRESH_PROCESS([] {
    ScopedEnv cuda("LE_A2X_CUDA", "1");
    ScopedEnv mib("LE_A2X_CUDA_MEM_MIB", "zero");
    ScopedEnv w2v("W2V_ONNX", (kPairDir + "/w2v_8s.onnx").c_str());
    le_a2x* a = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
    bool ok = frontendOf(a) == "short-window" && frames(a, tone(32000)).size() == 50 * 63;
    le_a2x_destroy(a);

    std::thread::id first, second;
    le::a2x::le_a2x_on_owner_thread([&] { first = std::this_thread::get_id(); }, true);
    std::thread([&] { le::a2x::le_a2x_on_owner_thread([&] { second = std::this_thread::get_id(); }, true); }).join();
    ok = ok && first == second && first != std::this_thread::get_id();
    try {
      le::a2x::le_a2x_on_owner_thread([] { throw std::runtime_error("from the owner"); }, true);
      ok = false;
    } catch (const std::runtime_error& e) {
      ok = ok && std::string(e.what()) == "from the owner";
    }
    return ok;
  });
  std::thread::id ran;
  le::a2x::le_a2x_on_owner_thread([&] { ran = std::this_thread::get_id(); }, false);
  EXPECT_EQ(ran, std::this_thread::get_id());
}

// Handles on different threads share the loaded model and the encoders, run
// at once and give the bytes of a single-threaded run; with LE_A2X_CUDA=1
// their runs queue on the owner. The first handle is destroyed while the
// others run.
TEST(A2xThreads, HandlesOnTwoThreadsGiveTheSingleThreadedBytes) {
  for (const char* cuda : {"0", "1"}) {
    ScopedEnv c("LE_A2X_CUDA", cuda);
    ScopedEnv w2v("W2V_ONNX", (kPairDir + "/w2v_8s.onnx").c_str());
    const std::vector<float> x = tone(48000);
    le_a2x* ref = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
    ASSERT_TRUE(ref) << le_a2x_last_error();
    const std::vector<float> want = frames(ref, x);
    std::vector<float> got[2];
    const le::a2x::Model* model[2] = {nullptr, nullptr};
    std::atomic<int> started{0};
    std::thread t[2];
    for (int k = 0; k < 2; ++k)
      t[k] = std::thread([&, k] {
        le_a2x* a = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
        ++started;
        if (!a) return;
        model[k] = le::a2x::implOf(a)->model().get();
        for (int rep = 0; rep < 2; ++rep) {
          le_a2x_reset(a, 0, 1, 1);
          got[k] = frames(a, x);
        }
        le_a2x_destroy(a);
      });
    while (started < 2) std::this_thread::yield();
    const le::a2x::Model* first = le::a2x::implOf(ref)->model().get();
    le_a2x_destroy(ref);
    for (auto& th : t) th.join();
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(model[k], first) << cuda;
      ASSERT_EQ(got[k].size(), want.size()) << cuda;
      EXPECT_EQ(0, std::memcmp(got[k].data(), want.data(), want.size() * 4)) << cuda;
    }
  }
}

// One handle from two threads at once, one pushing and one pulling: the
// calls take turns, and the frames are those of a single-threaded run.
TEST(A2xThreads, OneHandleFromTwoThreadsTakesTurns) {
  ScopedEnv w2v("W2V_ONNX", (kPairDir + "/w2v_8s.onnx").c_str());
  const std::vector<float> x = tone(48000);
  le_a2x* a = le_a2x_create((kFixtures + "/tiny").c_str(), 1);
  ASSERT_TRUE(a) << le_a2x_last_error();
  const std::vector<float> want = frames(a, x);
  le_a2x_reset(a, 0, 1, 1);
  std::atomic<bool> pushed{false};
  std::thread pusher([&] {
    for (size_t at = 0; at < x.size(); at += 320) le_a2x_push(a, x.data() + at, 320);
    le_a2x_finish(a);
    pushed = true;
  });
  std::vector<float> got;
  float out[4 * 63];
  for (bool done = false; !done;) {
    done = pushed;  // read before the poll: a poll after the finish drains the rest
    for (int n; (n = le_a2x_avail(a)) > 0;) {
      const int k = le_a2x_pull(a, nullptr, nullptr, out, 4);
      ASSERT_GT(k, 0) << le_a2x_last_error();
      got.insert(got.end(), out, out + k * 63);
    }
  }
  pusher.join();
  le_a2x_destroy(a);
  ASSERT_EQ(got.size(), want.size());
  EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * 4));
}
