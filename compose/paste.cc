#include "compose/paste.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "core/settings.h"
#include "kernels/paste_sample.h"
#include "kernels/pool.h"
#include "kernels/simd.h"
#include "core/log.h"

namespace le {
namespace {

// Mirror index without repeating the edge, folded until it lands inside
// (a side smaller than the kernel's half needs more than one fold).
int mirror(int i, int n) {
  if (n == 1) return 0;
  for (;;) {
    if (i < 0) i = -i;
    if (i < n) return i;
    i = 2 * n - 2 - i;
  }
}

// Where the crop lands: the frame pixels within the filter's reach of the
// crop, clipped to the frame, and the fixed-point coordinate terms of the
// box's corner columns and rows. False when nothing lands on the frame.
struct Placement {
  int x0, x1, y0, y1;
  double det;
};

bool placeCrop(const float* M, int S, int W, int H, Placement& p) {
  const float a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  p.det = static_cast<double>(a) * e - static_cast<double>(b) * d;
  if (!(p.det != 0.0) || !std::isfinite(p.det) || W < 1 || H < 1) return false;
  const float px[4] = {-4.0f, S + 3.0f, -4.0f, S + 3.0f}, py[4] = {-4.0f, -4.0f, S + 3.0f, S + 3.0f};
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const float X = a * px[i] + b * py[i] + c, Y = d * px[i] + e * py[i] + f;
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  if (!(std::isfinite(minX) && std::isfinite(maxX) && std::isfinite(minY) && std::isfinite(maxY))) return false;
  // Off the frame altogether: decided in float, before any conversion.
  if (minX > static_cast<float>(W - 1) || minY > static_cast<float>(H - 1) || maxX < 0.0f || maxY < 0.0f)
    return false;
  p.x0 = static_cast<int>(std::max(std::floor(minX), 0.0f));
  p.x1 = static_cast<int>(std::min(static_cast<float>(W - 1), std::ceil(maxX)));
  p.y0 = static_cast<int>(std::max(std::floor(minY), 0.0f));
  p.y1 = static_cast<int>(std::min(static_cast<float>(H - 1), std::ceil(maxY)));
  return p.x1 >= p.x0 && p.y1 >= p.y0;
}

// The column and row terms of the fixed-point crop coordinates (10
// fractional bits), as the paste computes them.
double fixedColU(int X, const double* m, double det) { return X * m[4] / det * 1024; }
double fixedColV(int X, const double* m, double det) { return X * (-m[3]) / det * 1024; }
double fixedRowU(int Y, const double* m, double det) { return (Y * (-m[1]) / det + (m[1] * m[5] - m[2] * m[4]) / det) * 1024; }
double fixedRowV(int Y, const double* m, double det) { return (Y * m[0] / det + (m[2] * m[3] - m[0] * m[5]) / det) * 1024; }

// Each term within this bound keeps their sums inside 32 bits.
constexpr double kFixedMax = static_cast<double>((1 << 30) - 1024);

bool fixedPointFits(const float* M, const Placement& p) {
  const double m[6] = {M[0], M[1], M[2], M[3], M[4], M[5]};
  for (int X : {p.x0, p.x1})
    if (!(std::fabs(fixedColU(X, m, p.det)) <= kFixedMax && std::fabs(fixedColV(X, m, p.det)) <= kFixedMax)) return false;
  for (int Y : {p.y0, p.y1})
    if (!(std::fabs(fixedRowU(Y, m, p.det)) <= kFixedMax && std::fabs(fixedRowV(Y, m, p.det)) <= kFixedMax)) return false;
  return true;
}

[[noreturn]] void refuseTransform(const float* M) {
  char t[256];
  std::snprintf(t, sizeof t,
                "paste: transform (%g, %g, %g, %g, %g, %g) maps frame pixels too far into the crop for the "
                "compositor's fixed-point coordinates (a crop shrunk to a speck, or placed absurdly far away); refusing",
                M[0], M[1], M[2], M[3], M[4], M[5]);
  throw std::runtime_error(t);
}

}  // namespace

void Paste::checkSettings(int side, const Unsharp& u) {
  if (side > kMaxSide) throw std::runtime_error("paste: side > 1024");
  if (!(u.sigma > 0.0f) || !std::isfinite(u.sigma))
    throw std::runtime_error("paste: unsharp sigma " + std::to_string(u.sigma) +
                             " is not a positive finite number (the manifest's \"sigma\")");
  if (!(u.amount >= 0.0f && u.amount <= 10.0f))
    throw std::runtime_error("paste: unsharp amount " + std::to_string(u.amount) +
                             " is outside 0..10 (the manifest's \"amount\")");
  if (u.ksize % 2 == 0 || u.ksize < 1) throw std::runtime_error("paste: ksize must be odd");
  if (u.ksize > 2 * side + 1)
    throw std::runtime_error("paste: ksize " + std::to_string(u.ksize) + " is above 2 x crop + 1 (" +
                             std::to_string(2 * side + 1) + "); the blur would reach past the mirrored crop");
  // Each frame pays ksize taps per pixel twice: bounded so that no bundle
  // can make a frame cost seconds.
  if (u.ksize > kMaxKsize)
    throw std::runtime_error("paste: ksize " + std::to_string(u.ksize) + " is above " + std::to_string(kMaxKsize) +
                             ", the widest blur a frame may cost");
}

void Paste::checkTransform(const float* M, int S, int W, int H) {
  Placement p;
  if (placeCrop(M, S, W, H, p) && !fixedPointFits(M, p)) refuseTransform(M);
}

bool Paste::region(const float* M, int side, int W, int H, FrameWindow* out) {
  Placement p;
  if (!placeCrop(M, side, W, H, p)) return false;
  *out = FrameWindow{p.x0, p.y0, p.x1 - p.x0 + 1, p.y1 - p.y0 + 1};
  return true;
}

Paste::Paste(std::vector<uint8_t> m, int s, const Unsharp& u, const PasteSettings& settings)
    : side(s), ksize(u.ksize), amount(u.amount), mask(std::move(m)) {
  if (side < 1 || mask.size() != static_cast<size_t>(side) * side) throw std::runtime_error("paste: mask size");
  if (ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  // Checked here so that a bundle the compositor cannot serve is refused at
  // load rather than at its first frame.
  checkSettings(side, u);
  fast = settings.fast;
  if (fast > 2 || fast < 0) fast = 0;
  const int k = settings.ksize;
  if (k > 2 && k % 2 == 1 && k <= ksize) ksize = k;
  if (ksize < 1) throw std::runtime_error("paste: ksize must be odd");
  padded = side + ksize - 1;

  std::vector<double> g(ksize);
  double sum = 0;
  for (int i = 0; i < ksize; ++i) {
    const double x = i - (ksize - 1) / 2.0;
    g[i] = std::exp(-x * x / (2.0 * static_cast<double>(u.sigma) * u.sigma));
    sum += g[i];
  }
  for (double v : g) gauss.push_back(static_cast<float>(v / sum));

  linearTab.resize(64);
  lanczosTab.resize(32 * 8);
  cubicTab.resize(32 * 4);
  const double pi = 3.14159265358979323846;
  for (int p = 0; p < 32; ++p) {
    const double t = p / 32.0;
    linearTab[p * 2] = static_cast<float>(1 - t);
    linearTab[p * 2 + 1] = static_cast<float>(t);
    if (t < 1e-7) {
      for (int j = 0; j < 8; ++j) lanczosTab[p * 8 + j] = j == 3 ? 1.0f : 0.0f;
    } else {
      double taps[8], s8 = 0;
      for (int j = 0; j < 8; ++j) {
        const double x = t + 3 - j;
        taps[j] = std::sin(pi * x) * std::sin(pi * x / 4) / (pi * x * pi * x / 4);
        s8 += taps[j];
      }
      for (int j = 0; j < 8; ++j) lanczosTab[p * 8 + j] = static_cast<float>(taps[j] / s8);
    }
    const double a = -0.75;
    const float w0 = static_cast<float>(((a * (t + 1) - 5 * a) * (t + 1) + 8 * a) * (t + 1) - 4 * a);
    const float w1 = static_cast<float>(((a + 2) * t - (a + 3)) * t * t + 1);
    const float w2 = static_cast<float>(((a + 2) * (1 - t) - (a + 3)) * (1 - t) * (1 - t) + 1);
    cubicTab[p * 4] = w0;
    cubicTab[p * 4 + 1] = w1;
    cubicTab[p * 4 + 2] = w2;
    cubicTab[p * 4 + 3] = 1.0f - w0 - w1 - w2;
  }
}

void Paste::fit(PasteScratch& s) const {
  const size_t plane = static_cast<size_t>(side) * side, pad = static_cast<size_t>(padded) * padded;
  auto grow = [](PageBuffer<float>& b, size_t n) {
    if (b.size() < n) b.assign(n);
  };
  for (auto& pl : s.planes) grow(pl, plane);
  grow(s.packed, plane * 4);
  grow(s.padBuf, pad);
  grow(s.blurBuf, pad);
}

// Splits [0, n) over the calling thread's pool into the parts
// pool::parallelRange would make, but every part takes chunks of a quarter
// grain from a shared counter until none are left: a worker that starts late
// (its core busy with the driver's decoder) leaves its share to the others
// instead of holding up the frame. Every element is computed as before, so
// the results do not depend on who ran what. The pool's callback captures one
// reference, which fits the function object's inline storage: a frame
// allocates nothing.
template <typename F>
void sharedRange(size_t n, size_t grain, const F& fn) {
  const int parts = pool::parts(n, grain);
  if (parts < 2) {
    fn(0, n);
    return;
  }
  struct Job {
    std::atomic<size_t> next{0};
    size_t n, chunk;
    const F* fn;
  } job;
  job.n = n;
  job.chunk = std::max<size_t>(grain / 4, 1);
  job.fn = &fn;
  pool::parallelRange(static_cast<size_t>(parts), 1, [&job](size_t, size_t) {
    for (;;) {
      const size_t b = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
      if (b >= job.n) return;
      (*job.fn)(b, std::min(job.n, b + job.chunk));
    }
  });
}

size_t Paste::unsharpPlane(int ch, const float* crop, float scale, PasteScratch& s) const {
  // The plane is scale * crop, read where it is needed rather than stored
  // first: the same products.
  struct Plane {
    const float* src;
    float scale;
    int ch;
  } const pl{crop + static_cast<size_t>(ch) * side * side, scale, ch};
  const size_t rowsPadded = static_cast<size_t>(padded);
  // Non-finite values are counted where each crop row is read as an
  // interior row, once per value.
  std::atomic<size_t> nonFinite{0};
  float* padBuf = s.padBuf.data();
  float* blurBuf = s.blurBuf.data();
  sharedRange(rowsPadded, 64, [this, &pl, &nonFinite, padBuf](size_t b, size_t e) {
    const int S = side, half = ksize / 2, P = padded;
    size_t bad = 0;
    for (size_t r = b; r < e; ++r) {
      const int sr = mirror(static_cast<int>(r) - half, S);
      float* dst = &padBuf[r * P];
      const float* src = pl.src + static_cast<size_t>(sr) * S;
      for (int c = 0; c < half; ++c) dst[c] = pl.scale * src[mirror(c - half, S)];
      const bool interior = static_cast<int>(r) - half == sr;
      for (int c = half; c < half + S; ++c) {
        const float v = pl.scale * src[c - half];
        dst[c] = v;
        bad += interior && !std::isfinite(v);
      }
      for (int c = half + S; c < P; ++c) dst[c] = pl.scale * src[mirror(c - half, S)];
    }
    if (bad) nonFinite.fetch_add(bad, std::memory_order_relaxed);
  });
  const size_t flat = rowsPadded * rowsPadded - static_cast<size_t>(ksize - 1);
  sharedRange(flat, 64 * rowsPadded, [this, padBuf, blurBuf](size_t b, size_t e) {
    simd::blurTaps(&padBuf[b], &blurBuf[b], e - b, gauss.data(), ksize);
  });
  // The last plane's rows also interleave the three planes for the Lanczos
  // mode while they are warm.
  sharedRange(static_cast<size_t>(side), 64, [this, &pl, &s, blurBuf](size_t b, size_t e) {
    const size_t P = static_cast<size_t>(padded), S = static_cast<size_t>(side);
    for (size_t y = b; y < e; ++y) {
      float* out = &s.planes[pl.ch][y * S];
      simd::unsharpRow(&blurBuf[y * P], P, gauss.data(), ksize, amount, pl.src + y * S, pl.scale, out, side);
      if (pl.ch == 2 && fast == 0) {
        const float* r = &s.planes[0][y * S];
        const float* g = &s.planes[1][y * S];
        float* dst = &s.packed[y * S * 4];
        for (size_t x = 0; x < S; ++x) {
          dst[x * 4] = r[x];
          dst[x * 4 + 1] = g[x];
          dst[x * 4 + 2] = out[x];
          dst[x * 4 + 3] = 0.0f;
        }
      }
    }
  });
  return nonFinite.load();
}

void Paste::pasteRow(int Y, int x0, int x1, int32_t rowU, int32_t rowV, uint8_t* frame, int W, int pixelBytes,
                     const PasteScratch& s) const {
  uint8_t* frameRow = frame + static_cast<size_t>(Y) * W * pixelBytes;
  const std::vector<int32_t>& colU = s.colU;
  const std::vector<int32_t>& colV = s.colV;
  if (fast == 0) {
    const float* planes[3] = {s.planes[0].data(), s.planes[1].data(), s.planes[2].data()};
    simd::pasteLanczos8Row(s.packed.data(), side, mask.data(), lanczosTab.data(), linearTab.data(), colU.data(),
                           colV.data(), rowU, rowV, x0, x1, frameRow, pixelBytes, planes);
    return;
  }
  const int S = side;
  const int n = fast == 1 ? 4 : 2, off = fast == 1 ? 1 : 0;
  const float* tab = fast == 1 ? cubicTab.data() : linearTab.data();
  for (int X = x0; X <= x1; ++X) {
    PasteSample at;
    if (!pasteSample(colU[X - x0] + rowU, colV[X - x0] + rowV, S, mask.data(), linearTab.data(), at)) continue;
    const int iu = at.iu, iv = at.iv, pu = at.pu, pv = at.pv;
    const float alpha = at.alpha;
    const float* wu = tab + pu * n;
    const float* wv = tab + pv * n;
    uint8_t* px = frameRow + static_cast<size_t>(X) * pixelBytes;
    for (int ch = 0; ch < 3; ++ch) {
      const float* pl = s.planes[ch].data();
      float acc = 0.0f;
      for (int j = 0; j < n; ++j) {
        const int r = iv - off + j;
        if (r < 0 || r >= S) continue;
        float sum = 0.0f;
        for (int i = 0; i < n; ++i) {
          const int c = iu - off + i;
          if (c < 0 || c >= S) continue;
          sum += wu[i] * pl[static_cast<size_t>(r) * S + c];
        }
        acc += wv[j] * sum;
      }
      float v = static_cast<float>(px[ch]) * (1.0f - alpha) + acc * alpha;
      v = v >= 0.0f ? (v > 255.0f ? 255.0f : v) : 0.0f;  // NaN too becomes 0
      px[ch] = static_cast<uint8_t>(v);
    }
  }
}

size_t Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H, int pixelBytes,
                        const FrameWindow* win) {
  if (!own_) own_ = std::make_unique<PasteScratch>();
  return composite(crop, scale, M, frame, W, H, pixelBytes, win, *own_);
}

size_t Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H, int pixelBytes,
                        const FrameWindow* win, PasteScratch& s) {
  const int S = side;
  Placement p;
  if (!placeCrop(M, S, W, H, p)) return 0;
  if (!fixedPointFits(M, p)) refuseTransform(M);
  // Rows and columns are computed in frame coordinates whatever is written,
  // so that a window gets the bytes of the whole frame.
  const int wx = win ? win->x : 0, wy = win ? win->y : 0, stride = win ? win->w : W;
  if (win) {
    p.x0 = std::max(p.x0, win->x);
    p.x1 = std::min(p.x1, win->x + win->w - 1);
    p.y0 = std::max(p.y0, win->y);
    p.y1 = std::min(p.y1, win->y + win->h - 1);
    if (p.x1 < p.x0 || p.y1 < p.y0) return 0;
  }
  const int x0 = p.x0, x1 = p.x1, y0 = p.y0, y1 = p.y1;
  const double det = p.det;
  const double ad = M[0], bd = M[1], cd = M[2], dd = M[3], ed = M[4], fd = M[5];

  fit(s);
  const size_t cols = static_cast<size_t>(x1 - x0 + 1);
  if (s.colU.size() < cols) {
    s.colU.resize(cols);
    s.colV.resize(cols);
  }
  for (int X = x0; X <= x1; ++X) {
    s.colU[X - x0] = static_cast<int32_t>(std::rint(X * ed / det * 1024));
    s.colV[X - x0] = static_cast<int32_t>(std::rint(X * (-dd) / det * 1024));
  }

  static std::once_flag logged;
  std::call_once(logged, [&] {
    log::printf(log::kInfo, "[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p frame\n", "cpu", S,
                ksize, pool::threads());
  });

  size_t nonFinite = 0;
  for (int ch = 0; ch < 3; ++ch) nonFinite += unsharpPlane(ch, crop, scale, s);
  struct Rows {
    int x0, x1, y0, wx, wy, stride, pixelBytes;
    double ad, bd, cd, dd, ed, fd, det;
    uint8_t* frame;
  } const rows{x0, x1, y0, wx, wy, stride, pixelBytes == 4 ? 4 : 3, ad, bd, cd, dd, ed, fd, det, frame};
  sharedRange(static_cast<size_t>(y1 - y0 + 1), 64, [this, &rows, &s](size_t b0, size_t e0) {
    const Rows& r = rows;
    for (size_t k = b0; k < e0; ++k) {
      const int Y = r.y0 + static_cast<int>(k);
      const int32_t rowU =
          static_cast<int32_t>(std::rint((Y * (-r.bd) / r.det + (r.bd * r.fd - r.cd * r.ed) / r.det) * 1024)) + 16;
      const int32_t rowV =
          static_cast<int32_t>(std::rint((Y * r.ad / r.det + (r.cd * r.dd - r.ad * r.fd) / r.det) * 1024)) + 16;
      pasteRow(Y - r.wy, r.x0 - r.wx, r.x1 - r.wx, rowU, rowV, r.frame, r.stride, r.pixelBytes, s);
    }
  });
  return nonFinite;
}

}  // namespace le
