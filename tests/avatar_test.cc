// One loaded avatar under many contexts: contexts on the same bundle and
// settings share it, render at once on several threads with the bytes of a
// context alone, outlive each other in any order, and a bundle changed on
// disk is loaded afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/avatar.h"
#include "engine/engine.h"
#include "kernels/pool.h"
#include "le/le.h"
#include "support/testutil.h"

namespace {

namespace fs = std::filesystem;
using le::test::TempDir;

const std::string kTiny = std::string(LE_FIXTURES) + "/tiny";

struct CtxDeleter {
  void operator()(le_ctx* c) const { le_destroy(c); }
};
using Ctx = std::unique_ptr<le_ctx, CtxDeleter>;

Ctx create(const std::string& bundle, int threads = 1) { return Ctx(le_create(bundle.c_str(), "b1", threads, nullptr)); }

size_t rgbaBytes(le_ctx* c) { return static_cast<size_t>(le_width(c)) * le_height(c) * 4; }

// Every drive row of the bundle rendered and pasted as RGBA.
std::vector<std::vector<uint8_t>> driveFrames(le_ctx* c) {
  std::vector<std::vector<uint8_t>> frames(static_cast<size_t>(le_drive_frames(c)), std::vector<uint8_t>(rgbaBytes(c)));
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(le_render_drive_rgba(c, static_cast<int>(i), frames[i].data(), frames[i].size()), 1) << le_last_error();
  return frames;
}

const le::Avatar* avatarOf(le_ctx* c) { return le::engineOf(c).avatar().get(); }

TEST(SharedAvatar, ContextsOnTwoThreadsGiveTheBytesOfOneAlone) {
  const size_t before = le::Avatar::cached();
  std::vector<std::vector<uint8_t>> want;
  {
    Ctx solo = create(kTiny);
    ASSERT_TRUE(solo) << le_last_error();
    want = driveFrames(solo.get());
  }
  EXPECT_EQ(le::Avatar::cached(), before);  // freed with its last context

  Ctx first = create(kTiny);
  ASSERT_TRUE(first) << le_last_error();
  Ctx other[2] = {create(kTiny), create(kTiny)};
  ASSERT_TRUE(other[0] && other[1]);
  EXPECT_EQ(avatarOf(other[0].get()), avatarOf(first.get()));
  EXPECT_EQ(avatarOf(other[1].get()), avatarOf(first.get()));
  EXPECT_EQ(le::Avatar::cached(), before + 1);
  // A different thread count loads a director of its own size: another avatar.
  Ctx wider = create(kTiny, 2);
  ASSERT_TRUE(wider);
  EXPECT_NE(avatarOf(wider.get()), avatarOf(first.get()));
  wider.reset();

  // Two threads render every row in opposite orders, three passes, while the
  // first context renders once and is destroyed under them.
  const int rows = static_cast<int>(want.size());
  int mismatches[2] = {0, 0};
  std::atomic<int> rendered{0};
  auto run = [&](int t) {
    std::vector<uint8_t> out(want[0].size());
    for (int pass = 0; pass < 3; ++pass)
      for (int k = 0; k < rows; ++k) {
        const int i = t == 0 ? k : rows - 1 - k;
        if (le_render_drive_rgba(other[t].get(), i, out.data(), out.size()) != 1 || out != want[static_cast<size_t>(i)])
          ++mismatches[t];
        ++rendered;
      }
  };
  std::thread a(run, 0), b(run, 1);
  EXPECT_EQ(driveFrames(first.get()), want);
  while (rendered < 4) std::this_thread::yield();
  first.reset();
  a.join();
  b.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
  const auto& director = *le::engineOf(other[0].get()).renderer().director();
  EXPECT_EQ(&director, le::engineOf(other[1].get()).renderer().director().get());
  // Runs beyond what the cores hold wait their turn: three streams, at most
  // cores / intra-op threads runs at once.
  EXPECT_GE(director.peakRuns(), 1);
  EXPECT_LE(director.peakRuns(), std::max(1, le::pool::threads() / director.threads()));
}

// A session on a context takes back the context's own decoded frame (what
// le_target_frame handed out): it is stream state the session never reads.
TEST(SharedAvatar, ASessionGivesBackTheContextsDecodedFrame) {
  Ctx c = create(std::string(LE_FIXTURES) + "/tiny-current");  // a video driver: frames expanded on demand
  ASSERT_TRUE(c) << le_last_error();
  ASSERT_NE(le_target_frame(c.get(), 2), nullptr) << le_last_error();
  const le::DriverCursor& cursor = le::engineOf(c.get()).cursor();
  const size_t with = cursor.residentBytes();
  le_utt* u = le_utt_open(c.get(), kTiny.c_str());
  ASSERT_TRUE(u) << le_utt_last_error();
  EXPECT_EQ(cursor.residentBytes(), with - le_width(c.get()) * le_height(c.get()) * 3);
  le_utt_destroy(u);
  const uint8_t* again = le_target_frame(c.get(), 2);
  ASSERT_NE(again, nullptr) << le_last_error();
  EXPECT_EQ(cursor.residentBytes(), with);
}

TEST(SharedAvatar, ABundleChangedOnDiskIsLoadedAfresh) {
  TempDir tmp;
  const std::string dir = tmp / "b";
  fs::copy(kTiny, dir, fs::copy_options::recursive);
  Ctx before = create(dir);
  ASSERT_TRUE(before) << le_last_error();
  const std::vector<std::vector<uint8_t>> old = driveFrames(before.get());

  // Every paste transform moved one pixel right: the same bundle name, other bytes.
  std::string m = le::test::readFile(dir + "/M.f32");
  for (size_t row = 0; row < m.size() / 24; ++row) {
    float c;
    std::memcpy(&c, &m[row * 24 + 8], 4);
    c += 1.0f;
    std::memcpy(&m[row * 24 + 8], &c, 4);
  }
  le::test::writeFile(dir + "/M.f32", m);
  Ctx after = create(dir);
  ASSERT_TRUE(after) << le_last_error();
  EXPECT_NE(avatarOf(after.get()), avatarOf(before.get()));
  EXPECT_NE(driveFrames(after.get()), old);
  // The context made before the change keeps the avatar it loaded.
  EXPECT_EQ(driveFrames(before.get()), old);
  // A bundle whose change breaks it is refused, not served from the cache.
  fs::resize_file(dir + "/M.f32", 20);
  EXPECT_FALSE(create(dir));
}

}  // namespace
