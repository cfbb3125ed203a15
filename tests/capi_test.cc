// The core C entry points, through the shared library's exported symbols.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"
#include "tests/support/testutil.h"

namespace {

using le::test::buildImx;
using le::test::TempDir;
using le::test::writeFile;

// Each family keeps its own text, per thread.
TEST(CApi, EveryFamilyStartsEmptyOnEveryThread) {
  char out[4];
  le_bundle_resolve_handle("/nonexistent", out, 1);  // an error of one family, on this thread only
  for (const char* t : {le_motion_last_error(), le_fca_last_error(), le_a2x_last_error(), le_stream_last_error(),
                        le_utt_last_error()})
    EXPECT_STREQ(t, "");
  std::thread([] {
    for (const char* t : {le_last_error(), le_motion_last_error(), le_fca_last_error(), le_a2x_last_error(),
                          le_stream_last_error(), le_utt_last_error()}) {
      ASSERT_NE(t, nullptr);
      EXPECT_STREQ(t, "");
    }
  }).join();
  EXPECT_STRNE(le_last_error(), "");
}

TEST(CApi, ResolveHandle) {
  TempDir tmp;
  writeFile(tmp / "av.imx", buildImx({{"manifest.json", "{}"}, {"P.f16", "xx"}}));
  const std::string u = tmp / "av.lebundle";
  char out[4096];

  EXPECT_FAILS(le_bundle_resolve_handle(nullptr, out, sizeof out), -1, le_last_error, "");
  EXPECT_EQ(le_bundle_resolve_handle("x", nullptr, 5), -1);
  EXPECT_FAILS(le_bundle_resolve_handle("x", out, 0), -1, le_last_error, "");

  std::string small(u.size(), 'q');
  EXPECT_EQ(le_bundle_resolve_handle((tmp / "av.imx").c_str(), small.data(), u.size()), -1);
  EXPECT_FAILS(small[0], 0, le_last_error, "le_bundle_resolve_handle: buffer too small");

  EXPECT_EQ(le_bundle_resolve_handle((tmp / "av").c_str(), out, u.size() + 1), 1);
  EXPECT_FAILS(std::string(out), u, le_last_error, "");

  writeFile(tmp / "old.imx", buildImx({{"a", "b"}}, 1));
  writeFile(tmp / "bad.imx", buildImx({{"../a", "b"}}));
  // A version-1 file is not taken for a container; a version-2 one with a bad
  // member name is, and fails.
  EXPECT_EQ(le_bundle_resolve_handle((tmp / "old.imx").c_str(), out, sizeof out), 1);
  out[0] = 'q';
  EXPECT_EQ(le_bundle_resolve_handle((tmp / "bad.imx").c_str(), out, sizeof out), -1);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(std::string(le_last_error()),
            "le_bundle_resolve_handle: " + (tmp / "bad.imx") + ": refusing unsafe member name '../a'");
}

TEST(CApi, ResolveMember) {
  TempDir tmp;
  writeFile(tmp / "av.imx", buildImx({{"manifest.json", "{}"}, {"source_frames.f16", "xx"}}));
  writeFile(tmp / "bad.imx", buildImx({{"/abs", "b"}}));
  char out[4096];
  // Set an error and check that member resolution neither clears nor sets it.
  le_bundle_resolve_handle((tmp / "bad.imx").c_str(), out, sizeof out);
  const std::string err = le_last_error();
  ASSERT_NE(err, "");

  const std::string p = tmp / "av.lebundle/source_frames.f16";
  EXPECT_EQ(le_bundle_resolve_member((tmp / "av.imx").c_str(), "P.f16", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), p);
  EXPECT_EQ(le_bundle_resolve_member((tmp / "av").c_str(), "M.f32", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), tmp / "av.lebundle/M.f32");

  std::string shortBuf(p.size(), 'q');
  EXPECT_EQ(le_bundle_resolve_member((tmp / "av.imx").c_str(), "P.f16", shortBuf.data(), p.size()), -1);
  EXPECT_EQ(shortBuf[0], 0);
  EXPECT_EQ(le_bundle_resolve_member((tmp / "av.imx").c_str(), "P.f16", shortBuf.data(), p.size() + 1), 1);

  EXPECT_EQ(le_bundle_resolve_member(nullptr, "P.f16", out, sizeof out), -1);
  EXPECT_EQ(le_bundle_resolve_member("x", nullptr, out, sizeof out), -1);
  EXPECT_EQ(le_bundle_resolve_member("x", "P.f16", nullptr, sizeof out), -1);
  EXPECT_EQ(le_bundle_resolve_member("x", "P.f16", out, 0), -1);

  // A container that fails to unpack: -1 and an empty output, no exception.
  out[0] = 'q';
  EXPECT_EQ(le_bundle_resolve_member((tmp / "bad.imx").c_str(), "P.f16", out, sizeof out), -1);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(err, le_last_error());
}

}  // namespace

namespace {

TEST(CApiPrior, RowsThroughTheCApi) {
  EXPECT_FAILS(le_prior_open(nullptr, 2, 2), nullptr, le_last_error, "le_prior_open: NULL bundle_dir");
  uint16_t one = 0;
  EXPECT_FAILS(le_prior_row(nullptr, 0, &one, 2), 0, le_last_error, "le_prior_row: NULL prior/out");

  const std::string dir = std::string(LE_FIXTURES) + "/tiny-prior";
  le_prior* p = le_prior_open(dir.c_str(), 0, -5);
  ASSERT_NE(p, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  const size_t bytes = le_prior_row_bytes(p);
  EXPECT_EQ(bytes, 64u * 64 * 6);
  EXPECT_NE(std::string(le_prior_backend(p)).find("hevc444/libavcodec"), std::string::npos);
  std::vector<uint16_t> row(bytes / 2), again(bytes / 2);
  EXPECT_EQ(le_prior_row(p, 3, row.data(), bytes - 1), 0);
  EXPECT_EQ(std::string(le_last_error()), "le_prior_row: cap " + std::to_string(bytes - 1) + " < row bytes " +
                                              std::to_string(bytes));
  for (int si = 0; si < 8; ++si) ASSERT_EQ(le_prior_row(p, si, row.data(), bytes), 1) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_prior_row(p, 5, again.data(), bytes), 1);
  EXPECT_EQ(le_prior_row(p, 7, row.data(), bytes), 1);
  EXPECT_NE(row, again);
  EXPECT_EQ(le_prior_row(p, 8, row.data(), bytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: le_driver: seek(8) outside [0,8)");
  le_prior_close(p);

  const std::string plain = std::string(LE_FIXTURES) + "/tiny";
  EXPECT_EQ(le_prior_open(plain.c_str(), 2, 2), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" +
                                              plain + "/P_hevc.mov) \xE2\x80\x94 there is no warp prior to play. "
                                              "REFUSING to create a session.");
}

}  // namespace

namespace {

// A container unwrapped once is reused without taking the lock or writing
// anything (its unwrap directory may be read-only); one whose table entries
// share payload bytes is refused before anything is written.
TEST(CApi, ContainerReuseWritesNothingAndSharedPayloadsAreRefused) {
  TempDir tmp;
  le::test::ScopedEnv noRoot("LE_IMX_UNWRAP_ROOT", nullptr);
  writeFile(tmp / "a.imx", buildImx({{"manifest.json", "{}"}, {"P.f16", std::string(100, 'p')}}));
  char dir[4096];
  ASSERT_EQ(le_bundle_resolve_handle((tmp / "a.imx").c_str(), dir, sizeof dir), 1) << le_last_error();
  const std::string lock = std::string(dir) + ".imx_unwrap.lock";
  ASSERT_TRUE(le::test::exists(lock));
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  ASSERT_EQ(le_bundle_resolve_handle((tmp / "a.imx").c_str(), dir, sizeof dir), 1) << le_last_error();
  EXPECT_FALSE(le::test::exists(lock));

  // 300 entries over one 100 KiB payload would unpack to 30 MB.
  std::vector<le::test::RawEntry> entries;
  const uint64_t payload = 8 + 300 * (2 + 4 + 16);
  for (int i = 0; i < 300; ++i) entries.push_back({std::string(1, 'm').append(std::to_string(100 + i)), payload, 102400});
  writeFile(tmp / "b.imx", le::test::rawImx(entries, 300, std::string(102400, 'z')));
  EXPECT_EQ(le_bundle_resolve_handle((tmp / "b.imx").c_str(), dir, sizeof dir), -1);
  EXPECT_NE(std::string(le_last_error()).find("members 'm100' and 'm101' share payload bytes"), std::string::npos)
      << le_last_error();
  EXPECT_FALSE(le::test::exists(tmp / "b.lebundle.imx_unwrapped"));
  EXPECT_FALSE(le::test::exists(tmp / "b.lebundle/m100"));
}

}  // namespace
