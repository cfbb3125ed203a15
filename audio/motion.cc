#include "audio/motion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "audio/a2x_meta.h"
#include "audio/shared_w2v.h"
#include "audio/window.h"
#include "core/bundle.h"
#include "core/files.h"
#include "core/finite.h"
#include "core/model_cache.h"
#include "core/ort.h"
#include "kernels/pool.h"

namespace le::motion {
namespace {

constexpr int kMaxRows = 100000;  // nt and n_emo beyond this are refused
constexpr int kLead = 6912 - 4480;  // samples of a window before its 4480 new ones
constexpr int kLip[] = {6, 12, 14, 17, 19, 20};
constexpr float kMaxBridge = 100.0f;  // s_bridge beyond this is no face
constexpr float kMaxScale = 1000.0f;  // keypoint scales and translations

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

std::string readText(const std::string& path) { return le::readWholeFile(path, 1u << 20); }

// Exactly `expected` finite floats.
std::vector<float> readExact(const std::string& path, size_t expected) {
  std::vector<float> v = le::readExactFloats(path, expected);
  le::requireFinite(v.data(), v.size(), path);
  return v;
}

// The number after "key" and ':'.
double metaNumber(const std::string& text, const char* key, bool required, double dflt) {
  if (le::a2x::metaKeyCount(text, key) > 1)
    fail(std::string("meta.json: the key \"") + key + "\" appears more than once");
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t k = text.find(quoted);
  const size_t colon = k == std::string::npos ? k : text.find(':', k + quoted.size());
  if (colon == std::string::npos) {
    if (required) fail(std::string("meta.json: missing ") + key);
    return dflt;
  }
  const std::string rest = text.substr(colon + 1, 64);
  char* end = nullptr;
  const double v = std::strtod(rest.c_str(), &end);
  // Every value is used as a float: one beyond its range is as bad as none.
  if (end == rest.c_str() || !std::isfinite(v) || std::fabs(v) > 3.0e38) fail(std::string("meta.json: bad ") + key);
  return v;
}

int metaCount(const std::string& text, const char* key) {
  const double v = metaNumber(text, key, true, 0);
  if (v != std::floor(v) || v < 1 || v > kMaxRows)
    fail(std::string("meta.json: bad ") + key + " (a whole number from 1 to " + std::to_string(kMaxRows) + ")");
  return static_cast<int>(v);
}

bool isLip(int k) { return std::find(std::begin(kLip), std::end(kLip), k) != std::end(kLip); }

}  // namespace

Meta parseMeta(const std::string& text) {
  Meta m;
  m.nt = metaCount(text, "nt");
  if (metaCount(text, "n_src") != m.nt) fail("le_motion: n_src != nt unsupported");
  m.nEmo = metaCount(text, "n_emo");
  m.sBridge = static_cast<float>(metaNumber(text, "s_bridge", true, 0));
  m.deltaPitch = static_cast<float>(metaNumber(text, "delta_pitch", false, 0.0));
  // Both scale or turn every keypoint: beyond these a face leaves the crop.
  if (std::fabs(m.sBridge) > kMaxBridge)
    fail("meta.json: bad s_bridge (from -" + std::to_string(int(kMaxBridge)) + " to " + std::to_string(int(kMaxBridge)) + ")");
  if (std::fabs(m.deltaPitch) > 180.0f) fail("meta.json: bad delta_pitch (degrees from -180 to 180)");
  return m;
}

float bin66(const float* x) {
  float m = x[0];
  for (int i = 1; i < 66; ++i) m = std::max(m, x[i]);
  double sum = 0, e = 0;
  for (int i = 0; i < 66; ++i) {
    const double p = std::exp(static_cast<double>(x[i]) - m);
    sum += p;
    e += p * i;
  }
  return static_cast<float>(3.0 * (e / sum) - 97.5);
}

void poseToR(float pitch, float yaw, float roll, float r[9]) {
  const double d = M_PI / 180.0;
  const double sa = std::sin(pitch * d), ca = std::cos(pitch * d);
  const double sb = std::sin(yaw * d), cb = std::cos(yaw * d);
  const double sc = std::sin(roll * d), cc = std::cos(roll * d);
  const double m[9] = {cb * cc, cb * sc, -sb,
                       sa * sb * cc - ca * sc, ca * cc + sa * sb * sc, sa * cb,
                       ca * sb * cc + sa * sc, ca * sb * sc - sa * cc, ca * cb};
  for (int i = 0; i < 9; ++i) r[i] = static_cast<float>(m[i]);
}

Net Net::open(const std::string& path, int threads, const std::string& ep) {
  if (!ep.empty() && ep.rfind("coreml", 0) != 0) fail("le_motion: unknown ep '" + ep + "'");
  le::ort::Settings settings;
  settings.threads = threads;
  settings.ep = ep;
  Ort::SessionOptions o = le::ort::options(settings);
  Net n;
  n.session = le::ort::open(path, o);
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < n.session->GetInputCount(); ++i)
    n.inputs.push_back(n.session->GetInputNameAllocated(i, alloc).get());
  for (size_t i = 0; i < n.session->GetOutputCount(); ++i)
    n.outputs.push_back(n.session->GetOutputNameAllocated(i, alloc).get());
  return n;
}

std::unique_ptr<Motion> Motion::create(const std::string& dir, int threads, const std::string& ep,
                                       const std::string& dumpDir) {
  const int t = le::pool::clampThreads(threads);
  const std::string key = dir + "\n" + std::to_string(t) + "\n" + ep + "\n" + le::bundleFingerprint(dir);
  static auto* models = new le::ModelCache<Model>;
  std::unique_ptr<Motion> m(new Motion(models->get(key, [&] { return loadModel(dir, t, ep); })));
  m->dumpDir_ = dumpDir;
  return m;
}

Motion::Motion(std::shared_ptr<const Model> model) : model_(std::move(model)), m_(model_.get()) {
  AVTXContext* tx = nullptr;
  av_tx_fn fn = nullptr;
  const float scale = 1.0f;
  if (av_tx_init(&tx, &fn, AV_TX_FLOAT_RDFT, 0, kFft, &scale, 0) < 0 || !tx) fail("the 512-point FFT did not initialise");
  tx_ = tx;
  txFn_ = reinterpret_cast<void*>(fn);
  poses_.assign(size_t(m_->nt) * 19, 0.0f);
  reset(0, 1, 1);
}

Motion::~Motion() {
  AVTXContext* tx = static_cast<AVTXContext*>(tx_);
  av_tx_uninit(&tx);
}

std::shared_ptr<const Model> Motion::loadModel(const std::string& dir, int threads, const std::string& ep) {
  auto model = std::make_shared<Model>();
  Model& M = *model;
  const Meta meta = parseMeta(readText(dir + "/meta.json"));
  M.nt = meta.nt;
  M.nEmo = meta.nEmo;
  M.sBridge = meta.sBridge;
  M.deltaPitch = meta.deltaPitch;

  M.window = readExact(dir + "/hubert_stft_window.bin", kFft);
  M.binmat = readExact(dir + "/hubert_stft_binmat.bin", size_t(kBins) * kMel);
  for (int k = 0; k < kBins; ++k) {
    const float* row = &M.binmat[size_t(k) * kMel];
    int a = 0, b = kMel;
    while (a < kMel && row[a] == 0.0f) ++a;
    while (b > a && row[b - 1] == 0.0f) --b;
    M.binFrom[k] = a;
    M.binTo[k] = b;
  }
  M.fmean = readExact(dir + "/hubert_fmean.bin", kFeat);
  M.fstd = readExact(dir + "/hubert_fstd.bin", kFeat);
  M.emo = readExact(dir + "/emo.bin", size_t(M.nEmo) * 8);
  M.chXs = readExact(dir + "/ch_xs_info.bin", kInfo);
  M.chSc = readExact(dir + "/ch_sc.bin", kKp);
  M.eyeOpen = readExact(dir + "/ch_eye_open.bin", 2);
  M.eyeBall = readExact(dir + "/ch_eye_ball.bin", 6);
  const std::vector<float> vmm = readExact(dir + "/v_min_max.bin", 2 * kMot);
  M.vmin.assign(vmm.begin(), vmm.begin() + kMot);
  M.vmax.assign(vmm.begin() + kMot, vmm.end());
  M.srcXs = readExact(dir + "/src_xs_info.bin", size_t(M.nt) * kInfo);
  M.xsTarget = le::loadKeypointTrack(dir, M.nt);
  const float src0 = M.srcXs[258];
  if (src0 == 0.0f) fail(dir + "/src_xs_info.bin: row 0 has scale 0");
  // Scales multiply every keypoint; translations add to them.
  auto checkScale = [&](const float* row, const std::string& where) {
    if (std::fabs(row[258]) > kMaxScale || std::fabs(row[259]) > kMaxScale || std::fabs(row[260]) > kMaxScale)
      fail(where + ": scale or translation beyond +-" + std::to_string(int(kMaxScale)));
  };
  checkScale(M.chXs.data(), dir + "/ch_xs_info.bin");
  for (int r = 0; r < M.nt; ++r)
    checkScale(&M.srcXs[size_t(r) * kInfo], dir + "/src_xs_info.bin row " + std::to_string(r));
  if (!std::isfinite(M.chXs[258] / src0) || std::fabs(M.chXs[258] / src0) > kMaxScale)
    fail(dir + "/src_xs_info.bin: row 0's scale " + std::to_string(src0) + " makes the lip scale ratio absurd");
  M.scaleRatio = M.chXs[258] / src0;

  M.student = Net::open(dir + "/hubert_student.onnx", threads, ep);
  M.lmdm = Net::open(dir + "/lmdm.onnx", threads, ep);
  M.stitch = Net::open(dir + "/stitch.onnx", threads, ep);
  if (M.student.inputs.empty() || M.student.outputs.empty()) fail("hubert_student.onnx needs an input and an output");
  if (M.lmdm.inputs.size() != 2 || M.lmdm.outputs.empty()) fail("lmdm.onnx needs two inputs (seed, cond) and an output");
  if (M.stitch.inputs.size() != 2 || M.stitch.outputs.empty())
    fail("stitch.onnx needs two inputs (source, driving keypoints) and an output");

  return model;
}

void Motion::dump(const char* name, const float* data, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  const std::string path = dumpDir_ + "/" + name;
  if (FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb")) {
    std::fwrite(data, sizeof(float), n, f);
    std::fclose(f);
  }
}

std::vector<Ort::Value> Motion::run(const Net& net, Ort::Value* in, size_t nIn) {
  std::vector<const char*> inNames, outNames;
  for (const auto& s : net.inputs) inNames.push_back(s.c_str());
  outNames.push_back(net.outputs[0].c_str());
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<Ort::Value> out = net.session->Run(Ort::RunOptions{nullptr}, inNames.data(), in, nIn, outNames.data(), 1);
  ortNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
  return out;
}

// ---- audio front end -------------------------------------------------------------------------

bool Motion::windowReady(int w) const { return finished_ || int64_t(640) * w + 4480 <= samples(); }

void Motion::runWindow(int w) {
  AVTXContext* tx = static_cast<AVTXContext*>(tx_);
  av_tx_fn fn = reinterpret_cast<av_tx_fn>(txFn_);
  alignas(64) float in[kFft];
  alignas(64) float out[2 * (kBins + 1)];
  float mag[kBins];
  mel_.assign(size_t(kMel) * kStft, 0.0f);
  const int64_t first = int64_t(640) * w - kLead, S = samples();
  // Windows overlap by 11 spectrogram frames: the previous window's columns
  // that saw only real audio are taken over as they are.
  const bool follows = cacheW_ >= 0 && cacheW_ == w - 5;
  std::vector<float> cols(size_t(kStft) * kMel);
  bool valid[kStft];
  for (int i = 0; i < kStft; ++i) {
    const int64_t at = first + int64_t(320) * i;
    float* col = &cols[size_t(i) * kMel];
    valid[i] = finished_ || at + kFft <= S;
    if (follows && i + 10 < kStft && cacheValid_[i + 10]) {
      std::memcpy(col, &melCache_[size_t(i + 10) * kMel], kMel * sizeof(float));
    } else {
      for (int k = 0; k < kFft; ++k) {
        const int64_t s = at + k;
        if (s >= 0 && s < S && s < audioBase_) fail("motion window reads audio already dropped");
        in[k] = (s >= 0 && s < S ? audio_[static_cast<size_t>(s - audioBase_)] : 0.0f) * m_->window[k];
      }
      fn(tx, out, in, sizeof(float));
      // The Nyquist bin's imaginary part is zero for real input, and FFmpeg 5.1
      // leaves it unwritten: reading it read whatever the stack held (NaN at
      // times).
      out[2 * kBins - 1] = 0.0f;
      for (int k = 0; k < kBins; ++k) mag[k] = std::sqrt(out[2 * k] * out[2 * k] + out[2 * k + 1] * out[2 * k + 1]);
      // Bin by bin into the band sums, over each bin's non-zero weights only
      // (a zero weight adds exactly nothing).
      float band[kMel] = {};
      for (int k = 0; k < kBins; ++k) {
        const float* row = &m_->binmat[size_t(k) * kMel];
        for (int m = m_->binFrom[k]; m < m_->binTo[k]; ++m) band[m] += row[m] * mag[k];
      }
      for (int m = 0; m < kMel; ++m) col[m] = std::log(band[m] + 1e-8f);
    }
    for (int m = 0; m < kMel; ++m) mel_[size_t(m) * kStft + i] = col[m];
  }
  melCache_.swap(cols);
  std::copy(valid, valid + kStft, cacheValid_);
  cacheW_ = w;
  const int64_t shape[3] = {1, kMel, kStft};
  Ort::Value inV = Ort::Value::CreateTensor<float>(mem_, mel_.data(), mel_.size(), shape, 3);
  std::vector<Ort::Value> r = run(m_->student, &inV, 1);
  const auto info = r[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != size_t(20) * kFeat)
    fail("hubert_student.onnx: expected 20 x 1024 float features, got " + std::to_string(info.GetElementCount()));
  const float* f = r[0].GetTensorData<float>();
  le::requireFinite(f, size_t(20) * kFeat, "hubert_student.onnx output");
  if (w == 0 && !dumped0_) {
    dump("mel0.bin", mel_.data(), mel_.size());
    dump("feat0.bin", f, size_t(20) * kFeat);
  }
  for (int i = 3; i <= 7; ++i) {
    const int rowFrame = w + i - 3;
    const size_t at = cond_.size();
    cond_.resize(at + kCond);
    float* row = &cond_[at];
    for (int d = 0; d < kFeat; ++d) row[d] = (f[size_t(2 * i) * kFeat + d] + f[size_t(2 * i + 1) * kFeat + d]) * 0.5f;
    std::memcpy(row + kFeat, &m_->emo[size_t(rowFrame % m_->nEmo) * 8], 8 * sizeof(float));
    std::memcpy(row + kFeat + 8, m_->eyeOpen.data(), 2 * sizeof(float));
    std::memcpy(row + kFeat + 10, m_->eyeBall.data(), 6 * sizeof(float));
    std::memcpy(row + kFeat + 16, m_->chSc.data(), kKp * sizeof(float));
  }
}

// ---- motion generation -----------------------------------------------------------------------

void Motion::smooth(int a, int b) {
  const int n = static_cast<int>(motion_.size() / kMot);
  b = std::min(b, n);
  if (a >= b) return;
  const int lo = std::max(a - 1, 0), hi = std::min(b + 1, n);
  const std::vector<float> copy(motion_.begin() + size_t(lo) * kMot, motion_.begin() + size_t(hi) * kMot);
  for (int t = a; t < b; ++t) {
    const int u0 = std::max(t - 1, 0), u1 = std::min(t + 1, n - 1);
    for (int j = 0; j < kPose; ++j) {
      float s = 0;
      for (int u = u0; u <= u1; ++u) s += copy[size_t(u - lo) * kMot + j];
      motion_[size_t(t) * kMot + j] = s / static_cast<float>(u1 - u0 + 1);
    }
  }
}

void Motion::runChunk(int c) {
  float seed[kMot];
  const int n = static_cast<int>(motion_.size() / kMot);
  if (c == 0) {
    seed[0] = m_->chXs[258] - 1.0f;
    std::memcpy(seed + 1, &m_->chXs[126], 66 * sizeof(float));    // pitch
    std::memcpy(seed + 67, &m_->chXs[262], 66 * sizeof(float));   // yaw
    std::memcpy(seed + 133, &m_->chXs[192], 66 * sizeof(float));  // roll
    std::memcpy(seed + 199, &m_->chXs[259], 3 * sizeof(float));   // translation
    std::memcpy(seed + kPose, &m_->chXs[0], kKp * sizeof(float));
  } else {
    if (n != kChunkStep * c + kFade) fail("motion chunk " + std::to_string(c) + " does not follow the stored frames");
    std::memcpy(seed, &motion_[size_t(kChunkStep * c - 1) * kMot], sizeof seed);
  }
  if (kChunkStep * c < condBase_) fail("motion chunk reads conditioning rows already dropped");
  float* cond = &cond_[size_t(kChunkStep * c - condBase_) * kCond];
  const int64_t sshape[2] = {1, kMot};
  const int64_t cshape[3] = {1, kChunk, kCond};
  Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem_, seed, kMot, sshape, 2),
                      Ort::Value::CreateTensor<float>(mem_, cond, size_t(kChunk) * kCond, cshape, 3)};
  std::vector<Ort::Value> r = run(m_->lmdm, in, 2);
  const auto info = r[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != size_t(kChunk) * kMot)
    fail("lmdm.onnx: expected 80 x 265 float motion values, got " + std::to_string(info.GetElementCount()));
  const float* out = r[0].GetTensorData<float>();
  le::requireFinite(out, size_t(kChunk) * kMot, "lmdm.onnx output");
  if (c == 0) {
    dump("lmdm0_kp.bin", seed, kMot);
    dump("lmdm0_aud.bin", cond, size_t(kChunk) * kCond);
    dump("lmdm0_pred.bin", out, size_t(kChunk) * kMot);
    motion_.assign(out, out + size_t(kChunk) * kMot);
    smooth(0, kChunk);
    return;
  }
  for (int k = 0; k < kFade; ++k) {
    const float w = static_cast<float>(k) / kFade;
    float* old = &motion_[size_t(n - kFade + k) * kMot];
    for (int j = 0; j < kMot; ++j) old[j] = w * out[size_t(k) * kMot + j] + (1.0f - w) * old[j];
  }
  motion_.insert(motion_.end(), out + size_t(kFade) * kMot, out + size_t(kChunk) * kMot);
  smooth(n - kFade, n + 1);
}

void Motion::trim() {
  // Kept whole when dumping (cond.bin holds every row), and while eager mode
  // may roll back to earlier windows and chunks.
  if (prov_ || !dumpDir_.empty()) return;
  // After the end, windows run past the audio: never drop beyond it.
  const int64_t keep = std::min(int64_t(640) * winPos_ - kLead, samples());
  if (keep - audioBase_ > 64000) {
    audio_.erase(audio_.begin(), audio_.begin() + static_cast<std::ptrdiff_t>(keep - audioBase_));
    audioBase_ = keep;
  }
  const int drop = kChunkStep * chunks_ - condBase_;
  if (drop >= kChunkStep) {
    cond_.erase(cond_.begin(), cond_.begin() + static_cast<std::ptrdiff_t>(drop) * kCond);
    condBase_ += drop;
  }
}

void Motion::advance() {
  for (;;) {
    while (!finished_ && windowReady(winPos_)) {
      runWindow(winPos_);
      winPos_ += 5;
    }
    const int rows = condBase_ + static_cast<int>(cond_.size() / kCond);
    if (rows >= kChunkStep * chunks_ + kChunk) {
      runChunk(chunks_++);
      continue;
    }
    if (!finished_) {
      trim();
      return;
    }
    const int T = frames();
    const int n = static_cast<int>(motion_.size() / kMot);
    if (n >= T && (chunks_ > 0 || T == 0)) break;
    // After the end: windows over zero padding until the next chunk has its rows.
    runWindow(winPos_);
    winPos_ += 5;
  }
  if (!built_) buildFinal();
  trim();
}

void Motion::finalRow(int t, float* out) const {
  const int n = static_cast<int>(motion_.size() / kMot);
  const int u0 = std::max(t - 1, 0), u1 = std::min(t + 1, n - 1);
  const float* row = &motion_[size_t(t) * kMot];
  for (int j = 0; j < kMot; ++j) {
    float v = row[j];
    if (j < kPose) {
      float s = 0;
      for (int u = u0; u <= u1; ++u) s += motion_[size_t(u) * kMot + j];
      v = s / static_cast<float>(u1 - u0 + 1);
    }
    out[j] = std::min(std::max(v, m_->vmin[j]), m_->vmax[j]);
  }
}

void Motion::buildFinal() {
  const int T = frames();
  if (static_cast<int>(motion_.size() / kMot) > T) motion_.resize(size_t(T) * kMot);
  dump("res_post.bin", motion_.data(), motion_.size());
  final_.resize(motion_.size());
  for (int t = 0; t < T; ++t) finalRow(t, &final_[size_t(t) * kMot]);
  dump("final.bin", final_.data(), final_.size());
  dump("cond.bin", cond_.data(), cond_.size());
  built_ = true;
}

// ---- eager mode ------------------------------------------------------------------------------

void Motion::provisional() {
  if (prov_ || finished_) return;
  const int n = static_cast<int>(motion_.size() / kMot);
  savedWinPos_ = winPos_;
  savedChunks_ = chunks_;
  savedRows_ = cond_.size() / kCond;  // rows after condBase_, which stays put while provisional
  savedFrames_ = static_cast<size_t>(n);
  const int keep = std::min(n, kFade);
  savedTail_.assign(motion_.end() - size_t(keep) * kMot, motion_.end());
  prov_ = true;
  while (condBase_ + static_cast<int>(cond_.size() / kCond) < kChunkStep * chunks_ + kChunk) {
    runWindow(winPos_);
    winPos_ += 5;
  }
  runChunk(chunks_++);
}

void Motion::withdraw() {
  if (!prov_) return;
  winPos_ = savedWinPos_;
  chunks_ = savedChunks_;
  cond_.resize(savedRows_ * kCond);
  motion_.resize(savedFrames_ * kMot);
  std::copy(savedTail_.begin(), savedTail_.end(), motion_.end() - static_cast<std::ptrdiff_t>(savedTail_.size()));
  prov_ = false;
}

int Motion::ready() const {
  const int n = static_cast<int>(motion_.size() / kMot);
  if (built_) return n;
  if (prov_) return std::min(n, frames());
  return std::max(0, n - 11);
}

// ---- host calls ------------------------------------------------------------------------------

void Motion::push(const float* x, int n) {
  if (n < 1) return;
  if (!x || finished_) fail("bad args / already finished");
  le::audio::checkSamples(x, n);
  withdraw();
  audio_.insert(audio_.end(), x, x + n);
  trim();
}

void Motion::finish() {
  withdraw();
  finished_ = true;
  advance();
}

int Motion::total() const { return finished_ ? frames() : -1; }

int Motion::avail() {
  advance();
  if (eager_ > 0) provisional();
  return std::max(0, ready() - pulled_);
}

int Motion::pull(int* idx, float* xs, float* out, int n) {
  if (n < 1) return 0;
  advance();
  if (eager_ > 0) provisional();
  const int limit = ready();
  int k = 0;
  for (; k < n && pulled_ < limit; ++k, ++pulled_)
    emit(pulled_, idx ? idx + k : nullptr, xs ? xs + size_t(k) * kKp : nullptr, out ? out + size_t(k) * kKp : nullptr);
  return k;
}

void Motion::emit(int t, int* idx, float* xs, float* out) {
  // The expression of the final frame (it is clamped, never smoothed).
  float g[kKp];
  if (built_) {
    std::memcpy(g, &final_[size_t(t) * kMot + kPose], sizeof g);
  } else {
    for (int j = 0; j < kKp; ++j)
      g[j] = std::min(std::max(motion_[size_t(t) * kMot + kPose + j], m_->vmin[kPose + j]), m_->vmax[kPose + j]);
  }
  if (!haveRef_) {
    std::memcpy(gRef_, g, sizeof gRef_);
    haveRef_ = true;
  }
  const int r = walk_.row(m_->nt, pulled_);
  const float* src = &m_->srcXs[size_t(r) * kInfo];
  // The two rotations of a driver frame, decoded once.
  if (poses_[size_t(r) * 19] == 0.0f) {
    float* p = &poses_[size_t(r) * 19];
    const float pitch = bin66(src + 126), yaw = bin66(src + 262), roll = bin66(src + 192);
    poseToR(pitch, yaw, roll, p + 1);
    poseToR(pitch + m_->deltaPitch, yaw, roll, p + 10);
    p[0] = 1.0f;
  }
  const float* rs = &poses_[size_t(r) * 19 + 1];
  const float* rd = &poses_[size_t(r) * 19 + 10];
  const float s = src[258];
  const float tr[3] = {src[259], src[260], 0.0f};
  float source[kKp], driving[kKp];
  for (int k = 0; k < 21; ++k) {
    const float* c = src + 63 + 3 * k;
    for (int j = 0; j < 3; ++j) {
      const float eSrc = src[3 * k + j];
      const float eDrv = isLip(k) ? (g[3 * k + j] - gRef_[3 * k + j]) * m_->scaleRatio + eSrc : eSrc;
      float a = 0, b = 0;
      for (int i = 0; i < 3; ++i) {
        a += c[i] * rs[3 * i + j];
        b += c[i] * rd[3 * i + j];
      }
      source[3 * k + j] = (a + eSrc) * s + tr[j];
      driving[3 * k + j] = (b + eDrv) * s + tr[j];
    }
  }
  const int64_t shape[3] = {1, 21, 3};
  Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem_, source, kKp, shape, 3),
                      Ort::Value::CreateTensor<float>(mem_, driving, kKp, shape, 3)};
  std::vector<Ort::Value> res = run(m_->stitch, in, 2);
  const auto info = res[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != size_t(kKp))
    fail("stitch.onnx: expected 63 float keypoint values, got " + std::to_string(info.GetElementCount()));
  const float* refined = res[0].GetTensorData<float>();
  le::requireFinite(refined, kKp, "stitch.onnx output");
  const float* target = &m_->xsTarget[size_t(r) * kKp];
  float o[kKp];
  for (int j = 0; j < kKp; ++j) o[j] = target[j] + m_->sBridge * (refined[j] - source[j]);
  le::requireFinite(o, kKp, "motion keypoints");
  if (idx) *idx = r;
  if (xs) std::memcpy(xs, target, sizeof o);
  if (out) std::memcpy(out, o, sizeof o);
  dump("xsla.bin", source, kKp, true);
  dump("xdla.bin", refined, kKp, true);
  dump("xs.bin", target, kKp, true);
  dump("xd.bin", o, kKp, true);
}

void Motion::reset(int start, int dir, int loop) {
  walk_.reset(m_->nt, pulled_, start, dir, loop);
  audio_.clear();
  cond_.clear();
  audioBase_ = 0;
  condBase_ = 0;
  motion_.clear();
  final_.clear();
  finished_ = built_ = prov_ = haveRef_ = false;
  pulled_ = winPos_ = chunks_ = 0;
  cacheW_ = -1;
}

}  // namespace le::motion
