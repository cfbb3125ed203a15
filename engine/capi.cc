// The engine context: le_create and the core family of the C API.
#include "engine/engine.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>

#include "kernels/pool.h"
#include "kernels/simd.h"
#include "core/api.h"
#include "core/bundle.h"

le_ctx::le_ctx(const char* bundle, const char* key, int t, const char* e, bool chosen)
    : manifest(le::loadManifest(bundle)),
      identity(manifest),
      drive(le::loadDrive(manifest)),
      threads(t),
      ep(e),
      threadsChosen(chosen),
      modelKey(key) {
  // The member keeps its name whatever the crop side is.
  const size_t maskBytes = static_cast<size_t>(manifest.crop) * manifest.crop;
  std::vector<uint8_t> mask(maskBytes);
  std::ifstream in(le::resolveMember(manifest.dir, "mask_512.u8"), std::ios::binary);
  if (!in || !in.read(reinterpret_cast<char*>(mask.data()), static_cast<std::streamsize>(maskBytes)))
    throw std::runtime_error("mask read failed");
  paste = std::make_unique<le::Paste>(std::move(mask), manifest.crop, manifest.unsharp);
  cursor = le::DriverCursor::open(manifest, 2, 11);
  frame.assign(frameBytes(), 0);
}

le_ctx::~le_ctx() {
  frame = {};
  cursor.reset();  // stops the reader thread
  modelKey.clear();
  ep.clear();
  paste.reset();
  renderer.reset();
}

le::Renderer& le_ctx::render() {
  if (!renderer) {
    int intra = threads;
    if (!threadsChosen && ep.empty()) {
      intra = std::min(threads, 2);
      std::fprintf(stderr,
                   "[le] director intra-op %d of pool %d: the caller did not choose, the core sized it for the le_utt "
                   "pipeline\n",
                   intra, threads);
    }
    renderer = std::make_unique<le::Renderer>(manifest, identity, modelKey, intra, ep);
  }
  return *renderer;
}

using le::api::Family;
using le::api::RawFailure;

namespace {

int pasteToRgba(le_ctx* ctx, int si, uint8_t* out, size_t outBytes, const char* fn) noexcept;
int expandToRgba(le_ctx* ctx, const uint8_t* rgb, uint8_t* out, const char* fn) noexcept;
void expandRows(le_ctx* ctx, const uint8_t* rgb, uint8_t* out);

// The RGBA renders pull their driver frame before the director runs, so that
// the cursor's reader decodes ahead while the director runs rather than while
// the compositor does (on two cores, frames about 8 % faster), and paste
// straight into the caller's RGBA buffer: the driver frame is expanded from
// the cursor's ring (its slot stays valid: nothing else is delivered in
// between) and the crop composited over it, one pass over the frame instead
// of a copy, a paste and an expansion. What the caller sees is unchanged: the
// same bytes, the render runs (and updates the last crop) before any paste
// failure is reported, with le_paste_last's texts. With an output buffer
// that is too small nothing is pulled early.
class EarlyPull {
 public:
  EarlyPull(le_ctx* ctx, int si, const uint8_t* out, size_t outBytes) noexcept {
    if (!ctx || !out || outBytes < ctx->frameBytes() / 3 * 4) return;
    active_ = true;
    try {
      int idx = -1;
      src_ = ctx->cursor->pullAt(si, &idx);
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  // After a successful render: the driver frame into `out` as RGBA, then the
  // last crop composited over it.
  int finish(le_ctx* ctx, int si, uint8_t* out, size_t outBytes, const char* fn) noexcept {
    if (!active_) return pasteToRgba(ctx, si, out, outBytes, fn);
    const uint8_t* done = le::api::guard(Family::Le, "le_paste_last", static_cast<const uint8_t*>(nullptr), [&] {
      if (failure_) std::rethrow_exception(failure_);
      expandRows(ctx, src_, out);
      ctx->paste->composite(ctx->lastCrop, 255.0f, ctx->identity.M(si), out, ctx->manifest.W, ctx->manifest.H, 4);
      return static_cast<const uint8_t*>(out);
    });
    return done ? 1 : 0;
  }

 private:
  bool active_ = false;
  const uint8_t* src_ = nullptr;
  std::exception_ptr failure_;
};

}  // namespace

extern "C" {

le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  return le::api::guard(Family::Le, __func__, static_cast<le_ctx*>(nullptr), [&] {
    if (!bundle_dir || !model_key) throw RawFailure{"le_create: NULL bundle_dir/model_key"};
    const bool chosen = threads > 0;
    const int t = threads < 1 ? le::pool::threads() : threads;
    return new le_ctx(bundle_dir, model_key, t, ep ? ep : "", chosen);
  });
}

void le_destroy(le_ctx* ctx) {
  le::api::guardQuiet(0, [&] {
    delete ctx;
    return 0;
  });
}

int le_nt(const le_ctx* ctx) { return ctx ? ctx->manifest.nt : 0; }
int le_width(const le_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
int le_height(const le_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
int le_crop(const le_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
int le_drive_frames(const le_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }

const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving) {
  return le::api::guard(Family::Le, __func__, static_cast<const float*>(nullptr), [&] {
    if (!ctx || !kp_source || !kp_driving || si < 0 || si >= ctx->manifest.nt)
      throw RawFailure{"le_render_kp_crop: bad args"};
    const float* crop = ctx->render().render(&si, kp_source, kp_driving, 1);
    ctx->lastCrop = crop;
    return crop;
  });
}

const float* le_render_drive_crop(le_ctx* ctx, int i) {
  le::api::lastError(Family::Le).clear();
  if (!ctx || i < 0 || i >= ctx->drive.frames) {
    le::api::lastError(Family::Le) = "le_render_drive_crop: bad frame index";
    return nullptr;
  }
  const size_t k = static_cast<size_t>(i);
  return le_render_kp_crop(ctx, ctx->drive.si[k], &ctx->drive.xs[k * 63], &ctx->drive.xd[k * 63]);
}

int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_bytes) {
  return le::api::guard(Family::Le, __func__, 0, [&] {
    if (!ctx || !crop || !out || si < 0 || si >= ctx->manifest.nt || out_bytes < ctx->frameBytes())
      throw RawFailure{"le_paste_crop: bad args / out too small"};
    ctx->cursor->pullAt(si, out);
    ctx->paste->composite(crop, 255.0f, ctx->identity.M(si), out, ctx->manifest.W, ctx->manifest.H);
    return 1;
  });
}

const uint8_t* le_paste_last(le_ctx* ctx, int si) {
  return le::api::guard(Family::Le, __func__, static_cast<const uint8_t*>(nullptr), [&] {
    if (!ctx || !ctx->lastCrop || si < 0 || si >= ctx->manifest.nt)
      throw RawFailure{"le_paste_last: bad args / no prior render"};
    uint8_t* out = ctx->frame.data();
    ctx->cursor->pullAt(si, out);
    ctx->paste->composite(ctx->lastCrop, 255.0f, ctx->identity.M(si), out, ctx->manifest.W, ctx->manifest.H);
    return static_cast<const uint8_t*>(out);
  });
}

int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving, uint8_t* out,
                      size_t out_bytes) {
  const bool valid = ctx && kp_source && kp_driving && si >= 0 && si < ctx->manifest.nt;
  EarlyPull pull(valid ? ctx : nullptr, si, out, out_bytes);
  if (!le_render_kp_crop(ctx, si, kp_source, kp_driving)) return 0;
  return pull.finish(ctx, si, out, out_bytes, __func__);
}

int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes) {
  const bool valid = ctx && i >= 0 && i < ctx->drive.frames;
  const int si = valid ? ctx->drive.si[static_cast<size_t>(i)] : -1;
  EarlyPull pull(valid ? ctx : nullptr, si, out, out_bytes);
  if (!le_render_drive_crop(ctx, i)) return 0;
  return pull.finish(ctx, si, out, out_bytes, __func__);
}

const uint8_t* le_target_frame(le_ctx* ctx, int si) {
  return le::api::guard(Family::Le, __func__, static_cast<const uint8_t*>(nullptr), [&] {
    if (!ctx || si < 0 || si >= ctx->manifest.nt) throw RawFailure{"le_target_frame: bad args"};
    int idx = -1;
    return ctx->cursor->pullAt(si, &idx);
  });
}

}  // extern "C"

namespace {

int pasteToRgba(le_ctx* ctx, int si, uint8_t* out, size_t outBytes, const char* fn) noexcept {
  if (!out || outBytes < ctx->frameBytes() / 3 * 4) {
    try {
      le::api::lastError(Family::Le) = "le_render_*_rgba: out buffer too small";
    } catch (...) {
    }
    return 0;
  }
  const uint8_t* rgb = le_paste_last(ctx, si);
  if (!rgb) return 0;
  return expandToRgba(ctx, rgb, out, fn);
}

int expandToRgba(le_ctx* ctx, const uint8_t* rgb, uint8_t* out, const char* fn) noexcept {
  return le::api::guard(Family::Le, fn, 0, [&] {
    expandRows(ctx, rgb, out);
    return 1;
  });
}

void expandRows(le_ctx* ctx, const uint8_t* rgb, uint8_t* out) {
  // One reference capture: the callback stays within the function object's
  // inline storage, so a frame allocates nothing.
  const struct {
    const uint8_t* rgb;
    uint8_t* out;
    size_t W;
  } job{rgb, out, static_cast<size_t>(ctx->manifest.W)};
  le::pool::parallelRange(static_cast<size_t>(ctx->manifest.H), 64, [&job](size_t b, size_t e) {
    le::simd::rgb24ToRgba(job.rgb + b * job.W * 3, job.out + b * job.W * 4, (e - b) * job.W);
  });
}

}  // namespace
