#include "session/utt.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/api.h"
#include "core/bundle.h"
#include "audio/a2x.h"
#include "core/settings.h"
#include "core/finite.h"
#include "core/log.h"
#include "kernels/pool.h"
#include "le/le_a2x.h"
#include "core/thread_name.h"

using le::api::RawFailure;
using le::utt::Job;
using le::utt::Kind;
using le::utt::kKp;
using le::utt::kPasteJobs;
using le::utt::kRing;
using le::utt::kRowsAsked;

namespace {

constexpr auto kWait = std::chrono::milliseconds(2);
constexpr double kFrameMs = 1000.0 * le::kFrameSamples / le::kSampleRate;  // one frame period

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

le_utt::le_utt(le_ctx* ctx, const le_utt_opts& o, const le::Settings& env)
    : ctx_(ctx), loan_(ctx), engine_(le::engineOf(ctx)), hold_(*engine_.avatar()) {
  if (!o.motion_dir || !*o.motion_dir) throw std::runtime_error("opts.motion_dir required");
  // With its size set the struct says everything; a zero size leaves the
  // members past the first eight to the environment. A struct that ends
  // before the window (a caller built before it) has the whole frame.
  constexpr size_t kBeforeWindow = offsetof(le_utt_opts, window_x);
  if (o.size != 0 && o.size != sizeof(le_utt_opts) && o.size != kBeforeWindow)
    throw std::runtime_error("opts.size is neither 0 nor sizeof(le_utt_opts)");
  const bool own = o.size != 0;
  le::FrameWindow win;
  bool i420 = false;
  if (o.size == sizeof(le_utt_opts)) {
    win = le::FrameWindow{o.window_x, o.window_y, o.window_width, o.window_height};
    i420 = o.frame_i420 != 0;
  }
  le::SessionSettings ss = env.session;
  audio_ = env.audio;
  where_ = env.bundle;
  if (own) {
    ss.pipelinePaste = o.pipeline_paste < 0 ? -1 : o.pipeline_paste != 0;
    ss.onsetSi = o.onset_si;
    ss.stageReport = o.stage_report != 0;
    ss.steadyModel.clear();
    ss.hybrid = false;
    if (o.audio) {
      const le_a2x_opts a = le::api::readOpts(o.audio, le::a2x::defaults(env));
      audio_ = le::a2x::audioOf(a, env.audio.motionDump);
      where_.unwrapRoot = a.unwrap_root ? a.unwrap_root : "";
    }
  }
  stageReport_ = ss.stageReport;
  motionDir_ = o.motion_dir;
  motionEp_ = o.motion_ep ? o.motion_ep : "";
  threads_ = le::pool::clampThreads(o.threads);
  nt_ = engine_.nt();
  crop_ = engine_.crop();

  const std::string dir = le::resolveBundlePath(motionDir_, where_.unwrapRoot);
  a2xMode_ = le::audio::isA2xBundle(dir);
  pipelined_ = ss.pipelinePaste < 0 ? a2xMode_ : ss.pipelinePaste != 0;
  steadyModel_ = o.steady_model && *o.steady_model ? o.steady_model : "b24_fp32";
  if (!ss.steadyModel.empty()) steadyModel_ = ss.steadyModel;
  if (ss.onsetSi >= 0) onsetIndex_ = nt_ > 0 ? static_cast<int>(ss.onsetSi % nt_) : 0;
  if (o.eager == LE_UTT_EAGER_HYBRID) {
    hybrid_ = true;
  } else if (o.eager >= 1) {
    eagerValue_ = o.eager;
  } else {
    hybrid_ = ss.hybrid;
  }
  if (o.gap_s == 0) gapMs_ = 600;
  else if (o.gap_s < 0 || std::isnan(o.gap_s)) gapMs_ = -1;
  else gapMs_ = o.gap_s * 1000;
  rampFrames_ = o.ramp_frames < 1 ? 6 : o.ramp_frames;
  interruptRamp_ = o.interrupt_ramp_frames < 1 ? 4 : o.interrupt_ramp_frames;
  inbox_ = le::utt::Inbox(gapMs_);

  xsTarget_ = le::loadKeypointTrack(dir, nt_);
  le::utt::Config config;
  config.nt = nt_;
  config.ring = kRing;
  config.rowsAsked = kRowsAsked;
  config.hybrid = hybrid_;
  config.eager = eagerValue_;
  config.onsetIndex = onsetIndex_;
  config.rampFrames = rampFrames_;
  config.interruptRamp = interruptRamp_;
  config.xsTarget = xsTarget_.data();
  logic_ = std::make_unique<le::utt::Logic>(config);

  le::Renderer& r = engine_.renderer();  // as the context would make it
  if (*r.directorNote()) noteRenderFail("director load", r.directorNote(), false);
  le::FrameRing::Hooks hooks;
  hooks.fail = [this](const le::FrameTag&, const char* stage, const std::string& what, bool fatal) {
    noteRenderFail(stage, what, fatal);
  };
  hooks.written = [this](const le::FrameJob& job) { written(job); };
  ring_ = std::make_unique<le::FrameRing>(engine_, kRing, kPasteJobs, pipelined_, std::move(hooks), win, i420);
  const le::FrameWindow& made = ring_->window();
  outW_ = made.w;
  outH_ = made.h;
  frameBytes_ = made.bytes();
  if (!made.covers(engine_.width(), engine_.height())) {
    engine_.cursor().keepWindow(made);
    keep_.cursor = &engine_.cursor();
  }
  tess_ = std::make_unique<le::TessStage>([this](le::FrameJob&& job) { return ring_->post(std::move(job)); });
  try {
    dispatch_ = std::thread([this] {
      le::nameThisThread("le-utt-motion");
      dispatchLoop();
    });
    warm_ = std::thread([this] {
      le::nameThisThread("le-utt-load");
      warmLoop();
    });
    run_ = std::thread([this] {
      le::nameThisThread("le-utt-run");
      runLoop();
    });
  } catch (...) {
    stopThreads();
    throw;
  }
}

void le_utt::stopThreads() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    closing_ = true;
  }
  {
    // Taken once so that a thread between its check and its wait sees the
    // flag before it sleeps.
    std::lock_guard<std::mutex> lk(jobMu_);
  }
  wake_.notify_all();
  jobCv_.notify_all();
  if (ring_) ring_->close();
  if (tess_) tess_->close();
  for (std::thread* t : {&run_, &warm_, &dispatch_})
    if (t->joinable()) t->join();
}

le_utt::~le_utt() {
  stopThreads();
  motion_.reset();
  if (stageReport_) {
    const le::FrameRing::Stages st = ring_->stages();
    if (st.pasted == 0) {
      le::log::printf(le::log::kWarn,
                      "[le_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was asked for and the paste-job "
                      "counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). "
                      "stageA/stageB/stageC and the deliver latency are NOT reported rather than reported as zero: on "
                      "this path the paste does not run through the counted queue.\n",
                      pipelined_ ? 1 : 0, st.posted, static_cast<long long>(speechDelivered_));
    } else {
      const double n = static_cast<double>(st.pasted);
      le::log::printf(le::log::kInfo,
                      "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
                      "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
                      pipelined_ ? 1 : 0, st.posted, st.pasted, st.made / n, st.work / n, st.wait / n, st.paste / n,
                      st.step / n, speechDelivered_ ? deliverLat_ / speechDelivered_ : 0.0,
                      static_cast<long long>(speechDelivered_));
    }
  }
}

// ---- host side -----------------------------------------------------------------------------

void le_utt::push(const int16_t* x, int n) {
  std::lock_guard<std::mutex> lk(mu_);
  inbox_.push(nowMs(), x, n);
  wake_.notify_all();
}

void le_utt::endUtterance() {
  std::lock_guard<std::mutex> lk(mu_);
  inbox_.end();
  wake_.notify_all();
}

void le_utt::interrupt() {
  std::lock_guard<std::mutex> lk(mu_);
  inbox_.clear();
  ring_->drop();
  wake_.notify_all();
}

int le_utt::ready() {
  std::lock_guard<std::mutex> lk(mu_);
  if (engineFailed_) throw RawFailure{engineError_};
  if (fatal_) throw RawFailure{"le_utt_ready: " + failureText_};
  return engineReady_ ? 1 : 0;
}

int le_utt::available() {
  std::lock_guard<std::mutex> lk(mu_);
  return ring_->ready();
}

int le_utt::pull(uint8_t* buf, size_t cap, le_utt_frame_info* info, const le_i420* i420) {
  // Under the session's lock: an interrupt cannot drop the frame while it
  // is copied out.
  std::lock_guard<std::mutex> lk(mu_);
  if (i420) le::api::checkI420(i420, outW_, "le_utt_pull_frame_i420");
  le::FrameTag tag;
  uint64_t seq = 0;
  // A frame the host's sound has passed gives way to a later one waiting;
  // the last one waiting goes out late rather than none.
  while (ring_->ready() > 1 && ring_->front(&tag, nullptr) && passed(tag)) ring_->pop();
  if (i420 && ring_->i420()) {
    // Kept as planes: each row into the caller's stride.
    const le::I420Planes out{i420->y, i420->y_stride, i420->u, i420->u_stride, i420->v, i420->v_stride};
    if (!ring_->frontI420(out, &tag, &seq)) return 0;
  } else {
    const uint8_t* frame = ring_->front(&tag, &seq);
    if (!frame) return 0;
    if (i420) {
      le::api::toI420(frame, outW_, outH_, i420);
    } else {
      if (ring_->i420())
        throw RawFailure{"le_utt_pull_frame: the session makes I420 frames (le_utt_opts.frame_i420): pull them with "
                         "le_utt_pull_frame_i420"};
      if (cap < frameBytes_) throw RawFailure{"le_utt_pull_frame: buffer too small"};
      std::memcpy(buf, frame, frameBytes_);
    }
  }
  const Kind kind = static_cast<Kind>(tag.kind);
  if (info) *info = le_utt_frame_info{seq, tag.kind, tag.si, tag.ordinal};
  last_.have = true;
  last_.kind = kind;
  last_.si = tag.si;
  std::memcpy(last_.kp, tag.kp, sizeof last_.kp);
  if (kind == Kind::Speech) lastUtterance_ = tag.utterance;
  ring_->pop();
  ++delivered_;
  if (kind == Kind::Speech) {
    ++speechDelivered_;
    deliverLat_ += nowMs() - tag.postedMs;
  }
  wake_.notify_all();
  return 1;
}

void le_utt::skipTo(int ordinal) {
  std::lock_guard<std::mutex> lk(mu_);
  // Only the utterance on screen: its ordinal 0 was pulled.
  if (!last_.have || last_.kind != Kind::Speech) return;
  if (skip_.utterance != lastUtterance_) skip_ = Skip{lastUtterance_, 0, 0};
  skip_.before = std::max(skip_.before, ordinal);
  skip_.atMs = nowMs();
  wake_.notify_all();
}

int le_utt::leadAt(double ms) const {
  const double ahead = std::min(ms - skip_.atMs + std::max(0.0, landMs_), 3.6e6);
  return static_cast<int>(ahead / kFrameMs);
}

bool le_utt::passed(const le::FrameTag& tag, int lead) const {
  return static_cast<Kind>(tag.kind) == Kind::Speech && tag.utterance == skip_.utterance && skip_.utterance != 0 &&
         static_cast<int64_t>(tag.ordinal) < static_cast<int64_t>(skip_.before) + lead;
}

void le_utt::stats(le_utt_stats* s) {
  std::lock_guard<std::mutex> lk(mu_);
  *s = le_utt_stats{delivered_, speechDelivered_, onsets_, onsetMs_, renderMs_ < 0 ? 0.0 : renderMs_, state_.load()};
}

int le_utt::renderStatus(char* text, int cap, int* failures) {
  std::lock_guard<std::mutex> lk(mu_);
  if (text && cap > 0) le::api::fill_err(text, cap, failureText_.c_str());
  if (failures) *failures = failures_;
  return fatal_ ? -1 : 0;
}

void le_utt::noteRenderFail(const char* stage, const std::string& what, bool fatal) {
  std::lock_guard<std::mutex> lk(mu_);
  ++failures_;
  failureText_ = std::string("ep=") + engine_.ep() + " " + stage + ": " + (what.empty() ? "unknown failure" : what);
  if (fatal) fatal_ = true;
}

// ---- run thread ------------------------------------------------------------------------------

void le_utt::runLoop() {
  while (!closing()) {
    progressed_ = false;
    if (!pass()) return;
    if (!progressed_) {
      std::unique_lock<std::mutex> lk(mu_);
      wake_.wait_for(lk, kWait, [&] {
        return closing() || ring_->generation() != logic_->generation() || takeable();
      });
    }
  }
}

// One pass: what the rules see, the action they choose, carried out.
bool le_utt::pass() {
  le::utt::Inputs in;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (closing()) return false;
    in.now = nowMs();
    inbox_.closeOnGap(in.now);
    in.generation = ring_->generation();
    // The front utterance's speech continues the open utterance or opens
    // the next; behind an ended one it waits until that one has closed.
    // Speech pushed after an interrupt waits until the interrupt is handled.
    if (in.generation == logic_->generation() && takeable()) in.speech = inbox_.take();
    in.ring = ring_->ready();
    in.pasteJobs = ring_->queued();
    in.inFlight = inFlight_.load();
    in.landed = landed_;
    // The nearest whole number of frame periods, at most two: the first
    // frame waits behind the idle ones half a period at most.
    in.onsetCover = onsetLandMs_ > 0 ? static_cast<int>(std::min(2.0, std::round(onsetLandMs_ / kFrameMs))) : 0;
    in.engineReady = engineReady_;
    in.engineFailed = engineFailed_;
    in.last = last_;
  }
  // The chunk renderer is in place before the engine is ready.
  in.chunk = in.engineReady && chunk_ ? chunk_->batch() : 0;
  if (logic_->inFlight()) {
    std::lock_guard<std::mutex> lk(jobMu_);
    if (jobDone_) {
      in.done = std::make_unique<le::utt::Result>(std::move(job_->result));
      job_.reset();
      jobDone_ = false;
    }
  }
  le::utt::Action act = logic_->step(in);
  state_ = static_cast<int>(logic_->state());
  progressed_ = act.progressed;
  if (!act.engineFailure.empty()) {
    std::lock_guard<std::mutex> lk(mu_);
    ++failures_;
    fatal_ = true;
    failureText_ = "motion engine: " + act.engineFailure;
    if (act.dropRest) inbox_.dropFront();
  }
  using Do = le::utt::Action::Do;
  switch (act.what) {
    case Do::Dispatch: {
      auto job = std::make_unique<Job>();
      job->request = std::move(act.request);
      {
        std::lock_guard<std::mutex> lk(jobMu_);
        job_ = std::move(job);
        jobDone_ = false;
      }
      jobCv_.notify_all();
      if (!hybrid_) {
        // Without hybrid mode the run thread waits for the engine.
        std::unique_lock<std::mutex> lk(jobMu_);
        jobCv_.wait(lk, [&] { return jobDone_ || closing(); });
        if (closing()) return false;
      }
      break;
    }
    case Do::Speak: renderSpeech(std::move(act.rows)); break;
    case Do::Ramp: renderRamp(act.si, act.kp); break;
    case Do::Idle: {
      le::FrameJob job;
      job.tag.kind = static_cast<int>(Kind::Idle);
      job.tag.si = act.si;
      job.gen = act.gen;
      // A frame that could not be made (a failing driver frame, an
      // interrupt) is tried again after the usual short wait, not at once.
      if (post(std::move(job))) {
        logic_->idlePosted();
        progressed_ = true;
      }
      break;
    }
    case Do::Nothing: break;
  }
  return true;
}

void le_utt::renderSpeech(std::vector<le::utt::Row> frames) {
  // Rows whose sound the host will have played by the time they are in the
  // ring take their ordinals and go unrendered, the driver walking on over
  // them: a session that cannot keep up makes the frames it can in time,
  // rather than every frame late.
  le::FrameTag next;
  next.kind = static_cast<int>(Kind::Speech);
  next.utterance = logic_->utterance();
  size_t passing = 0;
  const double startMs = nowMs();
  {
    std::lock_guard<std::mutex> lk(mu_);
    const int lead = leadAt(startMs);
    for (; passing < frames.size(); ++passing) {
      next.ordinal = logic_->nextOrdinal() + static_cast<int>(passing);
      if (!passed(next, lead)) break;
    }
  }
  for (size_t i = 0; i < passing; ++i) logic_->spoke(frames[i].si, frames[i].out);
  frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(passing));
  const int k = static_cast<int>(frames.size());
  const size_t cropFloats = static_cast<size_t>(3) * crop_ * crop_;
  std::vector<std::vector<float>> crops(static_cast<size_t>(k));
  std::vector<double> ms(static_cast<size_t>(k), 0.0);
  bool done = false;
  if (k > 1 && chunk_ && k <= chunk_->batch()) {
    std::vector<int> si(static_cast<size_t>(k));
    std::vector<float> xs(static_cast<size_t>(k) * kKp), out(static_cast<size_t>(k) * kKp);
    for (int i = 0; i < k; ++i) {
      si[i] = frames[i].si;
      std::memcpy(&xs[static_cast<size_t>(i) * kKp], frames[i].xs, sizeof frames[i].xs);
      std::memcpy(&out[static_cast<size_t>(i) * kKp], frames[i].out, sizeof frames[i].out);
    }
    try {
      const double t0 = nowMs();
      double per = 0;
      chunk_->render(si.data(), xs.data(), out.data(), k, [&](const float* c) {
        per = (nowMs() - t0) / k;
        for (int i = 0; i < k; ++i) {
          crops[i] = ring_->spareCrop();
          crops[i].assign(c + static_cast<size_t>(i) * cropFloats, c + static_cast<size_t>(i + 1) * cropFloats);
        }
      });
      for (int i = 0; i < k; ++i) ms[i] = per;
      done = true;
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
    }
  }
  for (int i = 0; i < k; ++i) {
    if (!done) {
      try {
        const double t0 = nowMs();
        renderInto(frames[i].si, frames[i].xs, frames[i].out, crops[i]);
        ms[i] = nowMs() - t0;
      } catch (const std::exception& e) {
        noteRenderFail("render", e.what(), true);
        continue;
      }
    }
    bool gone;
    {
      std::lock_guard<std::mutex> lk(mu_);
      renderMs_ = renderMs_ < 0 ? ms[i] : 0.9 * renderMs_ + 0.1 * ms[i];
      // A skip while the batch was made: its frames the sound has left by
      // now are not posted, as those it had left before were not made.
      next.ordinal = logic_->nextOrdinal();
      gone = passed(next, leadAt(nowMs() - ms[i]));
    }
    if (gone) {
      logic_->spoke(frames[i].si, frames[i].out);
      continue;
    }
    le::FrameJob job;
    job.crop = std::move(crops[i]);
    job.tag.kind = static_cast<int>(Kind::Speech);
    job.tag.si = frames[i].si;
    job.tag.ordinal = logic_->spoke(frames[i].si, frames[i].out);
    std::memcpy(job.tag.kp, frames[i].out, sizeof job.tag.kp);
    job.workMs = ms[i];
    job.startMs = startMs;
    job.onsetAt = logic_->onsetAt();
    job.tag.utterance = logic_->utterance();
    job.gen = logic_->generation();
    if (!post(std::move(job))) return;
  }
}

void le_utt::renderInto(int si, const float* kpSource, const float* kpDriving, std::vector<float>& crop) {
  le::Renderer& r = engine_.renderer();
  const size_t floats = static_cast<size_t>(3) * crop_ * crop_;
  crop = ring_->spareCrop();
  crop.resize(floats * static_cast<size_t>(r.batch()));
  try {
    r.render(&si, kpSource, kpDriving, 1, crop.data());
  } catch (...) {
    crop.clear();
    throw;
  }
  crop.resize(floats);
}

void le_utt::renderRamp(int si, const float* kd) {
  le::FrameJob job;
  job.tag.kind = static_cast<int>(Kind::Ramp);
  job.tag.si = si;
  job.gen = logic_->generation();
  std::memcpy(job.tag.kp, kd, sizeof job.tag.kp);
  try {
    renderInto(si, &xsTarget_[static_cast<size_t>(si) * kKp], kd, job.crop);
  } catch (const std::exception& e) {
    noteRenderFail("ramp", e.what(), true);
  }
  if (!job.crop.empty()) post(std::move(job));
}

// ---- to the ring -----------------------------------------------------------------------------

bool le_utt::post(le::FrameJob&& job) {
  job.flight = le::InFlight(&inFlight_);
  return tess_->submit(std::move(job));
}

void le_utt::written(const le::FrameJob& job) {
  if (static_cast<Kind>(job.tag.kind) != Kind::Speech) return;
  std::lock_guard<std::mutex> lk(mu_);
  const double land = nowMs() - job.startMs;
  landMs_ = landMs_ < 0 ? land : 0.8 * landMs_ + 0.2 * land;
  if (job.tag.ordinal != 0) return;
  onsetLandMs_ = onsetLandMs_ < 0 ? land : 0.8 * onsetLandMs_ + 0.2 * land;
  ++onsets_;
  onsetMs_ = nowMs() - job.onsetAt;
  landed_ = job.tag.utterance;
  wake_.notify_all();  // the run thread may be holding the frames behind it
}
