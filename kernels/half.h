// Scalar half-float conversions with the rounding of the vector kernels.
#pragma once

#include <cstdint>
#include <cstring>

namespace le::half {

inline uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

inline float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// Round to nearest even; overflow to infinity; NaN quiet with the upper
// payload bits.
inline uint16_t fromFloat(float x) {
  const uint32_t bits = bitsOf(x);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const uint32_t abs = bits & 0x7FFFFFFFu;
  uint32_t r;
  if (abs > 0x7F800000u) r = 0x7E00u | ((abs >> 13) & 0x3FFu);
  else if (abs > 0x477FEFFFu) r = 0x7C00u;
  else if (abs < 0x38800000u) r = bitsOf(floatOf(abs) + 0.5f) - 0x3F000000u;
  else r = (abs - 0x38000000u + 0xFFFu + ((abs >> 13) & 1u)) >> 13;
  return static_cast<uint16_t>(r | sign);
}

// Exact; a NaN comes back quiet.
inline float toFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t mag = h & 0x7FFFu, m = h & 0x3FFu;
  uint32_t r;
  if (mag > 0x7BFFu) r = 0x7F800000u | (m << 13) | (m ? 0x400000u : 0u);
  else if (mag < 0x400u) r = bitsOf(static_cast<float>(m) * 5.9604644775390625e-8f);
  else r = (mag << 13) + 0x38000000u;
  return floatOf(r | sign);
}

inline float round(float x) { return toFloat(fromFloat(x)); }

}  // namespace le::half
