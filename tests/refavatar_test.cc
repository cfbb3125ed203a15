// The reference avatar's bundles, checked with plain onnxruntime and ffprobe,
// independently of the engine: member sizes, videos, the director graphs'
// response to their inputs, and P(i) being driver frame i seen through M(i).
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/warp_reference.h"

#ifndef LE_FIXTURES
#error "LE_FIXTURES must name the generated fixture directory"
#endif

namespace {

const std::string kFix = LE_FIXTURES;
constexpr int kRows = 21;

std::vector<char> bytesOf(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

long long sizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

template <typename T>
std::vector<T> arrayOf(const std::string& path) {
  const auto b = bytesOf(path);
  std::vector<T> v(b.size() / sizeof(T));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

float halfToFloat(uint16_t h) {
  const int e = (h >> 10) & 31, m = h & 1023;
  const float s = (h & 0x8000) ? -1.0f : 1.0f;
  if (e == 0) return s * std::ldexp(static_cast<float>(m), -24);
  if (e == 31) return m ? NAN : s * INFINITY;
  return s * std::ldexp(1024.0f + m, e - 25);
}

std::vector<float> halfRow(const std::string& path, size_t row, size_t count) {
  const auto h = arrayOf<uint16_t>(path);
  std::vector<float> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = halfToFloat(h.at(row * count + i));
  return out;
}

std::string runBinary(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

std::string run(const std::string& cmd) {
  std::string out = runBinary(cmd);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// codec,width,height,pix_fmt,frames decoded
std::string probe(const std::string& path) {
  return run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
             "stream=codec_name,width,height,pix_fmt,nb_read_frames -of csv=p=0 '" + path + "'");
}

struct Manifest {
  int nt, W, H, crop, frames;
};

Manifest tinyManifest() { return {12, 96, 64, 32, 24}; }

TEST(RefAvatar, MemberSizesAndNames) {
  const Manifest m = tinyManifest();
  const std::string d = kFix + "/tiny";
  EXPECT_EQ(sizeOf(d + "/pooled64.f16"), m.nt * 131072LL);
  EXPECT_EQ(sizeOf(d + "/P.f16"), 1LL * m.nt * m.crop * m.crop * 6);
  EXPECT_EQ(sizeOf(d + "/M.f32"), m.nt * 24LL);
  EXPECT_EQ(sizeOf(d + "/mask_512.u8"), 1LL * m.crop * m.crop);
  EXPECT_EQ(sizeOf(d + "/drive/xs.f32"), m.frames * 252LL);
  EXPECT_EQ(sizeOf(d + "/drive/xd.f32"), m.frames * 252LL);
  EXPECT_EQ(sizeOf(d + "/drive/si.i32"), m.frames * 4LL);
  EXPECT_EQ(sizeOf(d + "/xs_target.bin"), m.nt * 252LL);
  for (int i = 0; i < m.nt; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", i);
    EXPECT_GT(sizeOf(d + name), 0) << name;
  }
  for (int si : arrayOf<int32_t>(d + "/drive/si.i32")) EXPECT_TRUE(si >= 0 && si < m.nt);

  const std::string c = kFix + "/tiny-current";
  for (const char* n : {"source_frames.f16", "pooled_features.f16", "paste_transform.f32", "paste_mask.u8",
                        "target_keypoints.bin", "idle_loop/source_keypoints.f32", "idle_loop/driven_keypoints.f32",
                        "idle_loop/source_index.i32", "render_model.batch1.onnx", "render_model.batch4.onnx"})
    EXPECT_GT(sizeOf(c + "/" + n), 0) << n;
  // M authored on a 192x128 canvas is the 96x64 frame's M scaled by two.
  const auto a = arrayOf<float>(d + "/M.f32"), b = arrayOf<float>(c + "/paste_transform.f32");
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(b[i] * 0.5f, a[i], 1e-4f * std::fabs(a[i]) + 1e-6f);
  const std::string manifest(bytesOf(c + "/manifest.json").data(), bytesOf(c + "/manifest.json").size());
  EXPECT_NE(manifest.find("\"paste_source_width\": 192"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("\"frame_count\": 12"), std::string::npos);

  EXPECT_EQ(sizeOf(kFix + "/tiny-fs/fs_red.f16"), 8 * 524288LL);
  EXPECT_EQ(sizeOf(kFix + "/tiny-fs/P.f16"), -1);
  EXPECT_EQ(sizeOf(kFix + "/tiny-prior/P.f16"), -1);
  EXPECT_GT(sizeOf(kFix + "/tiny.imx"), sizeOf(d + "/pooled64.f16"));
}

TEST(RefAvatar, VideosDecodeToTheirFrameCountAndLayout) {
  EXPECT_EQ(probe(kFix + "/tiny/target_frames.mp4"), "h264,96,64,yuv420p,12");
  EXPECT_EQ(probe(kFix + "/tiny-prior/target_frames.mp4"), "h264,128,96,yuv420p,8");
  EXPECT_EQ(probe(kFix + "/tiny-prior/P_hevc.mov"), "hevc,64,64,yuv444p,8");
}

// Bilinear sample of an RGB24 image at (x, y), edge-clamped, in [0, 1].
void sample(const std::vector<uint8_t>& img, int W, int H, double x, double y, float out[3]) {
  x = std::min(std::max(x, 0.0), W - 1.0);
  y = std::min(std::max(y, 0.0), H - 1.0);
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double fx = x - x0, fy = y - y0;
  for (int c = 0; c < 3; ++c) {
    auto at = [&](int xx, int yy) { return img[(static_cast<size_t>(yy) * W + xx) * 3 + c] / 255.0; };
    out[c] = static_cast<float>((at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                                (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy);
  }
}

TEST(RefAvatar, PriorIsTheDriverFrameThroughM) {
  const Manifest m = tinyManifest();
  const std::string d = kFix + "/tiny";
  const auto M = arrayOf<float>(d + "/M.f32");
  for (int i : {0, 5, 11}) {
    char jpg[64];
    std::snprintf(jpg, sizeof jpg, "/target_frames/frame_%06d.jpg", i);
    const std::string raw = runBinary("ffmpeg -loglevel error -i '" + d + jpg + "' -f rawvideo -pix_fmt rgb24 -");
    const std::vector<uint8_t> img(raw.begin(), raw.end());
    ASSERT_EQ(img.size(), static_cast<size_t>(m.W * m.H * 3));
    const auto P = halfRow(d + "/P.f16", i, 3 * m.crop * m.crop);
    const float* t = &M[i * 6];
    double err = 0;
    for (int y = 0; y < m.crop; ++y)
      for (int x = 0; x < m.crop; ++x) {
        float px[3];
        sample(img, m.W, m.H, t[0] * x + t[1] * y + t[2], t[3] * x + t[4] * y + t[5], px);
        for (int c = 0; c < 3; ++c) err += std::fabs(px[c] - P[(c * m.crop + y) * m.crop + x]);
      }
    EXPECT_LT(err / (3.0 * m.crop * m.crop), 0.03) << "frame " << i;  // JPEG and half rounding only
  }
}

class Director {
 public:
  explicit Director(const std::string& path) : session_(env(), path.c_str(), opts()) {}

  std::vector<int64_t> inputShape(const std::string& name) {
    for (size_t i = 0; i < session_.GetInputCount(); ++i)
      if (session_.GetInputNameAllocated(i, alloc_).get() == name)
        return session_.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    return {};
  }

  // Runs with the named float inputs; returns the output `outName` ("rgb").
  std::vector<float> run(const std::vector<std::pair<std::string, std::vector<float>>>& in,
                         std::vector<int64_t>* shape = nullptr, const char* outName = "rgb") {
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<Ort::Value> values;
    std::vector<const char*> names;
    std::vector<std::vector<int64_t>> shapes;
    for (auto& [name, data] : in) {
      shapes.push_back(inputShape(name));
      values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(data.data()), data.size(),
                                                       shapes.back().data(), shapes.back().size()));
      names.push_back(name.c_str());
    }
    auto out = session_.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &outName, 1);
    auto info = out[0].GetTensorTypeAndShapeInfo();
    if (shape) *shape = info.GetShape();
    const float* p = out[0].GetTensorData<float>();
    return std::vector<float>(p, p + info.GetElementCount());
  }

 private:
  static Ort::Env& env() {
    static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "le_refavatar_test");
    return e;
  }
  static Ort::SessionOptions opts() {
    Ort::SessionOptions o;
    o.SetIntraOpNumThreads(1);
    return o;
  }
  Ort::Session session_;
  Ort::AllocatorWithDefaultOptions alloc_;
};

struct Item {
  std::vector<float> pooled, P, kp;
};

Item itemOf(const std::string& d, int i, int crop) {
  Item it;
  it.pooled = halfRow(d + "/pooled64.f16", i, 65536);
  it.P = halfRow(d + "/P.f16", i, 3 * crop * crop);
  const auto xs = arrayOf<float>(d + "/xs_target.bin");
  it.kp.assign(xs.begin() + i * 63, xs.begin() + (i + 1) * 63);
  return it;
}

double meanAbs(const std::vector<float>& a, const std::vector<float>& b) {
  double s = 0;
  for (size_t i = 0; i < a.size(); ++i) s += std::fabs(a[i] - b[i]);
  return s / a.size();
}

TEST(RefAvatar, WarpPriorDirectorFollowsItsInputs) {
  const int crop = 32;
  const std::string d = kFix + "/tiny";
  Director dir(d + "/model_b1.onnx");
  EXPECT_EQ(dir.inputShape("P_rgb"), (std::vector<int64_t>{1, 3, crop, crop}));
  EXPECT_EQ(dir.inputShape("pooled64"), (std::vector<int64_t>{1, 64, 32, 32}));
  const Item it = itemOf(d, 3, crop);
  std::vector<int64_t> shape;
  const auto same = dir.run({{"pooled64", it.pooled}, {"P_rgb", it.P}, {"kp_driving", it.kp}, {"kp_source", it.kp}},
                            &shape);
  EXPECT_EQ(shape, (std::vector<int64_t>{1, 3, crop, crop}));

  // Driving = source: P comes back, exactly but for the faint tint inside the
  // face ellipse and a blurred rim outside it.
  double inner = 0;
  int innerN = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = 8; y < 24; ++y)
      for (int x = 8; x < 24; ++x, ++innerN) inner = std::max(inner, double(std::fabs(same[(c * crop + y) * crop + x] - it.P[(c * crop + y) * crop + x])));
  EXPECT_LT(inner, 0.01);
  EXPECT_LT(meanAbs(same, it.P), 0.02);

  // Lower lip down: pixels below the mouth change, the forehead does not.
  std::vector<float> open = it.kp;
  for (int r : {12, 20}) open[r * 3 + 1] += 0.12f;
  const auto moved = dir.run({{"pooled64", it.pooled}, {"P_rgb", it.P}, {"kp_driving", open}, {"kp_source", it.kp}});
  auto region = [&](float cx, float cy, float half) {
    double s = 0;
    int n = 0;
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < crop; ++y)
        for (int x = 0; x < crop; ++x) {
          const float u = (2 * x + 1.0f) / crop - 1, v = (2 * y + 1.0f) / crop - 1;
          if (std::fabs(u - cx) > half || std::fabs(v - cy) > half) continue;
          s = std::max(s, double(std::fabs(moved[(c * crop + y) * crop + x] - same[(c * crop + y) * crop + x])));
          ++n;
        }
    return n ? s : -1.0;
  };
  EXPECT_GT(region(-0.02f, 0.38f, 0.15f), 0.05) << "the lower lip did not move";
  EXPECT_LT(region(0.0f, -0.65f, 0.15f), 0.003) << "the forehead moved";

  // Other pooled features tint the face.
  const std::vector<float> ones(65536, 1.0f);
  const auto tinted = dir.run({{"pooled64", ones}, {"P_rgb", it.P}, {"kp_driving", it.kp}, {"kp_source", it.kp}});
  EXPECT_GT(meanAbs(tinted, same), 0.01);
}

TEST(RefAvatar, RecombinationIsTheCurvatureCorrectedWarp) {
  const int crop = 32;
  const std::string d = kFix + "/tiny";
  Director dir(d + "/model_b1_probe.onnx");
  const Item it = itemOf(d, 6, crop);
  std::vector<float> drv = it.kp;
  for (int r : {6, 12, 14, 17, 19, 20}) drv[r * 3 + 1] += 0.15f;  // a real displacement
  drv[16 * 3] -= 0.2f;
  const std::vector<std::pair<std::string, std::vector<float>>> in = {
      {"pooled64", it.pooled}, {"P_rgb", it.P}, {"kp_driving", drv}, {"kp_source", it.kp}};
  const auto grid = dir.run(in, nullptr, "grid");
  const auto warped = dir.run(in, nullptr, "warped");
  const auto want = le::test::referenceWarp(it.P, grid, crop, crop);
  double worst = 0;
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, double(std::fabs(warped[i] - want[i])));
  EXPECT_LT(worst, 1e-4);
  double moved = 0;
  for (size_t i = 0; i < want.size(); ++i) moved = std::max(moved, double(std::fabs(warped[i] - it.P[i])));
  EXPECT_GT(moved, 0.05) << "the keypoints did not move the warp";
}

TEST(RefAvatar, BatchFourMatchesBatchOne) {
  const int crop = 32;
  const std::string d = kFix + "/tiny";
  Director one(d + "/model_b1.onnx"), four(d + "/model_b4.onnx");
  std::vector<float> pooled, P, kp;
  std::vector<std::vector<float>> singles;
  for (int i : {0, 4, 7, 11}) {
    const Item it = itemOf(d, i, crop);
    pooled.insert(pooled.end(), it.pooled.begin(), it.pooled.end());
    P.insert(P.end(), it.P.begin(), it.P.end());
    kp.insert(kp.end(), it.kp.begin(), it.kp.end());
    singles.push_back(one.run({{"pooled64", it.pooled}, {"P_rgb", it.P}, {"kp_driving", it.kp}, {"kp_source", it.kp}}));
  }
  const auto all = four.run({{"pooled64", pooled}, {"P_rgb", P}, {"kp_driving", kp}, {"kp_source", kp}});
  ASSERT_EQ(all.size(), 4u * 3 * crop * crop);
  for (size_t k = 0; k < 4; ++k)
    for (size_t j = 0; j < singles[k].size(); ++j)
      ASSERT_NEAR(all[k * singles[k].size() + j], singles[k][j], 1e-5) << k;
}

TEST(RefAvatar, RefusalVariantsCarryTheirFault) {
  const std::string d = kFix + "/tiny";
  EXPECT_EQ(Director(d + "/model_b1_kp22.onnx").inputShape("kp_driving"), (std::vector<int64_t>{1, 22, 3}));
  EXPECT_EQ(Director(d + "/model_b1_dynamic.onnx").inputShape("pooled64")[0], -1);
  EXPECT_TRUE(Director(d + "/model_b1_nopooled.onnx").inputShape("pooled64").empty());
  const auto zeros = bytesOf(d + "/model_b1_zeros.onnx");
  EXPECT_NE(std::string(zeros.begin(), zeros.end()).find("zeros"), std::string::npos);
}

TEST(RefAvatar, FeatSynthDirectorRendersTheStoredFace) {
  const int crop = 32;
  const std::string d = kFix + "/tiny-fs";
  Director dir(d + "/model_b1.onnx");
  EXPECT_EQ(dir.inputShape("fs_red"), (std::vector<int64_t>{1, 64, 64, 64}));
  const auto fs = halfRow(d + "/fs_red.f16", 2, 262144);
  const auto xs = arrayOf<float>(d + "/xs_target.bin");
  const std::vector<float> kp(xs.begin() + 2 * 63, xs.begin() + 3 * 63);
  const auto pooled = halfRow(d + "/pooled64.f16", 2, 65536);
  std::vector<int64_t> shape;
  const auto out = dir.run({{"fs_red", fs}, {"pooled", pooled}, {"kd", kp}, {"ks", kp}}, &shape);
  EXPECT_EQ(shape, (std::vector<int64_t>{1, 3, crop, crop}));
  // The face stored at 64x64 comes back at the crop size: compare with a 2x2 mean of channel planes.
  double err = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < crop; ++y)
      for (int x = 0; x < crop; ++x) {
        const float* p = &fs[c * 4096];
        const float ref = 0.25f * (p[(2 * y) * 64 + 2 * x] + p[(2 * y) * 64 + 2 * x + 1] + p[(2 * y + 1) * 64 + 2 * x] +
                                   p[(2 * y + 1) * 64 + 2 * x + 1]);
        err += std::fabs(out[(c * crop + y) * crop + x] - ref);
      }
  EXPECT_LT(err / (3.0 * crop * crop), 0.02);
}

}  // namespace
