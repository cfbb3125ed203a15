#include "render/rewrites.h"

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "render/onnx_wire.h"

namespace le {
namespace {

constexpr const char* kDomain = "com.corvalux";

struct Attr {
  bool present = false;
  std::string s;
  int64_t i = 0;
  float f = 0;
  bool hasF = false;
  std::vector<int64_t> ints;
};

Attr attrOf(Slice node, const std::string& name) {
  Attr a;
  PbReader r(node);
  PbField f;
  while (r.next(f)) {
    if (f.number != 5 || f.wire != 2 || gsFirstStr(f.payload, 1) != name) continue;
    a.present = true;
    PbReader ar(f.payload);
    PbField g;
    while (ar.next(g)) {
      if (g.number == 4 && g.wire == 2) a.s = g.payload.str();
      if (g.number == 3 && g.wire == 0) a.i = static_cast<int64_t>(g.varint);
      if (g.number == 2 && g.wire == 5) {
        const uint32_t bits = static_cast<uint32_t>(g.varint);
        std::memcpy(&a.f, &bits, 4);
        a.hasF = true;
      }
      if (g.number == 8 && g.wire == 0) a.ints.push_back(static_cast<int64_t>(g.varint));
    }
    return a;
  }
  return a;
}

size_t attrCount(Slice node) {
  size_t n = 0;
  PbReader r(node);
  PbField f;
  while (r.next(f)) n += f.number == 5;
  return n;
}

bool defaultDomain(const GsNode& n) { return n.domain.empty() || n.domain == "ai.onnx"; }

// Copies the model with every node passed through `nodeFn` (true: it wrote
// the replacement itself).
Bytes rebuildNodes(Slice model, const std::function<bool(size_t, Slice, Bytes&)>& nodeFn,
                   const std::function<void(Bytes&)>& graphTail, const std::function<void(Bytes&)>& modelTail) {
  GraphRewriter rw;
  rw.field = [&](const PbField& f, size_t k, Bytes& g) { return k != SIZE_MAX && nodeFn(k, f.payload, g); };
  rw.graphTail = graphTail;
  rw.modelTail = modelTail;
  Bytes out;
  gsRebuildWith(model, rw, out);
  return out;
}

// The node's fields minus `skip`, then the new op_type and optional domain.
void retype(Slice node, const std::vector<uint32_t>& skip, const std::string& opType, const char* domain, Bytes& graph) {
  Bytes n;
  PbReader r(node);
  PbField f;
  while (r.next(f)) {
    bool drop = false;
    for (uint32_t s : skip) drop |= f.number == s;
    if (!drop) gsPutRaw(n, f.whole);
  }
  gsPutStr(n, 4, opType);
  if (domain) gsPutStr(n, 7, domain);
  gsPutBytes(graph, 1, n.data(), n.size());
}

bool gridSampleRewritable(const GsNode& n) {
  if (n.opType != "GridSample" || !defaultDomain(n)) return false;
  const Attr mode = attrOf(n.whole, "mode"), pad = attrOf(n.whole, "padding_mode"), ac = attrOf(n.whole, "align_corners");
  if (!mode.present || (mode.s != "bilinear" && mode.s != "linear")) return false;
  if (!pad.present || pad.s != "border") return false;
  return !ac.present || ac.i == 0;
}

bool hasOpset(Slice model, const std::string& domain) {
  PbReader r(model);
  PbField f;
  while (r.next(f))
    if (f.number == 8 && f.wire == 2 && gsFirstStr(f.payload, 1) == domain) return true;
  return false;
}

void addOpset(Bytes& model) {
  Bytes op;
  gsPutStr(op, 1, kDomain);
  gsPutKey(op, 2, 0);
  gsPutVarint(op, 1);
  gsPutBytes(model, 8, op.data(), op.size());
}

std::vector<GsNode> nodesOf(Slice model) {
  std::vector<GsNode> nodes;
  wdReadNodes(gsGraphOf(model), nodes);
  return nodes;
}

}  // namespace

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  for (const GsNode& n : nodesOf(sliceOf(model)))
    if (n.opType == "GridSampleFast" && n.domain == kDomain) return true;
  return false;
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  const Slice m = sliceOf(model);
  const std::vector<GsNode> nodes = nodesOf(m);
  std::vector<bool> hit(nodes.size());
  size_t count = 0;
  for (size_t k = 0; k < nodes.size(); ++k) count += hit[k] = gridSampleRewritable(nodes[k]);
  if (count == 0) return 0;
  const bool opset = hasOpset(m, kDomain);
  Bytes out = rebuildNodes(
      m,
      [&](size_t k, Slice node, Bytes& g) {
        if (k >= hit.size() || !hit[k]) return false;
        retype(node, {4, 5, 7}, "GridSampleFast", kDomain, g);
        return true;
      },
      nullptr,
      [&](Bytes& o) {
        if (!opset) addOpset(o);
      });
  model.swap(out);
  return count;
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  const Slice m = sliceOf(model);
  const std::vector<GsNode> nodes = nodesOf(m);
  std::vector<bool> hit(nodes.size());
  size_t count = 0;
  for (size_t k = 0; k < nodes.size(); ++k) {
    const GsNode& n = nodes[k];
    hit[k] = n.name == "/s2/blend" && n.opType == "MatMul" && defaultDomain(n) && n.inputs.size() == 2 &&
             attrCount(n.whole) == 0;
    count += hit[k];
  }
  if (count == 0) return 0;
  Bytes out = rebuildNodes(
      m,
      [&](size_t k, Slice node, Bytes& g) {
        if (k >= hit.size() || !hit[k]) return false;
        retype(node, {4, 7}, "Gemm", nullptr, g);
        return true;
      },
      nullptr, nullptr);
  model.swap(out);
  return count;
}

void hcTaps(double t, double a, double out[4]) {
  const double d[4] = {t + 1, t, 1 - t, 2 - t};
  double sum = 0;
  for (int k = 0; k < 4; ++k) {
    const double x = d[k];
    out[k] = x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : ((x - 5) * x + 8) * x * a - 4 * a;
    sum += out[k];
  }
  for (int k = 0; k < 4; ++k) out[k] /= sum;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const Slice m = sliceOf(model);
  const Slice graph = gsGraphOf(m);
  std::vector<GsNode> nodes;
  std::set<std::string> inputs, inits;
  gsReadGraph(graph, nodes, inputs, inits);

  // Constant tensors by name: initializers and Constant node outputs.
  std::map<std::string, Slice> consts;
  {
    PbReader r(graph);
    PbField f;
    while (r.next(f))
      if (f.number == 5 && f.wire == 2) consts[gsFirstStr(f.payload, 8)] = f.payload;
  }
  std::map<std::string, Slice> initOnly = consts;
  for (const GsNode& n : nodes)
    if (n.opType == "Constant" && !n.outputs.empty()) {
      const Slice v = hcConstValue(n.whole);
      if (!v.empty()) consts[n.outputs[0]] = v;
    }
  std::map<std::string, std::vector<size_t>> consumers;
  for (size_t k = 0; k < nodes.size(); ++k)
    for (const std::string& in : nodes[k].inputs) consumers[in].push_back(k);

  size_t cand = SIZE_MAX, found = 0;
  float coeff = -0.75f;
  for (size_t k = 0; k < nodes.size(); ++k) {
    const GsNode& n = nodes[k];
    if (n.opType != "Resize") continue;
    const Slice w = n.whole;
    if (attrOf(w, "mode").s != "cubic" || attrOf(w, "coordinate_transformation_mode").s != "half_pixel") continue;
    const Attr keep = attrOf(w, "keep_aspect_ratio_policy");
    if (keep.present && keep.s != "stretch") continue;
    if (attrOf(w, "exclude_outside").i != 0 || attrOf(w, "antialias").i != 0 || attrOf(w, "axes").present) continue;
    if (n.inputs.size() != 3 || !n.inputs[1].empty()) continue;
    const auto c = consts.find(n.inputs[2]);
    std::vector<float> scales;
    if (c == consts.end() || !hcTensorFloats(c->second, scales)) continue;
    if (scales.size() != 4 || scales[0] != 1 || scales[1] != 1 || scales[2] != 2 || scales[3] != 2) continue;
    const Attr a = attrOf(w, "cubic_coeff_a");
    coeff = a.hasF ? a.f : -0.75f;
    cand = k;
    ++found;
  }
  if (found != 1 || nodes[cand].outputs.size() != 1) return 0;
  const GsNode& rz = nodes[cand];
  const auto cons = consumers.find(rz.outputs[0]);
  if (cons == consumers.end() || cons->second.size() != 1) return 0;
  const GsNode& conv = nodes[cons->second[0]];
  if (conv.opType != "Conv" || conv.inputs.size() < 2) return 0;
  const auto wt = initOnly.find(conv.inputs[1]);
  if (wt == initOnly.end()) return 0;
  std::vector<int64_t> wdims;
  hcTensorDims(wt->second, wdims);
  if (wdims.size() != 4) return 0;
  const Attr groupAttr = attrOf(conv.whole, "group");
  const int64_t group = groupAttr.present ? groupAttr.i : 1;
  if (group < 1 || wdims[1] < 1 || wdims[1] > 1048576 || group > 1048576 / wdims[1]) return 0;
  const int64_t C = group * wdims[1];

  const std::string nodeBase = rz.name.empty() ? "/Resize" : rz.name;
  const std::string base = "rz" + std::to_string(cand);
  double phase[2][5] = {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}};
  double taps[4];
  hcTaps(0.75, coeff, taps);
  for (int k = 0; k < 4; ++k) phase[0][k] = taps[k];
  hcTaps(0.25, coeff, taps);
  for (int k = 0; k < 4; ++k) phase[1][k + 1] = taps[k];
  std::vector<float> weights(static_cast<size_t>(C) * 4 * 25);
  for (int64_t c = 0; c < C; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* w = &weights[static_cast<size_t>((c * 4 + py * 2 + px) * 25)];
        for (int ky = 0; ky < 5; ++ky)
          for (int kx = 0; kx < 5; ++kx) w[ky * 5 + kx] = static_cast<float>(phase[py][ky] * phase[px][kx]);
      }

  // The scales initializer goes with the Resize when nothing else reads it
  // (the runtime would otherwise warn about it on every load).
  const std::string scalesName = rz.inputs[2];
  const bool dropScales = initOnly.count(scalesName) && !inputs.count(scalesName) && consumers[scalesName].size() == 1;
  GraphRewriter rw;
  rw.field = [&](const PbField& f, size_t k, Bytes& g) {
    if (k == SIZE_MAX) return dropScales && f.number == 5 && f.wire == 2 && gsFirstStr(f.payload, 8) == scalesName;
    if (k != cand) return false;
    Bytes padAttrs, convAttrs, d2sAttrs;
    hcAttrS(padAttrs, "edge");
    hcNode(g, "Pad", {rz.inputs[0], base + "_pads"}, base + "_padout", nodeBase + "/pad", padAttrs);
    const int64_t ones[2] = {1, 1}, kernel[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
    hcAttrIs(convAttrs, "dilations", ones, 2);
    hcAttrI(convAttrs, "group", C);
    hcAttrIs(convAttrs, "kernel_shape", kernel, 2);
    hcAttrIs(convAttrs, "pads", zeros, 4);
    hcAttrIs(convAttrs, "strides", ones, 2);
    hcNode(g, "Conv", {base + "_padout", base + "_dw_w"}, base + "_convout", nodeBase + "/dwconv", convAttrs);
    hcAttrI(d2sAttrs, "blocksize", 2);
    hcAttrS(d2sAttrs, "CRD");
    hcNode(g, "DepthToSpace", {base + "_convout"}, rz.outputs[0], nodeBase + "/d2s", d2sAttrs);
    return true;
  };
  rw.graphTail = [&](Bytes& g) {
    const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};
    hcInit(g, base + "_pads", 7, {8}, pads, sizeof pads);
    hcInit(g, base + "_dw_w", 1, {4 * C, 1, 5, 5}, weights.data(), weights.size() * sizeof(float));
  };
  Bytes out;
  gsRebuildWith(m, rw, out);
  model.swap(out);
  return 1;
}

}  // namespace le
