// Load-time node rewrites of the director graph. Each works on the model
// bytes in place and returns how many nodes it rewrote; 0 leaves the bytes
// untouched. Malformed bytes throw "onnx: ..." errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// A node GridSampleFast of domain com.corvalux is already in the graph.
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);
// Standard GridSample (bilinear, border, align_corners 0) -> GridSampleFast.
size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);
// The student blend MatMul "/s2/blend" -> Gemm.
size_t normaliseStudentBlend(std::vector<uint8_t>& model);
// The single 2x cubic half_pixel Resize feeding a Conv -> Pad + depthwise
// Conv 5x5 + DepthToSpace.
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

// Binds a per-frame lip mask into the compose alpha a of the tail
// x a + y (1 - a): a new graph input "lip_delivery" [batch, 1, canvas,
// canvas] and a Min node whose output replaces a for its consumers. On
// success reports the compose canvas and the graph's batch (0: not known)
// and returns true; otherwise `reason` says why and the bytes are unchanged.
bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int32_t& canvas, int32_t& batch);

// The four normalised cubic weights at distances t+1, t, 1-t, 2-t.
void hcTaps(double t, double a, double out[4]);

}  // namespace le
