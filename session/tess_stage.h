// The mouth pass between the renderer and the frame ring of an utterance
// session. Armed, every crop goes through the borrow, which hands each one
// back one push late: the stage holds one crop and posts it when the pass
// releases it, so frames reach the ring in order. An idle frame first
// drains the held crop. Unarmed (or after the borrow failed) jobs go to the
// ring as they come. With a thread of its own (the session's pipelined mode)
// the producer only queues.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "session/frame_ring.h"
#include "tessera/stream_borrow.h"

namespace le {

class TessStage {
 public:
  using Post = std::function<bool(FrameJob&&)>;
  explicit TessStage(Post post) : post_(std::move(post)) {}
  ~TessStage() { close(); }
  TessStage(const TessStage&) = delete;
  TessStage& operator=(const TessStage&) = delete;

  // Replaces the borrow (counters and held crop restart); threaded: compose
  // on the stage's own thread.
  void install(std::unique_ptr<tessera::StreamBorrow> borrow, bool threaded, std::string geometry);

  // The producer's way to the ring. False when the ring refused the job (or
  // the stage closed).
  bool submit(FrameJob&& job);

  // The end of a stream: the held crop goes out (composed).
  bool finish();

  // 1 armed, -1 armed but failed, 0 not armed.
  int stats(uint64_t* borrowed, uint64_t* passthrough, std::string* reason);
  bool synthW(double* mean, double* max, uint64_t* count);
  bool geometry(std::string* text);
  // Crops the borrow was pushed (0 while a session only idles).
  uint64_t pushes();

  // Stops the thread; later submits go straight to the ring.
  void close();

 private:
  void loop();
  // The composition steps, on whichever thread runs the stage.
  bool compose(FrameJob&& job);
  bool drain();
  // The pass's result written into the held crop (unless it passes through),
  // counted, and the crop posted.
  bool deliverHeld(tessera::StreamBorrow& borrow, const tessera::FrameResult& r);
  void fail(const std::string& what);

  Post post_;
  // Held through a composition and an installation: the borrow and the held
  // crop are used by one thread at a time.
  std::mutex workMu_;
  std::mutex mu_;  // everything below
  std::condition_variable cv_;
  std::unique_ptr<tessera::StreamBorrow> borrow_;
  bool threaded_ = false, failed_ = false, closing_ = false;
  std::string geometry_, reason_, failure_;
  uint64_t borrowed_ = 0, passthrough_ = 0, pushes_ = 0;
  double extraMeanSum_ = 0, extraMax_ = 0;
  uint64_t extraFrames_ = 0;
  std::deque<FrameJob> queue_;
  std::thread thread_;
  // Under workMu_.
  std::unique_ptr<FrameJob> held_;
  uint64_t gen_ = 0;
  bool genSet_ = false;
};

}  // namespace le
