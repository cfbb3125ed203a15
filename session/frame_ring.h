// Full frames made in order and handed out in order, for the utterance
// session and the whole-stream runner alike. A producer posts jobs: a driver
// frame index and, for a rendered frame, its face crop. The paste step pulls
// the driver frame into the next free slot and pastes the crop over it, on a
// paste thread of the ring's own (pipelined: the producer renders the next
// frame meanwhile) or on the producer's thread. A consumer takes the finished
// frames in order. drop() discards what is queued and waiting (an interrupt):
// jobs made for an earlier generation are refused, never delivered.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/framing.h"
#include "core/page_buffer.h"
#include "engine/engine.h"

namespace le {

// What a frame carries besides its pixels.
struct FrameTag {
  int kind = 0;      // the producer's frame kind (the session's idle, speech or ramp)
  int si = 0;        // the driver frame
  int ordinal = -1;  // the producer's number for the frame
  uint64_t utterance = 0;  // the producer's number for the run the ordinal counts in
  float kp[kKpValues] = {};
  double postedMs = 0;  // when the job was posted (steady clock, ms)
};

// Counts a frame from its making until it is in the ring or gone: the
// frames on their way, which a producer may keep few (each one more
// competes for the cores with the frame the consumer waits for).
class InFlight {
 public:
  InFlight() = default;
  explicit InFlight(std::atomic<int>* count) : count_(count) {
    if (count_) count_->fetch_add(1);
  }
  InFlight(InFlight&& o) noexcept : count_(std::exchange(o.count_, nullptr)) {}
  InFlight& operator=(InFlight&& o) noexcept {
    if (this != &o) {
      land();
      count_ = std::exchange(o.count_, nullptr);
    }
    return *this;
  }
  ~InFlight() { land(); }
  void land() {
    if (count_) count_->fetch_sub(1);
    count_ = nullptr;
  }

 private:
  std::atomic<int>* count_ = nullptr;
};

struct FrameJob {
  std::vector<float> crop;  // empty: the driver frame as it is
  FrameTag tag;
  uint64_t gen = 0;     // the ring's generation the job was made for
  double workMs = 0;    // what making the crop took
  double onsetAt = 0;   // for the first frame of speech: when its utterance began
  double startMs = 0;   // when making its crop began
  InFlight flight;
};

class FrameRing {
 public:
  // fail(tag, stage, what, fatal): the paste of the frame `tag` failed
  // (fatal: the frame is not made) or its crop was replaced by its driver
  // frame (not fatal). written(job): a frame is in the ring. Both are called
  // on the paste step's thread, outside the ring's lock.
  struct Hooks {
    std::function<void(const FrameTag& tag, const char* stage, const std::string& what, bool fatal)> fail;
    std::function<void(const FrameJob& job)> written;
  };
  // Stage timings of pipelined pasting: time producers spent making a crop
  // and waiting to post it, the paste thread per job, and the paste step.
  struct Stages {
    long long posted = 0, pasted = 0;
    double made = 0, work = 0, wait = 0, paste = 0, step = 0;
  };

  // win: the part of each frame the ring makes and hands out (the whole
  // frame when empty). i420: frames are handed out (frontI420) converted to
  // I420 (BT.601 limited range). Over a driver video stored as 4:2:0 planes
  // and a window starting on a chroma pair, the slots hold only the part the
  // paste wrote (widened to whole chroma pairs), converted; the driver frame
  // stays in the cursor's history until it is handed out, and the rest of
  // the frame is converted from it then, to the same bytes. Otherwise the
  // paste converts the whole frame and the slots hold its planes, Y then U
  // then V, each row-packed (chroma (w + 1) / 2 x (h + 1) / 2).
  FrameRing(Engine& engine, int slots, int queued, bool pipelined, Hooks hooks, FrameWindow win = {},
            bool i420 = false);
  ~FrameRing();
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  // Waits for room and queues the job (pipelined) or pastes it now. False
  // when the ring closed, the job's generation was dropped or its paste
  // failed.
  bool post(FrameJob&& job);
  // The oldest finished frame and its tag, or null when none waits; valid
  // until pop().
  const uint8_t* front(FrameTag* tag, uint64_t* seq);
  // For an i420 ring: the oldest finished frame into `out` (win.w x win.h);
  // false when none waits. Left in the ring until pop().
  bool frontI420(const I420Planes& out, FrameTag* tag, uint64_t* seq);
  void pop();
  // As front(), waiting until a frame is there, the ring closes or
  // giveUp() (asked under the ring's lock; wake() asks again) says so.
  const uint8_t* waitFront(FrameTag* tag, uint64_t* seq, const std::function<bool()>& giveUp);
  void wake();
  // The crop buffer of a job already pasted (empty when none is spare), for
  // the next job's crop to be assigned into: at a 512 crop that is 3 MB a
  // frame the heap need not hand out and fault in afresh. A job without a
  // crop gives the spare back.
  std::vector<float> spareCrop();
  // Frames waiting, and jobs queued for the paste thread.
  int ready();
  int queued();
  // Discards the frames waiting and the jobs queued; returns the new generation.
  uint64_t drop();
  uint64_t generation();
  // Refuses every later post and wakes every waiter; joins the paste thread.
  void close();
  bool pipelined() const { return pipelined_; }
  const FrameWindow& window() const { return win_; }
  bool i420() const { return i420_; }
  Stages stages();

 private:
  void pasteLoop();
  bool paste(FrameJob&& job);
  void keepCrop(std::vector<float>&& crop);
  bool live(const FrameJob& job) const { return !closed_ && gen_ == job.gen; }
  // The part of driver frame si's paste inside the window, widened to whole
  // chroma pairs; false when the paste writes nothing there.
  bool pastedPart(int si, FrameWindow* out) const;

  Engine& engine_;
  const int slots_, queued_;
  const bool pipelined_;
  const FrameWindow win_;
  const bool i420_;
  // i420 over the driver's planes: each slot holds the part pasted (parts_).
  const bool overDriver_;
  Hooks hooks_;
  std::vector<PageBuffer<uint8_t>> frames_;
  std::vector<FrameTag> tags_;
  std::vector<FrameWindow> parts_;
  std::vector<uint64_t> seqs_;

  std::mutex mu_;
  std::condition_variable room_, work_, filled_;
  bool closed_ = false;
  uint64_t gen_ = 0, written_ = 0, read_ = 0, seq_ = 0;
  std::deque<FrameJob> jobs_;
  std::vector<float> spare_;  // one pasted job's crop buffer
  Stages stages_;
  std::thread paster_;
};

}  // namespace le
