// The le_motion_ family: the three-network motion engine behind the C
// boundary. A runtime failure is reported by the call that met it and by
// every later call until reset, so a host polling for frames learns why
// none come.
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "audio/keypoint_stream.h"
#include "audio/motion.h"
#include "core/api.h"
#include "core/ort.h"
#include "core/settings.h"
#include "le/le_a2x.h"

using le::api::Family;

struct le_motion {
  explicit le_motion(std::unique_ptr<le::motion::Motion> engine) : stream(std::move(engine), "") {}
  le::audio::Sticky<le::motion::Motion> stream;
  std::mutex mu;  // calls on one handle run one at a time
};

namespace le::motion {
Motion* implOf(le_motion* handle) { return handle ? &handle->stream.engine() : nullptr; }
}  // namespace le::motion

namespace {

// The handle's lock, or nothing for a NULL handle (which the call refuses).
std::unique_lock<std::mutex> lockOf(le_motion* m) {
  return m ? std::unique_lock<std::mutex>(m->mu) : std::unique_lock<std::mutex>();
}

le::audio::Sticky<le::motion::Motion>& streamOf(le_motion* m, const char* why = "bad args") {
  if (!m) throw std::runtime_error(why);
  return m->stream;
}

}  // namespace

extern "C" {

le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  return le::api::guard(Family::Motion, __func__, static_cast<le_motion*>(nullptr), [&] {
    if (!motion_dir || !*motion_dir) throw std::runtime_error("NULL motion_dir");
    return new le_motion(le::motion::Motion::create(motion_dir, threads, ep ? ep : "", le::fromEnvironment().audio.motionDump));
  });
}

void le_motion_destroy(le_motion* m) {
  delete m;
  le::ort::releaseCached();  // what its runs kept goes back with the stream
}

int le_motion_push(le_motion* m, const float* samples, int n) {
  return le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    streamOf(m, "bad args / already finished").push(samples, n);
    return 1;
  });
}

void le_motion_finish(le_motion* m) {
  le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    streamOf(m).finish();
    return 1;
  });
}

int le_motion_avail(le_motion* m) {
  return le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    return streamOf(m).avail();
  });
}

int le_motion_pull(le_motion* m, int* idx, float* xs, float* out, int n) {
  return le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    return streamOf(m).pull(idx, xs, out, n);
  });
}

int le_motion_total(le_motion* m) {
  return le::api::guard(Family::Motion, __func__, -1, [&] {
    const auto lock = lockOf(m);
    return streamOf(m).total();
  });
}

int le_motion_nt(le_motion* m) {
  return le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    return streamOf(m).engine().nt();
  });
}

void le_motion_reset(le_motion* m, int start, int dir, int loop) {
  le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    streamOf(m).reset(start, dir, loop);
    return 1;
  });
}

void le_motion_set_eager(le_motion* m, int value) {
  le::api::guard(Family::Motion, __func__, 0, [&] {
    const auto lock = lockOf(m);
    streamOf(m).setEager(value);
    return 1;
  });
}

}  // extern "C"
