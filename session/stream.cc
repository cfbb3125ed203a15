// The whole-stream runner (le_stream_): a clip's deltas from the fca model,
// then its frames rendered on a second thread into a ring of four crops while
// the calling thread pastes them and hands them to the host in order.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/fca.h"
#include "core/api.h"
#include "core/settings.h"
#include "core/bundle.h"
#include "core/finite.h"
#include "engine/engine.h"
#include "le/le.h"
#include "le/le_a2x.h"

using le::api::Family;
using le::api::RawFailure;

struct le_stream {
  le_ctx* ctx = nullptr;
  le_fca* fca = nullptr;
  int nt = 0, width = 0, height = 0, crop = 0;
  std::vector<float> xsTarget;
  int skip = 0;
  float gain = 1.0f;
  // One run at a time: a second thread (or a callback calling back in) is
  // refused rather than sharing the engine.
  std::atomic<bool> running{false};
  ~le_stream() {
    le_fca_destroy(fca);
    le_destroy(ctx);
  }
};

namespace {

constexpr int kSlots = 4;
constexpr int kKp = le::kKpValues;
constexpr float kMaxGain = 1000.0f;

// Renders frames in order into the ring; stops at the first failure or when
// told to.
struct Ring {
  std::mutex mu;
  std::condition_variable produced, consumed;
  std::vector<std::vector<float>> slots;
  int made = 0, taken = 0;
  bool stop = false;
  std::atomic<bool> failed{false};
};

}  // namespace

extern "C" {

le_stream* le_stream_create(const char* bundle, const char* encoder, int threads, int skip, float gain) {
  return le::api::guard(Family::Stream, __func__, static_cast<le_stream*>(nullptr), [&]() -> le_stream* {
    if (!bundle || !*bundle || !encoder || !*encoder) throw std::runtime_error("bad args");
    auto s = std::make_unique<le_stream>();
    s->ctx = le_create(bundle, "render", threads, "");
    if (!s->ctx) throw RawFailure{std::string("le_create: ") + le_last_error()};
    // The delta model sits in the bundle's directory (unpacked when the
    // bundle is a container).
    const std::string dir = le::resolveBundlePath(bundle, le::fromEnvironment().bundle.unwrapRoot);
    s->fca = le_fca_create(encoder, (dir + "/fca_stream.onnx").c_str(), threads);
    if (!s->fca) throw RawFailure{std::string("le_fca_create: ") + le_fca_last_error()};
    le::Engine& e = le::engineOf(s->ctx);
    e.renderer();  // the director loads now, so a bad one fails here and not at the first frame
    s->nt = e.nt();
    s->width = e.width();
    s->height = e.height();
    s->crop = e.crop();
    s->skip = skip < 0 ? 0 : skip;
    s->gain = gain;
    if (!std::isfinite(gain)) throw std::runtime_error("gain is not a finite number");
    // Keypoints live in [-1, 1]: a larger gain throws every face out of its crop.
    if (std::fabs(gain) > kMaxGain) throw std::runtime_error("gain " + le::shortNumber(gain) + " is beyond +-1000");
    s->xsTarget = le::loadKeypointTrack(dir, s->nt);
    return s.release();
  });
}

void le_stream_destroy(le_stream* s) { delete s; }

int le_stream_width(le_stream* s) {
  return le::api::guard(Family::Stream, __func__, 0, [&] {
    if (!s) throw std::runtime_error("bad args");
    return s->width;
  });
}

int le_stream_height(le_stream* s) {
  return le::api::guard(Family::Stream, __func__, 0, [&] {
    if (!s) throw std::runtime_error("bad args");
    return s->height;
  });
}

int le_stream_run(le_stream* s, const float* samples, int n, le_stream_frame_fn callback, void* user) {
  return le::api::guard(Family::Stream, __func__, -1, [&] {
    if (!s || !callback || (n > 0 && !samples)) throw std::runtime_error("bad args");
    if (n <= 0) return 0;
    bool idle = false;
    if (!s->running.compare_exchange_strong(idle, true))
      throw RawFailure{"le_stream_run: the stream is already running on another thread (one run at a time)"};
    struct Release {
      std::atomic<bool>& flag;
      ~Release() { flag = false; }
    } release{s->running};
    const int T = static_cast<int>((static_cast<int64_t>(n) + le::kFrameSamples - 1) / le::kFrameSamples);
    std::vector<float> deltas(static_cast<size_t>(T) * kKp);
    if (le_fca_deltas(s->fca, samples, n, deltas.data(), T) != T)
      throw RawFailure{std::string("le_fca_deltas: ") + le_fca_last_error()};
    const int frames = T > s->skip ? T - s->skip : 0;
    if (frames == 0) return 0;

    le::Engine& e = le::engineOf(s->ctx);
    const size_t cropFloats = static_cast<size_t>(3) * s->crop * s->crop;
    Ring ring;
    ring.slots.assign(kSlots, std::vector<float>(cropFloats));
    // A keypoint that overflows (a huge gain) fails the frame in the
    // renderer's own check.
    auto keypoints = [&](int j, float* driving) {
      const int t = j + s->skip, si = t % s->nt;
      const float* xs = &s->xsTarget[static_cast<size_t>(si) * kKp];
      for (int k = 0; k < kKp; ++k) driving[k] = xs[k] + s->gain * deltas[static_cast<size_t>(t) * kKp + k];
      return si;
    };
    std::thread renderer([&] {
      float driving[kKp];
      for (int j = 0; j < frames; ++j) {
        {
          std::unique_lock<std::mutex> lk(ring.mu);
          ring.consumed.wait(lk, [&] { return ring.stop || ring.made - ring.taken < kSlots; });
          if (ring.stop) return;
        }
        const int si = keypoints(j, driving);
        const float* crop = nullptr;
        try {
          crop = e.render(si, &s->xsTarget[static_cast<size_t>(si) * kKp], driving);
        } catch (...) {
          crop = nullptr;
        }
        std::lock_guard<std::mutex> lk(ring.mu);
        if (!crop) {
          ring.failed = true;
          ring.produced.notify_all();
          return;
        }
        std::memcpy(ring.slots[j % kSlots].data(), crop, cropFloats * sizeof(float));
        ++ring.made;
        ring.produced.notify_all();
      }
    });
    // Whatever happens on this thread, the renderer is stopped and joined.
    struct Join {
      Ring& ring;
      std::thread& thread;
      ~Join() {
        {
          std::lock_guard<std::mutex> lk(ring.mu);
          ring.stop = true;
        }
        ring.consumed.notify_all();
        thread.join();
      }
    } join{ring, renderer};

    std::vector<uint8_t> frame(e.frameBytes());
    int delivered = 0;
    for (int j = 0; j < frames; ++j) {
      {
        std::unique_lock<std::mutex> lk(ring.mu);
        ring.produced.wait(lk, [&] { return ring.failed.load() || ring.made > j; });
        if (ring.made <= j) throw RawFailure{"le_stream_run: render/paste failed"};
      }
      const int si = (j + s->skip) % s->nt;
      try {
        e.cursor().pullAt(si, frame.data());
        e.composite(ring.slots[j % kSlots].data(), si, frame.data());
      } catch (const std::exception&) {
        throw RawFailure{"le_stream_run: render/paste failed"};
      }
      {
        std::lock_guard<std::mutex> lk(ring.mu);
        ++ring.taken;
      }
      ring.consumed.notify_all();
      callback(user, j, frame.data(), s->width, s->height);
      ++delivered;
    }
    return delivered;
  });
}

}  // extern "C"
