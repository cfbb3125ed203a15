// The ONNX wire reader and writer, and the load-time node rewrites verified
// by their effect: a session over the rewritten bytes computes what the
// original computes.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/ort.h"
#include "kernels/simd.h"
#include "render/custom_ops.h"
#include "render/int8_conv.h"
#include "render/onnx_wire.h"
#include "render/rewrites.h"
#include "tests/support/testutil.h"
#include "tests/support/warp_reference.h"

namespace le {
namespace {

const std::string kFix = LE_FIXTURES;

Bytes fileBytes(const std::string& path) {
  const std::string s = test::readFile(path);
  return Bytes(s.begin(), s.end());
}

std::string readError(const Bytes& b) {
  try {
    PbReader r({b.data(), b.size()});
    PbField f;
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(read)";
}

TEST(OnnxWire, ReaderEdgeCases) {
  EXPECT_EQ(readError({}), "(read)");
  Bytes ten = {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01};  // field 1, 10-byte varint
  EXPECT_EQ(readError(ten), "(read)");
  Bytes eleven = {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01};
  EXPECT_EQ(readError(eleven), "onnx: bad varint");
  EXPECT_EQ(readError({0x08, 0x80}), "onnx: bad varint");
  EXPECT_EQ(readError({0x0A, 0x05, 'a', 'b'}), "onnx: truncated");
  EXPECT_EQ(readError({0x0D, 1, 2, 3}), "onnx: truncated");  // fixed32 with 3 bytes left
  EXPECT_EQ(readError({0x0D, 1, 2, 3, 4}), "(read)");
  EXPECT_EQ(readError({0x09, 1, 2, 3, 4, 5, 6, 7}), "onnx: truncated");
  EXPECT_EQ(readError({0x0B}), "onnx: bad wire type");
  EXPECT_EQ(readError({0x0F}), "onnx: bad wire type");
  // A length that would wrap the pointer is caught as truncation.
  EXPECT_EQ(readError({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), "onnx: truncated");
}

TEST(OnnxWire, EmptyEditReproducesEveryGeneratedModel) {
  for (const char* m : {"tiny/model_b1.onnx", "tiny/model_b4.onnx", "tiny/model_b1_kp22.onnx", "tiny/model_b1_zeros.onnx",
                        "tiny-fs/model_b1.onnx", "tiny-current/render_model.batch4.onnx"}) {
    const Bytes in = fileBytes(kFix + "/" + m);
    ASSERT_FALSE(in.empty()) << m;
    Bytes out;
    gsRebuild(sliceOf(in), GsGraphEdit{}, out);
    EXPECT_EQ(out, in) << m;
  }
}

// Runs a model from bytes on the given inputs and returns output `outName`.
std::vector<float> runModel(const Bytes& model, const std::vector<std::pair<std::string, std::vector<float>>>& in,
                            const char* outName = "rgb", int threads = 1) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le_render_test");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  registerGridSampleFast(o);
  registerInt8ConvVNNI(o);
  Ort::Session s(env, model.data(), model.size(), o);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  std::vector<std::vector<int64_t>> shapes;
  for (auto& [name, data] : in) {
    for (size_t i = 0; i < s.GetInputCount(); ++i)
      if (s.GetInputNameAllocated(i, alloc).get() == name)
        shapes.push_back(s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(data.data()), data.size(),
                                                     shapes.back().data(), shapes.back().size()));
    names.push_back(name.c_str());
  }
  auto r = s.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &outName, 1);
  const float* p = r[0].GetTensorData<float>();
  return std::vector<float>(p, p + r[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

std::vector<std::pair<std::string, std::vector<float>>> randomInputs(int batch, int crop, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0, 1), k(-0.6f, 0.6f);
  std::vector<float> pooled(65536 * batch), P(3 * crop * crop * batch), kd(63 * batch), ks(63 * batch);
  for (auto& v : pooled) v = u(rng) - 0.5f;
  for (auto& v : P) v = u(rng);
  for (size_t i = 0; i < kd.size(); ++i) {
    ks[i] = k(rng);
    kd[i] = ks[i] + 0.1f * (u(rng) - 0.5f);
  }
  return {{"pooled64", pooled}, {"P_rgb", P}, {"kp_driving", kd}, {"kp_source", ks}};
}

double maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  double m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, double(std::fabs(a[i] - b[i])));
  return m;
}

bool onnxChecks(const Bytes& model, const std::string& dir) {
  const std::string path = dir + "/checked.onnx";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(model.data()), model.size());
  int rc = -1;
  const std::string out = test::runCommand(std::string(LE_PYTHON) +
      " -c \"import onnx,sys; onnx.checker.check_model(onnx.load(sys.argv[1]))\" '" + path + "' 2>&1", &rc);
  if (rc != 0) ADD_FAILURE() << out;
  return rc == 0;
}

TEST(Rewrites, HeadCubicAndBlendKeepTheOutput) {
  test::TempDir tmp;
  for (int batch : {1, 4}) {
    const Bytes orig = fileBytes(kFix + "/tiny/model_b" + std::to_string(batch) + ".onnx");
    const auto in = randomInputs(batch, 32, 7 + batch);
    const auto want = runModel(orig, in);

    Bytes head = orig;
    EXPECT_EQ(rewriteHeadCubicResize(head), 1u);
    EXPECT_NE(head, orig);
    EXPECT_LE(maxAbsDiff(runModel(head, in), want), 1e-4);
    EXPECT_TRUE(onnxChecks(head, tmp.path()));
    EXPECT_EQ(rewriteHeadCubicResize(head), 0u) << "the Resize is gone";

    Bytes custom = orig;
    EXPECT_EQ(rewriteHeadCubicResize(custom, true), 1u);
    EXPECT_LE(maxAbsDiff(runModel(custom, in, "rgb", 2), want), 1e-5);
    EXPECT_TRUE(onnxChecks(custom, tmp.path()));
    EXPECT_EQ(rewriteHeadCubicResize(custom, true), 0u);

    Bytes blend = orig;
    EXPECT_EQ(normaliseStudentBlend(blend), 1u);
    EXPECT_EQ(runModel(blend, in), want);
    EXPECT_TRUE(onnxChecks(blend, tmp.path()));
    EXPECT_EQ(normaliseStudentBlend(blend), 0u);
  }
}

TEST(Rewrites, GridSampleRewriteKeepsEveryDirectorsOutput) {
  for (const char* m : {"tiny/model_b1.onnx", "tiny/model_b4.onnx"}) {
    const Bytes orig = fileBytes(kFix + "/" + m);
    Bytes fast = orig;
    ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
    const int batch = std::string(m).find("b4") != std::string::npos ? 4 : 1;
    const auto in = randomInputs(batch, 32, 3);
    EXPECT_LE(maxAbsDiff(runModel(fast, in, "rgb", 2), runModel(orig, in)), 2e-6) << m;
  }
}

TEST(Rewrites, GridSampleBecomesTheFastOperatorOnce) {
  test::TempDir tmp;
  const Bytes orig = fileBytes(kFix + "/tiny/model_b1.onnx");
  EXPECT_FALSE(graphHasBakedGridSampleFast(orig));
  Bytes m = orig;
  EXPECT_EQ(rewriteGridSampleToFast(m), 1u);
  EXPECT_TRUE(graphHasBakedGridSampleFast(m));
  EXPECT_TRUE(onnxChecks(m, tmp.path()));
  const std::string text(m.begin(), m.end());
  EXPECT_EQ(test::countOf(text, "com.corvalux"), 2u);  // the node's domain and one opset import
  EXPECT_EQ(test::countOf(text, "padding_mode"), 0u);
  // A model that already imports the domain gets no second import.
  Bytes withImport = m;
  EXPECT_EQ(rewriteGridSampleToFast(withImport), 0u);
  EXPECT_EQ(withImport, m);

  const Bytes zeros = fileBytes(kFix + "/tiny/model_b1_zeros.onnx");
  Bytes z = zeros;
  EXPECT_EQ(rewriteGridSampleToFast(z), 0u);
  EXPECT_EQ(z, zeros);
}

// Minimal models built with the writer, for the cases that must not match.
void opsetImport(Bytes& m, const char* domain, int version) {
  Bytes op;
  gsPutStr(op, 1, domain);
  gsPutKey(op, 2, 0);
  gsPutVarint(op, version);
  gsPutBytes(m, 8, op.data(), op.size());
}


// A model the runtime loads around graph `g`: IR 8, the opset, `domain`
// imported if given.
Bytes wrapModel(const Bytes& g, const char* domain = nullptr, int opset = 16) {
  Bytes m;
  gsPutKey(m, 1, 0);
  gsPutVarint(m, 8);
  opsetImport(m, "", opset);
  if (domain) opsetImport(m, domain, 1);
  gsPutBytes(m, 7, g.data(), g.size());
  return m;
}

// The same around a graph named "g" that `fill` writes, the engine's domain
// imported if asked.
Bytes runnableOf(const std::function<void(Bytes&)>& fill, bool custom = false, int opset = 16) {
  Bytes g;
  fill(g);
  gsPutStr(g, 2, "g");
  return wrapModel(g, custom ? "com.corvalux" : nullptr, opset);
}

size_t nodesOf(const Bytes& m) {
  std::vector<GsNode> nodes;
  wdReadNodes(gsGraphOf(sliceOf(m)), nodes);
  return nodes.size();
}

size_t bitsDiffer(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return SIZE_MAX;
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += !(std::isnan(a[i]) && std::isnan(b[i])) && std::memcmp(&a[i], &b[i], 4) != 0;
  return n;
}

Bytes gridSampleNode(const char* mode, const char* padding, int alignCorners) {
  return runnableOf([&](Bytes& g) {
    Bytes attrs;
    if (mode) hcAttrS(attrs, "mode", mode);
    if (padding) hcAttrS(attrs, "padding_mode", padding);
    if (alignCorners >= 0) hcAttrI(attrs, "align_corners", alignCorners);
    hcNode(g, "GridSample", {"x", "grid"}, "y", "gs", attrs);
  });
}

TEST(Rewrites, NonMatchingNodesLeaveTheBytesAlone) {
  for (const Bytes& m : {gridSampleNode("bilinear", "zeros", 0), gridSampleNode("bilinear", "border", 1),
                         gridSampleNode(nullptr, "border", 0), gridSampleNode("bilinear", nullptr, 0),
                         gridSampleNode("nearest", "border", 0)}) {
    Bytes b = m;
    EXPECT_EQ(rewriteGridSampleToFast(b), 0u);
    EXPECT_EQ(b, m);
  }
  for (const Bytes& m : {gridSampleNode("linear", "border", -1), gridSampleNode("bilinear", "border", 0)}) {
    Bytes b = m;
    EXPECT_EQ(rewriteGridSampleToFast(b), 1u);
  }
  const Bytes imported = runnableOf(
      [](Bytes& g) {
        Bytes attrs, a;  // attributes without their type field
        hcAttrS(attrs, "mode", "bilinear");
        gsPutStr(a, 1, "padding_mode");
        gsPutStr(a, 4, "border");
        gsPutBytes(attrs, 5, a.data(), a.size());
        hcNode(g, "GridSample", {"x", "grid"}, "y", "gs", attrs);
      },
      true);
  Bytes b = imported;
  EXPECT_EQ(rewriteGridSampleToFast(b), 1u);
  EXPECT_EQ(test::countOf(std::string(b.begin(), b.end()), "com.corvalux"), 2u);

  auto blend = [](std::vector<std::string> inputs, bool attr) {
    return runnableOf([&](Bytes& g) {
      Bytes attrs;
      if (attr) hcAttrI(attrs, "x", 1);
      hcNode(g, "MatMul", inputs, "y", "/s2/blend", attrs);
    });
  };
  for (const Bytes& m : {blend({"a", "b", "c"}, false), blend({"a", "b"}, true)}) {
    Bytes c = m;
    EXPECT_EQ(normaliseStudentBlend(c), 0u);
    EXPECT_EQ(c, m);
  }
  Bytes ok = blend({"a", "b"}, false);
  EXPECT_EQ(normaliseStudentBlend(ok), 1u);
}

Bytes cubicGraph(int resizes, const std::vector<std::string>& consumers) {
  return runnableOf([&](Bytes& g) {
    const float scales[4] = {1, 1, 2, 2};
    hcInit(g, "scales", 1, {4}, scales, sizeof scales);
    const float w[3 * 3] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    hcInit(g, "w", 1, {3, 3, 1, 1}, w, sizeof w);
    for (int r = 0; r < resizes; ++r) {
      Bytes attrs, a;  // the second attribute without its type field
      hcAttrS(attrs, "mode", "cubic");
      gsPutStr(a, 1, "coordinate_transformation_mode");
      gsPutStr(a, 4, "half_pixel");
      gsPutBytes(attrs, 5, a.data(), a.size());
      hcNode(g, "Resize", {"x", "", "scales"}, "up" + std::to_string(r), "/r" + std::to_string(r), attrs);
    }
    for (size_t c = 0; c < consumers.size(); ++c)
      hcNode(g, consumers[c], {"up0", "w"}, "out" + std::to_string(c), "/c" + std::to_string(c), {});
  });
}

// Which graphs keep the runtime's blocked conv layout: any Conv of as many
// channels as the block, or whose weights are not an initializer.
TEST(Rewrites, NarrowConvolutionsAreCounted) {
  EXPECT_TRUE(convsAllNarrow(fileBytes(kFix + "/tiny/model_b1.onnx"), 8));
  EXPECT_TRUE(convsAllNarrow(cubicGraph(1, {"Conv"}), 4));
  EXPECT_FALSE(convsAllNarrow(cubicGraph(1, {"Conv"}), 3));
  EXPECT_FALSE(convsAllNarrow(runnableOf([](Bytes& g) { hcNode(g, "Conv", {"x", "w_in"}, "y", "c", {}); }), 8));
}

TEST(Rewrites, HeadCubicMatchesOnlyTheOneResizeFeedingAConv) {
  for (const Bytes& m : {cubicGraph(2, {"Conv"}), cubicGraph(1, {"Conv", "Conv"}), cubicGraph(1, {"Relu"})}) {
    Bytes b = m;
    EXPECT_EQ(rewriteHeadCubicResize(b), 0u);
    EXPECT_EQ(b, m);
  }
  Bytes ok = cubicGraph(1, {"Conv"});
  EXPECT_EQ(rewriteHeadCubicResize(ok), 1u);
  const std::string text(ok.begin(), ok.end());
  for (const char* s : {"rz0_pads", "rz0_dw_w", "rz0_padout", "rz0_convout", "/r0/pad", "/r0/dwconv", "/r0/d2s", "DepthToSpace"})
    EXPECT_NE(text.find(s), std::string::npos) << s;
}

// The lip rewrite by effect: Min(a, 1) = a leaves the output as it was; a
// zero canvas leaves only y; wherever the ellipse alpha is 1 (the crop's
// middle) the output is y + L (x - y) for any canvas L.
TEST(Rewrites, LipContourNarrowsTheComposeAlpha) {
  test::TempDir tmp;
  for (int batch : {1, 4}) {
    const Bytes orig = fileBytes(kFix + "/tiny/model_b" + std::to_string(batch) + ".onnx");
    Bytes lip = orig;
    std::string reason;
    int32_t canvas = -1, graphBatch = -1;
    ASSERT_TRUE(rewriteBindLipContour(lip, reason, canvas, graphBatch)) << reason;
    EXPECT_EQ(reason, "");
    EXPECT_EQ(canvas, 32);
    EXPECT_EQ(graphBatch, batch);
    EXPECT_TRUE(onnxChecks(lip, tmp.path()));
    const Bytes once = lip;
    EXPECT_FALSE(rewriteBindLipContour(lip, reason, canvas, graphBatch));
    EXPECT_EQ(reason, "the graph already carries an input named lip_delivery");
    EXPECT_EQ(lip, once);

    auto in = randomInputs(batch, 32, 21 + batch);
    const auto want = runModel(orig, in);
    const size_t plane = 32 * 32;
    auto withCanvas = [&](const std::vector<float>& L) {
      auto x = in;
      x.push_back({"lip_delivery", L});
      return runModel(lip, x);
    };
    EXPECT_EQ(withCanvas(std::vector<float>(batch * plane, 1.0f)), want);
    const auto y = withCanvas(std::vector<float>(batch * plane, 0.0f));
    std::vector<float> L(batch * plane);
    for (size_t k = 0; k < L.size(); ++k) L[k] = static_cast<float>((k * 7 + k / 32) % 11) / 10.0f;
    const auto got = withCanvas(L);
    double spread = 0, worst = 0;
    for (int b = 0; b < batch; ++b)
      for (int c = 0; c < 3; ++c)
        for (int r = 10; r < 22; ++r)
          for (int q = 10; q < 22; ++q) {
            const size_t i = (static_cast<size_t>(b) * 3 + c) * plane + r * 32 + q, l = b * plane + r * 32 + q;
            spread = std::max(spread, double(std::fabs(want[i] - y[i])));
            worst = std::max(worst, double(std::fabs(got[i] - (y[i] + L[l] * (want[i] - y[i])))));
          }
    EXPECT_GT(spread, 1e-3) << "x and y must differ for the check to mean anything";
    EXPECT_LE(worst, 1e-6);
  }
}

// x, y [1,3,8,8] composed by a = Clip(e) from a square constant e; `tweak`
// alters one piece to build each refusal.
struct TailSpec {
  float one = 1.0f;
  const char* alphaOp = "Clip";
  bool alphaIsInput = false, squareConstant = true, extraReader = false, lipInput = false;
  int identitiesAfter = 0;
};

Bytes composeTail(const TailSpec& t) {
  return runnableOf([&](Bytes& g) {
    const float one = t.one, zero = 0;
    hcInit(g, "one", 1, {}, &one, sizeof one);
    hcInit(g, "zero", 1, {}, &zero, sizeof zero);
    std::vector<float> e(64, 0.5f);
    hcInit(g, "e", 1, t.squareConstant ? std::vector<int64_t>{1, 1, 8, 8} : std::vector<int64_t>{1, 1, 4, 16}, e.data(),
           e.size() * sizeof(float));
    if (!t.alphaIsInput) {
      if (std::string(t.alphaOp) == "Clip") hcNode(g, "Clip", {"e", "zero", "one"}, "a", "/alpha", {});
      else hcNode(g, t.alphaOp, {"e"}, "a", "/alpha", {});
    }
    hcNode(g, "Sub", {"one", "a"}, "inv", "/inv", {});
    hcNode(g, "Mul", {"x", "a"}, "mx", "/mx", {});
    hcNode(g, "Mul", {"y", "inv"}, "my", "/my", {});
    std::string out = "sum";
    hcNode(g, "Add", {"mx", "my"}, out, "/add", {});
    for (int k = 0; k < t.identitiesAfter; ++k) {
      const std::string next = "id" + std::to_string(k);
      hcNode(g, "Identity", {out}, next, "/id" + std::to_string(k), {});
      out = next;
    }
    if (t.extraReader) hcNode(g, "Identity", {"a"}, "alpha_copy", "/copy", {});
    const int64_t d[4] = {1, 3, 8, 8};
    gsPutTensorValueInfo(g, 11, "x", d, 4);
    gsPutTensorValueInfo(g, 11, "y", d, 4);
    if (t.alphaIsInput) gsPutTensorValueInfo(g, 11, "a", d, 4);
    if (t.lipInput) gsPutTensorValueInfo(g, 11, "lip_delivery", d, 4);
    gsPutTensorValueInfo(g, 12, out, d, 4);
  });
}

TEST(Rewrites, LipContourRefusesAnythingButTheUnifiedTail) {
  auto refusal = [](const TailSpec& t) {
    Bytes m = composeTail(t);
    const Bytes before = m;
    std::string reason;
    int32_t canvas = 0, batch = 0;
    if (rewriteBindLipContour(m, reason, canvas, batch)) return std::string("(bound)");
    EXPECT_EQ(m, before) << reason;
    return reason;
  };
  Bytes ok = composeTail({});
  std::string reason;
  int32_t canvas = 0, batch = -1;
  ASSERT_TRUE(rewriteBindLipContour(ok, reason, canvas, batch)) << reason;
  EXPECT_EQ(canvas, 8);
  EXPECT_EQ(batch, 0) << "no pooled64 or kp_driving to read it from";
  const std::string text(ok.begin(), ok.end());
  for (const char* s : {"tessera_lipdel_min", "tessera_lipdel_alpha", "le_hoist_d0"})
    EXPECT_NE(text.find(s), std::string::npos) << s;
  EXPECT_EQ(refusal(TailSpec{.identitiesAfter = 40}), "(bound)");

  const char* noTail = "the graph does not carry the unified compose tail";
  EXPECT_EQ(refusal(TailSpec{.one = 0.999f}), noTail);
  EXPECT_EQ(refusal(TailSpec{.alphaOp = "Relu"}), noTail);
  EXPECT_EQ(refusal(TailSpec{.identitiesAfter = 70}), noTail) << "the search stops after 64 nodes";
  EXPECT_EQ(refusal(TailSpec{.alphaIsInput = true}), "the compose alpha 'a' has no producer node");
  EXPECT_EQ(refusal(TailSpec{.squareConstant = false}), "cannot read the compose canvas off the graph");
  EXPECT_EQ(refusal(TailSpec{.one = 0.5f, .lipInput = true}), "the graph already carries an input named lip_delivery")
      << "refused before any search";
  EXPECT_EQ(refusal(TailSpec{.extraReader = true}),
            "self-check: rewire did not take: 3 consumers of tessera_lipdel_alpha \xE2\x80\x94 refusing a graph that "
            "would serve the ellipse with the input attached and ignored");
  Bytes none;
  gsPutStr(none, 2, "no graph here");
  EXPECT_FALSE(rewriteBindLipContour(none, reason, canvas, batch));
  EXPECT_EQ(reason, "no graph");
}

// The source cone cut out of the reference directors: the prep graph's
// boundary fed to the per-frame graph gives the whole graph's output.
TEST(Rewrites, SourceConeSplitKeepsTheOutput) {
  test::TempDir tmp;
  const Bytes plain = fileBytes(kFix + "/tiny/model_b1.onnx");
  Bytes lip = plain;
  std::string reason;
  int32_t canvas = 0, batch = 0;
  ASSERT_TRUE(rewriteBindLipContour(lip, reason, canvas, batch)) << reason;
  for (const Bytes* orig : std::vector<const Bytes*>{&plain, &lip}) {
    std::string name;
    ASSERT_EQ(findSourceConeBoundary(*orig, name), 1);
    EXPECT_EQ(name, "cone");
    Bytes prep, perFrame;
    ASSERT_TRUE(buildSourceConePrep(*orig, name, prep, reason)) << reason;
    const int64_t dims[4] = {1, 12, 32, 32};
    ASSERT_TRUE(buildSourceConePerFrame(*orig, name, dims, 4, perFrame, reason)) << reason;
    EXPECT_TRUE(onnxChecks(prep, tmp.path()));
    EXPECT_TRUE(onnxChecks(perFrame, tmp.path()));
    auto in = randomInputs(1, 32, 41);
    std::vector<float> L(32 * 32);
    for (size_t k = 0; k < L.size(); ++k) L[k] = static_cast<float>(k * 7 % 11) / 10.0f;
    if (orig == &lip) in.push_back({"lip_delivery", L});
    const auto whole = runModel(*orig, in);
    const auto boundary = runModel(prep, {in[1]}, "cone");
    ASSERT_EQ(boundary.size(), 12u * 32 * 32);
    auto rest = in;
    rest.erase(rest.begin() + 1);
    rest.push_back({"cone", boundary});
    EXPECT_EQ(runModel(perFrame, rest), whole);
  }
}

// Small graphs around one cone a = Mul(P_rgb, k), Concat(P_rgb, a), with
// k a Constant node both halves read; each flag breaks the cut one way.
struct ConeSpec {
  bool twoConcats = false, readsPooled = false, ghostLeaf = false, escapes = false, sourceOutside = false;
};

Bytes coneModel(const ConeSpec& c) {
  Bytes g;
  Bytes value;
  const float two = 2.0f;
  hcInit(value, "", 1, {}, &two, sizeof two);
  Bytes attr, attrs;
  gsPutStr(attr, 1, "value");
  gsPutRaw(attr, sliceOf(value));
  gsPutKey(attr, 20, 0);
  gsPutVarint(attr, 4);
  gsPutBytes(attrs, 5, attr.data(), attr.size());
  hcNode(g, "Constant", {}, "k", "/k", attrs);
  hcNode(g, "Mul", {"P_rgb", c.readsPooled ? "pooled64" : "k"}, "a", "/cone/mul", {});
  Bytes axis;
  hcAttrI(axis, "axis", 1);
  hcNode(g, "Concat", {"P_rgb", c.ghostLeaf ? "ghost" : "a"}, "cone", "/cone/concat", axis);
  hcNode(g, "Mul", {"cone", "k"}, "y", "/frame/mul", {});
  std::string out = "out";
  hcNode(g, "Add", {"y", "x"}, out, "/frame/add", {});
  auto more = [&](const char* in, const char* name) {
    hcNode(g, "Add", {out, in}, out + "+", name, {});
    out += "+";
  };
  if (c.twoConcats) {
    hcNode(g, "Concat", {"P_rgb", "P_rgb"}, "again", "/again", axis);
    more("again", "/frame/again");
  }
  if (c.escapes) more("a", "/frame/escape");
  if (c.sourceOutside) more("P_rgb", "/frame/source");
  const int64_t p[4] = {1, 1, 2, 2}, x[4] = {1, 2, 2, 2};
  gsPutTensorValueInfo(g, 11, "P_rgb", p, 4);
  gsPutTensorValueInfo(g, 11, "x", x, 4);
  if (c.readsPooled) gsPutTensorValueInfo(g, 11, "pooled64", p, 4);
  gsPutTensorValueInfo(g, 12, out, x, 4);
  return wrapModel(g);
}

TEST(Rewrites, SourceConeRefusesWhatCannotBeCut) {
  auto refusal = [](const ConeSpec& c) {
    const Bytes m = coneModel(c);
    std::string name, reason;
    const int count = findSourceConeBoundary(m, name);
    if (count != 1) return "expected exactly one Concat consuming P_rgb, found " + std::to_string(count);
    Bytes prep, perFrame;
    const int64_t dims[4] = {1, 2, 2, 2};
    const bool a = buildSourceConePrep(m, name, prep, reason);
    const std::string first = reason;
    const bool b = buildSourceConePerFrame(m, name, dims, 4, perFrame, reason);
    EXPECT_EQ(a, b);
    EXPECT_EQ(first, reason) << "both halves refuse alike";
    return a ? std::string("(cut)") : reason;
  };
  // The Constant stays in both halves: each runs and together they give the
  // whole graph's output.
  const Bytes m = coneModel({});
  std::string name, reason;
  ASSERT_EQ(findSourceConeBoundary(m, name), 1);
  Bytes prep, perFrame;
  const int64_t dims[4] = {1, 2, 2, 2};
  ASSERT_TRUE(buildSourceConePrep(m, name, prep, reason)) << reason;
  ASSERT_TRUE(buildSourceConePerFrame(m, name, dims, 4, perFrame, reason)) << reason;
  const std::vector<float> P = {0.5f, -1, 3, 0.25f}, x = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto boundary = runModel(prep, {{"P_rgb", P}}, "cone");
  EXPECT_EQ(boundary, (std::vector<float>{0.5f, -1, 3, 0.25f, 1, -2, 6, 0.5f}));
  EXPECT_EQ(runModel(perFrame, {{"x", x}, {"cone", boundary}}, "out"), runModel(m, {{"P_rgb", P}, {"x", x}}, "out"));

  EXPECT_EQ(refusal({.twoConcats = true}), "expected exactly one Concat consuming P_rgb, found 2");
  EXPECT_EQ(refusal({.readsPooled = true}), "cone reads graph input 'pooled64'");
  EXPECT_EQ(refusal({.ghostLeaf = true}), "cone leaf 'ghost' has no producer");
  EXPECT_EQ(refusal({.escapes = true}), "cone value 'a' escapes to /frame/escape");
  EXPECT_EQ(refusal({.sourceOutside = true}), "P_rgb is also read outside the cone by /frame/source");
  Bytes none;
  gsPutStr(none, 2, "no graph here");
  EXPECT_EQ(findSourceConeBoundary(none, name), 0);
  EXPECT_FALSE(buildSourceConePrep(none, "cone", prep, reason));
  EXPECT_EQ(reason, "no graph");
  Bytes noSource = fileBytes(kFix + "/tiny-fs/model_b1.onnx");
  EXPECT_FALSE(buildSourceConePerFrame(noSource, "cone", dims, 4, perFrame, reason));
  EXPECT_EQ(reason, "no P_rgb input");
}

// The warp block as one WarpDirector node: the same output within float
// round-off, with or without the GridSample already made fast, and the cone
// gone with it.
TEST(Rewrites, WarpBlockBecomesOneNode) {
  test::TempDir tmp;
  const Bytes orig = fileBytes(kFix + "/tiny/model_b1.onnx");
  Bytes fast = orig;
  ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
  const auto in = randomInputs(1, 32, 77);
  const auto want = runModel(orig, in);
  for (const Bytes* start : std::vector<const Bytes*>{&orig, &fast}) {
    WarpBlock b;
    std::string reason;
    ASSERT_TRUE(findWarpBlock(*start, &b, reason)) << reason;
    EXPECT_EQ(b.boundary, "cone");
    EXPECT_EQ(b.grid, "grid");
    EXPECT_EQ(b.exit, "warped");
    EXPECT_EQ(b.recombination.size(), 10u) << "four Slices, three Muls, two Subs and the Add";
    Bytes m = *start;
    const size_t removed = rewriteWarpBlockToCustomOp(m, reason);
    EXPECT_GE(removed, 16u) << reason << ": the block, the cone's five nodes and the fraction weights";
    EXPECT_TRUE(onnxChecks(m, tmp.path()));
    EXPECT_LE(maxAbsDiff(runModel(m, in), want), 2e-6);
    const std::string text(m.begin(), m.end());
    EXPECT_NE(text.find("le_warp_director"), std::string::npos);
    EXPECT_EQ(text.find("/cone/"), std::string::npos) << "the cone was swept";
    std::vector<GsNode> nodes;
    std::set<std::string> inputs, unread;
    gsReadGraph(gsGraphOf(sliceOf(m)), nodes, inputs, unread);
    const size_t weights = unread.size();
    for (const GsNode& n : nodes)
      for (const std::string& x : n.inputs) unread.erase(x);
    EXPECT_TRUE(unread.empty()) << *unread.begin() << ": the removed nodes' weights went with them";
    EXPECT_GT(weights, 0u);
    const Bytes once = m;
    EXPECT_EQ(rewriteWarpBlockToCustomOp(m, reason), 0u);
    EXPECT_EQ(reason, "not one Concat consuming P_rgb");
    EXPECT_EQ(m, once);
    // The grid's identity-plus-flow sum moves into the node: the same bits,
    // the mouth opened (the driving keypoints below the source's) so that
    // the flow is not zero.
    EXPECT_EQ(absorbWarpFlow(m), 3u) << "the Add, the Transpose and the Concat";
    EXPECT_TRUE(onnxChecks(m, tmp.path()));
    auto open = in;
    for (float& k : open[2].second) k += 0.1f;
    const auto opened = runModel(once, open);
    EXPECT_GT(maxAbsDiff(opened, runModel(once, in)), 1e-3);
    EXPECT_EQ(bitsDiffer(runModel(m, open, "rgb", 2), opened), 0u);
    const Bytes flowed = m;
    EXPECT_EQ(absorbWarpFlow(m), 0u);
    EXPECT_EQ(m, flowed);
  }
  Bytes graphOwn = orig;
  EXPECT_EQ(absorbWarpFlow(graphOwn), 0u) << "no WarpDirector to feed";
}

// A cone Concat(P_rgb, P_rgb) sampled at a produced grid, recombined by
// Slice/Mul/Add into `out`; each flag breaks the block one way.
struct WarpSpec {
  const char* mode = "bilinear";
  bool twoSamples = false, gridIsInput = false, secondExit = false, noConcat = false;
  const char* sampler = "GridSample";
};

Bytes warpModel(const WarpSpec& w) {
  return runnableOf([&](Bytes& g) {
    Bytes axis, attrs;
    hcAttrI(axis, "axis", 1);
    hcAttrS(attrs, "mode", w.mode);
    hcAttrS(attrs, "padding_mode", "border");
    hcNode(g, w.noConcat ? "Sum" : "Concat", {"P_rgb", "P_rgb"}, "cone", "/cone", axis);
    if (!w.gridIsInput) hcNode(g, "Identity", {"grid_in"}, "grid", "/grid", {});
    const std::string grid = w.gridIsInput ? "grid_in" : "grid";
    hcNode(g, w.sampler, {"cone", grid}, "s", "/gs", attrs);
    if (w.twoSamples) hcNode(g, "GridSample", {"cone", grid}, "s2", "/gs2", attrs);
    hcNode(g, "Slice", {"s", "st", "en", "ax"}, "a", "/sa", {});
    hcNode(g, "Slice", {"s", "st", "en", "ax"}, "b", "/sb", {});
    hcNode(g, "Mul", {"a", "b"}, "m", "/m", {});
    hcNode(g, "Add", {"m", "a"}, "out", "/add", {});
    if (w.secondExit) hcNode(g, "Relu", {"m"}, "r", "/relu", {});
    const int64_t d[4] = {1, 3, 4, 4}, gd[4] = {1, 4, 4, 2};
    gsPutTensorValueInfo(g, 11, "P_rgb", d, 4);
    gsPutTensorValueInfo(g, 11, "grid_in", gd, 4);
    gsPutTensorValueInfo(g, 12, "out", d, 4);
    if (w.secondExit) gsPutTensorValueInfo(g, 12, "r", d, 4);
  });
}

TEST(Rewrites, WarpBlockRefusals) {
  auto refusal = [](const WarpSpec& w) {
    Bytes m = warpModel(w);
    const Bytes before = m;
    std::string reason;
    const size_t n = rewriteWarpBlockToCustomOp(m, reason);
    if (n) return "(" + std::to_string(n) + " removed)";
    EXPECT_EQ(m, before) << reason;
    return reason;
  };
  EXPECT_EQ(refusal({}), "(6 removed)") << "the block, the cone and nothing else";
  EXPECT_EQ(refusal({.sampler = "Relu"}), "no GridSample consuming 'cone'");
  EXPECT_EQ(refusal({.twoSamples = true}), "two GridSamples on the cone's tip");
  EXPECT_EQ(refusal({.mode = "nearest"}), "the fused GridSample is not bilinear/border/align_corners=0");
  EXPECT_EQ(refusal({.gridIsInput = true}), "the grid has no producer");
  EXPECT_EQ(refusal({.secondExit = true}), "the recombination has 2 exits, not 1");
  EXPECT_EQ(refusal({.noConcat = true}), "not one Concat consuming P_rgb");
  std::string reason;
  EXPECT_FALSE(findWarpBlock(warpModel({}), nullptr, reason));
  EXPECT_EQ(reason, "no out param");
}

// A one-node model: x [dims] and grid -> y, default domain or com.corvalux.
Bytes oneNodeModel(const std::string& op, bool custom, const std::vector<int64_t>& xDims,
                   const std::vector<int64_t>& gridDims, bool gridSampleAttrs, std::vector<int64_t> yDims = {},
                   const std::vector<std::pair<std::string, std::vector<int64_t>>>& more = {}) {
  if (yDims.empty()) yDims = xDims;
  return runnableOf([&](Bytes& g) {
    Bytes node;
    gsPutStr(node, 1, "x");
    gsPutStr(node, 1, "grid");
    for (const auto& [name, dims] : more) {
      gsPutStr(node, 1, name);
      gsPutTensorValueInfo(g, 11, name, dims.data(), dims.size());
    }
    gsPutStr(node, 2, "y");
    gsPutStr(node, 3, "n0");
    gsPutStr(node, 4, op);
    if (gridSampleAttrs) {
      hcAttrS(node, "mode", "bilinear");
      hcAttrS(node, "padding_mode", "border");
    }
    if (custom) gsPutStr(node, 7, "com.corvalux");
    gsPutBytes(g, 1, node.data(), node.size());
    gsPutTensorValueInfo(g, 11, "x", xDims.data(), xDims.size());
    gsPutTensorValueInfo(g, 11, "grid", gridDims.data(), gridDims.size());
    gsPutTensorValueInfo(g, 12, "y", yDims.data(), yDims.size());
  }, custom);
}

std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

// Also with a grid smaller than the input: the output takes the grid's size.
TEST(CustomOps, GridSampleFastEqualsOnnxRuntimesGridSample) {
  for (auto [C, Hg, Wg] : {std::array<int, 3>{3, 37, 29}, {16, 37, 29}, {3, 21, 17}, {5, 40, 31}}) {
    const int N = 2, H = 37, W = 29;
    const Bytes std = oneNodeModel("GridSample", false, {N, C, H, W}, {N, Hg, Wg, 2}, true, {N, C, Hg, Wg});
    Bytes fast = std;
    ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
    const auto x = uniform(static_cast<size_t>(N) * C * H * W, -1, 1, C);
    for (float reach : {1.0f, 1.2f, 40.0f}) {
      auto grid = uniform(static_cast<size_t>(N) * Hg * Wg * 2, -reach, reach, 11);
      grid[0] = -1;
      grid[1] = 1;
      const std::vector<std::pair<std::string, std::vector<float>>> in = {{"x", x}, {"grid", grid}};
      const auto want = runModel(std, in, "y");
      ASSERT_EQ(want.size(), static_cast<size_t>(N) * C * Hg * Wg);
      EXPECT_LE(maxAbsDiff(runModel(fast, in, "y", 2), want), 1e-5) << "C=" << C << " Hg=" << Hg << " reach " << reach;
      std::vector<float> direct(want.size());
      for (int n = 0; n < N; ++n)
        gridsample_fast(x.data() + n * C * H * W, grid.data() + n * Hg * Wg * 2, direct.data() + n * C * Hg * Wg, C, H,
                        W, Hg, Wg);
      EXPECT_LE(maxAbsDiff(direct, want), 1e-5);
    }
  }
}

// Scalar, AVX2 and AVX-512 bodies (where the CPU has them) give the same
// bits, NaN and infinite coordinates included.
TEST(CustomOps, VectorAndScalarPathsAgreeBitForBit) {
  const int C = 5, H = 23, W = 61;
  const auto x = uniform(static_cast<size_t>(C) * H * W, -2, 2, 1);
  for (auto [Hg, Wg] : {std::pair{H, W}, {9, 40}}) {
    auto grid = uniform(static_cast<size_t>(Hg) * Wg * 2, -1.5f, 1.5f, 2);
    grid[10] = NAN;
    grid[11] = INFINITY;
    grid[30] = -INFINITY;
    grid[41] = 1e30f;
    grid[52] = -1.0f;
    grid[53] = 1.0f;
    std::vector<float> want(static_cast<size_t>(C) * Hg * Wg), got(want.size());
    setGridSampleBody("scalar");
    gridsample_fast(x.data(), grid.data(), want.data(), C, H, W, Hg, Wg);
    for (const char* body : {"avx2", "avx512"}) {
      setGridSampleBody(body);
      gridsample_fast(x.data(), grid.data(), got.data(), C, H, W, Hg, Wg);
      EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << body << " ran as " << gridsampleBody(C);
    }
    setGridSampleBody(nullptr);
  }
  // WarpDirector: sizes on both sides of a vector's width, hostile grid values
  // and a non-finite source pixel; equal bits, or NaN on both paths.
  for (auto [Hw, Wd] : {std::pair{1, 1}, {2, 9}, {5, 10}, {7, 27}, {12, 61}}) {
    auto src = uniform(static_cast<size_t>(3) * Hw * Wd, 0, 1, Hw + Wd);
    src[src.size() / 2] = INFINITY;
    auto grid = uniform(static_cast<size_t>(Hw) * Wd * 2, -1.3f, 1.3f, Hw * Wd);
    const float odd[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, -1.0f, 1.0f, -0.0f};
    for (size_t i = 0; i < grid.size(); i += 3) grid[i] = odd[(i / 3) % 8];
    std::vector<float> want(src.size()), got(src.size());
    setGridSampleBody("scalar");
    EXPECT_STREQ(warpBody(), "scalar");
    warpDirector(src.data(), grid.data(), want.data(), Wd, Hw);
    setGridSampleBody(nullptr);
    warpDirector(src.data(), grid.data(), got.data(), Wd, Hw);
    size_t differ = 0;
    for (size_t i = 0; i < got.size(); ++i)
      differ += !(std::isnan(got[i]) && std::isnan(want[i])) && std::memcmp(&got[i], &want[i], 4) != 0;
    EXPECT_EQ(differ, 0u) << Hw << "x" << Wd << " on " << warpBody();
  }
}


// Element-wise runs fused into one node give the runtime's own bits: on the
// director (with and without the warp node, one and two threads) and on a
// graph of every operation, broadcasting every way, over NaN, infinities,
// signed zeros and ties of Min, Max and Clip.
TEST(Rewrites, ElementwiseRunsKeepTheBits) {
  test::TempDir tmp;
  const Bytes director = fileBytes(kFix + "/tiny/model_b1.onnx");
  Bytes warped = director;
  std::string reason;
  ASSERT_GT(rewriteWarpBlockToCustomOp(warped, reason), 0u) << reason;
  auto in = randomInputs(1, 32, 5);
  for (float& k : in[2].second) k += 0.1f;  // the mouth open
  for (const Bytes* start : std::vector<const Bytes*>{&director, &warped}) {
    Bytes m = *start;
    EXPECT_GE(fuseElementwise(m), 3u);
    EXPECT_TRUE(onnxChecks(m, tmp.path()));
    EXPECT_EQ(bitsDiffer(runModel(m, in, "rgb", 2), runModel(*start, in)), 0u);
    EXPECT_LT(nodesOf(m), nodesOf(*start) - 20);
    const Bytes once = m;
    EXPECT_EQ(fuseElementwise(m), 0u) << "nothing left to fuse";
    EXPECT_EQ(m, once);
  }

  // x [2,3,5,37], y [3,1,37], z [5,1], w [4]; outputs of four shapes, one
  // of them broadcast along its rows ([5,1]) and two ([3] and [4]) that do
  // not broadcast together, so the node falls back to whole temporaries.
  auto graph = [](bool independent) {
    return runnableOf([&](Bytes& g) {
      const float lo = -0.0f, hi = 0.75f, zero = 0.0f;
      hcInit(g, "lo", 1, {1}, &lo, 4);
      hcInit(g, "hi", 1, {}, &hi, 4);
      hcInit(g, "zero", 1, {}, &zero, 4);
      hcNode(g, "Add", {"x", "y"}, "a", "a", {});
      hcNode(g, "Mul", {"a", "z"}, "b", "b", {});
      hcNode(g, "Min", {"x", "y"}, "c", "c", {});
      hcNode(g, "Identity", {"w"}, "wi", "wi", {});  // reads nothing of the run
      hcNode(g, "Max", {"y", "x"}, "m", "m", {});
      hcNode(g, "Add", {"m", "c"}, "d", "d", {});
      hcNode(g, "Clip", {"d", "lo", "hi"}, "e", "e", {});
      hcNode(g, "Clip", {"b", "", "zero"}, "f", "f", {});
      hcNode(g, "Clip", {"x", "lo", "zero"}, "t", "t", {});
      hcNode(g, "Div", {"e", "f"}, "h", "h", {});
      hcNode(g, "Sub", {"h", "y"}, "i", "i", {});
      hcNode(g, "Floor", {"i"}, "j", "j", {});
      hcNode(g, "Abs", {"z"}, "k", "k", {});
      hcNode(g, "Neg", {"k"}, "zn", "zn", {});
      if (independent) hcNode(g, "Add", {"wi", "wi"}, "out", "out", {});
      else hcNode(g, "Add", {"i", "j"}, "out", "out", {});
      using D = std::vector<int64_t>;
      const D xd = {2, 3, 5, 37}, zd = {5, 1}, wd = {independent ? 4 : 37};
      for (const auto& [field, name, d] : std::vector<std::tuple<int, const char*, D>>{
               {11, "x", xd}, {11, "y", {3, 1, 37}}, {11, "z", zd}, {11, "w", wd}, {12, "out", independent ? wd : xd},
               {12, "zn", zd}, {12, "b", xd}, {12, "c", xd}, {12, "m", xd}, {12, "t", xd}})
        gsPutTensorValueInfo(g, field, name, d.data(), d.size());
    }, false);
  };
  const float special[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, -0.5f, 0.75f, 1e30f, -1e-30f, 3.0f};
  // The runtime settles Min(0, -0) by where its vector loop starts, so y
  // holds no zero that could tie with one of x.
  auto values = [&](size_t n, unsigned seed, bool zeros) {
    auto v = uniform(n, -2, 2, seed);
    for (size_t i = 0; i < n; i += 3) v[i] = special[(i / 3 + seed) % 10];
    for (size_t i = 0; i < n && !zeros; ++i) v[i] = v[i] == 0 ? 2.5f : v[i];
    return v;
  };
  const std::vector<std::pair<std::string, std::vector<float>>> vin = {{"x", values(2 * 3 * 5 * 37, 1, true)},
                                                                       {"y", values(3 * 37, 2, false)},
                                                                       {"z", values(5, 3, true)},
                                                                       {"w", values(37, 4, true)}};
  auto win = vin;
  win[3].second.resize(4);
  for (bool independent : {false, true}) {
    const Bytes plain = graph(independent);
    Bytes m = plain;
    EXPECT_EQ(fuseElementwise(m), 1u);
    EXPECT_EQ(nodesOf(m), 2u) << "the Identity and the fused node";
    for (const char* out : {"out", "zn", "b", "c", "m", "t"})
      for (int threads : {1, 2})
        EXPECT_EQ(bitsDiffer(runModel(m, independent ? win : vin, out, threads), runModel(plain, independent ? win : vin, out)), 0u)
            << out << (independent ? " (independent shapes)" : "");
  }

  // Not fused: integer arithmetic, a Clip of bounds computed at run time,
  // Min of three inputs, a run of one.
  const Bytes rest = runnableOf([](Bytes& g) {
    const int64_t two = 2;
    hcInit(g, "two", 7, {}, &two, 8);
    hcNode(g, "Add", {"two", "two"}, "four", "i1", {});
    hcNode(g, "Mul", {"four", "two"}, "eight", "i2", {});
    gsPutTensorValueInfo(g, 12, "eight", nullptr, 0);
    hcNode(g, "Neg", {"x"}, "lo", "n", {});
    hcNode(g, "Clip", {"x", "lo", ""}, "c", "c", {});
    hcNode(g, "Min", {"c", "x", "x"}, "y", "m", {});
    const int64_t d[1] = {4};
    gsPutTensorValueInfo(g, 11, "x", d, 1);
    gsPutTensorValueInfo(g, 12, "y", d, 1);
  });
  Bytes m = rest;
  EXPECT_EQ(fuseElementwise(m), 0u);
  EXPECT_EQ(m, rest);
  // Before opset 11 a Clip without bounds still clamps infinities.
  const Bytes old = runnableOf([](Bytes& g) {
    hcNode(g, "Clip", {"x"}, "c", "c", {});
    hcNode(g, "Neg", {"c"}, "y", "n", {});
    const int64_t d[1] = {4};
    gsPutTensorValueInfo(g, 11, "x", d, 1);
    gsPutTensorValueInfo(g, 12, "y", d, 1);
  }, false, 10);
  m = old;
  EXPECT_EQ(fuseElementwise(m), 0u);
}

// A baked Elementwise node is checked before it runs.
TEST(CustomOps, ElementwiseRefusesMalformedPrograms) {
  auto node = [](std::vector<int64_t> program, std::vector<int64_t> outputs, const char* y = "y") {
    return runnableOf([&](Bytes& g) {
      Bytes n;
      gsPutStr(n, 1, "x");
      gsPutStr(n, 2, y);
      gsPutStr(n, 4, "Elementwise");
      gsPutStr(n, 7, "com.corvalux");
      hcAttrIs(n, "program", program.data(), program.size());
      hcAttrIs(n, "outputs", outputs.data(), outputs.size());
      gsPutBytes(g, 1, n.data(), n.size());
      const int64_t d[1] = {6};
      gsPutTensorValueInfo(g, 11, "x", d, 1);
      gsPutTensorValueInfo(g, 12, y, d, 1);
    }, true);
  };
  const std::vector<std::pair<std::string, std::vector<float>>> x = {{"x", std::vector<float>(6, 2.0f)}};
  EXPECT_EQ(runModel(node({simd::kEwMul, 0, 0, -1}, {0}), x, "y"), std::vector<float>(6, 4.0f));
  for (const auto& [program, outputs, why] : std::vector<std::tuple<std::vector<int64_t>, std::vector<int64_t>, std::string>>{
           {{simd::kEwAdd, 0, 1, -1}, {0}, "reads a value not yet made"},
           {{simd::kEwAdd, 0, -1, -1}, {0}, "operation 0 is malformed"},
           {{simd::kEwNeg, 0, 0, -1}, {0}, "operation 0 is malformed"},
           {{99, 0, 0, -1}, {0}, "operation 0 is malformed"},
           {{simd::kEwAdd, 0, 0, -1, simd::kEwNeg, 1, -1, -1}, {2}, "an output names no operation"},
           {{simd::kEwAdd, 0, 0}, {0}, "a program of 3 ints"}}) {
    std::string e;
    try {
      runModel(node(program, outputs), x, "y");
    } catch (const Ort::Exception& ex) {
      e = ex.what();
    }
    EXPECT_NE(e.find(why), std::string::npos) << e;
  }
}

std::string runError(const Bytes& model, const std::vector<std::pair<std::string, std::vector<float>>>& in) {
  try {
    runModel(model, in, "y");
  } catch (const Ort::Exception& e) {
    return e.what();
  }
  return "(ran)";
}

// CubicUp2x against the cubic resize written out: half_pixel source
// coordinates, Keys' kernel (a = -0.75 and -0.5), taps clamped to the edge;
// planes down to one pixel, and bands that split the output anywhere.
TEST(CustomOps, CubicUp2xIsTheClampedCubicResize) {
  auto kernel = [](double x, double a) {
    x = std::fabs(x);
    return x <= 1 ? (a + 2) * x * x * x - (a + 3) * x * x + 1 : x < 2 ? a * (x * x * x - 5 * x * x + 8 * x - 4) : 0.0;
  };
  for (auto [H, W, a] : {std::tuple{1, 1, -0.75f}, {1, 5, -0.75f}, {3, 1, -0.5f}, {7, 13, -0.75f}, {20, 33, -0.5f}}) {
    const auto x = uniform(static_cast<size_t>(H) * W, -1, 1, H * 31 + W);
    std::vector<float> got(4 * x.size(), NAN);
    for (int r = 0; r < 2 * H; r += 3) cubicUp2xBand(x.data(), got.data(), H, W, a, r, r + 3);
    for (int o = 0; o < 2 * H; ++o)
      for (int p = 0; p < 2 * W; ++p) {
        const double cy = (o + 0.5) / 2 - 0.5, cx = (p + 0.5) / 2 - 0.5;
        const int y0 = static_cast<int>(std::floor(cy)), x0 = static_cast<int>(std::floor(cx));
        double want = 0;
        for (int ky = -1; ky <= 2; ++ky)
          for (int kx = -1; kx <= 2; ++kx)
            want += kernel(cy - (y0 + ky), a) * kernel(cx - (x0 + kx), a) *
                    x[static_cast<size_t>(std::clamp(y0 + ky, 0, H - 1)) * W + std::clamp(x0 + kx, 0, W - 1)];
        ASSERT_NEAR(got[static_cast<size_t>(o) * 2 * W + p], want, 2e-6) << H << "x" << W << " at " << o << "," << p;
      }
  }
}

// The networks' working-memory pool: a freed block serves the next request
// of its size class, small blocks are never kept, a release gives back what
// was kept, and a size no arithmetic could hold is refused, not wrapped.
TEST(OrtPool, KeepsBlocksBySizeClassAndRefusesImpossibleSizes) {
  OrtAllocator* a = ort::allocator();
  ort::releaseCached();
  void* big = a->Alloc(a, 100 << 10);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % 64, 0u);
  std::memset(big, 1, 100 << 10);
  a->Free(a, big);
  void* again = a->Alloc(a, (100 << 10) + 1000);  // 100 KiB and a little more: one class of 104 KiB
  EXPECT_EQ(again, big);
  a->Free(a, a->Alloc(a, 1000));
  a->Free(a, again);
  EXPECT_EQ(ort::releaseCached(), size_t{104} << 10);
  EXPECT_EQ(ort::releaseCached(), 0u);
  EXPECT_EQ(a->Alloc(a, SIZE_MAX - 8), nullptr);
  EXPECT_EQ(a->Reserve(a, SIZE_MAX / 2), nullptr);
}

TEST(CustomOps, RefuseMismatchedGridsAndForeignChannelCounts) {
  const Bytes gs = oneNodeModel("GridSampleFast", true, {1, 3, 8, 8}, {2, 4, 8, 2}, false);
  const std::string e = runError(gs, {{"x", std::vector<float>(192)}, {"grid", std::vector<float>(128)}});
  EXPECT_NE(e.find("com.corvalux::GridSampleFast: the grid [2,4,8,2] does not match the input [1,3,8,8]"), std::string::npos) << e;
  const Bytes wd = oneNodeModel("WarpDirector", true, {1, 3, 8, 8}, {2, 8, 8, 2}, false);
  const std::string e2 = runError(wd, {{"x", std::vector<float>(192)}, {"grid", std::vector<float>(256)}});
  EXPECT_NE(e2.find("com.corvalux::WarpDirector: the grid [2,8,8,2] does not match the input [1,3,8,8]"), std::string::npos) << e2;
  const Bytes flow = oneNodeModel("WarpDirectorFlow", true, {1, 3, 8, 8}, {1, 8, 8, 2}, false, {},
                                   {{"fx", {1, 1, 8, 8}}, {"fy", {1, 1, 7, 8}}});
  const std::string e4 = runError(flow, {{"x", std::vector<float>(192)}, {"grid", std::vector<float>(128)},
                                         {"fx", std::vector<float>(64)}, {"fy", std::vector<float>(56)}});
  EXPECT_NE(e4.find("com.corvalux::WarpDirectorFlow: the identity [1,8,8,2] and flows [1,1,8,8], [1,1,7,8] do not match"),
            std::string::npos) << e4;
  const Bytes four = oneNodeModel("WarpDirector", true, {1, 4, 8, 8}, {1, 8, 8, 2}, false);
  const std::string e3 = runError(four, {{"x", std::vector<float>(256)}, {"grid", std::vector<float>(128)}});
  EXPECT_NE(e3.find("com.corvalux::WarpDirector: this node warps the director's 3-channel source and the graph handed it "
                    "C=4. REFUSING rather than writing a frame nobody asked for."),
            std::string::npos)
      << e3;
}

TEST(CustomOps, WarpDirectorEqualsItsDefinitionAndTheDirectorsRecombination) {
  const int H = 33, W = 27;
  const Bytes wd = oneNodeModel("WarpDirector", true, {2, 3, H, W}, {2, H, W, 2}, false);
  const auto x = uniform(2 * 3 * H * W, 0, 1, 5);
  const auto grid = uniform(2 * H * W * 2, -1.3f, 1.3f, 6);
  const auto got = runModel(wd, {{"x", x}, {"grid", grid}}, "y", 2);
  for (int n = 0; n < 2; ++n) {
    const std::vector<float> src(x.begin() + n * 3 * H * W, x.begin() + (n + 1) * 3 * H * W);
    const std::vector<float> g(grid.begin() + n * H * W * 2, grid.begin() + (n + 1) * H * W * 2);
    const auto want = test::referenceWarp(src, g, W, H);
    const std::vector<float> item(got.begin() + n * 3 * H * W, got.begin() + (n + 1) * 3 * H * W);
    EXPECT_LE(maxAbsDiff(item, want), 1e-5);
    std::vector<float> direct(want.size());
    warpDirector(src.data(), g.data(), direct.data(), W, H);
    EXPECT_EQ(direct, item);
  }

  // On the generated director: the graph's Slice/Mul/Sub/Add recombination
  // after its GridSample computes what one WarpDirector node computes.
  const Bytes probe = fileBytes(kFix + "/tiny/model_b1_probe.onnx");
  auto in = randomInputs(1, 32, 9);
  const auto g = runModel(probe, in, "grid");
  const auto warped = runModel(probe, in, "warped");
  const Bytes one = oneNodeModel("WarpDirector", true, {1, 3, 32, 32}, {1, 32, 32, 2}, false);
  EXPECT_LE(maxAbsDiff(runModel(one, {{"x", in[1].second}, {"grid", g}}, "y"), warped), 1e-4);
}
struct ConvCase {
  int N, C, H, W, M, k, group;
  std::vector<int64_t> strides, pads, dilations;
};

Bytes int8ConvModel(const ConvCase& c, const std::vector<int8_t>& w, const std::vector<float>& scale,
                    const std::vector<float>& bias, int64_t wDim1) {
  Bytes g, node;
  gsPutStr(node, 1, "x");
  gsPutStr(node, 1, "w");
  gsPutStr(node, 1, "s");
  gsPutStr(node, 1, "b");
  gsPutStr(node, 2, "y");
  gsPutStr(node, 3, "conv");
  gsPutStr(node, 4, "Int8ConvVNNI");
  hcAttrIs(node, "strides", c.strides.data(), c.strides.size());
  hcAttrIs(node, "pads", c.pads.data(), c.pads.size());
  hcAttrIs(node, "dilations", c.dilations.data(), c.dilations.size());
  hcAttrI(node, "group", c.group);
  gsPutStr(node, 7, "com.corvalux.int8");
  gsPutBytes(g, 1, node.data(), node.size());
  gsPutStr(g, 2, "g");
  hcInit(g, "w", 3, {c.M, wDim1, c.k, c.k}, w.data(), w.size());
  hcInit(g, "s", 1, {static_cast<int64_t>(scale.size())}, scale.data(), scale.size() * 4);
  hcInit(g, "b", 1, {static_cast<int64_t>(bias.size())}, bias.data(), bias.size() * 4);
  const int64_t xd[4] = {c.N, c.C, c.H, c.W};
  gsPutTensorValueInfo(g, 11, "x", xd, 4);
  gsPutTensorValueInfo(g, 12, "y", nullptr, 4);
  return wrapModel(g, "com.corvalux.int8");
}

// Float convolution with zero padding over the dequantised weights, and a
// bound on the error the activation quantisation may add.
void floatConv(const ConvCase& c, const std::vector<float>& x, const std::vector<int8_t>& w, const std::vector<float>& scale,
               const std::vector<float>& bias, float actStep, std::vector<float>& out, std::vector<float>& bound) {
  const int64_t OH = (c.pads[0] + c.H + c.pads[2] - (c.k - 1) * c.dilations[0] - 1) / c.strides[0] + 1;
  const int64_t OW = (c.pads[1] + c.W + c.pads[3] - (c.k - 1) * c.dilations[1] - 1) / c.strides[1] + 1;
  const int cg = c.C / c.group, mg = c.M / c.group;
  out.assign(static_cast<size_t>(c.N * c.M * OH * OW), 0.0f);
  bound.assign(out.size(), 0.0f);
  for (int n = 0; n < c.N; ++n)
    for (int m = 0; m < c.M; ++m)
      for (int64_t oy = 0; oy < OH; ++oy)
        for (int64_t ox = 0; ox < OW; ++ox) {
          double s = bias[m], b = 0;
          for (int ci = 0; ci < cg; ++ci)
            for (int ky = 0; ky < c.k; ++ky)
              for (int kx = 0; kx < c.k; ++kx) {
                const int64_t iy = oy * c.strides[0] - c.pads[0] + ky * c.dilations[0];
                const int64_t ix = ox * c.strides[1] - c.pads[1] + kx * c.dilations[1];
                if (iy < 0 || iy >= c.H || ix < 0 || ix >= c.W) continue;
                const int cin = (m / mg) * cg + ci;
                const double wd = double(w[((m * cg + ci) * c.k + ky) * c.k + kx]) * scale[m];
                s += wd * x[((static_cast<size_t>(n) * c.C + cin) * c.H + iy) * c.W + ix];
                b += std::fabs(wd) * actStep * 0.5;
              }
          const size_t o = ((static_cast<size_t>(n) * c.M + m) * OH + oy) * OW + ox;
          out[o] = static_cast<float>(s);
          bound[o] = static_cast<float>(b) + 1e-4f;
        }
}

TEST(CustomOps, Int8ConvMatchesAFloatConvolutionUpToQuantisation) {
  for (const ConvCase& c : {ConvCase{2, 8, 11, 13, 20, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}},
                            ConvCase{1, 6, 12, 9, 4, 3, 2, {2, 1}, {2, 1, 0, 3}, {2, 1}},
                            ConvCase{1, 5, 7, 7, 3, 1, 1, {1, 1}, {0, 0, 0, 0}, {1, 1}},
                            // 64 and 50 output channels: the four-pixel 512-bit pass where the CPU has it,
                            // rows of 11 and 6 pixels leaving partial groups of four
                            ConvCase{1, 12, 9, 11, 64, 3, 1, {1, 1}, {1, 1, 1, 1}, {1, 1}},
                            ConvCase{2, 7, 10, 12, 50, 3, 1, {2, 2}, {1, 0, 2, 1}, {1, 1}}}) {
    std::mt19937 rng(c.C * 31 + c.M);
    std::vector<int8_t> w(static_cast<size_t>(c.M * (c.C / c.group) * c.k * c.k));
    for (auto& v : w) v = static_cast<int8_t>(static_cast<int>(rng() % 255) - 127);
    const auto scale = uniform(c.M, 0.001f, 0.01f, 3), bias = uniform(c.M, -1, 1, 4);
    const auto x = uniform(static_cast<size_t>(c.N) * c.C * c.H * c.W, -1.5f, 2.5f, 5);
    const Bytes model = int8ConvModel(c, w, scale, bias, c.C / c.group);
    const auto got = runModel(model, {{"x", x}}, "y", 2);
    float lo = 0, hi = 0;
    for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
    std::vector<float> want, bound;
    floatConv(c, x, w, scale, bias, (hi - lo) / 255.0f, want, bound);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) ASSERT_LE(std::fabs(got[i] - want[i]), bound[i]) << i;

    setInt8ScalarOnly(true);
    const auto scalar = runModel(model, {{"x", x}}, "y", 2);
    setInt8ScalarOnly(false);
    EXPECT_EQ(scalar, got) << "the dot-product and scalar paths must agree (vnni here: " << int8VnniAvailable() << ")";

    const auto zeros = runModel(model, {{"x", std::vector<float>(x.size(), 0.0f)}}, "y");
    for (size_t i = 0; i < zeros.size(); ++i) ASSERT_EQ(zeros[i], bias[(i / (zeros.size() / c.N / c.M)) % c.M]);
  }
}

// A 1x1 identity convolution returns each activation as quantised:
// (clamp(nearbyint(x / scale) + zp, 0, 255) - zp) * scale, value for value,
// whichever way the channels are quantised (four at a time or one by one).
TEST(CustomOps, Int8ConvQuantisesExactly) {
  for (int C : {4, 8, 5}) {
    const ConvCase c{1, C, 3, 11, C, 1, 1, {1, 1}, {0, 0, 0, 0}, {1, 1}};
    std::vector<int8_t> w(static_cast<size_t>(C * C), 0);
    for (int m = 0; m < C; ++m) w[static_cast<size_t>(m * C + m)] = 1;
    const std::vector<float> ones(C, 1.0f), zeros(C, 0.0f);
    auto x = uniform(static_cast<size_t>(C * 3 * 11), -0.7f, 1.9f, 11);
    x[3] = 0.0f;
    x[5] = -0.7f;
    float lo = 0, hi = 0;
    for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
    x[7] = NAN;  // quantises to the zero point: 0 out, on both paths
    const auto got = runModel(int8ConvModel(c, w, ones, zeros, C), {{"x", x}}, "y", 2);
    setInt8ScalarOnly(true);
    EXPECT_EQ(runModel(int8ConvModel(c, w, ones, zeros, C), {{"x", x}}, "y", 2), got);
    setInt8ScalarOnly(false);
    x[7] = 0.0f;
    const float scale = (hi - lo) / 255.0f;
    const int zp = static_cast<int>(std::clamp(std::nearbyint(-lo / scale), 0.0f, 255.0f));
    ASSERT_EQ(got.size(), x.size());
    for (size_t i = 0; i < x.size(); ++i) {
      const float q = std::clamp(std::nearbyint(x[i] / scale) + static_cast<float>(zp), 0.0f, 255.0f);
      const float want = static_cast<float>(static_cast<int32_t>(q) - zp) * (scale * 1.0f) + 0.0f;
      ASSERT_EQ(got[i], want) << "C=" << C << " value " << i;
    }
  }
}

TEST(CustomOps, Int8ConvRefusesInconsistentShapes) {
  const ConvCase c{1, 6, 8, 8, 4, 3, 2, {1, 1}, {1, 1, 1, 1}, {1, 1}};
  const std::vector<int8_t> w(4 * 3 * 9, 1);
  const std::vector<float> s4(4, 0.01f), b4(4, 0.0f), s3(3, 0.01f);
  const std::vector<float> x(6 * 64, 0.5f);
  auto err = [&](const Bytes& m) {
    try {
      runModel(m, {{"x", x}}, "y");
    } catch (const Ort::Exception& e) {
      return std::string(e.what());
    }
    return std::string("(ran)");
  };
  EXPECT_NE(err(int8ConvModel(c, std::vector<int8_t>(4 * 2 * 9, 1), s4, b4, 2))
                .find("input channels 6 != group 2 x weight dimension 1 (2)"),
            std::string::npos);
  ConvCase odd = c;
  odd.M = 3;
  EXPECT_NE(err(int8ConvModel(odd, std::vector<int8_t>(3 * 3 * 9, 1), s3, std::vector<float>(3, 0.0f), 3))
                .find("output channels 3 not divisible by group 2"),
            std::string::npos);
  EXPECT_NE(err(int8ConvModel(c, w, s3, b4, 3)).find("wScale has 3 and bias 4 values for 4 output channels"), std::string::npos);
  ConvCase tiny = c;
  tiny.pads = {0, 0, 0, 0};
  tiny.dilations = {5, 5};
  EXPECT_NE(err(int8ConvModel(tiny, w, s4, b4, 3)).find("non-positive output size"), std::string::npos);
  for (auto [pads, dilations] : {std::pair<std::vector<int64_t>, std::vector<int64_t>>{{1, 1, 1, 1}, {int64_t{1} << 62, 1}},
                                 {{int64_t{1} << 62, 0, 0, 0}, {1, 1}}, {{-1, 0, 0, 0}, {1, 1}}}) {
    ConvCase absurd = c;
    absurd.pads = pads;
    absurd.dilations = dilations;
    EXPECT_NE(err(int8ConvModel(absurd, w, s4, b4, 3)).find("strides, dilations and group must lie in 1..65536"),
              std::string::npos);
  }
  EXPECT_EQ(err(int8ConvModel(c, w, s4, b4, 3)), "(ran)");
}

}  // namespace
}  // namespace le
