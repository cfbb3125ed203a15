// The a2x_meta.json scanner and its count checks over arbitrary text.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "audio/a2x_meta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  long long v = 0;
  for (const char* key : {"h", "window", "left", "layers", "silence_prime"}) le::a2x::metaInt(text, key, &v);
  const int flag = le::a2x::metaFlag(text, "width");
  if (flag < -1 || flag > 1) std::abort();
  try {
    const le::a2x::Meta m = le::a2x::parseMeta(text);
    if (m.h < 1 || m.h > 4096 || m.window < 0 || m.left < 0 || m.layers < 1 || m.layers > 64 ||
        static_cast<long long>(m.window + m.left) * m.layers > 2048 || (m.width != 0 && m.width != 1))
      std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
