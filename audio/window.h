// Audio windows as the encoders see them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "core/finite.h"

namespace le::audio {

// Zero mean, unit variance in place: statistics in double over four
// interleaved partial sums, the inverse root of variance + 1e-7 in float.
// n is a multiple of 4.
inline void normaliseWindow(float* x, size_t n) {
  double s4[4] = {0, 0, 0, 0}, q4[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < n; i += 4)
    for (int k = 0; k < 4; ++k) {
      const double v = x[i + k];
      s4[k] += v;
      q4[k] += v * v;
    }
  const double sum = (s4[0] + s4[1]) + (s4[2] + s4[3]), sq = (q4[0] + q4[1]) + (q4[2] + q4[3]);
  const double mean = sum / static_cast<double>(n);
  const double var = std::max(0.0, sq / static_cast<double>(n) - mean * mean);
  const float inv = 1.0f / std::sqrt(static_cast<float>(var + 1e-7));
  const float m = static_cast<float>(mean);
  for (size_t i = 0; i < n; ++i) x[i] = (x[i] - m) * inv;
}

// Largest sample magnitude any 16-bit source gives, scaled or not.
inline constexpr float kMaxSample = 32768.0f;

// Throws unless every sample is finite and within +-kMaxSample: beyond that
// range window statistics and spectra overflow into infinities and NaN.
inline void checkSamples(const float* x, int n) {
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(x[i])) throw std::runtime_error("non-finite sample at index " + std::to_string(i));
    if (std::fabs(x[i]) > kMaxSample)
      throw std::runtime_error("sample at index " + std::to_string(i) + " is " + le::shortNumber(x[i]) +
                               ", beyond the +-32768 of any 16-bit source");
  }
}

}  // namespace le::audio
