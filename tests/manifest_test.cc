// The manifest scanner, its ambiguity rule and the loader's refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/manifest.h"
#include "tests/support/testutil.h"

namespace le {
namespace {

using manifest_key::kNotFound;
using manifest_key::scalarValuePos;
using test::TempDir;
using test::writeFile;

const std::string kStamped =
    R"({"format": "le-bundle-v0", "agent": "anna", "NT": 12, "H": 64, "W": 96, "crop": 32,
 "amount": 0.5, "sigma": 1.5, "ksize": 7, "frames": 30, "M_src_w": 96, "M_src_h": 64})";

std::string errorOf(const std::string& dir, const std::string& text) {
  try {
    parseManifest(dir, text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(loaded)";
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
  const size_t p = s.find(from);
  if (p == std::string::npos) throw std::logic_error("fixture lacks " + from);
  return s.replace(p, from.size(), to);
}

TEST(KeyScan, TopLevelWinsThenASingleNestedValue) {
  const std::string both = R"({"NT": 5, "x": {"NT": 7}})";
  EXPECT_EQ(scalarValuePos(both, "NT"), both.find('5'));
  const std::string nested = R"({"x": {"NT": 7}})";
  EXPECT_EQ(scalarValuePos(nested, "NT"), nested.find('7'));
  const std::string blockAndScalar = R"({"crop": {"w": 1}, "crop_size": 256})";
  EXPECT_EQ(scalarValuePos(blockAndScalar, "crop"), kNotFound);
  EXPECT_EQ(scalarValuePos(R"({"note": "\"W\": 5"})", "W"), kNotFound);
}

TEST(KeyScan, AmbiguityNamesEveryOffset) {
  const std::string t = R"({"W": 5, "W": 5})";
  try {
    scalarValuePos(t, "W");
    FAIL() << "accepted an ambiguous key";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "manifest: key \"W\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte 6, byte 14). A loader that "
              "picks one silently installs a number nobody checks. Rename the colliding key (a nested block must "
              "not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, "
              "ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle "
              "with the legacy manifest layout.");
  }
  // Two nested scalars with no top-level one are ambiguous too.
  const std::string nested = R"({"a": {"H": 1}, "b": {"H": 1}, "c": {"H": [1]}})";
  try {
    scalarValuePos(nested, "H");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("2 scalar occurrences (byte 12, byte 27)"), std::string::npos)
        << e.what();
  }
}

TEST(Manifest, ReadsEveryField) {
  const Manifest m = parseManifest("/b", kStamped);
  EXPECT_EQ(m.dir, "/b");
  EXPECT_EQ(m.agent, "anna");
  EXPECT_EQ(m.nt, 12);
  EXPECT_EQ(m.H, 64);
  EXPECT_EQ(m.W, 96);
  EXPECT_EQ(m.crop, 32);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 0.5f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 1.5f);
  EXPECT_EQ(m.unsharp.ksize, 7);
  EXPECT_EQ(m.frames, 30);
  EXPECT_EQ(m.msrcW, 96);
  EXPECT_EQ(m.msrcH, 64);
  EXPECT_EQ(m.lipTemplate, "");
  const Manifest d;
  EXPECT_EQ(d.crop, 512);
  EXPECT_FLOAT_EQ(d.unsharp.amount, 1.3f);
  EXPECT_FLOAT_EQ(d.unsharp.sigma, 2.0f);
  EXPECT_EQ(d.unsharp.ksize, 13);
}

TEST(Manifest, AlternativeNamesTruncationAndSentinel) {
  std::string t = replaced(kStamped, R"("NT": 12)", R"("frame_count": 12.9)");
  t = replaced(t, R"("crop": 32)", R"("crop": {"x": 1}, "crop_size": 256)");
  t = replaced(t, R"("M_src_w": 96, "M_src_h": 64)",
               R"("M_src_w": -1e300, "paste_source_width": 1280.7, "paste_source_height": -720.5e0)");
  const std::string e = errorOf("/b", t);
  EXPECT_EQ(e, "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  t = replaced(t, "-720.5e0", "720.5");
  const Manifest m = parseManifest("/b", t);
  EXPECT_EQ(m.nt, 12);
  EXPECT_EQ(m.crop, 256);
  EXPECT_EQ(m.msrcW, 1280);
  EXPECT_EQ(m.msrcH, 720);
  // "NT" at the top level and inside a block: the top-level one, no complaint.
  EXPECT_EQ(parseManifest("/b", replaced(kStamped, R"("NT": 12)", R"("NT": 12, "x": {"NT": 99})")).nt, 12);
}

TEST(Manifest, Refusals) {
  EXPECT_EQ(errorOf("/b", replaced(kStamped, "le-bundle-v0", "le-bundle-v1")), "not an le-bundle-v0: /b");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, "le-bundle-v0", "le-bundle-v0 ")), "not an le-bundle-v0: /b");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("H": 64)", R"("H": "720")")), "manifest: bad dims");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("crop": 32)", R"("crop": 0)")), "manifest: bad dims");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("H": 64,)", "")), "manifest: missing key H");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("NT": 12,)", "")), "manifest: missing key NT/frame_count");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("NT": 12)", R"("NT": -1e300)")),
            "manifest: missing key NT/frame_count");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("format": "le-bundle-v0",)", "")), "manifest: missing key format");
  // The string is taken from the next double quote on, wherever it is.
  EXPECT_EQ(parseManifest("/b", replaced(kStamped, R"("agent": "anna")", R"("agent": 5)")).agent, "NT");
  const std::string lastAgent = replaced(kStamped, R"("agent": "anna", )", "");
  EXPECT_EQ(errorOf("/b", lastAgent.substr(0, lastAgent.size() - 1) + R"(, "agent": 5})"),
            "manifest: bad string agent");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("M_src_w": 96)", R"("M_src_w": 0)")),
            "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("W": 96)", R"("W": 96, "W": 96)")).substr(0, 40),
            "manifest: key \"W\" is AMBIGUOUS \xE2\x80\x94 2 sca");
}

TEST(Manifest, ValuesOutsideTheirTypeAreRefusedNotWrapped) {
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("NT": 12)", R"("NT": 1e20)")),
            "manifest: value of NT/frame_count is out of range for a 32-bit integer");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("W": 96)", R"("W": nan)")),
            "manifest: value of W is out of range for a 32-bit integer");
  EXPECT_EQ(errorOf("/b", replaced(kStamped, R"("sigma": 1.5)", R"("sigma": 1e100)")),
            "manifest: value of sigma is out of range for a float");
  EXPECT_EQ(parseManifest("/b", replaced(kStamped, R"("NT": 12)", R"("NT": 2147483647.9)")).nt, 2147483647);
}

TEST(Manifest, UnstampedBundles) {
  const std::string half = replaced(kStamped, R"("M_src_w": 96, "M_src_h": 64)", R"("paste_source_width": 96)");
  {
    EXPECT_EQ(errorOf("/b", half),
              "/b/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
              "\xE2\x80\x94 the canvas is 96x64, so M cannot be placed: absence is not evidence that M was authored "
              "at that size. Re-stamp the bundle (models/ostrane-2/inference/backfill_msrc), or set "
              "OSTRANE2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
  }
  {
    test::ScopedEnv on("OSTRANE2_MSRC_MISSING_OK", "true");
    EXPECT_FALSE(fromEnvironment().bundle.msrcMissingOk);
  }
  test::ScopedEnv on("OSTRANE2_MSRC_MISSING_OK", "1");
  ASSERT_TRUE(fromEnvironment().bundle.msrcMissingOk);
  ::testing::internal::CaptureStderr();
  const Manifest m = parseManifest("/b", half, true);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[le] WARNING OSTRANE2_MSRC_MISSING_OK=1: /b/manifest.json carries no paste-space stamp; ASSUMING M "
            "was authored on this 96x64 canvas. If it was not, the face pastes off-target (cx#144) and nothing "
            "will say so.\n");
  EXPECT_EQ(m.msrcW, 96);
  EXPECT_EQ(m.msrcH, 64);
}

TEST(LoadManifest, FromDirectoryAndContainerWithLipTemplate) {
  TempDir tmp;
  writeFile(tmp / "d/manifest.json", kStamped);
  Manifest m = loadManifest(tmp / "d");
  EXPECT_EQ(m.lipTemplate, "");
  EXPECT_EQ(m.modelPath("b4_fp16"), tmp / "d/model_b4_fp16.onnx");
  writeFile(tmp / "d/lip_template.v1.json", "{\"lip\": [1, 2]}");
  writeFile(tmp / "d/render_model.batch4.fp16.onnx", "x");
  m = loadManifest(tmp / "d");
  EXPECT_EQ(m.lipTemplate, "{\"lip\": [1, 2]}");
  EXPECT_EQ(m.modelPath("b4_fp16"), tmp / "d/render_model.batch4.fp16.onnx");

  writeFile(tmp / "c.imx", test::buildImx({{"manifest.json", kStamped}}));
  m = loadManifest(tmp / "c");
  EXPECT_EQ(m.dir, tmp / "c.lebundle");
  EXPECT_EQ(m.nt, 12);
}

TEST(LoadManifest, UnreadableManifest) {
  TempDir tmp;
  auto err = [](const std::string& p) {
    try {
      loadManifest(p);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(loaded)");
  };
  EXPECT_EQ(err(tmp / "none"), "cannot open " + (tmp / "none") + "/manifest.json");
  std::filesystem::create_directories(tmp / "dirman/manifest.json");
  EXPECT_EQ(err(tmp / "dirman"), "cannot open " + (tmp / "dirman") + "/manifest.json");
}

}  // namespace
}  // namespace le
