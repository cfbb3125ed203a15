// le_prior_*: a host reads decoded warp-prior rows of a bundle by frame index.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/api.h"
#include "core/settings.h"
#include "core/manifest.h"
#include "driver/cursor.h"
#include "le/le.h"

struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};

using le::api::Family;

extern "C" {

le_prior* le_prior_open(const char* bundle_dir, int lookahead, int history) {
  return le::api::guard(Family::Le, __func__, static_cast<le_prior*>(nullptr), [&] {
    if (!bundle_dir) throw le::api::RawFailure{"le_prior_open: NULL bundle_dir"};
    auto p = std::make_unique<le_prior>();
    p->manifest = le::loadManifest(bundle_dir, le::fromEnvironment().bundle);
    p->cursor = le::DriverCursor::openPrior(p->manifest, lookahead < 1 ? 2 : lookahead, history < 0 ? 0 : history);
    p->backend = p->cursor->name();
    return p.release();
  });
}

int le_prior_row(le_prior* prior, int si, uint16_t* out, size_t cap) {
  return le::api::guard(Family::Le, __func__, 0, [&] {
    if (!prior || !out) throw le::api::RawFailure{"le_prior_row: NULL prior/out"};
    const size_t row = prior->cursor->frameBytes();
    if (cap < row)
      throw le::api::RawFailure{"le_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(row)};
    prior->cursor->pullAt(si, reinterpret_cast<uint8_t*>(out));
    return 1;
  });
}

size_t le_prior_row_bytes(const le_prior* prior) { return prior ? prior->cursor->frameBytes() : 0; }

const char* le_prior_backend(const le_prior* prior) { return prior ? prior->backend.c_str() : ""; }

void le_prior_close(le_prior* prior) {
  le::api::guardQuiet(0, [&] {
    delete prior;
    return 0;
  });
}

}  // extern "C"
