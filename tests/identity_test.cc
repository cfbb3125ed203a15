// Identity members, their size checks and refusals, M rescaling and the
// driving track, on generated bundles copied into scratch directories.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/manifest.h"
#include "driver/cursor.h"
#include "identity/identity.h"
#include "tests/support/testutil.h"

namespace le {
namespace {

namespace fs = std::filesystem;
const std::string kFix = LE_FIXTURES;
using test::TempDir;

using test::errorOf;

// A copy of a fixture bundle (videos and directors left out unless asked for).
std::string copyParts(const TempDir& tmp, const std::string& preset, bool all = false) {
  const std::string dst = tmp / preset;
  for (const auto& e : fs::recursive_directory_iterator(kFix + "/" + preset)) {
    const auto rel = fs::relative(e.path(), kFix + "/" + preset);
    const std::string r = rel.string();
    if (!all && (r.find(".onnx") != std::string::npos || r.rfind("target_frames", 0) == 0)) continue;
    if (e.is_directory()) fs::create_directories(dst + "/" + r);
    else {
      fs::create_directories(fs::path(dst + "/" + r).parent_path());
      fs::copy_file(e.path(), dst + "/" + r);
    }
  }
  return dst;
}

void appendByte(const std::string& path) { std::ofstream(path, std::ios::app | std::ios::binary) << 'x'; }

void rewriteManifest(const std::string& dir, const std::string& from, const std::string& to) {
  test::replaceInFile(dir + "/manifest.json", from, to);
}

TEST(Identity, MapsTheMembersOfAPBundle) {
  const Manifest m = loadManifest(kFix + "/tiny");
  Identity id(m);
  EXPECT_EQ(id.nt, 12);
  EXPECT_EQ(id.crop, 32);
  EXPECT_TRUE(id.hasPTable());
  EXPECT_FALSE(id.hasFsRed());
  EXPECT_EQ(id.priorBackend(), "P.f16");
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  std::ifstream p(kFix + "/tiny/P.f16", std::ios::binary);
  std::vector<uint16_t> row(3 * 32 * 32);
  p.seekg(5 * row.size() * 2);
  p.read(reinterpret_cast<char*>(row.data()), row.size() * 2);
  std::vector<float> got(row.size()), want(row.size());
  id.pRow(5, got.data());
  halfToFloat(row.data(), want.data(), row.size());
  EXPECT_EQ(got, want);
  const auto M = readRaw(kFix + "/tiny/M.f32", 72);
  EXPECT_EQ(std::memcmp(id.M(0), M.data(), M.size() * 4), 0);  // stamp = canvas: bit for bit
  std::vector<float> pooled(65536);
  id.pooled64Row(11, pooled.data());
  EXPECT_TRUE(std::isfinite(pooled[0]));
  // A table cut short under the avatar fails the read of a row it lost.
  TempDir tmp;
  const std::string d = copyParts(tmp, "tiny");
  Identity cut(loadManifest(d));
  fs::resize_file(d + "/pooled64.f16", 11 * 65536 * 2 + 100);
  cut.pooled64Row(10, pooled.data());
  EXPECT_EQ(errorOf([&] { cut.pooled64Row(11, pooled.data()); }),
            d + "/pooled64.f16: short read at " + std::to_string(11 * 65536 * 2 + 100));
  EXPECT_EQ(errorOf([&] { cut.pooled64Row(12, pooled.data()); }),
            d + "/pooled64.f16: row outside the table at " + std::to_string(12 * 65536 * 2));
}

TEST(Identity, FsRedBundleOpensNoPrior) {
  Identity id(loadManifest(kFix + "/tiny-fs"));
  EXPECT_FALSE(id.hasPTable());
  EXPECT_TRUE(id.hasFsRed());
  EXPECT_TRUE(id.priorPath.empty());
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_EQ(id.priorFrame(0), nullptr);
}

TEST(Identity, PriorVideoPlaysInPlace) {
  Identity id(loadManifest(kFix + "/tiny-prior"));
  EXPECT_FALSE(id.hasPTable());
  EXPECT_FALSE(id.priorPath.empty());
  const uint16_t* r3 = id.priorFrame(3);
  ASSERT_NE(r3, nullptr);
  std::vector<uint16_t> copy(r3, r3 + 3 * 64 * 64);
  id.walkP(4);
  EXPECT_EQ(std::memcmp(id.priorFrame(3), copy.data(), copy.size() * 2), 0);
  EXPECT_NE(id.priorBackend().find("hevc444/libavcodec"), std::string::npos);
  EXPECT_GT(id.priorResidentBytes(), 14u * 64 * 64 * 6);
}

TEST(Identity, SizeMismatchOfEveryMember) {
  for (const char* member : {"pooled64.f16", "P.f16", "M.f32"}) {
    TempDir tmp;
    const std::string d = copyParts(tmp, "tiny");
    appendByte(d + "/" + member);
    EXPECT_EQ(errorOf([&] { Identity id(loadManifest(d)); }), "size mismatch " + d + "/" + member);
  }
  TempDir tmp;
  const std::string d = copyParts(tmp, "tiny-fs");
  appendByte(d + "/fs_red.f16");
  EXPECT_EQ(errorOf([&] { Identity id(loadManifest(d)); }), "size mismatch " + d + "/fs_red.f16");
  for (const char* member : {"drive/xs.f32", "drive/xd.f32", "drive/si.i32"}) {
    TempDir t2;
    const std::string d2 = copyParts(t2, "tiny");
    appendByte(d2 + "/" + member);
    EXPECT_EQ(errorOf([&] { loadDrive(loadManifest(d2)); }), "size mismatch " + d2 + "/" + member);
  }
}

TEST(Identity, RescalesMFromItsStamp) {
  TempDir tmp;
  const std::string d = copyParts(tmp, "tiny");
  rewriteManifest(d, "\"M_src_w\": 96", "\"M_src_w\": 64");
  rewriteManifest(d, "\"M_src_h\": 64", "\"M_src_h\": 32");
  Identity id(loadManifest(d));
  const auto raw = readRaw(d + "/M.f32", 72);
  for (int r = 0; r < 12; ++r)
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(id.M(r)[k], static_cast<float>(static_cast<double>(raw[r * 6 + k]) * (k < 3 ? 1.5 : 2.0)));
  // The current-name bundle authored M on 192x128 for its 96x64 frames.
  Identity cur(loadManifest(kFix + "/tiny-current"));
  Identity old(loadManifest(kFix + "/tiny"));
  for (int k = 0; k < 72; ++k) EXPECT_NEAR(cur.M(0)[k], old.M(0)[k], 1e-4f * std::fabs(old.M(0)[k]) + 1e-6f);
  Manifest bad = loadManifest(d);
  bad.msrcW = 0;
  EXPECT_EQ(errorOf([&] { id.rescaleM(bad); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 refusing to paste M "
            "without knowing the space it was authored in");
}

TEST(Identity, WarpPriorRefusals) {
  {
    TempDir tmp;
    const std::string d = copyParts(tmp, "tiny");
    fs::remove(d + "/P.f16");
    EXPECT_EQ(errorOf([&] { Identity id(loadManifest(d)); }),
              "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
              "from \xE2\x80\x94 the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING "
              "to create a session.");
    fs::copy_file(d + "/pooled64.f16", d + "/prior_raw.f16");
    rewriteManifest(d, "\"format\"", "\"P_rgb\": \"prior_raw.f16\", \"format\"");
    EXPECT_EQ(errorOf([&] { Identity id(loadManifest(d)); }),
              "this bundle's manifest names its raw warp prior 'prior_raw.f16' (P_rgb) but le::Identity maps the welded "
              "name P.f16 and would find nothing \xE2\x80\x94 it maps NOTHING silently and Identity::P(si) is then an "
              "offset from a null pointer. REFUSING rather than rendering off a prior nothing will read.");
    rewriteManifest(d, "\"P_rgb\": \"prior_raw.f16\", ", "\"P_hevc\": \"gone.mov\", ");
    EXPECT_EQ(errorOf([&] { Identity id(loadManifest(d)); }),
              "this bundle's manifest names P_hevc 'gone.mov' and the file is not there (" + d +
                  "/gone.mov) \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");
  }
  // The prior video under the current member name is found through its older name.
  Identity id(loadManifest(kFix + "/tiny-prior"));
  EXPECT_NE(id.priorPath.find("P_hevc.mov"), std::string::npos);
}

TEST(Identity, DrivingTrack) {
  const Drive d = loadDrive(loadManifest(kFix + "/tiny"));
  EXPECT_EQ(d.frames, 24);
  EXPECT_EQ(d.xs.size(), 24u * 63);
  EXPECT_EQ(d.si[13], 1);
  TempDir tmp;
  const std::string b = copyParts(tmp, "tiny");
  std::fstream f(b + "/drive/si.i32", std::ios::in | std::ios::out | std::ios::binary);
  const int32_t nt = 12;
  f.seekp(4 * 7);
  f.write(reinterpret_cast<const char*>(&nt), 4);
  f.close();
  EXPECT_EQ(errorOf([&] { loadDrive(loadManifest(b)); }), "drive: si out of range");
}

}  // namespace
}  // namespace le
