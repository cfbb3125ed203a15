#include "audio/a2x.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "audio/a2x_meta.h"
#include "audio/shared_w2v.h"
#include "audio/traversal.h"
#include "audio/window.h"
#include "core/bundle.h"
#include "core/files.h"
#include "core/finite.h"
#include "core/model_cache.h"
#include "core/ort.h"
#include "kernels/half.h"
#include "kernels/pool.h"
#include "kernels/simd.h"
#include "core/log.h"

namespace le::a2x {
namespace {

constexpr int kWindow8 = 128000;       // samples of an 8 s window
constexpr int kWindow8Frames = 200;    // frames it yields
constexpr int kWindowShort = 32000;    // samples of a short window
constexpr int kTrunkChannels = 640;
constexpr double kGridStep = 1598.0 / 199.0;
constexpr int kMaxRight = 42;          // beyond it a block's frames leave its 2 s window
constexpr uint64_t kMaxFileBytes = uint64_t(1) << 30;
constexpr uint64_t kMaxMetaBytes = 1 << 20;
constexpr int64_t kMaxSamples = int64_t(kFrame) * (std::numeric_limits<int>::max() / 2);
constexpr size_t kFreeAbove = 16u << 20;  // reset frees buffers larger than this
constexpr float kMaxNorm = 1000.0f;         // keypoints live in [-1, 1]

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

[[noreturn]] void readBehind(const char* stage) {
  fail(std::string("stream read behind the retained window (") + stage + ")");
}

// A whole file of float32 values; empty when there is no such file. Files
// beyond 1 GiB are refused rather than read.
std::vector<float> readFloats(const std::string& path) {
  if (le::regularFileSize(path) < 0) return {};
  const std::string bytes = le::readWholeFile(path, kMaxFileBytes);
  std::vector<float> v(bytes.size() / 4);
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

void checkFloat(const Ort::Value& v, size_t count, const char* what) {
  const auto info = v.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != count)
    fail(std::string(what) + ": expected " + std::to_string(count) + " floats, got " +
         std::to_string(info.GetElementCount()));
}

bool hasName(Ort::Session& s, bool input, const char* name) {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t n = input ? s.GetInputCount() : s.GetOutputCount();
  for (size_t i = 0; i < n; ++i) {
    auto got = input ? s.GetInputNameAllocated(i, alloc) : s.GetOutputNameAllocated(i, alloc);
    if (std::strcmp(got.get(), name) == 0) return true;
  }
  return false;
}

// A window of n samples starting at sample `start`: samples [from, to) from
// src, zeros elsewhere.
void fillWindow(float* w, size_t n, int64_t start, int64_t from, int64_t to, const float* src) {
  const size_t a = static_cast<size_t>(from - start), b = to > from ? static_cast<size_t>(to - start) : a;
  std::fill(w, w + a, 0.0f);
  if (b > a) std::memcpy(w + a, src, (b - a) * sizeof(float));
  std::fill(w + b, w + n, 0.0f);
}

// dst[i] = src[i] rounded through half precision (the vector kernel; in
// place when src == dst, in chunks that never overlap themselves).
void roundHalf(const float* src, float* dst, size_t n) {
  if (src != dst) {
    le::simd::roundF16(src, dst, n);
    return;
  }
  float tmp[2048];
  for (size_t i = 0; i < n; i += 2048) {
    const size_t k = std::min<size_t>(2048, n - i);
    std::memcpy(tmp, src + i, k * sizeof(float));
    le::simd::roundF16(tmp, dst + i, k);
  }
}

constexpr int kFeatTrimRows = 32;

template <typename V>
void dropFront(V& v, size_t n) {
  v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(n, v.size())));
}

template <typename V>
void clearOrFree(V& v) {
  if (v.capacity() * sizeof(float) > kFreeAbove) V().swap(v);
  else v.clear();
}

}  // namespace

std::unique_ptr<A2x> A2x::create(const std::string& bundle, int threads, const AudioSettings& audio,
                                  const BundleSettings& where) {
  const std::string dir = le::resolveBundlePath(bundle, where.unwrapRoot);
  const int t = le::pool::clampThreads(threads);
  // Everything that changes what is loaded is in the key (the short-window
  // pair is the process's, loaded once).
  const std::string key = dir + "\n" + std::to_string(t) + "\n" + audio.w2v + "\n" + std::to_string(audio.right) +
                          "\n" + std::to_string(audio.silencePrime) + "\n" + (audio.cuda ? "1" : "0") + "\n" +
                          le::bundleFingerprint(dir);
  static auto* models = new le::ModelCache<Model>;
  return std::unique_ptr<A2x>(new A2x(models->get(key, [&] { return loadModel(dir, t, audio); })));
}

A2x::A2x(std::shared_ptr<const Model> model) : model_(std::move(model)), m_(model_.get()) {
  // The 8 s encoder is loaded with the model when the model serves 8 s windows.
  if (!m_->shortWindow && !m_->audio.w2v.empty()) w2v_ = get_shared_w2v(m_->audio.w2v, m_->threads, m_->audio);
  reset(0, 1, 1);
}

A2x::~A2x() = default;

std::shared_ptr<const Model> A2x::loadModel(const std::string& dir, int threads, const AudioSettings& audio) {
  auto model = std::make_shared<Model>();
  Model& M = *model;
  M.audio = audio;
  M.threads = le::pool::clampThreads(threads);
  static std::once_flag cadenceOnce;
  std::call_once(cadenceOnce, [&] {
    log::printf(log::kInfo,
                "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, "
                "threads=%d\n",
                kBlockFrames * kFrame / 16, kBlockFrames, M.threads);
  });
  le::ort::Settings settings;
  settings.threads = M.threads;
  Ort::SessionOptions opts = le::ort::options(settings);

  if (le::regularFileSize(dir + "/a2x_meta.json") < 0) fail("a2x_meta.json missing in " + dir);
  const std::string meta = le::readWholeFile(dir + "/a2x_meta.json", kMaxMetaBytes);

  const Meta m = parseMeta(meta);
  M.h = m.h;
  M.window = m.window;
  M.left = m.left;
  M.layers = m.layers;
  M.leftSpan = M.left * M.layers;
  M.lookahead = M.window * M.layers;

  M.right = std::max(0, audio.right);
  M.lag = M.right;

  M.pos = readFloats(dir + "/a2x_pos.f32");
  const std::vector<float> norm = readFloats(dir + "/a2x_norm.f32");
  M.xsTarget = le::loadKeypointTrack(dir, 0);
  if (M.pos.size() < 2 * static_cast<size_t>(M.h) || norm.size() < 126) fail("pos/norm read failed");
  M.posRows = static_cast<int>(std::min<size_t>(M.pos.size() / M.h, std::numeric_limits<int>::max() / 2));
  M.nt = static_cast<int>(std::min<size_t>(M.xsTarget.size() / kKp, std::numeric_limits<int>::max()));
  le::requireFinite(M.pos.data(), M.pos.size(), "a2x_pos.f32");
  le::requireFinite(norm.data(), 2 * kKp, "a2x_norm.f32");
  // The decoder's output is scaled and offset by these: a keypoint set far
  // outside the crop is no face at all.
  for (int j = 0; j < 2 * kKp; ++j)
    if (std::fabs(norm[static_cast<size_t>(j)]) > kMaxNorm)
      fail("a2x_norm.f32: value " + le::shortNumber(norm[static_cast<size_t>(j)]) + " at index " + std::to_string(j) +
           " is beyond +-" + le::shortNumber(kMaxNorm));
  M.offset.assign(norm.begin(), norm.begin() + kKp);
  M.scale.assign(norm.begin() + kKp, norm.begin() + 2 * kKp);

  if (audio.w2v.empty()) fail("$W2V_ONNX not set");
  if (get_shared_w2v_win(M.threads, audio)) {
    M.shortWindow = true;
    M.lag = M.right + kBlockFrames;
    if (M.right > kMaxRight)
      fail("LE_A2X_W2V_RIGHT=" + std::to_string(M.right) + " puts a block's frames outside its 2 s window (at most " +
           std::to_string(kMaxRight) + ")");
  } else {
    Ort::Session* w2v = nullptr;
    try {
      w2v = get_shared_w2v(audio.w2v, M.threads, audio);
    } catch (const std::exception&) {
      w2v = nullptr;
    }
    if (!w2v) fail("shared w2v load failed");
  }

  M.enc = le::ort::open(le::resolveMember(dir, "a2x_enc_stream.onnx"), opts);
  for (const char* in : {"feat", "pos_window", "attn"})
    if (!hasName(*M.enc, true, in)) fail(std::string("a2x_enc_stream.onnx lacks the input \"") + in + "\"");
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outs = M.enc->GetOutputCount();
  if (outs < 1) fail("a2x_enc_stream.onnx declares no output");
  M.encOut0 = M.enc->GetOutputNameAllocated(0, alloc).get();
  if (outs > 1) {
    M.encOut1 = M.enc->GetOutputNameAllocated(1, alloc).get();
    M.width = true;
  }
  const int metaWidth = m.width;
  if (metaWidth != (M.width ? 1 : 0))
    log::printf(log::kWarn,
                "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) \xE2\x80\x94 serving the "
                "GRAPH (width=%d). Repackage this bundle.\n",
                metaWidth, outs, M.width ? 1 : 0);

  M.dec = le::ort::open(le::resolveMember(dir, "a2x_dec.onnx"), opts);
  for (const char* in : {"ctx_t", "prev", "h"})
    if (!hasName(*M.dec, true, in)) fail(std::string("a2x_dec.onnx lacks the input \"") + in + "\"");
  for (const char* out : {"m", "h_out"})
    if (!hasName(*M.dec, false, out)) fail(std::string("a2x_dec.onnx lacks the output \"") + out + "\"");

  long long silence = m.silencePrime;
  if (audio.silencePrime >= 0) silence = audio.silencePrime;
  if (silence > 0) {
    // The primed state is computed by a stream over the model before the
    // model is shared.
    A2x primer(model);
    try {
      primer.w2v8();
    } catch (const std::exception&) {
      fail("shared w2v load failed (silence_prime)");
    }
    primer.primeSilence(static_cast<int>(std::min<long long>(silence, kWindow8Frames)), M);
  }
  return model;
}

Ort::Session* A2x::w2v8() {
  if (w2v_) return w2v_;
  try {
    w2v_ = get_shared_w2v(m_->audio.w2v, m_->threads, m_->audio);
  } catch (const std::exception&) {
    w2v_ = nullptr;
  }
  if (!w2v_) fail("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + m_->audio.w2v + ")");
  return w2v_;
}

std::vector<Ort::Value> A2x::run(Ort::Session& s, const char* const* inNames, Ort::Value* in, size_t nIn,
                                 const char* const* outNames, size_t nOut) {
  std::vector<Ort::Value> out;
  const auto t0 = std::chrono::steady_clock::now();
  le_a2x_on_owner_thread([&] { out = s.Run(Ort::RunOptions{nullptr}, inNames, in, nIn, outNames, nOut); },
                         m_->audio.cuda);
  ortNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
  return out;
}

void A2x::runInto(Ort::Session& s, const char* const* inNames, Ort::Value* in, size_t nIn,
                  const char* const* outNames, Ort::Value* out, size_t nOut) {
  const auto t0 = std::chrono::steady_clock::now();
  le_a2x_on_owner_thread([&] { s.Run(Ort::RunOptions{nullptr}, inNames, in, nIn, outNames, out, nOut); },
                         m_->audio.cuda);
  ortNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
}

void A2x::primeSilence(int n, Model& M) {
  try {
    const std::vector<float>& emb = shared_zero_embedding(w2v8(), m_->audio.cuda);
    std::vector<float> feat(static_cast<size_t>(n) * kFeatRow);
    for (int j = 0; j < n; ++j)
      for (int l = 0; l < kFeatLayers; ++l)
        for (int d = 0; d < kFeatDim; ++d)
          feat[static_cast<size_t>(j) * kFeatRow + l * kFeatDim + d] =
              le::half::round(emb[(static_cast<size_t>(l) * kWindow8Frames + j) * kFeatDim + d]);
    std::vector<float> ctx, prev(kKp, 0.0f), state(m_->h, 0.0f), delta(kKp);
    runEncoder(feat.data(), 0, n, 0, n, ctx, nullptr);
    for (int t = 0; t < n; ++t) runDecoder(&ctx[static_cast<size_t>(t) * m_->h], prev, state, delta.data());
    M.primedPrev = std::move(prev);
    M.primedState = std::move(state);
    log::printf(log::kInfo, "[le_a2x] silence-primed AR state cached (%d frames)\n", n);
  } catch (const std::exception& e) {
    M.primedPrev.clear();
    M.primedState.clear();
    log::printf(log::kWarn, "[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

// ---- frame clock -------------------------------------------------------------------------------

int64_t A2x::counted(const Stream& s) const {
  const int64_t S = samples(s);
  if (s.finished) return S;
  const int64_t block = int64_t(kFrame) * kBlockFrames;
  return std::min(S, (S + kFrame - 1) / block * block);
}

int A2x::frames(const Stream& s) const { return static_cast<int>((counted(s) + kFrame - 1) / kFrame); }

int A2x::featHorizon(const Stream& s) const {
  const int A = frames(s);
  if (s.finished) return A;
  if (s.eight) return std::max(0, A - m_->lag);
  const int64_t whole = counted(s) / kFrame - m_->right;
  return whole <= 0 ? 0 : static_cast<int>(whole / kBlockFrames * kBlockFrames);
}

int A2x::ready(const Stream& s) const {
  if (s.finished) return frames(s);
  return std::max(0, featHorizon(s) - m_->lookahead);
}

int A2x::rowOf(const Stream& s, int64_t p) const { return le::audio::traversalRow(m_->nt, p, s.loop); }

// ---- host calls --------------------------------------------------------------------------------

void A2x::push(const float* x, int n) {
  if (n < 1) return;
  if (!x) fail("bad args");
  if (st_.finished) fail("audio after le_a2x_finish (reset first)");
  if (samples(st_) + n > kMaxSamples) fail("the stream is too long (reset it)");
  le::audio::checkSamples(x, n);
  st_.audio.insert(st_.audio.end(), x, x + n);
  marks_.audio = std::max(marks_.audio, st_.audio.size());
}

void A2x::finish() { st_.finished = true; }

int A2x::total() const {
  if (!st_.finished) return -1;
  return frames(st_);
}

int A2x::avail() {
  const int step = st_.eight ? 64 : kBlockFrames;
  const int r = ready(st_);
  if (st_.decoded < r) {
    extend(st_, std::min(st_.decoded + step, r));
    // A host that polls without pulling keeps only what decoding still needs.
    trim(st_, true);
  }
  return std::max(0, st_.decoded - st_.pulled);
}

int A2x::pull(int* idx, float* xs, float* out, float* wn, int n) {
  if (n < 1) return 0;
  Stream& s = st_;
  if (s.pulled >= s.decoded) extend(s, static_cast<int>(std::min<int64_t>(int64_t(s.pulled) + n, ready(s))));
  const int limit = std::min(ready(s), s.decoded);
  int k = 0;
  while (s.pulled < limit && k < n) {
    const int r = rowOf(s, static_cast<int64_t>(s.dir) * s.pulled + s.start);
    const float* row = &m_->xsTarget[static_cast<size_t>(r) * kKp];
    const float* d = &s.deltas[static_cast<size_t>(s.pulled - s.deltaBase) * kKp];
    if (idx) idx[k] = r;
    if (xs) std::memcpy(xs + static_cast<size_t>(k) * kKp, row, kKp * sizeof(float));
    if (out) {
      for (int j = 0; j < kKp; ++j) out[static_cast<size_t>(k) * kKp + j] = row[j] + d[j];
      le::requireFinite(out + static_cast<size_t>(k) * kKp, kKp, "a2x keypoints (xs_target.bin row + delta)");
    }
    if (wn) {
      const int64_t w = int64_t(s.pulled) - s.wnBase;
      wn[k] = m_->width && w >= 0 && w < static_cast<int64_t>(s.wn.size()) ? s.wn[static_cast<size_t>(w)] : 0.0f;
    }
    ++s.pulled;
    ++k;
  }
  trim(s, true);
  return k;
}

void A2x::reset(int start, int dir, int loop) {
  Stream& s = st_;
  if (start < 0) start = m_->nt > 1 ? rowOf(s, static_cast<int64_t>(s.dir) * s.pulled + s.start) : 0;
  for (std::vector<float>* v : {&s.audio, &s.ctx, &s.deltas, &s.wn}) clearOrFree(*v);
  clearOrFree(s.feat);
  s.audioBase = 0;
  s.finished = false;
  s.pulled = s.encOrigin = s.featReady = s.featBase = 0;
  s.encoded = s.ctxBase = s.wnBase = s.decoded = s.deltaBase = 0;
  s.eight = !m_->shortWindow;
  if (!m_->primedState.empty()) {
    s.prev = m_->primedPrev;
    s.state = m_->primedState;
  } else {
    s.prev.assign(kKp, 0.0f);
    s.state.assign(m_->h, 0.0f);
  }
  s.start = start;
  s.dir = dir < 0 ? -1 : 1;
  s.loop = loop;
}

int A2x::deltas(const float* x, int n, float* out, float* wn, int maxFrames) {
  if (n <= 0) return 0;
  const int T = static_cast<int>((static_cast<int64_t>(n) + kFrame - 1) / kFrame);
  if (T > maxFrames) return -2;
  if (!x || !out) fail("bad args");
  le::audio::checkSamples(x, n);
  w2v8();
  Stream s;
  s.eight = true;
  s.audio.assign(x, x + n);
  s.finished = true;
  s.prev = m_->primedState.empty() ? std::vector<float>(kKp, 0.0f) : m_->primedPrev;
  s.state = m_->primedState.empty() ? std::vector<float>(m_->h, 0.0f) : m_->primedState;
  while (s.decoded < T) {
    extend(s, std::min(s.decoded + 64, T));
    trim(s, false);
  }
  std::memcpy(out, s.deltas.data(), static_cast<size_t>(T) * kKp * sizeof(float));
  if (wn) {
    const int have = std::min(T, static_cast<int>(s.wn.size()));
    std::memcpy(wn, s.wn.data(), static_cast<size_t>(have) * sizeof(float));
    std::fill(wn + have, wn + T, 0.0f);
  }
  return T;
}

// ---- extension ---------------------------------------------------------------------------------

void A2x::extend(Stream& s, int upTo) {
  const int A = frames(s);
  const int target = s.finished ? std::min(A, upTo) : std::min(upTo, ready(s));
  if (target <= s.decoded) return;
  const int need = std::min(A, target + m_->lookahead);
  const auto t0 = std::chrono::steady_clock::now();
  const int before = s.featReady;
  if (s.eight) features8(s, need);
  else featuresShort(s, need);
  if (&s == &st_ && s.featReady > before) {
    featNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
  }
  encodeBands(s, target, A);
  decodeFrames(s, target);
  note(s);
}

void A2x::note(const Stream& s) {
  if (&s != &st_) return;
  marks_.audio = std::max(marks_.audio, s.audio.size());
  marks_.feat = std::max(marks_.feat, s.feat.size() / kFeatRow);
  marks_.ctx = std::max(marks_.ctx, s.ctx.size() / static_cast<size_t>(m_->h));
  marks_.deltas = std::max(marks_.deltas, s.deltas.size() / kKp);
}

Ort::Value A2x::runWindow8(const std::vector<float>& audio, int64_t audioBase, int base, int64_t trunc) {
  const int64_t from = int64_t(kFrame) * base;
  if (from < audioBase) readBehind("8 s window audio");
  const int64_t S = audioBase + static_cast<int64_t>(audio.size());
  const int64_t end = std::min({from + kWindow8, trunc, S});
  scratch_.resize(kWindow8);
  fillWindow(scratch_.data(), kWindow8, from, from, std::max(end, from),
             end > from ? audio.data() + (from - audioBase) : nullptr);
  le::audio::normaliseWindow(scratch_.data(), kWindow8);
  const int64_t shape[2] = {1, kWindow8};
  Ort::Value in = Ort::Value::CreateTensor<float>(memInfo_, scratch_.data(), kWindow8, shape, 2);
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  std::vector<Ort::Value> r = run(*w2v8(), &inName, &in, 1, &outName, 1);
  checkFloat(r[0], size_t(kFeatLayers) * kWindow8Frames * kFeatDim, "8 s encoder output audio_emb");
  return std::move(r[0]);
}

void A2x::features8(Stream& s, int need) {
  while (s.featReady < need) {
    const int f = s.featReady;
    const int base = f < 2 * 100 ? 0 : (f / 100 - 1) * 100;
    int64_t trunc;
    int rowsEnd = std::min(need, base + kWindow8Frames);
    if (s.finished) {
      trunc = samples(s);
    } else {
      // The block whose counting made row f ready fixes the audio it sees.
      const int blockEnd = (f + m_->lag + kBlockFrames) / kBlockFrames * kBlockFrames;
      trunc = int64_t(kFrame) * blockEnd - (kFrame - 1);
      rowsEnd = std::min(rowsEnd, blockEnd - m_->lag);
    }
    const Ort::Value out = runWindow8(s.audio, s.audioBase, base, trunc);
    const float* emb = out.GetTensorData<float>();
    if (&s == &st_) ++featSteps_;
    if (f < s.featBase) readBehind("feat frame");
    for (int row = f; row < rowsEnd; ++row) {
      const int j = row - base;
      const size_t at = s.feat.size();
      s.feat.resize(at + kFeatRow);
      for (int l = 0; l < kFeatLayers; ++l) {
        roundHalf(emb + (static_cast<size_t>(l) * kWindow8Frames + j) * kFeatDim,
                  &s.feat[at + static_cast<size_t>(l) * kFeatDim], kFeatDim);
      }
    }
    s.featReady = rowsEnd;
    s.encOrigin = s.featReady < 200 ? 0 : (s.featReady / 100 - 1) * 100;
  }
}

void A2x::featuresShort(Stream& s, int need) {
  while (s.featReady < need) {
    const int o = s.featReady;
    const int64_t end = int64_t(kFrame) * (o + kBlockFrames + m_->right);
    if (!s.finished && end > counted(s)) return;
    const int64_t start = end - kWindowShort;
    const int64_t S = samples(s);
    const int64_t from = std::max<int64_t>(start, 0), to = std::min(end, S);
    if (from < s.audioBase) readBehind("w2v window audio");
    scratch_.resize(kWindowShort);
    fillWindow(scratch_.data(), kWindowShort, start, from, to, to > from ? s.audio.data() + (from - s.audioBase) : nullptr);
    le::audio::normaliseWindow(scratch_.data(), kWindowShort);

    const WinPair pair = shared_w2v_win();
    if (!pair.trunk) fail("the short-window w2v pair is not loaded");
    const int64_t shape[2] = {1, kWindowShort};
    Ort::Value in = Ort::Value::CreateTensor<float>(memInfo_, scratch_.data(), kWindowShort, shape, 2);
    const char* inName = "input_values";
    const char* trunkOut = pair.trunkOut.c_str();
    int lt = pair.lt;
    const uint16_t* trunk = nullptr;
    std::vector<Ort::Value> r;
    if (lt > 0) {
      // The output goes straight into a buffer kept across steps.
      trunkBuf_.resize(size_t(kTrunkChannels) * lt);
      const int64_t oshape[3] = {1, kTrunkChannels, lt};
      Ort::Value out = Ort::Value::CreateTensor(memInfo_, trunkBuf_.data(), trunkBuf_.size() * 2, oshape, 3,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16);
      runInto(*pair.trunk, &inName, &in, 1, &trunkOut, &out, 1);
      trunk = trunkBuf_.data();
    } else {
      r = run(*pair.trunk, &inName, &in, 1, &trunkOut, 1);
      const auto info = r[0].GetTensorTypeAndShapeInfo();
      const std::vector<int64_t> dims = info.GetShape();
      if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16 || dims.size() != 3 ||
          dims[0] != 1 || dims[1] != kTrunkChannels || dims[2] < 1 || dims[2] > (1 << 20))
        fail("w2v_win: the trunk output is not float16 [1, 640, LT]");
      lt = static_cast<int>(dims[2]);
      learn_w2v_win_lt(lt);
      trunk = static_cast<const uint16_t*>(r[0].GetTensorRawData());
    }
    if (&s == &st_) ++featSteps_;

    scratch2_.assign(size_t(kBlockFrames) * kTrunkChannels, 0.0f);
    int i0[kBlockFrames], i1[kBlockFrames];
    double w[kBlockFrames];
    for (int k = 0; k < kBlockFrames; ++k) {
      const int f = o + k;
      int base = 0, rr = f;
      if (f > 199) {
        base = (f / 100 - 1) * 100;
        rr = f - base;
      }
      const double pos = static_cast<double>(int64_t(kFrame) * base - start) / 80.0 + rr * kGridStep;
      const double fl = std::floor(pos);
      if (fl < 0 || fl >= lt) fail("w2v_win: trunk pos out of range");
      i0[k] = static_cast<int>(fl);
      i1[k] = std::min(i0[k] + 1, lt - 1);
      w[k] = pos - fl;
    }
    // Channel by channel: the 8 frames read neighbouring steps of one row.
    for (int c = 0; c < kTrunkChannels; ++c) {
      const uint16_t* row = trunk + static_cast<size_t>(c) * lt;
      for (int k = 0; k < kBlockFrames; ++k) {
        const double a = le::half::toFloat(row[i0[k]]), b = le::half::toFloat(row[i1[k]]);
        scratch2_[static_cast<size_t>(k) * kTrunkChannels + c] = static_cast<float>(a * (1 - w[k]) + b * w[k]);
      }
    }
    roundHalf(scratch2_.data(), scratch2_.data(), scratch2_.size());
    const int64_t hshape[2] = {kBlockFrames, kTrunkChannels};
    Ort::Value hin = Ort::Value::CreateTensor<float>(memInfo_, scratch2_.data(), scratch2_.size(), hshape, 2);
    const char* headIn = "x";
    const char* headOut = "emb";
    headBuf_.resize(size_t(kBlockFrames) * kFeatRow);
    const int64_t eshape[2] = {kBlockFrames, kFeatRow};
    Ort::Value e = Ort::Value::CreateTensor<float>(memInfo_, headBuf_.data(), headBuf_.size(), eshape, 2);
    runInto(*pair.head, &headIn, &hin, 1, &headOut, &e, 1);
    if (s.featBase > o) readBehind("feat block");
    const float* p = headBuf_.data();
    const size_t at = s.feat.size();
    s.feat.resize(at + size_t(kBlockFrames) * kFeatRow);
    roundHalf(p, &s.feat[at], size_t(kBlockFrames) * kFeatRow);
    s.encOrigin = s.featReady = o + kBlockFrames;
  }
}

void A2x::runEncoder(const float* featRows, int b0, int b1, int c0, int c1, std::vector<float>& ctx,
                     std::vector<float>* wn) {
  const int T = b1 - b0;
  std::vector<float>& pos = scratch2_;
  pos.resize(static_cast<size_t>(T) * m_->h);
  const int P = m_->posRows, half = P / 2;
  for (int q = 0; q < T; ++q) {
    const int64_t k = int64_t(b0) + q;
    const int64_t row = k < P ? k : (k - P) % (P - half) + half;
    std::memcpy(&pos[static_cast<size_t>(q) * m_->h], &m_->pos[static_cast<size_t>(row) * m_->h], sizeof(float) * m_->h);
  }
  attn_.resize(static_cast<size_t>(T) * T);
  const float ninf = -std::numeric_limits<float>::infinity();
  for (int q = 0; q < T; ++q)
    for (int k = 0; k < T; ++k) attn_[static_cast<size_t>(q) * T + k] = (k >= q - m_->left && k <= q + m_->window) ? 0.0f : ninf;

  const int64_t fshape[4] = {1, T, kFeatLayers, kFeatDim};
  const int64_t pshape[3] = {1, T, m_->h};
  const int64_t ashape[4] = {1, 1, T, T};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(memInfo_, const_cast<float*>(featRows), static_cast<size_t>(T) * kFeatRow,
                                      fshape, 4),
      Ort::Value::CreateTensor<float>(memInfo_, pos.data(), pos.size(), pshape, 3),
      Ort::Value::CreateTensor<float>(memInfo_, attn_.data(), attn_.size(), ashape, 4)};
  const char* inNames[3] = {"feat", "pos_window", "attn"};
  const char* outNames[2] = {m_->encOut0.c_str(), m_->encOut1.c_str()};
  std::vector<Ort::Value> r = run(*m_->enc, inNames, in, 3, outNames, m_->width ? 2 : 1);
  checkFloat(r[0], static_cast<size_t>(T) * m_->h, "encoder output");
  const float* o0 = r[0].GetTensorData<float>();
  le::requireFinite(o0, static_cast<size_t>(T) * m_->h, "a2x_enc_stream.onnx output");
  ctx.insert(ctx.end(), o0 + static_cast<size_t>(c0 - b0) * m_->h, o0 + static_cast<size_t>(c1 - b0) * m_->h);
  if (m_->width && wn) {
    checkFloat(r[1], static_cast<size_t>(T), "encoder width output");
    const float* o1 = r[1].GetTensorData<float>();
    le::requireFinite(o1, static_cast<size_t>(T), "a2x_enc_stream.onnx width output");
    wn->insert(wn->end(), o1 + (c0 - b0), o1 + (c1 - b0));
  }
}

void A2x::encodeBands(Stream& s, int target, int A) {
  while (s.encoded < target) {
    const int c0 = s.encoded;
    int c1 = std::min(target, c0 + 64);
    const int b0 = std::max(0, c0 - m_->leftSpan);
    int b1 = std::min(A, c1 + m_->lookahead);
    if (c0 < m_->posRows) {
      c1 = std::min(c1, m_->posRows);
      b1 = std::min(b1, m_->posRows);
    }
    if (b0 < s.featBase || c0 < s.ctxBase) readBehind("encoder band");
    if (b1 > s.featReady) fail("encoder band needs feature rows not computed yet");
    runEncoder(&s.feat[static_cast<size_t>(b0 - s.featBase) * kFeatRow], b0, b1, c0, c1, s.ctx, &s.wn);
    s.encoded = c1;
  }
}

void A2x::runDecoder(const float* ctxRow, std::vector<float>& prev, std::vector<float>& state, float* delta) {
  const int64_t cshape[2] = {1, m_->h};
  const int64_t pshape[2] = {1, kKp};
  const int64_t hshape[3] = {1, 1, m_->h};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(memInfo_, const_cast<float*>(ctxRow), static_cast<size_t>(m_->h), cshape, 2),
      Ort::Value::CreateTensor<float>(memInfo_, prev.data(), prev.size(), pshape, 2),
      Ort::Value::CreateTensor<float>(memInfo_, state.data(), state.size(), hshape, 3)};
  const char* inNames[3] = {"ctx_t", "prev", "h"};
  const char* outNames[2] = {"m", "h_out"};
  std::vector<Ort::Value> r = run(*m_->dec, inNames, in, 3, outNames, 2);
  checkFloat(r[0], kKp, "decoder output m");
  checkFloat(r[1], static_cast<size_t>(m_->h), "decoder output h_out");
  const float* m = r[0].GetTensorData<float>();
  const float* hOut = r[1].GetTensorData<float>();
  le::requireFinite(m, kKp, "a2x_dec.onnx output m");
  le::requireFinite(hOut, static_cast<size_t>(m_->h), "a2x_dec.onnx output h_out");
  std::memcpy(prev.data(), m, kKp * sizeof(float));
  for (int j = 0; j < kKp; ++j) delta[j] = m[j] * m_->scale[j] + m_->offset[j];
  le::requireFinite(delta, kKp, "a2x keypoint delta (a2x_dec.onnx output m scaled by a2x_norm.f32)");
  std::memcpy(state.data(), hOut, sizeof(float) * m_->h);
}

void A2x::decodeFrames(Stream& s, int target) {
  float delta[kKp];
  for (int t = s.decoded; t < target; ++t) {
    if (t < s.ctxBase || t < s.deltaBase) readBehind("decoder frame");
    runDecoder(&s.ctx[static_cast<size_t>(t - s.ctxBase) * m_->h], s.prev, s.state, delta);
    s.deltas.insert(s.deltas.end(), delta, delta + kKp);
  }
  s.decoded = std::max(s.decoded, target);
}

void A2x::trim(Stream& s, bool outputs) {
  const int64_t keep = std::max<int64_t>(0, int64_t(kFrame) * s.encOrigin - kWindowShort);
  if (keep - s.audioBase > 81919) {
    dropFront(s.audio, static_cast<size_t>(keep - s.audioBase));
    s.audioBase = keep;
  }
  // A feature row is 36 KiB: those the encoder is done with go every
  // kFeatTrimRows rows (144 rows, 5 MiB a stream, were held when they went
  // every 128).
  const int drop = std::clamp(s.encoded - m_->leftSpan, 0, s.featReady) - s.featBase;
  if (drop >= kFeatTrimRows) {
    dropFront(s.feat, static_cast<size_t>(drop) * kFeatRow);
    s.featBase += drop;
  }
  if (!outputs) return;
  // Context rows are done with once decoded; widths wait for their pull.
  if (s.decoded - s.ctxBase > 127) {
    dropFront(s.ctx, static_cast<size_t>(s.decoded - s.ctxBase) * m_->h);
    s.ctxBase = s.decoded;
  }
  const int m = std::min(s.pulled, s.decoded);
  if (m_->width && m - s.wnBase > 127) {
    dropFront(s.wn, static_cast<size_t>(m - s.wnBase));
    s.wnBase = m;
  }
  if (s.pulled - s.deltaBase >= 128) {
    dropFront(s.deltas, static_cast<size_t>(s.pulled - s.deltaBase) * kKp);
    s.deltaBase = s.pulled;
  }
}

}  // namespace le::a2x
