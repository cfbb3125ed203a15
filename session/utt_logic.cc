#include "session/utt_logic.h"

#include <algorithm>
#include <cstring>

namespace le::utt {

// ---- inbox -----------------------------------------------------------------------------------

void Inbox::push(double now, const int16_t* samples, int n) {
  if (n <= 0) return;
  closeOnGap(now);
  if (!tailOpen_) {
    pending_.emplace_back();
    tailOpen_ = true;
  }
  Segment& s = pending_.back();
  if (s.firstPushMs < 0) s.firstPushMs = now;
  s.audio.reserve(s.audio.size() + static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s.audio.push_back(samples[i] * 3.0517578e-5f);
  lastPushMs_ = now;
}

void Inbox::end() {
  if (!tailOpen_) return;
  pending_.back().ended = true;
  tailOpen_ = false;
}

void Inbox::clear() {
  pending_.clear();
  tailOpen_ = false;
}

void Inbox::closeOnGap(double now) {
  if (tailOpen_ && gapMs_ >= 0 && lastPushMs_ >= 0 && now - lastPushMs_ >= gapMs_) end();
}

bool Inbox::takeable(bool busy) const {
  if (busy || pending_.empty()) return false;
  return !pending_.front().audio.empty() || pending_.front().ended;
}

Inbox::Taken Inbox::take() {
  Taken t;
  Segment& f = pending_.front();
  t.audio.swap(f.audio);
  t.ended = f.ended;
  t.firstPushMs = f.firstPushMs;
  f.firstPushMs = -1;
  if (f.ended) pending_.pop_front();
  return t;
}

void Inbox::dropFront() {
  if (pending_.empty()) return;
  if (pending_.size() == 1) tailOpen_ = false;
  pending_.pop_front();
}

// ---- logic -----------------------------------------------------------------------------------

Logic::Logic(const Config& config) : config_(config) { eagerSent_ = config_.hybrid ? LE_UTT_HYBRID_LOW : config_.eager; }

void Logic::startRamp(int frames, int si, const float* kp) {
  rampTotal_ = rampLeft_ = frames;
  for (int k = 0; k < kKp; ++k) rampOffset_[k] = kp[k] - xsRow(si)[k];
  idleIndex_ = (si + 1) % config_.nt;
  state_ = State::Ramp;
}

void Logic::closeUtterance(double now, bool ramp) {
  open_ = false;
  closedAt_ = now;
  queue_.clear();
  toSend_.clear();
  ended_ = finishSent_ = false;
  if (ramp && ordinal_ > 0 && config_.nt > 0) startRamp(config_.rampFrames, lastSpeechSi_, lastSpeechKp_);
  else state_ = State::Idle;
}

// Back to the idle walk, through a ramp when speech or a ramp was on screen.
void Logic::interrupted(const Delivered& last) {
  open_ = false;
  queue_.clear();
  toSend_.clear();
  ended_ = finishSent_ = false;
  hybridHigh_ = 0;
  ordinal_ = 0;
  received_ = 0;
  total_ = -1;
  if (last.have && (last.kind == Kind::Speech || last.kind == Kind::Ramp) && config_.nt > 0) {
    startRamp(config_.interruptRamp, last.si, last.kp);
  } else {
    if (last.have && config_.nt > 0) idleIndex_ = (last.si + 1) % config_.nt;
    state_ = State::Idle;
  }
}

void Logic::received(const Result& r) {
  for (int k = 0; k < r.got; ++k) {
    Row q;
    q.si = r.idx[static_cast<size_t>(k)];
    std::memcpy(q.xs, &r.xs[static_cast<size_t>(k) * kKp], sizeof q.xs);
    std::memcpy(q.out, &r.out[static_cast<size_t>(k) * kKp], sizeof q.out);
    if (q.si < 0 || q.si >= config_.nt) q.si = ((q.si % config_.nt) + config_.nt) % config_.nt;
    queue_.push_back(q);
  }
  received_ += r.got;
  lastGot_ = r.got;
  engineAvail_ = r.remaining;
  total_ = r.total;
}

Action Logic::step(Inputs& in) {
  Action act;
  act.gen = seenGen_;
  const int spare = config_.ring - 1;  // frames in the ring that leave room for one more
  // Until an utterance's first frame is in the ring, the viewer waits for
  // it: making more meanwhile takes the cores from it (the mouth pass holds
  // one frame until the next one comes, so a few go ahead).
  const bool onsetCrowded = open_ && in.landed != utterance_ && in.inFlight >= config_.ahead;
  if (in.generation != seenGen_) {
    seenGen_ = in.generation;
    act.gen = seenGen_;
    // A job that finished as the interrupt came belongs to the old
    // generation: its rows go, and the engine is free for the next one.
    if (inFlight_ && in.done) inFlight_ = false;
    interrupted(in.last);
    act.progressed = true;
    return act;
  }
  // Without an engine (it failed to load) speech cannot be made: its audio
  // is dropped, and the idle walk goes on.
  std::vector<float> audio;
  audio.swap(in.speech.audio);
  if (in.engineFailed) audio.clear();

  // The engine's finished job.
  if (inFlight_ && in.done) {
    inFlight_ = false;
    act.progressed = true;
    const Result& done = *in.done;
    if (done.gen == seenGen_ && open_) {
      if (!done.failure.empty()) {
        // The utterance ends (with its ramp), the failure is reported, its
        // audio is dropped.
        act.engineFailure = done.failure;
        act.dropRest = !ended_;
        audio.clear();
        closeUtterance(in.now, true);
      } else {
        received(done);
      }
    }
  }
  // New audio opens an utterance or extends the open one.
  if (!audio.empty()) {
    if (!open_) {
      open_ = true;
      ++utterance_;
      // A queued utterance counts from the end of the one before it.
      onsetAt_ = std::max(in.speech.firstPushMs >= 0 ? in.speech.firstPushMs : in.now, closedAt_);
      resetPending_ = true;
      finishSent_ = ended_ = false;
      received_ = 0;
      total_ = -1;
      hybridHigh_ = 0;
      ordinal_ = 0;
      covered_ = 0;
      lastGot_ = 0;
      queue_.clear();
      if (state_ == State::Idle) state_ = State::Onset;
    }
    toSend_.insert(toSend_.end(), audio.begin(), audio.end());
    act.progressed = true;
  }
  if (open_ && in.speech.ended) ended_ = true;

  // The engine's eager value: hybrid goes high while frames pile up.
  int eager = config_.eager;
  if (config_.hybrid) {
    const int waiting = engineAvail_ + static_cast<int>(queue_.size()) + in.ring;
    if (hybridHigh_ == 0 && waiting > LE_UTT_HYBRID_ON_ABOVE) hybridHigh_ = 1;
    else if (hybridHigh_ == 1 && waiting <= LE_UTT_HYBRID_OFF_AT) hybridHigh_ = 0;
    eager = hybridHigh_ ? LE_UTT_HYBRID_HIGH : LE_UTT_HYBRID_LOW;
  }
  // A job when there is something for the engine to do.
  if (in.engineReady && open_ && !inFlight_) {
    const bool toReceive = (total_ < 0 || received_ < total_) && static_cast<int>(queue_.size()) <= spare;
    const bool wantFinish = ended_ && !finishSent_;
    // The engine computes a step of frames per call: keep asking while the
    // last job brought frames, or once the audio is finished.
    if (!toSend_.empty() || resetPending_ || wantFinish || (toReceive && (engineAvail_ > 0 || lastGot_ > 0 || finishSent_))) {
      Request& r = act.request;
      r.reset = resetPending_;
      r.start = config_.onsetIndex >= 0 ? config_.onsetIndex : idleIndex_;
      if (r.reset) startSent_ = r.start;
      if (eager != eagerSent_) r.eager = eager;
      eagerSent_ = eager;
      r.audio.swap(toSend_);
      r.finish = wantFinish;
      if (wantFinish) finishSent_ = true;
      r.pullN = config_.rowsAsked - static_cast<int>(queue_.size());
      r.gen = seenGen_;
      resetPending_ = false;
      inFlight_ = true;
      act.what = Action::Do::Dispatch;
      act.progressed = true;
      return act;
    }
  }
  // Speech: after the first frame, whole chunks where the chunk renderer can
  // take them (a shorter one only at the end of the rows).
  if ((state_ == State::Onset || state_ == State::Speaking) && open_ && !queue_.empty() && in.ring <= spare &&
      !onsetCrowded) {
    // Before the first frame is made, as many idle frames as the viewer
    // would otherwise wait for it: they go out while it is made, and the
    // speech starts where they leave the walk.
    if (ordinal_ == 0 && config_.onsetIndex < 0 && config_.nt > 0 && covered_ < in.onsetCover &&
        in.ring + in.inFlight < in.onsetCover) {
      ++covered_;
      act.what = Action::Do::Idle;
      act.si = idleIndex_;
      return act;
    }
    state_ = State::Speaking;
    int k = 1;
    if (ordinal_ > 0 && in.chunk > 0) {
      const int B = in.chunk;
      if (static_cast<int>(queue_.size()) >= B) {
        k = B;
      } else {
        const int coming = total_ >= 0 ? total_ - received_ : B;
        if (!(coming + static_cast<int>(queue_.size()) < B || !inFlight_)) k = 0;
      }
    }
    if (k > 0) {
      k = std::min<int>(k, static_cast<int>(queue_.size()));
      // The idle walk went on while the engine heard the utterance's first
      // audio: speech starts at the driver frame it reached, every row moved
      // on by as many frames, its driving keypoints the same offset from the
      // idle row of its new frame as from that of its own.
      if (ordinal_ == 0) shift_ = config_.onsetIndex >= 0 ? 0 : ((idleIndex_ - startSent_) % config_.nt + config_.nt) % config_.nt;
      act.rows.assign(queue_.begin(), queue_.begin() + k);
      queue_.erase(queue_.begin(), queue_.begin() + k);
      if (shift_ != 0)
        for (Row& r : act.rows) {
          r.si = (r.si + shift_) % config_.nt;
          const float* idle = xsRow(r.si);
          for (int j = 0; j < kKp; ++j) {
            r.out[j] = idle[j] + (r.out[j] - r.xs[j]);
            r.xs[j] = idle[j];
          }
        }
      act.what = Action::Do::Speak;
      act.progressed = true;
      return act;
    }
  }
  // The end of speech.
  if (open_ && queue_.empty() && finishSent_ && !inFlight_ && total_ >= 0 && received_ >= total_) {
    closeUtterance(in.now, true);
    act.progressed = true;
    return act;
  }
  // The ramp back to the idle track.
  if (state_ == State::Ramp) {
    if (rampLeft_ > 0 && in.ring <= spare) {
      const float w = 1.0f - static_cast<float>(rampTotal_ - rampLeft_ + 1) / static_cast<float>(rampTotal_);
      act.si = idleIndex_;
      for (int k = 0; k < kKp; ++k) act.kp[k] = xsRow(act.si)[k] + w * rampOffset_[k];
      idleIndex_ = (idleIndex_ + 1) % config_.nt;
      if (--rampLeft_ <= 0) state_ = State::Idle;
      act.what = Action::Do::Ramp;
      act.progressed = true;
    }
    return act;
  }
  // Idle, one frame at a time as the host takes them; also while the engine
  // hears an utterance's first audio, so that the picture never stops.
  if ((state_ == State::Idle || (state_ == State::Onset && queue_.empty())) && in.ring == 0 && in.pasteJobs == 0 &&
      config_.nt > 0) {
    act.what = Action::Do::Idle;
    act.si = idleIndex_;
  }
  return act;
}

int Logic::spoke(int si, const float* kp) {
  lastSpeechSi_ = si;
  std::memcpy(lastSpeechKp_, kp, sizeof lastSpeechKp_);
  return ordinal_++;
}

void Logic::idlePosted() { idleIndex_ = (idleIndex_ + 1) % config_.nt; }

}  // namespace le::utt
