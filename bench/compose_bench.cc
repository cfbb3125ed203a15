// Compositor and whole-frame benchmarks at 1080p, crop 512.
//
//   paste_1080p: le::Paste::composite of a crop-512 face into a 1920x1080
//     frame through a rotated and scaled transform, against the same work in
//     OpenCV (GaussianBlur unsharp of the three planes, warpAffine with
//     INTER_LANCZOS4 of the crop and of the mask into the paste box, the same
//     alpha blend), both on the same threads, in the same run.
//   frame_1080p: the whole le_render_kp_rgba of the demo avatar, split into
//     Session::Run and everything else (staging, paste, RGBA expansion, the
//     driver frame).
//
// usage: compose_bench DEMO_BUNDLE [REPS] [paste_1080p] [frame_1080p]
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "compose/paste.h"
#include "engine/engine.h"
#include "kernels/pool.h"
#include "kernels/simd.h"
#include "le/le.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The same paste done with OpenCV: unsharp by GaussianBlur (reflect-101
// border, as ours), Lanczos-4 warps of the crop and the mask into the box,
// then frame (1 - a) + crop a.
struct CvPaste {
  int S, k;
  float amount, sigma;
  cv::Mat mask;  // CV_32F, 0..1

  void composite(const float* crop, const float* M, uint8_t* frame, int W, int H) {
    const int plane = S * S;
    std::vector<cv::Mat> ch(3);
    for (int c = 0; c < 3; ++c) {
      cv::Mat src(S, S, CV_32F, const_cast<float*>(crop + c * plane));
      cv::Mat p = src * 255.0f, blur;
      cv::GaussianBlur(p, blur, cv::Size(k, k), sigma, sigma, cv::BORDER_REFLECT_101);
      cv::addWeighted(p, 1.0 + amount, blur, -amount, 0.0, ch[c]);
      cv::min(cv::max(ch[c], 0.0f), 255.0f, ch[c]);
    }
    cv::Mat sharp;
    cv::merge(ch, sharp);
    // The paste box, as ours: the crop's corners with 4 pixels of support.
    float xs[4], ys[4];
    const float px[4] = {-4.0f, S + 3.0f, -4.0f, S + 3.0f}, py[4] = {-4.0f, -4.0f, S + 3.0f, S + 3.0f};
    for (int i = 0; i < 4; ++i) {
      xs[i] = M[0] * px[i] + M[1] * py[i] + M[2];
      ys[i] = M[3] * px[i] + M[4] * py[i] + M[5];
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(*std::min_element(xs, xs + 4))));
    const int x1 = std::min(W - 1, static_cast<int>(std::ceil(*std::max_element(xs, xs + 4))));
    const int y0 = std::max(0, static_cast<int>(std::floor(*std::min_element(ys, ys + 4))));
    const int y1 = std::min(H - 1, static_cast<int>(std::ceil(*std::max_element(ys, ys + 4))));
    const cv::Size box(x1 - x0 + 1, y1 - y0 + 1);
    const cv::Mat A = (cv::Mat_<double>(2, 3) << M[0], M[1], M[2] - x0, M[3], M[4], M[5] - y0);
    cv::Mat warped, alpha;
    cv::warpAffine(sharp, warped, A, box, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    cv::warpAffine(mask, alpha, A, box, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    cv::Mat roi(H, W, CV_8UC3, frame);
    cv::Mat dst = roi(cv::Rect(x0, y0, box.width, box.height)), f, a3;
    dst.convertTo(f, CV_32FC3);
    cv::merge(std::vector<cv::Mat>{alpha, alpha, alpha}, a3);
    cv::Mat out = f + (warped - f).mul(a3);
    out.convertTo(dst, CV_8UC3);
  }
};

void pasteBench(int reps) {
  const int S = 512, W = 1920, H = 1080;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(-0.03f, 0.03f);
  std::vector<float> crop(3 * S * S);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x)
        crop[(c * S + y) * S + x] =
            std::clamp(0.5f + 0.3f * std::sin(x * 0.05f + c) * std::cos(y * 0.04f) + noise(rng), 0.0f, 1.0f);
  std::vector<uint8_t> mask(S * S);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const double r = std::hypot((x - 255.5) / (0.44 * S), (y - 255.5) / (0.47 * S));
      mask[y * S + x] = static_cast<uint8_t>(std::clamp(std::rint((1.0 - r) / 0.2 * 255.0), 0.0, 255.0));
    }
  std::vector<uint8_t> base(static_cast<size_t>(W) * H * 3);
  for (auto& b : base) b = static_cast<uint8_t>(rng());
  // A face of about 640 pixels, turned 3 degrees.
  const float sc = 1.25f, th = 0.05f;
  const float M[6] = {sc * std::cos(th), -sc * std::sin(th), 640.0f, sc * std::sin(th), sc * std::cos(th), 120.0f};
  const le::Unsharp un{1.3f, 2.0f, 13};

  le::Paste ours(mask, S, un);
  CvPaste peer{S, un.ksize, un.amount, un.sigma, {}};
  cv::Mat(S, S, CV_8U, mask.data()).convertTo(peer.mask, CV_32F, 1.0 / 255.0);
  cv::setNumThreads(le::pool::threads());

  std::vector<uint8_t> a = base, b = base;
  std::vector<double> to, tp;
  for (int r = 0; r < reps + 2; ++r) {
    auto t0 = Clock::now();
    ours.composite(crop.data(), 255.0f, M, a.data(), W, H);
    auto t1 = Clock::now();
    peer.composite(crop.data(), M, b.data(), W, H);
    auto t2 = Clock::now();
    if (r >= 2) {
      to.push_back(ms(t0, t1));
      tp.push_back(ms(t1, t2));
    }
  }
  // Both did the same work: the frames agree closely.
  a = base;
  b = base;
  ours.composite(crop.data(), 255.0f, M, a.data(), W, H);
  peer.composite(crop.data(), M, b.data(), W, H);
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  const double psnr = 10 * std::log10(255.0 * 255.0 * a.size() / std::max(se, 1e-9));
  const double o = median(to), p = median(tp);
  std::printf("bench paste_1080p ours=%.3f peer=%.3f unit=ms ratio=%.2f (%d threads; OpenCV %s; frames agree to "
              "%.1f dB PSNR)\n",
              o, p, p / o, le::pool::threads(), CV_VERSION, psnr);
}

void frameBench(const char* bundle, int reps) {
  le_ctx* ctx = le_create(bundle, "b1", 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "frame_1080p: %s\n", le_last_error());
    std::exit(1);
  }
  le::Engine& engine = le::engineOf(ctx);
  const le::Drive& drive = engine.drive();
  const int W = le_width(ctx), H = le_height(ctx), nt = le_nt(ctx), rows = le_drive_frames(ctx);
  std::vector<uint8_t> rgba(static_cast<size_t>(W) * H * 4);
  auto frame = [&](int k) {
    const int i = k % rows;
    const size_t o = static_cast<size_t>(i) * 63;
    if (!le_render_kp_rgba(ctx, drive.si[i], &drive.xs[o], &drive.xd[o], rgba.data(), rgba.size())) {
      std::fprintf(stderr, "frame_1080p: %s\n", le_last_error());
      std::exit(1);
    }
  };
  // Warm up past the driver cursor's ring (look-ahead and history slots), so
  // that the timed frames see its pages already faulted in: steady state.
  const int warm = 24;
  for (int k = 0; k < warm; ++k) frame(k);
  const int n = std::max(10, reps * 5);
  std::vector<double> total, run;
  for (int k = 0; k < n; ++k) {
    const double r0 = engine.runMs();
    const auto t0 = Clock::now();
    frame(warm + k);
    total.push_back(ms(t0, Clock::now()));
    run.push_back(engine.runMs() - r0);
  }
  // Where the rest goes: the same frames as their parts.
  std::vector<double> stage, pull, paste, expand;
  for (int k = 0; k < n; ++k) {
    const int i = (warm + k) % rows, si = drive.si[i];
    const size_t o = static_cast<size_t>(i) * 63;
    // In the engine's order: the driver frame (a ring slot), the director,
    // the frame expanded into the caller's RGBA buffer, the crop pasted over it.
    const auto t0 = Clock::now();
    int idx = -1;
    const uint8_t* driver = engine.cursor().pullAt(si, &idx);
    const auto t1 = Clock::now();
    const double r0 = engine.runMs();
    le_render_kp_crop(ctx, si, &drive.xs[o], &drive.xd[o]);
    const auto t2 = Clock::now();
    const double run1 = engine.runMs() - r0;
    const size_t w = static_cast<size_t>(W);
    le::pool::parallelRange(static_cast<size_t>(H), 64, [&](size_t b, size_t e) {
      le::simd::rgb24ToRgba(driver + b * w * 3, &rgba[b * w * 4], (e - b) * w);
    });
    const auto t3 = Clock::now();
    engine.composite(engine.lastCrop(), si, rgba.data(), 4);
    const auto t4 = Clock::now();
    stage.push_back(ms(t1, t2) - run1);
    pull.push_back(ms(t0, t1));
    expand.push_back(ms(t2, t3));
    paste.push_back(ms(t3, t4));
  }
  std::vector<double> rest(n);
  for (int k = 0; k < n; ++k) rest[k] = total[k] - run[k];
  const double t = median(total), r = median(run), e = median(rest);
  std::printf("context: %dx%d crop %d, %d driver frames, pool %d threads, director intra-op %d\n", W, H, le_crop(ctx), nt,
              le::pool::threads(), std::min(le::pool::threads(), 2));
  std::printf("bench frame_1080p ours=%.2f peer=%.2f unit=ms ratio=%.2f (%.1f fps; peer: Session::Run alone, "
              "%.2f ms; everything else %.2f ms per frame)\n",
              t, r, r / t, 1000.0 / t, r, e);
  std::printf("context: everything else by part (medians): staging %.2f ms, driver frame %.2f ms, composite %.2f ms, "
              "RGBA %.2f ms\n",
              median(stage), median(pull), median(paste), median(expand));
  le_destroy(ctx);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: compose_bench DEMO_BUNDLE [REPS] [paste_1080p] [frame_1080p]\n");
    return 2;
  }
  const int reps = argc > 2 ? std::max(3, std::atoi(argv[2])) : 9;
  bool paste = argc <= 3, frame = argc <= 3;
  for (int i = 3; i < argc; ++i) {
    if (!std::strcmp(argv[i], "paste_1080p")) paste = true;
    else if (!std::strcmp(argv[i], "frame_1080p")) frame = true;
  }
  if (paste) pasteBench(reps);
  if (frame) frameBench(argv[1], reps);
  return 0;
}
