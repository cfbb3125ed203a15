// The lip template reader over arbitrary text, and every contour it accepts
// placed and rasterised on a small canvas.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/geometry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kCanvas = 64;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    le::tessera::LipContour lc = le::tessera::LipContour::fromTemplateJson(text, kCanvas);
    static const std::string pi =
        "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"lip_idx\":[0,1,2,3],\"lip_geom_params\":[0.05,0.08,0.015]}}}";
    const le::tessera::UnifiedPi u = le::tessera::UnifiedPi::fromManifestJson(pi, kCanvas);
    std::vector<float> kp(63);
    for (size_t i = 0; i < kp.size(); ++i) kp[i] = 0.9f * static_cast<float>((i * 37 + size) % 21) / 10.0f - 0.9f;
    std::vector<uint8_t> mask(kCanvas * kCanvas);
    std::vector<float> canvas(kCanvas * kCanvas);
    lc.deliveredU8(kp.data(), u, mask.data());
    lc.contourF32Canvas(kp.data(), canvas.data());
    for (const float v : canvas)
      if (!(v >= 0.0f && v <= 1.0f)) std::abort();
    const double canon[2] = {32.0, 32.0};
    int32_t dy = 0, dx = 0;
    lc.deliveredU8AndShift(kp.data(), u, canon, mask.data(), &dy, &dx);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
