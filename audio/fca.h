// The whole-clip audio-to-delta model: an 8 s window audio encoder whose
// layers are averaged into 768 features per frame, speaker normalisation
// over the voiced frames, a 7-frame context and a recurrent per-frame head
// (cond, prev, h -> m, hn).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <memory>
#include <string>
#include <vector>

#include "core/framing.h"

namespace le::fca {

inline constexpr int kDim = 768, kContext = 7, kCond = kDim * kContext, kState = 384;
inline constexpr int kKp = le::kKpValues;

// Speaker normalisation of T rows of kDim features in place: a frame is
// voiced when its norm exceeds 0 (t <= 6) or the 0.2-quantile of the norms
// of frames 0..t; each frame loses the running mean of the voiced frames so
// far (itself included).
void speakerNormalise(std::vector<float>& f, int T);
// The context of frame t: rows t - 1 ... t + 5, clamped to [0, T - 1].
void stackContext(const float* f, int T, int t, float* out);

class Fca {
 public:
  static std::unique_ptr<Fca> create(const std::string& encoder, const std::string& model, int threads);
  // T = ceil(n / 640) frames of 63 deltas; -2 when T > maxFrames.
  int deltas(const float* samples, int n, float* out, int maxFrames);

  // Per-frame features (layer means) of a clip, for tests.
  std::vector<float> features(const float* samples, int n);

 private:
  Fca() = default;
  Ort::MemoryInfo mem_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::unique_ptr<Ort::Session> encoder_, model_;
};

}  // namespace le::fca
