// The blend head's archive reader (ZIP directory, pickle, tensor fetch) over
// arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "tessera/head_weights.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const le::tessera::HeadWeights h = le::tessera::loadHeadPt(data, size);
    if (h.params() != le::tessera::kBlendHeadParams && h.params() != le::tessera::kBlendHead8Params) std::abort();
    if (h.cand0_w.size() != 1008 || (h.hasSyn() && h.syn0_w.size() != 432)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
