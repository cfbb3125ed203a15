// The whole-stream runner (le_stream_): a clip's deltas from the fca model,
// then its frames rendered on a second thread and pasted by the frame ring
// while the calling thread hands the finished frames to the host in order.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/fca.h"
#include "core/api.h"
#include "core/bundle.h"
#include "core/files.h"
#include "core/finite.h"
#include "core/log.h"
#include "core/ort.h"
#include "engine/engine.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "session/frame_ring.h"
#include "session/tess_stage.h"
#include "tessera/bank_track.h"
#include "tessera/members.h"

using le::api::Family;
using le::api::RawFailure;

struct le_stream {
  le_ctx* ctx = nullptr;
  le_fca* fca = nullptr;
  int nt = 0, width = 0, height = 0, crop = 0;
  std::vector<float> xsTarget;
  // The mouth bank, when the bundle carries all four members; each run
  // builds its own pass from it.
  std::unique_ptr<le::TesseraAttachInputs> bank;
  le::tessera::BankData bankData;
  int skip = 0;
  float gain = 1.0f;
  // One run at a time: a second thread (or a callback calling back in) is
  // refused rather than sharing the engine.
  std::atomic<bool> running{false};
  ~le_stream() {
    le_fca_destroy(fca);
    le_destroy(ctx);
  }
};

namespace {

constexpr int kSlots = 4, kQueued = 2;
constexpr int kKp = le::kKpValues;
constexpr float kMaxGain = 1000.0f;

// Loads the bundle's mouth bank and builds a pass from it once, so a broken
// bank is reported at creation; says why not when the bundle carries some of
// the members but not all, or a bank the pass refuses.
void armMouthPass(le_stream& s, const std::string& dir) {
  const le::TesseraCarriage c = le::tesseraCarriage(dir);
  if (c.missing.size() == le::kTesseraSlots) return;
  try {
    le::requireTesseraMembers(c);
    auto in = std::make_unique<le::TesseraAttachInputs>(le::loadTesseraMembers(dir));
    const std::string track = le::readWholeFile(in->bank_track_path, 2 * in->bandBytes() + (1u << 20));
    le::tessera::BankData& b = s.bankData;
    b.stamp = le::tessera::GeometryStamp::fromArray(in->stamp.data());
    b.n_donors = in->n_donors;
    b.band = le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), in->n_donors,
                                          in->band_h, in->band_w, in->track_order);
    b.cent = in->cent;
    b.aperture = in->aperture;
    b.c_canon = in->c_canon;
    std::string geometry;
    le::tessera::makeStreamBorrow(b, in->head_pt, in->head_json, in->manifest_json, s.crop, s.xsTarget.data(), s.nt,
                                  le::engineOf(s.ctx).manifest().lipTemplate, &geometry);
    le::log::printf(le::log::kInfo, "[le_stream] mouth pass armed: %d donors, compose geometry %s", in->n_donors,
                    geometry.c_str());
    s.bank = std::move(in);
  } catch (const std::exception& e) {
    s.bankData = le::tessera::BankData();
    le::log::printf(le::log::kWarn, "[le_stream] mouth pass not armed: %s", e.what());
  }
}

}  // namespace

extern "C" {

le_stream* le_stream_create(const char* bundle, const char* encoder, int threads, int skip, float gain) {
  le_stream_opts o;
  le_stream_opts_default(&o);
  o.encoder = encoder;
  o.threads = threads;
  o.skip = skip;
  o.gain = gain;
  le_stream* s = le_stream_create_opts(bundle, &o);
  if (!s) {
    // The text names the function the host called.
    std::string& e = le::api::lastError(Family::Stream);
    if (e.rfind("le_stream_create_opts: ", 0) == 0) e = "le_stream_create: " + e.substr(23);
  }
  return s;
}

void le_stream_opts_default(le_stream_opts* opts) {
  if (!opts) return;
  *opts = le_stream_opts{};
  opts->size = sizeof *opts;
  opts->gain = 1.0f;
}

le_stream* le_stream_create_opts(const char* bundle, const le_stream_opts* opts) {
  return le::api::guard(Family::Stream, __func__, static_cast<le_stream*>(nullptr), [&]() -> le_stream* {
    le_stream_opts defaults;
    le_stream_opts_default(&defaults);
    const le_stream_opts o = le::api::readOpts(opts, defaults);
    if (!bundle || !*bundle || !o.encoder || !*o.encoder) throw std::runtime_error("bad args");
    le_ctx_opts c;
    le_ctx_opts_default(&c);
    if (o.ctx) c = le::api::readOpts(o.ctx, c);
    c.model_key = "render";
    c.threads = o.threads;
    auto s = std::make_unique<le_stream>();
    s->ctx = le_create_opts(bundle, &c);
    if (!s->ctx) {
      std::string why = le_last_error();
      if (why.rfind("le_create_opts: ", 0) == 0) why = "le_create: " + why.substr(16);
      throw RawFailure{"le_create: " + why};
    }
    // The delta model sits in the bundle's directory (unpacked when the
    // bundle is a container).
    const std::string dir = le::resolveBundlePath(bundle, c.unwrap_root ? c.unwrap_root : "");
    s->fca = le_fca_create(o.encoder, (dir + "/fca_stream.onnx").c_str(), o.threads);
    if (!s->fca) throw RawFailure{std::string("le_fca_create: ") + le_fca_last_error()};
    le::Engine& e = le::engineOf(s->ctx);
    e.renderer();  // the director loads now, so a bad one fails here and not at the first frame
    s->nt = e.nt();
    s->width = e.width();
    s->height = e.height();
    s->crop = e.crop();
    s->skip = o.skip < 0 ? 0 : o.skip;
    s->gain = o.gain;
    if (!std::isfinite(o.gain)) throw std::runtime_error("gain is not a finite number");
    // Keypoints live in [-1, 1]: a larger gain throws every face out of its crop.
    if (std::fabs(o.gain) > kMaxGain) throw std::runtime_error("gain " + le::shortNumber(o.gain) + " is beyond +-1000");
    s->xsTarget = le::loadKeypointTrack(dir, s->nt);
    armMouthPass(*s, dir);
    return s.release();
  });
}

void le_stream_destroy(le_stream* s) {
  delete s;
  le::ort::releaseCached();  // what its runs kept goes back with the stream
}

int le_stream_width(le_stream* s) {
  return le::api::guard(Family::Stream, __func__, 0, [&] {
    if (!s) throw std::runtime_error("bad args");
    return s->width;
  });
}

int le_stream_height(le_stream* s) {
  return le::api::guard(Family::Stream, __func__, 0, [&] {
    if (!s) throw std::runtime_error("bad args");
    return s->height;
  });
}

int le_stream_run(le_stream* s, const float* samples, int n, le_stream_frame_fn callback, void* user) {
  return le::api::guard(Family::Stream, __func__, -1, [&] {
    if (!s || !callback || (n > 0 && !samples)) throw std::runtime_error("bad args");
    if (n <= 0) return 0;
    bool idle = false;
    if (!s->running.compare_exchange_strong(idle, true))
      throw RawFailure{"le_stream_run: the stream is already running on another thread (one run at a time)"};
    struct Release {
      std::atomic<bool>& flag;
      ~Release() { flag = false; }
    } release{s->running};
    const int T = static_cast<int>((static_cast<int64_t>(n) + le::kFrameSamples - 1) / le::kFrameSamples);
    std::vector<float> deltas(static_cast<size_t>(T) * kKp);
    if (le_fca_deltas(s->fca, samples, n, deltas.data(), T) != T)
      throw RawFailure{std::string("le_fca_deltas: ") + le_fca_last_error()};
    const int frames = T > s->skip ? T - s->skip : 0;
    if (frames == 0) return 0;

    le::Engine& e = le::engineOf(s->ctx);
    const size_t cropFloats = static_cast<size_t>(3) * s->crop * s->crop;
    // The first frame that failed (render or paste); frames before it are
    // delivered, and the run fails there.
    std::atomic<int> failedAt{frames};
    auto failAt = [&](int j) {
      for (int f = failedAt.load(); j < f && !failedAt.compare_exchange_weak(f, j);) {
      }
    };
    le::FrameRing* ringOf = nullptr;
    le::FrameRing::Hooks hooks;
    hooks.fail = [&](const le::FrameTag& tag, const char*, const std::string&, bool) {
      failAt(tag.ordinal);
      ringOf->wake();
    };
    le::FrameRing ring(e, kSlots, kQueued, true, std::move(hooks));
    ringOf = &ring;
    // Armed, every crop passes the mouth pass on the renderer's thread on its
    // way to the ring, one crop held back until the pass hands it over.
    le::TessStage tess([&](le::FrameJob&& job) { return ring.post(std::move(job)); });
    if (s->bank) {
      tess.install(le::tessera::makeStreamBorrow(s->bankData, s->bank->head_pt, s->bank->head_json,
                                                 s->bank->manifest_json, s->crop, s->xsTarget.data(), s->nt,
                                                 e.manifest().lipTemplate, nullptr),
                   false, {});
    }
    // A keypoint that overflows (a huge gain) fails the frame in the
    // renderer's own check.
    auto keypoints = [&](int j, float* driving) {
      const int t = j + s->skip, si = t % s->nt;
      const float* xs = &s->xsTarget[static_cast<size_t>(si) * kKp];
      for (int k = 0; k < kKp; ++k) driving[k] = xs[k] + s->gain * deltas[static_cast<size_t>(t) * kKp + k];
      return si;
    };
    std::thread renderer([&] {
      float driving[kKp];
      for (int j = 0; j < frames && j < failedAt.load(); ++j) {
        le::FrameJob job;
        job.tag.si = keypoints(j, driving);
        job.tag.ordinal = j;
        std::memcpy(job.tag.kp, driving, sizeof job.tag.kp);  // the mouth pass places its mask by them
        try {
          const float* crop = e.render(job.tag.si, &s->xsTarget[static_cast<size_t>(job.tag.si) * kKp], driving);
          job.crop.assign(crop, crop + cropFloats);
        } catch (...) {
          tess.finish();  // the frame before this one is delivered
          failAt(j);
          ring.wake();
          return;
        }
        if (!tess.submit(std::move(job))) return;
      }
      tess.finish();
    });
    // Whatever happens on this thread, the ring is closed and the renderer joined.
    struct Join {
      le::FrameRing& ring;
      std::thread& thread;
      ~Join() {
        ring.close();
        thread.join();
      }
    } join{ring, renderer};

    int delivered = 0;
    for (int j = 0; j < frames; ++j) {
      le::FrameTag tag;
      const uint8_t* frame = ring.waitFront(&tag, nullptr, [&] { return failedAt.load() <= j; });
      if (!frame || tag.ordinal >= failedAt.load()) throw RawFailure{"le_stream_run: render/paste failed"};
      callback(user, j, frame, s->width, s->height);
      ring.pop();
      ++delivered;
    }
    return delivered;
  });
}

}  // extern "C"
