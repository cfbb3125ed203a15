// A streaming audio-to-keypoint engine as its callers drive it (the C
// families and the utterance session): push 16 kHz samples, finish, poll and
// pull frames of keypoints, reset. Failures throw. Sticky keeps an engine's
// failure until reset: a failure of finish, avail or pull (the engine's own
// work) is reported by that call and by every later one but reset, so a host
// polling for frames learns why none come; a refused push (the caller's
// samples or order) is reported by that push alone.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/settings.h"

namespace le::audio {

class KeypointStream {
 public:
  virtual ~KeypointStream() = default;
  virtual void push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  virtual int avail() = 0;
  // Frames written (at most n); idx, xs and out may each be null.
  virtual int pull(int* idx, float* xs, float* out, int n) = 0;
  // Frames of the finished stream; -1 before finish.
  virtual int total() = 0;
  virtual void reset(int start, int dir, int loop) = 0;
  virtual void setEager(int value) = 0;
  // The failure that stopped the stream ("" while healthy).
  virtual const std::string& failure() const = 0;
  // Stops the stream with `text` until reset.
  virtual void fail(const std::string& text) = 0;
};

// What a stopped stream throws: the text of the failure that stopped it.
class Stopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class Engine>
class Sticky final : public KeypointStream {
 public:
  // prefix goes before the text of a failure that stops the stream.
  Sticky(std::unique_ptr<Engine> engine, std::string prefix) : engine_(std::move(engine)), prefix_(std::move(prefix)) {}

  Engine& engine() { return *engine_; }
  const Engine& engine() const { return *engine_; }

  void push(const float* samples, int n) override {
    check();
    engine_->push(samples, n);
  }
  void finish() override {
    run([&] {
      engine_->finish();
      return 0;
    });
  }
  int avail() override {
    return run([&] { return engine_->avail(); });
  }
  int pull(int* idx, float* xs, float* out, int n) override {
    return run([&] { return engine_->pull(idx, xs, out, n); });
  }
  int total() override {
    check();
    return engine_->total();
  }
  void reset(int start, int dir, int loop) override {
    engine_->reset(start, dir, loop);
    failure_.clear();
  }
  void setEager(int value) override { engine_->setEager(value); }
  const std::string& failure() const override { return failure_; }
  void fail(const std::string& text) override { failure_ = text.empty() ? prefix_ + "unknown failure" : text; }

  // Throws Stopped while the stream is stopped.
  void check() const {
    if (!failure_.empty()) throw Stopped(failure_);
  }
  // Runs f, a call into the engine's own work: a failure stops the stream.
  template <typename F>
  auto run(F&& f) -> decltype(f()) {
    check();
    try {
      return f();
    } catch (const std::exception& e) {
      failure_ = prefix_ + e.what();
    } catch (...) {
      failure_ = prefix_ + "unknown failure";
    }
    throw Stopped(failure_);
  }

 private:
  std::unique_ptr<Engine> engine_;
  std::string prefix_;
  std::string failure_;
};

// The engine of a directory: the streaming audio-to-keypoint bundle when it
// holds "a2x_enc_stream.onnx", else the three-network motion engine. Throws
// the engine's creation message.
std::unique_ptr<KeypointStream> openKeypointStream(const std::string& dir, int threads, const std::string& ep,
                                                   const AudioSettings& audio, const BundleSettings& where = {});
bool isA2xBundle(const std::string& dir, const BundleSettings& where = {});

}  // namespace le::audio
