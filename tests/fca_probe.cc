// Speaker normalisation and context stacking of the whole-clip delta model on
// a feature file, for the numpy reference (tests/fca_reference.py).
// usage: fca_probe IN.f32 T OUT_NORMALISED.f32 OUT_CONTEXT.f32
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/fca.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const int T = std::atoi(argv[2]);
  std::vector<float> f(static_cast<size_t>(T) * le::fca::kDim);
  FILE* in = std::fopen(argv[1], "rb");
  if (!in || std::fread(f.data(), sizeof(float), f.size(), in) != f.size()) return 1;
  std::fclose(in);
  le::fca::speakerNormalise(f, T);
  std::vector<float> ctx(static_cast<size_t>(T) * le::fca::kCond);
  for (int t = 0; t < T; ++t) le::fca::stackContext(f.data(), T, t, &ctx[static_cast<size_t>(t) * le::fca::kCond]);
  FILE* a = std::fopen(argv[3], "wb");
  FILE* b = std::fopen(argv[4], "wb");
  if (!a || !b) return 1;
  std::fwrite(f.data(), sizeof(float), f.size(), a);
  std::fwrite(ctx.data(), sizeof(float), ctx.size(), b);
  std::fclose(a);
  std::fclose(b);
  return 0;
}
