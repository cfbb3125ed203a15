// The C boundary: every exported function body runs inside le::api::guard,
// which clears the family's last-error text, converts any exception into
// "function: text" and returns the family's failure value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/framing.h"

namespace le {

namespace api {

enum class Family { Le, Motion, Fca, A2x, Stream, Utt };

// The calling thread's text of a family; created empty on first use.
std::string& lastError(Family f);

// Stores "fn: text" as the family's last error.
void setErr(Family f, const char* fn, const std::exception& e);
void setErrText(Family f, const char* fn, const char* text);

// Copies `text` into a caller buffer of `len` bytes: at most len - 1 bytes of
// text, the rest zero-filled, always terminated. NULL or len <= 0: no-op.
void fill_err(char* dst, int len, const char* text);

// Converts a packed width x height RGB24 frame into the caller's I420 planes
// (le_i420 of le/le.h). checkI420 throws RawFailure "<fn>: ..." for planes that
// cannot hold the frame; call it before anything is consumed.
void checkI420(const void* planes, int width, const char* fn);
void toI420(const uint8_t* rgb, int width, int height, const void* planes);

// Thrown inside a guarded body to fail with the family's failure value
// while leaving the last-error text empty (argument checks that the C API
// defines as silent).
struct SilentFailure {};

// Thrown inside a guarded body to fail with a message that is stored as is,
// without the function-name prefix (for texts that already carry it).
struct RawFailure {
  std::string text;
};

template <typename R, typename Body>
R guard(Family f, const char* fn, R failValue, Body&& body) noexcept {
  try {
    lastError(f).clear();
    return std::forward<Body>(body)();
  } catch (const SilentFailure&) {
  } catch (const RawFailure& e) {
    try {
      lastError(f) = e.text;
    } catch (...) {
    }
  } catch (const std::exception& e) {
    setErr(f, fn, e);
  } catch (...) {
    setErrText(f, fn, "unknown failure");
  }
  return failValue;
}

// For the few entry points that must not touch any last-error text: every
// exception becomes the failure value.
template <typename R, typename Body>
R guardQuiet(R failValue, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
  }
  return failValue;
}

// An information struct out to a caller whose `size` member says how many of
// its bytes the caller's header knows: those are written, `size` is kept.
template <typename S>
void copyInfo(S* out, const S& full) {
  if (!out || out->size < sizeof(size_t)) throw std::runtime_error("bad args (NULL, or size not set)");
  const size_t size = out->size;
  std::memcpy(static_cast<void*>(out), &full, std::min(size, sizeof(S)));
  out->size = size;
}

// The strings the *_opts_default calls hand out: one copy of each text,
// kept as long as the process (a host may keep the options struct).
const char* intern(const std::string& text);

// An options struct in from a caller: the bytes its `size` member covers,
// laid over `defaults` (the members the caller's header does not know keep
// their defaults).
template <typename S>
S readOpts(const S* in, S defaults) {
  if (!in || in->size < sizeof(size_t)) throw std::runtime_error("opts NULL, or its size not set");
  std::memcpy(static_cast<void*>(&defaults), in, std::min(in->size, sizeof(S)));
  defaults.size = sizeof(S);
  return defaults;
}

// A text into a fixed member, cut to fit and terminated.
template <size_t N>
void copyText(char (&dst)[N], const std::string& text) {
  fill_err(dst, static_cast<int>(N), text.c_str());
}

}  // namespace api
}  // namespace le

