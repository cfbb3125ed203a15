// The compose mask, the corpus identification and the lip contour.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.h"
#include "tessera/geometry.h"

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;
using le::test::errorOf;

constexpr int kN = 256;

std::string manifest(const std::string& pi, const std::string& extra = "") {
  return "{\"agent\":\"t\",\"unified\":{\"pi\":" + pi + extra + "}}";
}
const std::string kPi = "{\"mode\":\"prop\",\"lip_idx\":[0,1,2,3],\"lip_geom_params\":[0.05,0.08,0.015]}";

// Lip rows 0..3 around (cx, cy): corners at +-hw, lips at +-hh.
std::vector<float> mouth(float cx, float cy, float hw, float hh) {
  std::vector<float> kp(63, 0.0f);
  const float pts[4][2] = {{cx - hw, cy}, {cx + hw, cy}, {cx, cy - hh}, {cx, cy + hh}};
  for (int r = 0; r < 4; ++r) kp[3 * r] = pts[r][0], kp[3 * r + 1] = pts[r][1];
  for (int r = 4; r < 21; ++r) kp[3 * r] = 0.5f, kp[3 * r + 1] = -0.5f;  // rows the masks never read
  return kp;
}

TEST(TesseraPi, DescriptorRefusals) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"{\"agent\":\"t\"}", "teeth-pi: manifest has no `unified` block — this bundle predates"},
      {manifest("{\"mode\":\"ellipse\",\"lip_idx\":[0]}"), "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask"},
      {manifest("{\"lip_idx\":[0]}"), "teeth-pi: unified.pi.mode is not a string"},
      {manifest("{\"mode\":\"prop\",\"corner_recovery\":\"all\",\"lip_idx\":[0]}"),
       "teeth-pi: unknown unified.pi.corner_recovery"},
      {manifest("{\"mode\":\"prop\",\"lip_geom_params\":[0,0,0]}"), "teeth: member JSON lacks key 'lip_idx'"},
      {manifest("{\"mode\":\"prop\",\"lip_idx\":[],\"lip_geom_params\":[0,0,0]}"),
       "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {manifest("{\"mode\":\"prop\",\"lip_idx\":[0,21],\"lip_geom_params\":[0,0,0]}"),
       "teeth-pi: unified.pi.lip_idx names keypoint row 21, and a kd row is 0..20"},
      {manifest("{\"mode\":\"prop\",\"lip_idx\":[0],\"lip_geom_params\":[0,0]}"),
       "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifest(kPi, ",\"crop\":{\"canvas\":512}"), "teeth-pi: engine renders at canvas 256 but unified.crop.canvas is 512"},
  };
  for (const auto& c : cases) {
    const std::string got = errorOf([&] { UnifiedPi::fromManifestJson(c.text, kN); });
    EXPECT_EQ(got.rfind(c.message, 0), 0u) << got;
  }
  EXPECT_NO_THROW(UnifiedPi::fromManifestJson(manifest(kPi, ",\"crop\":{\"canvas\":256}"), kN));
  EXPECT_EQ(errorOf([&] { UnifiedPi::fromManifestJson(manifest(kPi), 0); }).rfind("teeth-pi: canvas 0", 0), 0u);
}

TEST(TesseraPi, MasksBoxesAndShift) {
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(kPi), kN);
  std::vector<float> lip(kN * kN), gate(kN * kN);
  std::vector<uint8_t> mask(kN * kN), boxed(kN * kN);

  // A closed mouth: no teeth gate, the compose mask is the lip ellipse alone.
  const std::vector<float> closed = mouth(0.0f, 0.3f, 0.15f, 0.015f);
  pi.propTeethGate(closed.data(), gate.data());
  EXPECT_EQ(*std::max_element(gate.begin(), gate.end()), 0.0f);
  pi.lipMask(closed.data(), lip.data());
  pi.piU8(closed.data(), mask.data());
  for (size_t i = 0; i < mask.size(); ++i)
    ASSERT_EQ(mask[i], static_cast<uint8_t>(std::nearbyint(lip[i] * 255.0f))) << i;

  // An open mouth: the gate opens fully past a half-height of 0.03, and the
  // boxed mask equals the whole one (the support box holds all of it).
  const std::vector<float> open = mouth(0.0f, 0.3f, 0.15f, 0.04f);
  float g = 0;
  pi.gateParams(open.data(), &g);
  EXPECT_EQ(g, 1.0f);
  pi.piU8(open.data(), mask.data());
  pi.piU8Boxed(open.data(), boxed.data());
  EXPECT_EQ(mask, boxed);
  const Box sb = pi.supportBox(open.data());
  EXPECT_FALSE(sb.empty());
  EXPECT_EQ(mask[static_cast<size_t>(sb.y0 - 1 + (sb.y0 == 0)) * kN + kN / 2] == 0 || sb.y0 == 0, true);

  // The shift: the same mouth 10 px right and 4 px down.
  double cx = 0, cy = 0;
  ASSERT_TRUE(pi.piU8Centroid(mask.data(), &cx, &cy));
  const double canon[2] = {cx, cy};
  const float px = 2.0f / (kN - 1);
  const std::vector<float> moved = mouth(10 * px, 0.3f + 4 * px, 0.15f, 0.04f);
  int32_t dy = 99, dx = 99;
  ASSERT_TRUE(pi.piU8AndShift(moved.data(), canon, boxed.data(), &dy, &dx));
  EXPECT_EQ(dx, 10);
  EXPECT_EQ(dy, 4);
  // A mouth off the canvas has an empty mask and no shift.
  const std::vector<float> away = mouth(5.0f, 5.0f, 0.15f, 0.04f);
  EXPECT_FALSE(pi.piU8AndShift(away.data(), canon, boxed.data(), &dy, &dx));
  EXPECT_TRUE(pi.supportBox(away.data()).empty());

  // Corner recovery: a lip point on the padded ellipse ends up five
  // reference pixels inside it (scale 1 + 5/s).
  UnifiedPi cr = UnifiedPi::fromManifestJson(
      manifest("{\"mode\":\"prop\",\"corner_recovery\":\"lip_landmark_half\",\"lip_idx\":[0,1,2,3],"
               "\"lip_geom_params\":[0,0,0]}"),
      kN);
  const std::vector<float> wide = mouth(0.0f, 0.0f, 0.25f, 0.125f);
  const float s = std::sqrt(0.25f * 0.125f) * 256.0f;
  const le::tessera::EllParams e = cr.lipParams(wide.data());
  EXPECT_NEAR(e.rx, 0.25f * (1.0f + 5.0f / s), 1e-6f);
  EXPECT_NEAR(e.ry, 0.125f * (1.0f + 5.0f / s), 1e-6f);
  EXPECT_NEAR((1.0f - 0.25f / e.rx) * e.s, 5.0f, 1e-3f);
  EXPECT_NEAR(pi.lipParams(wide.data()).rx, 0.25f + 0.05f, 1e-6f);  // without recovery: padded only
  EXPECT_TRUE(UnifiedPi::fromManifestJson(manifest(kPi), 1).ellBox(e).empty());
}

TEST(TesseraPi, CorpusIdentification) {
  const double c[2] = {100.0, 120.0};
  const struct {
    std::array<double, 3> d;
    std::string result;  // the chosen name, or the refusal's start
  } cases[] = {
      {{2.0, 5.5, 9.0}, "v1"},
      {{9.0, 2.0, 5.5}, "v2"},
      {{2.0, 4.5, 9.0}, "teeth-pi: corpus pi geometry is AMBIGUOUS"},
      {{2.0, 4.0, 20.0}, "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v1=2.00px, v2=4.00px, "
                         "v3=20.00px — refusing"},
      {{8.5, 20.0, 30.0}, "teeth-pi: no corpus pi geometry matches this bank's c_canon (100.00,120.00) within 8.00px "
                          "— v1=8.50px, v2=20.00px, v3=30.00px — the bank's"},
      {{NAN, NAN, NAN}, "teeth-pi: no corpus pi geometry matches"},
  };
  for (const auto& k : cases) {
    std::string got;
    try {
      got = le::tessera::kCorpusGeometries[le::tessera::pickCorpus(k.d, c)].name;
    } catch (const std::exception& e) {
      got = e.what();
    }
    EXPECT_EQ(got.rfind(k.result, 0), 0u) << got;
  }

  // End to end: a bank built on v1's frame is identified as v1.
  std::vector<float> frames;
  for (int f = 0; f < 3; ++f) {
    const std::vector<float> kp = mouth(0.01f * f, 0.3f, 0.15f, 0.01f + 0.01f * f);
    frames.insert(frames.end(), kp.begin(), kp.end());
  }
  UnifiedPi v1 = UnifiedPi::fromManifestJson(manifest(kPi), kN);
  v1.setLipGeometry(0.05f, 0.08f, 0.015f);
  double canon[2];
  v1.canonicalCentroid(frames.data(), 3, &canon[0], &canon[1]);
  std::string name;
  UnifiedPi::corpusFromManifestJson(manifest(kPi), kN, frames.data(), 3, canon, &name);
  EXPECT_EQ(name, "v1");
  // The answer kept for the process is the one worked out afresh, and any
  // other input is worked out again: another canon, other frames.
  std::string again;
  const UnifiedPi kept = UnifiedPi::corpusFromManifestJson(manifest(kPi), kN, frames.data(), 3, canon, &again);
  const UnifiedPi fresh = UnifiedPi::corpusFromFrames(manifest(kPi), kN, frames.data(), 3, canon);
  std::vector<uint8_t> a(kN * kN), b(kN * kN);
  kept.piU8(frames.data() + 63, a.data());
  fresh.piU8(frames.data() + 63, b.data());
  EXPECT_EQ(again, "v1");
  EXPECT_EQ(a, b);
  const double far[2] = {canon[0] + 40, canon[1]};
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(manifest(kPi), kN, frames.data(), 3, far); })
                .rfind("teeth-pi: no corpus pi geometry matches", 0),
            0u);
  std::vector<float> gone;
  for (int f = 0; f < 3; ++f) {
    const std::vector<float> kp = mouth(5.0f, 5.0f, 0.1f, 0.1f);
    gone.insert(gone.end(), kp.begin(), kp.end());
  }
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(manifest(kPi), kN, gone.data(), 3, canon); })
                .rfind("teeth-pi: pi is empty on every source frame", 0),
            0u);
  // Sessions arm on threads of their own, and new answers push out old ones.
  std::string names[2];
  auto arm = [&](int t) {
    for (int i = 0; i < 6; ++i) {
      const double shifted[2] = {canon[0] + 0.25 * (i + 6 * t), canon[1]};
      UnifiedPi::corpusFromManifestJson(manifest(kPi), kN, frames.data(), 3, shifted, &names[t]);
    }
  };
  std::thread first(arm, 0), second(arm, 1);
  first.join();
  second.join();
  EXPECT_EQ(names[0], "v1");
  EXPECT_EQ(names[1], "v1");
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(manifest(kPi), kN, nullptr, 0, canon); })
                .rfind("teeth-pi: the corpus frame is identified from the bundle's own xs_target", 0),
            0u);
  const std::vector<float> away = mouth(5.0f, 5.0f, 0.1f, 0.1f);
  EXPECT_EQ(errorOf([&] { v1.canonicalCentroid(away.data(), 1, &canon[0], &canon[1]); })
                .rfind("teeth-pi: pi is empty on every source frame", 0),
            0u);
}

std::string lipTemplate(const std::string& extra, const std::string& canvas = "256") {
  return "{\"format\":\"lip-template-v1\",\"canvas\":" + canvas +
         ",\"feather_px\":3,\"u_canon\":[[-1,0],[0,-1],[1,0],[0,1]],\"lip_idx\":[0,1,2,3]" + extra + "}";
}

std::string lipMap(const std::string& idx, int rows, int cols, const std::string& extra = "") {
  std::string W = "[", b = "[";
  for (int r = 0; r < rows; ++r) {
    W += r ? ",[" : "[";
    for (int c = 0; c < cols; ++c) W += c ? ",0" : "0";
    W += "]";
    if (r) b += ",";
    b += std::to_string(r % 2 ? (r - 4) * 3 : (r - 3) * 5);
  }
  return ",\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\"" + extra + ",\"lip_idx\":" + idx +
         ",\"W\":" + W + "],\"b\":" + b + "]}";
}

TEST(TesseraLip, TemplateRefusalsInOrder) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"[1,", "is not parseable JSON (teeth: JSON truncated)"},
      {"[1]", "is not a JSON object"},
      {"{\"format\":1}", "carries no string `format`"},
      {"{\"format\":\"lip-template-v2\"}", "declares format 'lip-template-v2', not 'lip-template-v1'"},
      {lipTemplate(",\"edge\":\"inward\""), "declares edge 'inward', and the contour feather is OUTWARD"},
      {lipTemplate("", "\"256\""), "carries no numeric `canvas`"},
      {lipTemplate("", "512"), "was baked on a 512 canvas but this bundle composes on 256 — refusing"},
      {"{\"format\":\"lip-template-v1\",\"canvas\":256}", "carries no numeric `feather_px`"},
      {"{\"format\":\"lip-template-v1\",\"canvas\":256,\"feather_px\":-0.5}",
       "declares feather_px -0.500000, which is not positive"},
      {"{\"format\":\"lip-template-v1\",\"canvas\":256,\"feather_px\":1,\"u_canon\":[]}",
       "carries no non-empty `u_canon` array"},
      {"{\"format\":\"lip-template-v1\",\"canvas\":256,\"feather_px\":1,\"u_canon\":[[1,2],[3]]}",
       "u_canon row 1 is not a 2-vector"},
      {"{\"format\":\"lip-template-v1\",\"canvas\":256,\"feather_px\":1,\"u_canon\":[[1,2]],\"lip_idx\":{}}",
       "carries a `lip_idx` that is not a non-empty array"},
      {"{\"format\":\"lip-template-v1\",\"canvas\":256,\"feather_px\":1,\"u_canon\":[[1,2]],\"lip_idx\":[3,21]}",
       "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {lipTemplate(",\"lip_map\":[]"), "lip_map is not a JSON object"},
      {lipTemplate(",\"lip_map\":{\"schema\":2}"), "lip_map declares schema '?', not 'lip-map-v1'"},
      {lipTemplate(",\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"affine\"}"), "lip_map kind is not 'anchor-linear'"},
      {lipTemplate(lipMap("[0,1,2,3,4,5,6,7,8]", 8, 18)), "lip_map lip_idx is not 1..8 kd rows"},
      {lipTemplate(lipMap("[0,-1]", 8, 4)), "lip_map lip_idx names a row outside 0..20"},
      {lipTemplate(",\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":[0],\"W\":[]}"),
       "lip_map carries no W/b arrays"},
      {lipTemplate(lipMap("[0,1]", 6, 4)), "lip_map W/b have 6/6 rows, not 2*nv=8"},
      {lipTemplate(lipMap("[0,1]", 8, 3)), "lip_map W row 0 is not 4 wide"},
      {lipTemplate(lipMap("[0,1]", 8, 4, ",\"b\":[0,0,0,0,0,0,0,1e999]")), "lip_map carries a non-finite coefficient"},
      {lipTemplate(lipMap("[0,1]", 8, 4, ",\"canvas\":512")),
       "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& c : cases) {
    const std::string got = errorOf([&] { LipContour::fromTemplateJson(c.text, kN); });
    EXPECT_EQ(got.rfind("lip_template.v1.json: " + c.message, 0), 0u) << got << " from " << c.text;
  }
  EXPECT_NO_THROW(LipContour::fromTemplateJson(lipTemplate(",\"edge\":\"outward\""), kN));
  EXPECT_TRUE(LipContour::fromTemplateJson(lipTemplate(lipMap("[0,1]", 8, 4, ",\"canvas\":256")), kN).hasMap());
  LipContour lc = LipContour::fromTemplateJson(lipTemplate(""), kN);
  const double W[4] = {0, 0, 0, 0}, b[2] = {0, 0};
  const int32_t idx[1] = {0};
  EXPECT_EQ(errorOf([&] { lc.attachMap(W, b, 2, 2, idx, 1); }),
            "lip_template.v1.json: lip_map shape does not match the template");
}

TEST(TesseraLip, PolygonContourAndDeliveredMasks) {
  const std::vector<float> kp = mouth(0.0f, 0.3f, 0.15f, 0.04f);
  // Anchors in pixels (n/2 scaling): corners 108.8 / 147.2, lips at 161.28 / 171.52.
  LipContour plain = LipContour::fromTemplateJson(lipTemplate(""), kN);
  double v[8];
  plain.polygon(kp.data(), v);
  EXPECT_NEAR(v[0], 128.0 - 19.2, 1e-4);  // mean - sx
  EXPECT_NEAR(v[1], 166.4, 1e-4);
  EXPECT_NEAR(v[3], 166.4 - 5.12, 1e-4);  // mean - sy
  // The map: W zero, b the offsets from the anchors' mean.
  LipContour mapped = LipContour::fromTemplateJson(lipTemplate(lipMap("[0,1]", 8, 4)), kN);
  mapped.polygon(kp.data(), v);
  EXPECT_NEAR(v[0], 128.0 - 15, 1e-4);
  EXPECT_NEAR(v[1], 166.4 - 9, 1e-4);
  EXPECT_NEAR(v[7], 166.4 + 9, 1e-4);
  const Box bx = mapped.box(v);
  EXPECT_EQ(bx.x0, static_cast<int32_t>(std::floor(128.0 - 15 - 5)));

  // Contour: 1 on the polygon, 0 at feather_px outside it.
  plain.polygon(kp.data(), v);
  const Box pb = plain.box(v);
  const std::vector<float>& c = plain.contourF32(v, pb);
  const int cx = static_cast<int>(std::nearbyint(128.0)) - pb.x0, cy = static_cast<int>(std::nearbyint(166.4)) - pb.y0;
  EXPECT_EQ(c[static_cast<size_t>(cy) * pb.w() + cx], 1.0f);
  EXPECT_EQ(c[0], 0.0f);

  // Delivered: never above the compose mask, zero outside the contour box,
  // and the shift is the compose mask's.
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(kPi), kN);
  std::vector<uint8_t> full(kN * kN), delivered(kN * kN), shifted(kN * kN), plainShift(kN * kN);
  pi.piU8(kp.data(), full.data());
  plain.deliveredU8(kp.data(), pi, delivered.data());
  size_t nonzero = 0;
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) {
      const size_t i = static_cast<size_t>(y) * kN + x;
      ASSERT_LE(delivered[i], full[i]);
      if (x < pb.x0 || x >= pb.x1 || y < pb.y0 || y >= pb.y1) {
        ASSERT_EQ(delivered[i], 0);
      }
      nonzero += delivered[i] != 0;
    }
  EXPECT_GT(nonzero, 100u);
  const double canon[2] = {120.0, 160.0};
  int32_t dy = 0, dx = 0, dy2 = 0, dx2 = 0;
  ASSERT_TRUE(plain.deliveredU8AndShift(kp.data(), pi, canon, shifted.data(), &dy, &dx));
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), canon, plainShift.data(), &dy2, &dx2));
  EXPECT_EQ(dy, dy2);
  EXPECT_EQ(dx, dx2);
  EXPECT_EQ(shifted, delivered);

  std::vector<float> canvas(kN * kN);
  plain.contourF32Canvas(kp.data(), canvas.data());
  EXPECT_EQ(canvas[static_cast<size_t>(166) * kN + 128], 1.0f);
  EXPECT_EQ(canvas[0], 0.0f);
}

}  // namespace
