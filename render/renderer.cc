#include "render/renderer.h"

#include <onnxruntime_cxx_api.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/api.h"
#include "core/bundle.h"
#include "core/manifest.h"
#include "core/ort.h"
#include "core/page_buffer.h"
#include "driver/cursor.h"
#include "identity/identity.h"
#include "kernels/pool.h"
#include "render/custom_ops.h"
#include "render/int8_conv.h"
#include "render/rewrites.h"
#include "core/log.h"
#include "tessera/geometry.h"
#include "core/thread_name.h"

namespace le {
namespace {

constexpr const char* kDash = "\xE2\x80\x94";
constexpr size_t kPooledElems = 65536, kFsElems = 262144;

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

}  // namespace

// Mapped when first written: a stream opened on a loaded avatar waits for no
// zero-fill of megabytes.
struct Director::RunInputs {
  PageBuffer<float> pooled, p, fs;
  std::vector<float> kd, ks, lip;
  // The crops of a run whose caller takes them before the set goes back.
  PageBuffer<float> out;
};

struct Director::Impl {
  std::string ep;
  Ort::SessionOptions sessionOptions;
  std::unique_ptr<Ort::Session> session;
  bool profiling = false;
  // Every stream's runs, for the profile's report.
  std::atomic<int64_t> runs{0}, runNs{0};
  int32_t batch = 0;
  int32_t crop = 0;
  bool featSynth = false;
  std::string note;
  std::string rewrites;  // the load-time rewrites applied, for reports
  int threads = 1;
  std::string modelKey, graphPath;
  // Built from the bundle's lip template; bound when the rewrite took.
  std::unique_ptr<tessera::LipContour> lip;
  bool lipBound = false;
  bool narrow = false;  // every Conv under 8 channels: no NCHWc layout (CPU)
  bool fuse = false;    // runs of element-wise nodes become one node each (CPU)
  size_t fused = 0;     // nodes those runs became
  // Runs of the graph at once, over every stream on this director, and the
  // input sets they fill.
  ort::RunGate gate;
  std::unique_ptr<LeasePool<RunInputs>> inputs;
  // The source cone split off (null prep: the graph runs whole), and the
  // slots its outputs live in, least recently used first to be refilled.
  std::unique_ptr<Ort::Session> prep;
  std::string boundaryName;
  int64_t boundaryDims[4] = {0, 0, 0, 0};
  std::mutex coneMu;
  std::condition_variable coneCv;
  std::vector<std::unique_ptr<ConeSlot>> cones;
  size_t coneCap = 2;
  uint64_t coneClock = 0;

  void buildSession(const std::string& requestedEp, const Manifest& m, const RenderSettings& rs, bool hasPrior);
  // Splits the source cone off `bytes` into `prep` and the per-frame session;
  // false with the reason when it does not apply.
  bool hoist(const std::vector<uint8_t>& bytes, std::string& reason);
};

static void noNchwc(Ort::SessionOptions& options) {
  options.AddConfigEntry("optimization.disable_specified_optimizers", "NchwcTransformer");
}

bool Director::Impl::hoist(const std::vector<uint8_t>& bytes, std::string& reason) {
  std::string name;
  const int count = findSourceConeBoundary(bytes, name);
  if (count != 1) {
    reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(count);
    return false;
  }
  std::vector<uint8_t> prepBytes, perFrame;
  if (!buildSourceConePrep(bytes, name, prepBytes, reason)) return false;
  ort::Settings one;
  one.threads = 1;
  Ort::SessionOptions prepOptions = ort::options(one);
  registerGridSampleFast(prepOptions);
  registerInt8ConvVNNI(prepOptions);
  if (narrow) noNchwc(prepOptions);
  auto p = ort::open(prepBytes.data(), prepBytes.size(), graphPath + " (source cone)", prepOptions);
  const auto in = p->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  if (in.size() != 4 || in[0] != 1) {
    reason = "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]);
    return false;
  }
  const auto out = p->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  int64_t elems = out.size() == 4 ? 1 : 0;
  for (int64_t d : out) elems *= d > 0 ? d : 0;
  if (elems == 0) {
    reason = "boundary shape is not static";
    return false;
  }
  if (!buildSourceConePerFrame(bytes, name, out.data(), 4, perFrame, reason)) return false;
  fused = fuse ? fuseElementwise(perFrame) : 0;
  session = ort::open(perFrame.data(), perFrame.size(), graphPath, sessionOptions);
  prep = std::move(p);
  boundaryName = name;
  std::copy(out.begin(), out.end(), boundaryDims);
  log::printf(log::kInfo,
              "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched per "
              "SOURCE FRAME on one spare core (%s)\n",
              name.c_str(), static_cast<long long>(out[0]), static_cast<long long>(out[1]),
              static_cast<long long>(out[2]), static_cast<long long>(out[3]), modelKey.c_str());
  return true;
}

void Director::Impl::buildSession(const std::string& requestedEp, const Manifest& m, const RenderSettings& rs,
                                   bool hasPrior) {
  prep.reset();
  boundaryName.clear();
  const bool cpu = requestedEp.empty();
  if (startsWith(requestedEp, "xnnpack"))
    fail("Renderer: ep '" + requestedEp + "' is REFUSED. This renderer rewrites its graph to Corvalux custom-domain nodes "
         "(com.corvalux::GridSampleFast, and com.corvalux::WarpDirector wherever LE_WARP_NODE is on), and ORT's XNNPACK "
         "execution provider SEGFAULTS while partitioning a graph that carries them " + kDash + " measured 2026-09-15 on "
         "a published ostrane2-android AAR, null deref inside libonnxruntime.so at session create, on both a "
         "door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so it cannot be "
         "caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes.");
  if (!cpu && !startsWith(requestedEp, "coreml")) fail("Renderer: unknown ep '" + requestedEp + "'");
  ort::Settings settings;
  settings.threads = threads;
  settings.ep = requestedEp;
  if (!cpu) {
    const std::string version = Ort::GetVersionString();
    settings.cacheDir = m.dir + "/.coreml_cache/ort" + (version.empty() ? std::string("unknown") : version);
  }
  settings.profile = rs.profile;
  settings.spin = rs.spin;
  profiling = !settings.profile.empty();
  sessionOptions = ort::options(settings);

  bool gsRewrite = true;
  const bool gsFast = rs.gsFast;
  if (!gsFast) {
    registerInt8ConvVNNI(sessionOptions);
    gsRewrite = false;
  } else {
    registerGridSampleFast(sessionOptions);
    registerInt8ConvVNNI(sessionOptions);
    gsRewrite = rs.gsRewrite;
    if (!gsRewrite && cpu)
      log::printf(log::kWarn,
                  "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvalux::GridSampleFast rewrite DISABLED (%s); "
                  "the custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard "
                  "bundle now runs ORT's own GridSample.\n",
                  modelKey.c_str());
  }

  if (!isRegularFile(graphPath)) fail("Renderer: cannot open " + graphPath);
  const std::string text = readWholeFile(graphPath, ort::kMaxModelBytes);
  std::vector<uint8_t> bytes(text.begin(), text.end());
  if (!gsFast && graphHasBakedGridSampleFast(bytes))
    fail("Renderer: LE_GS_FAST=0 (or CORVALUX_OSTRANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + graphPath +
         " has com.corvalux::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so "
         "there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a "
         "registered function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact itself is "
         "non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since INFERENCE_STANDARDIZATION.md #1), "
         "or unset the flag to load this one.");

  bool warped = false;
  size_t warpCount = 0, flowCount = 0;
  if (rs.warpNode && cpu) {
    std::string reason;
    warpCount = rewriteWarpBlockToCustomOp(bytes, reason);
    warped = warpCount > 0;
    // The grid's identity-plus-flow sum moves into the node, which reads the
    // flow planes as they are: no interleaving copy in between.
    if (warped) flowCount = absorbWarpFlow(bytes);
    if (warped) {
      if (!gsFast) registerWarpDirector(sessionOptions);
      log::printf(log::kInfo, "[le] director warp -> com.corvalux::WarpDirector (%zu nodes removed, the source cone with "
                  "them)\n", warpCount);
    } else {
      log::printf(log::kWarn, "[le] director warp NOT moved to one node (%s) %s the graph loads exactly as it did before\n",
                  reason.empty() ? "no reason given" : reason.c_str(), kDash);
    }
  }
  const size_t gsCount = cpu && gsRewrite ? rewriteGridSampleToFast(bytes) : 0;
  const size_t blendCount = normaliseStudentBlend(bytes);
  // On the CPU the engine's own separable kernel replaces the Resize; other
  // providers get standard operators they can claim.
  const bool headCustom = cpu && gsFast;
  fuse = cpu && rs.fuse;
  fused = 0;
  if (fuse && !gsFast && !warped) registerElementwise(sessionOptions);
  const size_t headCount = rewriteHeadCubicResize(bytes, headCustom);
  lipBound = false;
  if (lip) {
    std::string reason;
    int32_t canvas = 0, graphBatch = 0;
    lipBound = rewriteBindLipContour(bytes, reason, canvas, graphBatch);
    if (lipBound && canvas != crop)
      fail("Renderer: the director's compose canvas is " + std::to_string(canvas) +
           " and this bundle's manifest declares crop " + std::to_string(crop) +
           " " + kDash + " refusing to bind a lip contour rasterised on the wrong canvas");
    if (!lipBound)
      log::printf(log::kWarn, "[le] !!! lip contour NOT bound to the compose alpha (%s): %s %s this session serves the "
                  "graph's own ELLIPSE\n",
                  modelKey.c_str(), reason.empty() ? "no reason given" : reason.c_str(), kDash);
  } else {
    log::printf(log::kWarn,
                "[le] !!! compose alpha: ELLIPSE (%s) %s this bundle carries no %s, so the director generates the "
                "over-covering elliptical region the contour replaces. BACKFILL IT: "
                "models/ostrane-2/tools/carry_lip_template_fleet\n",
                modelKey.c_str(), kDash, "lip_template.v1.json");
  }
  // The runtime's blocked NCHWc layout pads a convolution's channels to its
  // block of 8 or 16 and reorders around it: for a graph of 3-channel
  // convolutions that costs more than the convolutions themselves.
  narrow = cpu && convsAllNarrow(bytes, 8);
  if (narrow) {
    noNchwc(sessionOptions);
    log::printf(log::kInfo, "[le] every convolution of %s has fewer than 8 channels: the NCHWc layout is off\n",
                modelKey.c_str());
  }
  // The source cone: what depends only on the source frame runs once per
  // frame in a session of its own.
  const std::string units = requestedEp.size() > 7 ? requestedEp.substr(7) : "all";
  std::string hoistReason;
  if (warped) {
    log::printf(log::kInfo, "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone %s there is nothing "
                "left to hoist\n", modelKey.c_str(), kDash);
  } else if (!cpu && (units == "all" || units == "gpu")) {
    log::printf(log::kInfo,
                "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU and "
                "the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) %s the "
                "cone stays in the graph\n",
                modelKey.c_str(), units.c_str(), kDash);
  } else if (rs.hoist && hasPrior && !bytes.empty()) {
    try {
      if (!hoist(bytes, hoistReason)) prep.reset();
    } catch (const std::exception& e) {
      hoistReason = e.what();
      prep.reset();
      session.reset();
    }
    if (!prep && !hoistReason.empty())
      log::printf(log::kInfo, "[le] source-cone hoist NOT applied (%s): %s\n", modelKey.c_str(), hoistReason.c_str());
  }
  if (gsCount)
    log::printf(log::kInfo, "[le] std GridSample -> com.corvalux::GridSampleFast load-time rewrite: %zu node(s) (%s)\n", gsCount,
                modelKey.c_str());
  if (blendCount)
    log::printf(log::kInfo,
                "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) %s a pre-2026-09-11 "
                "student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit that includes the GPU\n",
                blendCount, modelKey.c_str(), kDash);
  if (headCount && headCustom)
    log::printf(log::kInfo,
                "[le] head cubic x2 -> com.corvalux::CubicUp2x load-time rewrite: %zu node(s) (%s) %s separable, the "
                "same filter to fp32 round-off\n",
                headCount, modelKey.c_str(), kDash);
  else if (headCount)
    log::printf(log::kInfo,
                "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) (%s) %s "
                "the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class EP and no "
                "CoreML/NNAPI EP can claim it\n",
                headCount, modelKey.c_str(), kDash);
  if (lipBound)
    log::printf(log::kInfo,
                "[le] compose alpha: LIP CONTOUR (%s) %s Min(a, lip_delivery) bound at load, %d verts, feather %.1f px; "
                "the graph's ellipse is not reachable in this session\n",
                modelKey.c_str(), kDash, lip->vertices(), static_cast<double>(lip->feather()));
  if (!prep && fuse) fused = fuseElementwise(bytes);
  if (fused)
    log::printf(log::kInfo, "[le] element-wise runs -> com.corvalux::Elementwise: %zu node(s) (%s)\n", fused,
                modelKey.c_str());
  rewrites.clear();
  auto noteRewrite = [&](size_t n, const char* what) {
    if (!n) return;
    if (!rewrites.empty()) rewrites += ", ";
    rewrites += std::string(what) + " x" + std::to_string(n);
  };
  noteRewrite(warped ? 1 : 0, "warp block->WarpDirector");
  noteRewrite(flowCount ? 1 : 0, "grid sum->WarpDirectorFlow");
  noteRewrite(gsCount, "GridSample->GridSampleFast");
  noteRewrite(blendCount, "blend MatMul->Gemm");
  noteRewrite(headCount, headCustom ? "head cubic Resize->CubicUp2x" : "head cubic Resize->Pad+Conv5x5+DepthToSpace");
  noteRewrite(lipBound ? 1 : 0, "compose alpha Min(a, lip_delivery)");
  noteRewrite(prep ? 1 : 0, "source cone hoisted");
  noteRewrite(fused, "element-wise->Elementwise");
  if (!prep) session = std::make_unique<Ort::Session>(ort::env(), bytes.data(), bytes.size(), sessionOptions);
}

Director::Director(const Manifest& m, const Identity& identity, const std::string& modelKey, int intraOpThreads,
                   const std::string& epRequest, const RenderSettings& settings)
    : impl_(std::make_unique<Impl>()) {
  Impl& I = *impl_;
  I.crop = m.crop;
  I.threads = intraOpThreads < 1 ? pool::threads() : intraOpThreads;
  I.modelKey = modelKey;
  I.graphPath = m.modelPath(modelKey);

  if (!m.lipTemplate.empty())
    I.lip = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(m.lipTemplate, m.crop));

  std::string ep = epRequest;
  if (ep == "neon" || (ep.empty() && settings.neon)) {
    log::printf(log::kWarn, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    ep.clear();
  }

  try {
    I.buildSession(ep, m, settings, identity.hasP());
  } catch (const std::exception& e) {
    if (!startsWith(ep, "coreml")) throw;
    log::printf(log::kWarn, "[le] CoreML EP session refused: %s %s falling back to the ORT CPU EP\n", e.what(), kDash);
    I.session.reset();
    ep.clear();
    I.buildSession(ep, m, settings, identity.hasP());
  }

  // Inputs: the graph family, the static batch and the keypoint contract.
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t nIn = I.session->GetInputCount();
  std::vector<std::string> names;
  for (size_t i = 0; i < nIn; ++i) {
    names.push_back(I.session->GetInputNameAllocated(i, alloc).get());
    if (names.back() == "fs_red") I.featSynth = true;
  }
  const std::string pooledName = I.featSynth ? "pooled" : "pooled64";
  const std::string kdName = I.featSynth ? "kd" : "kp_driving", ksName = I.featSynth ? "ks" : "kp_source";
  for (size_t i = 0; i < nIn; ++i) {
    const auto shape = I.session->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    if (names[i] == pooledName && shape.size() == 4 && shape[0] > 0) I.batch = static_cast<int32_t>(shape[0]);
  }
  if (I.batch < 1) fail(pooledName + " input not found / bad shape");
  for (size_t i = 0; i < nIn; ++i) {
    if (names[i] != kdName && names[i] != ksName) continue;
    const auto shape = I.session->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    if (shape.size() != 3) continue;
    const int64_t rows = shape[1];
    if (rows < 1 || rows == kHostKpRows) continue;
    const std::string extra =
        rows == 22 ? "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x "
                     "encoder's second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in "
                     "le/le_a2x.h, which nothing on this path calls yet), so it cannot drive this director. "
                   : "";
    fail("Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + I.graphPath + " " + kDash + " the graph declares " + names[i] +
         " with " + std::to_string(rows) + " keypoint rows, and this renderer feeds 21 (le::kHostKpRows, le/le.h). " +
         extra +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
         "host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to prevent it.");
  }

  if (I.featSynth) {
    if (!identity.hasFsRed()) fail("FeatSynth graph but bundle lacks fs_red.f16");
  } else if (!identity.hasP()) {
    fail(std::string("m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor "
                     "a P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would "
                     "be an offset from a null pointer ") +
         kDash + " a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.");
  }
  I.ep = ep.empty() ? "cpu" : ep;
  I.gate.limitTo(I.threads, I.ep == "cpu");
  // A slot for each run at once and one filled ahead; elsewhere as many as
  // the streams ask for.
  I.coneCap = I.ep == "cpu" ? static_cast<size_t>(I.gate.max()) + 1 : SIZE_MAX;
  I.inputs = std::make_unique<LeasePool<RunInputs>>(static_cast<size_t>(I.gate.max()));
  log::printf(log::kInfo, "[le] director ep=%s (%s)\n", I.ep.c_str(),
              ep.empty() ? "ORT CPU EP" : "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph");
}

Director::~Director() {
  Impl& I = *impl_;
  if (!I.profiling || !I.session) return;
  if (I.runs > 0)
    log::printf(log::kInfo, "[le_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", static_cast<long>(I.runs),
                static_cast<double>(I.runNs) * 1e-6 / static_cast<double>(I.runs));
  try {
    Ort::AllocatorWithDefaultOptions alloc;
    auto file = I.session->EndProfilingAllocated(alloc);
    log::printf(log::kInfo, "[le_ort_profile] %s\n", file.get());
  } catch (const std::exception& e) {
    log::printf(log::kWarn, "[le_ort_profile] FAILED: %s\n", e.what());
  }
}

int Director::batch() const { return impl_->batch; }
int Director::crop() const { return impl_->crop; }
bool Director::featSynth() const { return impl_->featSynth; }
const char* Director::ep() const { return impl_->ep.c_str(); }
const char* Director::note() const { return impl_->note.c_str(); }
const std::string& Director::graphPath() const { return impl_->graphPath; }
int Director::threads() const { return impl_->threads; }
int Director::peakRuns() const { return impl_->gate.peak(); }
const char* Director::family() const { return impl_->featSynth ? "FeatSynth" : "warp-prior"; }
const char* Director::rewrites() const { return impl_->rewrites.c_str(); }
const tessera::LipContour* Director::lip() const { return impl_->lipBound ? impl_->lip.get() : nullptr; }

void Director::run(const Ort::RunOptions& options, const Ort::IoBinding& binding) const {
  Impl& I = *impl_;
  I.gate.run([&] {
    const auto t0 = std::chrono::steady_clock::now();
    I.session->Run(options, binding);
    I.runNs += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
    ++I.runs;
  });
}

std::unique_ptr<Ort::IoBinding> Director::binding() const { return std::make_unique<Ort::IoBinding>(*impl_->session); }
LeasePool<Director::RunInputs>& Director::inputs() const { return *impl_->inputs; }
void Director::releaseInputs() const { impl_->inputs->trim(); }

bool Director::hoisted() const { return impl_->prep != nullptr; }
const std::string& Director::boundaryName() const { return impl_->boundaryName; }

// A slot of the source cone: "P_rgb" in, the boundary out, bound once.
struct Director::ConeSlot {
  int32_t frame = -1;    // the source frame whose boundary it holds; -1: none
  int32_t filling = -1;  // the source frame being filled into it
  int pins = 0;
  uint64_t used = 0;
  PageBuffer<float> p, boundary;
  Ort::Value pValue{nullptr}, value{nullptr};
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::RunOptions options;
};

Director::ConeSlot* Director::pinCone(int frame, bool wait, bool* filled) const {
  Impl& I = *impl_;
  std::unique_lock<std::mutex> lk(I.coneMu);
  for (;;) {
    bool pending = false;
    for (auto& c : I.cones) {
      if (c->frame == frame) {
        ++c->pins;
        c->used = ++I.coneClock;
        *filled = true;
        return c.get();
      }
      pending = pending || c->filling == frame;
    }
    if (!pending) {
      ConeSlot* best = nullptr;
      for (auto& c : I.cones)
        if (c->pins == 0 && (!best || c->used < best->used)) best = c.get();
      if (!best && I.cones.size() < I.coneCap) {
        auto c = std::make_unique<ConeSlot>();
        const int64_t* dims = I.boundaryDims;
        const size_t elems = static_cast<size_t>(dims[0] * dims[1] * dims[2] * dims[3]);
        const size_t pElems = static_cast<size_t>(3) * I.crop * I.crop;
        const int64_t pShape[4] = {1, 3, I.crop, I.crop};
        c->p.assign(pElems);
        c->boundary.assign(elems);
        auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        c->pValue = Ort::Value::CreateTensor<float>(mem, c->p.data(), pElems, pShape, 4);
        c->value = Ort::Value::CreateTensor<float>(mem, c->boundary.data(), elems, dims, 4);
        c->binding = std::make_unique<Ort::IoBinding>(*I.prep);
        c->binding->BindInput("P_rgb", c->pValue);
        c->binding->BindOutput(I.boundaryName.c_str(), c->value);
        I.cones.push_back(std::move(c));
        best = I.cones.back().get();
      }
      if (best) {
        best->frame = -1;
        best->filling = frame;
        ++best->pins;
        best->used = ++I.coneClock;
        *filled = false;
        return best;
      }
    }
    if (!wait) return nullptr;
    I.coneCv.wait(lk);
  }
}

void Director::fillCone(ConeSlot* slot, int frame, const std::function<void(float*)>& writeP) const {
  Impl& I = *impl_;
  struct Done {
    Impl& I;
    ConeSlot* slot;
    int frame;
    bool ok = false;
    ~Done() {
      {
        std::lock_guard<std::mutex> lk(I.coneMu);
        slot->filling = -1;
        slot->frame = ok ? frame : -1;
      }
      I.coneCv.notify_all();
    }
  } done{I, slot, frame};
  writeP(slot->p.data());
  I.prep->Run(slot->options, *slot->binding);
  done.ok = true;
}

const Ort::Value& Director::coneValue(const ConeSlot* slot) const { return slot->value; }

void Director::unpinCone(ConeSlot* slot) const {
  {
    std::lock_guard<std::mutex> lk(impl_->coneMu);
    --slot->pins;
  }
  impl_->coneCv.notify_all();
}

int Director::coneSlots() const {
  std::lock_guard<std::mutex> lk(impl_->coneMu);
  return static_cast<int>(impl_->cones.size());
}

struct Renderer::Impl {
  std::shared_ptr<const Director> director;
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::RunOptions runOptions;
  double runMs = 0;
  int64_t runs = 0;
  const Identity* identity = nullptr;
  int32_t batch = 0;
  int32_t crop = 0;
  uint64_t pElems = 0;
  bool featSynth = false;
  // The crops of render() without a destination, mapped when first written.
  PageBuffer<float> outBuf;
  // The lip contour of each item's driving keypoints, when the graph binds
  // one (this stream's copy: rasterising uses scratch buffers).
  std::unique_ptr<tessera::LipContour> lip;
  // This stream's cursor over a warp prior that plays from a video (the
  // prefetch thread and walkPrior both move it).
  std::mutex priorMutex;
  std::unique_ptr<DriverCursor> prior;

  // The hoisted source cone: the director's slots, the next source frame
  // predicted from the playback filled ahead by the prefetch thread.
  bool hoisted = false;
  std::string boundaryName;
  std::thread prefetchThread;
  std::mutex mutex;
  std::condition_variable cv;
  int32_t requestFrame = -1;
  bool stop = false;
  std::string prepError;
  int32_t lastFrame = -1, step = 1;
  bool wrap = false;
  Renderer::RingStats stats;

  // Converts source frame si's warp prior into `dst`.
  void convertP(int si, float* dst) {
    if (!identity->usesPriorVideo()) {
      if (!identity->hasPTable()) fail("render: no warp prior row for frame " + std::to_string(si));
      identity->pRow(si, dst);
      return;
    }
    std::lock_guard<std::mutex> lock(priorMutex);
    if (!prior) prior = identity->openPrior();
    int got = -1;
    const auto* p = reinterpret_cast<const uint16_t*>(prior->pullAt(si, &got));
    if (!p) fail("render: no warp prior row for frame " + std::to_string(si));
    halfToFloat(p, dst, pElems);
  }

  ~Impl() { stopPrefetch(); }
  Director::ConeSlot* acquire(int frame);
  void requestNext(int frame);
  void prefetchLoop();
  void stopPrefetch();
};

// The director's slot holding source frame `frame`'s boundary, pinned.
Director::ConeSlot* Renderer::Impl::acquire(int frame) {
  auto failed = [this] {
    // After this stream's prefetch in flight, which may be filling this
    // very frame, and whose end frees the next request.
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return requestFrame < 0 || stop || !prepError.empty(); });
    return prepError;
  };
  auto sticky = [](const std::string& error) {
    fail(std::string("Renderer: the hoisted source cone failed in ORT ") + kDash + " " + error);
  };
  if (const std::string e = failed(); !e.empty()) sticky(e);
  bool filled = false;
  Director::ConeSlot* slot = director->pinCone(frame, true, &filled);
  if (const std::string e = failed(); !e.empty()) {
    director->unpinCone(slot);
    sticky(e);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++(filled ? stats.hits : stats.synchronous);
  }
  if (filled) return slot;
  try {
    director->fillCone(slot, frame, [&](float* p) { convertP(frame, p); });
  } catch (const std::exception& e) {
    director->unpinCone(slot);
    std::string error = *e.what() ? e.what() : "unknown error";
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (prepError.empty()) prepError = error;
      error = prepError;
    }
    sticky(error);
  }
  return slot;
}

// Predicts the source frame after `frame` from the playback seen so far
// (stepping either way, bouncing at the ends until a wrap from the last
// frame to the first is seen) and asks the prefetch thread for it.
void Renderer::Impl::requestNext(int frame) {
  const int n = identity->nt;
  const int previous = lastFrame;
  lastFrame = frame;
  if (n < 2) return;
  if (previous >= 0 && (frame - previous == 1 || frame - previous == -1)) step = frame - previous;
  if (previous == n - 1 && frame == 0) wrap = true;
  int next = frame + step;
  if (!wrap) next = next >= n ? n - 2 : next < 0 ? 1 : next;
  else next = ((next % n) + n) % n;
  std::lock_guard<std::mutex> lock(mutex);
  if (requestFrame >= 0 || !prepError.empty()) return;
  requestFrame = next;
  cv.notify_one();
}

void Renderer::Impl::prefetchLoop() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (stop) return;
    while (requestFrame >= 0) {
      // Nothing to do when a slot already holds the frame or is being
      // filled with it; skipped when every slot is pinned.
      const int frame = requestFrame;
      lock.unlock();
      bool filled = false;
      std::string error;
      Director::ConeSlot* slot = director->pinCone(frame, false, &filled);
      if (slot && !filled) {
        try {
          director->fillCone(slot, frame, [&](float* p) { convertP(frame, p); });
        } catch (const std::exception& e) {
          error = *e.what() ? e.what() : "unknown error";
        }
      }
      if (slot) director->unpinCone(slot);
      lock.lock();
      if (slot && !filled) {
        if (error.empty()) ++stats.prefetched;
        else if (prepError.empty()) prepError = error;
      }
      requestFrame = -1;
      cv.notify_all();
      if (stop) return;
    }
    cv.wait(lock);
  }
}

void Renderer::Impl::stopPrefetch() {
  if (!prefetchThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  cv.notify_all();
  prefetchThread.join();
}

Renderer::Renderer(const Manifest& m, const Identity& identity, const std::string& modelKey, int intraOpThreads,
                   const std::string& ep, const RenderSettings& settings)
    : Renderer(std::make_shared<const Director>(m, identity, modelKey, intraOpThreads, ep, settings), identity) {}

Renderer::Renderer(std::shared_ptr<const Director> director, const Identity& identity)
    : impl_(std::make_unique<Impl>()) {
  Impl& I = *impl_;
  I.director = std::move(director);
  I.identity = &identity;
  I.batch = I.director->batch();
  I.crop = I.director->crop();
  I.featSynth = I.director->featSynth();
  const size_t B = static_cast<size_t>(I.batch), C = static_cast<size_t>(I.crop);
  I.pElems = 3 * C * C;
  I.outBuf.assign(3 * C * C * B);
  I.binding = I.director->binding();
  if (I.director->hoisted()) {
    I.hoisted = true;
    I.boundaryName = I.director->boundaryName();
    I.prefetchThread = std::thread([&I] {
      nameThisThread("le-prefetch");
      I.prefetchLoop();
    });
  }
  if (const tessera::LipContour* lip = I.director->lip()) I.lip = std::make_unique<tessera::LipContour>(*lip);
}

Renderer::~Renderer() = default;

const float* Renderer::render(const int* si, const float* kpSource, const float* kpDriving, int n) {
  render(si, kpSource, kpDriving, n, impl_->outBuf.data());
  return impl_->outBuf.data();
}

void Renderer::render(const int* si, const float* kpSource, const float* kpDriving, int n, float* out) {
  if (!out) fail("render: bad n");
  renderRun(si, kpSource, kpDriving, n, out, nullptr);
}

void Renderer::render(const int* si, const float* kpSource, const float* kpDriving, int n,
                      const std::function<void(const float*)>& take) {
  renderRun(si, kpSource, kpDriving, n, nullptr, &take);
}

void Renderer::renderRun(const int* si, const float* kpSource, const float* kpDriving, int n, float* out,
                         const std::function<void(const float*)>* take) {
  Impl& I = *impl_;
  if (n < 1 || n > I.batch || !si || !kpSource || !kpDriving) fail("render: bad n");
  for (int j = 0; j < I.batch; ++j) {
    const int item = j < n ? j : n - 1;
    if (si[item] < 0 || si[item] >= I.identity->nt) fail("render: source frame out of range");
  }
  // One NaN or infinity would turn the whole crop into NaN.
  for (size_t k = 0; k < static_cast<size_t>(n) * 63; ++k)
    if (!std::isfinite(kpSource[k]) || !std::isfinite(kpDriving[k]))
      fail("render: non-finite keypoint value in item " + std::to_string(k / 63));

  // The run's inputs, filled and bound for this run only; the crops go
  // straight into `out`.
  auto lease = I.director->inputs().take();
  Director::RunInputs& R = *lease;
  const size_t B = static_cast<size_t>(I.batch), plane = static_cast<size_t>(I.crop) * I.crop;
  if (R.pooled.size() != kPooledElems * B) R.pooled.assign(kPooledElems * B);
  R.kd.resize(63 * B);
  R.ks.resize(63 * B);
  if (I.lip) R.lip.resize(B * plane);
  if (!out) {
    if (R.out.size() != 3 * plane * B) R.out.assign(3 * plane * B);
    out = R.out.data();
  }
  const int64_t b = I.batch, c = I.crop;
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value values[7];
  size_t bound = 0;
  auto bind = [&](const char* name, float* data, size_t count, std::initializer_list<int64_t> shape, bool output) {
    values[bound] = Ort::Value::CreateTensor<float>(mem, data, count, shape.begin(), shape.size());
    if (output) I.binding->BindOutput(name, values[bound]);
    else I.binding->BindInput(name, values[bound]);
    ++bound;
  };
  auto bindCommon = [&] {
    if (I.featSynth) {
      bind("fs_red", R.fs.data(), R.fs.size(), {b, 64, 64, 64}, false);
      bind("pooled", R.pooled.data(), R.pooled.size(), {b, 64, 32, 32}, false);
      bind("kd", R.kd.data(), R.kd.size(), {b, 21, 3}, false);
      bind("ks", R.ks.data(), R.ks.size(), {b, 21, 3}, false);
    } else {
      bind("pooled64", R.pooled.data(), R.pooled.size(), {b, 64, 32, 32}, false);
      if (!I.hoisted) bind("P_rgb", R.p.data(), R.p.size(), {b, 3, c, c}, false);
      bind("kp_driving", R.kd.data(), R.kd.size(), {b, 21, 3}, false);
      bind("kp_source", R.ks.data(), R.ks.size(), {b, 21, 3}, false);
    }
    if (I.lip) bind("lip_delivery", R.lip.data(), R.lip.size(), {b, 1, c, c}, false);
    bind("rgb", out, 3 * plane * B, {b, 3, c, c}, true);
  };
  auto run = [&] {
    const auto t0 = std::chrono::steady_clock::now();
    I.director->run(I.runOptions, *I.binding);
    I.runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ++I.runs;
  };
  if (I.hoisted) {
    // Batch 1: the boundary of the source frame from the ring, the rest as
    // below, then the next frame's boundary asked for ahead of the run.
    Director::ConeSlot* slot = I.acquire(si[0]);
    struct Unpin {
      const Director& d;
      Director::ConeSlot* slot;
      ~Unpin() { d.unpinCone(slot); }
    } unpin{*I.director, slot};
    I.binding->BindInput(I.boundaryName.c_str(), I.director->coneValue(slot));
    I.identity->pooled64Row(si[0], R.pooled.data());
    std::memcpy(R.ks.data(), kpSource, 63 * sizeof(float));
    std::memcpy(R.kd.data(), kpDriving, 63 * sizeof(float));
    if (I.lip) I.lip->contourF32Canvas(kpDriving, R.lip.data());
    bindCommon();
    I.requestNext(si[0]);
    run();
    if (take) (*take)(out);
    return;
  }
  if (I.featSynth && R.fs.size() != kFsElems * B) R.fs.assign(kFsElems * B);
  if (!I.featSynth && R.p.size() != I.pElems * B) R.p.assign(I.pElems * B);
  for (int j = 0; j < I.batch; ++j) {
    const int item = j < n ? j : n - 1;
    float* pooled = &R.pooled[static_cast<size_t>(j) * kPooledElems];
    if (j < n) {
      I.identity->pooled64Row(si[j], pooled);
      if (I.featSynth) {
        I.identity->fsRedRow(si[j], &R.fs[static_cast<size_t>(j) * kFsElems]);
      } else {
        I.convertP(si[j], &R.p[static_cast<size_t>(j) * I.pElems]);
      }
    } else {
      // Filler slots repeat the last real item.
      std::memcpy(pooled, &R.pooled[static_cast<size_t>(n - 1) * kPooledElems], kPooledElems * sizeof(float));
      if (I.featSynth)
        std::memcpy(&R.fs[static_cast<size_t>(j) * kFsElems], &R.fs[static_cast<size_t>(n - 1) * kFsElems],
                    kFsElems * sizeof(float));
      else
        std::memcpy(&R.p[static_cast<size_t>(j) * I.pElems], &R.p[static_cast<size_t>(n - 1) * I.pElems],
                    I.pElems * sizeof(float));
    }
    std::memcpy(&R.ks[static_cast<size_t>(j) * 63], kpSource + static_cast<size_t>(item) * 63, 63 * sizeof(float));
    std::memcpy(&R.kd[static_cast<size_t>(j) * 63], kpDriving + static_cast<size_t>(item) * 63, 63 * sizeof(float));
    if (I.lip) {
      if (j < n) I.lip->contourF32Canvas(kpDriving + static_cast<size_t>(j) * 63, &R.lip[j * plane]);
      else std::memcpy(&R.lip[j * plane], &R.lip[static_cast<size_t>(n - 1) * plane], plane * sizeof(float));
    }
  }
  bindCommon();
  run();
  if (take) (*take)(out);
}

int Renderer::batch() const { return impl_->batch; }
const char* Renderer::ep() const { return impl_->director->ep(); }
const char* Renderer::backend() const { return "ort"; }
const char* Renderer::directorNote() const { return impl_->director->note(); }
double Renderer::runMs() const { return impl_->runMs; }
int64_t Renderer::runs() const { return impl_->runs; }
const char* Renderer::family() const { return impl_->director->family(); }
const char* Renderer::rewrites() const { return impl_->director->rewrites(); }
const std::shared_ptr<const Director>& Renderer::director() const { return impl_->director; }

bool Renderer::hoisted() const { return impl_->hoisted; }

Renderer::RingStats Renderer::ringStats() const {
  // After the prefetch in flight, if any: the figures then depend only on
  // the frames asked for, not on how far that thread has got.
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->cv.wait(lock, [this] { return impl_->requestFrame < 0 || impl_->stop || !impl_->prepError.empty(); });
  return impl_->stats;
}

void Renderer::walkPrior(int si) {
  Impl& I = *impl_;
  if (!I.identity->usesPriorVideo()) return;
  std::lock_guard<std::mutex> lock(I.priorMutex);
  if (!I.prior) I.prior = I.identity->openPrior();
  int got = -1;
  I.prior->pullAt(si, &got);
}

}  // namespace le
