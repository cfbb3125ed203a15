// Streaming audio to expression: per-frame audio features from the shared
// encoders, a streaming encoder with banded attention over them, and an
// autoregressive decoder that predicts a 63-float keypoint delta per frame.
//
// A feature row is computed once, from audio fixed by the row alone: in the
// 8 s frontend the window that serves it, truncated where the block that made
// the row ready starts to count (or at the end of the audio once finished);
// in the short-window frontend the 2 s window that ends `right` frames after
// its block. A frame is ready only when every feature row its encoder band
// reads exists, so what is ready and its values depend only on the audio,
// never on how it was cut into pushes or when the host polled.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <string>
#include <vector>

#include "core/settings.h"
#include "le/le_a2x.h"

#include "core/framing.h"

struct le_a2x;

namespace le::a2x {

inline constexpr int kFrame = le::kFrameSamples;
inline constexpr int kBlockFrames = 8;   // frames per counted block
inline constexpr int kFeatLayers = 12, kFeatDim = 768;
inline constexpr int kFeatRow = kFeatLayers * kFeatDim;
inline constexpr int kKp = le::kKpValues;

// Leaves new elements uninitialised on resize: feature rows are written in
// full right after they are appended.
template <typename T>
struct NoInit : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = NoInit<U>;
  };
  NoInit() = default;
  template <typename U>
  NoInit(const NoInit<U>&) {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};

// Retained streaming state; frame counters are absolute since the last
// reset, a row of frame f lives at index f - base of its vector.
struct Stream {
  bool eight = true;  // features from 8 s windows (else the short-window pair)
  std::vector<float> audio;
  int64_t audioBase = 0;
  bool finished = false;
  int pulled = 0;
  int start = 0, dir = 1, loop = 1;
  std::vector<float, NoInit<float>> feat;
  int encOrigin = 0, featReady = 0, featBase = 0;
  std::vector<float> ctx, wn;
  int encoded = 0, ctxBase = 0, wnBase = 0;
  std::vector<float> deltas;
  int decoded = 0, deltaBase = 0;
  std::vector<float> prev, state;
};

// What a bundle's audio networks load to: sessions, tables and the primed
// decoder state; shared read-only by every stream of the same bundle and
// settings.
struct Model {
  AudioSettings audio;  // as loaded (the encoders, right context, priming, CUDA)
  int threads = 1;
  std::unique_ptr<Ort::Session> enc, dec;
  int h = 256, window = 0, left = 0, layers = 6;
  int nt = 0;
  int leftSpan = 0, lookahead = 0, lag = 0;
  bool shortWindow = false;
  int right = 12;
  std::vector<float> pos;
  int posRows = 0;
  std::vector<float> offset, scale;
  std::vector<float> xsTarget;
  std::string encOut0, encOut1;
  bool width = false;
  std::vector<float> primedPrev, primedState;
};

// The options an audio handle is created with by default: `s`'s values; and
// the settings a filled options struct means.
le_a2x_opts defaults(const Settings& s);
AudioSettings audioOf(const le_a2x_opts& opts, const std::string& motionDump);

class A2x {
 public:
  // A stream over the bundle's model (loaded, or shared with the streams
  // already open on it). Throws with the creation message on failure.
  static std::unique_ptr<A2x> create(const std::string& bundle, int threads, const AudioSettings& audio,
                                     const BundleSettings& where = {});
  ~A2x();

  void push(const float* samples, int n);
  void finish();
  int avail();
  int total() const;
  // Frames written; any output may be null.
  int pull(int* idx, float* xs, float* out, float* wn, int n);
  int pull(int* idx, float* xs, float* out, int n) { return pull(idx, xs, out, nullptr, n); }
  // Whole clip; returns T, 0 for n <= 0, -2 when T > maxFrames.
  int deltas(const float* samples, int n, float* out, float* wn, int maxFrames);
  void reset(int start, int dir, int loop);
  void setEager(int flag) { eager_ = flag; }

  int nt() const { return m_->nt; }
  bool width() const { return m_->width; }
  bool shortWindow() const { return m_->shortWindow; }
  Ort::Session* w2vSession() const { return w2v_; }
  int lookahead() const { return m_->lookahead; }
  int lag() const { return m_->lag; }
  const std::shared_ptr<const Model>& model() const { return model_; }


  // Largest retained sizes since creation, in rows (audio in samples).
  struct HighWater {
    size_t audio = 0, feat = 0, ctx = 0, deltas = 0;
  };
  HighWater highWater() const { return marks_; }
  // Time spent inside onnxruntime runs; time spent making
  // feature rows (audio windows, the encoder runs and their arithmetic), and
  // how many window steps that took.
  double ortSeconds() const { return ortNs_ * 1e-9; }
  double featureSeconds() const { return featNs_ * 1e-9; }
  int64_t featureSteps() const { return featSteps_; }

 private:
  explicit A2x(std::shared_ptr<const Model> model);
  static std::shared_ptr<const Model> loadModel(const std::string& dir, int threads, const AudioSettings& audio);
  // The decoder state after `frames` frames of silence, into the model.
  void primeSilence(int frames, Model& model);

  int64_t samples(const Stream& s) const { return s.audioBase + static_cast<int64_t>(s.audio.size()); }
  int64_t counted(const Stream& s) const;
  int frames(const Stream& s) const;
  int featHorizon(const Stream& s) const;
  int ready(const Stream& s) const;
  int rowOf(const Stream& s, int64_t p) const;

  void extend(Stream& s, int upTo);
  void features8(Stream& s, int need);
  void featuresShort(Stream& s, int need);
  void encodeBands(Stream& s, int target, int A);
  void decodeFrames(Stream& s, int target);
  void trim(Stream& s, bool outputs);
  void note(const Stream& s);

  // One encoder run over feature rows [b0, b1) (pointer to row b0); writes
  // rows [c0, c1) of the output to ctx/wn.
  void runEncoder(const float* featRows, int b0, int b1, int c0, int c1, std::vector<float>& ctx,
                  std::vector<float>* wn);
  void runDecoder(const float* ctxRow, std::vector<float>& prev, std::vector<float>& state, float* delta);
  // One 8 s encoder run over the window at frame `base` of `audio` (which
  // starts at sample audioBase), with samples at or beyond `trunc` as zeros.
  Ort::Value runWindow8(const std::vector<float>& audio, int64_t audioBase, int base, int64_t trunc);
  void runInto(Ort::Session& s, const char* const* inNames, Ort::Value* in, size_t nIn,
               const char* const* outNames, Ort::Value* out, size_t nOut);
  Ort::Session* w2v8();
  std::vector<Ort::Value> run(Ort::Session& s, const char* const* inNames, Ort::Value* in, size_t nIn,
                              const char* const* outNames, size_t nOut);

  std::shared_ptr<const Model> model_;
  const Model* m_;
  Ort::Session* w2v_ = nullptr;
  Ort::MemoryInfo memInfo_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  int eager_ = -1;
  Stream st_;

  HighWater marks_;
  int64_t ortNs_ = 0, featNs_ = 0, featSteps_ = 0;
  std::vector<float> scratch_, scratch2_, attn_, headBuf_;
  std::vector<uint16_t> trunkBuf_;
};

// The engine behind a C handle (tests and benchmarks); null for null.
A2x* implOf(le_a2x* handle);

}  // namespace le::a2x
