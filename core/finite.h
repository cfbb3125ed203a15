// Finiteness checks for what comes out of tables and networks: one NaN or
// infinity would spread through every keypoint and pixel it touches.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace le {

// Index of the first NaN or infinity in p[0..n), or n when there is none.
inline size_t firstNonFinite(const float* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return i;
  return n;
}

// A number as a message shows it: "3e+38", "0.25".
inline std::string shortNumber(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

// Throws "<what> holds a non-finite value (index i)" when p does.
inline void requireFinite(const float* p, size_t n, const std::string& what) {
  const size_t i = firstNonFinite(p, n);
  if (i < n) throw std::runtime_error(what + " holds a non-finite value (index " + std::to_string(i) + ")");
}

}  // namespace le
