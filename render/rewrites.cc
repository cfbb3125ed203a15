#include "render/rewrites.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "kernels/simd.h"
#include "render/custom_ops.h"
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

// The graph's initializers by name.
std::map<std::string, Slice> initializersOf(Slice graph) {
  std::map<std::string, Slice> out;
  PbReader r(graph);
  PbField f;
  while (r.next(f))
    if (f.number == 5 && f.wire == 2) out[gsFirstStr(f.payload, 8)] = f.payload;
  return out;
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

bool convsAllNarrow(const std::vector<uint8_t>& model, int64_t channels) {
  const Slice graph = gsGraphOf(sliceOf(model));
  std::vector<GsNode> nodes;
  std::set<std::string> inputs, inits;
  gsReadGraph(graph, nodes, inputs, inits);
  const std::map<std::string, Slice> weights = initializersOf(graph);
  for (const GsNode& n : nodes) {
    if (n.opType != "Conv" || !defaultDomain(n)) continue;
    const auto w = n.inputs.size() >= 2 ? weights.find(n.inputs[1]) : weights.end();
    std::vector<int64_t> dims;
    if (w == weights.end() || !hcTensorDims(w->second, dims) || dims.size() < 2) return false;
    const Attr group = attrOf(n.whole, "group");
    const int64_t in = dims[1] * (group.present ? group.i : 1);
    if (dims[0] >= channels || dims[1] >= channels || in >= channels || in < 0) return false;
  }
  return true;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model, bool customOp) {
  const Slice m = sliceOf(model);
  const Slice graph = gsGraphOf(m);
  std::vector<GsNode> nodes;
  std::set<std::string> inputs, inits;
  gsReadGraph(graph, nodes, inputs, inits);

  // Constant tensors by name: initializers and Constant node outputs.
  std::map<std::string, Slice> consts = initializersOf(graph);
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
  cubicTaps(0.75, coeff, taps);
  for (int k = 0; k < 4; ++k) phase[0][k] = taps[k];
  cubicTaps(0.25, coeff, taps);
  for (int k = 0; k < 4; ++k) phase[1][k + 1] = taps[k];
  std::vector<float> weights(customOp ? 0 : static_cast<size_t>(C) * 4 * 25);
  for (int64_t c = 0; c < (customOp ? 0 : C); ++c)
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
  if (customOp) {
    const bool opset = hasOpset(m, kDomain);
    rw.field = [&](const PbField& f, size_t k, Bytes& g) {
      if (k == SIZE_MAX) return dropScales && f.number == 5 && f.wire == 2 && gsFirstStr(f.payload, 8) == scalesName;
      if (k != cand) return false;
      Bytes a, attrs;
      gsPutStr(a, 1, "cubic_coeff_a");
      gsPutKey(a, 2, 5);
      uint32_t bits;
      std::memcpy(&bits, &coeff, 4);
      for (int b = 0; b < 4; ++b) a.push_back(static_cast<uint8_t>(bits >> (8 * b)));
      gsPutKey(a, 20, 0);
      gsPutVarint(a, 1);
      gsPutBytes(attrs, 5, a.data(), a.size());
      gsPutStr(attrs, 7, kDomain);
      hcNode(g, "CubicUp2x", {rz.inputs[0]}, rz.outputs[0], nodeBase + "/cubic", attrs);
      return true;
    };
    rw.modelTail = [&](Bytes& o) {
      if (!opset) addOpset(o);
    };
    Bytes out;
    gsRebuildWith(m, rw, out);
    model.swap(out);
    return 1;
  }
  rw.field = [&](const PbField& f, size_t k, Bytes& g) {
    if (k == SIZE_MAX) return dropScales && f.number == 5 && f.wire == 2 && gsFirstStr(f.payload, 8) == scalesName;
    if (k != cand) return false;
    Bytes padAttrs, convAttrs, d2sAttrs;
    hcAttrS(padAttrs, "mode", "edge");
    hcNode(g, "Pad", {rz.inputs[0], base + "_pads"}, base + "_padout", nodeBase + "/pad", padAttrs);
    const int64_t ones[2] = {1, 1}, kernel[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
    hcAttrIs(convAttrs, "dilations", ones, 2);
    hcAttrI(convAttrs, "group", C);
    hcAttrIs(convAttrs, "kernel_shape", kernel, 2);
    hcAttrIs(convAttrs, "pads", zeros, 4);
    hcAttrIs(convAttrs, "strides", ones, 2);
    hcNode(g, "Conv", {base + "_padout", base + "_dw_w"}, base + "_convout", nodeBase + "/dwconv", convAttrs);
    hcAttrI(d2sAttrs, "blocksize", 2);
    hcAttrS(d2sAttrs, "mode", "CRD");
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

namespace {

constexpr const char* kLipInput = "lip_delivery";
constexpr const char* kLipMin = "tessera_lipdel_min";
constexpr const char* kLipAlpha = "tessera_lipdel_alpha";
constexpr size_t kTailSearch = 64;

struct GraphView {
  std::vector<GsNode> nodes;
  std::set<std::string> inputs, inits;
  std::map<std::string, Slice> consts;     // initializers and Constant outputs
  std::map<std::string, size_t> producer;  // tensor -> node index
  std::vector<std::string> outputs;
};

GraphView viewOf(Slice graph) {
  GraphView v;
  gsReadGraph(graph, v.nodes, v.inputs, v.inits);
  PbReader r(graph);
  PbField f;
  while (r.next(f)) {
    if (f.number == 5 && f.wire == 2) v.consts[gsFirstStr(f.payload, 8)] = f.payload;
    if (f.number == 12 && f.wire == 2) v.outputs.push_back(gsFirstStr(f.payload, 1));
  }
  for (size_t k = 0; k < v.nodes.size(); ++k)
    for (const std::string& o : v.nodes[k].outputs) {
      if (o.empty()) continue;
      v.producer.emplace(o, k);
      if (v.nodes[k].opType == "Constant") {
        const Slice t = hcConstValue(v.nodes[k].whole);
        if (!t.empty()) v.consts[o] = t;
      }
    }
  return v;
}

// A float tensor of one element whose value is exactly 1.
bool isScalarOne(const GraphView& v, const std::string& name) {
  const auto c = v.consts.find(name);
  if (c == v.consts.end()) return false;
  std::vector<int64_t> dims;
  hcTensorDims(c->second, dims);
  for (int64_t d : dims)
    if (d != 1) return false;
  std::vector<float> values;
  return hcTensorFloats(c->second, values) && values.size() == 1 && values[0] == 1.0f;
}

const GsNode* producerOf(const GraphView& v, const std::string& t) {
  const auto p = v.producer.find(t);
  return p == v.producer.end() ? nullptr : &v.nodes[p->second];
}

bool reads(const GsNode& n, const std::string& t) {
  for (const std::string& in : n.inputs)
    if (in == t) return true;
  return false;
}

// The compose alpha of an Add of Mul(., a) and Mul(., Sub(1, a)), or "" when
// `add` is not such a tail.
std::string tailAlpha(const GraphView& v, const GsNode& add) {
  if (add.opType != "Add" || !defaultDomain(add) || add.inputs.size() != 2) return "";
  for (int inv = 0; inv < 2; ++inv) {
    const GsNode* mInv = producerOf(v, add.inputs[inv]);
    const GsNode* mA = producerOf(v, add.inputs[1 - inv]);
    if (!mInv || !mA || mInv->opType != "Mul" || mA->opType != "Mul" || mInv->inputs.size() != 2 ||
        mA->inputs.size() != 2)
      continue;
    for (const std::string& t : mInv->inputs) {
      const GsNode* sub = producerOf(v, t);
      if (!sub || sub->opType != "Sub" || sub->inputs.size() != 2 || !isScalarOne(v, sub->inputs[0])) continue;
      const std::string& a = sub->inputs[1];
      if (reads(*mA, a)) return a;
    }
  }
  return "";
}

}  // namespace

bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int32_t& canvas, int32_t& batch) {
  reason.clear();
  const Slice m = sliceOf(model);
  const Slice graph = gsGraphOf(m);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  const GraphView v = viewOf(graph);
  if (v.inputs.count(kLipInput)) {
    reason = std::string("the graph already carries an input named ") + kLipInput;
    return false;
  }

  // The tail: breadth first from the first output's producer.
  std::string alpha;
  if (!v.outputs.empty()) {
    std::vector<size_t> queue;
    std::set<size_t> seen;
    if (const auto p = v.producer.find(v.outputs[0]); p != v.producer.end()) queue.push_back(p->second);
    for (size_t head = 0; head < queue.size() && head < kTailSearch && alpha.empty(); ++head) {
      const GsNode& n = v.nodes[queue[head]];
      if (!seen.insert(queue[head]).second) continue;
      const std::string a = tailAlpha(v, n);
      if (!a.empty()) {
        const GsNode* clip = producerOf(v, a);
        if (!clip) {
          reason = "the compose alpha '" + a + "' has no producer node";
          return false;
        }
        if (clip->opType == "Clip") alpha = a;
        continue;
      }
      for (const std::string& in : n.inputs)
        if (const auto p = v.producer.find(in); p != v.producer.end() && !seen.count(p->second))
          queue.push_back(p->second);
    }
  }
  if (alpha.empty()) {
    reason = "the graph does not carry the unified compose tail";
    return false;
  }
  const size_t clipAt = v.producer.at(alpha);

  // The canvas: a square constant the alpha is computed from, else the
  // source input's side.
  canvas = 0;
  for (const std::string& in : v.nodes[clipAt].inputs) {
    const auto c = v.consts.find(in);
    if (c == v.consts.end()) continue;
    std::vector<int64_t> dims;
    hcTensorDims(c->second, dims);
    const size_t r = dims.size();
    if (r >= 2 && dims[r - 1] == dims[r - 2] && dims[r - 1] > 0 && dims[r - 1] <= INT32_MAX) {
      canvas = static_cast<int32_t>(dims[r - 1]);
      break;
    }
  }
  int32_t type = 0;
  std::vector<int64_t> dims;
  if (canvas == 0 && ldInputDims(graph, "P_rgb", type, dims) && dims.size() == 4 && dims[2] == dims[3] &&
      dims[3] > 0 && dims[3] <= INT32_MAX)
    canvas = static_cast<int32_t>(dims[3]);
  if (canvas == 0) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }
  batch = 0;
  for (const char* name : {"pooled64", "kp_driving"}) {
    dims.clear();
    if (ldInputDims(graph, name, type, dims) && !dims.empty() && dims[0] > 0 && dims[0] <= INT32_MAX) {
      batch = static_cast<int32_t>(dims[0]);
      break;
    }
  }

  // Rebuild: the Min right after the alpha's producer, every reader of the
  // alpha rewired to the Min's output, the input appended.
  GraphRewriter rw;
  rw.field = [&](const PbField& f, size_t k, Bytes& g) {
    if (k == SIZE_MAX || k >= v.nodes.size()) return false;
    if (k == clipAt) {
      gsPutRaw(g, f.whole);
      hcNode(g, "Min", {alpha, kLipInput}, kLipAlpha, kLipMin, {});
      return true;
    }
    if (!reads(v.nodes[k], alpha)) return false;
    Bytes n;
    for (const std::string& in : v.nodes[k].inputs) gsPutStr(n, 1, in == alpha ? std::string(kLipAlpha) : in);
    PbReader r(f.payload);
    PbField x;
    while (r.next(x))
      if (x.number != 1) gsPutRaw(n, x.whole);
    gsPutBytes(g, 1, n.data(), n.size());
    return true;
  };
  rw.graphTail = [&](Bytes& g) {
    const int64_t shape[4] = {batch, 1, canvas, canvas};
    gsPutTensorValueInfo(g, 11, kLipInput, shape, 4);
  };
  Bytes out;
  gsRebuildWith(m, rw, out);

  // Self-checks on what was written.
  const GraphView w = viewOf(gsGraphOf(sliceOf(out)));
  std::map<std::string, size_t> firstProducer;
  for (size_t k = 0; k < w.nodes.size(); ++k)
    for (const std::string& o : w.nodes[k].outputs) firstProducer.emplace(o, k);
  for (size_t k = 0; k < w.nodes.size(); ++k)
    for (const std::string& in : w.nodes[k].inputs) {
      if (in.empty() || w.inputs.count(in) || w.inits.count(in)) continue;
      const auto p = firstProducer.find(in);
      if (p != firstProducer.end() && p->second < k) continue;
      const std::string at = p == firstProducer.end() ? "-1" : std::to_string(p->second);
      reason = "self-check: node " + w.nodes[k].name + " reads '" + in + "' produced at " + at +
               " \xE2\x80\x94 the rewritten graph is not topologically ordered";
      return false;
    }
  size_t mins = 0, alphaReaders = 0, lipReaders = 0;
  for (const GsNode& n : w.nodes) {
    const bool isMin = n.inputs.size() == 2 && n.inputs[0] == alpha && n.inputs[1] == kLipInput;
    mins += isMin;
    if (!isMin && reads(n, alpha)) ++alphaReaders;
    for (const std::string& in : n.inputs) lipReaders += in == kLipAlpha;
  }
  if (mins != 1) {
    reason = "self-check: the Min node did not survive the rebuild";
    return false;
  }
  if (lipReaders != 2 || alphaReaders != 0) {
    reason = "self-check: rewire did not take: " + std::to_string(lipReaders) + " consumers of " + kLipAlpha +
             (alphaReaders ? ", one still reads the alpha" : "") +
             " \xE2\x80\x94 refusing a graph that would serve the ellipse with the input attached and ignored";
    return false;
  }
  if (!w.inputs.count(kLipInput)) {
    reason = "self-check: the input did not survive the rebuild";
    return false;
  }
  model.swap(out);
  return true;
}

namespace {

constexpr const char* kSource = "P_rgb";

// The nodes that compute `boundary` from the source input alone (Constant
// nodes excluded: both halves keep them). Empty `reason` on success.
std::vector<uint8_t> sourceCone(const GraphView& v, const std::string& boundary, std::string& reason) {
  std::vector<uint8_t> in(v.nodes.size(), 0);
  std::vector<std::string> stack{boundary};
  std::set<std::string> seen;
  while (!stack.empty()) {
    const std::string t = stack.back();
    stack.pop_back();
    if (t.empty() || !seen.insert(t).second) continue;
    if (t == kSource || v.inits.count(t)) continue;
    if (v.inputs.count(t)) {
      reason = "cone reads graph input '" + t + "'";
      return {};
    }
    const auto p = v.producer.find(t);
    if (p == v.producer.end()) {
      reason = "cone leaf '" + t + "' has no producer";
      return {};
    }
    const GsNode& n = v.nodes[p->second];
    if (n.opType == "Constant") continue;
    in[p->second] = 1;
    for (const std::string& x : n.inputs) stack.push_back(x);
  }
  std::set<std::string> produced;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (in[k])
      for (const std::string& o : v.nodes[k].outputs)
        if (!o.empty() && o != boundary) produced.insert(o);
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    if (in[k]) continue;
    for (const std::string& x : v.nodes[k].inputs) {
      if (x == kSource) {
        reason = std::string(kSource) + " is also read outside the cone by " + v.nodes[k].name;
        return {};
      }
      if (produced.count(x)) {
        reason = "cone value '" + x + "' escapes to " + v.nodes[k].name;
        return {};
      }
    }
  }
  // A cone value the graph also hands out would vanish from the per-frame
  // graph.
  for (const std::string& o : v.outputs)
    if (produced.count(o)) {
      reason = "cone value '" + o + "' escapes to the graph's outputs";
      return {};
    }
  return in;
}

// The graph and the cone of `boundary`, or false with the reason.
bool coneOf(const std::vector<uint8_t>& model, const std::string& boundary, GraphView& v, std::vector<uint8_t>& cone,
            std::string& reason) {
  reason.clear();
  const Slice graph = gsGraphOf(sliceOf(model));
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  v = viewOf(graph);
  if (!v.inputs.count(kSource)) {
    reason = "no P_rgb input";
    return false;
  }
  cone = sourceCone(v, boundary, reason);
  return reason.empty();
}

// The initializers no kept node reads (each half of a cut graph carries only
// its own weights).
std::set<std::string> unreadInitializers(const GraphView& v, const std::vector<uint8_t>& drop) {
  std::set<std::string> unread = v.inits;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (!drop[k])
      for (const std::string& x : v.nodes[k].inputs) unread.erase(x);
  for (const std::string& o : v.outputs) unread.erase(o);
  return unread;
}

}  // namespace

int findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& name) {
  name.clear();
  const Slice graph = gsGraphOf(sliceOf(model));
  if (graph.empty()) return 0;
  std::vector<GsNode> nodes;
  wdReadNodes(graph, nodes);
  int count = 0;
  for (const GsNode& n : nodes) {
    if (n.opType != "Concat" || !reads(n, kSource)) continue;
    if (++count == 1 && !n.outputs.empty()) name = n.outputs[0];
  }
  if (count != 1) name.clear();
  return count;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& name, std::vector<uint8_t>& prep,
                         std::string& reason) {
  GraphView v;
  std::vector<uint8_t> cone;
  if (!coneOf(model, name, v, cone, reason)) return false;
  GsGraphEdit edit;
  edit.dropNode.assign(v.nodes.size(), 1);
  bool any = false;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (cone[k] || v.nodes[k].opType == "Constant") {
      edit.dropNode[k] = 0;
      any = true;
    }
  if (!any) {
    reason = "empty cone";
    return false;
  }
  edit.dropInitializers = unreadInitializers(v, edit.dropNode);
  edit.keepOnlyPrgbInput = true;
  edit.dropOutputs = true;
  edit.newValueName = name;
  edit.newValueField = 12;
  edit.newValueDims.assign(4, 0);
  edit.newValueDimsKnown = false;
  gsRebuild(sliceOf(model), edit, prep);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& name, const int64_t* dims, size_t n,
                             std::vector<uint8_t>& perFrame, std::string& reason) {
  GraphView v;
  std::vector<uint8_t> cone;
  if (!coneOf(model, name, v, cone, reason)) return false;
  if (!dims || n != 4) {
    reason = "the boundary needs 4 dimensions";
    return false;
  }
  GsGraphEdit edit;
  edit.dropNode = cone;
  edit.dropInitializers = unreadInitializers(v, cone);
  edit.dropPrgbInput = true;
  edit.newValueName = name;
  edit.newValueField = 11;
  edit.newValueDims.assign(dims, dims + n);
  gsRebuild(sliceOf(model), edit, perFrame);
  return true;
}

bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason) {
  reason.clear();
  if (!block) {
    reason = "no out param";
    return false;
  }
  const Slice graph = gsGraphOf(sliceOf(model));
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  WarpBlock b;
  if (findSourceConeBoundary(model, b.boundary) != 1) {
    reason = std::string("not one Concat consuming ") + kSource;
    return false;
  }
  const GraphView v = viewOf(graph);
  int found = 0;
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    const GsNode& n = v.nodes[k];
    const bool gs = (n.opType == "GridSample" && defaultDomain(n)) || (n.opType == "GridSampleFast" && n.domain == kDomain);
    if (!gs || n.inputs.empty() || n.inputs[0] != b.boundary) continue;
    if (++found == 2) {
      reason = "two GridSamples on the cone's tip";
      return false;
    }
    b.gridSample = k;
  }
  if (found == 0) {
    reason = "no GridSample consuming '" + b.boundary + "'";
    return false;
  }
  const GsNode& gs = v.nodes[b.gridSample];
  if (gs.opType == "GridSample" && !gridSampleRewritable(gs)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (gs.outputs.empty() || gs.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  b.grid = gs.inputs.size() > 1 ? gs.inputs[1] : "";
  if (b.grid.empty() || !v.producer.count(b.grid)) {
    reason = "the grid has no producer";
    return false;
  }
  // The recombination: the Slices of the samples, then every Mul, Sub and Add
  // that reads what a marked node produced.
  std::vector<uint8_t> marked(v.nodes.size(), 0);
  std::set<std::string> made;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (v.nodes[k].opType == "Slice" && reads(v.nodes[k], gs.outputs[0])) {
      marked[k] = 1;
      made.insert(v.nodes[k].outputs.begin(), v.nodes[k].outputs.end());
    }
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t k = 0; k < v.nodes.size(); ++k) {
      const GsNode& n = v.nodes[k];
      if (marked[k] || (n.opType != "Mul" && n.opType != "Sub" && n.opType != "Add") || !defaultDomain(n)) continue;
      bool hit = false;
      for (const std::string& x : n.inputs) hit |= made.count(x) > 0;
      if (!hit) continue;
      marked[k] = 1;
      made.insert(n.outputs.begin(), n.outputs.end());
      grew = true;
    }
  }
  std::set<std::string> exits;
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    if (marked[k]) continue;
    for (const std::string& x : v.nodes[k].inputs)
      if (made.count(x)) exits.insert(x);
  }
  for (const std::string& o : v.outputs)
    if (made.count(o)) exits.insert(o);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return false;
  }
  b.exit = *exits.begin();
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (marked[k]) b.recombination.push_back(k);
  *block = std::move(b);
  return true;
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  WarpBlock b;
  if (!findWarpBlock(model, &b, reason)) return 0;
  const Slice m = sliceOf(model);
  const GraphView v = viewOf(gsGraphOf(m));
  // Remove the block, then every node whose outputs nobody reads any more;
  // the new node stands where the GridSample stood and reads the source and
  // the grid.
  std::vector<uint8_t> removed(v.nodes.size(), 0);
  removed[b.gridSample] = 1;
  for (size_t k : b.recombination) removed[k] = 1;
  for (bool grew = true; grew;) {
    grew = false;
    std::set<std::string> read(v.outputs.begin(), v.outputs.end());
    read.insert(kSource);
    read.insert(b.grid);
    for (size_t k = 0; k < v.nodes.size(); ++k)
      if (!removed[k]) read.insert(v.nodes[k].inputs.begin(), v.nodes[k].inputs.end());
    for (size_t k = 0; k < v.nodes.size(); ++k) {
      if (removed[k]) continue;
      bool used = false;
      for (const std::string& o : v.nodes[k].outputs) used |= !o.empty() && read.count(o) > 0;
      if (!used) {
        removed[k] = 1;
        grew = true;
      }
    }
  }
  std::set<std::string> gone;
  size_t count = 0;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (removed[k]) {
      ++count;
      for (const std::string& o : v.nodes[k].outputs) gone.insert(o);
    }
  gone.erase(b.exit);
  // The weights only removed nodes read go with them (the runtime would name
  // each one it finds unread in a warning at every load). A graph input of
  // the same name stays fed; a node with a body graph may read any name
  // unseen, so under one every weight stays.
  std::set<std::string> unread = unreadInitializers(v, removed);
  unread.erase(kSource);
  unread.erase(b.grid);
  for (const std::string& in : v.inputs) unread.erase(in);
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    const std::string& op = v.nodes[k].opType;
    if (!removed[k] && (op == "If" || op == "Loop" || op == "Scan")) unread.clear();
  }

  bool moved = false;
  GraphRewriter rw;
  rw.field = [&](const PbField& f, size_t k, Bytes& g) {
    if (f.wire == 2 && f.number == 13) return gone.count(gsFirstStr(f.payload, 1)) > 0;
    if (f.wire == 2 && f.number == 5 && k == SIZE_MAX) return unread.count(gsFirstStr(f.payload, 8)) > 0;
    if (k == SIZE_MAX) return false;
    if (k != b.gridSample) return k < removed.size() && removed[k] != 0;
    // A second reading of the node at the search's index.
    PbReader r(f.payload);
    PbField x;
    std::string op, first;
    while (r.next(x)) {
      if (x.number == 4 && x.wire == 2) op = x.payload.str();
      if (x.number == 1 && x.wire == 2 && first.empty()) first = x.payload.str();
    }
    if ((op != "GridSample" && op != "GridSampleFast") || first != b.boundary) moved = true;
    Bytes node;
    gsPutStr(node, 1, kSource);
    gsPutStr(node, 1, b.grid);
    gsPutStr(node, 2, b.exit);
    gsPutStr(node, 3, "le_warp_director");
    gsPutStr(node, 4, "WarpDirector");
    gsPutStr(node, 7, kDomain);
    gsPutBytes(g, 1, node.data(), node.size());
    return true;
  };
  rw.modelTail = [&](Bytes& out) {
    if (!hasOpset(m, kDomain)) addOpset(out);
  };
  Bytes out;
  gsRebuildWith(m, rw, out);
  if (moved) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  model.swap(out);
  return count;
}

namespace {

int elementwiseOp(const std::string& op) {
  static const char* const names[] = {"Add", "Sub", "Mul", "Div", "Min", "Max", "Clip", "Neg", "Abs", "Floor"};
  for (int k = 0; k < simd::kEwCount; ++k)
    if (op == names[k]) return k;
  return -1;
}

int32_t tensorType(Slice tensor) {
  PbReader r(tensor);
  PbField f;
  while (r.next(f))
    if (f.number == 2 && f.wire == 0) return static_cast<int32_t>(f.varint);
  return 0;
}

bool oneElement(Slice tensor) {
  std::vector<int64_t> dims;
  if (!hcTensorDims(tensor, dims)) return false;
  int64_t n = 1;
  for (int64_t d : dims) n *= d;
  return n == 1;
}

// Operators whose first output has their first input's element type.
bool keepsType(const GsNode& n) {
  static const std::set<std::string> ops = {
      "Slice", "Unsqueeze", "Squeeze", "Reshape", "Transpose", "Concat", "Pad", "Conv", "ConvTranspose", "GridSample",
      "ReduceMean", "ReduceSum", "ReduceMax", "ReduceMin", "MatMul", "Gemm", "AveragePool", "MaxPool",
      "GlobalAveragePool", "Resize", "Identity", "Flatten", "Expand", "Gather", "Tile", "Relu", "Sigmoid", "Tanh",
      "Exp", "Log", "Sqrt", "Softmax", "LeakyRelu", "Erf", "BatchNormalization", "InstanceNormalization",
      "DepthToSpace", "SpaceToDepth"};
  return defaultDomain(n) && ops.count(n.opType) > 0;
}

}  // namespace

size_t absorbWarpFlow(std::vector<uint8_t>& model) {
  const Slice m = sliceOf(model);
  const Slice graph = gsGraphOf(m);
  if (graph.empty()) return 0;
  const GraphView v = viewOf(graph);
  size_t warp = SIZE_MAX;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (v.nodes[k].opType == "WarpDirector" && v.nodes[k].domain == kDomain && v.nodes[k].inputs.size() == 2) {
      if (warp != SIZE_MAX) return 0;
      warp = k;
    }
  if (warp == SIZE_MAX) return 0;
  std::map<std::string, size_t> readers;
  for (const GsNode& n : v.nodes)
    for (const std::string& x : n.inputs) ++readers[x];
  for (const std::string& o : v.outputs) ++readers[o];
  for (const GsNode& n : v.nodes)
    if (n.opType == "If" || n.opType == "Loop" || n.opType == "Scan") return 0;
  // grid = Add(identity, Transpose(Concat(fx, fy), perm 0 2 3 1)), each
  // value read once, the identity a weight of shape [N, H, W, 2].
  auto producer = [&](const std::string& name, const char* op) -> const GsNode* {
    const auto it = v.producer.find(name);
    if (it == v.producer.end() || readers[name] != 1) return nullptr;
    const GsNode& n = v.nodes[it->second];
    return n.opType == op && defaultDomain(n) && n.outputs.size() == 1 ? &n : nullptr;
  };
  const GsNode* add = producer(v.nodes[warp].inputs[1], "Add");
  if (!add || add->inputs.size() != 2 || attrCount(add->whole) != 0) return 0;
  for (int side = 0; side < 2; ++side) {
    const std::string& ident = add->inputs[side];
    const auto c = v.consts.find(ident);
    std::vector<int64_t> dims;
    if (c == v.consts.end() || v.inputs.count(ident) || tensorType(c->second) != 1 || !hcTensorDims(c->second, dims) ||
        dims.size() != 4 || dims[3] != 2)
      continue;
    const GsNode* tr = producer(add->inputs[1 - side], "Transpose");
    if (!tr || tr->inputs.size() != 1 || attrCount(tr->whole) != 1 || attrOf(tr->whole, "perm").ints != std::vector<int64_t>{0, 2, 3, 1})
      continue;
    const GsNode* cat = producer(tr->inputs[0], "Concat");
    if (!cat || cat->inputs.size() != 2 || attrCount(cat->whole) != 1 || attrOf(cat->whole, "axis").i != 1) continue;
    std::set<size_t> drop = {v.producer.at(add->outputs[0]), v.producer.at(tr->outputs[0]), v.producer.at(cat->outputs[0])};
    const std::set<std::string> gone = {add->outputs[0], tr->outputs[0], cat->outputs[0]};
    const std::vector<std::string> inputs = {v.nodes[warp].inputs[0], ident, cat->inputs[0], cat->inputs[1]};
    const std::string out = v.nodes[warp].outputs.empty() ? std::string() : v.nodes[warp].outputs[0];
    GraphRewriter rw;
    rw.field = [&](const PbField& f, size_t k, Bytes& g) {
      if (f.wire == 2 && f.number == 13) return gone.count(gsFirstStr(f.payload, 1)) > 0;
      if (k == SIZE_MAX) return false;
      if (drop.count(k)) return true;
      if (k != warp) return false;
      Bytes node;
      for (const std::string& x : inputs) gsPutStr(node, 1, x);
      gsPutStr(node, 2, out);
      gsPutStr(node, 3, "le_warp_director");
      gsPutStr(node, 4, "WarpDirectorFlow");
      gsPutStr(node, 7, kDomain);
      gsPutBytes(g, 1, node.data(), node.size());
      return true;
    };
    Bytes rebuilt;
    gsRebuildWith(m, rw, rebuilt);
    model.swap(rebuilt);
    return drop.size();
  }
  return 0;
}

size_t fuseElementwise(std::vector<uint8_t>& model, size_t maxRun) {
  const Slice m = sliceOf(model);
  const Slice graph = gsGraphOf(m);
  if (graph.empty()) return 0;
  const GraphView v = viewOf(graph);
  for (const GsNode& n : v.nodes)
    if (n.opType == "If" || n.opType == "Loop" || n.opType == "Scan") return 0;
  int64_t opset = 0;
  {
    PbReader r(m);
    PbField f;
    while (r.next(f)) {
      if (f.number != 8 || f.wire != 2) continue;
      const std::string domain = gsFirstStr(f.payload, 1);
      if (!domain.empty() && domain != "ai.onnx") continue;
      PbReader o(f.payload);
      PbField g;
      while (o.next(g))
        if (g.number == 2 && g.wire == 0) opset = static_cast<int64_t>(g.varint);
    }
  }
  // The values known to be float.
  std::set<std::string> floats;
  for (const std::string& in : v.inputs) {
    int32_t type = 0;
    std::vector<int64_t> dims;
    if (ldInputDims(graph, in, type, dims) && type == 1) floats.insert(in);
  }
  for (const auto& [name, t] : v.consts)
    if (tensorType(t) == 1) floats.insert(name);
  auto isFloat = [&](const std::string& x) { return floats.count(x) > 0; };
  std::vector<int> op(v.nodes.size(), -1);
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    const GsNode& n = v.nodes[k];
    const int e = defaultDomain(n) ? elementwiseOp(n.opType) : -1;
    bool ok = e >= 0 && n.outputs.size() == 1 && !n.outputs[0].empty() && attrCount(n.whole) == 0 && !n.inputs.empty() &&
              isFloat(n.inputs[0]);
    if (ok && e <= simd::kEwMax) ok = n.inputs.size() == 2 && isFloat(n.inputs[1]);
    if (ok && e == simd::kEwClip) {
      // Before opset 11 Clip's bounds are attributes, and without them it
      // still clamps to the float range.
      ok = n.inputs.size() <= 3 && opset >= 11;
      for (size_t i = 1; ok && i < n.inputs.size(); ++i) {
        if (n.inputs[i].empty()) continue;
        const auto c = v.consts.find(n.inputs[i]);
        ok = c != v.consts.end() && isFloat(n.inputs[i]) && oneElement(c->second);
      }
    }
    if (ok && e >= simd::kEwNeg) ok = n.inputs.size() == 1;
    if (ok) op[k] = e;
    if (ok || (keepsType(n) && isFloat(n.inputs.empty() ? std::string() : n.inputs[0])) || n.domain == kDomain)
      if (!n.outputs.empty() && !n.outputs[0].empty()) floats.insert(n.outputs[0]);
  }
  // Runs of element-wise nodes; a node between them that reads none of the
  // run's values runs before the fused node, which stands at the run's last.
  std::vector<std::vector<size_t>> runs(1);
  std::set<std::string> made;
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    const GsNode& n = v.nodes[k];
    bool reads = false;
    for (const std::string& x : n.inputs) reads |= made.count(x) > 0;
    if (op[k] >= 0 && runs.back().size() < maxRun) {
      runs.back().push_back(k);
      made.insert(n.outputs[0]);
      continue;
    }
    if (op[k] < 0 && !reads) continue;
    runs.emplace_back();
    made.clear();
    if (op[k] >= 0) {
      runs.back().push_back(k);
      made.insert(n.outputs[0]);
    }
  }
  std::map<std::string, size_t> readers;
  for (const GsNode& n : v.nodes)
    for (const std::string& x : n.inputs) ++readers[x];
  std::set<std::string> graphOutputs(v.outputs.begin(), v.outputs.end());
  std::vector<uint8_t> drop(v.nodes.size(), 0);
  std::map<size_t, Bytes> fused;  // by the ordinal of the run's last node
  std::set<std::string> gone;
  size_t count = 0;
  for (const std::vector<size_t>& run : runs) {
    if (run.size() < 2) continue;
    std::map<std::string, int64_t> id;
    std::map<std::string, size_t> inner;  // reads from inside the run
    std::vector<std::string> inputs, outputNames;
    std::vector<int64_t> program, outputs;
    for (size_t k : run)
      for (const std::string& x : v.nodes[k].inputs) ++inner[x];
    std::set<std::string> produced;
    for (size_t k : run) produced.insert(v.nodes[k].outputs[0]);
    for (size_t k : run)
      for (const std::string& x : v.nodes[k].inputs)
        if (!x.empty() && !produced.count(x) && !id.count(x)) {
          id[x] = static_cast<int64_t>(inputs.size());
          inputs.push_back(x);
        }
    // Inputs number first: operation i is value inputs.size() + i. A node
    // that reads a value the run makes only later (a graph out of order)
    // leaves the run as it is.
    std::vector<std::string> internal;
    bool ordered = true;
    for (size_t i = 0; i < run.size() && ordered; ++i) {
      const GsNode& n = v.nodes[run[i]];
      program.push_back(op[run[i]]);
      for (size_t j = 0; j < 3 && ordered; ++j) {
        const std::string x = j < n.inputs.size() ? n.inputs[j] : std::string();
        const auto it = x.empty() ? id.end() : id.find(x);
        ordered = x.empty() || it != id.end();
        program.push_back(x.empty() || !ordered ? -1 : it->second);
      }
      const std::string& o = n.outputs[0];
      id[o] = static_cast<int64_t>(inputs.size() + i);
      if (graphOutputs.count(o) || readers[o] > inner[o]) {
        outputs.push_back(static_cast<int64_t>(i));
        outputNames.push_back(o);
      } else {
        internal.push_back(o);
      }
    }
    if (!ordered || outputs.empty()) continue;
    gone.insert(internal.begin(), internal.end());
    Bytes node;
    for (const std::string& x : inputs) gsPutStr(node, 1, x);
    for (const std::string& o : outputNames) gsPutStr(node, 2, o);
    gsPutStr(node, 3, "le_elementwise_" + std::to_string(count));
    gsPutStr(node, 4, "Elementwise");
    gsPutStr(node, 7, kDomain);
    hcAttrIs(node, "program", program.data(), program.size());
    hcAttrIs(node, "outputs", outputs.data(), outputs.size());
    for (size_t k : run) drop[k] = 1;
    fused[run.back()] = std::move(node);
    ++count;
  }
  if (!count) return 0;
  GraphRewriter rw;
  rw.field = [&](const PbField& f, size_t k, Bytes& g) {
    if (f.wire == 2 && f.number == 13) return gone.count(gsFirstStr(f.payload, 1)) > 0;
    if (k == SIZE_MAX || k >= drop.size() || !drop[k]) return false;
    const auto it = fused.find(k);
    if (it != fused.end()) gsPutBytes(g, 1, it->second.data(), it->second.size());
    return true;
  };
  rw.modelTail = [&](Bytes& out) {
    if (!hasOpset(m, kDomain)) addOpset(out);
  };
  Bytes out;
  gsRebuildWith(m, rw, out);
  model.swap(out);
  return count;
}

}  // namespace le
