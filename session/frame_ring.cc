#include "session/frame_ring.h"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "kernels/simd.h"

namespace le {
namespace {

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The window a ring makes: the whole frame for an empty one.
FrameWindow windowIn(const Engine& e, FrameWindow win) {
  if (win.w == 0 && win.h == 0) return FrameWindow::whole(e.width(), e.height());
  win.check(e.width(), e.height(), "frame window");
  return win;
}

}  // namespace

FrameRing::FrameRing(Engine& engine, int slots, int queued, bool pipelined, Hooks hooks, FrameWindow win, bool i420)
    : engine_(engine),
      slots_(slots),
      queued_(queued),
      pipelined_(pipelined),
      win_(windowIn(engine, win)),
      whole_(win_.covers(engine.width(), engine.height())),
      i420_(i420),
      hooks_(std::move(hooks)) {
  frames_.resize(static_cast<size_t>(slots_));
  const size_t chroma = static_cast<size_t>((win_.w + 1) / 2) * ((win_.h + 1) / 2);
  for (auto& f : frames_) f.assign(i420_ ? win_.bytes(1) + 2 * chroma : win_.bytes());
  tags_.resize(static_cast<size_t>(slots_));
  seqs_.resize(static_cast<size_t>(slots_));
  if (pipelined_) paster_ = std::thread([this] { pasteLoop(); });
}

FrameRing::~FrameRing() { close(); }

void FrameRing::close() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    closed_ = true;
  }
  room_.notify_all();
  work_.notify_all();
  filled_.notify_all();
  if (paster_.joinable() && paster_.get_id() != std::this_thread::get_id()) paster_.join();
}

bool FrameRing::post(FrameJob&& job) {
  job.tag.postedMs = nowMs();
  if (!pipelined_) return paste(std::move(job));
  std::unique_lock<std::mutex> lk(mu_);
  const double t0 = nowMs();
  room_.wait(lk, [&] { return !live(job) || static_cast<int>(jobs_.size()) < queued_; });
  if (!live(job)) return false;
  const double waited = nowMs() - t0;
  stages_.wait += waited;
  stages_.work += job.workMs;
  stages_.made += job.workMs + waited;
  ++stages_.posted;
  jobs_.push_back(std::move(job));
  work_.notify_all();
  return true;
}

void FrameRing::pasteLoop() {
  for (;;) {
    FrameJob job;
    {
      std::unique_lock<std::mutex> lk(mu_);
      work_.wait(lk, [&] { return closed_ || !jobs_.empty(); });
      if (closed_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    room_.notify_all();
    const double t0 = nowMs();
    if (paste(std::move(job))) {
      std::lock_guard<std::mutex> lk(mu_);
      ++stages_.pasted;
      stages_.paste += nowMs() - t0;
    }
  }
}

bool FrameRing::paste(FrameJob&& job) {
  uint64_t slot;
  {
    std::unique_lock<std::mutex> lk(mu_);
    room_.wait(lk, [&] { return !live(job) || written_ - read_ < static_cast<uint64_t>(slots_); });
    if (!live(job)) return false;
    slot = written_ % static_cast<uint64_t>(slots_);
  }
  // The compositor's scratch, lent by the avatar for a paste or for the
  // frame made before its conversion (i420); an RGB idle frame needs none.
  std::optional<LeasePool<PasteScratch>::Lease> scratch;
  if (i420_ || !job.crop.empty()) scratch.emplace(engine_.avatar()->pasteScratch().take());
  if (i420_ && (*scratch)->frame.size() < win_.bytes()) (*scratch)->frame.assign(win_.bytes());
  uint8_t* frame = i420_ ? (*scratch)->frame.data() : frames_[slot].data();
  const int si = job.tag.si;
  const double t0 = nowMs();
  auto driverFrame = [&] {
    if (whole_) engine_.cursor().pullAt(si, frame);
    else engine_.cursor().pullWindowAt(si, frame, win_);
  };
  try {
    driverFrame();
    if (job.crop.empty()) engine_.renderer().walkPrior(si);
    else engine_.composite(job.crop.data(), si, frame, 3, whole_ ? nullptr : &win_, &**scratch);
  } catch (const NonFiniteCrop& e) {
    // The director's face is unusable: the driver frame itself goes out in
    // its place, and the stream goes on.
    if (hooks_.fail) hooks_.fail(job.tag, "paste", e.what(), false);
    try {
      driverFrame();
    } catch (const std::exception& again) {
      if (hooks_.fail) hooks_.fail(job.tag, "paste", again.what(), true);
      return false;
    }
  } catch (const std::exception& e) {
    if (hooks_.fail) hooks_.fail(job.tag, "paste", e.what(), true);
    return false;
  }
  if (i420_) {
    const int w = win_.w, h = win_.h, cw = (w + 1) / 2;
    uint8_t* y = frames_[slot].data();
    uint8_t* u = y + static_cast<size_t>(w) * h;
    uint8_t* v = u + static_cast<size_t>(cw) * ((h + 1) / 2);
    simd::rgb24ToI420(frame, w, h, y, w, u, cw, v, cw, 0, h);
  }
  scratch.reset();
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!live(job) || written_ % static_cast<uint64_t>(slots_) != slot ||
        written_ - read_ >= static_cast<uint64_t>(slots_))
      return false;
    tags_[slot] = job.tag;
    seqs_[slot] = seq_++;
    ++written_;
    stages_.step += nowMs() - t0;
  }
  filled_.notify_all();
  if (hooks_.written) hooks_.written(job);
  return true;
}

const uint8_t* FrameRing::front(FrameTag* tag, uint64_t* seq) {
  std::lock_guard<std::mutex> lk(mu_);
  if (written_ == read_) return nullptr;
  const uint64_t slot = read_ % static_cast<uint64_t>(slots_);
  if (tag) *tag = tags_[slot];
  if (seq) *seq = seqs_[slot];
  return frames_[slot].data();
}

const uint8_t* FrameRing::waitFront(FrameTag* tag, uint64_t* seq, const std::function<bool()>& giveUp) {
  {
    std::unique_lock<std::mutex> lk(mu_);
    filled_.wait(lk, [&] { return closed_ || written_ > read_ || giveUp(); });
  }
  return front(tag, seq);
}

void FrameRing::wake() {
  { std::lock_guard<std::mutex> lk(mu_); }
  filled_.notify_all();
}

void FrameRing::pop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (written_ > read_) ++read_;
  }
  room_.notify_all();
}

int FrameRing::ready() {
  std::lock_guard<std::mutex> lk(mu_);
  return static_cast<int>(written_ - read_);
}

int FrameRing::queued() {
  std::lock_guard<std::mutex> lk(mu_);
  return static_cast<int>(jobs_.size());
}

uint64_t FrameRing::drop() {
  uint64_t gen;
  {
    std::lock_guard<std::mutex> lk(mu_);
    jobs_.clear();
    read_ = written_;
    gen = ++gen_;
  }
  room_.notify_all();
  filled_.notify_all();
  return gen;
}

uint64_t FrameRing::generation() {
  std::lock_guard<std::mutex> lk(mu_);
  return gen_;
}

FrameRing::Stages FrameRing::stages() {
  std::lock_guard<std::mutex> lk(mu_);
  return stages_;
}

}  // namespace le
