// Runs the blend head once for the numpy check.
// usage: head_forward_probe WH WW R0 R1 C0 C1 K HEAD.pt IN.f32 OUT.f32
//   IN: K candidate windows then the query (3 planes of WH x WW each);
//   OUT: the blended planes, then K + 1 weight planes.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "tessera/head_weights.h"
#include "tessera/teeth_pass.h"

int main(int argc, char** argv) {
  if (argc != 11) return 2;
  int a[7];
  for (int i = 0; i < 7; ++i) a[i] = std::atoi(argv[1 + i]);
  const int WH = a[0], WW = a[1], K = a[6];
  std::ifstream pt(argv[8], std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(pt)), {});
  const int32_t stamp[12] = {WW, WH, 0, 0, WW, WH, 1, a[2], a[3], a[4], a[5], 0};
  le::tessera::BankData bank;
  bank.stamp = le::tessera::GeometryStamp::fromArray(stamp);
  bank.n_donors = 1;
  bank.band.assign(static_cast<size_t>(bank.stamp.storedH()) * bank.stamp.storedW() * 3, 0);
  bank.cent = {0, 0};
  bank.aperture = {1};
  const le::tessera::TeethPass pass(bank, le::tessera::loadHeadPt(bytes), le::tessera::ServeConfig());
  const size_t px = static_cast<size_t>(WH) * WW;
  std::vector<float> cand(static_cast<size_t>(K) * 3 * px), query(3 * px), blended, weights;
  FILE* in = std::fopen(argv[9], "rb");
  if (!in || std::fread(cand.data(), 4, cand.size(), in) != cand.size() ||
      std::fread(query.data(), 4, query.size(), in) != query.size())
    return 3;
  std::fclose(in);
  pass.headForward(cand, K, query, &blended, &weights);
  FILE* out = std::fopen(argv[10], "wb");
  std::fwrite(blended.data(), 4, blended.size(), out);
  std::fwrite(weights.data(), 4, weights.size(), out);
  std::fclose(out);
  return 0;
}
