// The whole-stream runner against the same frames made one by one on one
// thread (render, then paste, then the next), alternating rounds.
// usage: stream_bench BUNDLE FCA_ENCODER SECONDS ROUNDS
// Prints per round: stream ours_ms_per_frame=.. peer_ms_per_frame=.. frames=..
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

void sink(void* user, int, const uint8_t* rgb, int, int) { *static_cast<unsigned*>(user) += rgb[0]; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: stream_bench BUNDLE FCA_ENCODER SECONDS ROUNDS\n");
    return 2;
  }
  const std::string bundle = argv[1], encoder = argv[2];
  std::vector<float> x(static_cast<size_t>(std::atof(argv[3]) * 16000));
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / 16000.0;
    x[i] = static_cast<float>(0.2 * std::sin(2 * M_PI * 150 * t) * (std::fmod(t, 1.0) < 0.6));
  }
  const int T = static_cast<int>((x.size() + 639) / 640);
  le_stream* s = le_stream_create(bundle.c_str(), encoder.c_str(), 0, 0, 1.0f);
  le_ctx* ctx = le_create(bundle.c_str(), "render", 0, nullptr);
  le_fca* fca = le_fca_create(encoder.c_str(), (bundle + "/fca_stream.onnx").c_str(), 0);
  if (!s || !ctx || !fca) {
    std::fprintf(stderr, "setup failed: %s %s %s\n", le_stream_last_error(), le_last_error(), le_fca_last_error());
    return 1;
  }
  const int nt = le_nt(ctx);
  std::vector<float> xs(static_cast<size_t>(nt) * 63), deltas(static_cast<size_t>(T) * 63), kd(63);
  FILE* f = std::fopen((bundle + "/xs_target.bin").c_str(), "rb");
  if (!f || std::fread(xs.data(), 4, xs.size(), f) != xs.size()) return 1;
  std::fclose(f);
  std::vector<uint8_t> frame(static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 3);
  unsigned checksum = 0;
  for (int round = 0; round < std::atoi(argv[4]); ++round) {
    double t0 = now();
    const int n = le_stream_run(s, x.data(), static_cast<int>(x.size()), sink, &checksum);
    const double ours = (now() - t0) / n;
    // The peer: the same deltas, then each frame rendered and pasted in turn.
    t0 = now();
    if (le_fca_deltas(fca, x.data(), static_cast<int>(x.size()), deltas.data(), T) != T) return 1;
    for (int t = 0; t < T; ++t) {
      const int si = t % nt;
      for (int k = 0; k < 63; ++k) kd[k] = xs[si * 63 + k] + deltas[t * 63 + k];
      const float* crop = le_render_kp_crop(ctx, si, &xs[si * 63], kd.data());
      if (!crop || !le_paste_crop(ctx, si, crop, frame.data(), frame.size())) return 1;
      sink(&checksum, t, frame.data(), 0, 0);
    }
    const double peer = (now() - t0) / T;
    std::printf("stream ours_ms_per_frame=%.3f peer_ms_per_frame=%.3f frames=%d\n", ours * 1e3, peer * 1e3, n);
    std::fflush(stdout);
  }
  le_fca_destroy(fca);
  le_destroy(ctx);
  le_stream_destroy(s);
  return checksum == 0xFFFFFFFFu;
}
