// JPEG frame directories, one file per frame.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO_WRITE
#include <stb/stb_image.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/bundle.h"
#include "driver/source.h"

namespace le::driver {
namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), nt_(nt), w_(w), h_(h) {}

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  std::string name() const override { return "jpg/stb"; }
  size_t residentBytes() const override { return 0; }

  bool next(uint8_t* out) override {
    if (next_ >= nt_) return false;
    const std::string path = framePath(next_);
    int w = 0, h = 0, comp = 0;
    checkHeader(path);
    stbi_uc* px = stbi_load(path.c_str(), &w, &h, &comp, 3);
    if (!px) throw std::runtime_error("decode failed: " + path);
    if (w != w_ || h != h_) {
      stbi_image_free(px);
      sizeMismatch(path, w, h);
    }
    std::memcpy(out, px, static_cast<size_t>(w_) * h_ * 3);
    stbi_image_free(px);
    ++next_;
    return true;
  }

  // Built as a string so that a long bundle path still names its frames.
  std::string framePath(int i) const {
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "/frame_%06d.jpg", i);
    return dir_ + leaf;
  }

  // The header is checked first, so a hostile size never reaches the
  // allocator; only regular files are read (a FIFO would block the reader).
  void checkHeader(const std::string& path) const {
    int w = 0, h = 0, comp = 0;
    if (!isRegularFile(path)) throw std::runtime_error("le_driver: " + path + " is not a regular file");
    if (stbi_info(path.c_str(), &w, &h, &comp) && (w != w_ || h != h_)) sizeMismatch(path, w, h);
  }

  [[noreturn]] void sizeMismatch(const std::string& path, int w, int h) const {
    throw std::runtime_error("le_driver: " + path + " is " + std::to_string(w) + "x" + std::to_string(h) +
                               ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) +
                               " \xE2\x80\x94 refusing");
  }

  void rewind() override { next_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= nt_) throw std::runtime_error("le_driver: seek outside the member");
    next_ = i;
  }

 private:
  std::string dir_;
  int nt_, w_, h_;
  int next_ = 0;
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int nt, int w, int h) {
  auto src = std::make_unique<JpgDirSource>(dir, nt, w, h);
  // Frame 0's header now, so that a directory of another size is refused
  // when the cursor opens rather than at the first pull.
  src->checkHeader(src->framePath(0));
  return src;
}

}  // namespace le::driver
