// The utterance session behind le_utt_: a run thread that steps the rules
// (session/utt_logic.h) and carries their actions out, rendering speech and
// idling on the driver video (session/utt.cc); a dispatch thread that alone
// drives the audio engine and a warm thread that loads it
// (session/utt_engine.cc); the frames go through an 8-frame ring with its own
// paste thread in pipelined mode (session/frame_ring.h). The C functions are
// session/utt_capi.cc.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/keypoint_stream.h"
#include "engine/engine.h"
#include "le/le.h"
#include "session/frame_ring.h"
#include "session/tess_stage.h"
#include "session/utt_logic.h"

namespace le::utt {

// Finished frames the ring holds ahead of the consumer: enough to pipeline
// render, paste and pull (the throughput is the same with 8), few enough that
// a live viewer sees speech 4 frames after it is pasted and a 1080p session
// keeps 4 full frames, not 8.
constexpr int kRing = 4, kRowsAsked = 32, kPasteJobs = 2;

// The dispatch mailbox: one job at a time, and its result.
struct Job {
  Request request;
  Result result;
};

}  // namespace le::utt

struct le_utt {
  // env: the environment's settings, for what `o` leaves to them.
  le_utt(le_ctx* ctx, const le_utt_opts& o, const le::Settings& env);
  ~le_utt();

  // Host side.
  void push(const int16_t* x, int n);
  void endUtterance();
  void interrupt();
  int ready();
  int available();
  // The next frame into buf (RGB24), or into the I420 planes `i420` when given.
  int pull(uint8_t* buf, size_t cap, le_utt_frame_info* info, const le_i420* i420 = nullptr);
  // The host's sound is at speech frame `ordinal` of the utterance on
  // screen: that utterance's frames before it are not handed out.
  void skipTo(int ordinal);
  void stats(le_utt_stats* s);
  int renderStatus(char* text, int cap, int* failures);
  // Arms the mouth pass over this session's crops (session/utt_tessera.cc);
  // throws naming the refusal, leaving the session as it was.
  void tesseraAttach(const le::tessera::BankData& bank, const std::vector<uint8_t>& headPt,
                     const std::string& headConfig, const std::string& manifestJson);
  le::TessStage& tess() { return *tess_; }

 private:
  void warmLoop();
  void dispatchLoop();
  void runLoop();
  bool pass();
  void renderSpeech(std::vector<le::utt::Row> rows);
  // Under mu_: a speech frame the host's sound has passed (skipTo), or
  // will have passed `lead` frames from now.
  bool passed(const le::FrameTag& tag, int lead = 0) const;
  // Frames the sound will have moved on by from the skip until a frame whose
  // render began at `ms` is in the ring (mu_ held).
  int leadAt(double ms) const;
  void renderRamp(int si, const float* kp);
  // Frame si rendered straight into `crop`, a spare crop of the ring's when
  // it has one; empty when the render throws.
  void renderInto(int si, const float* kpSource, const float* kpDriving, std::vector<float>& crop);
  bool post(le::FrameJob&& job);
  // A frame is in the ring (the ring's hook).
  void written(const le::FrameJob& job);
  void noteRenderFail(const char* stage, const std::string& what, bool fatal);
  bool closing() const { return closing_.load(); }
  // Sets the closing flag, wakes every thread and joins them.
  void stopThreads();
  // Under mu_, run thread: whether the queued speech can be taken now.
  bool takeable() const { return inbox_.takeable(logic_->busy()); }

  le_ctx* ctx_;
  le::EngineLoan loan_;  // first: nothing touches the engine before the loan
  le::Engine& engine_;
  le::Avatar::SessionHold hold_;
  // A session that makes a window of each frame has the context's driver
  // cursor keep only that window, and the whole frame again at its end
  // (after its threads stopped).
  struct WindowKeep {
    le::DriverCursor* cursor = nullptr;
    ~WindowKeep() {
      try {
        if (cursor) cursor->keepWindow(le::FrameWindow{});
      } catch (...) {
      }
    }
  } keep_;
  std::string motionDir_, motionEp_, steadyModel_;
  le::AudioSettings audio_;
  le::BundleSettings where_;
  bool stageReport_ = false;
  int threads_, nt_, crop_;
  // The frames handed out: the window of the frame the ring makes.
  int outW_ = 0, outH_ = 0;
  size_t frameBytes_ = 0;
  bool a2xMode_ = false, pipelined_ = false, hybrid_ = false;
  int eagerValue_ = -1, onsetIndex_ = -1;
  double gapMs_ = 600;
  int rampFrames_ = 6, interruptRamp_ = 4;
  std::vector<float> xsTarget_;
  std::unique_ptr<le::Renderer> chunk_;
  // The rules; the run thread alone steps them.
  std::unique_ptr<le::utt::Logic> logic_;

  // Shared with the host, under mu_.
  std::mutex mu_;
  std::condition_variable wake_;
  std::atomic<bool> closing_{false};
  // Utterances the run thread has not taken yet, oldest first; an utterance
  // that follows an ended one waits here until that one's frames are all made.
  le::utt::Inbox inbox_{600};
  le::utt::Delivered last_;
  uint64_t lastUtterance_ = 0;  // of the last speech frame pulled
  // Speech frames of `utterance` before ordinal `before` are passed over;
  // the host said so at `atMs`, and its sound moves on a frame each 40 ms.
  struct Skip {
    uint64_t utterance = 0;
    int before = 0;
    double atMs = 0;
  } skip_;
  double landMs_ = -1;  // from a speech frame's render to its being in the ring, smoothed
  double onsetLandMs_ = -1;  // the same for utterances' first frames
  std::atomic<int> state_{LE_UTT_STATE_IDLE};
  bool engineReady_ = false, engineFailed_ = false;
  std::string engineError_;
  uint64_t delivered_ = 0, speechDelivered_ = 0, onsets_ = 0;
  uint64_t landed_ = 0;  // the last utterance whose first frame reached the ring
  double onsetMs_ = 0, renderMs_ = -1;
  int failures_ = 0;
  bool fatal_ = false;
  std::string failureText_;
  double deliverLat_ = 0;  // posted to delivered, summed over speech frames

  // The dispatch mailbox.
  std::mutex jobMu_;
  std::condition_variable jobCv_;
  std::unique_ptr<le::utt::Job> job_;
  bool jobDone_ = false;
  std::unique_ptr<le::audio::KeypointStream> motion_;

  // Run thread only.
  bool progressed_ = false;

  // Frames made and not yet in the ring (or gone): counted by their jobs,
  // which it outlives.
  std::atomic<int> inFlight_{0};

  // The frames, pasted in order (declared late: it is closed first), and
  // the mouth pass in front of them.
  std::unique_ptr<le::FrameRing> ring_;
  std::unique_ptr<le::TessStage> tess_;
  std::thread run_, warm_, dispatch_;
};
