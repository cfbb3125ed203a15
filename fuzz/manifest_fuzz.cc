// Manifest scanner and loader over arbitrary text.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"NT", "W", "format", "crop"}) {
    for (const auto& hit : le::manifest_key::keyHits(text, key)) {
      if (hit.pos > text.size()) std::abort();
    }
    try {
      const size_t pos = le::manifest_key::scalarValuePos(text, key);
      if (pos != le::manifest_key::kNotFound && pos >= text.size()) std::abort();
    } catch (const std::runtime_error&) {
    }
  }
  try {
    const le::Manifest m = le::parseManifest("/fuzz", text);
    if (m.nt < 1 || m.W < 1 || m.H < 1 || m.crop < 1 || m.msrcW < 1 || m.msrcH < 1) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
