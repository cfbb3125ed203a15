// The motion directory's meta.json reader over arbitrary text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "audio/motion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const le::motion::Meta m = le::motion::parseMeta(text);
    if (m.nt < 1 || m.nt > 100000 || m.nEmo < 1 || m.nEmo > 100000 || !(std::fabs(m.deltaPitch) <= 180.0f) ||
        !(std::fabs(m.sBridge) <= 100.0f))
      std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
