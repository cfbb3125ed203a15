#include "core/api.h"

#include "kernels/simd.h"
#include "le/le.h"

#include <cstring>
#include <mutex>
#include <set>

namespace le::api {

namespace {
constexpr int kFamilies = 6;
}

std::string& lastError(Family f) {
  thread_local std::string texts[kFamilies];
  return texts[static_cast<int>(f)];
}

void setErrText(Family f, const char* fn, const char* text) {
  // Storing the message must not throw out of a catch handler at the boundary.
  try {
    std::string& s = lastError(f);
    s.assign(fn);
    s.append(": ");
    s.append(text ? text : "");
  } catch (...) {
    lastError(f).clear();
  }
}

void setErr(Family f, const char* fn, const std::exception& e) { setErrText(f, fn, e.what()); }

void fill_err(char* dst, int len, const char* text) {
  if (dst == nullptr || len <= 0) return;
  const size_t cap = static_cast<size_t>(len) - 1;
  size_t n = text ? std::strlen(text) : 0;
  if (n > cap) n = cap;
  if (n) std::memcpy(dst, text, n);
  std::memset(dst + n, 0, cap - n);
  dst[cap] = 0;
}

const char* intern(const std::string& text) {
  static std::mutex* mu = new std::mutex;
  static auto* texts = new std::set<std::string>;  // never freed: callers may keep the pointers
  std::lock_guard<std::mutex> lk(*mu);
  return texts->insert(text).first->c_str();
}

void checkI420(const void* planes, int width, const char* fn) {
  const auto* p = static_cast<const le_i420*>(planes);
  const int cw = (width + 1) / 2;
  if (!p || !p->y || !p->u || !p->v || p->y_stride < width || p->u_stride < cw || p->v_stride < cw)
    throw RawFailure{std::string(fn) + ": I420 planes missing or narrower than the frame (width " +
                     std::to_string(width) + ", chroma " + std::to_string(cw) + ")"};
}

void toI420(const uint8_t* rgb, int width, int height, const void* planes) {
  const auto* p = static_cast<const le_i420*>(planes);
  simd::rgb24ToI420(rgb, width, height, p->y, p->y_stride, p->u, p->u_stride, p->v, p->v_stride, 0, height);
}

}  // namespace le::api
