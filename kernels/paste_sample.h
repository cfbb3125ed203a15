// Where a frame pixel samples the crop, and how much of it: shared by the
// Lanczos row kernel (compiled once per SIMD target) and the bicubic and
// bilinear modes, so that every mode computes the same box, phases and alpha.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace le {

struct PasteSample {
  int iu, iv;    // integer crop coordinates
  int pu, pv;    // filter phases, 0..31
  bool inside;   // the 8x8 window lies inside the crop
  float alpha;   // rint(mask weight) / 255, above 0
};

// Fixed-point coordinate (U, V) (10 fractional bits) of one frame pixel in a
// side x side crop with its mask. False when the pixel is left unchanged: out
// of reach of the crop, or a mask weight that rounds to 0.
inline bool pasteSample(int32_t U, int32_t V, int S, const uint8_t* mask, const float* linearTab, PasteSample& s) {
  if (U < -1024 || V < -1024) return false;
  s.iu = U >> 10;
  s.iv = V >> 10;
  if (s.iu >= S || s.iv >= S) return false;
  s.pu = (U >> 5) & 31;
  s.pv = (V >> 5) & 31;
  const float wu0 = linearTab[s.pu * 2], wu1 = linearTab[s.pu * 2 + 1];
  const float wv0 = linearTab[s.pv * 2], wv1 = linearTab[s.pv * 2 + 1];
  const int iu = s.iu, iv = s.iv;
  s.inside = iu >= 3 && iu + 4 < S && iv >= 3 && iv + 4 < S;
  float m;
  if (s.inside) {
    // The four mask samples are all in the crop; all zero (outside the face)
    // gives m = 0 without the arithmetic.
    const uint8_t* m0 = mask + static_cast<size_t>(iv) * S + iu;
    const uint8_t* m1 = m0 + S;
    if ((m0[0] | m0[1] | m1[0] | m1[1]) == 0) return false;
    m = (wu1 * static_cast<float>(m1[1]) + wu0 * static_cast<float>(m1[0])) * wv1 +
        (wu1 * static_cast<float>(m0[1]) + wu0 * static_cast<float>(m0[0])) * wv0;
  } else {
    // Samples outside the crop count 0.
    auto at = [&](int r, int c) -> float {
      return (r >= 0 && r < S && c >= 0 && c < S) ? static_cast<float>(mask[static_cast<size_t>(r) * S + c]) : 0.0f;
    };
    m = (wu1 * at(iv + 1, iu + 1) + wu0 * at(iv + 1, iu)) * wv1 + (wu1 * at(iv, iu + 1) + wu0 * at(iv, iu)) * wv0;
  }
  s.alpha = std::rint(m) / 255.0f;
  return s.alpha > 0.0f;
}

}  // namespace le
