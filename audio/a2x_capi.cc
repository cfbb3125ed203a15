// The le_a2x_ family: the streaming engine and the shared encoder preload
// behind the C boundary.
#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "audio/a2x.h"
#include "audio/keypoint_stream.h"
#include "audio/shared_w2v.h"
#include "core/api.h"
#include "core/ort.h"
#include "core/settings.h"
#include "le/le_a2x.h"

using le::api::Family;

struct le_a2x {
  explicit le_a2x(std::unique_ptr<le::a2x::A2x> engine) : stream(std::move(engine), "le_a2x extend: ") {}
  le::audio::Sticky<le::a2x::A2x> stream;
  std::mutex mu;  // calls on one handle run one at a time
};

namespace le::a2x {
A2x* implOf(le_a2x* handle) { return handle ? &handle->stream.engine() : nullptr; }
}  // namespace le::a2x

namespace {

// The handle's lock, or nothing for a NULL handle (which the call refuses).
std::unique_lock<std::mutex> lockOf(le_a2x* a) {
  return a ? std::unique_lock<std::mutex>(a->mu) : std::unique_lock<std::mutex>();
}

le::audio::Sticky<le::a2x::A2x>& streamOf(le_a2x* a) {
  if (!a) throw std::runtime_error("bad args");
  return a->stream;
}

le::a2x::A2x& engineOf(le_a2x* a) { return streamOf(a).engine(); }

// Runs a call on the handle's stream; a stopped stream's failure is reported
// as it is (its text names the stage that failed).
template <typename F>
auto onStream(le_a2x* a, F&& f) -> decltype(f(streamOf(a))) {
  try {
    return f(streamOf(a));
  } catch (const le::audio::Stopped& e) {
    throw le::api::RawFailure{e.what()};
  }
}

}  // namespace

namespace le::a2x {

le_a2x_opts defaults(const Settings& s) {
  le_a2x_opts o{};
  o.size = sizeof o;
  o.threads = 0;
  o.w2v_onnx = le::api::intern(s.audio.w2v);
  o.w2v_window_onnx = le::api::intern(s.audio.w2vWindow);
  o.w2v_head_onnx = le::api::intern(s.audio.w2vHead);
  o.right_context = s.audio.right;
  o.silence_prime = static_cast<int>(std::min<long>(s.audio.silencePrime, 1 << 30));
  o.cuda = s.audio.cuda;
  o.cuda_mem_mib = static_cast<int>(std::clamp<long>(s.audio.cudaMemMib, -1, 1 << 30));
  o.unwrap_root = le::api::intern(s.bundle.unwrapRoot);
  return o;
}

AudioSettings audioOf(const le_a2x_opts& o, const std::string& motionDump) {
  auto text = [](const char* p) { return std::string(p ? p : ""); };
  AudioSettings a;
  a.w2v = text(o.w2v_onnx);
  a.w2vWindow = text(o.w2v_window_onnx);
  a.w2vHead = text(o.w2v_head_onnx);
  a.right = std::max(0, o.right_context);
  a.silencePrime = o.silence_prime < 0 ? -1 : o.silence_prime;
  a.cuda = o.cuda != 0;
  a.cudaMemMib = o.cuda_mem_mib;
  a.motionDump = motionDump;
  return a;
}

}  // namespace le::a2x

namespace {

le_a2x* createFrom(const char* bundle, const le_a2x_opts& o) {
  if (!bundle || !*bundle) throw std::runtime_error("bad args");
  le::BundleSettings where;
  where.unwrapRoot = o.unwrap_root ? o.unwrap_root : "";
  return new le_a2x(le::a2x::A2x::create(bundle, o.threads, le::a2x::audioOf(o, {}), where));
}

}  // namespace

extern "C" {

le_a2x* le_a2x_create(const char* bundle, int threads) {
  return le::api::guard(Family::A2x, __func__, static_cast<le_a2x*>(nullptr), [&] {
    const le::Settings s = le::fromEnvironment();
    le_a2x_opts o = le::a2x::defaults(s);
    o.threads = threads;
    return createFrom(bundle, o);
  });
}

void le_a2x_opts_default(le_a2x_opts* opts) {
  le::api::guardQuiet(0, [&] {
    if (!opts) return 0;
    *opts = le::a2x::defaults(le::fromEnvironment());
    return 1;
  });
}

le_a2x* le_a2x_create_opts(const char* bundle, const le_a2x_opts* opts) {
  return le::api::guard(Family::A2x, __func__, static_cast<le_a2x*>(nullptr), [&] {
    const le::Settings s = le::fromEnvironment();
    return createFrom(bundle, le::api::readOpts(opts, le::a2x::defaults(s)));
  });
}

void le_a2x_destroy(le_a2x* a) {
  delete a;
  le::ort::releaseCached();  // what its runs kept goes back with the stream
}

int le_a2x_push(le_a2x* a, const float* samples, int n) {
  return le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    if (n > 0 && !samples) throw std::runtime_error("bad args");
    onStream(a, [&](auto& s) { s.push(samples, n); });
    return 1;
  });
}

void le_a2x_finish(le_a2x* a) {
  le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    onStream(a, [&](auto& s) { s.finish(); });
    return 1;
  });
}

int le_a2x_avail(le_a2x* a) {
  return le::api::guard(Family::A2x, __func__, -1, [&] {
    const auto lock = lockOf(a);
    return onStream(a, [&](auto& s) { return s.avail(); });
  });
}

int le_a2x_total(le_a2x* a) {
  return le::api::guard(Family::A2x, __func__, -1, [&] {
    const auto lock = lockOf(a);
    return onStream(a, [&](auto& s) { return s.total(); });
  });
}

int le_a2x_pull(le_a2x* a, int* idx, float* xs, float* out, int n) {
  return le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    return onStream(a, [&](auto& s) { return s.pull(idx, xs, out, n); });
  });
}

int le_a2x_pull_wn(le_a2x* a, int* idx, float* xs, float* out, float* wn, int n) {
  return le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    return onStream(a, [&](auto& s) { return s.run([&] { return s.engine().pull(idx, xs, out, wn, n); }); });
  });
}

int le_a2x_deltas(le_a2x* a, const float* samples, int n, float* out, int max_frames) {
  return le::api::guard(Family::A2x, __func__, -1, [&] {
    const auto lock = lockOf(a);
    return engineOf(a).deltas(samples, n, out, nullptr, max_frames);
  });
}

int le_a2x_deltas_wn(le_a2x* a, const float* samples, int n, float* out, float* wn, int max_frames) {
  int result = -1;
  le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    le::a2x::A2x& e = engineOf(a);
    if (!e.width()) {
      result = -3;
      throw std::runtime_error("encoder declares no wn output");
    }
    if (n > 0 && !wn) throw std::runtime_error("bad args");
    result = e.deltas(samples, n, out, wn, max_frames);
    return 1;
  });
  return result;
}

int le_a2x_nt(le_a2x* a) {
  return le::api::guard(Family::A2x, __func__, 0, [&] { return engineOf(a).nt(); });
}

int le_a2x_get_info(le_a2x* a, le_a2x_info* info) {
  return le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    const le::a2x::A2x& e = engineOf(a);
    le_a2x_info full{};
    full.size = sizeof full;
    le::api::copyText(full.frontend, e.shortWindow() ? "short-window" : "8s-window");
    full.lag = e.lag();
    full.lookahead = e.lookahead();
    full.right_context = e.model()->right;
    full.threads = e.model()->threads;
    le::api::copyInfo(info, full);
    return 1;
  });
}

int le_a2x_width(le_a2x* a) {
  return le::api::guard(Family::A2x, __func__, 0, [&] { return engineOf(a).width() ? 1 : 0; });
}

void le_a2x_reset(le_a2x* a, int start, int dir, int loop) {
  le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    streamOf(a).reset(start, dir, loop);
    return 1;
  });
}

void le_a2x_set_eager(le_a2x* a, int flag) {
  le::api::guard(Family::A2x, __func__, 0, [&] {
    const auto lock = lockOf(a);
    engineOf(a).setEager(flag);
    return 1;
  });
}

int le_a2x_preload_w2v(const char* path) {
  return le::api::guard(Family::A2x, __func__, 0, [&] {
    std::string p = path ? path : "";
    const le::Settings s = le::fromEnvironment();
    if (p.empty()) p = s.audio.w2v;
    if (p.empty()) throw std::runtime_error("no path and $W2V_ONNX unset");
    return le::a2x::get_shared_w2v(p, 0, s.audio) ? 1 : 0;
  });
}

int le_a2x_w2v8_lazy(void) { return 1; }

}  // extern "C"
