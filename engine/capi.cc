// The engine context's C family: le_create, le_destroy, the getters and the
// render, paste and driver-frame calls. Every call that uses a context's
// state holds the context's lock, so calls on one context run one at a time
// (the RGBA renders, which render then paste, hold it across both).
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "core/api.h"
#include "core/ort.h"
#include "core/settings.h"
#include "engine/engine.h"
#include "kernels/pool.h"
#include "le/le.h"

struct le_ctx {
  // Recursive: the RGBA renders run the other entry points under their lock.
  std::recursive_mutex mu;
  le::Engine engine;
  // 1 while a session borrows the engine; meanwhile the render and paste
  // calls are refused rather than interleaved with the session's threads.
  std::atomic<int> borrowed{0};
  // le_destroy came while a session held the context: the session's end
  // frees it.
  bool orphaned = false;

  le_ctx(const std::string& bundle, const le::AvatarSettings& avatar, const le::DriverSettings& driver,
         const le::PasteSettings& paste)
      : engine(le::Avatar::load(bundle, avatar), driver, paste) {}
};

namespace le {
Engine& engineOf(le_ctx* ctx) { return ctx->engine; }
const Engine& engineOf(const le_ctx* ctx) { return ctx->engine; }
// Taken under the context's lock, so no call of the context is still running
// when the session's threads start, and none starts after.
void borrowEngine(le_ctx* ctx) {
  std::lock_guard<std::recursive_mutex> lk(ctx->mu);
  int idle = 0;
  if (!ctx->borrowed.compare_exchange_strong(idle, 1))
    throw std::runtime_error("the context is already in use by another le_utt session (one session per context)");
  // The context's own decoded frame (le_target_frame's) is of no use while
  // the session holds the context: its pages go back now.
  ctx->engine.cursor().releaseView();
}
void returnEngine(le_ctx* ctx) {
  bool orphaned;
  {
    std::lock_guard<std::recursive_mutex> lk(ctx->mu);
    ctx->borrowed = 0;
    orphaned = ctx->orphaned;
  }
  if (orphaned) delete ctx;
}
}  // namespace le

using le::api::Family;
using le::api::RawFailure;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// An RGBA render whose early pull did not start: no output buffer, or one too
// small for an RGBA frame.
int rgbaOutTooSmall() noexcept {
  try {
    le::api::lastError(Family::Le) = "le_render_*_rgba: out buffer too small";
  } catch (...) {
  }
  return 0;
}

// The RGBA renders pull their driver frame before the director runs, so that
// the cursor's reader decodes ahead while the director runs rather than while
// the compositor does (on two cores, frames about 8 % faster), and paste
// straight into the caller's RGBA buffer: the driver frame is expanded from
// the cursor's ring (its slot stays valid: nothing else is delivered in
// between) to RGBA and the crop composited over it, one pass over the frame
// instead of a conversion, a copy, a paste and an expansion. What the caller
// sees is unchanged: the same bytes, the render runs (and updates the last
// crop) before any paste failure is reported, with le_paste_last's texts. With an output buffer
// that is too small nothing is pulled early.
class EarlyPull {
 public:
  EarlyPull(le_ctx* ctx, int si, const uint8_t* out, size_t outBytes) noexcept {
    if (!ctx || !out || outBytes < ctx->engine.frameBytes() / 3 * 4) return;
    active_ = true;
    try {
      int idx = -1;
      src_ = ctx->engine.cursor().pullStoredAt(si, &idx);
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  // After a successful render: the driver frame into `out` as RGBA, then the
  // last crop composited over it.
  int finish(le_ctx* ctx, int si, uint8_t* out) noexcept {
    if (!active_) return rgbaOutTooSmall();
    const uint8_t* done = le::api::guard(Family::Le, "le_paste_last", static_cast<const uint8_t*>(nullptr), [&] {
      if (failure_) std::rethrow_exception(failure_);
      ctx->engine.cursor().expand(src_, out, 4);
      ctx->engine.composite(ctx->engine.lastCrop(), si, out, 4);
      return static_cast<const uint8_t*>(out);
    });
    return done ? 1 : 0;
  }

 private:
  bool active_ = false;
  const uint8_t* src_ = nullptr;
  std::exception_ptr failure_;
};

// The options a context is created with by default: `s`'s values.
le_ctx_opts ctxDefaults(const le::Settings& s) {
  le_ctx_opts o{};
  o.size = sizeof o;
  o.model_key = "render";
  o.threads = 0;
  o.ep = "";
  o.paste_fast = s.paste.fast;
  o.paste_ksize = s.paste.ksize;
  o.driver_hwdec = s.driver.hwdec;
  o.driver_prefer_video = s.driver.preferVideo;
  o.gs_fast = s.render.gsFast;
  o.gs_rewrite = s.render.gsRewrite;
  o.ort_spin = s.render.spin;
  o.ort_profile = le::api::intern(s.render.profile);
  o.conv_backend = s.render.neon ? "neon" : "";
  o.unwrap_root = le::api::intern(s.bundle.unwrapRoot);
  o.msrc_missing_ok = s.bundle.msrcMissingOk;
  o.source_hoist = s.render.hoist;
  o.warp_node = s.render.warpNode;
  return o;
}

le_ctx* createFrom(const char* bundle, const le_ctx_opts& o) {
  if (!bundle || !o.model_key) throw RawFailure{"le_create: NULL bundle_dir/model_key"};
  auto text = [](const char* p) { return std::string(p ? p : ""); };
  le::AvatarSettings a;
  a.modelKey = o.model_key;
  a.chosen = o.threads > 0;
  a.threads = le::pool::clampThreads(o.threads);
  a.ep = text(o.ep);
  a.render.gsFast = o.gs_fast != 0;
  a.render.gsRewrite = o.gs_rewrite != 0;
  a.render.spin = o.ort_spin != 0;
  a.render.profile = text(o.ort_profile);
  a.render.neon = text(o.conv_backend) == "neon";
  a.render.hoist = o.source_hoist != 0;
  a.render.warpNode = o.warp_node != 0;
  a.render.fuse = le::fromEnvironment().render.fuse;  // the environment's alone: not an option of the struct
  a.bundle.unwrapRoot = text(o.unwrap_root);
  a.bundle.msrcMissingOk = o.msrc_missing_ok != 0;
  le::DriverSettings d;
  d.hwdec = o.driver_hwdec != 0;
  d.preferVideo = o.driver_prefer_video != 0;
  le::PasteSettings p;
  p.fast = o.paste_fast;
  p.ksize = o.paste_ksize;
  return new le_ctx(bundle, a, d, p);
}

// A keypoint set with no NaN or infinity: one would turn the whole crop into NaN.
bool finite(const float* kp) {
  for (int i = 0; i < le::kHostKpRows * 3; ++i)
    if (!std::isfinite(kp[i])) return false;
  return true;
}

// True (with the reason as the last error) while a session borrows the
// context's engine.
bool lent(le_ctx* ctx, const char* fn) {
  if (!ctx || ctx->borrowed.load() == 0) return false;
  try {
    le::api::lastError(Family::Le) = std::string(fn) + ": the context is in use by an le_utt session (destroy the session first)";
  } catch (...) {
  }
  return true;
}

// The context's lock, or nothing for a NULL context (which the call refuses).
std::unique_lock<std::recursive_mutex> lockOf(le_ctx* ctx) {
  return ctx ? std::unique_lock<std::recursive_mutex>(ctx->mu) : std::unique_lock<std::recursive_mutex>();
}

}  // namespace

extern "C" {

le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  return le::api::guard(Family::Le, __func__, static_cast<le_ctx*>(nullptr), [&] {
    const le::Settings s = le::fromEnvironment();
    le_ctx_opts o = ctxDefaults(s);
    o.model_key = model_key;
    o.threads = threads;
    o.ep = ep;
    return createFrom(bundle_dir, o);
  });
}

void le_ctx_opts_default(le_ctx_opts* opts) {
  le::api::guardQuiet(0, [&] {
    if (!opts) return 0;
    *opts = ctxDefaults(le::fromEnvironment());
    return 1;
  });
}

le_ctx* le_create_opts(const char* bundle_dir, const le_ctx_opts* opts) {
  return le::api::guard(Family::Le, __func__, static_cast<le_ctx*>(nullptr), [&] {
    const le::Settings s = le::fromEnvironment();
    return createFrom(bundle_dir, le::api::readOpts(opts, ctxDefaults(s)));
  });
}

void le_destroy(le_ctx* ctx) {
  le::api::guardQuiet(0, [&] {
    if (!ctx) return 0;
    {
      std::lock_guard<std::recursive_mutex> lk(ctx->mu);
      if (ctx->borrowed) {
        ctx->orphaned = true;
        return 0;
      }
    }
    delete ctx;
    le::ort::releaseCached();
    return 0;
  });
}

// The sizes never change after le_create: no lock.
int le_nt(const le_ctx* ctx) { return ctx ? ctx->engine.nt() : 0; }
int le_width(const le_ctx* ctx) { return ctx ? ctx->engine.width() : 0; }
int le_height(const le_ctx* ctx) { return ctx ? ctx->engine.height() : 0; }
int le_crop(const le_ctx* ctx) { return ctx ? ctx->engine.crop() : 0; }
int le_drive_frames(const le_ctx* ctx) { return ctx ? ctx->engine.drive().frames : 0; }

int le_get_info(le_ctx* ctx, le_ctx_info* info) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_get_info")) return 0;
  return le::api::guard(Family::Le, __func__, 0, [&] {
    if (!ctx) throw std::runtime_error("bad args");
    const le::Renderer& r = ctx->engine.renderer();
    le_ctx_info full{};
    full.size = sizeof full;
    le::api::copyText(full.family, r.family());
    le::api::copyText(full.provider, r.ep());
    le::api::copyText(full.rewrites, r.rewrites());
    full.batch = r.batch();
    full.intra_op_threads = r.director()->threads();
    full.pool_threads = le::pool::threads();
    const le::Manifest& m = ctx->engine.manifest();
    le::api::copyText(full.agent, m.agent);
    const std::string graph = r.director()->graphPath();
    le::api::copyText(full.graph, graph.rfind(m.dir + "/", 0) == 0 ? graph.substr(m.dir.size() + 1) : graph);
    full.paste_source_width = m.msrcW;
    full.paste_source_height = m.msrcH;
    full.unsharp_amount = m.unsharp.amount;
    full.unsharp_sigma = m.unsharp.sigma;
    full.unsharp_ksize = m.unsharp.ksize;
    le::api::copyInfo(info, full);
    return 1;
  });
}

int le_crop_transform(const le_ctx* ctx, int si, float m[6]) {
  return le::api::guard(Family::Le, __func__, 0, [&] {
    if (!ctx || !m || si < 0 || si >= ctx->engine.nt()) throw RawFailure{"le_crop_transform: bad args"};
    std::memcpy(m, ctx->engine.identity().M(si), 6 * sizeof(float));
    return 1;
  });
}

const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_render_kp_crop")) return nullptr;
  return le::api::guard(Family::Le, __func__, static_cast<const float*>(nullptr), [&] {
    if (!ctx || !kp_source || !kp_driving || si < 0 || si >= ctx->engine.nt() || !finite(kp_source) ||
        !finite(kp_driving))
      throw RawFailure{"le_render_kp_crop: bad args"};
    return ctx->engine.render(si, kp_source, kp_driving);
  });
}

const float* le_render_drive_crop(le_ctx* ctx, int i) {
  le::api::lastError(Family::Le).clear();
  if (lent(ctx, "le_render_drive_crop")) return nullptr;
  if (!ctx || i < 0 || i >= ctx->engine.drive().frames) {
    le::api::lastError(Family::Le) = "le_render_drive_crop: bad frame index";
    return nullptr;
  }
  const le::Drive& d = ctx->engine.drive();
  const size_t k = static_cast<size_t>(i);
  return le_render_kp_crop(ctx, d.si[k], &d.xs[k * 63], &d.xd[k * 63]);
}

int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_bytes) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_paste_crop")) return 0;
  return le::api::guard(Family::Le, __func__, 0, [&] {
    if (!ctx || !crop || !out || si < 0 || si >= ctx->engine.nt() || out_bytes < ctx->engine.frameBytes())
      throw RawFailure{"le_paste_crop: bad args / out too small"};
    ctx->engine.cursor().pullAt(si, out);
    ctx->engine.composite(crop, si, out);
    return 1;
  });
}

const uint8_t* le_paste_last(le_ctx* ctx, int si) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_paste_last")) return nullptr;
  return le::api::guard(Family::Le, __func__, static_cast<const uint8_t*>(nullptr), [&] {
    if (!ctx || !ctx->engine.lastCrop() || si < 0 || si >= ctx->engine.nt())
      throw RawFailure{"le_paste_last: bad args / no prior render"};
    uint8_t* out = ctx->engine.frame();
    ctx->engine.cursor().pullAt(si, out);
    ctx->engine.composite(ctx->engine.lastCrop(), si, out);
    return static_cast<const uint8_t*>(out);
  });
}

int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving, uint8_t* out,
                      size_t out_bytes) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_render_kp_rgba")) return 0;
  const bool valid = ctx && kp_source && kp_driving && si >= 0 && si < ctx->engine.nt() && finite(kp_source) &&
                     finite(kp_driving);
  EarlyPull pull(valid ? ctx : nullptr, si, out, out_bytes);
  if (!le_render_kp_crop(ctx, si, kp_source, kp_driving)) return 0;
  return pull.finish(ctx, si, out);
}

int le_render_kp_i420(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving, const le_i420* out) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_render_kp_i420")) return 0;
  if (!le::api::guard(Family::Le, __func__, 0, [&] {
        if (!ctx) throw RawFailure{"le_render_kp_i420: bad args"};
        le::api::checkI420(out, ctx->engine.width(), "le_render_kp_i420");
        return 1;
      }))
    return 0;
  if (!le_render_kp_crop(ctx, si, kp_source, kp_driving)) return 0;
  const uint8_t* frame = le_paste_last(ctx, si);
  if (!frame) return 0;
  return le::api::guard(Family::Le, __func__, 0, [&] {
    le::api::toI420(frame, ctx->engine.width(), ctx->engine.height(), out);
    return 1;
  });
}

int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_render_drive_rgba")) return 0;
  const bool valid = ctx && i >= 0 && i < ctx->engine.drive().frames;
  const int si = valid ? ctx->engine.drive().si[static_cast<size_t>(i)] : -1;
  EarlyPull pull(valid ? ctx : nullptr, si, out, out_bytes);
  if (!le_render_drive_crop(ctx, i)) return 0;
  return pull.finish(ctx, si, out);
}

const uint8_t* le_target_frame(le_ctx* ctx, int si) {
  const auto lock = lockOf(ctx);
  if (lent(ctx, "le_target_frame")) return nullptr;
  return le::api::guard(Family::Le, __func__, static_cast<const uint8_t*>(nullptr), [&] {
    if (!ctx || si < 0 || si >= ctx->engine.nt()) throw RawFailure{"le_target_frame: bad args"};
    int idx = -1;
    return ctx->engine.cursor().pullAt(si, &idx);
  });
}

}  // extern "C"

