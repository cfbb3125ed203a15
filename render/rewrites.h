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
// Conv 5x5 + DepthToSpace, or with `customOp` (CPU sessions that register
// the engine's domain) -> one com.corvalux::CubicUp2x node.
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model, bool customOp = false);

// True when every Conv of the graph has fewer than `channels` input and
// output channels, read from its weight initializer (a Conv whose weights
// are not an initializer counts as wide).
bool convsAllNarrow(const std::vector<uint8_t>& model, int64_t channels);

// Binds a per-frame lip mask into the compose alpha a of the tail
// x a + y (1 - a): a new graph input "lip_delivery" [batch, 1, canvas,
// canvas] and a Min node whose output replaces a for its consumers. On
// success reports the compose canvas and the graph's batch (0: not known)
// and returns true; otherwise `reason` says why and the bytes are unchanged.
bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int32_t& canvas, int32_t& batch);

// The source cone: every node that depends only on the source frame's warp
// prior "P_rgb", ending at the one Concat that reads it (the boundary).
// Returns how many Concat nodes read "P_rgb"; `name` is the boundary when 1.
int findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& name);
// The cone as a model of its own: input "P_rgb", output the boundary with
// four symbolic dimensions. False with `reason` when the cone cannot be cut
// out (it reads another input, or a value of it is read elsewhere).
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& name, std::vector<uint8_t>& prep,
                         std::string& reason);
// The graph without the cone, reading the boundary as an input of `dims`.
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& name, const int64_t* dims, size_t n,
                             std::vector<uint8_t>& perFrame, std::string& reason);

// The source cone, the one GridSample sampling its tip and the Slice, Mul,
// Sub and Add nodes that recombine the samples into one exit tensor.
struct WarpBlock {
  std::string boundary;
  size_t gridSample = 0;  // node index
  std::string grid;
  std::vector<size_t> recombination;  // node indices
  std::string exit;
};
// False with `reason` when the graph carries no such block.
bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason);
// Replaces the block (with every node that only fed it, the cone among them)
// by one node com.corvalux::WarpDirector("P_rgb", grid) -> exit. Returns the
// number of nodes removed; 0 with `reason` leaves the bytes unchanged.
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

// The WarpDirector node's grid built as Add(identity weight [N, H, W, 2],
// Transpose(Concat(fx, fy), perm 0 2 3 1)) becomes a WarpDirectorFlow node
// reading the identity and the two flow planes, each value read only there;
// the count of nodes removed.
size_t absorbWarpFlow(std::vector<uint8_t>& model);

// Runs of float element-wise nodes (Add, Sub, Mul, Div, two-input Min and
// Max, Clip of constant bounds, Neg, Abs, Floor), at most maxRun nodes each,
// to one com.corvalux::Elementwise node each; the count of nodes made.
size_t fuseElementwise(std::vector<uint8_t>& model, size_t maxRun = 64);

}  // namespace le
