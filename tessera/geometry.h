// Where the mouth interior may be replaced, from a frame's keypoints: the
// compose mask ("pi") the director was baked with (a soft ellipse around the
// lips united with a teeth gate that opens with the mouth), the lip contour
// that tightens it, and the shift of the mouth from the bank's canonical
// position. Geometry a bundle cannot name is refused, never approximated.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

struct EllParams {
  float cx = 0, cy = 0, rx = 0, ry = 0;
  float s = 0;  // sqrt(rx * ry) * 256: the ellipse's size in reference pixels
};

struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // half-open
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  int32_t w() const { return x1 - x0; }
  int32_t h() const { return y1 - y0; }
};

// The lip geometry variants a bank may have been built with.
struct CorpusGeometry {
  const char* name;
  float padX, padY, down;
};
extern const std::array<CorpusGeometry, 3> kCorpusGeometries;

class UnifiedPi {
 public:
  // Reads the manifest's `unified` block for a canvas of side `canvas`.
  static UnifiedPi fromManifestJson(const std::string& manifest, int32_t canvas);
  // The corpus variant whose canonical centroid over the bundle's own idle
  // keypoints (`frames` sets of 63 floats) lies at cCanon (x, y). The last
  // few answers are kept for the process (by their inputs, bit for bit);
  // corpusFromFrames always works it out.
  static UnifiedPi corpusFromManifestJson(const std::string& manifest, int32_t canvas, const float* frames,
                                          int32_t count, const double cCanon[2], std::string* name = nullptr);
  static UnifiedPi corpusFromFrames(const std::string& manifest, int32_t canvas, const float* frames, int32_t count,
                                    const double cCanon[2], std::string* name = nullptr);

  int32_t canvas() const { return n_; }
  void setLipGeometry(float padX, float padY, float down) { padX_ = padX, padY_ = padY, down_ = down; }

  // Float masks of n*n values.
  void ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float down,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float* gate) const;
  Box ellBox(const EllParams& e) const;
  Box supportBox(const float* kp) const;

  // The compose mask as u8 (n*n); the boxed variant computes only inside
  // the support box and writes 0 elsewhere.
  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  // The compose mask inside the intersection of the support box and the
  // contour box, each pixel the smaller of it and the contour (box-sized
  // floats); 0 elsewhere.
  void piU8ShrunkBy(const float* kp, const float* contour, const Box& box, uint8_t* out) const;

  // Mean column and row of the pixels >= 128; false when there are none.
  bool piU8Centroid(const uint8_t* mask, double* x, double* y) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double* x, double* y) const;
  // The boxed mask and the mouth's shift (rows, columns) from canon (x, y).
  bool piU8AndShift(const float* kp, const double canon[2], uint8_t* out, int32_t* dy, int32_t* dx) const;
  void canonicalCentroid(const float* frames, int32_t count, double* x, double* y) const;

 private:
  struct LipStats {
    float mx, my, ax, ay;
  };
  LipStats stats(const float* kp) const;
  EllParams ellipse(const LipStats& st, float padX, float padY, float minRx, float minRy, float scale,
                    float down) const;
  float lipScale(const LipStats& st, const float* kp) const;
  float gate(const LipStats& st) const;
  float piAt(const EllParams& lip, const EllParams& teeth, float g, int32_t x, int32_t y) const;
  void fillPi(const float* kp, const Box& box, uint8_t* out) const;

  int32_t n_ = 0;
  std::vector<int32_t> lipIdx_;
  bool cornerRecovery_ = false;
  float propGateScale_ = 1.0f;
  float padX_ = 0, padY_ = 0, down_ = 0;
  std::vector<float> grid_;  // the same table for x and y
};

class LipContour {
 public:
  static LipContour fromTemplateJson(const std::string& text, int32_t canvas);
  LipContour(int32_t canvas, float featherPx, const double* uCanon, int32_t nv, const int32_t* lipIdx,
             int32_t count);
  // W: 2*nv rows of 2*m values, b: 2*nv values, m = count anchor rows.
  void attachMap(const double* W, const double* b, int32_t rows, int32_t cols, const int32_t* lipIdx, int32_t count);

  int32_t vertices() const { return nv_; }
  float feather() const { return feather_; }
  bool hasMap() const { return !mapW_.empty(); }
  // nv vertices (x, y) in pixels.
  void polygon(const float* kp, double* out) const;
  Box box(const double* vertices) const;

  // The polygon filled into a box-sized u8 buffer: outline (Bresenham) and
  // even-odd spans; returns it.
  const std::vector<uint8_t>& fillScanline(const double* vertices, const Box& box);
  // The outward-feathered contour, box-sized; returns it.
  const std::vector<float>& contourF32(const double* vertices, const Box& box);
  // The chamfer distance map of the last contourF32 call (box-sized).
  const std::vector<float>& distance() const { return dist_; }
  void contourF32Canvas(const float* kp, float* out);

  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double canon[2], uint8_t* out, int32_t* dy,
                           int32_t* dx);

 private:
  int32_t n_;
  float feather_;
  int32_t nv_;
  std::vector<double> uCanon_;
  std::vector<int32_t> lipIdx_;
  std::vector<double> mapW_, mapB_;
  std::vector<int32_t> mapIdx_;
  std::vector<uint8_t> fill_;
  std::vector<float> dist_, contour_;
  std::vector<double> verts_;
};

// The corpus variant a list of distances selects: the index of the best, or
// a refusal when none is within 8 px or the best two are within 3 px.
size_t pickCorpus(const std::array<double, 3>& distances, const double cCanon[2]);

}  // namespace le::tessera
