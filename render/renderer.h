// The director session: binds a source frame's identity rows and two
// keypoint sets to the bundle's director graph and returns planar RGB crops.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le {

struct Manifest;
class Identity;

class Renderer {
 public:
  // Reads "model_<key>.onnx", applies the load-time rewrites and creates the
  // session. intraOpThreads < 1 means le::pool::threads(). ep: "" (CPU),
  // "coreml[:units]" (falls back to CPU where unavailable), "neon"
  // (unavailable here: CPU). Throws std::runtime_error on every refusal.
  Renderer(const Manifest& manifest, const Identity& identity, const std::string& modelKey, int intraOpThreads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n items (1 <= n <= batch): item i from source frame si[i] with
  // the 63 keypoint values at kpSource + 63 i and kpDriving + 63 i. Returns
  // batch planar crops of 3 * crop * crop floats; the first n are valid.
  const float* render(const int* si, const float* kpSource, const float* kpDriving, int n);

  int batch() const;
  const char* ep() const;
  const char* backend() const;
  const char* directorNote() const;
  // "warp-prior" or "FeatSynth"; the load-time rewrites applied ("" for none).
  const char* family() const;
  const char* rewrites() const;
  // Time spent inside Session::Run so far, and how many runs.
  double runMs() const;
  int64_t runs() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
