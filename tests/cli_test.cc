// The command-line tool end to end: bundle check and its refusals, the MP4
// render of the driving track (decoded back and compared with the engine's
// own frames), the keypoint-file render and the PNG frame.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/source.h"
#include "le/le.h"
#include "tests/support/testutil.h"

namespace {

namespace fs = std::filesystem;
using le::test::readFile;
using le::test::TempDir;
using le::test::writeFile;

const std::string kFixtures = LE_FIXTURES;

struct ToolRun {
  int status;
  std::string out;  // standard output and standard error
};

ToolRun tool(const std::string& args) {
  ToolRun r{-1, {}};
  r.out = le::test::runCommand(std::string("'") + LE_AVATAR_TOOL + "' " + args + " 2>&1", &r.status);
  return r;
}

bool has(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// A 16-bit PCM WAV of `channels` equal channels: a tone of `hz` at amplitude
// `amp`, on for the first `on` seconds of every `period`.
void writeToneWav(const std::string& path, int rate, int channels, double seconds, double hz, double amp, double period,
                  double on) {
  std::string data;
  for (int i = 0; i < static_cast<int>(rate * seconds + 0.5); ++i) {
    const double t = double(i) / rate;
    const int16_t v = static_cast<int16_t>(amp * std::sin(2 * M_PI * hz * t) * (std::fmod(t, period) < on));
    for (int c = 0; c < channels; ++c) data.append(reinterpret_cast<const char*>(&v), 2);
  }
  auto le32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto le16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t block = 2 * channels;
  writeFile(path, "RIFF" + le32(36 + static_cast<uint32_t>(data.size())) + "WAVEfmt " + le32(16) + le16(1) +
                      le16(channels) + le32(rate) + le32(rate * block) + le16(block) + le16(16) + "data" +
                      le32(static_cast<uint32_t>(data.size())) + data);
}

TEST(Cli, CheckSaysWhatTheBundleIsOrWhyItIsRefused) {
  ToolRun r = tool("check '" + kFixtures + "/tiny-current'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "frames     12 driver frames of 96x64, driving track of 24 rows")) << r.out;
  EXPECT_TRUE(has(r.out, "paste      M authored on 192x128 (rescaled to the frame canvas)")) << r.out;
  EXPECT_TRUE(has(r.out, "director   render_model.batch1.onnx: warp-prior family, batch 1, ep cpu")) << r.out;
  EXPECT_TRUE(has(r.out, "rewrites   GridSample->GridSampleFast x1")) << r.out;
  EXPECT_TRUE(has(r.out, "mask_512.u8            present as paste_mask.u8")) << r.out;

  r = tool("check '" + kFixtures + "/tiny-fs' --model b4");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "FeatSynth family, batch 4")) << r.out;

  r = tool("check '" + kFixtures + "/tiny' --model b1_kp22");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "REFUSED ")) << r.out;
  EXPECT_TRUE(has(r.out, "le_render_kp_crop: Renderer: HOST KEYPOINT CONTRACT MISMATCH")) << r.out;

  TempDir tmp;
  fs::copy(kFixtures + "/tiny", tmp / "b", fs::copy_options::recursive);
  fs::remove(tmp / "b/mask_512.u8");
  r = tool("check '" + tmp / "b" + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "  le_create: mask read failed")) << r.out;

  r = tool("check '" + tmp / "nothing" + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "REFUSED ")) << r.out;
  EXPECT_EQ(tool("render '" + kFixtures + "/tiny' --bogus").status, 1);
  EXPECT_EQ(tool("frobnicate").status, 2);
}

TEST(Cli, RenderWritesTheEnginesFramesAsH264) {
  TempDir tmp;
  const std::string mp4 = tmp / "out.mp4", png = tmp / "f.png";
  ToolRun r = tool("render '" + kFixtures + "/tiny' -o '" + mp4 + "' --frames 16 --png '" + png + "' --png-frame 5");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "rendered 16 frames of 96x64 to " + mp4)) << r.out;
  EXPECT_FALSE(has(r.out, "frames left")) << "no progress line when not on a terminal";

  le_ctx* ctx = le_create((kFixtures + "/tiny").c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  auto video = le::driver::openMp4(mp4, 16, 96, 64);
  std::vector<uint8_t> stored(video->storedBytes()), decoded(96 * 64 * 3), rgba(96 * 64 * 4), frame5;
  double worst = 1e9;
  for (int k = 0; k < 16; ++k) {
    ASSERT_TRUE(video->next(stored.data())) << "frame " << k;
    video->expand(stored.data(), decoded.data());
    ASSERT_EQ(le_render_drive_rgba(ctx, k, rgba.data(), rgba.size()), 1);
    if (k == 5) frame5 = rgba;
    double se = 0;
    for (size_t p = 0; p < 96 * 64; ++p)
      for (int c = 0; c < 3; ++c) {
        const double d = double(decoded[p * 3 + c]) - rgba[p * 4 + c];
        se += d * d;
      }
    worst = std::min(worst, 10 * std::log10(255.0 * 255.0 * 96 * 64 * 3 / std::max(se, 1e-9)));
  }
  le_destroy(ctx);
  std::printf("[ mp4 ] worst PSNR of the decoded MP4 against the engine's frames: %.2f dB\n", worst);
  EXPECT_GT(worst, 30.0);

  // The PNG is frame 5 itself, losslessly: check the header, then that the
  // encoded size is plausible for an RGB image of that size.
  const std::string p = readFile(png);
  ASSERT_GT(p.size(), 33u);
  EXPECT_EQ(p.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  auto be32 = [&](size_t at) {
    return uint32_t(uint8_t(p[at])) << 24 | uint32_t(uint8_t(p[at + 1])) << 16 | uint32_t(uint8_t(p[at + 2])) << 8 |
           uint8_t(p[at + 3]);
  };
  EXPECT_EQ(be32(16), 96u);
  EXPECT_EQ(be32(20), 64u);
  EXPECT_EQ(p[25], 2) << "colour type RGB";
  EXPECT_FALSE(frame5.empty());
}

TEST(Cli, RenderFromAKeypointFile) {
  TempDir tmp;
  const std::string xs = readFile(kFixtures + "/tiny/xs_target.bin");
  ASSERT_EQ(xs.size(), 12u * 63 * 4);
  std::string kp;
  for (int k = 0; k < 10; ++k) kp += xs.substr(k * 252, 252) + xs.substr(k * 252, 252);
  writeFile(tmp / "kp.f32", kp);
  ToolRun r = tool("render '" + kFixtures + "/tiny' -o '" + tmp / "kp.mp4" + "' --keypoints '" + tmp / "kp.f32" + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "rendered 10 frames")) << r.out;

  writeFile(tmp / "bad.f32", kp.substr(0, kp.size() - 4));
  r = tool("render '" + kFixtures + "/tiny' -o '" + tmp / "bad.mp4" + "' --keypoints '" + tmp / "bad.f32" + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "not a whole number of 126-float keypoint frames")) << r.out;
  r = tool("render '" + kFixtures + "/tiny' -o '" + tmp / "no/such/dir.mp4" + "'");
  EXPECT_EQ(r.status, 1) << r.out;
  r = tool("render '" + kFixtures + "/tiny' -o '" + tmp / "x.mp4" + "' --frames 4 --png '" + tmp / "x.png" +
           "' --png-frame 4");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "--png-frame 4 is past the last frame")) << r.out;
}

}  // namespace

// A 44.1 kHz stereo WAV through the offline runner: decoded, mixed down,
// resampled to 16 kHz, one frame per 40 ms; the frames are those of the
// runner itself.
TEST(Cli, StreamRendersSpeechOffline) {
  TempDir tmp;
  const std::string wav = tmp / "s.wav", mp4 = tmp / "s.mp4";
  writeToneWav(wav, 44100, 2, 2.3, 180, 8000, 1.0, 0.6);
  const std::string enc = kFixtures + "/w2v/fca_encoder.onnx";
  ToolRun r = tool("stream '" + kFixtures + "/tiny' --audio '" + wav + "' -o '" + mp4 + "' --encoder '" + enc + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "wrote " + mp4 + ": 58 frames of 96x64 (2.30 s of speech)")) << r.out;
  auto video = le::driver::openMp4(mp4, 58, 96, 64);
  std::vector<uint8_t> frame(96 * 64 * 3);
  for (int k = 0; k < 58; ++k) ASSERT_TRUE(video->next(frame.data())) << "frame " << k;

  r = tool("stream '" + kFixtures + "/tiny' -o '" + mp4 + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "stream needs --audio FILE")) << r.out;
  r = tool("stream '" + kFixtures + "/tiny' --audio '" + tmp.path() + "/none.wav' -o '" + mp4 + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "cannot open " + tmp.path() + "/none.wav")) << r.out;
}

extern "C" {
#include <libavformat/avformat.h>
}

// Speech through an utterance session: one speech frame per 40 ms of audio,
// and the MP4's audio and video tracks end within a frame of each other.
TEST(Cli, RenderSpeaksWithTheAudioInStep) {
  TempDir tmp;
  const std::string wav = tmp / "s.wav", mp4 = tmp / "s.mp4", strip = tmp / "strip.png";
  writeToneWav(wav, 22050, 1, 2.7, 160, 9000, 0.8, 0.5);  // 2.7 s: 68 frames
  le::test::ScopedEnv w2v("W2V_ONNX", (kFixtures + "/w2v/w2v_8s.onnx").c_str());
  const std::string cmd = "render '" + kFixtures + "/tiny' --audio '" + wav + "' -o '" + mp4 + "' --strip '" + strip + "'";
  ToolRun r = tool(cmd);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, ": 68 speech frames, 6 ramp")) << r.out;
  EXPECT_TRUE(has(r.out, "strip of 8 speech frames")) << r.out;
  AVFormatContext* fmt = nullptr;
  ASSERT_EQ(avformat_open_input(&fmt, mp4.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  double video = -1, audio = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* s = fmt->streams[i];
    const double d = s->duration * av_q2d(s->time_base);
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = d;
    if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) audio = d;
  }
  avformat_close_input(&fmt);
  std::printf("[ sync ] video %.3f s, audio %.3f s\n", video, audio);
  ASSERT_GT(video, 2.7);
  EXPECT_LT(std::abs(video - audio), 0.04);
}
