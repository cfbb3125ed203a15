// The sample paths of both streaming audio engines over float values of
// every class (NaN, infinities, huge, subnormal, any bit pattern, unscaled
// 16-bit and ordinary speech): whatever a host pushes, no call crashes and no
// keypoint that comes out is NaN or infinite.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"

namespace {

struct Engines {
  le_a2x* a2x;
  le_motion* motion;
};

// Loaded once: the reference avatar's streaming bundle and motion directory.
Engines& engines() {
  static Engines e = [] {
    const char* env = std::getenv("LE_FUZZ_FIXTURES");
    const std::string dir = env && *env ? env : LE_FUZZ_FIXTURES;
    ::setenv("W2V_ONNX", (dir + "/w2v/w2v_8s.onnx").c_str(), 0);
    Engines made{le_a2x_create((dir + "/tiny").c_str(), 1), le_motion_create((dir + "/motion").c_str(), 1, nullptr)};
    if (!made.a2x || !made.motion) {
      std::fprintf(stderr, "samples fuzz: the engines did not load from %s: %s %s\n", dir.c_str(),
                   le_a2x_last_error(), le_motion_last_error());
      std::abort();
    }
    return made;
  }();
  return e;
}

// Five bytes make a sample: a class, then four bytes of value.
float sample(const uint8_t* p) {
  uint32_t bits;
  std::memcpy(&bits, p + 1, 4);
  float raw;
  std::memcpy(&raw, &bits, 4);
  const float unit = static_cast<float>(static_cast<int32_t>(bits)) / 2147483648.0f;
  switch (p[0] % 8) {
    case 0: {
      const uint32_t nan = bits | 0x7f800001u;
      float v;
      std::memcpy(&v, &nan, 4);
      return v;
    }
    case 1: return bits & 1 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    case 2: return unit * std::numeric_limits<float>::max();
    case 3: {
      const uint32_t sub = bits & 0x807fffffu;
      float v;
      std::memcpy(&v, &sub, 4);
      return v;
    }
    case 4: return raw;
    case 5: return unit * 32768.0f;
    default: return unit;
  }
}

void requireFinite(const float* kp, int n, const char* engine) {
  for (int i = 0; i < n * 63; ++i)
    if (!std::isfinite(kp[i])) {
      std::fprintf(stderr, "samples fuzz: %s delivered a non-finite keypoint\n", engine);
      std::abort();
    }
}

// A chunk holding a sample no 16-bit source gives must be refused whole.
void requireRefusal(const float* x, int n, int pushed, const char* engine) {
  bool bad = false;
  for (int i = 0; i < n; ++i) bad |= !(std::fabs(x[i]) <= 32768.0f);
  if (bad && pushed != 0) {
    std::fprintf(stderr, "samples fuzz: %s took a sample beyond +-32768 or not finite\n", engine);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  Engines& e = engines();
  const int chunk = 1 + data[0] * 64;
  const bool motion = data[1] & 1, finish = data[1] & 2;
  std::vector<float> x;
  for (size_t i = 2; i + 5 <= size && x.size() < 4096; i += 5) x.push_back(sample(data + i));
  // At least half a second, at most one and a half: frames come out either way.
  const size_t n = x.size();
  while (x.size() < 8000) x.push_back(x[x.size() % n]);
  x.resize(std::min<size_t>(x.size(), 24000));

  float out[8 * 63];
  if (motion) {
    le_motion_reset(e.motion, 0, 1, 1);
    for (size_t at = 0; at < x.size(); at += static_cast<size_t>(chunk)) {
      const int m = static_cast<int>(std::min<size_t>(chunk, x.size() - at));
      requireRefusal(x.data() + at, m, le_motion_push(e.motion, x.data() + at, m), "le_motion");
    }
    if (finish) le_motion_finish(e.motion);
    for (int got; le_motion_avail(e.motion) > 0 && (got = le_motion_pull(e.motion, nullptr, nullptr, out, 8)) > 0;)
      requireFinite(out, got, "le_motion");
  } else {
    le_a2x_reset(e.a2x, 0, 1, 1);
    for (size_t at = 0; at < x.size(); at += static_cast<size_t>(chunk)) {
      const int m = static_cast<int>(std::min<size_t>(chunk, x.size() - at));
      requireRefusal(x.data() + at, m, le_a2x_push(e.a2x, x.data() + at, m), "le_a2x");
    }
    if (finish) le_a2x_finish(e.a2x);
    for (int got; le_a2x_avail(e.a2x) > 0 && (got = le_a2x_pull(e.a2x, nullptr, nullptr, out, 8)) > 0;)
      requireFinite(out, got, "le_a2x");
  }
  return 0;
}
