// Helpers for tests: temporary directories, files and IMX containers.
#pragma once

#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace le::test {

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// The file's bytes as floats.
std::vector<float> floatsOf(const std::string& path);
// Replaces the first `from` in the file by `to`; throws when the file lacks it.
void replaceInFile(const std::string& path, const std::string& from, const std::string& to);
// A copy of the fixture bundle `preset` inside `tmp`, for a test to damage.
std::string copyBundle(const TempDir& tmp, const std::string& preset);

struct ImxMember {
  std::string name;
  std::string payload;
};

// Builds a version-`version` IMX container with the payloads placed after the
// table in member order.
std::string buildImx(const std::vector<ImxMember>& members, uint16_t version = 2);

// Table-of-contents entry as raw fields, for hostile containers.
struct RawEntry {
  std::string name;
  uint64_t offset;
  uint64_t size;
};
std::string rawImx(const std::vector<RawEntry>& entries, uint16_t count, const std::string& tail = {});

// A copy of `bundle` at `dir` whose director `model` ("model_<key>.onnx") is
// replaced by a marker variant of the reference director and whose
// xs_target.bin marks `rows` (keypoint 0 with z > 1). The variant
// model_b1_failmarker.onnx fails on a marked row, model_b1_nanmarker.onnx
// renders it as NaN. Returns the copy's path.
std::string failingBundle(const std::string& bundle, const std::string& dir, const std::string& model,
                          const std::vector<int>& rows,
                          const std::string& variant = "model_b1_failmarker.onnx");


// Replaces `path` with a FIFO, runs `create` (which returns its failure text)
// and returns that text, prefixed "(hung on the FIFO) " when it did not
// return promptly.
std::string failureOverFifo(const std::string& path, const std::function<std::string()>& create);

// Voiced bursts at 16 kHz: in every `period` s, from `on` s for `width` s, a
// tone of `hz` (plus `octave` times its octave) under a half-sine envelope of
// height `amp`.
inline std::vector<float> bursts(double seconds, double period, double on, double width, double amp, double hz,
                                 double octave = 0) {
  std::vector<float> x(static_cast<size_t>(seconds * 16000), 0.0f);
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / 16000.0, b = std::fmod(t, period) - on;
    if (b > 0 && b < width)
      x[i] = static_cast<float>(amp * std::sin(M_PI * b / width) *
                                (std::sin(2 * M_PI * hz * t) + octave * std::sin(4 * M_PI * hz * t)));
  }
  return x;
}

// Runs a shell command: its standard output, and its exit status (-1 when it
// did not exit) in *status.
std::string runCommand(const std::string& cmd, int* status = nullptr);

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

// The text of the exception `f` throws, or "(no error)".
template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// A C call that returns `failed` and leaves `text` as its family's last error.
#define EXPECT_FAILS(call, failed, last_error, text) \
  do {                                               \
    EXPECT_EQ((call), (failed));                     \
    EXPECT_EQ(std::string(last_error()), (text));   \
  } while (0)

// Counts occurrences of `needle` in `hay`.
size_t countOf(const std::string& hay, const std::string& needle);

}  // namespace le::test
