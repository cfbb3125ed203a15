// The motion engine streaming 60 s of speech-like audio in 20 ms pushes with
// a poll after each. Prints one line per repetition:
//   motion audio_s=.. total_ms=.. ort_ms=.. frames=..
// usage: motion_bench MOTION_DIR SECONDS REPS
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/motion.h"
#include "le/le.h"
#include "le/le_a2x.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: motion_bench MOTION_DIR SECONDS REPS\n");
    return 2;
  }
  std::vector<float> x(static_cast<size_t>(std::atof(argv[2]) * 16000));
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / 16000.0, b = std::fmod(t, 1.3);
    if (b > 0.3 && b < 0.9)
      x[i] = static_cast<float>(0.1 * std::sin(M_PI * (b - 0.3) / 0.6) *
                                (std::sin(2 * M_PI * 140 * t) + 0.5 * std::sin(2 * M_PI * 280 * t)));
  }
  std::vector<float> out(64 * 63);
  for (int rep = 0; rep < std::atoi(argv[3]); ++rep) {
    le_motion* m = le_motion_create(argv[1], 1, nullptr);
    if (!m) {
      std::fprintf(stderr, "%s\n", le_motion_last_error());
      return 1;
    }
    long frames = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t at = 0; at < x.size(); at += 320) {
      le_motion_push(m, x.data() + at, static_cast<int>(std::min<size_t>(320, x.size() - at)));
      while (le_motion_avail(m) > 0) frames += le_motion_pull(m, nullptr, nullptr, out.data(), 64);
    }
    le_motion_finish(m);
    while (le_motion_avail(m) > 0) frames += le_motion_pull(m, nullptr, nullptr, out.data(), 64);
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("motion audio_s=%.1f total_ms=%.2f ort_ms=%.2f frames=%ld\n", x.size() / 16000.0, total * 1e3,
                le::motion::implOf(m)->ortSeconds() * 1e3, frames);
    std::fflush(stdout);
    le_motion_destroy(m);
  }
  return 0;
}
