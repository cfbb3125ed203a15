// Prints the lip contour's rasterisation of one polygon for the numpy check:
// the box, the filled rows and the chamfer distances.
// usage: lip_raster_probe CANVAS FEATHER x0 y0 x1 y1 ...
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tessera/geometry.h"

int main(int argc, char** argv) {
  if (argc < 9 || (argc - 3) % 2) return 2;
  const int n = std::atoi(argv[1]);
  std::vector<double> v;
  for (int i = 3; i < argc; ++i) v.push_back(std::atof(argv[i]));
  const int nv = static_cast<int>(v.size() / 2);
  const int32_t row = 0;
  le::tessera::LipContour lc(n, static_cast<float>(std::atof(argv[2])), v.data(), nv, &row, 1);
  const le::tessera::Box b = lc.box(v.data());
  lc.contourF32(v.data(), b);
  const std::vector<uint8_t>& fill = lc.fillScanline(v.data(), b);
  std::printf("%d %d %d %d\n", b.x0, b.y0, b.x1, b.y1);
  for (int y = 0; y < b.h(); ++y) {
    for (int x = 0; x < b.w(); ++x) std::putchar('0' + fill[static_cast<size_t>(y) * b.w() + x]);
    std::putchar('\n');
  }
  for (int y = 0; y < b.h(); ++y) {
    for (int x = 0; x < b.w(); ++x) std::printf("%.4f ", lc.distance()[static_cast<size_t>(y) * b.w() + x]);
    std::putchar('\n');
  }
  return 0;
}
