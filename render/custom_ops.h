// The engine's own onnxruntime operators, domain "com.corvalux":
// GridSampleFast (bilinear, border, align_corners 0), WarpDirector (the
// curvature-corrected bilinear warp of the director's 3-channel source),
// CubicUp2x (Resize cubic x2, half_pixel, edge taps clamped, separable) and
// Elementwise (a run of element-wise operators in one pass).
#pragma once

#include <cstddef>

struct OrtCustomOp;
namespace Ort {
struct CustomOpDomain;
struct SessionOptions;
}  // namespace Ort

namespace le {

// Process-wide domain holding the operators; never destroyed.
Ort::CustomOpDomain& corvaluxDomain();
void registerGridSampleFast(Ort::SessionOptions& opts);
void registerWarpDirector(Ort::SessionOptions& opts);
// Elementwise: a run of element-wise operators as one node, the same bits.
const OrtCustomOp* fusedElementwiseOp();
void registerElementwise(Ort::SessionOptions& opts);

// One item: x [C][H][W], grid [Hg][Wg][2], out [C][Hg][Wg] (Hg, Wg below 0:
// the input's H and W); the band covers output rows [rowBegin, rowEnd).
void gridsample_fast(const float* x, const float* grid, float* out, int C, int H, int W, int Hg = -1, int Wg = -1);
void gridsample_fast_band(const float* x, const float* grid, float* out, int C, int H, int W, int Hg, int Wg,
                          int rowBegin, int rowEnd);

// One item: src [3][H][W], grid [H][W][2], out [3][H][W]; planes holds H*W*12 floats.
void warpDirector(const float* src, const float* grid, float* out, int W, int H);
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int rowBegin, int rowEnd);
void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int rowBegin, int rowEnd);
void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int rowBegin, int rowEnd);
// The body WarpDirector runs: "avx2" (eight pixels' taps at a time, a pixel's
// twelve sums in two vectors) or "scalar"; both give the same bits.
const char* warpBody();

// The four normalised taps of the cubic kernel (coefficient a) at fraction t.
void cubicTaps(double t, double a, double out[4]);
// One plane: x [H][W] to out [2H][2W], output rows [rowBegin, rowEnd).
void cubicUp2xBand(const float* x, float* out, int H, int W, float a, int rowBegin, int rowEnd);
// The body GridSampleFast runs for `channels` channels: "avx512" or "avx2"
// (sixteen or eight pixels at a time), else "scalar".
const char* gridsampleBody(int channels);

// Tests and benchmarks: run GridSampleFast on the named body ("avx512",
// "avx2", "scalar"; the best the CPU has when it lacks that one), or back on
// the dispatch's choice with nullptr. "scalar" holds WarpDirector to its
// scalar body too.
void setGridSampleBody(const char* body);

}  // namespace le
