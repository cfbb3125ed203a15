// Create to first rendered frame: the first context on an avatar (which loads
// it) against a second context on the same avatar while the first lives.
// Timed twice per context: to the rendered face crop (le_render_drive_crop),
// and on to the whole frame with the crop pasted (le_paste_last, which waits
// for the driver video's first decoded frame).
// Each round frees both, so the next round's first context loads afresh; one
// unmeasured round first pays the process's one-time start-up.
// usage: ctx_bench BUNDLE ROUNDS
// Prints per round: ctx first_ms=.. second_ms=.. first_frame_ms=.. second_frame_ms=..
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "le/le.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Times {
  double crop = -1, frame = -1;  // milliseconds from the create
};

// Creates a context, renders its first crop and pastes it; the context stays
// in *out, the pasted frame in `rgb`. Negative times on failure.
Times firstFrame(const char* bundle, le_ctx** out, std::vector<uint8_t>& rgb) {
  Times t;
  const double t0 = now();
  le_ctx* c = le_create(bundle, "render", 0, nullptr);
  *out = c;
  if (!c || !le_render_drive_crop(c, 0)) return t;
  t.crop = 1000 * (now() - t0);
  const uint8_t* f = le_paste_last(c, 0);
  if (!f) return Times{};
  t.frame = 1000 * (now() - t0);
  rgb.assign(f, f + static_cast<size_t>(le_width(c)) * le_height(c) * 3);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ctx_bench BUNDLE ROUNDS\n");
    return 2;
  }
  const int rounds = std::atoi(argv[2]);
  std::vector<uint8_t> a, b;
  for (int r = -1; r < rounds; ++r) {
    le_ctx *first = nullptr, *second = nullptr;
    const Times t1 = firstFrame(argv[1], &first, a);
    // The first context's reader fills its look-ahead in the background; the
    // second starts once that has settled, as a later viewer would.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Times t2 = t1.frame < 0 ? Times{} : firstFrame(argv[1], &second, b);
    le_destroy(second);
    le_destroy(first);
    if (t1.frame < 0 || t2.frame < 0) {
      std::fprintf(stderr, "ctx_bench: %s\n", le_last_error());
      return 1;
    }
    if (a != b) {
      std::fprintf(stderr, "ctx_bench: the second context's first frame differs from the first's\n");
      return 1;
    }
    if (r >= 0)
      std::printf("ctx first_ms=%.2f second_ms=%.2f first_frame_ms=%.2f second_frame_ms=%.2f\n", t1.crop, t2.crop,
                  t1.frame, t2.frame);
  }
  return 0;
}
