// Core family glue: last-error readers, the host keypoint contract and the
// two bundle path resolvers.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "core/api.h"
#include "core/settings.h"
#include "core/bundle.h"
#include "core/ort.h"
#include "le/le.h"
#include "le/le_a2x.h"

using le::api::Family;

namespace {

const char* textOf(Family f) noexcept { return le::api::lastError(f).c_str(); }

// Copies `s` with its terminator when it fits.
bool copyOut(const std::string& s, char* out, size_t outLen) {
  if (outLen < s.size() + 1) return false;
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

extern "C" {

const char* le_last_error(void) { return textOf(Family::Le); }
const char* le_motion_last_error(void) { return textOf(Family::Motion); }
const char* le_fca_last_error(void) { return textOf(Family::Fca); }
const char* le_a2x_last_error(void) { return textOf(Family::A2x); }
const char* le_stream_last_error(void) { return textOf(Family::Stream); }
const char* le_utt_last_error(void) { return textOf(Family::Utt); }

int le_host_kp_rows(void) { return le::kHostKpRows; }

size_t le_release_memory(void) { return le::api::guardQuiet(size_t{0}, [] { return le::ort::releaseCached(); }); }

int le_bundle_resolve_handle(const char* bundle, char* out, size_t out_len) {
  return le::api::guard(Family::Le, __func__, -1, [&] {
    if (!bundle || !out || out_len == 0) throw le::api::SilentFailure{};
    out[0] = 0;
    const std::string dir = le::resolveBundlePath(bundle, le::fromEnvironment().bundle.unwrapRoot);
    if (!copyOut(dir, out, out_len)) throw std::runtime_error("buffer too small");
    return 1;
  });
}

int le_bundle_resolve_member(const char* bundle, const char* member, char* out, size_t out_len) {
  // Touches no last-error text; any failure is -1 with an empty output.
  if (!bundle || !member || !*bundle || !*member || !out || out_len == 0) {
    if (out && out_len > 0) out[0] = 0;
    return -1;
  }
  return le::api::guardQuiet(-1, [&] {
    out[0] = 0;
    const std::string path =
        le::resolveMember(le::resolveBundlePath(bundle, le::fromEnvironment().bundle.unwrapRoot), member);
    if (!copyOut(path, out, out_len)) return -1;
    const int fd = le::openRegularFile(path);
    if (fd < 0) return 0;
    ::close(fd);
    return 1;
  });
}

}  // extern "C"
