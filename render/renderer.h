// The director: a loaded graph shared read-only by every stream that renders
// with it (Director), and per stream the bindings and buffers that carry a
// source frame's identity rows and two keypoint sets into it and planar RGB
// crops out (Renderer). Runs of one Director on several threads are safe:
// each Renderer binds its own buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/lease_pool.h"
#include "core/settings.h"

namespace Ort {
struct IoBinding;
struct RunOptions;
struct Value;
}  // namespace Ort

namespace le {

struct Manifest;
class Identity;
namespace tessera {
class LipContour;
}

class Director {
 public:
  // Reads "model_<key>.onnx", applies the load-time rewrites and creates the
  // session. intraOpThreads < 1 means le::pool::threads(). ep: "" (CPU),
  // "coreml[:units]" (falls back to CPU where unavailable), "neon"
  // (unavailable here: CPU). settings: the load switches. Throws
  // std::runtime_error on every refusal, including a graph whose inputs the
  // bundle's identity cannot feed.
  Director(const Manifest& manifest, const Identity& identity, const std::string& modelKey, int intraOpThreads,
           const std::string& ep, const RenderSettings& settings = {});
  ~Director();
  Director(const Director&) = delete;
  Director& operator=(const Director&) = delete;

  int batch() const;
  int crop() const;
  int threads() const;
  // The most runs of the graph at once so far, over every stream: on the
  // CPU at most its cores over its intra-op threads.
  int peakRuns() const;
  bool featSynth() const;
  const char* ep() const;
  const char* note() const;
  // "warp-prior" or "FeatSynth"; the load-time rewrites applied ("" for none).
  const char* family() const;
  const char* rewrites() const;
  // The lip contour bound into the compose alpha (null: the graph's own).
  const tessera::LipContour* lip() const;
  // The graph's file, as found in the bundle.
  const std::string& graphPath() const;

  // A binding of the session, for one stream's buffers; one run over it.
  std::unique_ptr<Ort::IoBinding> binding() const;
  // The buffers a run reads (its source frames' prior and pooled features,
  // the keypoints, the lip canvas), lent to one stream's run at a time: on
  // the CPU as many sets as runs may go at once, however many streams there
  // are.
  struct RunInputs;
  LeasePool<RunInputs>& inputs() const;
  // Frees the sets no run holds now (the next runs make them anew).
  void releaseInputs() const;
  void run(const Ort::RunOptions& options, const Ort::IoBinding& binding) const;

  // The source cone split off: a one-thread session from "P_rgb" (batch 1)
  // to the boundary tensor, which the per-frame session reads as an input.
  // Its outputs live in slots shared by every stream on this director, each
  // holding one source frame's boundary: on the CPU as many as runs may go
  // at once plus one filled ahead, however many streams there are.
  bool hoisted() const;
  const std::string& boundaryName() const;
  struct ConeSlot;
  // Pins the slot holding source frame `frame` (*filled true), or an empty
  // slot for the caller to fill (*filled false: fillCone, then unpin). When
  // every slot is pinned it waits for one, or returns null if !wait.
  ConeSlot* pinCone(int frame, bool wait, bool* filled) const;
  // Fills a slot pinned empty: writeP writes the frame's 3 x crop x crop
  // floats of "P_rgb", then the cone runs. Throws what either throws; the
  // slot then stays empty.
  void fillCone(ConeSlot* slot, int frame, const std::function<void(float*)>& writeP) const;
  const Ort::Value& coneValue(const ConeSlot* slot) const;
  void unpinCone(ConeSlot* slot) const;
  int coneSlots() const;  // slots made so far

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

class Renderer {
 public:
  // Over a loaded director; `identity` must outlive the renderer.
  Renderer(std::shared_ptr<const Director> director, const Identity& identity);
  // Loads a director of its own (see Director).
  Renderer(const Manifest& manifest, const Identity& identity, const std::string& modelKey, int intraOpThreads,
           const std::string& ep, const RenderSettings& settings = {});
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n items (1 <= n <= batch): item i from source frame si[i] with
  // the 63 keypoint values at kpSource + 63 i and kpDriving + 63 i. Returns
  // batch planar crops of 3 * crop * crop floats; the first n are valid.
  const float* render(const int* si, const float* kpSource, const float* kpDriving, int n);
  // As render(), the crops written into `out` (batch crops) instead of this
  // renderer's own, which then is never made.
  void render(const int* si, const float* kpSource, const float* kpDriving, int n, float* out);
  // As render(), the crops written into a buffer lent with the run's inputs
  // and handed to `take` before the call returns: what a stream renders
  // now and then in batches is kept once per run going at once, not once
  // per stream.
  void render(const int* si, const float* kpSource, const float* kpDriving, int n,
              const std::function<void(const float* crops)>& take);

  int batch() const;
  const char* ep() const;
  const char* backend() const;
  const char* directorNote() const;
  // "warp-prior" or "FeatSynth"; the load-time rewrites applied ("" for none).
  const char* family() const;
  const char* rewrites() const;
  // Time this renderer spent inside Session::Run so far, and how many runs.
  double runMs() const;
  int64_t runs() const;
  const std::shared_ptr<const Director>& director() const;
  // The source cone runs in a session of its own, once per source frame,
  // into the director's shared slots, ahead of need on a thread of this
  // renderer when a slot is free. Renders served by a slot that needed no
  // run on the rendering thread (hits), runs on the rendering thread
  // (synchronous), runs of the prefetch thread.
  bool hoisted() const;
  struct RingStats {
    int64_t hits = 0, synchronous = 0, prefetched = 0;
  };
  RingStats ringStats() const;  // once the prefetch in flight is done
  // Keeps this stream's warp-prior video in step with driver frame si when
  // the prior plays from a video (so that the next render need not seek).
  void walkPrior(int si);

  struct Impl;

 private:
  void renderRun(const int* si, const float* kpSource, const float* kpDriving, int n, float* out,
                 const std::function<void(const float*)>* take);
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
