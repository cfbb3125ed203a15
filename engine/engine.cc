#include "engine/engine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/bundle.h"
#include "kernels/pool.h"
#include "kernels/simd.h"

namespace le {
namespace {

// The compositor's limits are checked before anything is sized by them.
Manifest checkedManifest(Manifest m) {
  Paste::checkSettings(m.crop, m.unsharp);
  return m;
}

}  // namespace

Engine::Engine(const std::string& bundle, const std::string& modelKey, int threads, const std::string& ep,
               bool chosen)
    : manifest_(checkedManifest(loadManifest(bundle))),
      identity_(manifest_),
      drive_(loadDrive(manifest_)),
      threads_(threads),
      ep_(ep),
      threadsChosen_(chosen),
      modelKey_(modelKey) {
  for (int i = 0; i < manifest_.nt; ++i) {
    const float* M = identity_.M(i);
    for (int k = 0; k < 6; ++k)
      if (!std::isfinite(M[k]))
        throw std::runtime_error("paste transform row " + std::to_string(i) + " holds a non-finite value");
    try {
      Paste::checkTransform(M, manifest_.crop, manifest_.W, manifest_.H);
    } catch (const std::exception& e) {
      throw std::runtime_error("paste transform row " + std::to_string(i) + ": " + e.what());
    }
  }
  paste_ = std::make_unique<Paste>(readMask(), manifest_.crop, manifest_.unsharp);
  cursor_ = DriverCursor::open(manifest_, 2, 11);
  frame_.assign(frameBytes(), 0);
}

// The paste mask: exactly crop x crop bytes (the member keeps its name
// whatever the crop side is).
std::vector<uint8_t> Engine::readMask() const {
  const std::string path = resolveMember(manifest_.dir, "mask_512.u8");
  const size_t want = static_cast<size_t>(manifest_.crop) * manifest_.crop;
  const int fd = openRegularFile(path);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < want) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("mask read failed");
  }
  if (static_cast<uint64_t>(st.st_size) != want) {
    ::close(fd);
    throw std::runtime_error("mask read failed: " + path + " holds " + std::to_string(st.st_size) +
                             " bytes; a crop of " + std::to_string(manifest_.crop) + " needs exactly " +
                             std::to_string(want));
  }
  std::vector<uint8_t> mask(want);
  size_t got = 0;
  while (got < want) {
    const ssize_t r = ::read(fd, mask.data() + got, want - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  if (got != want) throw std::runtime_error("mask read failed");
  return mask;
}

Engine::~Engine() {
  cursor_.reset();  // stops the reader thread first
  paste_.reset();
  renderer_.reset();
}

Renderer& Engine::renderer() {
  if (!renderer_) {
    int intra = threads_;
    if (!threadsChosen_ && ep_.empty()) {
      intra = std::min(threads_, 2);
      std::fprintf(stderr,
                   "[le] director intra-op %d of pool %d: the caller did not choose, the core sized it for the le_utt "
                   "pipeline\n",
                   intra, threads_);
    }
    renderer_ = std::make_unique<Renderer>(manifest_, identity_, modelKey_, intra, ep_);
  }
  return *renderer_;
}

const float* Engine::render(int si, const float* kpSource, const float* kpDriving) {
  const float* crop = renderer().render(&si, kpSource, kpDriving, 1);
  lastCrop_ = crop;
  return crop;
}

void Engine::composite(const float* crop, int si, uint8_t* frame, int pixelBytes) {
  const size_t bad = paste_->composite(crop, 255.0f, identity_.M(si), frame, manifest_.W, manifest_.H, pixelBytes);
  if (bad) throw NonFiniteCrop(bad);
}

void Engine::expandToRgba(const uint8_t* rgb, uint8_t* out) const {
  // One reference capture: the callback stays within the function object's
  // inline storage, so a frame allocates nothing.
  const struct {
    const uint8_t* rgb;
    uint8_t* out;
    size_t W;
  } job{rgb, out, static_cast<size_t>(manifest_.W)};
  pool::parallelRange(static_cast<size_t>(manifest_.H), 64, [&job](size_t b, size_t e) {
    simd::rgb24ToRgba(job.rgb + b * job.W * 3, job.out + b * job.W * 4, (e - b) * job.W);
  });
}

}  // namespace le
