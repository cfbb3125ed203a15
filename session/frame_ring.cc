#include "session/frame_ring.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "kernels/simd.h"
#include "core/thread_name.h"

namespace le {
namespace {

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

size_t planesBytes(const FrameWindow& w) {
  return w.bytes(1) + 2 * (static_cast<size_t>(w.w + 1) / 2) * (static_cast<size_t>(w.h + 1) / 2);
}

// Row-packed I420 planes of a w x h picture into `out`, at pixel (x, y) (even).
void putPlanes(const uint8_t* from, int w, int h, const I420Planes& out, int x, int y) {
  const size_t cw = (static_cast<size_t>(w) + 1) / 2, ch = (static_cast<size_t>(h) + 1) / 2;
  const uint8_t* u = from + static_cast<size_t>(w) * h;
  const uint8_t* v = u + cw * ch;
  for (int r = 0; r < h; ++r)
    std::memcpy(out.y + static_cast<size_t>(y + r) * out.yStride + x, from + static_cast<size_t>(r) * w, w);
  for (size_t r = 0; r < ch; ++r) {
    std::memcpy(out.u + (y / 2 + r) * out.uStride + x / 2, u + r * cw, cw);
    std::memcpy(out.v + (y / 2 + r) * out.vStride + x / 2, v + r * cw, cw);
  }
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
      i420_(i420),
      overDriver_(i420 && engine.cursor().storesPlanes() && (win_.x % 2 | win_.y % 2) == 0),
      hooks_(std::move(hooks)) {
  frames_.resize(static_cast<size_t>(slots_));
  // Over the driver's planes a slot grows to the largest part pasted.
  if (!overDriver_)
    for (auto& f : frames_) f.assign(i420_ ? planesBytes(win_) : win_.bytes());
  tags_.resize(static_cast<size_t>(slots_));
  parts_.resize(static_cast<size_t>(slots_));
  seqs_.resize(static_cast<size_t>(slots_));
  if (pipelined_)
    paster_ = std::thread([this] {
      nameThisThread("le-paste");
      pasteLoop();
    });
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
  if (!pipelined_) {
    const bool pasted = paste(std::move(job));
    keepCrop(std::move(job.crop));
    return pasted;
  }
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
    keepCrop(std::move(job.crop));
  }
}

std::vector<float> FrameRing::spareCrop() {
  std::lock_guard<std::mutex> lk(mu_);
  return std::exchange(spare_, {});
}

void FrameRing::keepCrop(std::vector<float>&& crop) {
  std::lock_guard<std::mutex> lk(mu_);
  if (crop.capacity() == 0) spare_ = {};  // a driver frame as it is: the speech is over for now
  else if (spare_.capacity() < crop.capacity()) spare_ = std::move(crop);
}

bool FrameRing::paste(FrameJob&& job) {
  uint64_t slot;
  {
    std::unique_lock<std::mutex> lk(mu_);
    room_.wait(lk, [&] { return !live(job) || written_ - read_ < static_cast<uint64_t>(slots_); });
    if (!live(job)) return false;
    slot = written_ % static_cast<uint64_t>(slots_);
  }
  const int si = job.tag.si;
  const bool pasting = !job.crop.empty();
  // What this paste makes: the window, or over the driver's planes only the
  // part the face is pasted into (none for a frame the driver gives as it is).
  FrameWindow part = win_;
  if (overDriver_ && !(pasting && pastedPart(si, &part))) part = FrameWindow{};
  const bool convert = i420_ && part.w > 0;
  // The compositor's scratch, lent by the avatar for a paste or for the
  // frame made before its conversion (i420); an RGB idle frame needs none.
  std::optional<LeasePool<PasteScratch>::Lease> scratch;
  if (convert || (pasting && part.w > 0)) scratch.emplace(engine_.avatar()->pasteScratch().take());
  if (convert && (*scratch)->frame.size() < part.bytes()) (*scratch)->frame.assign(part.bytes());
  uint8_t* frame = convert ? (*scratch)->frame.data() : frames_[slot].data();
  const bool whole = part.covers(engine_.width(), engine_.height());
  const double t0 = nowMs();
  auto driverFrame = [&] {
    if (part.w == 0) engine_.cursor().deliverAt(si);
    else if (whole) engine_.cursor().pullAt(si, frame);
    else engine_.cursor().pullWindowAt(si, frame, part);
  };
  try {
    driverFrame();
    if (!pasting) engine_.renderer().walkPrior(si);
    else if (part.w > 0) engine_.composite(job.crop.data(), si, frame, 3, whole ? nullptr : &part, &**scratch);
  } catch (const NonFiniteCrop& e) {
    // The director's face is unusable: the driver frame itself goes out in
    // its place, and the stream goes on.
    if (hooks_.fail) hooks_.fail(job.tag, "paste", e.what(), false);
    try {
      if (overDriver_) part = FrameWindow{};  // its planes, as the cursor holds them
      else driverFrame();
    } catch (const std::exception& again) {
      if (hooks_.fail) hooks_.fail(job.tag, "paste", again.what(), true);
      return false;
    }
  } catch (const std::exception& e) {
    if (hooks_.fail) hooks_.fail(job.tag, "paste", e.what(), true);
    return false;
  }
  if (i420_ && part.w > 0) {
    PageBuffer<uint8_t>& to = frames_[slot];
    if (to.size() < planesBytes(part)) to.assign(planesBytes(part));
    const int w = part.w, h = part.h, cw = (w + 1) / 2;
    uint8_t* y = to.data();
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
    parts_[slot] = part;
    seqs_[slot] = seq_++;
    ++written_;
    stages_.step += nowMs() - t0;
  }
  job.flight.land();
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

bool FrameRing::frontI420(const I420Planes& out, FrameTag* tag, uint64_t* seq) {
  FrameTag t;
  FrameWindow part;
  const uint8_t* f;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (written_ == read_) return false;
    const uint64_t slot = read_ % static_cast<uint64_t>(slots_);
    t = tags_[slot];
    part = parts_[slot];
    if (seq) *seq = seqs_[slot];
    f = frames_[slot].data();  // stays until pop()
  }
  if (tag) *tag = t;
  if (!overDriver_) {
    putPlanes(f, win_.w, win_.h, out, 0, 0);
    return true;
  }
  // The driver frame's planes from the cursor's history (decoded again in
  // the rare case it has left it), each row pair through RGB and back as a
  // paste of the whole frame would have made it, all but the part pasted,
  // which then comes from the ring. The part starts on a chroma pair and
  // ends on one or at the window's edge.
  const int w = win_.w, h = win_.h;
  const int px = part.w > 0 ? part.x - win_.x : w, pw = part.w > 0 ? part.w : 0;
  const int py = part.w > 0 ? part.y - win_.y : h, ph = part.w > 0 ? part.h : 0;
  auto convert = [&](const DriverCursor::HeldPlanes& held) {
    for (int r = 0; r < h; r += 2) {
      const bool two = r + 1 < h;
      const size_t c = static_cast<size_t>(r / 2);
      auto run = [&](int x0, int x1) {
        if (x1 <= x0) return;
        const uint8_t* ya = held.y + static_cast<size_t>(r) * held.yStride + x0;
        uint8_t* oya = out.y + static_cast<size_t>(r) * out.yStride + x0;
        simd::i420ThroughRgbRows(ya, two ? ya + held.yStride : nullptr, held.u + c * held.chromaStride + x0 / 2,
                                 held.v + c * held.chromaStride + x0 / 2, x1 - x0, oya,
                                 two ? oya + out.yStride : nullptr, out.u + c * out.uStride + x0 / 2,
                                 out.v + c * out.vStride + x0 / 2);
      };
      if (r >= py && r < py + ph) {
        run(0, px);
        run(px + pw, w);
      } else {
        run(0, w);
      }
    }
  };
  DriverCursor& cursor = engine_.cursor();
  if (!cursor.useHeld(t.si, win_, convert)) {
    cursor.deliverAt(t.si);
    if (!cursor.useHeld(t.si, win_, convert))
      throw std::runtime_error("frame ring: driver frame " + std::to_string(t.si) + " is not in the cursor");
  }
  if (part.w > 0) putPlanes(f, part.w, part.h, out, part.x - win_.x, part.y - win_.y);
  return true;
}

bool FrameRing::pastedPart(int si, FrameWindow* out) const {
  FrameWindow r;
  if (!engine_.pasteRegion(si, &r)) return false;
  const int x0 = std::max(r.x, win_.x) & ~1, y0 = std::max(r.y, win_.y) & ~1;
  const int x1 = std::min(r.x + r.w, win_.x + win_.w), y1 = std::min(r.y + r.h, win_.y + win_.h);
  if (x1 <= x0 || y1 <= y0) return false;
  // Whole chroma pairs (the window starts on one): up to the next even edge
  // or the window's own.
  *out = FrameWindow{x0, y0, std::min((x1 + 1) & ~1, win_.x + win_.w) - x0,
                     std::min((y1 + 1) & ~1, win_.y + win_.h) - y0};
  return true;
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
