// Random and sequential access to the frames of a driver (or warp-prior)
// video: a reader thread decodes a few frames ahead into a small ring and
// keeps recently delivered frames as history for short backward jumps. The
// ring holds frames in the source's stored form (a video's 4:2:0 planes);
// pulls expand them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/settings.h"
#include "driver/source.h"

namespace le {

struct Manifest;

class DriverCursor {
 public:
  // Over the bundle's driver video: a populated JPEG directory, else the video member.
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int lookahead, int history,
                                            const DriverSettings& settings = {});
  // Over the bundle's warp-prior video.
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int lookahead, int history);
  // lookahead below 1 counts as 1, a negative history as 0; above
  // kMaxLookahead or kMaxHistory the cursor is refused.
  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int lookahead, int history);
  static constexpr int kMaxLookahead = 64, kMaxHistory = 256;

  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  // The next delivered frame will be frame i.
  void seek(int i);
  // The frame at position(), copied into `out` (frameBytes), or as a pointer
  // valid until the next pointer pull or until `history` further frames were
  // delivered.
  int pull(uint8_t* out);
  const uint8_t* pull(int* idx);
  // seek(i), then as above; fails unless frame i is what arrives.
  int pullAt(int i, uint8_t* out);
  const uint8_t* pullAt(int i, int* idx);
  // As pullAt(i, out), the window `win` of the frame only (win.w x win.h
  // RGB24; win lies inside the frame).
  int pullWindowAt(int i, uint8_t* out, const FrameWindow& win);
  // Frame i as the source stores it (valid as the pointer pulls' frames),
  // for expand() straight into a caller's layout.
  const uint8_t* pullStoredAt(int i, int* idx);
  // seek(i), then takes frame i and copies nothing: it stays held (as
  // history) for useHeld().
  int deliverAt(int i);
  // True when frames are stored as 4:2:0 planes (I420), which useHeld gives.
  bool storesPlanes() const;
  // A held frame's planes from a window's top left corner.
  struct HeldPlanes {
    const uint8_t* y;
    size_t yStride;
    const uint8_t* u;
    const uint8_t* v;
    size_t chromaStride;
  };
  // Runs `use` on the I420 planes of window `win` (x and y even) of frame i
  // when frame i is still held: they stay put while it runs (the reader
  // waits), and the cursor does not move. A pull waiting for the reader does
  // not hold it up. False when frame i is not held (or the window is not
  // there), without running `use`.
  bool useHeld(int i, const FrameWindow& win, const std::function<void(const HeldPlanes&)>& use);
  // A stored frame into `out`: the delivered layout, or RGBA with pixelBytes 4.
  void expand(const uint8_t* stored, uint8_t* out, int pixelBytes = 3) const;

  // Gives back the buffer the pointer pulls expand into (their last pointer
  // goes with it); the next pointer pull maps it again.
  void releaseView();
  // From now on stores only `win` of each frame (for a video, widened to its
  // chroma pairs), or the whole frame again for an empty window; the frames
  // held are decoded anew. Meanwhile only pullWindowAt() inside `win` is
  // served: other pulls fail. For a caller that hands out a window only.
  void keepWindow(const FrameWindow& win);

  int position() const;
  uint64_t seeks() const;
  // Frames the cursor's source decoded. A cursor kept to a window of a video
  // shares each frame's window with the cursors over the same file and
  // window; once a whole loop of them is in, it copies instead of decoding.
  uint64_t decoded() const;
  size_t residentBytes() const;

  int NT() const { return nt_; }
  int W() const { return w_; }
  int H() const { return h_; }
  size_t frameBytes() const { return frameBytes_; }
  const std::string& name() const { return name_; }

 private:
  struct Impl;
  const uint8_t* pullStoredLocked(int i, int* idx);
  explicit DriverCursor(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  int nt_, w_, h_;
  size_t frameBytes_;
  std::string name_;
};

}  // namespace le
