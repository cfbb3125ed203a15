// The le_fca_ family: the whole-clip audio-to-delta model.
#include <memory>
#include <mutex>
#include <stdexcept>

#include "audio/fca.h"
#include "core/api.h"
#include "core/ort.h"
#include "le/le_a2x.h"

using le::api::Family;

struct le_fca {
  std::unique_ptr<le::fca::Fca> model;
  std::mutex mu;  // calls on one handle run one at a time
};

namespace {

// The handle's lock, or nothing for a NULL handle (which the call refuses).
std::unique_lock<std::mutex> lockOf(le_fca* f) {
  return f ? std::unique_lock<std::mutex>(f->mu) : std::unique_lock<std::mutex>();
}

}  // namespace

extern "C" {

le_fca* le_fca_create(const char* encoder, const char* model, int threads) {
  return le::api::guard(Family::Fca, __func__, static_cast<le_fca*>(nullptr), [&] {
    if (!encoder || !*encoder || !model || !*model) throw std::runtime_error("bad args");
    auto h = std::make_unique<le_fca>();
    h->model = le::fca::Fca::create(encoder, model, threads);
    return h.release();
  });
}

void le_fca_destroy(le_fca* f) {
  delete f;
  le::ort::releaseCached();  // what its runs kept goes back with the stream
}

int le_fca_deltas(le_fca* f, const float* samples, int n, float* out, int max_frames) {
  return le::api::guard(Family::Fca, __func__, -1, [&] {
    const auto lock = lockOf(f);
    if (!f || !f->model) throw std::runtime_error("bad args");
    return f->model->deltas(samples, n, out, max_frames);
  });
}

}  // extern "C"
