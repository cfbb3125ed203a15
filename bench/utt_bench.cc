// The utterance session on a bundle (the demo avatar: 1920x1080, crop 512).
// usage: utt_bench BUNDLE ROUNDS [teeth]
//   teeth: the session armed with the bundle's mouth bank; only the
//   sustained rate is measured (utt teeth_fps=.. borrowed=..)
// Prints one line per measurement:
//   utt fps=..                       sustained speech frames per second
//   utt onset_ms=.. render_ms=..     speech pushed at once, first push to first speech frame
//   utt live_onset_ms=.. need_ms=..  20 ms pushes at real-time pace; need: audio the engine must hear
//   utt interrupt_ms=..              interrupt to the first ramp frame in the ring
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"

namespace {

using Clock = std::chrono::steady_clock;
double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

std::vector<int16_t> speech(double seconds) {
  std::vector<int16_t> x(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / 16000.0, b = std::fmod(t, 0.9);
    x[i] = static_cast<int16_t>(b > 0.05 && b < 0.7 ? 9000 * std::sin(M_PI * (b - 0.05) / 0.65) *
                                                         std::sin(2 * M_PI * 150 * t)
                                                   : 0);
  }
  return x;
}

struct Session {
  le_utt* u;
  std::vector<uint8_t> buf;
  // Pulls one frame if there is one; its kind, or -1.
  int pull() {
    le_utt_frame_info info;
    return le_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1 ? info.kind : -1;
  }
  // Pulls until the session is back on the idle loop.
  void settle() {
    int idle = 0;
    const auto t0 = Clock::now();
    while (idle < 3 && ms(t0, Clock::now()) < 20000) {
      const int k = pull();
      if (k == 0) ++idle;
      else if (k < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      else idle = 0;
    }
  }
};

// Audio the streaming engine must hear before its first frame: the shortest
// prefix of the clip, in 20 ms steps, after which le_a2x_avail says a frame
// is ready.
double needMs(const std::string& bundle, const std::vector<int16_t>& x) {
  le_a2x* a = le_a2x_create(bundle.c_str(), 1);
  if (!a) return -1;
  std::vector<float> f(320);
  double need = -1;
  for (size_t at = 0; at + 320 <= x.size(); at += 320) {
    for (int i = 0; i < 320; ++i) f[i] = x[at + i] / 32768.0f;
    le_a2x_push(a, f.data(), 320);
    if (le_a2x_avail(a) > 0) {
      need = (at + 320) / 16.0;
      break;
    }
  }
  le_a2x_destroy(a);
  return need;
}

// Arms the session with the bundle's mouth bank; false (and why) when it
// cannot.
bool armTeeth(le_utt* u, const std::string& bundle) {
  char err[2048];
  le_tessera_members* m = le_tessera_members_open(bundle.c_str(), err, sizeof err);
  if (!m) {
    std::fprintf(stderr, "mouth pass not armed: %s\n", err);
    return false;
  }
  std::vector<uint8_t> band(le_tessera_members_band_bytes(m));
  bool ok = le_tessera_members_decode_band(m, band.data(), band.size(), err, sizeof err) == 0 &&
            le_utt_tessera_attach(u, band.data(), le_tessera_members_n_donors(m), le_tessera_members_cent(m),
                                  le_tessera_members_c_canon(m), le_tessera_members_aperture(m),
                                  le_tessera_members_stamp(m), le_tessera_members_head_pt(m),
                                  static_cast<int>(le_tessera_members_head_pt_len(m)), le_tessera_members_head_json(m),
                                  le_tessera_members_manifest_json(m), err, sizeof err) == 0;
  if (!ok) std::fprintf(stderr, "mouth pass not armed: %s\n", err);
  le_tessera_members_close(m);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: utt_bench BUNDLE ROUNDS\n");
    return 2;
  }
  const std::string bundle = argv[1];
  const bool teeth = argc > 3 && std::string(argv[3]) == "teeth";
  const int rounds = teeth ? 0 : std::atoi(argv[2]);
  le_ctx* ctx = le_create(bundle.c_str(), "b1", 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "%s\n", le_last_error());
    return 1;
  }
  Session s{le_utt_open(ctx, bundle.c_str()), std::vector<uint8_t>(static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 3)};
  if (!s.u) {
    std::fprintf(stderr, "%s\n", le_utt_last_error());
    return 1;
  }
  for (int i = 0; i < 60000 && le_utt_ready(s.u) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (le_utt_ready(s.u) != 1) {
    std::fprintf(stderr, "%s\n", le_utt_last_error());
    return 1;
  }
  if (teeth && !armTeeth(s.u, bundle)) return 1;
  const std::vector<int16_t> clip = speech(2.0), longClip = speech(12.0);
  s.settle();

  // Sustained rate: a 12 s utterance pulled as fast as it comes.
  le_utt_push_audio(s.u, longClip.data(), static_cast<int>(longClip.size()));
  le_utt_end_utterance(s.u);
  Clock::time_point first{}, last{};
  int spoken = 0;
  const int expect = static_cast<int>(longClip.size() / 640);
  while (spoken < expect) {
    const int k = s.pull();
    if (k == 1) {
      if (spoken++ == 0) first = Clock::now();
      last = Clock::now();
    } else if (k < 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  const double fps = (spoken - 1) * 1000.0 / ms(first, last);
  if (teeth) {
    uint64_t borrowed = 0, passed = 0;
    const int state = le_utt_tessera_stats(s.u, &borrowed, &passed, nullptr, 0);
    std::printf("utt teeth_fps=%.2f armed=%d borrowed=%llu passthrough=%llu\n", fps, state,
                static_cast<unsigned long long>(borrowed), static_cast<unsigned long long>(passed));
  } else {
    std::printf("utt fps=%.2f\n", fps);
  }
  std::fflush(stdout);
  s.settle();

  for (int r = 0; r < rounds; ++r) {
    // Onset, the utterance pushed at once as a synthesiser delivers it.
    le_utt_push_audio(s.u, clip.data(), static_cast<int>(clip.size()));
    le_utt_end_utterance(s.u);
    s.settle();
    le_utt_stats st;
    le_utt_get_stats(s.u, &st);
    std::printf("utt onset_ms=%.2f render_ms=%.2f\n", st.onset_ms, st.render_ms);

    // Onset with pushes at real-time pace.
    std::thread pusher([&] {
      const auto t0 = Clock::now();
      for (size_t at = 0, k = 0; at < clip.size(); at += 320, ++k) {
        le_utt_push_audio(s.u, clip.data() + at, static_cast<int>(std::min<size_t>(320, clip.size() - at)));
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(20 * (k + 1)));
      }
      le_utt_end_utterance(s.u);
    });
    pusher.join();
    s.settle();
    le_utt_get_stats(s.u, &st);
    std::printf("utt live_onset_ms=%.2f need_ms=%.2f\n", st.onset_ms, r == 0 ? needMs(bundle, clip) : -1.0);

    // Interrupt during speech: time to the first ramp frame in the ring.
    le_utt_push_audio(s.u, longClip.data(), static_cast<int>(longClip.size()));
    int seen = 0;
    while (seen < 10) {
      const int k = s.pull();
      if (k == 1) ++seen;
      else if (k < 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto t0 = Clock::now();
    le_utt_interrupt(s.u);
    double took = -1;
    while (took < 0 && ms(t0, Clock::now()) < 5000) {
      const int k = s.pull();
      if (k == 2) took = ms(t0, Clock::now());
      else if (k < 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    std::printf("utt interrupt_ms=%.2f\n", took);
    std::fflush(stdout);
    s.settle();
  }
  le_utt_destroy(s.u);
  le_destroy(ctx);
  return 0;
}
