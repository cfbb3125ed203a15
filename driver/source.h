// Frame sources: a member of a bundle decoded one frame at a time into
// caller buffers, strictly forward, with rewind and seek.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/frame_window.h"

namespace le {

namespace driver {

class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes per delivered frame: packed RGB24 unless a source says otherwise.
  virtual size_t frameBytes() const { return static_cast<size_t>(W()) * H() * 3; }
  // Bytes per frame as next() stores it: a video keeps its own compact form
  // (4:2:0 planes, half the size of RGB24), expanded only when delivered.
  virtual size_t storedBytes() const { return frameBytes(); }
  // Decodes the next frame into `stored` (storedBytes); false when the member
  // has no further frame.
  virtual bool next(uint8_t* stored) = 0;
  // As next(), only window `win` (on whole chroma pairs) of the frame into
  // `stored`, in the stored form's layout at the window's size; for sources
  // whose cutsWindows() says so.
  virtual bool cutsWindows() const { return false; }
  virtual bool nextWindow(uint8_t* stored, const FrameWindow& win);
  // A stored frame into `out` as delivered (frameBytes), or with pixelBytes 4
  // as RGBA with alpha 255 (sources that deliver RGB24 only).
  virtual void expand(const uint8_t* stored, uint8_t* out, int pixelBytes = 3) const;
  // The window `win` of a stored frame into `out` (win.w x win.h RGB24, the
  // bytes expand() gives there); win lies inside the frame. Sources that
  // store RGB24 copy its rows; others must say how.
  virtual void expandWindow(const uint8_t* stored, uint8_t* out, const FrameWindow& win) const;
  // True when a stored frame is the delivered frame (expand copies).
  virtual bool storesDelivered() const { return true; }
  virtual void rewind() = 0;
  virtual void seek(int i) = 0;
  virtual std::string name() const = 0;
  virtual size_t residentBytes() const = 0;
  // Gives back what decoding holds (a decoder's pictures) while no frame is
  // wanted from the source; the next next(), nextWindow(), seek() or
  // rewind() starts again from the member's first frame.
  virtual void idle() {}
  // The file and its version, for sources whose frames cursors over the same
  // file may share ("" where they may not).
  virtual std::string identity() const { return {}; }
};

// frame_%06d.jpg files of a directory, decoded with stb_image on demand.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int nt, int w, int h);
// A driver video (4:2:0), stored as I420 planes (Y, then U, then V, each
// row-packed; chroma (W+1)/2 x (H+1)/2) and delivered as RGB24. hwdec: an
// H.264 video first tries the hardware decoder.
std::unique_ptr<Source> openMp4(const std::string& path, int nt, int w, int h, bool hwdec = true);
// A warp-prior video (yuv444p) decoded to three planes of halves, side x side.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int nt, int side);

}  // namespace driver

// "libavcodec <version built against> / <configuration>".
std::string movieDecoderBuild();

}  // namespace le
