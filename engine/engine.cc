#include "engine/engine.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "core/bundle.h"
#include "kernels/pool.h"
#include "kernels/simd.h"

namespace le {

Engine::Engine(const std::string& bundle, const std::string& modelKey, int threads, const std::string& ep,
               bool chosen)
    : manifest_(loadManifest(bundle)),
      identity_(manifest_),
      drive_(loadDrive(manifest_)),
      threads_(threads),
      ep_(ep),
      threadsChosen_(chosen),
      modelKey_(modelKey) {
  // The member keeps its name whatever the crop side is.
  const size_t maskBytes = static_cast<size_t>(manifest_.crop) * manifest_.crop;
  std::vector<uint8_t> mask(maskBytes);
  std::ifstream in(resolveMember(manifest_.dir, "mask_512.u8"), std::ios::binary);
  if (!in || !in.read(reinterpret_cast<char*>(mask.data()), static_cast<std::streamsize>(maskBytes)))
    throw std::runtime_error("mask read failed");
  paste_ = std::make_unique<Paste>(std::move(mask), manifest_.crop, manifest_.unsharp);
  cursor_ = DriverCursor::open(manifest_, 2, 11);
  frame_.assign(frameBytes(), 0);
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
  paste_->composite(crop, 255.0f, identity_.M(si), frame, manifest_.W, manifest_.H, pixelBytes);
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
