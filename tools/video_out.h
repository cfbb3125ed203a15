// Video and image output for the command-line tool: H.264 MP4 (yuv420p,
// constant frame rate) and single PNG frames, through libavformat/libavcodec.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le::tools {

class Mp4Writer {
 public:
  // Opens `path` for W x H frames at `fps`, with an AAC audio track of mono
  // samples at `audioRate` Hz when it is positive. Odd sizes lose their last
  // column or row (4:2:0 needs even sizes). Throws std::runtime_error.
  Mp4Writer(const std::string& path, int W, int H, int fps, int audioRate = 0);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // One RGBA frame of W x H (rows of 4 W bytes).
  void push(const uint8_t* rgba);
  // Mono samples in [-1, 1] for the audio track, in order.
  void pushAudio(const float* samples, size_t n);
  // Flushes the encoder and writes the trailer; the destructor does it too
  // (without reporting errors) when it was not called.
  void finish();

  const char* encoderName() const;
  int64_t frames() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Writes a W x H RGBA image as an RGB PNG. Throws std::runtime_error.
void writePng(const std::string& path, const uint8_t* rgba, int W, int H);

}  // namespace le::tools
