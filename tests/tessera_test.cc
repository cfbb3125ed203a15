// The mouth bank's members: the JSON reader, the carriage and the loaded
// record, through the C families where a host would call them.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "le/le.h"
#include "support/testutil.h"
#include "tessera/geometry.h"
#include "tessera/head_weights.h"
#include "tessera/json.h"
#include "tessera/members.h"

namespace {

using le::tessera::json::JVal;
using le::tessera::json::parseJson;
using le::test::TempDir;
using le::test::writeFile;

std::string geometryJson(int shiftMargin = 4) {
  return "{\"canvas_w\":512,\"canvas_h\":512,\"window_x0\":192,\"window_y0\":300,\"window_w\":128,"
         "\"window_h\":96,\"pad\":8,\"band_r0\":10,\"band_r1\":42,\"band_c0\":20,\"band_c1\":84,"
         "\"shift_margin\":" + std::to_string(shiftMargin) + "}";
}

// A sidecar of n donors in track order [n-1, 0, 1, ..., n-2], with any key
// replaced by the caller's text.
struct Sidecar {
  int n = 3;
  std::string nDonors, format = "\"tessera_bank.v1\"", order, cent, aperture, canon = "[256.5,330.25]",
                       geometry = geometryJson(), codec = "{\"codec\":\"h264\",\"pix_fmt\":\"yuv444p\"}";
  std::string text() const {
    std::string o = order, c = cent, a = aperture;
    if (o.empty()) {
      o = "[" + std::to_string(n - 1);
      for (int i = 0; i + 1 < n; ++i) o += "," + std::to_string(i);
      o += "]";
    }
    if (c.empty()) {
      c = "[";
      for (int i = 0; i < n; ++i) {
        c += i ? ",[" : "[";
        c += std::to_string(100 + i) + ".5," + std::to_string(i) + "]";
      }
      c += "]";
    }
    if (a.empty()) {
      a = "[";
      for (int i = 0; i < n; ++i) {
        if (i) a += ",";
        a += std::to_string(i) + ".25";
      }
      a += "]";
    }
    return "{\"format\":" + format + ",\"n_donors\":" + (nDonors.empty() ? std::to_string(n) : nDonors) +
           ",\"geometry\":" + geometry + ",\"track_order\":" + o + ",\"cent\":" + c + ",\"aperture\":" + a +
           ",\"c_canon\":" + canon + ",\"codec\":" + codec + "}";
  }
};

// A bundle directory carrying the four members (the track and weights are
// opaque bytes here: loading reads them, decoding is not its business).
void writeBank(const TempDir& d, const Sidecar& s, const std::string& manifest = "{\"agent\":\"t\"}") {
  writeFile(d / "manifest.json", manifest);
  writeFile(d / "tessera_bank.v1.mp4", "track");
  writeFile(d / "tessera_bank.v1.json", s.text());
  writeFile(d / "tessera_head.v1.pt", std::string("PK\0\x01", 4));
  writeFile(d / "tessera_head.v1.json", "{\"retrieval\":{}}");
}

std::string openError(const std::string& dir) {
  char err[2048];
  le_tessera_members* m = le_tessera_members_open(dir.c_str(), err, sizeof err);
  if (m) {
    le_tessera_members_close(m);
    return "(no error)";
  }
  return err;
}

TEST(TesseraJson, ReaderQuirksAndRefusals) {
  const JVal v = parseJson(" {\"a\" 1, \"s\":\"x\\u00e9y\\n\\/\", \"a\":2, \"t\":true, \"f\":false, \"z\":null}tail",
                           "t");
  ASSERT_TRUE(v.isObj());
  EXPECT_EQ(v.get("a")->num, 1);  // no colon, and the first of two keys
  EXPECT_EQ(v.get("s")->str, "x?y\n/");
  EXPECT_TRUE(v.get("t")->b);
  EXPECT_EQ(v.get("f")->kind, JVal::Bool);
  EXPECT_EQ(v.get("z")->kind, JVal::Null);
  EXPECT_EQ(parseJson("\"open to the end", "t").str, "open to the end");
  EXPECT_EQ(parseJson("[1e400, -2.5e-3, 0x10]", "t").items[2].num, 16);
  EXPECT_EQ(le::tessera::json::optStr(v, "s", "d"), "x?y\n/");
  EXPECT_EQ(le::tessera::json::optStr(v, "t", "d"), "d");
  EXPECT_EQ(le::tessera::json::optStr(parseJson("[]", "t"), "s", "d"), "d");

  const std::string deep256 = std::string(256, '[') + std::string(256, ']');
  EXPECT_NO_THROW(parseJson(deep256, "t"));
  const struct {
    std::string text, message;
  } refusals[] = {
      {"[1,]", "teeth: side.json is not readable JSON: teeth: bad JSON number"},
      {"[1 2]", "teeth: side.json is not readable JSON: teeth: malformed JSON array"},
      {"{\"a\":1 \"b\":2}", "teeth: side.json is not readable JSON: teeth: malformed JSON object"},
      {"  ", "teeth: side.json is not readable JSON: teeth: JSON truncated"},
      {"{\"a\":", "teeth: side.json is not readable JSON: teeth: JSON truncated"},
      {std::string(257, '['), "teeth: side.json is not readable JSON: teeth: JSON nested too deeply"},
      {[] {
         std::string t;
         for (int i = 0; i < 100000; ++i) t += "{\"a\":";
         return t;
       }(),
       "teeth: side.json is not readable JSON: teeth: JSON nested too deeply"},
  };
  for (const auto& r : refusals) EXPECT_EQ(le::test::errorOf([&] { parseJson(r.text, "side.json"); }), r.message);
  EXPECT_EQ(le::test::errorOf([&] { le::tessera::json::reqNum(v, "s", "side.geometry"); }),
            "teeth: side.geometry lacks numeric 's'");

  using le::tessera::json::truncInt;
  EXPECT_EQ(truncInt(-2.9), -2);
  EXPECT_EQ(truncInt(1e30), INT32_MAX);
  EXPECT_EQ(truncInt(-1e30), INT32_MIN);
  EXPECT_EQ(truncInt(NAN), 0);
  le::tessera::Stamp s{};
  for (int i = 0; i < 12; ++i) s[i] = i;
  EXPECT_EQ(le::tessera::stampStr(s),
            "{canvas_w=0, canvas_h=1, window_x0=2, window_y0=3, window_w=4, window_h=5, pad=6, band_r0=7, "
            "band_r1=8, band_c0=9, band_c1=10, shift_margin=11}");
}

TEST(TesseraCarriage, WhichMembersABundleCarries) {
  TempDir d;
  writeBank(d, Sidecar{});
  std::remove((d / "tessera_head.v1.pt").c_str());
  le_tessera_carriage* c = le_tessera_carriage_open(d.path().c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  EXPECT_EQ(le_tessera_carriage_declared(c), 0);
  ASSERT_EQ(le_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(le_tessera_carriage_missing(c, 0), "head_weights");
  EXPECT_EQ(le_tessera_carriage_missing(c, 1), nullptr);
  EXPECT_EQ(std::string(le_tessera_carriage_path(c, "head_config")), d / "tessera_head.v1.json");
  EXPECT_STREQ(le_tessera_carriage_path(c, "teeth"), "");
  le_tessera_carriage_close(c);
  EXPECT_EQ(openError(d.path()).rfind("missing teeth member(s): head_weights (tessera_head.v1.pt) — carries 3 of 4. "
                                      "ONE predicate",
                                      0),
            0u);

  // Overrides: another file for a slot, an empty name keeps the default;
  // planes are kept; a directory in a member's place is no member.
  writeFile(d / "weights.pt", "w");
  std::filesystem::create_directories(d / "sdir");
  writeFile(d / "manifest.json",
            "{\"tessera\":{\"members\":{\"head_weights\":\"weights.pt\",\"bank_track\":\"\",\"bank_sidecar\":\"sdir\"},"
            "\"planes\":[\"render\",7,\"live\"]}}");
  le::TesseraCarriage tc = le::tesseraCarriage(d.path());
  EXPECT_EQ(tc.missing, std::vector<std::string>{"bank_sidecar"});
  EXPECT_TRUE(tc.declared);
  EXPECT_EQ(tc.path("head_weights"), d / "weights.pt");
  EXPECT_EQ(tc.path("bank_track"), d / "tessera_bank.v1.mp4");
  EXPECT_EQ(tc.planes, (std::vector<std::string>{"render", "live"}));
  EXPECT_EQ(le::test::errorOf([&] { tc.path("teeth"); }), "teeth: no such member slot 'teeth'");
  EXPECT_NE(openError(d.path()).find("bank_sidecar (sdir) — carries 3 of 4 and declares a manifest.tessera block"),
            std::string::npos);

  // A manifest that is no JSON: the defaults, nothing declared. Only
  // meta.json: it is the manifest.
  writeFile(d / "manifest.json", "{\"tessera\": [");
  tc = le::tesseraCarriage(d.path());
  EXPECT_FALSE(tc.declared);
  EXPECT_EQ(tc.missing, std::vector<std::string>{"head_weights"});
  std::remove((d / "manifest.json").c_str());
  writeFile(d / "meta.json", "{\"tessera\":{}}");
  EXPECT_TRUE(le::tesseraCarriage(d.path()).declared);

  // A member name that leaves the bundle: the C carriage carries nothing.
  writeFile(d / "meta.json", "{\"tessera\":{\"members\":{\"bank_sidecar\":\"../../etc/passwd\"}}}");
  c = le_tessera_carriage_open(d.path().c_str());
  EXPECT_EQ(le_tessera_carriage_missing_count(c), 4);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  le_tessera_carriage_close(c);
  EXPECT_NE(openError(d.path()).find("leaves the bundle"), std::string::npos);
}

TEST(TesseraMembers, LoadsTheRecordAndReordersTheTrack) {
  TempDir d;
  writeBank(d, Sidecar{},
            "{\"tessera\":{\"geometry\":" + geometryJson() + ",\"bank_packing\":\"rgb24_frames\",\"bank_codec\":\"x\"}}");
  char err[256];
  le_tessera_members* m = le_tessera_members_open(d.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(le_tessera_members_n_donors(m), 3);
  EXPECT_EQ(le_tessera_members_band_h(m), 32 + 8);
  EXPECT_EQ(le_tessera_members_band_w(m), 64 + 8);
  EXPECT_EQ(le_tessera_members_band_bytes(m), 3u * 40 * 72 * 3);
  EXPECT_EQ(le_tessera_members_cent(m)[3], 1.0);
  EXPECT_EQ(le_tessera_members_aperture(m)[2], 2.25);
  EXPECT_EQ(le_tessera_members_c_canon(m)[1], 330.25);
  EXPECT_EQ(le_tessera_members_stamp(m)[11], 4);
  EXPECT_EQ(le_tessera_members_head_pt_len(m), 4u);
  EXPECT_EQ(le_tessera_members_head_pt(m)[3], 1);
  EXPECT_STREQ(le_tessera_members_head_json(m), "{\"retrieval\":{}}");
  EXPECT_STREQ(le_tessera_members_bank_codec(m), "x");  // the manifest overrides the sidecar
  EXPECT_STREQ(le_tessera_members_bank_pix_fmt(m), "yuv444p");
  EXPECT_STREQ(le_tessera_members_bank_container(m), "mp4");
  EXPECT_STREQ(le_tessera_members_bank_packing(m), "rgb24_frames");
  EXPECT_EQ(std::string(le_tessera_members_bank_track_path(m)), d / "tessera_bank.v1.mp4");
  EXPECT_NE(std::string(le_tessera_members_manifest_json(m)).find("bank_codec"), std::string::npos);

  // Frame k of the track is donor track_order[k] = [2, 0, 1].
  const size_t stride = 40 * 72 * 3;
  std::vector<uint8_t> track(3 * stride), band(3 * stride, 0xEE);
  for (size_t k = 0; k < 3; ++k) std::fill(track.begin() + k * stride, track.begin() + (k + 1) * stride, 10 + k);
  ASSERT_EQ(le_tessera_members_reorder(m, track.data(), band.data(), err, sizeof err), 0) << err;
  EXPECT_EQ(band[0], 11);
  EXPECT_EQ(band[stride], 12);
  EXPECT_EQ(band[2 * stride], 10);
  EXPECT_EQ(band[3 * stride - 1], 10);
  EXPECT_EQ(le_tessera_members_reorder(m, nullptr, band.data(), err, 8), 1);
  EXPECT_STREQ(err, "le_tess");
  le_tessera_members_close(m);

  le::TesseraAttachInputs hand;
  hand.n_donors = 2;
  hand.track_order = {0, 5};
  hand.band_w = hand.band_h = 1;
  EXPECT_EQ(le::test::errorOf([&] { le::reorderTrackToDonor(hand, track.data(), band.data()); }),
            "teeth: track_order does not match n_donors");
  hand.band_w = 0;
  EXPECT_EQ(le::test::errorOf([&] { le::reorderTrackToDonor(hand, track.data(), band.data()); }),
            "teeth: zero reference stride");
}

TEST(TesseraMembers, EveryRefusalNamesItsReason) {
  auto with = [](auto edit) {
    Sidecar s;
    edit(s);
    return s;
  };
  const struct {
    Sidecar side;
    std::string message;  // a prefix of the refusal, "" when the bank loads
  } cases[] = {
      {with([](Sidecar& s) { s.n = 1024; }), ""},
      {with([](Sidecar& s) { s.order = "[0,2,1]"; }), ""},
      {with([](Sidecar& s) { s.n = 1025; }), "tessera_bank.v1.json carries n_donors=1025, over the owner's cap of 1024"},
      {with([](Sidecar& s) { s.nDonors = "0"; }), "tessera_bank.v1.json says n_donors=0"},
      {with([](Sidecar& s) { s.nDonors = "nan"; }), "tessera_bank.v1.json says n_donors=0"},
      {with([](Sidecar& s) { s.nDonors = "1e30"; }), "tessera_bank.v1.json carries n_donors=2147483647, over"},
      {with([](Sidecar& s) { s.nDonors = "\"3\""; }), "teeth: tessera_bank.v1.json lacks numeric 'n_donors'"},
      {with([](Sidecar& s) { s.order = "[0,1,1]"; }),
       "tessera_bank.v1.json track_order is not a permutation (reference 1 appears twice)"},
      {with([](Sidecar& s) { s.order = "[0,3,1]"; }), "tessera_bank.v1.json track_order[1]=3 is outside [0,3)"},
      {with([](Sidecar& s) { s.order = "[0,-1,1]"; }), "tessera_bank.v1.json track_order[1]=-1 is outside [0,3)"},
      {with([](Sidecar& s) { s.order = "[0,1]"; }),
       "tessera_bank.v1.json says n_donors=3 but carries track_order=2, cent=3, aperture=3 — a count mismatch"},
      {with([](Sidecar& s) { s.aperture = "{}"; }),
       "tessera_bank.v1.json lacks one of track_order/cent/aperture/c_canon as an array"},
      {with([](Sidecar& s) { s.canon = "[1,2,3]"; }), "tessera_bank.v1.json c_canon is not a pair"},
      {with([](Sidecar& s) { s.cent = "[[1,2],[3],[4,5]]"; }), "tessera_bank.v1.json cent[1] is not an (x,y) pair"},
      {with([](Sidecar& s) { s.format = "\"tessera_bank.v2\""; }),
       "tessera_bank.v1.json declares format 'tessera_bank.v2', not 'tessera_bank.v1'"},
      {with([](Sidecar& s) { s.geometry = "[]"; }), "tessera_bank.v1.json carries no `geometry` stamp"},
      {with([](Sidecar& s) { s.geometry = "{\"canvas_w\":1}"; }),
       "teeth: tessera_bank.v1.json.geometry lacks numeric 'canvas_h'"},
      {with([](Sidecar& s) { s.geometry = geometryJson(-40); }), "teeth stamp yields a non-positive stored patch ({"},
      {with([](Sidecar& s) { s.geometry = geometryJson(2000000000); }), "teeth stamp yields a stored patch over 65536"},
      {with([](Sidecar& s) { s.codec = "{\"codec\":\"h264\"}"; }),
       "DIR: neither manifest.tessera.bank_pix_fmt nor tessera_bank.v1.json.codec.pix_fmt states"},
  };
  for (const auto& c : cases) {
    TempDir d;
    writeBank(d, c.side);
    std::string message = c.message;
    if (message.rfind("DIR", 0) == 0) message = d.path() + message.substr(3);
    const std::string got = openError(d.path());
    if (message.empty())
      EXPECT_EQ(got, "(no error)") << c.side.text().substr(0, 120);
    else
      EXPECT_EQ(got.rfind(message, 0), 0u) << got;
  }

  // The two halves of the bundle disagree on one integer.
  TempDir d;
  writeBank(d, Sidecar{}, "{\"tessera\":{\"geometry\":" + geometryJson(5) + "}}");
  const std::string got = openError(d.path());
  EXPECT_EQ(got.rfind("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest {canvas_w=512,", 0),
            0u);
  EXPECT_NE(got.find("shift_margin=5} vs tessera_bank.v1.json {canvas_w=512"), std::string::npos);
  EXPECT_NE(got.find("shift_margin=4}; refusing"), std::string::npos);

  // A manifest-less bundle (its members named by default) cannot place a window.
  std::remove((d / "manifest.json").c_str());
  EXPECT_EQ(openError(d.path()), d.path() + " carries no manifest.json or meta.json — the compose descriptor "
                                            "(unified.pi) the pass places its window by lives there, and placing a "
                                            "borrow window without it is guessing.");
}

// The reference avatar's bank, as the generator writes it: all four members,
// a head that loads, a stamp and compose geometry the runtime can name.
TEST(TesseraMembers, TheReferenceBankLoadsWhole) {
  for (const std::string preset : {"tiny-bank", "tiny-bank-map"}) {
    SCOPED_TRACE(preset);
    const std::string dir = std::string(LE_FIXTURES) + "/" + preset;
    const le::TesseraCarriage c = le::tesseraCarriage(dir);
    EXPECT_TRUE(c.complete && c.declared);
    const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
    EXPECT_EQ(in.n_donors, 6);
    EXPECT_EQ(in.bank_pix_fmt, "gbrp");
    const le::tessera::HeadWeights head = le::tessera::loadHeadPt(in.head_pt);
    EXPECT_EQ(head.params(), le::tessera::kBlendHeadParams);
    EXPECT_EQ(head.cand4_w[4], -20.0f);

    const int32_t canvas = in.stamp[0];
    const std::vector<float> frames = le::test::floatsOf(dir + "/xs_target.bin");
    std::string name;
    const le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::corpusFromManifestJson(
        in.manifest_json, canvas, frames.data(), static_cast<int32_t>(frames.size() / 63), in.c_canon.data(), &name);
    EXPECT_EQ(name, "v1");

    le::tessera::LipContour lip =
        le::tessera::LipContour::fromTemplateJson(le::test::readFile(dir + "/lip_template.v1.json"), canvas);
    EXPECT_EQ(lip.hasMap(), preset == "tiny-bank-map");
    std::vector<uint8_t> mask(static_cast<size_t>(canvas) * canvas);
    int32_t dy = 99, dx = 99;
    ASSERT_TRUE(lip.deliveredU8AndShift(frames.data(), pi, in.c_canon.data(), mask.data(), &dy, &dx));
    EXPECT_LE(std::abs(dy) + std::abs(dx), 1);  // the idle frame sits on the bank's canonical mouth
  }
}

}  // namespace
