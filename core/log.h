// The library's messages: one sink for every line the engine writes, and for
// the lines FFmpeg and onnxruntime write on its behalf. Standard error by
// default; a host may take them (le_log_set).
#pragma once

#include <string>

namespace le::log {

enum Level { kError = 0, kWarn = 1, kInfo = 2, kDebug = 3 };

// One message without its line end, from any thread.
void write(Level level, const std::string& line);
void printf(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Installs the FFmpeg log callback (once): lines FFmpeg writes on a thread
// inside one of ours go to write() at their levels, others to FFmpeg's own
// default. Probes mark expected failures, whose lines go at debug level.
void routeFfmpeg();
class FfmpegScope {
 public:
  explicit FfmpegScope(bool probing = false);
  ~FfmpegScope();
  FfmpegScope(const FfmpegScope&) = delete;
  FfmpegScope& operator=(const FfmpegScope&) = delete;

 private:
  int saved_;
};

}  // namespace le::log
