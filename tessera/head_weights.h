// The blend head's weights, read from its state-dict archive without any
// torch runtime: a ZIP reader for stored entries, a pickle interpreter for
// the opcodes and the two globals a state dict uses, and a fetcher that
// checks every tensor against the one architecture the pass implements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

struct HeadWeights {
  std::vector<float> cand0_w, cand0_b, cand2_w, cand2_b, cand4_w, cand4_b;
  // Empty for BlendHead8(16), which has no synthesis branch.
  std::vector<float> syn0_w, syn0_b, syn2_w, syn2_b;

  size_t params() const;
  bool hasSyn() const { return !syn0_w.empty(); }
};

constexpr size_t kBlendHeadParams = 4082;
constexpr size_t kBlendHead8Params = 3489;

// Reads a whole archive; throws "teeth: ..." naming what it refuses.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);
HeadWeights loadHeadPt(const uint8_t* data, size_t size);

namespace zip {

struct Entry {
  std::string name;
  uint16_t method = 0;
  uint64_t compressed = 0, uncompressed = 0, localOffset = 0;
  uint64_t dataOffset = 0, dataSize = 0;
};

// The central directory of an archive of stored entries, each entry's data
// located and bounds-checked.
std::vector<Entry> readDirectory(const uint8_t* data, size_t size);

}  // namespace zip
}  // namespace le::tessera
