// ONNX wire reader, the node rewrites, the source-cone cut and the warp block
// as one node over arbitrary model bytes.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/onnx_wire.h"
#include "render/rewrites.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> model(data, data + size);
  try {
    const le::Slice g = le::gsGraphOf(le::sliceOf(model));
    std::vector<le::GsNode> nodes;
    std::set<std::string> inputs, inits;
    le::gsReadGraph(g, nodes, inputs, inits);
    int32_t type = 0;
    std::vector<int64_t> dims;
    le::ldInputDims(g, "P_rgb", type, dims);
    std::vector<uint8_t> out;
    le::gsRebuild(le::sliceOf(model), le::GsGraphEdit{}, out);
    le::graphHasBakedGridSampleFast(model);
  } catch (const std::runtime_error&) {
  }
  for (int which = 0; which < 4; ++which) {
    std::vector<uint8_t> m = model;
    try {
      const size_t n = which == 0   ? le::rewriteGridSampleToFast(m)
                       : which == 1 ? le::normaliseStudentBlend(m)
                                    : le::rewriteHeadCubicResize(m, which == 3);
      if (n == 0 && m != model) std::abort();  // no rewrite must mean no change
    } catch (const std::runtime_error&) {
    }
  }
  std::vector<uint8_t> m = model;
  try {
    std::string reason;
    int32_t canvas = 0, batch = 0;
    if (!le::rewriteBindLipContour(m, reason, canvas, batch) && m != model) std::abort();
  } catch (const std::runtime_error&) {
  }
  try {
    std::string name, reason;
    if (le::findSourceConeBoundary(model, name) == 1) {
      std::vector<uint8_t> prep, perFrame;
      const int64_t dims[4] = {1, 12, 32, 32};
      const bool a = le::buildSourceConePrep(model, name, prep, reason);
      const bool b = le::buildSourceConePerFrame(model, name, dims, 4, perFrame, reason);
      if (a != b) std::abort();  // both halves are cut from one cone
    }
  } catch (const std::runtime_error&) {
  }
  m = model;
  try {
    std::string reason;
    if (le::rewriteWarpBlockToCustomOp(m, reason) == 0 && m != model) std::abort();
    const std::vector<uint8_t> warped = m;
    if (le::absorbWarpFlow(m) == 0 && m != warped) std::abort();
  } catch (const std::runtime_error&) {
  }
  m = model;
  try {
    if (le::fuseElementwise(m, 3) == 0 && m != model) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
