// The utterance session's rules without its threads: the host's speech by
// utterance (Inbox), and what one pass of the run thread does with what it
// sees (Logic::step: inputs in, one action out). The session's threads gather
// the inputs, carry the action out and report back what came of it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/framing.h"
#include "le/le.h"

namespace le::utt {

constexpr int kKp = kKpValues;

enum class State : int {
  Idle = LE_UTT_STATE_IDLE,
  Onset = LE_UTT_STATE_ONSET,
  Speaking = LE_UTT_STATE_SPEAKING,
  Ramp = LE_UTT_STATE_RAMP,
};

enum class Kind : int { Idle = LE_UTT_KIND_IDLE, Speech = LE_UTT_KIND_SPEECH, Ramp = LE_UTT_KIND_RAMP };

// Speech as the host pushed it, by utterance, until the run thread takes it.
// The back utterance stays open to pushes until the host ends it or its gap
// (silence since the last push) passes.
class Inbox {
 public:
  // gapMs < 0: an utterance never ends by silence.
  explicit Inbox(double gapMs) : gapMs_(gapMs) {}

  void push(double now, const int16_t* samples, int n);
  void end();
  void clear();
  void closeOnGap(double now);
  // Whether the front utterance has speech or its end to take; never while
  // `busy` (an ended utterance not yet closed, or a ramp).
  bool takeable(bool busy) const;
  struct Taken {
    std::vector<float> audio;
    bool ended = false;
    double firstPushMs = -1;
  };
  Taken take();
  // The rest of a failed utterance goes; utterances queued behind it stay.
  void dropFront();
  size_t utterances() const { return pending_.size(); }

 private:
  struct Segment {
    std::vector<float> audio;
    bool ended = false;
    double firstPushMs = -1;
  };
  std::deque<Segment> pending_;
  bool tailOpen_ = false;
  double lastPushMs_ = -1;
  double gapMs_;
};

struct Config {
  int nt = 0;             // driver frames
  int ring = 8;           // frames the ring holds
  int ahead = 3;          // frames on their way until an utterance's first is in the ring
  int rowsAsked = 32;     // keypoint rows asked of the audio engine at most
  bool hybrid = false;
  int eager = -1;         // the engine's eager value without hybrid
  int onsetIndex = -1;    // fixed driver frame to start speech at (< 0: where the idle walk is)
  int rampFrames = 6, interruptRamp = 4;
  const float* xsTarget = nullptr;  // nt idle keypoint rows
};

// One keypoint row from the audio engine: its driver frame, source and driving keypoints.
struct Row {
  int si = 0;
  float xs[kKp] = {}, out[kKp] = {};
};

// A job for the audio engine, and what came of it.
struct Request {
  bool reset = false;
  int start = 0, eager = 0;
  std::vector<float> audio;
  bool finish = false;
  int pullN = 0;
  uint64_t gen = 0;
};
struct Result {
  uint64_t gen = 0;
  int got = 0, remaining = 0, total = -1;
  std::vector<int> idx;
  std::vector<float> xs, out;
  std::string failure;
};

// The last frame the host took.
struct Delivered {
  bool have = false;
  Kind kind = Kind::Idle;
  int si = 0;
  float kp[kKp] = {};
};

struct Inputs {
  uint64_t generation = 0;   // interrupts so far
  Inbox::Taken speech;       // taken from the inbox this pass
  int ring = 0;              // frames made and not yet taken
  int pasteJobs = 0;         // frames queued for the paste
  int inFlight = 0;          // frames made and not yet in the ring (mouth pass, paste)
  uint64_t landed = 0;       // the last utterance whose first speech frame reached the ring
  bool engineReady = false, engineFailed = false;
  int chunk = 0;             // the chunk renderer's batch (0: none)
  double now = 0;
  // Frames the viewer would wait while an utterance's first frame is made
  // (its making measured on earlier utterances): the idle walk covers them.
  int onsetCover = 0;
  Delivered last;
  std::unique_ptr<Result> done;  // the audio engine's finished job, if any
};

struct Action {
  enum class Do { Nothing, Dispatch, Speak, Ramp, Idle };
  Do what = Do::Nothing;
  bool progressed = false;
  // The audio engine failed this pass: its text; dropRest: the failed
  // utterance's unread speech must go from the inbox.
  std::string engineFailure;
  bool dropRest = false;
  Request request;        // Dispatch
  std::vector<Row> rows;  // Speak: one director run when more than one
  int si = 0;             // Ramp, Idle: the driver frame
  float kp[kKp] = {};     // Ramp: the driving keypoints
  uint64_t gen = 0;
};

class Logic {
 public:
  explicit Logic(const Config& config);

  Action step(Inputs& in);
  // A speech frame of the last Speak rendered: its ordinal in the utterance.
  int spoke(int si, const float* kp);
  // The last Idle frame went to the ring.
  void idlePosted();

  State state() const { return state_; }
  bool busy() const { return state_ == State::Ramp || (open_ && ended_); }
  bool inFlight() const { return inFlight_; }
  uint64_t generation() const { return seenGen_; }
  // When the open utterance's speech began (ms, the inputs' clock).
  double onsetAt() const { return onsetAt_; }
  // The open (or last) utterance's number, from 1.
  uint64_t utterance() const { return utterance_; }
  int idleIndex() const { return idleIndex_; }
  // The ordinal the next speech frame of the open utterance gets.
  int nextOrdinal() const { return ordinal_; }

 private:
  const float* xsRow(int si) const { return config_.xsTarget + static_cast<size_t>(si) * kKp; }
  void startRamp(int frames, int si, const float* kp);
  void closeUtterance(double now, bool ramp);
  void interrupted(const Delivered& last);
  void received(const Result& r);

  Config config_;
  State state_ = State::Idle;
  uint64_t seenGen_ = 0;
  bool open_ = false, finishSent_ = false, inFlight_ = false, ended_ = false, resetPending_ = false;
  int received_ = 0, total_ = -1, engineAvail_ = 0, hybridHigh_ = 0, eagerSent_ = 0, ordinal_ = 0, lastGot_ = 0;
  double onsetAt_ = 0, closedAt_ = 0;
  std::vector<float> toSend_;
  std::deque<Row> queue_;
  int idleIndex_ = 0, rampLeft_ = 0, rampTotal_ = 0;
  uint64_t utterance_ = 0;
  // The driver frame the engine was reset at, and how far the idle walk went
  // on past it before the utterance's first frame.
  int startSent_ = 0, shift_ = 0;
  int covered_ = 0;  // idle frames posted to cover the making of the open utterance's first frame
  float rampOffset_[kKp] = {};
  int lastSpeechSi_ = -1;
  float lastSpeechKp_[kKp] = {};
};

}  // namespace le::utt
