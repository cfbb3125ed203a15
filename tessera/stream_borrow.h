// The teeth pass as the utterance pipeline drives it: rendered frames and
// their keypoints in, the delivery mask and shift made here from the compose
// geometry (and the lip contour when the bundle has one), the borrowed mouth
// written back into the caller's canvas.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tessera/geometry.h"
#include "tessera/teeth_pass.h"

namespace le::tessera {

class StreamBorrow : public TeethPass {
 public:
  // lipTemplate: the text of lip_template.v1.json, or "" when the bundle has
  // none (the elliptical compose mask is delivered then).
  StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lipTemplate);

  // planes: R, G, B planes of side * side floats in [0, 1].
  int push(const float* planes, const float* keypoints, FrameResult* out);
  // rgba: side * side RGBA pixels; alpha is ignored.
  int pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult* out);
  int flush(FrameResult* out) { return TeethPass::flush(out); }

  static void writeWindowDelta(float* planes, int32_t side, const FrameResult& result, const GeometryStamp& stamp);
  static void writeWindowDeltaRgba(uint8_t* rgba, int32_t side, const FrameResult& result,
                                   const GeometryStamp& stamp);

  double hostSplit(double* out) const {
    if (out) *out = 0;
    return 0;
  }
  const char* backend() const { return "cpu"; }
  int32_t side() const { return side_; }
  bool lipContour() const { return lip_ != nullptr; }

 private:
  int pushScratch(const float* keypoints, FrameResult* out);

  UnifiedPi pi_;
  std::unique_ptr<LipContour> lip_;
  int32_t side_;
  std::vector<uint8_t> rgb_, mask_;
  int64_t next_ = 0;
};

// A borrow for a session on a canvas of side `crop`, its compose geometry
// identified from the bundle's idle keypoints (nt rows of 63); `geometry`
// receives the identified geometry as text. Throws naming the refusal.
std::unique_ptr<StreamBorrow> makeStreamBorrow(const BankData& bank, const std::vector<uint8_t>& headPt,
                                               const std::string& headConfig, const std::string& manifestJson,
                                               int32_t crop, const float* xsTarget, int32_t nt,
                                               const std::string& lipTemplate, std::string* geometry);

}  // namespace le::tessera
