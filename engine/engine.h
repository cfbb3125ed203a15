// The engine behind an le_ctx: a stream over a loaded avatar (shared with
// every other context on the same bundle) with what is its own: the driver
// video's cursor, the compositor's buffers, the director's bindings (made on
// first render), the last crop and the frame buffer. The context serialises
// the calls; pipelines that borrow an engine (sessions, the command-line tool,
// benchmarks) use these accessors and never its fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compose/paste.h"
#include "engine/avatar.h"
#include "core/manifest.h"
#include "core/page_buffer.h"
#include "driver/cursor.h"
#include "identity/identity.h"
#include "le/le.h"
#include "render/renderer.h"

namespace le {

class Engine {
 public:
  // A stream over a loaded avatar (see Avatar::load): its own compositor,
  // sampling as `paste` says, and driver video, decoded as `driver` says.
  explicit Engine(std::shared_ptr<const Avatar> avatar, const DriverSettings& driver = {},
                  const PasteSettings& paste = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Sizes and members.
  const Manifest& manifest() const { return avatar_->manifest(); }
  int nt() const { return manifest().nt; }
  int width() const { return manifest().W; }
  int height() const { return manifest().H; }
  int crop() const { return manifest().crop; }
  size_t frameBytes() const { return static_cast<size_t>(width()) * height() * 3; }
  const Drive& drive() const { return avatar_->drive(); }
  const Identity& identity() const { return avatar_->identity(); }
  const std::shared_ptr<const Avatar>& avatar() const { return avatar_; }

  // The director, created on first use; what it reports (neutral values
  // before the first render).
  Renderer& renderer();
  const char* family() const { return renderer_ ? renderer_->family() : ""; }
  int batch() const { return renderer_ ? renderer_->batch() : 0; }
  const char* ep() const { return renderer_ ? renderer_->ep() : ""; }
  const char* rewrites() const { return renderer_ ? renderer_->rewrites() : ""; }
  double runMs() const { return renderer_ ? renderer_->runMs() : 0.0; }
  int64_t runs() const { return renderer_ ? renderer_->runs() : 0; }

  // Renders the face of driver frame si; the crop stays valid until the next
  // render and is remembered as the last crop.
  const float* render(int si, const float* kpSource, const float* kpDriving);
  const float* lastCrop() const { return lastCrop_; }

  DriverCursor& cursor() { return *cursor_; }
  // Pastes `crop` through M(si) into a frame of pixelBytes 3 (RGB24) or 4
  // (RGBA, alpha left alone) that already holds driver frame si. Throws
  // NonFiniteCrop after the paste when the crop held NaN or infinite values.
  // With a window, `frame` is that part of the frame only (Paste::composite).
  // With `scratch` (a lease of avatar().pasteScratch() the caller holds),
  // no other is taken.
  void composite(const float* crop, int si, uint8_t* frame, int pixelBytes = 3, const FrameWindow* win = nullptr,
                 PasteScratch* scratch = nullptr);
  // The part of the frame a composite for driver frame si may write; false
  // when its face lies off the frame.
  bool pasteRegion(int si, FrameWindow* out) const {
    return Paste::region(identity().M(si), crop(), width(), height(), out);
  }
  // The engine's own frame buffer (le_paste_last's result).
  uint8_t* frame() { return frame_.data(); }

 private:
  std::shared_ptr<const Avatar> avatar_;
  std::unique_ptr<Paste> paste_;
  std::unique_ptr<DriverCursor> cursor_;
  std::unique_ptr<Renderer> renderer_;
  PageBuffer<uint8_t> frame_;
  const float* lastCrop_ = nullptr;
};

// The engine of a context, for pipelines that borrow it and for tools and
// benchmarks that hold the context on one thread; neither may race the
// context's own calls.
Engine& engineOf(le_ctx* ctx);
const Engine& engineOf(const le_ctx* ctx);
// A session takes the engine for its lifetime: the context's render and
// paste calls are refused until it gives it back. One session at a time:
// borrowEngine throws while another holds the engine.
void borrowEngine(le_ctx* ctx);
void returnEngine(le_ctx* ctx);

// Holds a context's engine for its own lifetime.
class EngineLoan {
 public:
  explicit EngineLoan(le_ctx* ctx) : ctx_(ctx) { borrowEngine(ctx); }
  ~EngineLoan() { returnEngine(ctx_); }
  EngineLoan(const EngineLoan&) = delete;
  EngineLoan& operator=(const EngineLoan&) = delete;

 private:
  le_ctx* ctx_;
};

}  // namespace le
