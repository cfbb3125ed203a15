// Frame sources: a member of a bundle decoded one frame at a time into
// caller buffers, strictly forward, with rewind and seek.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace le {

namespace driver {

class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes per decoded frame: packed RGB24 unless a source says otherwise.
  virtual size_t frameBytes() const { return static_cast<size_t>(W()) * H() * 3; }
  // Decodes the next frame into out; false when the member has no further frame.
  virtual bool next(uint8_t* out) = 0;
  virtual void rewind() = 0;
  virtual void seek(int i) = 0;
  virtual std::string name() const = 0;
  virtual size_t residentBytes() const = 0;
};

// frame_%06d.jpg files of a directory, decoded with stb_image on demand.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int nt, int w, int h);
// A driver video (4:2:0) decoded to RGB24.
std::unique_ptr<Source> openMp4(const std::string& path, int nt, int w, int h);
// A warp-prior video (yuv444p) decoded to three planes of halves, side x side.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int nt, int side);

}  // namespace driver

// "libavcodec <version built against> / <configuration>".
std::string movieDecoderBuild();

}  // namespace le
