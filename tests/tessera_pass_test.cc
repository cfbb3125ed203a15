// The teeth pass, the bank track decoder, the stream borrow's write-back and
// the batch C entry point.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/version.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "support/testutil.h"
#include "kernels/simd.h"
#include "tessera/bank_track.h"
#include "tessera/members.h"
#include "tessera/stream_borrow.h"
#include "tessera/teeth_pass.h"

namespace {

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::GeometryStamp;
using le::tessera::ServeConfig;
using le::tessera::TeethPass;
using le::test::errorOf;

constexpr int kSide = 32;
// Window 24x16 at (4, 8); band rows 4..12, columns 4..20; pad and margin 2:
// stored patches of 12 x 20.
const int32_t kStamp[12] = {kSide, kSide, 4, 8, 24, 16, 2, 4, 12, 4, 20, 2};

// Donor d a flat colour; c_canon the centre of the window.
BankData bank(const std::vector<uint8_t>& colours, const std::vector<double>& apertures) {
  BankData b;
  b.stamp = GeometryStamp::fromArray(kStamp);
  b.n_donors = static_cast<int32_t>(colours.size());
  for (const uint8_t c : colours) b.band.insert(b.band.end(), 12 * 20 * 3, c);
  b.c_canon = {4 + 12 - 0.5, 8 + 8 - 0.5};
  for (size_t d = 0; d < colours.size(); ++d) b.cent.insert(b.cent.end(), {b.c_canon[0], b.c_canon[1]});
  b.aperture = apertures;
  return b;
}

// The checkable head: the logit is -20 times a candidate's mean difference.
le::tessera::HeadWeights head() {
  le::tessera::HeadWeights h;
  h.cand0_w.assign(16 * 7 * 9, 0), h.cand0_b.assign(16, 0), h.cand2_w.assign(16 * 16 * 9, 0);
  h.cand2_b.assign(16, 0), h.cand4_w.assign(16 * 9, 0), h.cand4_b.assign(1, 0);
  h.cand0_w[6 * 9 + 4] = 1, h.cand2_w[4] = 1, h.cand4_w[4] = -20;
  return h;
}

ServeConfig config(int K = 3) {
  ServeConfig c;
  c.kshort = 8, c.cut = 8, c.K = K, c.hysteresis = 2, c.lookahead = 2;
  return c;
}

// A canvas of one colour with a mask rectangle centred on the window.
struct Frame {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(kSide * kSide * 3, 0), mask = std::vector<uint8_t>(kSide * kSide, 0);
  Frame(uint8_t colour, int dx = 0, bool masked = true) {
    std::fill(rgb.begin(), rgb.end(), colour);
    if (!masked) return;
    for (int y = 10 + 2; y < 22 - 2; ++y)
      for (int x = 8 + dx; x < 24 + dx; ++x) mask[y * kSide + x] = 255;
  }
};

TEST(TesseraPass, StampAndConfigRefusals) {
  int32_t s[12];
  std::memcpy(s, kStamp, sizeof s);
  s[4] = 0, s[6] = 0, s[9] = 30;  // window width 0, pad 0, band columns beyond the window
  EXPECT_EQ(errorOf([&] { GeometryStamp::fromArray(s).validate(); }),
            "teeth: GeometryStamp incoherent: window dims must be positive; band cols escape window; pad/shift_margin "
            "must be positive; stored band cols escape patch;");
  std::memcpy(s, kStamp, sizeof s);
  s[11] = 7;  // a margin beyond what band + pad hold
  EXPECT_EQ(errorOf([&] { GeometryStamp::fromArray(s).validate(); }),
            "teeth: GeometryStamp incoherent: stored band rows escape patch; stored band cols escape patch;");
  EXPECT_NO_THROW(GeometryStamp::fromArray(kStamp).validate());

  const std::string good = "{\"retrieval\":{\"kshort\":8,\"aperture_tol\":0.3,\"cut\":8,\"K\":4},"
                           "\"temporal\":{\"hysteresis\":2,\"lookahead\":2}";
  EXPECT_EQ(ServeConfig::fromHeadMemberJson(good + "}").K, 4);
  const struct {
    std::string text, message;
  } cases[] = {
      {"{\"retrieval\":{}}", "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema"},
      {"{\"retrieval\":{\"kshort\":8},\"temporal\":{}}", "teeth: member JSON lacks key 'aperture_tol'"},
      {good + ",\"decode\":{\"envelope_clamp_255\":11}}", "teeth: member envelope_clamp_255 != the envelope of record"},
      {"{\"retrieval\":{\"kshort\":8,\"aperture_tol\":0.3,\"cut\":8,\"K\":0},\"temporal\":{\"hysteresis\":2,"
       "\"lookahead\":2}}",
       "teeth: tessera_head.v1 config 'K' is out of range"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorOf([&] { ServeConfig::fromHeadMemberJson(c.text); }).rfind(c.message, 0), 0u) << c.text;

  BankData b = bank({10, 20}, {1, 1});
  b.band.pop_back();
  EXPECT_EQ(errorOf([&] { TeethPass(b, head(), config()); }).rfind("teeth: reference track is 1439 bytes, the stamp "
                                                                      "requires 1440 (n * stored_h * stored_w * 3)",
                                                                      0),
            0u);
  b = bank({10, 20}, {1});
  EXPECT_EQ(errorOf([&] { TeethPass(b, head(), config()); }), "teeth: bank sidecar arrays disagree with n_donors");
}

TEST(TesseraPass, SelectionKeepsTheBestApertureAndPadsWithTheLast) {
  ServeConfig c = config(4);
  const std::vector<double> ap = {1.0, 1.2, 5.0, 1.1, 0.0};
  EXPECT_EQ(le::tessera::retrieveSelect({0, 2, 1, 3}, ap, c), (std::vector<int32_t>{0, 1, 3, 3}));
  EXPECT_EQ(le::tessera::retrieveSelect({2, 0, 1, 3}, ap, c), (std::vector<int32_t>{2, 2, 2, 2}));
  c.cut = 2;  // only the first two ranked are walked
  EXPECT_EQ(le::tessera::retrieveSelect({0, 2, 1, 3}, ap, c), (std::vector<int32_t>{0, 0, 0, 0}));
  // A closed mouth (aperture 0) keeps only apertures within 1e-6 * tol of it.
  EXPECT_EQ(le::tessera::retrieveSelect({4, 0}, ap, config(2)), (std::vector<int32_t>{4, 4}));
}

TEST(TesseraPass, PassesOverOneBandShareItAndOthersKeepTheirOwn) {
  // Passes alive at once, as the sessions of a host are: equal bands give
  // equal windows, a band that differs in one donor gives its own.
  const TeethPass a(bank({10, 20}, {1, 1}), head(), config()), b(bank({10, 20}, {1, 1}), head(), config()),
      c(bank({10, 30}, {1, 1}), head(), config());
  std::vector<uint8_t> wa(24 * 16 * 3), wb(wa.size()), wc(wa.size());
  a.gatherWindowU8(1, 0, 0, wa.data());
  b.gatherWindowU8(1, 0, 0, wb.data());
  c.gatherWindowU8(1, 0, 0, wc.data());
  EXPECT_EQ(wa, wb);
  EXPECT_EQ(*std::max_element(wa.begin(), wa.end()), 20);
  EXPECT_EQ(*std::max_element(wc.begin(), wc.end()), 30);
}

TEST(TesseraPass, FramesComeOutOneLateWithTheirReasons) {
  // Donor 2 is the frame's own colour but alone in its aperture; donors 0, 1
  // and 3 share theirs.
  TeethPass pass(bank({30, 60, 200, 90}, {1, 1, 5, 1}), head(), config());
  // Another stream's pass runs on its own thread meanwhile (the passes of a
  // process share their working buffers): a frame between two donors blends
  // them by the head, 100 between 90 and 60 landing between, nearer 90.
  std::thread other([] {
    TeethPass mix(bank({30, 60, 200, 90}, {1, 1, 5, 1}), head(), config());
    FrameResult m;
    const Frame between(100);
    for (int i = 0; i < 20; ++i) mix.push(i, between.rgb.data(), between.mask.data(), nullptr, &m);
    ASSERT_EQ(mix.flush(&m), 1);
    const uint8_t v = m.window[(8 * 24 + 12) * 3];
    EXPECT_GT(v, 75);
    EXPECT_LT(v, 90);
  });
  FrameResult r;
  const Frame match(200), empty(200, 0, false), far(200, 9);
  EXPECT_EQ(pass.push(0, match.rgb.data(), match.mask.data(), nullptr, &r), 0);
  EXPECT_EQ(pass.push(1, empty.rgb.data(), empty.mask.data(), nullptr, &r), 1);
  ASSERT_FALSE(r.passthrough);
  EXPECT_EQ(r.candidates, 3);
  // Inside band and mask the window is donor 2's colour, outside the mask
  // the frame's own (both 200 here), so every byte is 200.
  EXPECT_EQ(r.window, std::vector<uint8_t>(24 * 16 * 3, 200));
  EXPECT_EQ(pass.push(2, far.rgb.data(), far.mask.data(), nullptr, &r), 1);
  EXPECT_TRUE(r.passthrough);
  EXPECT_EQ(r.reason, "empty-pi");
  const int32_t given[2] = {0, 0};
  EXPECT_EQ(pass.push(3, far.rgb.data(), far.mask.data(), given, &r), 1);
  EXPECT_EQ(r.reason, "shift-out-of-range");
  EXPECT_EQ(pass.flush(&r), 1);
  EXPECT_FALSE(r.passthrough);  // frame 3: the given shift holds
  EXPECT_EQ(pass.flush(&r), 0);

  // Outside its mask a frame's window comes back as it went in, pixel for
  // pixel (the window at (4, 8) on the canvas, the frame a ramp).
  Frame ramp(0);
  for (int i = 0; i < kSide * kSide * 3; ++i) ramp.rgb[i] = static_cast<uint8_t>(i * 7 / 3);
  for (int i = 0; i < kSide * kSide; ++i)
    if (i % kSide < 12 || i % kSide >= 16) ramp.mask[i] = 0;  // a narrower mouth, inside the band
  pass.push(4, ramp.rgb.data(), ramp.mask.data(), given, &r);
  ASSERT_EQ(pass.flush(&r), 1);
  ASSERT_FALSE(r.passthrough);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 24; ++x)
      for (int c = 0; c < 3 && !ramp.mask[(8 + y) * kSide + 4 + x]; ++c) {
        ASSERT_EQ(r.window[(y * 24 + x) * 3 + c], ramp.rgb[((8 + y) * kSide + 4 + x) * 3 + c]) << x << "," << y;
      }
  other.join();
}

TEST(TesseraPass, EqualScoresKeepTheLowerDonorFirst) {
  // The frame's mask: bright grey above window row 8 (the teeth the score
  // weighs), dark below. Donors "plain" and "two-tone" agree above and differ
  // below, so they score the same and only their order decides; K = 1.
  Frame f(200);
  for (int y = 16; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x)
      for (int c = 0; c < 3; ++c) f.rgb[(y * kSide + x) * 3 + c] = 50;
  for (const bool twoToneFirst : {false, true}) {
    BankData b = bank({200, 200, 30}, {1, 1, 1});
    uint8_t* twoTone = b.band.data() + (twoToneFirst ? 0 : 1) * 12 * 20 * 3;
    std::fill(twoTone + 6 * 20 * 3, twoTone + 12 * 20 * 3, uint8_t{90});
    TeethPass pass(b, head(), config(1));
    FrameResult r;
    pass.push(0, f.rgb.data(), f.mask.data(), nullptr, &r);
    ASSERT_EQ(pass.flush(&r), 1);
    ASSERT_FALSE(r.passthrough);
    EXPECT_EQ(r.window[(10 * 24 + 10) * 3], twoToneFirst ? 90 : 200) << twoToneFirst;
    EXPECT_EQ(r.window[(5 * 24 + 10) * 3], 200);
  }
}

TEST(TesseraPass, BankTrackDecodesIntoDonorOrder) {
  const std::string dir = std::string(LE_FIXTURES) + "/tiny-bank";
  const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
  const std::string track = le::test::readFile(in.bank_track_path);
  const auto* bytes = reinterpret_cast<const uint8_t*>(track.data());
  const int32_t h = in.band_h, w = in.band_w, n = in.n_donors;
  const std::vector<int32_t> identity = {0, 1, 2, 3, 4, 5};
  const std::vector<uint8_t> asTrack = le::tessera::decodeBankTrack(bytes, track.size(), n, h, w, identity);
  const std::vector<uint8_t> band = le::tessera::decodeBankTrack(bytes, track.size(), n, h, w, in.track_order);
  const size_t patch = static_cast<size_t>(h) * w * 3;
  ASSERT_EQ(band.size(), patch * 6);
  for (size_t k = 0; k < 6; ++k)
    EXPECT_EQ(0, std::memcmp(band.data() + in.track_order[k] * patch, asTrack.data() + k * patch, patch)) << k;
  std::vector<uint8_t> reordered(band.size());
  le::reorderTrackToDonor(in, asTrack.data(), reordered.data());
  EXPECT_EQ(reordered, band);

  const struct {
    int32_t n, h, w;
    std::vector<int32_t> order;
    std::string message;
  } cases[] = {
      {5, h, w, {0, 1, 2, 3, 4}, "bank track carries more frames than the sidecar's n_donors"},
      {7, h, w, {0, 1, 2, 3, 4, 5, 6}, "bank track decoded to 6 frames, expected 7 — geometry/N mismatch"},
      {6, h, w + 2, identity, "reference bank track is " + std::to_string(w) + "x" + std::to_string(h) +
                                  ", the geometry stamp says " + std::to_string(w + 2) + "x" + std::to_string(h)},
      {6, h, w, {0, 1, 2}, "reference bank sidecar track_order has 3 entries, expected 6"},
      {6, h, w, {0, 1, 2, 3, 4, 4}, "reference bank track_order is not a permutation"},
      {6, h, w, {0, 1, 2, 3, 4, 6}, "reference bank track_order is out of range"},
      {6, 0, w, identity, "reference bank geometry is not positive"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorOf([&] { le::tessera::decodeBankTrack(bytes, track.size(), c.n, c.h, c.w, c.order); })
                  .rfind(c.message, 0),
              0u)
        << c.message;
  EXPECT_EQ(errorOf([&] { le::tessera::decodeBankTrack(bytes, 0, 6, h, w, identity); }),
            "reference bank track is empty — refusing to serve");
  const std::string junk(4096, 'x');
  EXPECT_EQ(errorOf([&] {
              le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(junk.data()), junk.size(), 6, h, w,
                                           identity);
            }),
            "reference bank track is not a readable container — refusing to serve");
  EXPECT_EQ(le::tessera::bankDecoderBuild().rfind("libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + ".", 0),
            0u);
}

// The reference bank end to end: its track decoded, its geometry identified,
// the avatar's own idle crops and keypoints pushed through the borrow.
TEST(TesseraPass, TheReferenceBankBorrowsIntoIdleCrops) {
  for (const std::string preset : {"tiny-bank", "tiny-bank-map"}) {
    SCOPED_TRACE(preset);
    const std::string dir = std::string(LE_FIXTURES) + "/" + preset;
    const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
    const std::string track = le::test::readFile(in.bank_track_path);
    BankData b;
    b.stamp = GeometryStamp::fromArray(in.stamp.data());
    b.n_donors = in.n_donors;
    b.band = le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), in.n_donors,
                                          in.band_h, in.band_w, in.track_order);
    b.cent = in.cent, b.aperture = in.aperture, b.c_canon = in.c_canon;
    const int side = b.stamp.canvas_w, nt = 12;
    const std::vector<float> kp = le::test::floatsOf(dir + "/xs_target.bin");
    const le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::corpusFromManifestJson(
        in.manifest_json, side, kp.data(), nt, in.c_canon.data());
    le::tessera::StreamBorrow borrow(b, le::tessera::loadHeadPt(in.head_pt),
                                     ServeConfig::fromHeadMemberJson(in.head_json), pi,
                                     le::test::readFile(dir + "/lip_template.v1.json"));
    EXPECT_TRUE(borrow.lipContour());
    EXPECT_STREQ(borrow.backend(), "cpu");

    const std::string p16 = le::test::readFile(dir + "/P.f16");
    const size_t plane = static_cast<size_t>(side) * side * 3;
    std::vector<uint16_t> halves(plane);
    std::vector<float> planes(plane);
    FrameResult r;
    int emitted = 0, borrowed = 0;
    for (int i = 0; i < 4; ++i) {
      std::memcpy(halves.data(), p16.data() + i * plane * 2, plane * 2);
      le::simd::f16ToF32(halves.data(), planes.data(), plane);
      const int got = borrow.push(planes.data(), kp.data() + i * 63, &r);
      EXPECT_EQ(got, i == 0 ? 0 : 1);
      emitted += got;
      borrowed += got && !r.passthrough;
      if (got && !r.passthrough) le::tessera::StreamBorrow::writeWindowDelta(planes.data(), side, r, b.stamp);
    }
    emitted += borrow.flush(&r);
    borrowed += !r.passthrough;
    EXPECT_EQ(emitted, 4);
    EXPECT_EQ(borrowed, 4) << r.reason;
  }
}

TEST(TesseraPass, WriteBackAndTheBatchEntryPoint) {
  const GeometryStamp st = GeometryStamp::fromArray(kStamp);
  std::vector<uint8_t> rgba(kSide * kSide * 4, 77);
  FrameResult pass;
  le::tessera::StreamBorrow::writeWindowDeltaRgba(rgba.data(), kSide, pass, st);
  for (size_t i = 0; i < rgba.size(); ++i) ASSERT_EQ(rgba[i], i % 4 == 3 ? 255 : 77);
  // A borrowed value equal to the canvas's own quantisation leaves a float
  // pixel bit-identical; another takes that value plus the residual.
  FrameResult r;
  r.passthrough = false;
  r.window.assign(24 * 16 * 3, 128);
  r.window[0] = 130;
  std::vector<float> planes(3 * kSide * kSide, 128.3f / 255.0f);
  le::tessera::StreamBorrow::writeWindowDelta(planes.data(), kSide, r, st);
  EXPECT_EQ(planes[8 * kSide + 5], 128.3f / 255.0f);
  EXPECT_FLOAT_EQ(planes[8 * kSide + 4], 130.3f / 255.0f);
  r.window.pop_back();
  EXPECT_EQ(errorOf([&] { le::tessera::StreamBorrow::writeWindowDelta(planes.data(), kSide, r, st); })
                .rfind("teeth stream: window 1151 bytes does not match the stamp window 24x16", 0),
            0u);

  // Three frames in, three results out; the archive and config as a bundle
  // carries them.
  const std::string dir = std::string(LE_FIXTURES) + "/tiny-bank";
  const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
  const BankData b = bank({30, 60, 200, 90}, {1, 1, 5, 1});
  std::vector<uint8_t> frames, masks;
  for (const uint8_t c : {200, 100, 30}) {
    const Frame f(c);
    frames.insert(frames.end(), f.rgb.begin(), f.rgb.end());
    masks.insert(masks.end(), f.mask.begin(), f.mask.end());
  }
  std::vector<uint8_t> windows(3 * 24 * 16 * 3), flags(3, 9);
  char err[256];
  const int32_t shifts[6] = {-10000, 0, 0, 0, 5, 0};
  ASSERT_EQ(le_tessera_run_shift(b.band.data(), 4, b.cent.data(), b.c_canon.data(), b.aperture.data(), kStamp,
                                 in.head_pt.data(), in.head_pt.size(), in.head_json.c_str(), frames.data(),
                                 masks.data(), shifts, 3, windows.data(), flags.data(), err, sizeof err),
            0)
      << err;
  EXPECT_EQ(flags, (std::vector<uint8_t>{0, 0, 1}));  // the third frame's shift is beyond the pad
  EXPECT_EQ(windows[(8 * 24 + 12) * 3], 200);
  EXPECT_EQ(le_tessera_run(b.band.data(), 4, b.cent.data(), b.c_canon.data(), b.aperture.data(), kStamp,
                           in.head_pt.data(), in.head_pt.size(), in.head_json.c_str(), frames.data(), masks.data(), 3,
                           windows.data(), flags.data(), err, sizeof err),
            0);
  EXPECT_EQ(flags, (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(le_tessera_run(b.band.data(), 4, b.cent.data(), b.c_canon.data(), b.aperture.data(), kStamp,
                           in.head_pt.data(), 10, in.head_json.c_str(), frames.data(), masks.data(), 3,
                           windows.data(), flags.data(), err, sizeof err),
            1);
  EXPECT_STREQ(err, "teeth: head .pt is not a zip");
}

}  // namespace
