#include "session/tess_stage.h"

#include <stdexcept>

#include "core/thread_name.h"

namespace le {
namespace {

constexpr size_t kQueued = 2;

}  // namespace

void TessStage::install(std::unique_ptr<tessera::StreamBorrow> borrow, bool threaded, std::string geometry) {
  std::lock_guard<std::mutex> work(workMu_);
  // A crop the old borrow still holds goes out as it was rendered: a frame
  // is never lost to a new attach.
  if (held_) post_(std::move(*held_));
  held_.reset();
  genSet_ = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    borrow_ = std::move(borrow);
    threaded_ = threaded;
    geometry_ = std::move(geometry);
    failed_ = false;
    reason_.clear();
    failure_.clear();
    borrowed_ = passthrough_ = pushes_ = extraFrames_ = 0;
    extraMeanSum_ = extraMax_ = 0;
    if (threaded_ && !thread_.joinable() && !closing_) {
      thread_ = std::thread([this] {
        nameThisThread("le-mouth");
        loop();
      });
    }
  }
}

bool TessStage::submit(FrameJob&& job) {
  {
    std::unique_lock<std::mutex> lk(mu_);
    if (threaded_ && thread_.joinable()) {
      cv_.wait(lk, [&] { return closing_ || queue_.size() < kQueued; });
      if (closing_) return false;
      queue_.push_back(std::move(job));
      cv_.notify_all();
      return true;
    }
  }
  std::lock_guard<std::mutex> work(workMu_);
  return compose(std::move(job));
}

void TessStage::loop() {
  for (;;) {
    FrameJob job;
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_.wait(lk, [&] { return closing_ || !queue_.empty(); });
      if (closing_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> work(workMu_);
    compose(std::move(job));
  }
}

bool TessStage::compose(FrameJob&& job) {
  tessera::StreamBorrow* borrow = nullptr;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!failed_) borrow = borrow_.get();
  }
  if (!borrow) return post_(std::move(job));
  // An interrupt: what the pass holds belongs to frames no one will see.
  if (!genSet_ || job.gen != gen_) {
    if (genSet_ && held_) {
      tessera::FrameResult dropped;
      try {
        borrow->flush(&dropped);
      } catch (const std::exception& e) {
        fail(e.what());
      }
    }
    held_.reset();
    gen_ = job.gen;
    genSet_ = true;
  }
  if (job.crop.empty()) {
    drain();
    return post_(std::move(job));
  }
  tessera::FrameResult r;
  int got = 0;
  try {
    got = borrow->push(job.crop.data(), job.tag.kp, &r);
  } catch (const std::exception& e) {
    fail(e.what());
    if (held_) post_(std::move(*held_));
    held_.reset();
    return post_(std::move(job));
  }
  bool ok = true;
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++pushes_;
  }
  if (got != (held_ ? 1 : 0)) {
    fail("the pass emitted " + std::to_string(got) + " frames for one push");
  } else if (held_) {
    ok = deliverHeld(*borrow, r);
  }
  held_ = std::make_unique<FrameJob>(std::move(job));
  return ok;
}

bool TessStage::finish() {
  std::lock_guard<std::mutex> work(workMu_);
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!borrow_ || failed_) return true;
  }
  return drain();
}

bool TessStage::drain() {
  if (!held_) return true;
  tessera::StreamBorrow* borrow;
  {
    std::lock_guard<std::mutex> lk(mu_);
    borrow = borrow_.get();
  }
  tessera::FrameResult r;
  int got = 0;
  try {
    got = borrow->flush(&r);
  } catch (const std::exception& e) {
    fail(e.what());
  }
  if (!got) {
    fail("flush: the pass held no pending frame while a crop was held — refusing to deliver it uncomposed");
    held_.reset();
    return false;
  }
  const bool ok = deliverHeld(*borrow, r);
  held_.reset();
  return ok;
}

bool TessStage::deliverHeld(tessera::StreamBorrow& borrow, const tessera::FrameResult& r) {
  if (!r.passthrough) tessera::StreamBorrow::writeWindowDelta(held_->crop.data(), borrow.side(), r, borrow.stamp());
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (r.passthrough) {
      ++passthrough_;
      reason_ = r.reason;
    } else {
      ++borrowed_;
      ++extraFrames_;
      extraMeanSum_ += r.extraMean;
      extraMax_ = std::max(extraMax_, static_cast<double>(r.extraMax));
    }
  }
  return post_(std::move(*held_));
}

void TessStage::fail(const std::string& what) {
  std::lock_guard<std::mutex> lk(mu_);
  failed_ = true;
  failure_ = what;
}

int TessStage::stats(uint64_t* borrowed, uint64_t* passthrough, std::string* reason) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!borrow_) return 0;
  if (borrowed) *borrowed = borrowed_;
  if (passthrough) *passthrough = passthrough_;
  if (reason) *reason = failed_ ? failure_ : reason_;
  return failed_ ? -1 : 1;
}

bool TessStage::synthW(double* mean, double* max, uint64_t* count) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!borrow_ || extraFrames_ == 0) return false;
  if (mean) *mean = extraMeanSum_ / static_cast<double>(extraFrames_);
  if (max) *max = extraMax_;
  if (count) *count = extraFrames_;
  return true;
}

bool TessStage::geometry(std::string* text) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!borrow_) return false;
  *text = geometry_;
  return true;
}

uint64_t TessStage::pushes() {
  std::lock_guard<std::mutex> lk(mu_);
  return pushes_;
}

void TessStage::close() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    closing_ = true;
    threaded_ = false;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace le
