// The le_utt_ functions: argument checks and the family's error texts around
// the session.
#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/api.h"
#include "core/ort.h"
#include "core/settings.h"
#include "le/le.h"
#include "session/utt.h"

using le::api::Family;
using le::api::RawFailure;

extern "C" {

le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  return le::api::guard(Family::Utt, __func__, static_cast<le_utt*>(nullptr), [&] {
    if (!ctx || !opts) throw RawFailure{"le_utt_create: NULL ctx/opts"};
    return new le_utt(ctx, *opts, le::fromEnvironment());
  });
}

void le_utt_opts_default(le_utt_opts* opts) {
  le::api::guardQuiet(0, [&] {
    if (!opts) return 0;
    const le::Settings s = le::fromEnvironment();
    le_utt_opts o{};
    o.steady_model = s.session.steadyModel.empty() ? nullptr : le::api::intern(s.session.steadyModel);
    o.eager = s.session.hybrid ? LE_UTT_EAGER_HYBRID : LE_UTT_EAGER_DEFAULT;
    o.size = sizeof o;
    o.pipeline_paste = s.session.pipelinePaste;
    o.onset_si = static_cast<int>(std::min<long>(s.session.onsetSi, 1 << 30));
    o.stage_report = s.session.stageReport;
    *opts = o;
    return 1;
  });
}

le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts o{};
  o.motion_dir = motion_dir;
  le_utt* u = le_utt_create(ctx, &o);
  if (!u) {
    // The text names the function the host called.
    std::string& e = le::api::lastError(Family::Utt);
    if (e.rfind("le_utt_create: ", 0) == 0) e = "le_utt_open: " + e.substr(15);
  }
  return u;
}

void le_utt_destroy(le_utt* u) {
  delete u;
  le::ort::releaseCached();  // what its runs kept goes back with the stream
}

int le_utt_push_audio(le_utt* u, const int16_t* samples, int n) {
  return le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u || (!samples && n > 0) || n < 0) throw RawFailure{"le_utt_push_audio: bad args"};
    u->push(samples, n);
    return 1;
  });
}

void le_utt_end_utterance(le_utt* u) {
  le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u) throw std::runtime_error("bad args");
    u->endUtterance();
    return 1;
  });
}

void le_utt_interrupt(le_utt* u) {
  le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u) throw std::runtime_error("bad args");
    u->interrupt();
    return 1;
  });
}

int le_utt_skip_to(le_utt* u, int ordinal) {
  return le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u || ordinal < 0) throw RawFailure{"le_utt_skip_to: bad args"};
    u->skipTo(ordinal);
    return 1;
  });
}

int le_utt_ready(le_utt* u) {
  return le::api::guard(Family::Utt, __func__, -1, [&] {
    if (!u) throw std::runtime_error("bad args");
    return u->ready();
  });
}

int le_utt_frames_available(le_utt* u) {
  return le::api::guard(Family::Utt, __func__, 0, [&] { return u ? u->available() : 0; });
}

int le_utt_pull_frame(le_utt* u, uint8_t* buf, size_t capacity, le_utt_frame_info* info) {
  return le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u || !buf) throw RawFailure{"le_utt_pull_frame: bad args"};
    return u->pull(buf, capacity, info);
  });
}

int le_utt_pull_frame_i420(le_utt* u, const le_i420* out, le_utt_frame_info* info) {
  return le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u) throw RawFailure{"le_utt_pull_frame_i420: bad args"};
    return u->pull(nullptr, 0, info, out);
  });
}

int le_utt_get_stats(le_utt* u, le_utt_stats* stats) {
  return le::api::guard(Family::Utt, __func__, 0, [&] {
    if (!u || !stats) throw std::runtime_error("bad args");
    u->stats(stats);
    return 1;
  });
}

int le_utt_render_status(le_utt* u, char* text, int capacity, int* failures) {
  return le::api::guard(Family::Utt, __func__, -1, [&] {
    if (!u) throw std::runtime_error("bad args");
    return u->renderStatus(text, capacity, failures);
  });
}

}  // extern "C"
