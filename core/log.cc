#include "core/log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "le/le.h"

namespace le::log {
namespace {

struct Sink {
  std::shared_mutex mu;
  le_log_fn fn = nullptr;
  void* user = nullptr;
  int maxLevel = LE_LOG_INFO;
};

Sink& sink() {
  static Sink* s = new Sink;  // outlives every thread that may still log at exit
  return *s;
}

// 0: a thread of the host's own; 1: inside the engine; 2: inside a probe.
thread_local int ffState = 0;

void ffCallback(void* avcl, int level, const char* fmt, va_list args) {
  if (ffState == 0) {
    av_log_default_callback(avcl, level, fmt, args);
    return;
  }
  if (level > AV_LOG_WARNING) return;
  char line[1024];
  int prefix = 0;
  if (avcl) {
    const AVClass* cls = *static_cast<AVClass* const*>(avcl);
    if (cls && cls->item_name) prefix = std::snprintf(line, sizeof line, "[%s] ", cls->item_name(avcl));
  }
  if (prefix < 0 || prefix >= static_cast<int>(sizeof line)) prefix = 0;
  std::vsnprintf(line + prefix, sizeof line - prefix, fmt, args);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return;
  const Level at = ffState == 2 ? kDebug : level <= AV_LOG_ERROR ? kError : kWarn;
  write(at, "[ffmpeg] " + text);
}

}  // namespace

void write(Level level, const std::string& line) {
  Sink& s = sink();
  std::shared_lock<std::shared_mutex> l(s.mu);
  if (level > s.maxLevel) return;
  if (s.fn) {
    s.fn(s.user, level, line.c_str());
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

void printf(Level level, const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> buf(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
  if (n > 0) std::vsnprintf(buf.data(), buf.size(), format, again);
  va_end(again);
  std::string line(buf.data());
  if (!line.empty() && line.back() == '\n') line.pop_back();
  write(level, line);
}

void routeFfmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(ffCallback); });
}

FfmpegScope::FfmpegScope(bool probing) : saved_(ffState) {
  routeFfmpeg();
  ffState = probing ? 2 : (saved_ == 2 ? 2 : 1);
}

FfmpegScope::~FfmpegScope() { ffState = saved_; }

}  // namespace le::log

extern "C" {

void le_log_set(le_log_fn fn, void* user, int max_level) {
  auto& s = le::log::sink();
  std::unique_lock<std::shared_mutex> l(s.mu);
  s.fn = fn;
  s.user = user;
  s.maxLevel = max_level < LE_LOG_ERROR ? LE_LOG_ERROR : max_level > LE_LOG_DEBUG ? LE_LOG_DEBUG : max_level;
}

const char* le_version(void) { return LE_CORE_VERSION; }

}  // extern "C"
