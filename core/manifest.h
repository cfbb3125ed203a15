// The bundle manifest: a handful of scalar values read from manifest.json by
// scanning its raw text for keys, refusing any key that is ambiguous.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/settings.h"

namespace le {

struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

struct Manifest {
  std::string dir;
  std::string agent;
  int32_t nt = 0;
  int32_t H = 0;
  int32_t W = 0;
  int32_t msrcW = 0;
  int32_t msrcH = 0;
  int32_t crop = 512;
  Unsharp unsharp;
  int32_t frames = 0;
  std::string lipTemplate;
  // Member names the manifest may set (a missing or empty value keeps the
  // default); pHevc stays empty unless the manifest names a prior video.
  std::string targetFrames = "target_frames";
  std::string targetFramesMp4 = "target_frames.mp4";
  std::string pRgb = "P.f16";
  std::string pHevc;

  // The prior video member: the one the manifest names, else "P_hevc.mov".
  std::string priorVideo() const { return pHevc.empty() ? "P_hevc.mov" : pHevc; }

  // Path of member "model_<key>.onnx" under either of its names.
  std::string modelPath(const std::string& key) const;
};

// Loads and validates the manifest of the bundle at `bundlePath` (a directory
// or an IMX container). Throws std::runtime_error naming the problem.
Manifest loadManifest(const std::string& bundlePath, const BundleSettings& settings = {});

// The validation steps of loadManifest over an already read text; `dir` is
// the resolved bundle directory (used in messages). The lip template is not
// read here. msrcMissingOk: a manifest without a paste-space stamp is
// assumed to be authored on its own canvas (with a warning) instead of refused.
Manifest parseManifest(const std::string& dir, const std::string& text, bool msrcMissingOk = false);

namespace manifest_key {

struct KeyHit {
  size_t pos;    // first non-blank byte of the value
  int32_t depth; // bracket depth at the key; the top-level object is 1
  bool scalar;   // the value does not begin with [ or {
};

inline constexpr size_t kNotFound = static_cast<size_t>(-1);

std::vector<KeyHit> keyHits(const std::string& text, const std::string& key);

// Offset of the one scalar value of `key`, or kNotFound. Throws when the key
// occurs as a scalar more than once at the deciding depth.
size_t scalarValuePos(const std::string& text, const std::string& key);

}  // namespace manifest_key

namespace manifest_field {

// Sentinel that marks a value as absent in numFieldEither.
inline constexpr double kAbsent = -1e300;

double findKey(const std::string& text, const std::string& key);
double numFieldEither(const std::string& text, const std::string& a, const std::string& b);
std::string strField(const std::string& text, const std::string& key);
// The string value of `key` into out; true when it is non-empty.
bool optStr(const std::string& text, const std::string& key, std::string& out);
// The number under `a`, else under `b`, else kAbsent (never throws for absence).
double optNumEither(const std::string& text, const std::string& a, const std::string& b);
// Truncates toward zero; refuses values a 32-bit integer cannot hold.
int32_t toInt32(double v, const std::string& key);

}  // namespace manifest_field

}  // namespace le
