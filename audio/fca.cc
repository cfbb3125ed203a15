#include "audio/fca.h"

#include "core/ort.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "audio/shared_w2v.h"
#include "audio/window.h"
#include "core/finite.h"
#include "kernels/pool.h"

namespace le::fca {
namespace {

constexpr int kFrame = le::kFrameSamples, kWindow = 128000, kWindowFrames = 200, kHop = 100;

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

const float* floats(const Ort::Value& v, size_t count, const char* what) {
  const auto info = v.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != count)
    fail(std::string(what) + ": expected " + std::to_string(count) + " floats, got " +
         std::to_string(info.GetElementCount()));
  const float* p = v.GetTensorData<float>();
  le::requireFinite(p, count, what);
  return p;
}

}  // namespace

void speakerNormalise(std::vector<float>& f, int T) {
  std::vector<double> sorted;  // the norms of frames 0..t, ascending
  sorted.reserve(static_cast<size_t>(T));
  std::vector<double> sum(kDim, 0.0);
  int count = 0;
  for (int t = 0; t < T; ++t) {
    float* row = &f[static_cast<size_t>(t) * kDim];
    double e = 0;
    for (int d = 0; d < kDim; ++d) e += static_cast<double>(row[d]) * row[d];
    e = std::sqrt(e);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), e), e);
    double threshold = 0;
    if (t > 6) {
      const double pos = 0.2 * t;
      const size_t lo = static_cast<size_t>(pos);
      const size_t hi = std::min(lo + 1, sorted.size() - 1);
      threshold = sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
    }
    if (e > threshold) {
      for (int d = 0; d < kDim; ++d) sum[d] += row[d];
      ++count;
    }
    const double n = std::max(count, 1);
    for (int d = 0; d < kDim; ++d) row[d] = static_cast<float>(row[d] - sum[d] / n);
  }
}

void stackContext(const float* f, int T, int t, float* out) {
  for (int k = 0; k < kContext; ++k) {
    const int u = std::clamp(t + k - 1, 0, T - 1);
    std::memcpy(out + static_cast<size_t>(k) * kDim, f + static_cast<size_t>(u) * kDim, kDim * sizeof(float));
  }
}

std::unique_ptr<Fca> Fca::create(const std::string& encoder, const std::string& model, int threads) {
  std::unique_ptr<Fca> f(new Fca);
  le::ort::Settings settings;
  settings.threads = threads;
  Ort::SessionOptions o = le::ort::options(settings);
  f->encoder_ = le::ort::open(encoder, o);
  f->model_ = le::ort::open(model, o);
  return f;
}

std::vector<float> Fca::features(const float* x, int n) {
  const int T = static_cast<int>((static_cast<int64_t>(n) + kFrame - 1) / kFrame);
  std::vector<float> feat(static_cast<size_t>(T) * kDim, 0.0f), window(kWindow);
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  // Windows at hops of 100 frames; a later window overwrites its frames from
  // the 50th on, so each frame keeps two seconds of context on either side
  // where the clip has them.
  for (int o = 0; o == 0 || o + 50 < T; o += kHop) {
    const int64_t from = int64_t(kFrame) * o;
    const int64_t take = std::clamp<int64_t>(n - from, 0, kWindow);
    std::fill(window.begin(), window.end(), 0.0f);
    if (take > 0) std::memcpy(window.data(), x + from, static_cast<size_t>(take) * sizeof(float));
    le::audio::normaliseWindow(window.data(), kWindow);
    const int64_t shape[2] = {1, kWindow};
    Ort::Value in = Ort::Value::CreateTensor<float>(mem_, window.data(), kWindow, shape, 2);
    std::vector<Ort::Value> r = encoder_->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const auto info = r[0].GetTensorTypeAndShapeInfo();
    const size_t per = size_t(kWindowFrames) * kDim;
    const size_t count = info.GetElementCount();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || count == 0 || count % per != 0 ||
        count / per > 1024)
      fail("encoder output audio_emb is not float [layers, 200, 768]");
    const size_t layers = count / per;
    const float* p = r[0].GetTensorData<float>();
    for (int j = o > 0 ? 50 : 0; j < kWindowFrames && o + j < T; ++j) {
      float* row = &feat[static_cast<size_t>(o + j) * kDim];
      for (int d = 0; d < kDim; ++d) {
        float s = 0;
        for (size_t l = 0; l < layers; ++l) s += p[(l * kWindowFrames + j) * kDim + d];
        row[d] = s / static_cast<float>(layers);
      }
    }
  }
  return feat;
}

int Fca::deltas(const float* x, int n, float* out, int maxFrames) {
  if (n <= 0) return 0;
  if (!x || !out) fail("bad args");
  const int T = static_cast<int>((static_cast<int64_t>(n) + kFrame - 1) / kFrame);
  if (T > maxFrames) return -2;
  le::audio::checkSamples(x, n);
  std::vector<float> f = features(x, n);
  speakerNormalise(f, T);
  std::vector<float> cond(kCond), prev(kKp, 0.0f), h(kState, 0.0f);
  const char* inNames[3] = {"cond", "prev", "h"};
  const char* outNames[2] = {"m", "hn"};
  const int64_t cshape[2] = {1, kCond}, pshape[2] = {1, kKp}, hshape[3] = {1, 1, kState};
  for (int t = 0; t < T; ++t) {
    stackContext(f.data(), T, t, cond.data());
    Ort::Value in[3] = {Ort::Value::CreateTensor<float>(mem_, cond.data(), cond.size(), cshape, 2),
                        Ort::Value::CreateTensor<float>(mem_, prev.data(), prev.size(), pshape, 2),
                        Ort::Value::CreateTensor<float>(mem_, h.data(), h.size(), hshape, 3)};
    std::vector<Ort::Value> r = model_->Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
    const float* m = floats(r[0], kKp, "fca_stream.onnx output m");
    const float* hn = floats(r[1], kState, "fca_stream.onnx output hn");
    std::memcpy(out + static_cast<size_t>(t) * kKp, m, kKp * sizeof(float));
    std::memcpy(prev.data(), m, kKp * sizeof(float));
    std::memcpy(h.data(), hn, kState * sizeof(float));
  }
  return T;
}

}  // namespace le::fca
