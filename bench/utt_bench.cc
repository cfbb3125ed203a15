// The utterance session on a bundle (the demo avatar: 1920x1080, crop 512).
// usage: utt_bench BUNDLE ROUNDS [teeth|window]
//   teeth: the session armed with the bundle's mouth bank; only the
//   sustained rate is measured (utt teeth_fps=.. borrowed=..)
//   window: ROUNDS alternations of a whole-frame session and one whose
//   window is the square around the face a live host sends; process CPU
//   per speech frame of each, and of a whole-frame session making I420 as a
//   live host takes it, and of a window session making I420 with the mouth
//   bank armed, as the live host runs it (utt window whole_cpu_ms=..
//   window_cpu_ms=.. i420_cpu_ms=.. live_cpu_ms=..)
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

#include <sys/resource.h>

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
  int width = 0, height = 0;  // set for a session that makes I420 frames
  // Pulls one frame if there is one; its kind, or -1.
  int pull() {
    le_utt_frame_info info;
    if (width) {
      const int cw = (width + 1) / 2;
      uint8_t* u0 = buf.data() + static_cast<size_t>(width) * height;
      const le_i420 planes{buf.data(), width, u0, cw, u0 + static_cast<size_t>(cw) * ((height + 1) / 2), cw};
      return le_utt_pull_frame_i420(u, &planes, &info) == 1 ? info.kind : -1;
    }
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

double cpuMs() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// The square the live host sends for its face output: the crop's size,
// centred where frame 0's crop sits, on the chroma grid.
void faceBox(le_ctx* ctx, le_utt_opts& o) {
  float m[6];
  le_crop_transform(ctx, 0, m);
  const int W = le_width(ctx), H = le_height(ctx), c = le_crop(ctx);
  const int side = std::min({static_cast<int>(std::sqrt(std::fabs(m[0] * m[4] - m[1] * m[3])) * c), W, H}) / 2 * 2;
  const float cx = m[0] * c / 2 + m[1] * c / 2 + m[2], cy = m[3] * c / 2 + m[4] * c / 2 + m[5];
  o.window_x = std::clamp(static_cast<int>(cx) - side / 2, 0, W - side) / 2 * 2;
  o.window_y = std::clamp(static_cast<int>(cy) - side / 2, 0, H - side) / 2 * 2;
  o.window_width = o.window_height = side;
}

// A 12 s utterance through a fresh session on ctx, pulled as fast as it
// comes: (speech frames per second, process CPU ms per speech frame).
std::pair<double, double> sustained(le_ctx* ctx, const std::string& bundle, bool window, bool i420 = false,
                                    bool teeth = false) {
  le_utt_opts o;
  le_utt_opts_default(&o);
  o.motion_dir = bundle.c_str();
  o.frame_i420 = i420;
  if (window) faceBox(ctx, o);
  const int w = window ? o.window_width : le_width(ctx), h = window ? o.window_height : le_height(ctx);
  Session s{le_utt_create(ctx, &o), std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  if (i420) s.width = w, s.height = h;
  if (!s.u) return {-1, -1};
  for (int i = 0; i < 60000 && le_utt_ready(s.u) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (teeth && !armTeeth(s.u, bundle)) {
    le_utt_destroy(s.u);
    return {-1, -1};
  }
  s.settle();
  const std::vector<int16_t> clip = speech(12.0);
  const int expect = static_cast<int>(clip.size() / 640);
  le_utt_push_audio(s.u, clip.data(), static_cast<int>(clip.size()));
  le_utt_end_utterance(s.u);
  const auto t0 = Clock::now();
  const double c0 = cpuMs();
  int spoken = 0;
  while (spoken < expect && ms(t0, Clock::now()) < 120000) {
    const int k = s.pull();
    if (k == 1) ++spoken;
    else if (k < 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double cpu = cpuMs() - c0, wall = ms(t0, Clock::now());
  le_utt_destroy(s.u);
  return {spoken * 1000.0 / wall, cpu / std::max(spoken, 1)};
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
  if (argc > 3 && std::string(argv[3]) == "window") {
    for (int r = 0; r < std::max(rounds, 1); ++r) {
      const auto whole = sustained(ctx, bundle, false), part = sustained(ctx, bundle, true),
                 planes = sustained(ctx, bundle, false, true), live = sustained(ctx, bundle, true, true, true);
      if (whole.first < 0 || part.first < 0 || planes.first < 0 || live.first < 0) {
        std::fprintf(stderr, "%s\n", le_utt_last_error());
        return 1;
      }
      std::printf("utt window whole_cpu_ms=%.2f window_cpu_ms=%.2f i420_cpu_ms=%.2f live_cpu_ms=%.2f whole_fps=%.2f "
                  "window_fps=%.2f i420_fps=%.2f live_fps=%.2f\n",
                  whole.second, part.second, planes.second, live.second, whole.first, part.first, planes.first,
                  live.first);
      std::fflush(stdout);
    }
    le_destroy(ctx);
    return 0;
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
