// The bank track decoder over mutated tracks: the first byte picks the donor
// count (1..8), the rest is the track; the stamp's patch is 16 x 8.
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "tessera/bank_track.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t n = data[0] % 8 + 1;
  std::vector<int32_t> order(static_cast<size_t>(n));
  std::iota(order.rbegin(), order.rend(), 0);
  try {
    const std::vector<uint8_t> band = le::tessera::decodeBankTrack(data + 1, size - 1, n, 8, 16, order);
    if (band.size() != static_cast<size_t>(n) * 8 * 16 * 3) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
