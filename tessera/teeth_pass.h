// The teeth pass: for every rendered frame, rank the bank's donor mouths
// against the frame's mouth window (a pooled score over all donors, an exact
// one over a shortlist), keep the best K whose aperture matches the best, and
// blend them into a new mouth window with the blend head. Frames come out one
// push late, so the following frame's selection can steer the blend.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/lease_pool.h"
#include "tessera/head_weights.h"

namespace le::tessera {

struct GeometryStamp {
  int32_t canvas_w = 0, canvas_h = 0, window_x0 = 0, window_y0 = 0, window_w = 0, window_h = 0, pad = 0,
          band_r0 = 0, band_r1 = 0, band_c0 = 0, band_c1 = 0, shift_margin = 0;

  static GeometryStamp fromArray(const int32_t* v);
  // Throws "teeth: GeometryStamp incoherent: ..." naming every failed rule.
  void validate() const;
  int32_t storedH() const { return band_r1 - band_r0 + 2 * shift_margin; }
  int32_t storedW() const { return band_c1 - band_c0 + 2 * shift_margin; }
};

struct ServeConfig {
  int32_t kshort = 512;
  double aperture_tol = 0.3;
  int32_t cut = 96;
  int32_t K = 64;
  int32_t hysteresis = 8;
  int32_t lookahead = 8;
  double luma_min = 100.0;
  double rg_max = 25.0;
  int32_t min_weight = 32;
  double decay = 0.6;
  bool use_lookahead = true;

  static ServeConfig fromHeadMemberJson(const std::string& text);
};

// x rounded to a whole number, ties to even, as std::nearbyint rounds it in
// the default rounding mode, for x in [0, 2^23] (NaN stays NaN), without a
// library call.
inline float roundTiesEven(float x) { return (x + 8388608.0f) - 8388608.0f; }

struct BankData {
  int32_t n_donors = 0;
  std::vector<uint8_t> band;  // n_donors patches of storedH x storedW RGB24, donor order
  std::vector<double> cent;   // x, y per donor
  std::vector<double> aperture;
  std::array<double, 2> c_canon = {0, 0};
  GeometryStamp stamp;
};

// A bank from a caller's arrays (the C entry points): the stamp validated
// first, so the band's size (n x storedH x storedW x 3 bytes read from
// `band`) is known to be sane; n must be 1..1024.
BankData bankFromArrays(const uint8_t* band, int32_t n, const double* cent, const double* cCanon,
                        const double* aperture, const int32_t* stamp);

struct FrameResult {
  std::vector<uint8_t> window;  // window_w * window_h * 3, row-major RGB24
  bool passthrough = true;
  std::string reason;
  int32_t candidates = 0;
  float extraMean = 0, extraMax = 0;
};

// The K donors a frame blends: walking the exact ranking (`ranked`, best
// first, at most `cut` of it), those whose aperture is within aperture_tol of
// the best's, padded by repeating the last kept.
std::vector<int32_t> retrieveSelect(const std::vector<int32_t>& ranked, const std::vector<double>& aperture,
                                    const ServeConfig& config);

class TeethPass {
 public:
  TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config);
  virtual ~TeethPass() = default;

  // rgb: canvas_w * canvas_h * 3 bytes; mask: canvas_w * canvas_h bytes;
  // shift: (dy, dx), or null to derive it from the mask. 1 when a frame was
  // emitted into `out`, 0 while the first frame is held.
  int push(int64_t frameIndex, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift, FrameResult* out);
  int flush(FrameResult* out);

  const GeometryStamp& stamp() const { return st_; }
  const std::array<double, 2>& canon() const { return canon_; }
  const ServeConfig& config() const { return cfg_; }

  // Running statistics of the extra weight plane over band pixels.
  int64_t statFrames() const { return statFrames_; }

  // The blend head over K candidate windows and the query window (planes of
  // window_h x window_w floats in [0, 1], candidate-major): the blended
  // planes and K + 1 weight planes.
  void headForward(const std::vector<float>& candidates, int32_t K, const std::vector<float>& query,
                   std::vector<float>* blended, std::vector<float>* weights) const;
  // Donor d's window cut from its stored patch for a frame shift (dy, dx).
  void gatherWindowU8(int32_t donor, int32_t dy, int32_t dx, uint8_t* out) const;

  // The part of the canvas a frame's pass reads once its shift is known: the
  // window widened by the pad on every side, within the canvas.
  struct Region {
    int32_t x0 = 0, y0 = 0, w = 0, h = 0;
    size_t at(int32_t x, int32_t y) const { return static_cast<size_t>(y - y0) * w + (x - x0); }
  };
  const Region& region() const { return region_; }

 private:
  struct Pending {
    int64_t index = 0;
    std::vector<uint8_t> rgb, mask;  // the region's pixels
    int32_t dy = 0, dx = 0;
    bool valid = false;
    std::string reason;
    std::vector<int32_t> selection;
  };

  void deriveShift(Pending& p, const uint8_t* mask, const int32_t* shift) const;
  void retrievePrepare(const Pending& p);
  std::vector<int32_t> retrieve(const Pending& p);
  void emit(const Pending& held, const std::vector<int32_t>* lookahead, FrameResult* out);

  GeometryStamp st_;
  ServeConfig cfg_;
  HeadWeights head_;
  int32_t n_;
  std::shared_ptr<const std::vector<uint8_t>> band_;  // shared by the passes over the same band
  std::vector<double> aperture_;
  std::array<double, 2> canon_;
  std::vector<int32_t> dispX_, dispY_;
  std::vector<uint8_t> bandMask_;  // window-sized
  Region region_;
  size_t pooledPlane_ = 0;         // (window_h / 4) * (window_w / 4)
  std::vector<uint16_t> pooled_;   // n x 3 planes

  // The query of the frame being retrieved.
  std::vector<uint16_t> qPlanes_;  // 3 window planes, half
  std::vector<float> qWeights_, prevWeights_;
  std::vector<uint16_t> qPooled_, qPooledW_;
  double W_ = 1, Wp_ = 1;
  size_t rowBegin_ = 0, rowEnd_ = 0;

  bool holding_ = false;
  Pending held_;
  std::vector<int32_t> carried_;
  int64_t lastEmitted_ = -2;

  // The working buffers of a frame's pass (some 10 MB at the demo's window
  // and K), kept from frame to frame rather than allocated afresh each time.
  // Every pass of the process borrows them from one pool for the length of
  // a call: as many sets as there are cores, however many streams speak.
  struct Work {
    std::vector<float> cand, query, blended, weights, planes, qp, in, a1, a2, logit;
    std::vector<uint8_t> win;
  };
  static LeasePool<Work>& works();
  void headForward(const std::vector<float>& candidates, int32_t K, const std::vector<float>& query,
                   std::vector<float>* blended, std::vector<float>* weights, Work& work) const;
  int64_t statFrames_ = 0;
  double statPixels_ = 0, statMeanSum_ = 0;
  float statMax_ = 0;
};

}  // namespace le::tessera
