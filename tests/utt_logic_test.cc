// The utterance rules stepped by hand: each case is a table of what one pass
// sees and the action it must choose, with no thread and no clock.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "session/utt_logic.h"

namespace le::utt {
namespace {

using Do = Action::Do;
constexpr int kNt = 4;

// Idle keypoints: row si is all si.
std::vector<float> track() {
  std::vector<float> xs(kNt * kKp);
  for (int si = 0; si < kNt; ++si)
    for (int k = 0; k < kKp; ++k) xs[si * kKp + k] = static_cast<float>(si);
  return xs;
}

Config config(const std::vector<float>& xs, bool hybrid = false) {
  Config c;
  c.nt = kNt;
  c.hybrid = hybrid;
  c.rampFrames = 3;
  c.interruptRamp = 2;
  c.xsTarget = xs.data();
  return c;
}

// One pass's inputs, built up by the table rows.
struct In {
  int ring = 0, jobs = 0, chunk = 0, samples = 0, inFlight = 0, cover = 0;
  uint64_t landed = 0;
  bool ended = false, ready = true, failed = false;
  uint64_t gen = 0;
  int got = -1, remaining = 0, total = -1;  // got >= 0: the engine's job finished with that many rows
  int firstSi = 0;
  std::string failure;
  Delivered last;
};

Action step(Logic& l, const In& row, double now = 0) {
  Inputs in;
  in.generation = row.gen;
  in.speech.audio.assign(static_cast<size_t>(row.samples), 0.1f);
  in.speech.ended = row.ended;
  in.ring = row.ring;
  in.pasteJobs = row.jobs;
  in.inFlight = row.inFlight;
  in.landed = row.landed;
  in.onsetCover = row.cover;
  in.engineReady = row.ready;
  in.engineFailed = row.failed;
  in.chunk = row.chunk;
  in.now = now;
  in.last = row.last;
  if (row.got >= 0 || !row.failure.empty()) {
    auto r = std::make_unique<Result>();
    r->gen = row.gen;
    r->got = std::max(row.got, 0);
    r->remaining = row.remaining;
    r->total = row.total;
    r->failure = row.failure;
    for (int k = 0; k < r->got; ++k) {
      r->idx.push_back(row.firstSi + k);
      r->xs.insert(r->xs.end(), kKp, 0.0f);
      r->out.insert(r->out.end(), kKp, 10.0f + k);
    }
    in.done = std::move(r);
  }
  return l.step(in);
}

// Speaks every row of a Speak action, as the session does after rendering.
void speak(Logic& l, const Action& a) {
  for (const Row& r : a.rows) l.spoke(r.si, r.out);
}

TEST(UttLogic, IdleWalksTheDriverOneFrameAtATimeAndWraps) {
  const auto xs = track();
  Logic l(config(xs));
  struct Row {
    int ring, jobs;
    Do want;
    int si;
  };
  const std::vector<Row> table = {
      {0, 0, Do::Idle, 0}, {0, 0, Do::Idle, 1}, {1, 0, Do::Nothing, 0},  // the host has not taken the last
      {0, 1, Do::Nothing, 0},                                            // one is on its way to the ring
      {0, 0, Do::Idle, 2}, {0, 0, Do::Idle, 3}, {0, 0, Do::Idle, 0},     // wraps
  };
  for (size_t i = 0; i < table.size(); ++i) {
    In in;
    in.ring = table[i].ring;
    in.jobs = table[i].jobs;
    const Action a = step(l, in);
    ASSERT_EQ(a.what, table[i].want) << "row " << i;
    if (a.what == Do::Idle) {
      EXPECT_EQ(a.si, table[i].si) << "row " << i;
      l.idlePosted();
    }
    EXPECT_EQ(l.state(), State::Idle);
  }
}

TEST(UttLogic, InboxEndsAnUtteranceOnItsGapOrWhenTheHostSays) {
  Inbox box(600);
  const int16_t pcm[4] = {32767, 0, 0, 0};
  struct Row {
    double now;
    char op;  // p: push, e: end, g: gap check, t: take
    size_t utterances;
    bool takeable;
  };
  const std::vector<Row> table = {
      {0, 'p', 1, true},     {500, 'p', 1, true},  // within the gap: one utterance
      {1099, 'g', 1, true},  {1100, 'g', 1, true}, // the gap counts from the last push
      {1200, 'p', 2, true},                        // 700 ms after it: a new one
      {1200, 'e', 2, true},  {1300, 'p', 3, true},
  };
  for (size_t i = 0; i < table.size(); ++i) {
    const Row& r = table[i];
    if (r.op == 'p') box.push(r.now, pcm, 4);
    if (r.op == 'e') box.end();
    if (r.op == 'g') box.closeOnGap(r.now);
    EXPECT_EQ(box.utterances(), r.utterances) << "row " << i;
    EXPECT_EQ(box.takeable(false), r.takeable) << "row " << i;
    EXPECT_FALSE(box.takeable(true)) << "row " << i;
  }
  Inbox::Taken t = box.take();
  EXPECT_EQ(t.audio.size(), 8u);
  EXPECT_TRUE(t.ended);
  EXPECT_EQ(t.firstPushMs, 0);
  EXPECT_FLOAT_EQ(t.audio[0], 32767 * 3.0517578e-5f);
  EXPECT_EQ(box.utterances(), 2u);
  Inbox never(-1);
  never.push(0, pcm, 4);
  never.push(1e9, pcm, 4);
  EXPECT_EQ(never.utterances(), 1u);
}

TEST(UttLogic, AnUtteranceSpeaksInChunksAfterItsFirstFrameThenRampsToIdle) {
  const auto xs = track();
  Logic l(config(xs));
  struct Row {
    In in;
    Do want;
    size_t rows;
    State after;
  };
  In open;
  open.samples = 640;
  In rows6;
  rows6.got = 6;
  rows6.remaining = 0;
  rows6.firstSi = 1;
  In none;
  none.got = 0;
  none.chunk = 4;
  In chunked;
  chunked.chunk = 4;
  In ended = chunked;
  ended.ended = true;
  In last2;
  last2.got = 0;
  last2.total = 6;
  last2.chunk = 4;
  const std::vector<Row> table = {
      {open, Do::Dispatch, 0, State::Onset},  // opens, sends the audio with a reset
      {rows6, Do::Dispatch, 0, State::Onset}, // six rows came: ask again while rows come
      {none, Do::Speak, 1, State::Speaking},  // none more: the first frame alone
      {chunked, Do::Speak, 4, State::Speaking},
      {ended, Do::Dispatch, 0, State::Speaking},  // the end of speech goes to the engine
      {chunked, Do::Nothing, 0, State::Speaking}, // one row, more may come while the job runs
      {last2, Do::Speak, 1, State::Speaking},     // all six in: the short chunk
      {chunked, Do::Nothing, 0, State::Ramp},     // closes, the ramp starts
  };
  for (size_t i = 0; i < table.size(); ++i) {
    const Action a = step(l, table[i].in, 100.0 * i);
    ASSERT_EQ(a.what, table[i].want) << "row " << i;
    EXPECT_EQ(a.rows.size(), table[i].rows) << "row " << i;
    EXPECT_EQ(l.state(), table[i].after) << "row " << i;
    if (i == 0) {
      EXPECT_TRUE(a.request.reset);
      EXPECT_EQ(a.request.audio.size(), 640u);
      EXPECT_EQ(a.request.pullN, 32);
    }
    if (i == 4) {
      EXPECT_TRUE(a.request.finish);
    }
    speak(l, a);
  }
  // The ramp: three frames from the last speech keypoints (15, the sixth
  // row, at si 6 mod 4 = 2) back to the idle rows from si 3 on, then idle.
  const float want[3][2] = {{3, 2.0f / 3}, {0, 1.0f / 3}, {1, 0}};
  for (const auto& w : want) {
    const Action a = step(l, In{});
    ASSERT_EQ(a.what, Do::Ramp);
    EXPECT_EQ(a.si, static_cast<int>(w[0]));
    EXPECT_FLOAT_EQ(a.kp[0], w[0] + w[1] * (15.0f - 2.0f));
  }
  EXPECT_EQ(l.state(), State::Idle);
  const Action idle = step(l, In{});
  EXPECT_EQ(idle.what, Do::Idle);
  EXPECT_EQ(idle.si, 2);
  EXPECT_DOUBLE_EQ(l.onsetAt(), 0);
}

// While the engine hears the first audio the idle walk goes on; speech then
// starts where it got to, each row moved on as far and its driving
// keypoints rebased on the idle row of its new frame. A fixed onset frame
// keeps the engine's frames.
TEST(UttLogic, TheIdleWalkGoesOnThroughTheOnset) {
  const auto xs = track();
  for (int fixed : {-1, 1}) {
    Config c = config(xs);
    c.onsetIndex = fixed;
    Logic l(c);
    In open;
    open.samples = 640;
    const Action d = step(l, open);
    ASSERT_EQ(d.what, Do::Dispatch);
    const int start = d.request.start;
    EXPECT_EQ(start, fixed < 0 ? 0 : 1);
    for (int k = 0; k < 3; ++k) {
      const Action a = step(l, In{});
      ASSERT_EQ(a.what, Do::Idle) << k;
      EXPECT_EQ(a.si, k);
      EXPECT_EQ(l.state(), State::Onset);
      l.idlePosted();
    }
    // The first frame takes two frame periods to make: two more idle frames
    // go first (the walk's), none with a fixed onset frame.
    In rows2;
    rows2.got = 2;
    rows2.total = 2;
    rows2.firstSi = start;
    rows2.cover = 2;
    Action a = step(l, rows2);
    for (int k = 3; fixed < 0 && k < 5; ++k) {
      ASSERT_EQ(a.what, Do::Idle) << k;
      EXPECT_EQ(a.si, k % kNt);
      l.idlePosted();
      a = step(l, In{.inFlight = k - 2, .cover = 2});
    }
    ASSERT_EQ(a.what, Do::Speak);
    ASSERT_EQ(a.rows.size(), 1u);
    speak(l, a);
    const Action b = step(l, In{.inFlight = 2, .cover = 2});
    ASSERT_EQ(b.what, Do::Speak);
    const int shift = fixed < 0 ? 5 : 0;
    for (const auto& [act, k] : {std::pair<const Action*, int>{&a, 0}, std::pair<const Action*, int>{&b, 1}}) {
      const Row& r = act->rows[0];
      EXPECT_EQ(r.si, (start + k + shift) % kNt);
      EXPECT_FLOAT_EQ(r.xs[5], shift ? static_cast<float>(r.si) : 0.0f);
      EXPECT_FLOAT_EQ(r.out[5], r.xs[5] + 10.0f + k);
    }
  }
}

// Until an utterance's first frame is in the ring, at most three frames are
// on their way (the mouth pass releases one when the next arrives); then the
// pipeline fills again, and the next utterance waits for its own first frame.
TEST(UttLogic, AnUtterancesFirstFrameIsNotCrowdedOnItsWay) {
  const auto xs = track();
  Logic l(config(xs));
  In open;
  open.samples = 640;
  ASSERT_EQ(step(l, open).what, Do::Dispatch);
  In rows;
  rows.got = 8;
  rows.total = 8;
  rows.ring = 1;  // an idle frame waits for the host
  for (int flying = 0; flying < 3; ++flying) {
    rows.inFlight = flying;
    const Action a = step(l, rows);
    ASSERT_EQ(a.what, Do::Speak) << flying;
    speak(l, a);
    rows.got = -1;
  }
  rows.inFlight = 3;
  EXPECT_EQ(step(l, rows).what, Do::Nothing);
  rows.landed = l.utterance();
  const Action a = step(l, rows);
  ASSERT_EQ(a.what, Do::Speak);
  speak(l, a);
  // The rest of the speech (its end to the engine) and the ramp, then the
  // next utterance.
  In tail = rows;
  tail.ended = true;
  tail.got = 0;
  for (int k = 0; k < 20 && l.state() != State::Idle; ++k) speak(l, step(l, tail));
  ASSERT_EQ(l.state(), State::Idle);
  ASSERT_EQ(step(l, open).what, Do::Dispatch);
  In next = rows;
  next.got = 2;
  next.total = 2;
  EXPECT_EQ(step(l, next).what, Do::Nothing);
  next.got = -1;
  next.landed = l.utterance();
  EXPECT_EQ(step(l, next).what, Do::Speak);
}

TEST(UttLogic, HybridGoesHighAbove23WaitingFramesAndLowAt11) {
  const auto xs = track();
  Logic l(config(xs, true));
  In open;
  open.samples = 640;
  ASSERT_EQ(step(l, open).what, Do::Dispatch);
  struct Row {
    int got, ring, spoken, eager;  // spoken: frames spoken before the pass; eager: sent with its job (0: unchanged)
  };
  // Waiting frames: the engine's rows queued here plus the frames in the ring.
  const std::vector<Row> table = {
      {8, 8, 0, 0},   // 16 waiting: low
      {8, 8, 0, 24},  // 24: high
      {0, 4, 0, 0},   // 20: stays high
      {0, 0, 5, 3},   // 11: low again
  };
  for (size_t i = 0; i < table.size(); ++i) {
    for (int k = 0; k < table[i].spoken; ++k) {
      const Action a = step(l, In{});  // the job still runs: speech goes on
      ASSERT_EQ(a.what, Do::Speak);
      speak(l, a);
    }
    In in;
    in.got = table[i].got;
    in.ring = table[i].ring;
    in.samples = 640;  // more speech: a job every pass
    const Action a = step(l, in);
    ASSERT_EQ(a.what, Do::Dispatch) << "row " << i;
    EXPECT_EQ(a.request.eager, table[i].eager) << "row " << i;
  }
}

TEST(UttLogic, InterruptRampsFromWhatWasOnScreen) {
  const auto xs = track();
  struct Row {
    bool have;
    Kind kind;
    State after;
    int nextSi;
  };
  const std::vector<Row> table = {
      {true, Kind::Speech, State::Ramp, 3},
      {true, Kind::Ramp, State::Ramp, 3},
      {true, Kind::Idle, State::Idle, 3},
      {false, Kind::Idle, State::Idle, 0},
  };
  for (size_t i = 0; i < table.size(); ++i) {
    Logic l(config(xs));
    In open;
    open.samples = 640;
    step(l, open);
    In cut;
    cut.gen = 1;
    cut.got = 3;        // the engine's job finished as the interrupt came: its rows go
    cut.samples = 640;  // pushed after the interrupt: waits for the next pass
    cut.last.have = table[i].have;
    cut.last.kind = table[i].kind;
    cut.last.si = 2;
    for (float& v : cut.last.kp) v = 8;
    const Action a = step(l, cut);
    EXPECT_EQ(a.what, Do::Nothing) << "row " << i;
    EXPECT_EQ(l.state(), table[i].after) << "row " << i;
    EXPECT_EQ(l.generation(), 1u);
    EXPECT_EQ(l.idleIndex(), table[i].nextSi) << "row " << i;
    if (table[i].after == State::Ramp) {
      In next;
      next.gen = 1;
      const Action r = step(l, next);
      ASSERT_EQ(r.what, Do::Ramp);
      EXPECT_FLOAT_EQ(r.kp[0], 3 + 0.5f * (8 - 2));  // two frames: halfway first
    }
    // The next utterance reaches the engine.
    In again;
    again.gen = 1;
    again.samples = 640;
    const Action d = step(l, again);
    EXPECT_EQ(d.what, Do::Dispatch) << "row " << i;
    EXPECT_TRUE(d.request.reset) << "row " << i;
  }
}

TEST(UttLogic, AnEngineFailureEndsTheUtteranceAndIsReportedOnce) {
  const auto xs = track();
  struct Row {
    bool spokeFirst, endedFirst;
    State after;
    bool dropRest;
  };
  const std::vector<Row> table = {
      {false, false, State::Idle, true},
      {true, false, State::Ramp, true},
      {false, true, State::Idle, false},
  };
  for (size_t i = 0; i < table.size(); ++i) {
    Logic l(config(xs));
    In open;
    open.samples = 640;
    open.ended = table[i].endedFirst;
    ASSERT_EQ(step(l, open).what, Do::Dispatch);
    if (table[i].spokeFirst) {
      In rows;
      rows.got = 1;
      ASSERT_EQ(step(l, rows).what, Do::Dispatch);
      In none;
      none.got = 0;
      const Action a = step(l, none);
      ASSERT_EQ(a.what, Do::Speak) << "row " << i;
      speak(l, a);
      In more;
      more.samples = 640;
      ASSERT_EQ(step(l, more).what, Do::Dispatch);
    }
    In fail;
    fail.failure = "the decoder ran out of road";
    const Action a = step(l, fail);
    EXPECT_EQ(a.engineFailure, "the decoder ran out of road") << "row " << i;
    EXPECT_EQ(a.dropRest, table[i].dropRest) << "row " << i;
    EXPECT_EQ(l.state(), table[i].after) << "row " << i;
    EXPECT_TRUE(step(l, In{}).engineFailure.empty());
  }
}

}  // namespace
}  // namespace le::utt
