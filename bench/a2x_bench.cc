// Streaming audio to expression on a bundle: 60 s of speech-like audio pushed
// in 20 ms chunks with a poll after each, as a live host does. Prints one
// line per repetition:
//   a2x frontend=<short|8s> audio_s=.. total_ms=.. ort_ms=.. feat_ms=.. steps=.. frames=..
// total is the time inside the le_a2x calls, ort the part inside onnxruntime,
// feat the part spent making feature rows (per window step: feat / steps).
// usage: a2x_bench BUNDLE SECONDS REPS        ($W2V_ONNX names the encoders)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "audio/a2x.h"
#include "le/le_a2x.h"

namespace {

std::vector<float> speech(double seconds) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const size_t n = static_cast<size_t>(seconds * 16000);
  std::vector<float> x(n, 0.0f);
  for (size_t at = 1600; at < n;) {
    const size_t len = 2400 + static_cast<size_t>(u(rng) * 4000);
    const double f0 = 110 + 80 * u(rng);
    for (size_t i = 0; i < len && at + i < n; ++i) {
      const double t = static_cast<double>(i) / 16000, env = std::sin(M_PI * i / len);
      double v = 0;
      for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * k * f0 * t) / k;
      x[at + i] = static_cast<float>(0.3 * env * v);
    }
    at += len + static_cast<size_t>(u(rng) < 0.3 ? 8000 : 1200 + u(rng) * 2000);
  }
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: a2x_bench BUNDLE SECONDS REPS\n");
    return 2;
  }
  const std::vector<float> x = speech(std::atof(argv[2]));
  const int reps = std::atoi(argv[3]);
  std::vector<float> out(64 * 63);
  for (int rep = 0; rep < reps; ++rep) {
    le_a2x* a = le_a2x_create(argv[1], 1);
    if (!a) {
      std::fprintf(stderr, "%s\n", le_a2x_last_error());
      return 1;
    }
    const le::a2x::A2x* e = le::a2x::implOf(a);
    const double ort0 = e->ortSeconds(), feat0 = e->featureSeconds();
    const long steps0 = static_cast<long>(e->featureSteps());
    long frames = 0;
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    for (size_t at = 0; at < x.size(); at += 320) {
      le_a2x_push(a, x.data() + at, static_cast<int>(std::min<size_t>(320, x.size() - at)));
      for (int n; (n = le_a2x_avail(a)) > 0;) frames += le_a2x_pull(a, nullptr, nullptr, out.data(), 64);
    }
    le_a2x_finish(a);
    for (int n; (n = le_a2x_avail(a)) > 0;) frames += le_a2x_pull(a, nullptr, nullptr, out.data(), 64);
    const double total = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("a2x frontend=%s audio_s=%.1f total_ms=%.2f ort_ms=%.2f feat_ms=%.2f steps=%ld frames=%ld\n",
                e->shortWindow() ? "short" : "8s", x.size() / 16000.0, total * 1e3, (e->ortSeconds() - ort0) * 1e3,
                (e->featureSeconds() - feat0) * 1e3, static_cast<long>(e->featureSteps()) - steps0, frames);
    std::fflush(stdout);
    le_a2x_destroy(a);
  }
  return 0;
}
