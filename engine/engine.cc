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

Engine::Engine(std::shared_ptr<const Avatar> avatar, const DriverSettings& driver, const PasteSettings& paste)
    : avatar_(std::move(avatar)) {
  const Manifest& m = avatar_->manifest();
  paste_ = std::make_unique<Paste>(avatar_->mask(), m.crop, m.unsharp, paste);
  // History: a session's paste takes a driver frame only when its ring (4
  // frames) has room, so the frames taken after the ring's oldest are at
  // most its other three and the one in hand. An interrupt makes the ring's
  // frames again from its oldest, and an I420 ring makes each frame's
  // pixels from its driver frame as it is pulled: 5 frames of history.
  // Look-ahead: one frame, decoded while the paste works on the one before
  // (a 1080p frame decodes in a few milliseconds; the paste takes one every
  // 40).
  cursor_ = DriverCursor::open(m, 1, 5, driver);
  frame_.assign(frameBytes());
}

Engine::~Engine() {
  cursor_.reset();  // stops the reader thread first
  paste_.reset();
  renderer_.reset();
}

Renderer& Engine::renderer() {
  if (!renderer_) renderer_ = std::make_unique<Renderer>(avatar_->director(), avatar_->identity());
  return *renderer_;
}

const float* Engine::render(int si, const float* kpSource, const float* kpDriving) {
  const float* crop = renderer().render(&si, kpSource, kpDriving, 1);
  lastCrop_ = crop;
  return crop;
}

void Engine::composite(const float* crop, int si, uint8_t* frame, int pixelBytes, const FrameWindow* win,
                       PasteScratch* scratch) {
  size_t bad;
  if (scratch) {
    bad = paste_->composite(crop, 255.0f, identity().M(si), frame, width(), height(), pixelBytes, win, *scratch);
  } else {
    auto lease = avatar_->pasteScratch().take();
    bad = paste_->composite(crop, 255.0f, identity().M(si), frame, width(), height(), pixelBytes, win, *lease);
  }
  if (bad) throw NonFiniteCrop(bad);
}

}  // namespace le
