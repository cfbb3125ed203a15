// The utterance session's audio side: the warm thread, which builds the
// audio engine and the chunk renderer and renders a warm-up frame, and the
// dispatch thread, which runs the run thread's jobs on the audio engine.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "core/bundle.h"
#include "core/log.h"
#include "session/utt.h"

using le::utt::kKp;

namespace {

// A job and the close both wake the motion thread; the timeout only bounds
// a wait that no notification ends.
constexpr auto kWait = std::chrono::milliseconds(100);

}  // namespace

void le_utt::warmLoop() {
  std::unique_ptr<le::audio::KeypointStream> m;
  std::string error;
  try {
    m = le::audio::openKeypointStream(motionDir_, threads_, motionEp_, audio_, where_);
    m->setEager(hybrid_ ? 3 : eagerValue_);
  } catch (const std::exception& e) {
    m.reset();
    error = std::string(a2xMode_ ? "le_a2x_create: " : "le_motion_create: ") + e.what();
  }
  if (steadyModel_ != "-") {
    const std::string path = engine_.manifest().modelPath(steadyModel_);
    const int fd = le::openRegularFile(path);
    if (fd < 0) {
      le::log::printf(le::log::kInfo, "[le_utt] steady chunk renderer '%s': no %s in the bundle; rendering one frame at a time\n",
                      steadyModel_.c_str(), path.c_str());
    } else {
      ::close(fd);
      try {
        chunk_ = std::make_unique<le::Renderer>(engine_.avatar()->director(steadyModel_, 0, ""), engine_.identity());
        const std::string ctxEp = engine_.ep();
        if (ctxEp.rfind("coreml-native", 0) == 0 && ctxEp != chunk_->ep()) {
          le::log::printf(le::log::kWarn,
                          "[le_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on "
                          "ep=%s while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML "
                          "director costs MORE per frame than the per-frame path it was meant to amortize, and letting "
                          "timing choose between two runtimes makes the delivered pixels depend on scheduling.\n",
                          steadyModel_.c_str(), ctxEp.c_str(), chunk_->ep());
          chunk_.reset();
        }
      } catch (const std::exception& e) {
        chunk_.reset();
        noteRenderFail("steady load", e.what(), false);
      }
    }
  }
  const le::Drive& d = engine_.drive();
  if (d.frames > 0) {
    try {
      // Into crops lent for the run: the renderers' own would stay mapped
      // for the stream's life, and the stream's frames go straight into
      // theirs.
      const auto none = [](const float*) {};
      engine_.renderer().render(&d.si[0], &d.xs[0], &d.xd[0], 1, none);
      if (chunk_) chunk_->render(&d.si[0], &d.xs[0], &d.xd[0], 1, none);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what(), false);
    }
  }
  {
    std::lock_guard<std::mutex> lk(jobMu_);
    motion_ = std::move(m);
  }
  std::lock_guard<std::mutex> lk(mu_);
  if (motion_) {
    engineReady_ = true;
  } else {
    engineFailed_ = true;
    engineError_ = error.empty() ? "the motion engine could not be created" : error;
  }
  wake_.notify_all();
}

void le_utt::dispatchLoop() {
  for (;;) {
    std::unique_lock<std::mutex> lk(jobMu_);
    jobCv_.wait_for(lk, kWait, [&] { return (job_ && !jobDone_) || closing(); });
    if (closing()) return;
    if (!job_ || jobDone_) continue;
    const le::utt::Request& q = job_->request;
    le::utt::Result& r = job_->result;
    le::audio::KeypointStream& m = *motion_;
    lk.unlock();
    if (q.reset) m.reset(q.start, 1, 1);
    if (q.eager != 0) m.setEager(q.eager);
    int a = 0;
    r.gen = q.gen;
    r.got = 0;
    r.total = -1;
    try {
      if (!q.audio.empty()) m.push(q.audio.data(), static_cast<int>(q.audio.size()));
      if (q.finish) m.finish();
      a = m.avail();
      if (q.pullN >= 1 && a >= 1) {
        const int n = std::min(q.pullN, a);
        r.idx.resize(n);
        r.xs.resize(static_cast<size_t>(n) * kKp);
        r.out.resize(static_cast<size_t>(n) * kKp);
        r.got = m.pull(r.idx.data(), r.xs.data(), r.out.data(), n);
      }
      r.total = m.total();
    } catch (const std::exception& e) {
      // Whatever stopped the engine stops it for the rest of the utterance:
      // a refused push too.
      if (m.failure().empty()) m.fail(e.what());
      a = r.got;
    }
    r.remaining = std::max(0, a - r.got);
    r.failure = m.failure();
    lk.lock();
    jobDone_ = true;
    lk.unlock();
    jobCv_.notify_all();
    std::lock_guard<std::mutex> g(mu_);
    wake_.notify_all();
  }
}
