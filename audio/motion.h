// The three-network motion engine: log-mel windows through a student audio
// encoder into conditioning rows, a motion generator over chunks of 80 rows
// (cross-faded over 10), and per frame the pose of the driver frame, the
// generated lip expression and a stitching network.
//
// Frames are handed out once settled: before the audio is finished, a frame
// is settled when neither the next chunk's cross-fade nor the last smoothing
// pass can change it any more (it lies 12 or more frames before the end of
// the stored motion); its values are then those of the final sequence. With
// an eager value > 0 the engine also runs provisional windows over zero
// padding and a provisional chunk, so that frames whose audio has begun are
// available early; real audio withdraws them.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/traversal.h"
#include "core/framing.h"

struct le_motion;

namespace le::motion {

inline constexpr int kMel = 80, kStft = 21, kFft = 512, kBins = 257, kFeat = 1024, kCond = 1103;
inline constexpr int kMot = 265, kPose = 202, kInfo = 328;
inline constexpr int kKp = le::kKpValues;
inline constexpr int kChunk = 80, kChunkStep = 70, kFade = 10;

// The keys of meta.json, checked: nt and n_emo whole numbers from 1 to
// 100000, n_src equal to nt, s_bridge and delta_pitch finite numbers.
struct Meta {
  int nt = 0, nEmo = 0;
  float sBridge = 0, deltaPitch = 0;
};
Meta parseMeta(const std::string& text);

// 66 logits to degrees: softmax expectation E, 3 E - 97.5.
float bin66(const float* logits);
// Rotation matrix from pitch, yaw and roll in degrees (row-major 3 x 3).
void poseToR(float pitch, float yaw, float roll, float r[9]);

// One onnxruntime session with its input and output names.
struct Net {
  std::unique_ptr<Ort::Session> session;
  std::vector<std::string> inputs, outputs;
  static Net open(const std::string& path, int threads, const std::string& ep);
};

// What a motion directory loads to: the three networks and their tables;
// shared read-only by every stream of the same directory and settings.
struct Model {
  Net student, lmdm, stitch;
  std::vector<float> window, binmat, fmean, fstd, emo, chXs, chSc, eyeOpen, eyeBall, vmin, vmax;
  std::vector<float> srcXs, xsTarget;
  int nt = 0, nEmo = 0;
  float sBridge = 0, deltaPitch = 0, scaleRatio = 1;
  int binFrom[kBins] = {}, binTo[kBins] = {};  // non-zero mel weights of each bin
};

class Motion {
 public:
  // dumpDir: where the intermediate arrays are written ("" for nowhere).
  static std::unique_ptr<Motion> create(const std::string& dir, int threads, const std::string& ep,
                                        const std::string& dumpDir = {});
  ~Motion();

  void push(const float* samples, int n);
  void finish();
  int avail();
  int pull(int* idx, float* xs, float* out, int n);
  int total() const;
  int nt() const { return m_->nt; }
  const std::shared_ptr<const Model>& model() const { return model_; }
  void reset(int start, int dir, int loop);
  void setEager(int value) { eager_ = value; }

  double ortSeconds() const { return ortNs_ * 1e-9; }

 private:
  explicit Motion(std::shared_ptr<const Model> model);
  static std::shared_ptr<const Model> loadModel(const std::string& dir, int threads, const std::string& ep);

  int64_t samples() const { return audioBase_ + static_cast<int64_t>(audio_.size()); }
  int frames() const { return static_cast<int>((samples() + 639) / 640); }
  // Runs every window and chunk the audio allows; after finish, also over
  // zero padding until the chunks cover the clip, then builds the final
  // sequence.
  void advance();
  bool windowReady(int w) const;
  void runWindow(int w);
  void runChunk(int c);
  void smooth(int a, int b);
  void buildFinal();
  void withdraw();
  // Drops audio before the next window and conditioning rows before the
  // next chunk.
  void trim();
  void provisional();
  // The settled value of stored frame t (final smoothing and clamp).
  void finalRow(int t, float* out) const;
  int ready() const;
  void emit(int k, int* idx, float* xs, float* out);
  std::vector<Ort::Value> run(const Net& net, Ort::Value* in, size_t nIn);
  void dump(const char* name, const float* data, size_t n, bool append = false) const;

  std::shared_ptr<const Model> model_;
  const Model* m_;
  Ort::MemoryInfo mem_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  void* tx_ = nullptr;       // AVTXContext of the 512-point real FFT
  void* txFn_ = nullptr;     // its av_tx_fn
  std::string dumpDir_;

  // Stream.
  std::vector<float> audio_;
  int64_t audioBase_ = 0;          // samples dropped from the front of audio_
  int condBase_ = 0;               // rows dropped from the front of cond_
  bool finished_ = false, built_ = false;
  int pulled_ = 0;
  le::audio::Traversal walk_;
  int eager_ = 0;
  int winPos_ = 0;                 // next window position, in frames
  std::vector<float> cond_;        // conditioning rows, kCond each
  std::vector<float> motion_;      // stored motion frames, kMot each
  int chunks_ = 0;                 // chunks run
  std::vector<float> final_;       // the final sequence, once built
  bool haveRef_ = false;
  float gRef_[kKp] = {};
  // Provisional state of eager mode.
  bool prov_ = false;
  int savedWinPos_ = 0, savedChunks_ = 0;
  size_t savedRows_ = 0, savedFrames_ = 0;
  std::vector<float> savedTail_;
  bool dumped0_ = false;

  int64_t ortNs_ = 0;
  std::vector<float> mel_;
  std::vector<float> melCache_;                  // the last window's columns
  bool cacheValid_[kStft] = {};
  int cacheW_ = -1;
  std::vector<float> poses_;                     // per driver row: decoded flag, R_src, R_drv
};

// The engine behind a C handle; null for null.
Motion* implOf(le_motion* handle);

}  // namespace le::motion
